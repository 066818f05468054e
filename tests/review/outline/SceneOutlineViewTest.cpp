// The outline as a widget over a host: reloads, rename, keys, row buttons, menus, drops.
#include "OutlineTestHost.h"
#include "review/outline/SceneOutline.h"
#include "review/outline/SceneOutlineCommands.h"
#include "review/outline/SceneOutlineModel.h"
#include "review/outline/SceneTreeCellDelegate.h"
#include "store/InteractionGate.h"
#include "support/LogCapture.h"

#include <QAbstractItemModelTester>
#include <QAccessible>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <functional>

namespace lumacast {
namespace {

using testing::OutlineTestHost;

struct Fixture {
    OutlineTestHost host;
    QWidget window;
    SceneOutline *outline;
    QPushButton *button;
    QLineEdit *field;
    QStringList alerts;
    int answer = 0; // button index the alerts answer with
    QList<PlaybackKey> keys;
    QStringList previews;

    explicit Fixture(const QList<int> &takeCounts) : host(takeCounts)
    {
        auto *layout = new QVBoxLayout(&window);
        outline = new SceneOutline(&host);
        button = new QPushButton("Other");
        field = new QLineEdit;
        layout->addWidget(outline);
        layout->addWidget(button);
        layout->addWidget(field);
        window.resize(320, 480);
        outline->commands()->setAlertPresenter([this](const SceneOutlineCommands::Alert &alert) {
            alerts << alert.message + " / " + alert.informativeText;
            return answer;
        });
        QObject::connect(outline, &SceneOutline::playbackKey, [this](const PlaybackKey &k) { keys << k; });
        QObject::connect(outline, &SceneOutline::selectTakeForPreview,
                         [this](const QUuid &id, const QString &) { previews << host.label(id); });
        QObject::connect(outline, &SceneOutline::clearPreview, [this] { previews << "clear"; });
        window.show();
        window.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
        outline->setFocus();
    }
    QModelIndex row(const QUuid &id) const { return outline->rowOf(id); }
    QRect rect(const QUuid &id) const { return outline->visualRect(row(id)); }
    void select(const QList<QUuid> &ids)
    {
        if (!ids.isEmpty())
            outline->selectionModel()->setCurrentIndex(row(ids.first()), QItemSelectionModel::NoUpdate);
        QItemSelection selection;
        for (const QUuid &id : ids)
            selection.select(row(id), row(id));
        outline->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
    }
    QString display(const QUuid &id) const { return row(id).data().toString(); }
    QStringList takeCalls()
    {
        QStringList calls = host.calls;
        calls.removeIf([](const QString &c) { return c.startsWith("setCurrentScene"); });
        host.calls.clear();
        return calls;
    }
};

TEST(SceneOutlineView, ModelStaysConsistentOverEdits)
{
    testing::LogCapture log("qt.modeltest");
    Fixture f({2, 1, 0});
    QAbstractItemModelTester tester(f.outline->outlineModel(),
                                    QAbstractItemModelTester::FailureReportingMode::Warning);
    const std::function<void(OutlineTestHost &)> edits[] = {
        [](OutlineTestHost &h) { h.renameScene(h.scene(0), "Opening"); },
        [](OutlineTestHost &h) { h.selectTake(h.scene(0), h.take(0, 1)); },
        [](OutlineTestHost &h) { h.pending = h.take(1, 0); h.publish(); },
        [](OutlineTestHost &h) { h.session->scenes[0].takes[0].trimEnd = 4; h.publish(); },
        [](OutlineTestHost &h) { h.moveTakes({h.take(0, 0)}, h.scene(2)); },
        [](OutlineTestHost &h) { h.reorderScenes({h.scene(2)}, 0); },
        [](OutlineTestHost &h) { h.deleteItems({h.scene(1)}, {h.take(0, 0)}); },
        [](OutlineTestHost &h) { h.session.reset(); h.publish(); },
        [](OutlineTestHost &h) { h.session = OutlineTestHost({3}).session; h.publish(); }};
    for (const auto &edit : edits) {
        edit(f.host);
        const SceneOutlineModel *model = f.outline->outlineModel();
        const qsizetype scenes = f.host.session ? f.host.session->scenes.size() : 0;
        ASSERT_EQ(model->rowCount(), scenes);
        for (int s = 0; s < scenes; ++s) {
            const RecordingScene &scene = f.host.session->scenes[s];
            EXPECT_EQ(SceneOutlineModel::itemID(model->index(s, 0)), scene.id);
            EXPECT_EQ(model->rowCount(model->index(s, 0)), scene.takes.size());
        }
        EXPECT_EQ(f.outline->lastSignature(),
                  outline::outlineSignature(f.host.session, f.host.pending));
    }
    EXPECT_EQ(log.texts(), QStringList());
}

TEST(SceneOutlineView, ReloadKeepsSelectionExpansionAndAnOpenRename)
{
    struct Case {
        const char *what;
        std::function<void(OutlineTestHost &)> edit;
        bool reset;
    };
    const Case cases[] = {
        {"trim of a take", [](OutlineTestHost &h) { h.session->scenes[0].takes[1].trimStart = 2; h.publish(); }, false},
        {"rename of another row", [](OutlineTestHost &h) { h.renameTake(h.scene(0), h.take(0, 0), "X"); }, false},
        {"new take", [](OutlineTestHost &h) { h.session->scenes[0].takes << h.session->scenes[1].takes[0]; h.session->scenes[0].takes.last().id = QUuid::createUuid(); h.publish(); }, true},
        {"take moved", [](OutlineTestHost &h) { h.moveTakes({h.take(0, 0)}, h.scene(2)); }, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f({2, 1, 1});
        const QUuid selected = f.host.take(0, 1), collapsed = f.host.scene(1), renamed = f.host.scene(2);
        f.outline->collapse(f.row(collapsed));
        f.select({selected});
        f.outline->edit(f.row(renamed));
        ASSERT_TRUE(f.outline->cellDelegate()->openEditor());
        f.outline->cellDelegate()->openEditor()->setText("Draft");
        QSignalSpy resets(f.outline->outlineModel(), &QAbstractItemModel::modelReset);
        QSignalSpy renaming(f.outline, &SceneOutline::renamingChanged);
        c.edit(f.host);
        EXPECT_EQ(resets.size(), c.reset ? 1 : 0);
        QLineEdit *editor = f.outline->cellDelegate()->openEditor();
        ASSERT_TRUE(editor);
        EXPECT_EQ(editor->text(), "Draft");
        EXPECT_EQ(f.outline->cellDelegate()->openEditorItem(), renamed);
        EXPECT_TRUE(renaming.isEmpty());
        EXPECT_FALSE(f.outline->isExpanded(f.outline->outlineModel()->indexOf(collapsed)));
        EXPECT_EQ(f.outline->selectedItems().takeIDs, QList<QUuid>{selected});
        EXPECT_TRUE(f.takeCalls().filter("rename").size() <= 1);
    }
}

TEST(SceneOutlineView, OnlySignatureChangesReachTheRows)
{
    Fixture f({1});
    QSignalSpy changes(f.outline->outlineModel(), &QAbstractItemModel::dataChanged);
    f.host.session->scenes[0].takes[0].duration = 99; // not shown: no reload
    f.host.session->scenes[0].takes[0].filename = "other.mov";
    f.host.publish();
    EXPECT_EQ(changes.size(), 0);
    f.host.session->scenes[0].takes[0].trimEnd = 9.5;
    f.host.publish();
    EXPECT_GT(changes.size(), 0);
    EXPECT_EQ(f.row(f.host.take(0, 0)).data(SceneOutlineModel::KeptLengthRole).toString(), "0:09");
}

TEST(SceneOutlineView, RenameCommitsOnlyOnReturnAndCancelShowsTheStoredName)
{
    struct Case { const char *what; std::function<void(Fixture &, QLineEdit *)> end; QStringList calls; };
    const Case cases[] = {
        {"Return", [](Fixture &, QLineEdit *e) { QTest::keyClick(e, Qt::Key_Return); }, {"renameTake S0 S0T1 Typed"}},
        {"keypad Enter", [](Fixture &, QLineEdit *e) { QTest::keyClick(e, Qt::Key_Enter, Qt::KeypadModifier); }, {"renameTake S0 S0T1 Typed"}},
        {"Escape", [](Fixture &, QLineEdit *e) { QTest::keyClick(e, Qt::Key_Escape); }, {}},
        {"Tab", [](Fixture &, QLineEdit *e) { QTest::keyClick(e, Qt::Key_Tab); }, {}},
        {"Back-Tab", [](Fixture &, QLineEdit *e) { QTest::keyClick(e, Qt::Key_Backtab, Qt::ShiftModifier); }, {}},
        {"click elsewhere", [](Fixture &f, QLineEdit *) { f.field->setFocus(Qt::MouseFocusReason); }, {}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f({2});
        f.select({f.host.take(0, 1)});
        QSignalSpy renaming(f.outline, &SceneOutline::renamingChanged);
        QTest::keyClick(f.outline, Qt::Key_Return);
        QLineEdit *editor = f.outline->cellDelegate()->openEditor();
        ASSERT_TRUE(editor);
        EXPECT_EQ(editor->text(), "Take 2");
        editor->setText("Typed");
        c.end(f, editor);
        QCoreApplication::processEvents();
        EXPECT_EQ(f.takeCalls(), c.calls);
        // The row shows the stored name at once: no field is left over the row.
        EXPECT_FALSE(f.outline->cellDelegate()->openEditor() && f.outline->cellDelegate()->openEditor()->isVisible());
        EXPECT_EQ(f.display(f.host.take(0, 1)), c.calls.isEmpty() ? "Take 2" : "Typed");
        EXPECT_EQ(renaming.size(), 2);
        EXPECT_TRUE(f.outline->hasFocus());
    }
}

TEST(SceneOutlineView, Keys)
{
    using P = PlaybackKey;
    struct Case {
        const char *what;
        std::function<QList<QUuid>(OutlineTestHost &)> selection;
        int key;
        Qt::KeyboardModifiers modifiers;
        bool trimSelected;
        int answer;
        QStringList calls;
        QStringList alerts;
        QList<P> keys;
        std::function<std::optional<QUuid>(OutlineTestHost &)> focus; // after the key
    };
    auto none = [](OutlineTestHost &) { return std::optional<QUuid>(); };
    const Case cases[] = {
        {"one take deletes at once", [](auto &h) { return QList{h.take(0, 0)}; }, Qt::Key_Backspace, {}, false, 0,
         {"deleteItems  / S0T0"}, {}, {}, [](auto &h) { return std::optional(h.take(0, 1)); }},
        {"two takes ask, Cancel", [](auto &h) { return QList{h.take(0, 0), h.take(0, 1)}; }, Qt::Key_Delete, {}, false, 1,
         {}, {"Delete 2 Items? / This deletes 2 take(s)."}, {}, none},
        {"scene asks, Delete", [](auto &h) { return QList{h.scene(0)}; }, Qt::Key_Delete, {}, false, 0,
         {"deleteItems S0 / "}, {"Delete Scene? / This deletes 1 scene(s) and 2 take(s)."}, {},
         [](auto &h) { return std::optional(h.scene(1)); }},
        {"every scene refused", [](auto &h) { return QList{h.scene(0), h.scene(1)}; }, Qt::Key_Delete, {}, false, 0,
         {}, {"Can't Delete Every Scene / A recording needs at least one scene."}, {}, none},
        {"last take of last scene", [](auto &h) { return QList{h.take(1, 0)}; }, Qt::Key_Delete, {}, false, 0,
         {"deleteItems  / S1T0"}, {}, {}, [](auto &h) { return std::optional(h.scene(1)); }},
        {"Return with a trim handle", [](auto &h) { return QList{h.take(0, 0)}; }, Qt::Key_Return, {}, true, 0,
         {}, {}, {P{P::deselectTrim}}, none},
        {"Escape", [](auto &h) { return QList{h.take(0, 0)}; }, Qt::Key_Escape, {}, false, 0, {}, {}, {P{P::deselectTrim}}, none},
        {"Space with Control", [](auto &) { return QList<QUuid>{}; }, Qt::Key_Space, Qt::ControlModifier, false, 0,
         {}, {}, {P{P::playPauseOrSnap}}, none},
        {"Alt+Right", [](auto &) { return QList<QUuid>{}; }, Qt::Key_Right, Qt::AltModifier, false, 0, {}, {},
         {P::makeNudge(true, true)}, none},
        {"Alt+Down from a scene", [](auto &h) { h.session->scenes[0].selectedTakeID = h.take(0, 1); return QList{h.scene(0)}; },
         Qt::Key_Down, Qt::AltModifier, false, 0, {}, {}, {}, [](auto &h) { return std::optional(h.take(0, 1)); }},
        {"plain Down moves the selection", [](auto &h) { return QList{h.take(0, 0)}; }, Qt::Key_Down, {}, false, 0,
         {}, {}, {}, [](auto &h) { return std::optional(h.take(0, 1)); }},
        {"Alt+Up without checks", [](auto &h) { return QList{h.take(1, 0)}; }, Qt::Key_Up, Qt::AltModifier, false, 0,
         {}, {}, {}, none}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f({2, 1});
        f.outline->setTrimHandleSelectedQuery([&] { return c.trimSelected; });
        const QList<QUuid> selection = c.selection(f.host);
        const std::optional<QUuid> expectedFocus = c.focus(f.host);
        f.select(selection);
        f.outline->changeFocusedItemID(std::nullopt);
        f.answer = c.answer;
        f.takeCalls();
        QTest::keyClick(f.outline, Qt::Key(c.key), c.modifiers);
        EXPECT_EQ(f.takeCalls(), c.calls);
        EXPECT_EQ(f.alerts, c.alerts);
        EXPECT_EQ(f.keys, c.keys);
        if (expectedFocus) {
            EXPECT_EQ(f.outline->focusedItemID(), expectedFocus);
        }
        EXPECT_FALSE(f.outline->cellDelegate()->openEditor());
    }
}

TEST(SceneOutlineView, KeysElsewhereInTheWindowGoToTheOutlineButTextFieldsKeepTheirs)
{
    Fixture f({1});
    f.button->setFocus();
    QTest::keyClick(f.button, Qt::Key_Space);
    EXPECT_EQ(f.keys, QList<PlaybackKey>{PlaybackKey{PlaybackKey::playPauseOrSnap}});
    EXPECT_TRUE(f.outline->hasFocus());
    f.field->setFocus();
    QTest::keyClicks(f.field, "a[");
    EXPECT_EQ(f.field->text(), "a[");
    EXPECT_EQ(f.keys.size(), 1);
}

// Keys pressed elsewhere in the window: a hidden outline (behind the start screen) leaves them
// alone; a disabled one (a live tail) still plays, pauses, deselects and jumps, but edits nothing
// and moves no selection.
TEST(SceneOutlineView, RoutedKeysWhileHiddenOrDuringALiveTail)
{
    using P = PlaybackKey;
    struct Case {
        const char *what;
        bool hidden;
        int key;
        Qt::KeyboardModifiers modifiers;
        QList<P> keys;
        bool buttonClicked;
        const char *focusAfter; // label of the focused item after the key
        QStringList calls;
    };
    const Case cases[] = {
        {"hidden: Space is the button's", true, Qt::Key_Space, {}, {}, true, "S0T0", {}},
        {"hidden: Escape passes", true, Qt::Key_Escape, {}, {}, false, "S0T0", {}},
        {"tail: Space plays", false, Qt::Key_Space, {}, {P{P::playPauseOrSnap}}, false, "S0T0", {}},
        {"tail: Escape deselects", false, Qt::Key_Escape, {}, {P{P::deselectTrim}}, false, "S0T0", {}},
        {"tail: Return with a handle deselects", false, Qt::Key_Return, {}, {P{P::deselectTrim}}, false, "S0T0", {}},
        {"tail: Alt+Down jumps", false, Qt::Key_Down, Qt::AltModifier, {}, false, "S1T0", {"preview S1T0"}},
        {"tail: Delete edits nothing", false, Qt::Key_Delete, {}, {}, false, "S0T0", {}},
        {"tail: plain Down keeps the selection", false, Qt::Key_Down, {}, {}, false, "S0T0", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f({2, 1});
        f.host.session->scenes[0].selectedTakeID = f.host.take(0, 0);
        f.host.session->scenes[1].selectedTakeID = f.host.take(1, 0);
        f.host.publish();
        f.select({f.host.take(0, 0)});
        f.outline->setTrimHandleSelectedQuery([] { return true; });
        if (c.hidden) {
            f.outline->hide();
        } else {
            f.host.interactions = false;
            f.host.publish();
            ASSERT_FALSE(f.outline->isEnabled());
        }
        f.button->setFocus();
        f.takeCalls();
        f.previews.clear();
        f.keys.clear();
        QSignalSpy clicked(f.button, &QPushButton::clicked);
        QTest::keyClick(f.button, Qt::Key(c.key), c.modifiers);
        EXPECT_EQ(f.keys, c.keys);
        EXPECT_EQ(clicked.size(), c.buttonClicked ? 1 : 0);
        EXPECT_EQ(f.host.label(f.outline->focusedItemID().value_or(QUuid())), c.focusAfter);
        QStringList seen = f.takeCalls();
        for (const QString &preview : f.previews)
            seen << "preview " + preview;
        EXPECT_EQ(seen, c.calls);
        EXPECT_EQ(f.outline->selectedItems().takeIDs.size(), 1);
    }
}

TEST(SceneOutlineView, RowButtonsAndContextMenus)
{
    Fixture f({2, 1});
    f.host.pending = f.host.take(1, 0);
    f.host.publish();
    auto click = [&](const QRect &button) {
        QTest::mouseClick(f.outline->viewport(), Qt::LeftButton, {}, button.center());
        QCoreApplication::processEvents();
    };
    click(SceneTreeCellDelegate::checkRect(f.rect(f.host.take(0, 1))));
    click(SceneTreeCellDelegate::checkRect(f.rect(f.host.take(0, 1))));
    EXPECT_TRUE(f.outline->selectedItems().isEmpty()) << "a button click selects nothing";
    click(SceneTreeCellDelegate::checkRect(f.rect(f.host.take(1, 0)))); // under review: disabled
    EXPECT_EQ(f.takeCalls(), (QStringList{"selectTake S0 S0T1", "selectTake S0 -"}));
    f.answer = 0;
    click(SceneTreeCellDelegate::trashRect(f.rect(f.host.scene(0))));
    EXPECT_EQ(f.alerts, QStringList{"Delete Scene? / This deletes 1 scene(s) and 2 take(s)."});
    EXPECT_EQ(f.takeCalls(), QStringList{"deleteItems S0 / "});

    Fixture g({2, 1});
    g.select({g.host.take(0, 0)});
    std::unique_ptr<QMenu> menu = g.outline->contextMenuAt(g.rect(g.host.scene(1)).center());
    ASSERT_TRUE(menu);
    QStringList titles;
    for (QAction *action : menu->actions())
        titles << (action->isSeparator() ? "-" : action->text());
    EXPECT_EQ(titles, (QStringList{"Duplicate Scene", "Rename Scene", "-", "Delete Scene"}));
    EXPECT_EQ(g.outline->selectedItems().sceneIDs, QList<QUuid>{g.host.scene(1)}) << "the clicked row alone";
    menu->actions().first()->trigger();
    EXPECT_EQ(g.takeCalls(), QStringList{"duplicateScene S1"});
    g.host.interactions = false;
    g.host.publish();
    EXPECT_FALSE(g.outline->contextMenuAt(g.rect(g.host.scene(0)).center()));
}

// "Delete Scene?" holds the interaction gate while it is up, and "Delete" removes what it named
// as the recording is when the answer comes: a take recorded or dropped into the scene meanwhile
// stays, with its scene, and another recording is left alone.
TEST(SceneOutlineView, TheDeleteQuestionDeletesWhatItNamed)
{
    const struct {
        const char *name;
        std::function<void(OutlineTestHost &)> meanwhile;
        QStringList calls;
    } rows[] = {
        {"nothing", [](OutlineTestHost &) {}, {"deleteItems S1 / "}},
        {"a take recorded into the scene",
         [](OutlineTestHost &h) { h.session->scenes[1].takes << testing::makeTrimmedTake("new.mov", 10, 0, 10); },
         {"deleteItems  / S1T0"}},
        {"its take dropped onto another scene and another dropped onto it",
         [](OutlineTestHost &h) {
             const QUuid named = h.take(1, 0), other = h.take(0, 0);
             h.moveTakes({named}, h.scene(0));
             h.moveTakes({other}, h.scene(1));
         },
         {"deleteItems  / S0T0"}},
        {"another recording opened", [](OutlineTestHost &h) { h.session->id = QUuid::createUuid(); }, {}}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Fixture f({1, 1});
        bool heldWhileAsked = false;
        f.outline->commands()->setAlertPresenter([&](const SceneOutlineCommands::Alert &) {
            heldWhileAsked = InteractionGate::shared().isAsking();
            row.meanwhile(f.host);
            f.host.publish();
            f.host.calls.clear();
            return 0;
        });
        f.outline->commands()->confirmDelete({f.host.scene(1)}, {});
        EXPECT_TRUE(heldWhileAsked) << "the question did not hold the gate";
        EXPECT_FALSE(InteractionGate::shared().isAsking()) << "the answer left the gate held";
        EXPECT_EQ(f.takeCalls(), row.calls);
    }
}

// The painted trash buttons are buttons named "Delete scene" to assistive tools, where they are
// painted; pressing one asks to delete its scene. With one scene left there is none.
TEST(SceneOutlineView, TrashButtonsAreAccessibleButtons)
{
    Fixture f({2, 1});
    auto trashButtons = [&] {
        QList<QPushButton *> shown;
        for (QPushButton *button : f.window.findChildren<QPushButton *>())
            if (button->isVisible() && button->accessibleName() == "Delete scene")
                shown << button;
        return shown;
    };
    QCoreApplication::processEvents();
    const QList<QPushButton *> buttons = trashButtons();
    ASSERT_EQ(buttons.size(), 2);
    QAccessibleInterface *windowAccess = QAccessible::queryAccessibleInterface(&f.window);
    for (int s = 0; s < 2; ++s) {
        const QRect painted = SceneTreeCellDelegate::trashRect(f.rect(f.host.scene(s)));
        QPushButton *button = buttons[s];
        EXPECT_EQ(button->geometry(), QRect(f.outline->viewport()->mapTo(&f.window, painted.topLeft()), painted.size()));
        QAccessibleInterface *access = QAccessible::queryAccessibleInterface(button);
        ASSERT_TRUE(access);
        EXPECT_EQ(access->role(), QAccessible::Button);
        EXPECT_EQ(access->text(QAccessible::Name), "Delete scene");
        EXPECT_GE(windowAccess->indexOfChild(access), 0) << "not among the window's elements";
    }
    f.answer = 0;
    QAccessible::queryAccessibleInterface(buttons[1])->actionInterface()->doAction(
        QAccessibleActionInterface::pressAction());
    QTest::qWait(300); // the press animates
    EXPECT_EQ(f.alerts, QStringList{"Delete Scene? / This deletes 1 scene(s) and 1 take(s)."});
    EXPECT_EQ(f.takeCalls(), QStringList{"deleteItems S1 / "});
    QCoreApplication::processEvents();
    EXPECT_TRUE(trashButtons().isEmpty());
}

// Sends a drag of `dragged` and its drop at `position` of the viewport; true when accepted.
bool drop(Fixture &f, const QList<QUuid> &dragged, const QPoint &position)
{
    QModelIndexList rows;
    for (const QUuid &id : dragged)
        rows << f.outline->outlineModel()->indexOf(id);
    std::unique_ptr<QMimeData> data(f.outline->outlineModel()->mimeData(rows));
    if (!data)
        return false;
    QDragEnterEvent enter(position, Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QCoreApplication::sendEvent(f.outline->viewport(), &enter);
    QDragMoveEvent move(position, Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QCoreApplication::sendEvent(f.outline->viewport(), &move);
    QDropEvent dropEvent(position, Qt::MoveAction, data.get(), Qt::LeftButton, {});
    QCoreApplication::sendEvent(f.outline->viewport(), &dropEvent);
    return dropEvent.isAccepted();
}

TEST(SceneOutlineView, DropsThroughTheView)
{
    enum Where { onto, above };
    struct Case {
        const char *what;
        std::function<QList<QUuid>(OutlineTestHost &)> dragged;
        std::function<QUuid(OutlineTestHost &)> target; // null: the empty area past the end
        Where where;
        QString call;
    };
    const Case cases[] = {
        {"scene onto a scene", [](auto &h) { return QList{h.scene(2)}; }, [](auto &h) { return h.scene(0); }, onto, "reorderScenes S2 -> 0"},
        {"scene onto a take", [](auto &h) { return QList{h.scene(0)}; }, [](auto &h) { return h.take(1, 0); }, onto, "reorderScenes S0 -> 1"},
        {"scene between scenes", [](auto &h) { return QList{h.scene(0)}; }, [](auto &h) { return h.scene(2); }, above, "reorderScenes S0 -> 2"},
        {"scene past the end", [](auto &h) { return QList{h.scene(0)}; }, [](auto &) { return QUuid(); }, onto, "reorderScenes S0 -> 3"},
        {"takes onto a scene", [](auto &h) { return QList{h.take(0, 1), h.take(0, 0)}; }, [](auto &h) { return h.scene(2); }, onto, "moveTakes S0T0,S0T1 -> S2"},
        {"take onto a take", [](auto &h) { return QList{h.take(0, 0)}; }, [](auto &h) { return h.take(1, 0); }, onto, "moveTakes S0T0 -> S1"},
        {"take between takes", [](auto &h) { return QList{h.take(1, 0)}; }, [](auto &h) { return h.take(0, 1); }, above, "moveTakes S1T0 -> S0"},
        {"take between scenes", [](auto &h) { return QList{h.take(0, 0)}; }, [](auto &h) { return h.scene(2); }, above, "moveTakes S0T0 -> S2"},
        {"take past the end", [](auto &h) { return QList{h.take(1, 0)}; }, [](auto &) { return QUuid(); }, onto, "moveTakes S1T0 -> S0"},
        {"scene first wins", [](auto &h) { return QList{h.take(1, 0), h.scene(0)}; }, [](auto &h) { return h.scene(2); }, onto, "reorderScenes S0 -> 2"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f({2, 1, 0});
        const QUuid target = c.target(f.host);
        const QPoint at = target.isNull()
            ? QPoint(20, f.outline->viewport()->height() - 5)
            : (c.where == onto ? f.rect(target).center() : f.rect(target).topLeft() + QPoint(40, 1));
        f.takeCalls();
        EXPECT_TRUE(drop(f, c.dragged(f.host), at));
        EXPECT_EQ(f.takeCalls(), QStringList{c.call});
    }
    Fixture f({2, 1});
    f.host.interactions = false;
    f.host.publish();
    EXPECT_FALSE(drop(f, {f.host.scene(0)}, f.rect(f.host.scene(1)).center()));
    EXPECT_TRUE(f.takeCalls().isEmpty());
}

TEST(SceneOutlineView, Screenshot)
{
    Fixture f({2, 1, 1});
    OutlineTestHost &h = f.host;
    h.session->scenes[0].selectedTakeID = h.take(0, 0);
    h.session->scenes[2].selectedTakeID = h.take(2, 0);
    h.session->scenes[2].name = "A scene with a rather long name that must stop short";
    h.session->scenes[0].takes[0].trimEnd = 75.9;
    h.pending = h.take(0, 1);
    h.session->currentSceneIndex = 0;
    h.publish();
    f.select({h.take(0, 0)});
    QCoreApplication::processEvents();
    EXPECT_EQ(h.session->currentSceneIndex, 0);
    const QImage image = f.outline->grab().toImage();
    const QString path = QStringLiteral(LUMACAST_BINARY_DIR "/screenshots/scene-outline.png");
    QDir().mkpath(QFileInfo(path).path());
    ASSERT_TRUE(image.save(path));
    auto hasColour = [&](const QRect &r, auto test) {
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                if (test(image.pixelColor(x * image.width() / f.outline->width(), y * image.height() / f.outline->height())))
                    return true;
        return false;
    };
    // The accents as painted: tones that read on the row's background.
    const auto near = [](QColor want) {
        return [want](QColor c) {
            // Small text is antialiased: its core comes near the pen's colour, not onto it.
            return std::abs(c.red() - want.red()) < 40 && std::abs(c.green() - want.green()) < 40
                && std::abs(c.blue() - want.blue()) < 40;
        };
    };
    using Accent = SceneTreeCellDelegate::Accent;
    const QPalette palette = f.outline->viewport()->palette();
    const auto red = near(SceneTreeCellDelegate::accentColor(Accent::reviewing, palette, false));
    const auto yellow = near(SceneTreeCellDelegate::accentColor(Accent::skipped, palette, false));
    const QPoint offset = f.outline->viewport()->pos();
    EXPECT_TRUE(hasColour(f.rect(h.take(0, 1)).translated(offset), red)) << "reviewing";
    EXPECT_FALSE(hasColour(f.rect(h.take(0, 0)).translated(offset), red));
    EXPECT_TRUE(hasColour(f.rect(h.scene(1)).translated(offset), yellow)) << "skipped";
    EXPECT_FALSE(hasColour(f.rect(h.scene(0)).translated(offset), yellow));
}

// The review red and the skipped yellow read on the selection and on the base alike, in a light
// and a dark palette, and stay the accent's hue where they are not black or white.
TEST(SceneOutlineView, AccentsReadOnEveryRowBackground)
{
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Highlight, QColor(42, 130, 218));
    QPalette pale;
    pale.setColor(QPalette::Base, Qt::white);
    pale.setColor(QPalette::Highlight, QColor(255, 214, 102));
    const struct {
        const char *name;
        QPalette palette;
    } palettes[] = {{"the application's", QApplication::palette()}, {"dark", dark}, {"pale highlight", pale}};
    using Accent = SceneTreeCellDelegate::Accent;
    for (const auto &[name, palette] : palettes) {
        for (const auto &[accent, hue] : {std::pair{Accent::reviewing, 3}, std::pair{Accent::skipped, 48}}) {
            for (const bool selected : {false, true}) {
                SCOPED_TRACE(std::string(name) + (accent == Accent::reviewing ? " reviewing" : " skipped")
                             + (selected ? " selected" : ""));
                const QColor colour = SceneTreeCellDelegate::accentColor(accent, palette, selected);
                const QColor background = palette.color(selected ? QPalette::Highlight : QPalette::Base);
                EXPECT_GE(SceneTreeCellDelegate::contrastRatio(colour, background),
                          SceneTreeCellDelegate::minimumContrast);
                if (colour.hslSaturation() > 0) {
                    EXPECT_NEAR(colour.hslHue(), hue, 4);
                }
            }
        }
    }
}

} // namespace
} // namespace lumacast
