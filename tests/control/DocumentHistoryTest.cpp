#include "StateManagerDoubles.h"
#include "store/TakeLedger.h"
#include "support/AwaitTask.h"

#include "support/FullDisk.h"
#include "support/LogCapture.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace lumacast {
namespace {

using testing::ManagerHarness;

TEST(DocumentHistoryTest, TrimStepsCloserThanOneSecondMerge)
{
    struct Step {
        std::chrono::milliseconds after; // since the previous step
        const char *name;
    };
    struct Case {
        const char *label;
        std::vector<Step> steps;
        bool undoBeforeLast;
        qsizetype undoSteps;
    };
    const Case cases[] = {
        {"three trims 0.6 s apart", {{0ms, "Trim"}, {600ms, "Trim"}, {600ms, "Trim"}}, false, 1},
        {"a fourth 1.2 s later", {{0ms, "Trim"}, {600ms, "Trim"}, {600ms, "Trim"}, {1200ms, "Trim"}}, false, 2},
        {"trim, rename, trim", {{0ms, "Trim"}, {100ms, "Rename Take"}, {100ms, "Trim"}}, false, 3},
        {"a run of trims 0.9 s apart", {{0ms, "Trim"}, {900ms, "Trim"}, {900ms, "Trim"}, {900ms, "Trim"}}, false, 1},
        // After an undo the next trim is a step of its own, however soon it comes.
        {"trim after an undo", {{0ms, "Rename Take"}, {100ms, "Trim"}, {100ms, "Trim"}}, true, 2},
    };
    for (const Case &c : cases) {
        ManagerHarness h;
        h.adoptSessionWithTakes({1});
        for (size_t i = 0; i < c.steps.size(); ++i) {
            h.time->advance(c.steps[i].after);
            if (c.undoBeforeLast && i + 1 == c.steps.size())
                h.m().undo();
            h.m().checkpoint(QString::fromUtf8(c.steps[i].name));
        }
        EXPECT_EQ(h.m().history().past.size(), c.undoSteps) << c.label;
        EXPECT_TRUE(h.m().canUndo()) << c.label;
    }
}

TEST(DocumentHistoryTest, UndoAndRedoRestoreSnapshotsAndKeepThePackageAfterSaveAs)
{
    ManagerHarness h;
    const Session original = h.adoptSessionWithTakes({2});
    const QUuid scene = original.scenes[0].id;
    h.m().renameScene(scene, "Intro");
    const QString package = h.dir.filePath("Saved.lumacast");
    testing::runTask(h.m().saveSession(package));
    ASSERT_EQ(h.m().session()->bundleURL, package);
    EXPECT_FALSE(h.m().session()->isDirty);
    EXPECT_EQ(h.m().undoActionName(), "Rename Scene") << "a Save As keeps the document's history";
    h.clearLogs();

    h.m().undo();
    EXPECT_EQ(h.m().session()->scenes[0].name, std::nullopt);
    EXPECT_EQ(h.m().session()->bundleURL, package);
    EXPECT_TRUE(h.m().session()->isDirty);
    EXPECT_FALSE(h.m().canUndo());
    EXPECT_EQ(h.m().redoActionName(), "Rename Scene");
    EXPECT_TRUE(h.m().currentTakeURL()->startsWith(package)) << "the previewed movie is the package's";

    h.m().redo();
    EXPECT_EQ(h.m().session()->scenes[0].name, "Intro");
    EXPECT_EQ(h.m().undoActionName(), "Rename Scene");
    EXPECT_FALSE(h.m().canRedo());
    EXPECT_EQ(h.historyLines(), QStringList({"undo — Rename Scene", "redo — Rename Scene"}));

    // Nothing to undo or a take on its way: nothing happens and nothing is written.
    h.m().undo();
    h.m().undo(); // the undo stack is empty now
    h.m().setState(AppState::recording);
    h.m().redo();
    EXPECT_EQ(h.m().session()->scenes[0].name, std::nullopt);
    EXPECT_EQ(h.historyLines().size(), 3);
}

TEST(DocumentHistoryTest, ReplacingTheSessionEmptiesItsHistory)
{
    ManagerHarness h;
    const Session first = h.adoptSessionWithTakes({1});
    h.m().renameScene(first.scenes[0].id, "Old");
    h.m().renameScene(first.scenes[0].id, "Older");
    h.m().undo();
    h.m().setPendingTakeID(first.scenes[0].takes[0].id);
    ASSERT_TRUE(h.m().canUndo() && h.m().canRedo());

    const Session second = h.newSession();
    h.m().setCurrentSession(second); // another document, even through the plain setter
    EXPECT_FALSE(h.m().canUndo());
    EXPECT_FALSE(h.m().canRedo());
    EXPECT_FALSE(h.m().undoActionName());
    EXPECT_FALSE(h.m().pendingTakeID());
    EXPECT_FALSE(h.m().currentTakeURL());
    h.m().undo();
    h.m().redo();
    EXPECT_EQ(h.m().session()->id, second.id);
    EXPECT_EQ(h.m().session()->scenes.size(), 1);
    EXPECT_TRUE(h.m().session()->scenes[0].takes.isEmpty());
    // A first "Trim" in the new document is a step of its own.
    h.m().checkpoint("Trim");
    h.m().checkpoint("Trim");
    EXPECT_EQ(h.m().history().past.size(), 1);
}

TEST(DocumentHistoryTest, OrphanCleanupKeepsEverythingStillReferred)
{
    ManagerHarness h;
    const Session session = h.adoptSessionWithTakes({1, 1});
    const Take deleted = session.scenes[1].takes[0];
    h.m().deleteItems({}, {deleted.id}); // its movie is now named by the undo history only
    TailOperation tail;
    tail.originalTake = session.scenes[0].takes[0];
    tail.tailURL = QDir(h.takesFolder()).filePath("live.tail.mov");
    tail.stagedOutputURL = QDir(h.takesFolder()).filePath("live.joining.mov");
    h.m().setTailOperation(tail);
    h.m().setInFlightTakeFilename(QStringLiteral("recording.mov"));

    for (const char *name : {"recording.mov", "live.tail.mov", "live.joining.mov", "stale.tail.mov",
                             "stale.joining.mov", "orphan.mov", "CAMERA.MOV", "notes.txt", "restored.mov",
                             "take1 (conflicted copy).mov"})
        h.writeTakeFile(name);
    QDir(h.takesFolder()).mkpath("stuck.mov/inside"); // an entry that cannot be removed
    // Lumacast's own, let go of; "restored.mov" and the sync tool's copy it never named.
    const QString folder = h.m().session()->scratchURL;
    TakeLedger::update(folder, {"stale.tail.mov", "stale.joining.mov", "orphan.mov", "recording.mov", "stuck.mov", "gone.mov"}, {});
    h.clearLogs();

    h.m().collectOrphanTakeFiles();

    const struct {
        const char *name;
        bool kept;
    } expected[] = {
        {"take1.mov", true},        {"recording.mov", true},     {"live.tail.mov", true},
        {"live.joining.mov", true}, {"stale.tail.mov", false},   {"stale.joining.mov", false},
        {"orphan.mov", false},      {"CAMERA.MOV", true},        {"notes.txt", true},
        {"stuck.mov", true},        {"restored.mov", true},      {"take1 (conflicted copy).mov", true},
    };
    for (const auto &e : expected)
        EXPECT_EQ(h.takeFileExists(e.name), e.kept) << e.name;
    EXPECT_TRUE(h.takeFileExists(deleted.filename)) << "referred to by the undo history";
    QStringList lines = h.historyLines();
    lines.sort();
    EXPECT_EQ(lines, QStringList({"gc — deleted orphan orphan.mov", "gc — deleted orphan stale.joining.mov",
                                  "gc — deleted orphan stale.tail.mov"}))
        << "only what was removed is logged";
    // What went, and what is on the disk no more, is no longer listed; what is held stays listed.
    EXPECT_EQ(TakeLedger::read(folder), QSet<QString>({"recording.mov", "live.tail.mov", "live.joining.mov", deleted.filename}));
}

TEST(DocumentHistoryTest, TakeOnlyInTheRedoStackGoesWhenANewStepClearsIt)
{
    ManagerHarness h;
    const Session session = h.adoptSessionWithTakes({2});
    const Take second = session.scenes[0].takes[1];
    // Bring a session holding an extra take into the redo stack only.
    Session withExtra = *h.m().session();
    Take extra = second;
    extra.id = QUuid::createUuid();
    extra.filename = QStringLiteral("extra.mov");
    withExtra.scenes[0].takes.append(extra);
    h.writeTakeFile("extra.mov");
    h.m().checkpoint("Record Take");
    h.m().setCurrentSession(withExtra);
    h.m().autoSave();
    h.m().undo();
    h.m().collectOrphanTakeFiles();
    EXPECT_TRUE(h.takeFileExists("extra.mov")) << "a redo step still refers to it";

    // The undo took a take away: written at once, the movie listed as Lumacast's before.
    EXPECT_EQ(h.store->openSession(session.scratchURL).scenes[0].takes.size(), 2);
    EXPECT_TRUE(TakeLedger::read(session.scratchURL).contains("extra.mov"));
    const QSet<QString> released = h.m().checkpoint("Rename Scene");
    EXPECT_EQ(released, QSet<QString>({"extra.mov"}));
    h.m().collectOrphanTakeFiles();
    EXPECT_FALSE(h.takeFileExists("extra.mov"));
    EXPECT_EQ(h.store->openSession(session.scratchURL).scenes[0].takes.size(), 2);
}

TEST(DocumentHistoryTest, OrphanCleanupWaitsWhileATakeIsOnItsWay)
{
    for (AppState state : {AppState::starting, AppState::recording, AppState::paused}) {
        ManagerHarness h;
        h.adoptSessionWithTakes({1});
        h.writeTakeFile("orphan.mov");
        testing::LogCapture persistence("app.lumacast.Lumacast.persistence");
        h.m().setState(state);
        h.m().collectOrphanTakeFiles();
        EXPECT_TRUE(h.takeFileExists("orphan.mov"));
        EXPECT_TRUE(persistence.texts().contains("gc skipped — a take is being recorded"));
    }
}

// Each edit restarts the 0.3 s wait, but an arrow key held on the trim bar for 12 s must not
// keep everything unwritten: a burst is saved at least once a second.
TEST(DocumentHistoryTest, ABurstOfChangesIsWrittenAtLeastOnceASecond)
{
    ManagerHarness h;
    const Session session = h.adoptSessionWithTakes({1});
    const QString manifest = QDir(session.scratchURL).filePath("manifest.json");
    testing::LogCapture persistence("app.lumacast.Lumacast.persistence");
    const auto saves = [&] { return persistence.texts().filter("saved manifest to").size(); };

    // One edit alone: written 0.3 s later.
    h.m().setCurrentScene(session.scenes[0].id);
    h.time->advance(299ms);
    EXPECT_FALSE(QFile::exists(manifest));
    h.time->advance(1ms);
    EXPECT_EQ(saves(), 1);
    EXPECT_FALSE(h.m().hasPendingSave());

    // Twelve seconds of edits 100 ms apart.
    qsizetype lastCount = saves();
    int sinceLastSave = 0;
    for (int i = 0; i < 120; ++i) {
        h.m().setCurrentScene(session.scenes[0].id);
        h.time->advance(100ms);
        sinceLastSave = saves() > lastCount ? 0 : sinceLastSave + 100;
        lastCount = saves();
        ASSERT_LE(sinceLastSave, 1000) << "edit " << i;
    }
    EXPECT_GE(saves(), 1 + 12);
    h.time->advance(300ms);
    EXPECT_FALSE(h.m().hasPendingSave());
    EXPECT_FALSE(h.m().session()->isDirty);
    const qsizetype settled = saves();
    h.time->advance(5s);
    EXPECT_EQ(saves(), settled);

    // Without a session nothing is scheduled.
    h.m().replaceCurrentSession(std::nullopt);
    h.m().scheduleSave();
    EXPECT_EQ(h.time->pendingCount(), 0);
}

// The recording's folder gone (a file in its place): the user is told once, the edits stay
// pending, and Quit refuses with the final save's alert until a write succeeds.
TEST(DocumentHistoryTest, AFailedAutosaveIsToldOnceAndKeepsTheEditsPending)
{
    ManagerHarness h;
    Session session = h.adoptSessionWithTakes({1});
    // A folder where the manifest goes: the recording's folder stays, its saves fail.
    const QString manifest = session.scratchURL + "/manifest.json";
    QFile::remove(manifest);
    ASSERT_TRUE(QDir().mkpath(manifest));
    testing::LogCapture persistence("app.lumacast.Lumacast.persistence");

    h.m().renameScene(session.scenes[0].id, "First");
    h.time->advance(1s);
    h.m().renameScene(session.scenes[0].id, "Second");
    h.time->advance(1s);
    EXPECT_TRUE(h.m().session()->isDirty);
    EXPECT_EQ(persistence.levelledTexts().filter("autoSave failed: ").size(), 2);
    ASSERT_EQ(h.alerts->shown.size(), 1u);
    EXPECT_EQ(h.alerts->shown[0].message, "Couldn’t save recording");
    EXPECT_TRUE(h.m().hasPendingSave()) << "nothing was written: the edits are still pending";

    EXPECT_EQ(h.m().requestQuit(), QuitReply::cancel);
    EXPECT_EQ(h.alerts->shown.size(), 2u);
    EXPECT_TRUE(h.m().session());

    // The way clear: the next write succeeds and nothing is pending any more.
    QDir().rmdir(manifest);
    h.m().renameScene(session.scenes[0].id, "Third");
    h.time->advance(1s);
    EXPECT_FALSE(h.m().hasPendingSave());
    EXPECT_EQ(h.m().requestQuit(), QuitReply::terminateNow);
    EXPECT_EQ(h.alerts->shown.size(), 2u);
}

// A Save As answered as Duplicate Scene begins waits for its copy. The recording's own manifest
// then names the new scene and the edit before it, whether the save succeeds or fails; a failure
// names the package chosen, never the hidden folder it was assembled in, and leaves pending only
// what could not be written, for Quit to write.
TEST(DocumentHistoryTest, ASaveAsWaitingForADuplicateSceneLeavesEveryEditInTheRecording)
{
    enum class Destination { writable, readOnly, full };
    const struct {
        const char *name;
        bool packaged; // else the recording is in its scratch folder
        Destination destination;
        bool recordingUnwritable; // its own manifest cannot be written either
    } rows[] = {{"saved from a package", true, Destination::writable, false},
                {"read-only destination", false, Destination::readOnly, false},
                {"full destination", true, Destination::full, false},
                {"full destination, unwritable recording", false, Destination::full, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ManagerHarness h;
        testing::FullDisk disk;
        if (row.destination != Destination::writable && !disk.ready())
            GTEST_SKIP() << qPrintable(disk.reason());
        const Session session = h.adoptSessionWithTakes({1});
        if (row.packaged)
            testing::runTask(h.m().saveSession(h.dir.filePath("Talk.lumacast")));
        const QString folder = SessionStore::sessionFolder(*h.m().session());
        const bool saved = row.destination == Destination::writable;
        const QString chosen = (saved ? h.dir.path() : disk.path()) + "/Saved.lumacast";
        ASSERT_TRUE(row.destination != Destination::readOnly || disk.makeReadOnly());
        if (row.destination == Destination::full)
            disk.fill();
        ASSERT_TRUE(!row.recordingUnwritable || QDir(folder).mkdir("manifest.json")); // a folder in its place

        h.m().renameScene(session.scenes[0].id, "Intro");
        h.m().presentSavePanel();
        h.filePanels->made.last()->answer(true, {chosen});
        testing::runTask(h.m().duplicateScene(session.scenes[0].id));
        ASSERT_TRUE(testing::waitUntil([&] { return testing::pumpEvents(), !h.m().isCopying(); }));
        testing::pumpEvents();

        const std::optional<QString> original = row.packaged ? std::optional(folder) : std::nullopt;
        EXPECT_EQ(h.m().session()->bundleURL, saved ? std::optional(chosen) : original);
        EXPECT_EQ(h.alerts->shown.size(), saved ? 0u : 1u);
        for (const AlertRequest &alert : h.alerts->shown) {
            EXPECT_EQ(alert.message, "Couldn’t save recording");
            EXPECT_TRUE(alert.informativeText.contains(chosen) && !alert.informativeText.contains(".saving-"))
                << qPrintable(alert.informativeText);
        }
        EXPECT_EQ(h.m().hasPendingSave(), row.recordingUnwritable);
        QDir(folder).rmdir("manifest.json");
        EXPECT_EQ(h.m().requestQuit(), QuitReply::terminateNow);
        if (!QDir(folder).exists()) // a scratch folder, gone into the package
            continue;
        const Session written = h.store->openSession(folder, original);
        ASSERT_EQ(written.scenes.size(), 2);
        EXPECT_EQ(written.scenes[0].name, "Intro");
        EXPECT_TRUE(QFile::exists(folder + "/takes/" + written.scenes[1].takes[0].filename));
    }
}

} // namespace
} // namespace lumacast
