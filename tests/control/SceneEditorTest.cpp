#include "StateManagerDoubles.h"
#include "support/AwaitTask.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace lumacast {
namespace {

using testing::ManagerHarness;

// Two scenes: the first with take1.mov and take2.mov, the second with take3.mov.
struct Outline {
    QUuid s1, s2, t1, t2, t3;
    explicit Outline(const Session &session)
        : s1(session.scenes[0].id), s2(session.scenes[1].id), t1(session.scenes[0].takes[0].id),
          t2(session.scenes[0].takes[1].id), t3(session.scenes[1].takes[0].id)
    {
    }
};

TEST(SceneEditorTest, EveryEditIsOneNamedStepWithItsHistoryLine)
{
    struct Case {
        const char *label;
        std::function<void(AppStateManager &, const Outline &)> edit;
        std::optional<QString> undoName; // absent: nothing is recorded or written
        QStringList lines;               // a line ending in "…" is matched by its beginning
    };
    const Case cases[] = {
        {"check a take", [](auto &m, auto &o) { m.selectTake(o.s1, o.t2); }, "Select Take", {"select take — take2.mov in scene 1"}},
        {"check another scene's take", [](auto &m, auto &o) { m.selectTake(o.s2, o.t1); }, "Select Take", {"deselect take in scene 2"}},
        {"trim", [](auto &m, auto &o) { m.setTakeTrim(o.s1, o.t1, 1.5, 8.25); }, "Trim", {"trim — 1.50–8.25s"}},
        {"rename a scene", [](auto &m, auto &o) { m.renameScene(o.s2, "Outro"); }, "Rename Scene", {"rename scene — \"Outro\""}},
        {"rename a take to blanks", [](auto &m, auto &o) { m.renameTake(o.s1, o.t1, "  "); }, "Rename Take", {"rename take — \"  \""}},
        {"duplicate a scene", [](auto &m, auto &o) { testing::runTask(m.duplicateScene(o.s1)); }, "Duplicate Scene",
         {"duplicate scene 1", "  copied file — take1.mov → …", "  copied file — take2.mov → …"}},
        {"reorder", [](auto &m, auto &o) { m.reorderScenes({o.s2}, 0); }, "Reorder Scenes", {"reorder scenes — 1 scene(s) → position 1"}},
        {"reorder onto its own place", [](auto &m, auto &o) { m.reorderScenes({o.s1}, 1); }, std::nullopt, {}},
        {"delete a scene", [](auto &m, auto &o) { m.deleteItems({o.s2}, {}); }, "Delete Scene", {"delete items — 1 scene(s), 0 take(s)"}},
        {"delete two takes", [](auto &m, auto &o) { m.deleteItems({}, {o.t1, o.t2}); }, "Delete Takes", {"delete items — 0 scene(s), 2 take(s)"}},
        {"delete one take", [](auto &m, auto &o) { m.deleteItems({}, {o.t3}); }, "Delete Take", {"delete items — 0 scene(s), 1 take(s)"}},
        {"delete a scene and a take", [](auto &m, auto &o) { m.deleteItems({o.s2}, {o.t1, o.t3}); }, "Delete Items", {"delete items — 1 scene(s), 1 take(s)"}},
        {"delete every scene", [](auto &m, auto &o) { m.deleteItems({o.s1, o.s2}, {o.t1}); }, std::nullopt, {}},
        {"move one take", [](auto &m, auto &o) { m.moveTakes({o.t3}, o.s1); }, "Move Take", {"move takes — 1 take(s) → scene 1"}},
        {"move two takes", [](auto &m, auto &o) { m.moveTakes({o.t1, o.t2}, o.s2); }, "Move Takes", {"move takes — 2 take(s) → scene 2"}},
        {"move into its own scene", [](auto &m, auto &o) { m.moveTakes({o.t1}, o.s1); }, std::nullopt, {}},
    };
    for (const Case &c : cases) {
        ManagerHarness h;
        const Outline o(h.adoptSessionWithTakes({2, 1}));
        h.clearLogs();
        c.edit(h.m(), o);
        EXPECT_EQ(h.m().undoActionName(), c.undoName) << c.label;
        const QStringList lines = h.historyLines();
        ASSERT_EQ(lines.size(), c.lines.size()) << c.label << ": " << qPrintable(lines.join(" | "));
        for (qsizetype i = 0; i < lines.size(); ++i) {
            if (c.lines[i].endsWith(u'…'))
                EXPECT_TRUE(lines[i].startsWith(c.lines[i].chopped(1))) << c.label << ": " << qPrintable(lines[i]);
            else
                EXPECT_EQ(lines[i], c.lines[i]) << c.label;
        }
        EXPECT_EQ(h.m().session()->isDirty, c.undoName.has_value()) << c.label;
        EXPECT_EQ(h.m().hasPendingSave(), c.undoName.has_value()) << c.label;
    }
}

TEST(SceneEditorTest, TrimsAndChecksKeepAManifestThatOpensAgain)
{
    struct Case {
        const char *label;
        std::function<void(AppStateManager &, const Outline &)> edit;
        double trimStart, trimEnd, duration; // of take1 afterwards
    };
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {"beyond both ends", [](auto &m, auto &o) { m.setTakeTrim(o.s1, o.t1, -1, 99); }, 0, 10, 10},
        {"start past the end", [](auto &m, auto &o) { m.setTakeTrim(o.s1, o.t1, 7, 3); }, 0, 10, 10},
        {"live start not a number", [nan](auto &m, auto &o) { m.setTrimLive(o.s1, o.t1, nan, 6); }, 0, 6, 10},
        {"kept to the end, movie longer", [](auto &m, auto &o) { m.correctTakeDuration(12, o.s1, o.t1); }, 0, 12, 12},
        {"trimmed short, movie longer", [](auto &m, auto &o) {
             m.setTakeTrim(o.s1, o.t1, 1, 9.5);
             m.correctTakeDuration(12, o.s1, o.t1);
         }, 1, 9.5, 12},
        {"kept to the end, movie shorter", [](auto &m, auto &o) { m.correctTakeDuration(6, o.s1, o.t1); }, 0, 6, 6},
        {"trimmed short, movie shorter still", [](auto &m, auto &o) {
             m.setTakeTrim(o.s1, o.t1, 1, 9.5);
             m.correctTakeDuration(6, o.s1, o.t1);
         }, 1, 6, 6},
        {"trim start beyond a shorter movie", [](auto &m, auto &o) {
             m.setTakeTrim(o.s1, o.t1, 8, 9.5);
             m.correctTakeDuration(6, o.s1, o.t1);
         }, 0, 6, 6},
    };
    for (const Case &c : cases) {
        ManagerHarness h;
        const Outline o(h.adoptSessionWithTakes({2, 1}));
        h.m().selectTake(o.s2, o.t1); // a take of another scene is never stored as the check
        c.edit(h.m(), o);
        const Take &take = h.m().session()->scenes[0].takes[0];
        EXPECT_DOUBLE_EQ(take.trimStart, c.trimStart) << c.label;
        EXPECT_DOUBLE_EQ(take.trimEnd, c.trimEnd) << c.label;
        EXPECT_DOUBLE_EQ(take.duration, c.duration) << c.label;
        EXPECT_FALSE(h.m().session()->scenes[1].selectedTakeID) << c.label;
        h.m().autoSave();
        EXPECT_NO_THROW(h.store->openSession(h.m().session()->scratchURL)) << c.label;
    }
}

