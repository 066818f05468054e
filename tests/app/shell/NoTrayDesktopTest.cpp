// The application on a desktop without a tray, and a tray that comes later: the review window's
// menus offer the tray's choices until the tray is there. Skipped without the rig's X server and
// trayer.
#include "app/ApplicationMenus.h"
#include "app/LumacastApp.h"
#include "app/TrayItem.h"
#include "control/AppStateManager.h"

#include <QGuiApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProcess>
#include <QStandardPaths>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTest>

#include <gtest/gtest.h>

#include "TrayHosts.h"

namespace lumacast::testing {
namespace {

QMenu *barMenu(QMainWindow &window, const QString &title)
{
    for (QAction *action : window.menuBar()->actions()) {
        if (QMenu *menu = QMenu::menuInAction(action); menu && menu->title() == title)
            return menu;
    }
    return nullptr;
}

QAction *entry(QMenu &menu, const QStringList &path)
{
    QMenu *level = &menu;
    QAction *found = nullptr;
    for (const QString &title : path) {
        found = nullptr;
        for (QAction *action : level->actions()) {
            if (action->text() == title)
                found = action;
        }
        if (!found)
            return nullptr;
        level = QMenu::menuInAction(found);
        if (!level && &title != &path.last())
            return nullptr;
    }
    return found;
}

TEST(NoTrayDesktop, TheWindowMenusOfferTheTrayChoicesUntilATrayAppears)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || QStandardPaths::findExecutable("trayer").isEmpty())
        GTEST_SKIP() << "needs the rig's X server and trayer";
    ASSERT_TRUE(waitFor([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }, 10000)) << "a tray is running";

    LumacastApp app(false);
    app.start({});
    auto *review = qobject_cast<QMainWindow *>(app.windows().window(QStringLiteral("review")));
    ASSERT_TRUE(review);
    ASSERT_TRUE(waitFor([&] { return barMenu(*review, "Record") != nullptr; }, 2000));
    EXPECT_EQ(review->statusBar()->currentMessage(), LumacastApp::missingTrayNote());
    EXPECT_FALSE(app.trayItem());

    // Every choice of the tray's idle menu, acting on the manager itself.
    QMenu &record = *barMenu(*review, "Record");
    AppStateManager &manager = app.manager();
    const struct {
        QStringList path;
        std::function<bool()> acted; // empty: present only
    } choices[] = {
        {{"Capture", "Whole screen"}, {}},
        {{"Capture", "Choose Window…"}, {}},
        {{"Webcam", "Off"}, {}},
        {{"Webcam", "Square"}, [&] { return manager.webcamShape() == BlobShape::square; }},
        {{"Microphone", "System Default"}, {}},
        {{"Capture system audio"}, [&, before = manager.captureSystemAudio()] { return manager.captureSystemAudio() != before; }},
    };
    for (const auto &choice : choices) {
        SCOPED_TRACE(choice.path.join(" / ").toStdString());
        QAction *action = entry(record, choice.path);
        ASSERT_TRUE(action);
        if (!choice.acted)
            continue;
        // The webcam's shape is a choice of its own even while the webcam is off in the window.
        action->setEnabled(true);
        action->trigger();
        EXPECT_TRUE(waitFor(choice.acted, 2000));
    }
    // During a take the tray shows the take's controls, not these; so does the window.
    manager.setState(AppState::recording);
    ASSERT_TRUE(waitFor([&] { return !entry(*barMenu(*review, "Record"), {"Capture"})->isEnabled(); }, 2000));
    manager.setState(AppState::idle);

    // A tray host started after launch: the icon comes, the note and the extra menu go.
    QProcess trayer;
    trayer.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "200",
                            "--heighttype", "pixel", "--height", "32"});
    ASSERT_TRUE(trayer.waitForStarted(5000));
    EXPECT_TRUE(waitFor([&] { return app.trayItem() && !app.trayItem()->icon().geometry().isEmpty(); }, 10000));
    EXPECT_TRUE(waitFor([&] { return barMenu(*review, "Record") == nullptr; }, 3000));
    EXPECT_FALSE(review->findChild<QStatusBar *>()) << "no empty status bar stays";
    EXPECT_TRUE(barMenu(*review, "File")) << "the other menus stay";
    trayer.terminate();
    trayer.waitForFinished(5000);
    // Gone again: the window's menus take the choices back.
    EXPECT_TRUE(waitFor([&] { return barMenu(*review, "Record") != nullptr; }, 5000));
}

} // namespace
} // namespace lumacast::testing
