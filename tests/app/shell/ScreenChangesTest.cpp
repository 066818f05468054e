// The display list follows the rig's X server when a display changes resolution. Skipped without
// the rig's X server and xrandr.
#include "StateManagerDoubles.h"
#include "TrayHosts.h"

#include "control/SystemServices.h"

#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

bool xrandr(const QStringList &arguments)
{
    return QProcess::execute(QStringLiteral("xrandr"), arguments) == 0;
}

TEST(ScreenChanges, TheDisplayListFollowsAResolutionChange)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || QStandardPaths::findExecutable("xrandr").isEmpty())
        GTEST_SKIP() << "needs the rig's X server and xrandr";
    ManagerHarness h;
    StateManagerServices services = h.services();
    services.screens = std::make_shared<X11ScreenService>();
    AppStateManager manager(services, false);
    manager.refreshDisplays();
    ASSERT_FALSE(manager.availableDisplays().empty());
    const int width = manager.availableDisplays().front().width;
    const int height = manager.availableDisplays().front().height;
    const QString output = QStringLiteral("screen"); // Xvfb's one output
    const QString original = QStringLiteral("%1x%2").arg(width).arg(height);
    const QString smaller = QStringLiteral("lumacast-test-%1x%2").arg(width / 2).arg(height / 2);

    ASSERT_TRUE(xrandr({"--newmode", smaller, "60", QString::number(width / 2), QString::number(width / 2 + 10),
                        QString::number(width / 2 + 20), QString::number(width / 2 + 30), QString::number(height / 2),
                        QString::number(height / 2 + 1), QString::number(height / 2 + 2),
                        QString::number(height / 2 + 3)}));
    ASSERT_TRUE(xrandr({"--addmode", output, smaller}));
    ASSERT_TRUE(xrandr({"--output", output, "--mode", smaller}));
    EXPECT_TRUE(waitFor([&] {
        const auto displays = manager.availableDisplays();
        return !displays.empty() && displays.front().width == width / 2 && displays.front().height == height / 2;
    }, 5000)) << "the list still says " << manager.availableDisplays().front().width;

    xrandr({"--output", output, "--mode", original});
    xrandr({"--delmode", output, smaller});
    xrandr({"--rmmode", smaller});
    EXPECT_TRUE(waitFor([&] { return manager.availableDisplays().front().width == width; }, 5000));
}

} // namespace
} // namespace lumacast::testing
