// The enabling rules and titles of the application menus, read as data.
#include "FakeShellCommands.h"
#include "StateManagerDoubles.h"

#include "app/ApplicationMenus.h"

#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <optional>

namespace lumacast::testing {
namespace {

using Path = std::vector<QString>; // menu title, item title[, subitem title]

const MenuItem *itemAt(const std::vector<ApplicationMenus::Menu> &menus, const Path &path)
{
    for (const auto &menu : menus) {
        if (menu.title == path.front())
            return findItem(menu.items, Path(path.begin() + 1, path.end()));
    }
    return nullptr;
}

const Path kNew{"File", "New Recording"}, kOpen{"File", "Open Recording…"}, kSave{"File", "Save Recording"},
    kSaveAs{"File", "Save Recording As…"}, kClose{"File", "Close Recording"}, kExport{"File", "Export Video…"},
    kFcpx{"File", "Export to Final Cut Pro / Resolve…"}, kPremiere{"File", "Export for Premiere…"},
    kRecover{"File", "Recover Recording"}, kUndo{"Edit", "Undo"}, kUndoTrim{"Edit", "Undo Trim"},
    kRedo{"Edit", "Redo"}, kRetake{"Takes", "Retake"}, kApprove{"Takes", "Approve"},
    kNextScene{"Takes", "Next Scene"}, kNewTake{"Takes", "New Take"}, kNewScene{"Takes", "New Scene"};

// A packaged session with one take whose movie has `movieBytes` bytes, that take under review.
void reviewTake(ManagerHarness &h, qint64 movieBytes)
{
    Session session = h.adoptSessionWithTakes({1});
    session.bundleURL = session.scratchURL;
    h.m().setCurrentSession(session);
    const Take &take = session.scenes[0].takes[0];
    h.writeTakeFile(take.filename, movieBytes);
    h.m().setCurrentTakeURL(h.m().takeURL(take.filename));
    h.m().setPendingTakeID(take.id);
    h.m().setState(AppState::reviewing);
}

struct MenuCase {
    const char *name;
    std::function<void(ManagerHarness &)> setUp;
    std::map<Path, bool> enabled;
};

const MenuCase kCases[] = {
    {"no session: only new and open",
     [](ManagerHarness &) {},
     {{kNew, true}, {kOpen, true}, {kSave, false}, {kSaveAs, false}, {kClose, false}, {kExport, false},
      {kFcpx, false}, {kPremiere, false}, {kNewTake, false}, {kNewScene, false}, {kUndo, false}}},
    {"an unsaved session: no save, no exports",
     [](ManagerHarness &h) { h.adoptSessionWithTakes({1}); },
     {{kSave, false}, {kExport, false}, {kFcpx, false}, {kSaveAs, true}, {kClose, true}, {kNewTake, true},
      {kNewScene, true}}},
    {"a packaged session: save and exports",
     [](ManagerHarness &h) {
         Session session = h.adoptSessionWithTakes({1});
         session.bundleURL = session.scratchURL;
         h.m().setCurrentSession(session);
     },
     {{kSave, true}, {kExport, true}, {kFcpx, true}, {kPremiere, true}}},
    {"a file panel up greys every file item but the recovery submenu",
     [](ManagerHarness &h) {
         Session session = h.adoptSessionWithTakes({1});
         session.bundleURL = session.scratchURL;
         h.m().setCurrentSession(session);
         h.m().setRecoverableSessions({h.newSession()});
         h.guard.setPresenting(true);
     },
     {{kNew, false}, {kOpen, false}, {kSave, false}, {kSaveAs, false}, {kClose, false}, {kExport, false},
      {kFcpx, false}, {kPremiere, false}, {kRecover, true}, {{"File", "Recover Recording", "Resume (1 scene)"}, true}}},
    {"exporting greys the exports only",
     [](ManagerHarness &h) {
         Session session = h.adoptSessionWithTakes({1});
         session.bundleURL = session.scratchURL;
         h.m().setCurrentSession(session);
         h.m().setIsExporting(true);
     },
     {{kExport, false}, {kFcpx, false}, {kPremiere, false}, {kSave, true}, {kSaveAs, true}, {kClose, true}}},
    {"recording: no new, open, save-as, undo or redo; close stays",
     [](ManagerHarness &h) {
         h.adoptSessionWithTakes({1});
         h.m().checkpoint("Trim");
         h.m().setState(AppState::paused);
     },
     {{kNew, false}, {kOpen, false}, {kSaveAs, false}, {kUndoTrim, false}, {kRedo, false}, {kClose, true}}},
    {"a take counting down: no new, open or save-as either",
     [](ManagerHarness &h) {
         h.adoptSessionWithTakes({1});
         h.m().setState(AppState::starting);
     },
     {{kNew, false}, {kOpen, false}, {kSaveAs, false}, {kClose, true}}},
    {"a live tail: new, open, undo, exports and takes greyed; close and save-as stay",
     [](ManagerHarness &h) {
         reviewTake(h, 2048);
         h.m().checkpoint("Trim");
         TailOperation operation;
         operation.id = QUuid::createUuid();
         h.m().setTailOperation(operation);
     },
     {{kNew, false}, {kOpen, false}, {kUndoTrim, false}, {kExport, false}, {kRetake, false}, {kApprove, false},
      {kNextScene, false}, {kNewTake, false}, {kNewScene, false}, {kClose, true}, {kSaveAs, true}}},
    {"a take under review: retake, approve, next scene; no new take or scene",
     [](ManagerHarness &h) { reviewTake(h, 2048); },
     {{kRetake, true}, {kApprove, true}, {kNextScene, true}, {kNewTake, false}, {kNewScene, false}}},
    {"a reviewed movie of 1024 bytes cannot be approved but can be retaken",
     [](ManagerHarness &h) { reviewTake(h, 1024); },
     {{kRetake, true}, {kApprove, false}, {kNextScene, false}}},
    {"an undo step names itself while idle",
     [](ManagerHarness &h) {
         h.adoptSessionWithTakes({1});
         h.m().checkpoint("Trim");
     },
     {{kUndoTrim, true}, {kRedo, false}}},
};

class ApplicationMenusTest : public ::testing::TestWithParam<MenuCase> {};

TEST_P(ApplicationMenusTest, EnablesByState)
{
    const MenuCase &c = GetParam();
    SCOPED_TRACE(c.name);
    ManagerHarness harness;
    FakeShellCommands commands;
    c.setUp(harness);
    const auto menus = ApplicationMenus(harness.m(), commands, harness.guard, {}).build();
    for (const auto &[path, enabled] : c.enabled) {
        const MenuItem *item = itemAt(menus, path);
        ASSERT_NE(item, nullptr) << path.back().toStdString();
        EXPECT_EQ(item->enabled, enabled) << path.back().toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(States, ApplicationMenusTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

TEST(ApplicationMenus, MenusAndKeys)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    const auto menus = ApplicationMenus(harness.m(), commands, harness.guard, {}).build();
    std::vector<QString> names;
    for (const auto &menu : menus)
        names.push_back(menu.title);
    EXPECT_EQ(names, (std::vector<QString>{"Lumacast", "File", "Edit", "Takes", "Help"}));
    EXPECT_EQ(itemAt(menus, {"Help", "Lumacast Keyboard Shortcuts"})->keyHint, QKeySequence(Qt::Key_F1));
    EXPECT_EQ(itemAt(menus, {"Lumacast", "Settings…"})->keyHint, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    // Approve and New Take share the end-take binding; Next Scene and New Scene the next-scene one.
    EXPECT_EQ(itemAt(menus, {"Takes", "Approve"})->keyHint, itemAt(menus, {"Takes", "New Take"})->keyHint);
    EXPECT_EQ(itemAt(menus, {"Takes", "Next Scene"})->keyHint, itemAt(menus, {"Takes", "New Scene"})->keyHint);
}

TEST(ApplicationMenus, UndoDoesNothingWhileRenaming)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    harness.adoptSessionWithTakes({1});
    harness.m().checkpoint("Trim");
    harness.m().setIsRenaming(true);
    itemAt(ApplicationMenus(harness.m(), commands, harness.guard, {}).build(), kUndoTrim)->action();
    harness.m().setIsRenaming(false);
    itemAt(ApplicationMenus(harness.m(), commands, harness.guard, {}).build(), kUndoTrim)->action();
    EXPECT_EQ(commands.calls, QStringList{"undo"});
}

TEST(ApplicationMenus, NewSceneApprovesAdvancesThenStarts)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    harness.adoptSessionWithTakes({1});
    itemAt(ApplicationMenus(harness.m(), commands, harness.guard, {}).build(), kNewScene)->action();
    EXPECT_EQ(commands.calls, (QStringList{"autoApprove", "advanceToScene", "startRecording"}));
}

QMenu *barMenu(QMenuBar &bar, const QString &title)
{
    for (QAction *action : bar.actions()) {
        if (QMenu *menu = QMenu::menuInAction(action); menu && menu->title() == title)
            return menu;
    }
    return nullptr;
}

// A trim drag publishes an undo step per move: the menu the user holds open must stay open, its
// entries the same QActions with new titles and enabling; only a change of entries refills it.
TEST(ApplicationMenus, AnOpenMenuStaysOpenWhileTitlesAndEnablingChange)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    harness.adoptSessionWithTakes({1});
    ApplicationMenus menus(harness.m(), commands, harness.guard, {});
    QMainWindow window;
    menus.install(*window.menuBar());
    QMenu *edit = barMenu(*window.menuBar(), "Edit");
    QMenu *file = barMenu(*window.menuBar(), "File");
    ASSERT_TRUE(edit && file);
    QAction *undo = edit->actions().at(0);
    edit->popup(QPoint(40, 40));
    ASSERT_TRUE(QTest::qWaitFor([&] { return edit->isVisible(); }, 2000));

    const struct {
        const char *step;
        std::function<void()> change;
        QString undoTitle;
        bool undoEnabled;
    } steps[] = {
        {"a trim", [&] { harness.m().checkpoint("Trim"); }, "Undo Trim", true},
        {"another kind of edit", [&] { harness.m().checkpoint("Rename Scene"); }, "Undo Rename Scene", true},
        {"a take starts", [&] { harness.m().setState(AppState::recording); }, "Undo Rename Scene", false},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.step);
        step.change();
        QTest::qWait(20);
        EXPECT_EQ(barMenu(*window.menuBar(), "Edit"), edit);
        EXPECT_TRUE(edit->isVisible());
        ASSERT_EQ(edit->actions().at(0), undo);
        EXPECT_EQ(undo->text(), step.undoTitle);
        EXPECT_EQ(undo->isEnabled(), step.undoEnabled);
    }
    harness.m().setState(AppState::idle);
    QTest::qWait(20);
    undo->trigger();
    QTest::qWait(20);
    EXPECT_EQ(commands.calls, QStringList{"undo"});

