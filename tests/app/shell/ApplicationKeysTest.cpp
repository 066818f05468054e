// The application menus' keys typed with xdotool into each of the application's windows, with
// the review window open and closed, and into the review window's sheets. Skipped without the
// rig's X server and xdotool.
#include "app/LumacastApp.h"
#include "app/WindowRegistry.h"
#include "control/AppStateManager.h"
#include "review/ExportProgressSheet.h"
#include "review/ReviewWindow.h"
#include "review/TailOperationSheet.h"

#include <QApplication>
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

// A sheet shadows the review window and its menu bar. Typed to it, Ctrl+Q still reaches Quit as
// the menu's entry would (during a tail the quit waits for the tail's end; the question during
// an export is the end-to-end test's); the menus' other keys stay shadowed.
TEST(ApplicationKeys, OnlyQuitIsTypedThroughTheReviewWindowsSheets)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "needs the rig's X server and xdotool";
    const struct {
        bool tail;         // the tail's sheet, else the export's
        const char *key;   // as xdotool names it
        const char *opens; // the window the key opens from the review window; nullptr: Quit
    } rows[] = {{false, "F1", "help"}, {true, "ctrl+comma", "settings"}, {true, "ctrl+q", nullptr}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.key);
        LumacastApp app(false);
        AppStateManager &manager = app.manager();
        int quittings = 0;
        QObject::connect(&app, &LumacastApp::quitting, [&quittings] { ++quittings; });
        app.windows().openWindowActivating(QStringLiteral("review"));
        auto *review = qobject_cast<review::ReviewWindow *>(app.windows().window(QStringLiteral("review")));
        // Active before its sheet comes: without a window manager its late activation would take
        // the keyboard from the sheet.
        ASSERT_TRUE(review && waitFor([review] { return QApplication::activeWindow() == review; }, 3000));
        QWidget *sheet = review->exportSheet();
        if (row.tail) {
            manager.setCurrentSession(Session{});
            TailOperation tail;
            tail.phase = TailOperation::Joining{};
            manager.setTailOperation(tail);
            sheet = review->tailSheet();
        } else {
            manager.setIsExporting(true);
        }
        ASSERT_TRUE(waitFor([sheet] { return QApplication::activeWindow() == sheet; }, 3000));
        ASSERT_TRUE(typeKey(QString::fromLatin1(row.key)));
        if (row.opens) {
            QTest::qWait(500);
            QWidget *opened = app.windows().window(QString::fromLatin1(row.opens));
            EXPECT_FALSE(opened && opened->isVisible()) << "the key went through the sheet";
            continue;
        }
        ASSERT_TRUE(waitFor([&] { return manager.pendingExternalAction() == PendingExternalAction::quit; }, 3000))
            << "the quit is not waiting for the tail";
        EXPECT_EQ(quittings, 0);
        manager.setTailOperation(std::nullopt);
        manager.runPendingExternalAction();
        EXPECT_TRUE(waitFor([&] { return quittings == 1; }, 3000)) << "the tail ended, and no quit";
    }
}

} // namespace
} // namespace lumacast::testing
