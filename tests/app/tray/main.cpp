// The D-Bus tray tests' main: a private session bus first (Qt connects to the session bus once per
// process), then the application object on the rig's display.
#include "TrayDesktop.h"
#include "TrayHosts.h"
#include "support/TestEnvironment.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace lumacast::testing {
XfceTrayDesktop *trayDesktop = nullptr;
}

int main(int argc, char **argv)
{
    lumacast::testing::TemporaryHome home;
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<lumacast::testing::XfceTrayDesktop> desktop;
    // Listing the cases (as ctest does to find them) needs no bus.
    if (!::testing::GTEST_FLAG(list_tests) && lumacast::testing::xfcePanelInstalled()
        && !qEnvironmentVariableIsEmpty("DISPLAY")) {
        desktop = std::make_unique<lumacast::testing::XfceTrayDesktop>();
        qputenv("DBUS_SESSION_BUS_ADDRESS", desktop->address().toUtf8());
        lumacast::testing::trayDesktop = desktop.get();
    }
    int status = 0;
    {
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
        desktop.reset();
    }
    return status;
}