    // New entries (recovered recordings) refill that menu, in the same place.
    const qsizetype before = file->actions().size();
    harness.m().setRecoverableSessions({harness.newSession()});
    QTest::qWait(20);
    EXPECT_EQ(barMenu(*window.menuBar(), "File"), file);
    EXPECT_EQ(file->actions().size(), before + 1);
    EXPECT_TRUE(edit->isVisible());
}

// Choosing a choice that is already on does nothing and leaves its mark on; choosing another
// moves the mark. The marks show the state whatever Qt's own flip of a checkable action did.
TEST(ApplicationMenus, RecordMarksAlwaysShowTheState)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    ApplicationMenus menus(harness.m(), commands, harness.guard, {});
    menus.setOffersCaptureChoices(true);
    QMainWindow window;
    menus.install(*window.menuBar());
    const auto entry = [&](const QString &submenu, const QString &title) -> QAction * {
        const QList<QAction *> subs = barMenu(*window.menuBar(), "Record")->actions();
        const auto sub = std::find_if(subs.begin(), subs.end(), [&](QAction *a) { return a->text() == submenu; });
        const QList<QAction *> items = QMenu::menuInAction(*sub)->actions();
        return *std::find_if(items.begin(), items.end(), [&](QAction *a) { return a->text() == title; });
    };
    const struct {
        const char *submenu, *chosen;
        std::vector<const char *> on, off; // of the same submenu
    } steps[] = {
        {"Capture", "Whole screen", {"Whole screen"}, {}},
        {"Webcam", "Off", {"Off", "Round"}, {"Square"}},
        {"Webcam", "Square", {"Square"}, {"Round"}},
        {"Webcam", "Square", {"Square"}, {"Round"}},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.chosen);
        QAction *chosen = entry(step.submenu, step.chosen);
        chosen->setEnabled(true); // the shapes are a choice of their own while the webcam is off
        chosen->trigger();
        QTest::qWait(20);
        for (const char *title : step.on)
            EXPECT_TRUE(entry(step.submenu, title)->isChecked()) << title;
        for (const char *title : step.off)
            EXPECT_FALSE(entry(step.submenu, title)->isChecked()) << title;
    }
}

