// The application menus' keys typed with xdotool into each of the application's windows, with
// the review window open and closed. Skipped without the rig's X server and xdotool.
#include "app/LumacastApp.h"
#include "app/WindowRegistry.h"

#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include "TrayHosts.h"

namespace lumacast::testing {
namespace {

bool typeKey(const QString &key)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("key"), key});
    return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
}

TEST(ApplicationKeys, TheMenuKeysWorkFromEveryWindow)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "needs the rig's X server and xdotool";
    LumacastApp app(false);
    app.start({});
    WindowRegistry &windows = app.windows();
    const auto isOpen = [&windows](const char *id) {
        QWidget *window = windows.window(QString::fromLatin1(id));
        return window && window->isVisible();
    };

    const struct {
        const char *from;  // the window that has the keyboard
        bool reviewOpen;   // the review window stays open behind it
        const char *key;   // as xdotool names it
        const char *opens; // the window the key brings up
    } steps[] = {
        {"settings", true, "F1", "help"},
        {"help", true, "ctrl+comma", "settings"},
        {"export", true, "F1", "help"},
        {"help", false, "ctrl+comma", "settings"},
        {"settings", false, "F1", "help"},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(std::string(step.from) + " " + step.key);
        for (const char *id : {"settings", "help", "export"})
            windows.dismissWindow(QString::fromLatin1(id));
        if (step.reviewOpen)
            windows.openWindowActivating(QStringLiteral("review"));
        else
            windows.dismissWindow(QStringLiteral("review"));
        // A closed window is deleted later; only then does the registry build it afresh.
        ASSERT_TRUE(waitFor([&] {
            return isOpen("review") == step.reviewOpen && !windows.window("settings") && !windows.window("help")
                && !windows.window("export");
        }, 3000));
        windows.openWindowActivating(QString::fromLatin1(step.from));
        QWidget *from = windows.window(QString::fromLatin1(step.from));
        ASSERT_TRUE(from);
        ASSERT_TRUE(QTest::qWaitForWindowActive(from));
        ASSERT_TRUE(typeKey(QString::fromLatin1(step.key)));
        EXPECT_TRUE(waitFor([&] { return isOpen(step.opens); }, 3000));
    }

    // The export window's own keys: Escape closes it.
    windows.openWindowActivating(QStringLiteral("export"));
    QWidget *exportWindow = windows.window(QStringLiteral("export"));
    ASSERT_TRUE(exportWindow);
    ASSERT_TRUE(QTest::qWaitForWindowActive(exportWindow));
    ASSERT_TRUE(typeKey(QStringLiteral("Escape")));
    EXPECT_TRUE(waitFor([&] { return !isOpen("export"); }, 3000));
}

} // namespace
} // namespace lumacast::testing