TEST(SceneEditorTest, EditsKeepTheOutlineConsistent)
{
    ManagerHarness h;
    const Outline o(h.adoptSessionWithTakes({2, 1}));
    h.m().selectTake(o.s1, o.t2);
    h.m().selectTake(o.s2, o.t3);
    EXPECT_EQ(h.m().session()->currentSceneIndex, 1);

    // Moving a checked take unchecks it where it was; the destination keeps its own check.
    h.m().moveTakes({o.t2}, o.s2);
    const Session moved = *h.m().session();
    EXPECT_FALSE(moved.scenes[0].selectedTakeID);
    EXPECT_EQ(moved.scenes[1].selectedTakeID, o.t3);
    EXPECT_EQ(moved.scenes[1].takes.last().id, o.t2);

    // The current scene stays current when the scenes are reordered.
    h.m().reorderScenes({o.s2}, 0);
    EXPECT_EQ(h.m().session()->scenes[0].id, o.s2);
    EXPECT_EQ(h.m().session()->currentSceneIndex, 0);

    // A copy goes right after its scene, under its own name, with its own movies.
    h.m().renameScene(o.s1, "");
    testing::runTask(h.m().duplicateScene(o.s1));
    const Session copied = *h.m().session();
    ASSERT_EQ(copied.scenes.size(), 3);
    EXPECT_EQ(copied.scenes[1].id, o.s1);
    EXPECT_FALSE(copied.scenes[1].name) << "an empty name shows the default again";
    EXPECT_EQ(copied.scenes[2].name, "Scene 2 (copy)");
    EXPECT_TRUE(h.takeFileExists(copied.scenes[2].takes[0].filename));
    EXPECT_EQ(h.m().nextTakeNumber(), 3);

    // While a tail operation is live the outline's own edits wait; deletions do not.
    h.m().setTailOperation(TailOperation{});
    h.m().renameScene(o.s1, "Blocked");
    h.m().deleteItems({copied.scenes[2].id}, {});
    EXPECT_EQ(h.m().undoActionName(), "Delete Scene");
    EXPECT_FALSE(h.m().session()->scenes[1].name);
}

TEST(SceneEditorTest, AFailedDuplicationShowsTheAlertAndChangesNothing)
{
    ManagerHarness h;
    const Outline o(h.adoptSessionWithTakes({2, 1}));
    QFile::remove(QDir(h.takesFolder()).filePath("take2.mov"));
    testing::runTask(h.m().duplicateScene(o.s1));
    ASSERT_EQ(h.alerts->shown.size(), 1u);
    EXPECT_EQ(h.alerts->shown[0].message, "Couldn't duplicate scene");
    EXPECT_EQ(h.alerts->shown[0].style, AlertStyle::warning);
    EXPECT_EQ(h.m().session()->scenes.size(), 2);
    EXPECT_FALSE(h.m().canUndo());
    EXPECT_EQ(QDir(h.takesFolder()).entryList(QDir::Files).size(), 2) << "no copy left behind";
}

} // namespace
} // namespace lumacast
