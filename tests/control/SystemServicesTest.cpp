#include "StateManagerDoubles.h"

#include "control/SystemServices.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace lumacast {
namespace {

using testing::ManagerHarness;

// The shipped adapters against the rig's X server and PulseAudio server: what the settings
// window lists comes from the real displays and microphones.
TEST(SystemServicesTest, RealDisplaysAndMicrophonesReachTheSettings)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        GTEST_SKIP() << "needs the rig's X server";
    ManagerHarness h;
    StateManagerServices services = h.services();
    services.screens = std::make_shared<X11ScreenService>();
    services.devices = std::make_shared<SystemDeviceService>();
    AppStateManager manager(services, true); // lists cameras and microphones at once

    manager.refreshDisplays();
    const std::vector<DisplayOption> displays = manager.availableDisplays();
    ASSERT_FALSE(displays.empty());
    EXPECT_GT(displays.front().width, 0);
    EXPECT_EQ(manager.selectedDisplayID(), services.screens->mainDisplayID());

    const QList<MicOption> microphones = manager.availableMicrophones();
    EXPECT_TRUE(std::any_of(microphones.begin(), microphones.end(),
                            [](const MicOption &mic) { return mic.name == QLatin1String("VirtualMic"); }));
    // Monitors of outputs are system audio, never microphones.
    EXPECT_TRUE(std::none_of(microphones.begin(), microphones.end(),
                             [](const MicOption &mic) { return mic.id.endsWith(QLatin1String(".monitor")); }));
}

} // namespace
} // namespace lumacast
