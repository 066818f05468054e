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
        const char *from; // the window that has the keyboard
        bool reviewOpen;  // the review window stays open behind it
        const char *key;  // as xdotool names it
        const char *then; // the window the key brings up, or closes
        bool shown;
    } steps[] = {
        {"settings", true, "F1", "help", true},
        {"help", true, "ctrl+comma", "settings", true},
        {"export", true, "F1", "help", true},
        {"help", false, "ctrl+comma", "settings", true},
        {"settings", false, "F1", "help", true},
        {"export", true, "Escape", "export", false}, // the export window's own key
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
        EXPECT_TRUE(waitFor([&] { return isOpen(step.then) == step.shown; }, 3000));
    }
}

} // namespace
} // namespace lumacast::testing