// Resuming a recovered recording takes its entry out of the File menu and may show an alert,
// whose modal loop deletes the old submenu: an entry runs only once its menu is done with the
// click that chose it, never under it.
TEST(ApplicationMenus, AnEntryRunsOnceItsMenuIsDoneWithTheClick)
{
    QMainWindow window;
    QMenu *file = window.menuBar()->addMenu("File");
    bool menuDone = false;
    std::optional<bool> ranAfterMenu;
    std::function<MenuItems(bool)> entries = [&](bool recoverable) {
        MenuItems items{MenuItem::button("New Recording", [] {})};
        if (recoverable) {
            items.push_back(MenuItem::submenu("Recover Recording", {MenuItem::button("Resume (1 scene)", [&] {
                ranAfterMenu = menuDone;
                updateMenu(*file, entries(false));
                QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); // as a modal loop would
            })}));
        }
        return items;
    };
    fillMenu(*file, entries(true));
    QMenu *recover = QMenu::menuInAction(file->actions().at(1));
    ASSERT_TRUE(recover);
    QObject::connect(recover, &QMenu::triggered, [&] { menuDone = true; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    recover->popup(window.mapToGlobal(QPoint(20, 20)));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(recover));
    // Chosen with the keyboard: the menu activates the entry from its own event handler as for a
    // click, and the keys reach it on every Qt release, where a synthesized click may not.
    recover->setActiveAction(recover->actions().at(0));
    QTest::keyClick(recover, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ranAfterMenu.has_value(); }, 2000));
    EXPECT_TRUE(*ranAfterMenu);
    EXPECT_EQ(file->actions().size(), 1);
}

} // namespace
} // namespace lumacast::testing
