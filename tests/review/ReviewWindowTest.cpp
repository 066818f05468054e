// The review window on the test rig's X server: closing through the state manager, the start
// screen and split view, and the two sheets; each state leaves a screenshot in
// build/screenshots/.
#include "ReviewWindowTestSupport.h"
#include "support/AwaitTask.h"

#include "review/ExportProgressSheet.h"
#include "review/ReviewStartScreen.h"
#include "review/ReviewWindow.h"
#include "review/TailOperationSheet.h"
#include "review/WindowCloseGuard.h"
#include "review/outline/SceneOutline.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::review;
using namespace lumacast::reviewtest;

namespace {

struct WindowFixture {
    lumacast::testing::ManagerHarness h;
    Session session = h.adoptSessionWithTakes({2, 1});
    CommandsDouble commands{h.m()};
    std::unique_ptr<ReviewWindow> window;

    void open()
    {
        window = std::make_unique<ReviewWindow>(h.m(), &commands, [] { return std::make_unique<PlayerDouble>(); });
        window->move(40, 40);
        window->resize(900, 480);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
        drainEvents();
    }
    // The screen where the window (and any sheet over it) stands.
    void screenshot(const QString &name)
    {
        drainEvents();
        QTest::qWait(50);
        const QRect area = window->frameGeometry();
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(0, area.x(), area.y(), area.width(), area.height());
        const QString path = QStringLiteral(LUMACAST_BINARY_DIR "/screenshots/review-%1.png").arg(name);
        QDir().mkpath(QFileInfo(path).path());
        EXPECT_TRUE(shot.save(path)) << path.toStdString();
    }
};

TEST(ReviewWindowTest, ClosingAsksTheStateManagerFirst)
{
    struct Case {
        const char *name;
        bool tailLive;
        bool pendingTake;
        bool closes;
        QStringList calls; // of the state manager's review operations
        bool unsavedSession = false; // else the window shows no recording
        int answer = 2;              // to "Save recording before closing?"
    };
    const std::vector<Case> cases = {
        // Once the operation ends, closing again asks about the unsaved recording: "Don’t Save".
        {"a live tail keeps the window open", true, false, false, {}, false, 1},
        {"a live tail keeps a pending take too", true, true, false, {}, false, 1},
        {"an unapproved take is discarded on close", false, true, true, {"retake"}},
        {"nothing pending closes quietly", false, false, true, {}},
        {"an unsaved recording asks; Cancel keeps the window", false, false, false, {}, true, 2},
        {"an unsaved recording asks; Don’t Save closes it", false, false, true, {}, true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        WindowFixture f;
        f.open();
        EXPECT_EQ(f.h.m().mainWindow(), f.window->findChild<MainWindowHandle *>());
        if (!c.tailLive && !c.unsavedSession)
            f.h.m().replaceCurrentSession(std::nullopt);
        f.h.alerts->answers.push_back(c.answer);
        if (c.pendingTake)
            f.h.m().setPendingTakeID(f.session.scenes[0].takes[1].id);
        if (c.tailLive)
            f.h.m().setTailOperation(tailOperation(TailOperation::Recording{TailOperation::Initial{}}));
        f.h.clearLogs();
        EXPECT_EQ(f.window->close(), c.closes);
        EXPECT_EQ(f.window->isVisible(), !c.closes);
        EXPECT_EQ(f.commands.calls, c.calls);
        if (c.unsavedSession) {
            EXPECT_EQ(f.h.alerts->shown.size(), 1u);
            EXPECT_EQ(f.h.m().session().has_value(), !c.closes);
        }
        if (c.tailLive) {
            EXPECT_EQ(f.h.m().pendingExternalAction(), PendingExternalAction::close);
            EXPECT_TRUE(f.h.appLogLines().contains(
                "[tail] close deferred until the tail operation resolves (pending=close)"));
            // Once the operation has ended the same request closes the window.
            f.h.m().setTailOperation(std::nullopt);
            EXPECT_TRUE(f.window->close());
        }
    }
}

TEST(ReviewWindowTest, StartScreenUntilARecordingOpens)
{
    WindowFixture f;
    f.h.m().replaceCurrentSession(std::nullopt);
    // Recovered recordings of one scene each read apart by their dates and takes.
    Session one = f.h.newSession(), other = f.h.newSession(), three = f.h.newSession();
    one.createdAt = QDateTime(QDate(2026, 3, 1), QTime(9, 5));
    other.createdAt = QDateTime(QDate(2026, 3, 2), QTime(17, 40));
    other.scenes[0].takes.resize(2);
    three.createdAt = QDateTime(); // a manifest without a readable date
    three.scenes.resize(3);
    three.scenes[2].takes.resize(1);
    f.h.m().setRecoverableSessions({one, other, three});
    f.open();
    f.window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(f.window.get()));
    ASSERT_TRUE(f.window->startScreen()->isVisible());
    EXPECT_FALSE(f.window->reviewToolBar()->isVisible());
    EXPECT_TRUE(f.window->startScreen()->showsRecovered());
    QStringList rows;
    const QList<QPushButton *> buttons = f.window->startScreen()->findChildren<QPushButton *>();
    for (QPushButton *button : buttons)
        rows << button->text();
    EXPECT_EQ(rows, (QStringList{"New Recording", "Open Recording…", "Resume 2026-03-01 09:05 (1 scene, 0 takes)",
                                 "Resume 2026-03-02 17:40 (1 scene, 2 takes)",
                                 "Resume (3 scenes, 1 take)"}));
    // The first button has the keyboard at once, its focus frame shown.
    EXPECT_EQ(QApplication::focusWidget(), buttons.first());
    EXPECT_TRUE(f.window->testAttribute(Qt::WA_KeyboardFocusChange));
    f.screenshot(QStringLiteral("start-screen"));
    // Return presses the focused button as Space does. The outline behind the start screen
    // takes none of its keys: Tab moves between the buttons.
    const QStringList pressed[] = {{"guardedNewSession"}, {"guardedOpenSession"}, {"resume 1"}};
    for (size_t i = 0; i < std::size(pressed); ++i) {
        SCOPED_TRACE(i);
        f.commands.calls.clear();
        ASSERT_EQ(QApplication::focusWidget(), buttons[qsizetype(i)]);
        QTest::keyClick(buttons[qsizetype(i)], Qt::Key_Return);
        EXPECT_TRUE(QTest::qWaitFor([&] { return f.commands.calls == pressed[i]; }, 1000)) << f.commands.calls.join(", ").toStdString();
        QTest::keyClick(buttons[qsizetype(i)], Qt::Key_Tab);
    }

    f.h.m().setRecoverableSessions({});
    EXPECT_FALSE(f.window->startScreen()->showsRecovered());

    // Opening a recording switches to the outline and the player.
    f.h.m().replaceCurrentSession(f.session);
    drainEvents();
    EXPECT_TRUE(f.window->splitView()->isVisible());
    EXPECT_TRUE(f.window->reviewToolBar()->isVisible());
    EXPECT_EQ(f.window->subtitle(), QStringLiteral("Recording (2 scenes)"));
}

// The trash button's own click removes its row: the row goes once the click is over, not under
// the button while it still handles the click.
TEST(ReviewWindowTest, DiscardingARecoveredRecordingRemovesItsRowAfterTheClick)
{
    WindowFixture f;
    f.h.m().replaceCurrentSession(std::nullopt);
    Session one = f.h.newSession(), three = f.h.newSession();
    three.scenes.resize(3);
    f.h.m().setRecoverableSessions({one, three});
    f.open();
    QList<QToolButton *> trash = f.window->startScreen()->findChildren<QToolButton *>();
    ASSERT_EQ(trash.size(), 2);
    bool clickWasOver = false;
    QObject::connect(trash.first(), &QToolButton::clicked, trash.first(), [&] { clickWasOver = true; });
    QTest::mouseClick(trash.first(), Qt::LeftButton);
    drainEvents();
    EXPECT_TRUE(clickWasOver);
    EXPECT_EQ(f.commands.calls, QStringList{"discard 1"});
    QStringList rows;
    for (QPushButton *button : f.window->startScreen()->findChildren<QPushButton *>())
        rows << button->text();
    ASSERT_EQ(rows.size(), 3) << rows.join(u'|').toStdString();
    EXPECT_TRUE(rows[2].startsWith(QStringLiteral("Resume")) && rows[2].contains(QStringLiteral("(3 scenes")))
        << rows[2].toStdString();
}

TEST(ReviewWindowTest, SplitViewAndSheets)
{
    WindowFixture f;
    f.h.m().setPendingTakeID(f.session.scenes[0].takes[1].id);
    f.h.m().setCurrentTakeURL(f.h.m().takeURL(QStringLiteral("take2.mov")));
    f.h.m().setState(AppState::reviewing);
    f.open();
    ASSERT_TRUE(f.window->splitView()->isVisible());
    EXPECT_GE(f.window->outline()->width(), 220);
    EXPECT_LE(f.window->outline()->width(), 400);
    EXPECT_TRUE(f.window->toolbarAction(ToolbarButton::Action::approveTake)->isEnabled());
    EXPECT_FALSE(f.window->toolbarAction(ToolbarButton::Action::addTake)->isEnabled());
    EXPECT_EQ(f.window->toolbarAction(ToolbarButton::Action::deleteTake)->toolTip(),
              QStringLiteral("Delete this take (Shift+Super+R)"));
    f.screenshot(QStringLiteral("split-view"));

    TailOperationSheet *tail = f.window->tailSheet();
    f.h.m().setTailOperation(tailOperation(TailOperation::Recording{TailOperation::Initial{}}));
    drainEvents();
    EXPECT_FALSE(tail->isVisible());
    EXPECT_FALSE(f.window->toolbarAction(ToolbarButton::Action::deleteTake)->isEnabled());
    TailOperation operation = *f.h.m().tailOperation();
    operation.phase = TailOperation::Joining{0.42};
    f.h.m().setTailOperation(operation);
    drainEvents();
    ASSERT_TRUE(tail->isVisible());
    EXPECT_EQ(tail->windowModality(), Qt::WindowModal);
    EXPECT_EQ(tail->titleText(), QStringLiteral("Joining…"));
    EXPECT_EQ(tail->progressBar()->maximum(), 1000);
    f.screenshot(QStringLiteral("tail-joining"));

    // Return picks the default choice; Escape does not dismiss the sheet.
    struct Failure {
        TailFailure::Kind kind;
        const char *shot;
        QStringList buttons;
        const char *onReturn;
    };
    for (const Failure &c : {Failure{TailFailure::Kind::transient, "tail-failed-transient", {"Retry", "Discard Tail"}, "retryTailJoin"},
                             Failure{TailFailure::Kind::deterministic, "tail-failed-deterministic",
                                     {"Record Again", "Discard Tail"}, "recordTailAgain"}}) {
        SCOPED_TRACE(c.shot);
        operation.phase = TailOperation::Failed{{c.kind, QStringLiteral("The joined take could not be verified.")}};
        f.h.m().setTailOperation(operation);
        drainEvents();
        EXPECT_EQ(tail->buttonTitles(), c.buttons);
        f.screenshot(QString::fromLatin1(c.shot));
        f.commands.calls.clear();
        QTest::keyClick(tail, Qt::Key_Escape);
        QTest::keyClick(tail, Qt::Key_Return);
        drainEvents();
        EXPECT_TRUE(tail->isVisible());
        EXPECT_EQ(f.commands.calls, QStringList{QString::fromLatin1(c.onReturn)});
    }
    f.h.m().setTailOperation(std::nullopt);
    drainEvents();
    EXPECT_FALSE(tail->isVisible());

    ExportProgressSheet *exporting = f.window->exportSheet();
    f.h.m().setExportProgress(0);
    f.h.m().setIsExporting(true);
    drainEvents();
    ASSERT_TRUE(exporting->isVisible());
    EXPECT_EQ(exporting->windowModality(), Qt::WindowModal);
    EXPECT_EQ(exporting->titleText(), QStringLiteral("Exporting…"));
    EXPECT_EQ(exporting->percentageText(), QString());
    EXPECT_EQ(exporting->progressBar()->maximum(), 0); // indeterminate
    f.screenshot(QStringLiteral("export-0"));
    f.h.m().setExportProgress(0.999);
    drainEvents();
    EXPECT_EQ(exporting->percentageText(), QStringLiteral("99%"));
    f.screenshot(QStringLiteral("export-0.999"));
    QTest::keyClick(exporting, Qt::Key_Escape);
    EXPECT_TRUE(exporting->isVisible());
    f.h.m().setIsExporting(false);
    drainEvents();
    EXPECT_FALSE(exporting->isVisible());

    // A copy of the recording's files that lasts a moment shows in the same sheet, until it ends.
    f.h.m().duplicateScene(f.session.scenes[0].id);
    f.h.time->advance(std::chrono::milliseconds(250)); // shown at once: the copy ends on a later turn
    ASSERT_TRUE(exporting->isVisible());
    EXPECT_EQ(exporting->titleText(), QStringLiteral("Duplicating Scene…"));
    EXPECT_TRUE(lumacast::testing::waitUntil([&] { drainEvents(); return !exporting->isVisible(); }));
}

} // namespace
