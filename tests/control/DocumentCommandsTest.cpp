#include "StateManagerDoubles.h"

#include "model/SessionManifest.h"
#include "store/ScratchClaim.h"
#include "store/TakeLedger.h"
#include "support/AwaitTask.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>

namespace lumacast {
namespace {

using testing::ManagerHarness;
using testing::runTask;
using Recording = RecorderService::Recording;
using testing::pumpEvents;

// Lines a command wrote, without the state setter's and the window rule's.
QStringList commandLines(const ManagerHarness &h)
{
    QStringList lines = h.appLogLines();
    lines.removeIf([](const QString &line) { return line.startsWith("[state]") || line.startsWith("[window]"); });
    return lines;
}

void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Lets the save a panel's answer leads to copy the recording and carry on from there.
void settleCopy(ManagerHarness &h)
{
    pumpEvents();
    testing::waitUntil([&] { return !h.m().isCopying(); });
    pumpEvents();
}

// A folder where the manifest goes: every save fails, the recording's folder staying in place.
void blockManifest(const QString &folder)
{
    QFile::remove(folder + "/manifest.json");
    ASSERT_TRUE(QDir().mkpath(folder + "/manifest.json"));
}

QStringList alertTitles(const ManagerHarness &h)
{
    QStringList titles;
    for (const AlertRequest &alert : h.alerts->shown)
        titles << alert.message;
    return titles;
}

TEST(DocumentCommandsTest, GuardsRefuseEachCommandDuringATailOrATake)
{
    enum class Command { create, open, openFromFiles, resume, saveAs };
    struct Row {
        Command command;
        bool tail; // else paused
        const char *line; // "" for none
        const char *alert;
        const char *text;
    };
    const Row rows[] = {
        {Command::create, true, "", "", ""},
        {Command::create, false, "[app] guardedNewSession — ignored while recording", "", ""},
        {Command::open, true, "", "", ""},
        {Command::open, false, "[app] guardedOpenSession — ignored while recording", "", ""},
        {Command::openFromFiles, true, "[app] guardedOpen — refused during a tail operation (Other.lumacast)",
         "Record Tail in progress", "Finish, retry, or discard the tail before opening Other.lumacast."},
        // Said on the status panel instead (below).
        {Command::openFromFiles, false, "[app] guardedOpen — refused while recording (Other.lumacast)", "", ""},
        {Command::resume, true, "", "", ""},
        {Command::resume, false, "[app] guardedResumeSession — ignored while recording", "Recording in progress",
         "Finish or discard the current take before resuming a recovered recording."},
        {Command::saveAs, true, "", "", ""},
    };
    for (const Row &row : rows) {
        ManagerHarness h;
        const Session session = h.adoptSessionWithTakes({1});
        if (row.tail)
            h.m().setTailOperation(TailOperation{});
        else
            h.m().setState(AppState::paused);
        h.clearLogs();
        switch (row.command) {
        case Command::create: runTask(h.m().guardedNewSession()); break;
        case Command::open: h.m().guardedOpenSession(); break;
        case Command::openFromFiles: h.m().guardedOpen(h.dir.filePath("Other.lumacast")); break;
        case Command::resume: h.m().guardedResumeSession(Session(h.dir.filePath("other"))); break;
        case Command::saveAs: h.m().presentSavePanel(); break;
        }
        pumpEvents();
        const QString label = QStringLiteral("command %1, %2").arg(int(row.command)).arg(row.tail ? "tail" : "paused");
        EXPECT_EQ(commandLines(h), *row.line ? QStringList{row.line} : QStringList{}) << qPrintable(label);
        if (*row.alert) {
            ASSERT_EQ(h.alerts->shown.size(), 1u) << qPrintable(label);
            EXPECT_EQ(h.alerts->shown[0].message, row.alert) << qPrintable(label);
            EXPECT_EQ(h.alerts->shown[0].informativeText, row.text) << qPrintable(label);
            EXPECT_EQ(h.alerts->shown[0].style, AlertStyle::informational) << qPrintable(label);
        } else {
            EXPECT_TRUE(h.alerts->shown.empty()) << qPrintable(label);
        }
        EXPECT_TRUE(h.filePanels->made.isEmpty()) << qPrintable(label);
        ASSERT_TRUE(h.m().session()) << qPrintable(label);
        EXPECT_EQ(h.m().session()->id, session.id) << qPrintable(label);
        EXPECT_TRUE(QDir(session.scratchURL).exists()) << qPrintable(label);
    }
}

// Launches handing over a document during a take: no alert on the recorded screen, the hot keys
// stay, and one notice on the status panel however many launches came.
TEST(DocumentCommandsTest, OpensDuringATakeAreRefusedOnTheStatusPanel)
{
    ManagerHarness h;
    h.adoptSessionWithTakes({1});
    h.m().setState(AppState::recording);
    h.m().restoreGlobalShortcuts();
    const auto registered = h.hotKeys->registered;
    int notices = 0;
    QObject::connect(&*h.manager, &AppStateManager::recordingNoticeChanged, [&] { ++notices; });
    for (int launch = 0; launch < 3; ++launch)
        h.m().guardedOpen(h.dir.filePath(QStringLiteral("Other%1.lumacast").arg(launch)));
    pumpEvents();
    EXPECT_TRUE(h.alerts->shown.empty());
    // A tail being recorded is a take on the screen as well.
    h.m().setTailOperation(TailOperation{});
    h.m().guardedOpen(h.dir.filePath(QStringLiteral("Tail.lumacast")));
    EXPECT_TRUE(h.alerts->shown.empty());
    EXPECT_EQ(h.m().recordingNotice(), "Finish, retry, or discard the tail before opening Tail.lumacast.");
    h.m().setTailOperation(std::nullopt);
    h.m().guardedOpen(h.dir.filePath(QStringLiteral("Other2.lumacast")));
    EXPECT_EQ(h.hotKeys->registered, registered);
    EXPECT_EQ(h.m().recordingNotice(), "Finish or discard the current take before opening Other2.lumacast.");
    h.time->advance(std::chrono::seconds(10));
    EXPECT_FALSE(h.m().recordingNotice());
    EXPECT_EQ(notices, 6);
}

TEST(DocumentCommandsTest, SaveStepAnswersDecideWhetherOpenGoesOn)
{
    struct Row {
        const char *name;
        bool packaged;
        std::optional<int> answer;         // the dialog's button; absent: no dialog expected
        std::optional<bool> savePanelOK;   // the save panel's answer, when one is shown
        bool sessionKept;
        bool scratchKept;
        bool openPanelShown;
    };
    const Row rows[] = {
        {"Save…, then saved", false, 0, true, true, false, true},
        {"Save…, then the panel cancelled", false, 0, false, true, true, false},
        {"Don’t Save", false, 1, std::nullopt, false, false, true},
        {"Cancel", false, 2, std::nullopt, true, true, false},
        {"a saved session closes without asking", true, std::nullopt, std::nullopt, false, false, true},
    };
    for (const Row &row : rows) {
        ManagerHarness h;
        const Session session = h.adoptSessionWithTakes({1});
        const QString package = h.dir.filePath("Saved.lumacast");
        if (row.packaged)
            testing::runTask(h.m().saveSession(package));
        if (row.answer)
            h.alerts->answers.push_back(*row.answer);
        h.m().guardedOpenSession();
        EXPECT_EQ(h.alerts->shown.size(), row.answer ? 1u : 0u) << row.name;
        if (row.answer) {
            EXPECT_EQ(h.alerts->shown[0].message, "Save recording before closing?") << row.name;
            EXPECT_EQ(h.alerts->shown[0].buttons, (QStringList{"Save…", "Don’t Save", "Cancel"})) << row.name;
        }
        if (row.savePanelOK) {
            ASSERT_FALSE(h.filePanels->made.isEmpty()) << row.name;
            auto *panel = h.filePanels->made.first().data();
            EXPECT_EQ(panel->nameFieldText, "Recording.lumacast") << row.name;
            panel->answer(*row.savePanelOK, {package});
            settleCopy(h);
        }
        bool openShown = false;
        for (const auto &panel : std::as_const(h.filePanels->made))
            openShown = openShown || (panel && panel->kind == "open" && panel->showCount == 1);
        EXPECT_EQ(openShown, row.openPanelShown) << row.name;
        EXPECT_EQ(h.m().session().has_value(), row.sessionKept) << row.name;
        EXPECT_EQ(QDir(session.scratchURL).exists(), row.scratchKept) << row.name;
        if (row.savePanelOK == true) {
            EXPECT_EQ(h.m().session()->bundleURL, package) << row.name;
        }
        if (row.sessionKept && row.savePanelOK != true) {
            EXPECT_FALSE(h.m().session()->hasBundle()) << row.name;
        }
    }
}

// A saved recording of one take beside the harness's own, closed again; returns its id.
QUuid makePackage(ManagerHarness &h, const QString &package)
{
    h.adoptSessionWithTakes({1});
    testing::runTask(h.m().saveSession(package));
    const QUuid id = h.m().session()->id;
    h.m().forceCloseSession(true);
    return id;
}

// A second launch's recording, and anything else that would close or replace the open one, waits
// while the user is asked something (the save question, a save or open panel, an alert) and runs
// once the answer is in, in the order it came; every answer meets the recording it was asked
// about, and no saved recording is removed or given another's identity.
TEST(DocumentCommandsTest, WhatArrivesWhileTheUserIsAskedWaitsForTheAnswer)
{
    enum class Asked { saveQuestion, savePanel, openPanel, deferredClose };
    for (const Asked asked : {Asked::saveQuestion, Asked::savePanel, Asked::openPanel, Asked::deferredClose}) {
        SCOPED_TRACE(int(asked));
        ManagerHarness h;
        const QString other1 = h.dir.filePath("Other1.lumacast");
        const QString other2 = h.dir.filePath("Other2.lumacast");
        const QString named = h.dir.filePath("Named.lumacast");
        const QUuid id1 = makePackage(h, other1);
        const QUuid id2 = makePackage(h, other2);
        const Session unsaved = h.adoptSessionWithTakes({1});
        const auto panel = [&h](const char *kind) {
            for (const auto &made : std::as_const(h.filePanels->made))
                if (made && made->kind == QLatin1String(kind))
                    return made.data();
            return static_cast<testing::FakeFilePanel *>(nullptr);
        };
        switch (asked) {
        case Asked::saveQuestion:
            h.alerts->answers = {1}; // Don’t Save
            h.alerts->whileUp = [&] { h.m().guardedOpen(other2); };
            h.m().guardedOpen(other1);
            break;
        case Asked::savePanel:
            h.m().presentSavePanel();
            h.m().guardedOpen(other2);
            ASSERT_TRUE(panel("save"));
            panel("save")->answer(true, {named});
            break;
        case Asked::openPanel:
            h.alerts->answers = {1};
            h.m().guardedOpenSession();
            h.m().guardedOpen(other2);
            ASSERT_TRUE(panel("open"));
            panel("open")->answer(true, {other1});
            break;
        case Asked::deferredClose:
            // The close a tail deferred comes due while an alert is up.
            h.m().setPendingExternalAction(PendingExternalAction::close);
            h.alerts->answers = {0, 1};
            h.alerts->whileUp = [&] {
                h.m().runPendingExternalAction();
                h.m().guardedOpen(other2);
            };
            h.m().presentAlert("Export failed", "", AlertStyle::warning);
            break;
        }
        const bool settled = testing::waitUntil([&] { return h.m().session() && h.m().session()->id == id2; });
        ASSERT_TRUE(settled) << h.appLogLines().join('\n').toStdString();
        pumpEvents();
        EXPECT_EQ(alertTitles(h).count("Save recording before closing?"),
                  asked == Asked::savePanel ? 0 : 1) << "one question, never a second inside it";
        EXPECT_TRUE(h.appLogLines().contains("[app] opening Other2.lumacast waits until the user has answered"));
        EXPECT_EQ(h.store->openSession(other1, other1).id, id1);
        EXPECT_EQ(h.store->openSession(other2, other2).id, id2);
        EXPECT_EQ(QDir(unsaved.scratchURL).exists(), false);
        if (asked == Asked::savePanel) {
            EXPECT_EQ(h.store->openSession(named, named).id, unsaved.id) << "saved under the name typed";
        }
        const QStringList opened = h.appLogLines().filter("(activate=");
        EXPECT_EQ(opened.last(), "[app] openSession — Other2.lumacast (activate=true)");
    }
    // "Don’t Save" reaching a saved recording closes it and leaves its package alone.
    ManagerHarness h;
    const QString saved = h.dir.filePath("Saved.lumacast");
    h.adoptSessionWithTakes({1});
    testing::runTask(h.m().saveSession(saved));
    h.m().discardCurrentSession();
    EXPECT_FALSE(h.m().session());
    EXPECT_TRUE(QFileInfo::exists(saved + "/manifest.json"));
}

// While the recording's files are copied (Duplicate Scene, Save As, and a Save As answered while
// a scene is copied, which waits for that copy) nothing touches the recording: edits, undo and a
// take hold off, the hot keys answer nothing, and a second launch's recording and a quit wait for
// the copy and come after it. Once the copy has lasted a moment the program says what it does.
TEST(DocumentCommandsTest, NothingTouchesTheRecordingWhileItsFilesAreCopied)
{
    enum class Copy { duplicateScene, saveAs, saveAsDuringADuplicate };
    const struct {
        const char *name;
        Copy copy;
        QString label;
        qsizetype scenesInBase, scenesInNamed; // the packages' manifests at the end (0: none)
    } rows[] = {{"duplicate scene", Copy::duplicateScene, "Duplicating Scene…", 3, 0},
                {"save as", Copy::saveAs, "Saving “Named.lumacast”…", 2, 2},
                {"save as during a duplicate", Copy::saveAsDuringADuplicate, "Duplicating Scene…", 3, 3}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ManagerHarness h;
        const QString other = h.dir.filePath("Other.lumacast");
        const QString base = h.dir.filePath("Base.lumacast");
        const QString named = h.dir.filePath("Named.lumacast");
        const QUuid otherID = makePackage(h, other);
        const Session session = h.adoptSessionWithTakes({2, 1});
        runTask(h.m().saveSession(base));
        const QUuid scene = session.scenes[0].id;
        h.m().renameScene(scene, "Before");
        std::vector<QCoro::Task<>> copies;
        if (row.copy != Copy::saveAs)
            copies.push_back(h.m().duplicateScene(scene));
        if (row.copy != Copy::duplicateScene)
            copies.push_back(h.m().saveSession(named));
        ASSERT_TRUE(h.m().isCopying());
        EXPECT_TRUE(h.m().interactions().isAsking()) << "the hot keys answer nothing";
        EXPECT_EQ(h.m().copyLabel(), QString()) << "said only once it lasts a moment";
        h.time->advance(std::chrono::milliseconds(250));
        EXPECT_EQ(h.m().copyLabel(), row.label);

        h.m().renameScene(scene, "During");
        h.m().deleteItems({}, {session.scenes[1].takes[0].id});
        h.m().undo();
        runTask(h.m().startRecording());
        EXPECT_FALSE(h.m().canRecordTail(scene, session.scenes[0].takes[0].id));
        h.m().guardedOpen(other);
        EXPECT_EQ(h.m().requestQuit(), QuitReply::terminateLater);
        EXPECT_EQ(h.m().undoActionName(), "Rename Scene");
        EXPECT_EQ(h.m().session()->scenes[0].name, "Before");
        EXPECT_EQ(h.m().session()->bundleURL, base) << "saved elsewhere before the scene's copy is done";

        for (QCoro::Task<> &copy : copies)
            runTask(std::move(copy));
        EXPECT_EQ(h.m().copyLabel(), QString());
        ASSERT_TRUE(testing::waitUntil([&] { return h.m().session() && h.m().session()->id == otherID; }))
            << h.appLogLines().join('\n').toStdString();
        EXPECT_EQ(h.store->openSession(base, base).scenes.size(), row.scenesInBase);
        if (row.scenesInNamed > 0)
            EXPECT_EQ(h.store->openSession(named, named).scenes.size(), row.scenesInNamed);
        EXPECT_EQ(h.application->terminationReplies, std::vector<bool>{true}) << "the quit came after the copy";
        const QStringList lines = h.appLogLines();
        EXPECT_TRUE(lines.contains("[app] opening Other.lumacast waits for the copy under way"));
        EXPECT_TRUE(lines.contains("[rec] startRecording — refused while the recording's files are copied"));
    }
}

TEST(DocumentCommandsTest, OpeningFixturePackages)
{
    enum class Damage {
        none, noManifest, invalidManifest, missingMovie, rememberFirst, rememberTruncated, unnamedMovie,
        renamedMovie, olderManifest, olderBuild, ownLeftover, ownLeftoverAndMissing, heldElsewhere, uncheckableLock
    };
    struct Row {
        const char *name;
        Damage damage;
        const char *errorStart;  // "" when the package opens
        const char *alertText;   // "" for no alert
        int sceneIndex;
        int previewedTake;       // index into the three takes, -1 for none
        const char *removed = ""; // the one movie the open deletes, "" for none
    };
    const Row rows[] = {
        {"no manifest", Damage::noManifest, "Cannot read manifest.json at ", "", 0, -1},
        {"invalid manifest", Damage::invalidManifest, "manifest.json at ", "", 0, -1},
        // Another program holds it (its lock, as another Lumacast takes it): nothing in it goes.
        {"open in another Lumacast", Damage::heldElsewhere, "\u201CFixture.lumacast\u201D is open in another Lumacast", "", 0, -1},
        // Its lock cannot be checked (as another user's only they may read): it may be open elsewhere.
        {"a lock that can't be checked", Damage::uncheckableLock,
         "Lumacast can\u2019t tell whether \u201CFixture.lumacast\u201D is open in another Lumacast", "", 0, -1},
        {"missing movie", Damage::missingMovie, "", "Missing files:\ntake2.mov", 1, 2},
        {"nothing remembered: the first checked take", Damage::none, "", "", 1, 2},
        {"remembered take wins over the checked one", Damage::rememberFirst, "", "", 0, 0},
        {"remembered take too short: the checked one", Damage::rememberTruncated, "", "", 1, 2},
        // Movies Lumacast never named stay, and are said.
        {"a movie put back", Damage::unnamedMovie, "", "Kept in the takes folder, used by no take:\nT3.mov", 1, 2},
        {"a movie a sync tool renamed", Damage::renamedMovie, "",
         "Missing files:\ntake2.mov\n\nKept in the takes folder, used by no take:\ntake2 (conflicted copy).mov", 1, 2},
        {"a manifest from an older copy", Damage::olderManifest, "", "Kept in the takes folder, used by no take:\ntake2.mov", 1, 2},
        {"an older build's take without a journal", Damage::olderBuild, "",
         "Kept in the takes folder, used by no take:\nolder.mov", 1, 2},
        // Lumacast's own, let go of before a kill: removed, unless a take's movie is missing.
        {"Lumacast's own leftover", Damage::ownLeftover, "", "", 1, 2, "LEFT.mov"},
        {"Lumacast's own leftover beside a missing movie", Damage::ownLeftoverAndMissing, "",
         "Missing files:\ntake2.mov\n\nKept in the takes folder, used by no take:\nLEFT.mov", 1, 2},
    };
    for (const Row &row : rows) {
        ManagerHarness h;
        QStringList windows;
        h.m().setWindowActions([&](const QString &id) { windows << id; }, {}, {});
        const Session made = h.adoptSessionWithTakes({1, 2}); // take1 | take2, take3
        const Take &checked = made.scenes[1].takes[1];
        h.m().selectTake(made.scenes[1].id, checked.id);
        const QString package = h.dir.filePath("Fixture.lumacast");
        testing::runTask(h.m().saveSession(package));
        h.m().forceCloseSession(true);
        const QString takes = package + "/takes/";
        switch (row.damage) {
        case Damage::none: break;
        case Damage::noManifest: QFile::remove(package + "/manifest.json"); break;
        case Damage::invalidManifest: {
            QFile file(package + "/manifest.json");
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write("{\"version\": \"banana\"}");
            break;
        }
        case Damage::missingMovie: QFile::remove(takes + "take2.mov"); break;
        case Damage::rememberTruncated: QFile::resize(takes + "take1.mov", 1024); [[fallthrough]];
        case Damage::rememberFirst: h.preferences.setLastViewedTake(made.scenes[0].takes[0].id, made.id); break;
        case Damage::unnamedMovie: QFile::copy(takes + "take1.mov", takes + "T3.mov"); break;
        case Damage::renamedMovie: QFile::rename(takes + "take2.mov", takes + "take2 (conflicted copy).mov"); break;
        case Damage::olderManifest: { // written by hand: never through Lumacast
            Session older = h.store->openSession(package, package);
            older.scenes[1].takes.removeFirst();
            QFile file(package + "/manifest.json");
            ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            file.write(SessionManifest(older).toJson());
            break;
        }
        case Damage::olderBuild:
            QFile::remove(package + "/" + TakeLedger::kFileName);
            QFile::remove(package + "/" + ScratchClaim::kFileName);
            QFile::copy(takes + "take1.mov", takes + "older.mov");
            break;
        case Damage::ownLeftoverAndMissing: QFile::remove(takes + "take2.mov"); [[fallthrough]];
        case Damage::ownLeftover:
            QFile::copy(takes + "take1.mov", takes + "LEFT.mov");
            TakeLedger::update(package, {"LEFT.mov"}, {});
            break;
        }
        QProcess holder;
        if (row.damage == Damage::uncheckableLock) {
            QFile::copy(takes + "take1.mov", takes + "LEFT.mov");
            TakeLedger::update(package, {"LEFT.mov"}, {});
            QFile::remove(package + "/" + ScratchClaim::kFileName);
            QFile::link(h.dir.filePath("elsewhere"), package + "/" + ScratchClaim::kFileName);
        }
        if (row.damage == Damage::heldElsewhere) {
            QFile::copy(takes + "take1.mov", takes + "LEFT.mov");
            TakeLedger::update(package, {"LEFT.mov"}, {});
            holder.start("flock", {"-x", package + "/" + ScratchClaim::kFileName, "-c", "echo held; exec sleep 60"});
            ASSERT_TRUE(holder.waitForReadyRead(10000)) << "flock (util-linux) held nothing";
        }
        const QStringList movies = QDir(takes).entryList({"*.mov"}, QDir::Files);
        h.clearLogs();
        QString error;
        try {
            runTask(h.m().openSession(package, true));
        } catch (const Error &failure) {
            error = failure.localizedDescription();
        }
        if (*row.errorStart) {
            EXPECT_TRUE(error.startsWith(row.errorStart)) << row.name << ": " << qPrintable(error);
            EXPECT_FALSE(h.m().session()) << row.name;
            EXPECT_TRUE(windows.isEmpty()) << row.name;
            for (const QString &movie : movies)
                EXPECT_TRUE(QFile::exists(takes + movie)) << row.name << ": " << qPrintable(movie);
            holder.kill();
            holder.waitForFinished();
            continue;
        }
        ASSERT_TRUE(error.isEmpty()) << row.name << ": " << qPrintable(error);
        ASSERT_TRUE(h.m().session()) << row.name;
        EXPECT_EQ(h.m().session()->bundleURL, package) << row.name;
        EXPECT_EQ(h.m().session()->scratchURL, package) << row.name;
        EXPECT_EQ(windows, QStringList{"review"}) << row.name;
        EXPECT_EQ(h.m().state(), AppState::idle) << row.name;
        EXPECT_EQ(h.preferences.lastOpenedDocument(), package) << row.name;
        const QStringList history = h.historyLines();
        EXPECT_TRUE(history.contains("opened — Fixture.lumacast (2 scenes)")) << row.name;
        EXPECT_EQ(history.filter("gc — deleted orphan "),
                  *row.removed ? QStringList{QStringLiteral("gc — deleted orphan ") + row.removed} : QStringList{})
            << row.name;
        EXPECT_EQ(alertTitles(h), *row.alertText ? QStringList{"Recording loaded with issues"} : QStringList{})
            << row.name;
        if (*row.alertText) {
            EXPECT_EQ(h.alerts->shown[0].informativeText, row.alertText) << row.name;
        }
        EXPECT_EQ(h.m().session()->currentSceneIndex, row.sceneIndex) << row.name;
        const QList<Take> all = made.scenes[0].takes + made.scenes[1].takes;
        const std::optional<QUuid> expected = row.previewedTake < 0 ? std::nullopt
                                                                     : std::optional(all[row.previewedTake].id);
        EXPECT_EQ(h.m().previewedTakeID(), expected) << row.name;
        for (const QString &movie : movies)
            EXPECT_EQ(QFile::exists(takes + movie), movie != QLatin1String(row.removed)) << row.name << ": " << qPrintable(movie);
    }
}

// A recovered recording that another program (another display, another machine on this home)
// has resumed since the launch listed it is neither resumed nor discarded here.
TEST(DocumentCommandsTest, ARecoveredRecordingAnotherProgramHoldsIsLeftAlone)
{
    ManagerHarness h;
    const QString held = h.dir.filePath("HELD"), free = h.dir.filePath("FREE");
    for (const QString &folder : {held, free}) {
        QDir().mkpath(folder + "/takes");
        h.store->writeManifest(Session(folder));
    }
    QProcess holder;
    holder.start("flock", {"-x", held + "/" + ScratchClaim::kFileName, "-c", "echo held; exec sleep 60"});
    ASSERT_TRUE(holder.waitForReadyRead(10000)) << "flock (util-linux) held nothing";
    const Session heldSession = h.store->openSession(held);
    h.m().setRecoverableSessions({heldSession, h.store->openSession(free)});

    h.m().resumeSession(heldSession);
    EXPECT_NE(h.m().session() ? h.m().session()->scratchURL : QString(), held);
    EXPECT_EQ(alertTitles(h), QStringList{"Couldn’t resume recording"});
    EXPECT_EQ(h.m().recoverableSessions().size(), 1) << "the held one is offered no more";
    h.m().setRecoverableSessions({heldSession, h.store->openSession(free)});
    h.m().discardRecoveredSessions();
    EXPECT_TRUE(QFileInfo::exists(held + "/manifest.json"));
    EXPECT_FALSE(QFileInfo::exists(free));
    EXPECT_TRUE(h.m().recoverableSessions().isEmpty());
    holder.kill();
    holder.waitForFinished();
}

// A recording passed around may hold links, FIFOs and devices in place of its own items: it is
// refused, naming the item, before anything in it is written to, listed or deleted.
TEST(DocumentCommandsTest, ARecordingWhoseItemsLeadOutOfItIsRefused)
{
    enum class Trap { linkedLog, danglingLog, fifoLog, linkedTakes, linkedTake, fifoAmongTakes };
    struct Row {
        const char *name;
        Trap trap;
        const char *refusedItem;  // inside the package
    };
    const Row rows[] = {
        {"history.log links to a user's file", Trap::linkedLog, "history.log"},
        {"history.log links to nothing yet", Trap::danglingLog, "history.log"},
        {"history.log is a FIFO", Trap::fifoLog, "history.log"},
        {"takes links to a folder of the user's", Trap::linkedTakes, "takes"},
        {"a take links to a user's file", Trap::linkedTake, "takes/take1.mov"},
        {"a working tail is a FIFO", Trap::fifoAmongTakes, "takes/take1.tail.mov"},
    };
    for (const Row &row : rows) {
        ManagerHarness h;
        h.adoptSessionWithTakes({1});
        const QString package = h.dir.filePath("Shared.lumacast");
        testing::runTask(h.m().saveSession(package));
        h.m().forceCloseSession(true);
        const QString outside = h.dir.filePath("home");
        ASSERT_TRUE(QDir().mkpath(outside + "/Videos"));
        writeBytes(outside + "/.bashrc", "keep\n");
        writeBytes(outside + "/Videos/holiday.mov", "mine");
        const auto link = [](const QString &target, const QString &at) {
            QFile::remove(at);
            return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData()) == 0;
        };
        const auto fifo = [](const QString &at) {
            QFile::remove(at);
            return ::mkfifo(QFile::encodeName(at).constData(), 0600) == 0;
        };
        bool laid = false;
        switch (row.trap) {
        case Trap::linkedLog: laid = link(outside + "/.bashrc", package + "/history.log"); break;
        case Trap::danglingLog: laid = link(outside + "/autostart.desktop", package + "/history.log"); break;
        case Trap::fifoLog: laid = fifo(package + "/history.log"); break;
        case Trap::linkedTakes:
            laid = QDir(package + "/takes").removeRecursively() && link(outside + "/Videos", package + "/takes");
            break;
        case Trap::linkedTake: laid = link(outside + "/Videos/holiday.mov", package + "/takes/take1.mov"); break;
        case Trap::fifoAmongTakes: laid = fifo(package + "/takes/take1.tail.mov"); break;
        }
        ASSERT_TRUE(laid) << row.name;

        QString error;
        try {
            runTask(h.m().openSession(package, true));
        } catch (const Error &failure) {
            error = failure.localizedDescription();
        }
        EXPECT_TRUE(error.contains(package + "/" + row.refusedItem)) << row.name << ": " << qPrintable(error);
        EXPECT_FALSE(h.m().session()) << row.name;
        EXPECT_EQ(readBytes(outside + "/.bashrc"), "keep\n") << row.name;
        EXPECT_FALSE(QFileInfo::exists(outside + "/autostart.desktop")) << row.name;
        EXPECT_EQ(readBytes(outside + "/Videos/holiday.mov"), "mine") << row.name;
        EXPECT_EQ(QDir(outside + "/Videos").entryList(QDir::Files), QStringList{"holiday.mov"}) << row.name;
    }
}

// A take that runs when Close Recording starts.
struct RunningTake {
    ManagerHarness h;
    Session session = h.adoptSessionWithTakes({1});
    QString movie = h.takesFolder() + "/running.mov";

    RunningTake()
    {
        h.writeTakeFile("running.mov", 4096);
        h.recorder->stops.preset = std::optional<Recording>(Recording{movie, 3.0});
        h.m().setState(AppState::recording);
        h.m().setTakeStartedAt(h.time->now());
        h.border->show();
        h.statusPanel->show();
    }
    qsizetype takesInScene() const { return h.manager->session() ? h.manager->session()->scenes[0].takes.size() : -1; }
};

TEST(DocumentCommandsTest, CloseRecordingWithATakeRunning)
{
    struct Row {
        const char *name;
        bool packaged;
        std::optional<int> answer;
        bool savePanelOK;
        AppState state;
        bool sessionKept;
        bool movieKept;
    };
    const Row rows[] = {
        {"saved session: filed, then closed", true, std::nullopt, false, AppState::idle, false, true},
        {"Save…, the panel cancelled: filed, overlays gone", false, 0, false, AppState::idle, true, true},
        {"Don’t Save: movie and folder deleted", false, 1, false, AppState::idle, false, false},
        {"Cancel: the take goes on", false, 2, false, AppState::recording, true, true},
    };
    for (const Row &row : rows) {
        RunningTake t;
        ManagerHarness &h = t.h;
        if (row.packaged) {
            testing::runTask(h.m().saveSession(h.dir.filePath("Closing.lumacast")));
            t.movie = h.takesFolder() + "/running.mov";
            h.writeTakeFile("running.mov", 4096);
            h.recorder->stops.preset = std::optional<Recording>(Recording{t.movie, 3.0});
        }
        const QString folder = SessionStore::sessionFolder(*h.m().session());
        if (row.answer)
            h.alerts->answers.push_back(*row.answer);
        runTask(h.m().performCloseRecording());
        if (row.answer == 0) {
            ASSERT_EQ(h.filePanels->made.size(), 1) << row.name;
            h.filePanels->made.first()->answer(row.savePanelOK, {h.dir.filePath("Closed.lumacast")});
            pumpEvents();
        }
        EXPECT_EQ(h.m().state(), row.state) << row.name;
        EXPECT_EQ(h.m().session().has_value(), row.sessionKept) << row.name;
        EXPECT_EQ(QFile::exists(t.movie), row.movieKept) << row.name;
        const bool taken = row.state != AppState::recording;
        EXPECT_EQ(h.border->shown, !taken) << row.name;
        EXPECT_EQ(h.statusPanel->shown, !taken) << row.name;
        EXPECT_EQ(h.m().takeStartedAt().has_value(), !taken) << row.name;
        if (row.sessionKept && taken) {
            // Filed as the scene's checked take, never put under review.
            ASSERT_EQ(t.takesInScene(), 2) << row.name;
            const Take &filed = h.m().session()->scenes[0].takes.last();
            EXPECT_EQ(filed.filename, "running.mov") << row.name;
            EXPECT_EQ(h.m().session()->scenes[0].selectedTakeID, filed.id) << row.name;
            EXPECT_FALSE(h.m().pendingTakeID()) << row.name;
        }
        if (row.answer == 1) {
            EXPECT_FALSE(QDir(folder).exists()) << row.name;
        }
    }
}

TEST(DocumentCommandsTest, ClosingTheReviewWindowDuringATakeFilesItInsteadOfDroppingIt)
{
    RunningTake t;
    ManagerHarness &h = t.h;
    testing::runTask(h.m().saveSession(h.dir.filePath("Window.lumacast")));
    t.movie = h.takesFolder() + "/running.mov";
    h.writeTakeFile("running.mov", 4096);
    h.recorder->stops.preset = std::optional<Recording>(Recording{t.movie, 3.0});
    QStringList dismissed;
    h.m().setWindowActions({}, {}, [&](const QString &id) { dismissed << id; });

    EXPECT_FALSE(h.m().reviewWindowShouldClose());
    pumpEvents();
    EXPECT_FALSE(h.m().session());
    EXPECT_TRUE(dismissed.contains("review"));
    // The take went into the package's manifest before the session closed.
    QFile manifest(h.dir.filePath("Window.lumacast/manifest.json"));
    ASSERT_TRUE(manifest.open(QIODevice::ReadOnly));
    EXPECT_TRUE(manifest.readAll().contains("running.mov"));
}

TEST(DocumentCommandsTest, QuitDuringATailWhilePausedAndWithAFailingSave)
{
    enum class Situation { tail, paused, saveFails };
    struct Row {
        Situation situation;
        QuitReply reply;
        const char *line;
        std::vector<bool> repliesAfter; // termination replies once the situation resolves
        std::optional<int> answer;      // to "Couldn’t save recording": Save As…, Quit Without Saving, Cancel
        bool savePanelOK = false;
    };
    const Row rows[] = {
        {Situation::tail, QuitReply::terminateLater, "[app] quit requested during a tail operation — deferred", {true}},
        {Situation::paused, QuitReply::terminateLater, "[app] take finished — allowing quit", {true}},
        {Situation::saveFails, QuitReply::cancel, "", {}},
        {Situation::saveFails, QuitReply::terminateNow, "[app] quit without saving — the unsaved changes are dropped", {}, 1},
        {Situation::saveFails, QuitReply::terminateLater, "", {true}, 0, true},
        {Situation::saveFails, QuitReply::terminateLater, "", {false}, 0, false},
    };
    for (const Row &row : rows) {
        RunningTake t;
        ManagerHarness &h = t.h;
        h.m().renameScene(t.session.scenes[0].id, "Pending");
        h.m().setState(row.situation == Situation::paused ? AppState::paused : AppState::idle);
        if (row.situation == Situation::tail)
            h.m().setTailOperation(TailOperation{});
        ASSERT_TRUE(h.m().hasPendingSave());
        if (row.situation == Situation::saveFails)
            blockManifest(t.session.scratchURL);
        const int label = int(&row - rows);
        if (row.answer)
            h.alerts->answers.push_back(*row.answer);
        EXPECT_EQ(h.m().requestQuit(), row.reply) << label;
        if (row.answer == 0) {
            QDir().rmdir(t.session.scratchURL + "/manifest.json"); // a copy would carry the block along
            h.filePanels->made.last()->answer(row.savePanelOK, {h.dir.filePath("Kept.lumacast")});
        }
        if (row.situation == Situation::tail) {
            EXPECT_TRUE(h.application->terminationReplies.empty()) << label;
            h.m().setTailOperation(std::nullopt);
            h.m().runPendingExternalAction();
        }
        settleCopy(h);
        EXPECT_EQ(h.application->terminationReplies, row.repliesAfter) << label;
        if (*row.line) {
            EXPECT_TRUE(h.appLogLines().contains(row.line)) << label;
        }
        if (row.situation == Situation::saveFails) {
            ASSERT_EQ(alertTitles(h), QStringList{"Couldn’t save recording"}) << label;
            const AlertRequest &asked = h.alerts->shown[0];
            EXPECT_EQ(asked.buttons, QStringList({"Save As…", "Quit Without Saving", "Cancel"})) << label;
            EXPECT_EQ(asked.defaultButton, 2) << label;
            EXPECT_TRUE(asked.informativeText.contains("Quit Without Saving loses your changes")) << label;
            EXPECT_TRUE(h.m().session()) << label;
            EXPECT_EQ(QFileInfo::exists(h.dir.filePath("Kept.lumacast/manifest.json")), row.savePanelOK) << label;
            continue;
        }
        EXPECT_FALSE(h.m().hasPendingSave()) << label;
        QFile manifest(t.session.scratchURL + "/manifest.json");
        ASSERT_TRUE(manifest.open(QIODevice::ReadOnly)) << label;
        const QByteArray written = manifest.readAll();
        EXPECT_TRUE(written.contains("Pending")) << label;
        EXPECT_EQ(written.contains("running.mov"), row.situation == Situation::paused) << label;
    }
}

// The panels and questions hold the hot keys but not the tray: a take (or a tail) starts while a
// document command waits for its answer. Whatever the answer, nothing is saved, opened or closed
// under it, and it records on in its folder.
TEST(DocumentCommandsTest, AnAnswerThatComesDuringATakeLeavesItRecording)
{
    enum class Command { saveAs, saveBeforeOpen, openAfterSaving, dontSaveBeforeOpen, windowDontSave, windowSave };
    const struct {
        Command command;
        bool tail; // a tail records instead of a take
        const char *notice;
    } rows[] = {
        {Command::saveAs, false, "Finish or discard the current take before saving Saved.lumacast."},
        {Command::saveAs, true, "Finish, retry, or discard the tail before saving Saved.lumacast."},
        {Command::saveBeforeOpen, false, "Finish or discard the current take before saving Saved.lumacast."},
        {Command::openAfterSaving, false, "Finish or discard the current take before opening Other.lumacast."},
        {Command::dontSaveBeforeOpen, false, "Finish or discard the current take before opening a recording."},
        {Command::windowDontSave, false, "Finish or discard the current take before closing the recording."},
        {Command::windowSave, false, "Finish or discard the current take before closing the recording."},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(int(row.command) * 2 + row.tail);
        ManagerHarness h;
        const Session session = h.adoptSessionWithTakes({1});
        h.permissions->checks.preset = h.countdown->runs.preset = h.recorder->starts.preset = true;
        h.recorder->filters.preset = RecorderService::FilterAndConfiguration{};
        const QString saved = h.dir.filePath("Saved.lumacast"), other = h.dir.filePath("Other.lumacast");
        h.store->save(h.newSession(), other);
        const auto startTake = [&] {
            if (!row.tail)
                return runTask(h.m().startRecording());
            h.m().setTailOperation(TailOperation{});
            h.m().setState(AppState::recording);
        };
        const auto answer = [&](const QString &chosen) { h.filePanels->made.last()->answer(true, {chosen}); };
        const bool dontSave = row.command == Command::dontSaveBeforeOpen || row.command == Command::windowDontSave;
        h.alerts->answers.push_back(dontSave ? 1 : 0);
        if (dontSave)
            h.alerts->whileUp = startTake;
        switch (row.command) {
        case Command::saveAs: h.m().presentSavePanel(); break;
        case Command::saveBeforeOpen:
        case Command::dontSaveBeforeOpen: h.m().guardedOpenSession(); break;
        case Command::openAfterSaving:
            h.m().guardedOpenSession();
            answer(saved);
            settleCopy(h);
            break;
        case Command::windowSave: QTimer::singleShot(0, [&] { startTake(); answer(saved); }); [[fallthrough]];
        case Command::windowDontSave: EXPECT_FALSE(h.m().reviewWindowShouldClose()); break;
        }
        if (row.command <= Command::openAfterSaving) {
            startTake();
            answer(row.command == Command::openAfterSaving ? other : saved);
        }
        pumpEvents();
        EXPECT_EQ(h.m().recordingNotice(), QString(row.notice));
        EXPECT_EQ(h.m().state(), AppState::recording);
        EXPECT_FALSE(h.recorder->calls.contains("stopRecording"));
        ASSERT_TRUE(h.m().session());
        EXPECT_EQ(h.m().session()->id, session.id);
        EXPECT_EQ(QDir(saved).exists(), row.command == Command::openAfterSaving);
        if (!row.tail) {
            EXPECT_TRUE(QFileInfo(h.m().takeURL(*h.m().inFlightTakeFilename())).dir().exists());
        }
    }
}

// New Recording while a take counts down (with a saved session it closes without a question),
// also after Close Recording let go of the counting session: one countdown, and the microphone
// and the state stay those of the start that prepared them.
TEST(DocumentCommandsTest, NewRecordingDuringACountdownLeavesThatStartAlone)
{
    for (const bool closeFirst : {false, true}) {
        SCOPED_TRACE(closeFirst);
        ManagerHarness h;
        const Session session = h.adoptSessionWithTakes({1});
        testing::runTask(h.m().saveSession(h.dir.filePath("Counting.lumacast")));
        h.permissions->checks.preset = h.recorder->starts.preset = true;
        h.recorder->filters.preset = RecorderService::FilterAndConfiguration{};
        QCoro::Task<> starting = h.m().startRecording();
        pumpEvents();
        if (closeFirst)
            runTask(h.m().performCloseRecording());
        QCoro::Task<> creating = h.m().guardedNewSession();
        pumpEvents();
        EXPECT_EQ(h.countdown->runs.pending.size(), 1u);
        while (!h.countdown->runs.pending.empty())
            h.countdown->runs.completeNext(true);
        runTask(std::move(starting));
        runTask(std::move(creating));
        // Closed during its countdown, the first take never starts; the new recording's does.
        EXPECT_EQ(h.recorder->calls.filter("prepareMicrophone").size(), closeFirst ? 2 : 1);
        EXPECT_EQ(h.recorder->calls.filter("releasePreparedMicrophone").size(), closeFirst ? 1 : 0);
        EXPECT_EQ(h.recorder->calls.filter("startRecording").size(), 1);
        EXPECT_EQ(h.m().state(), AppState::recording);
        EXPECT_EQ(h.m().session()->id == session.id, !closeFirst);
    }
}

// Closes and quits that leave nothing half done: no session without a folder, no take file
// still "in flight", no export dropped without a word, no window gone before its recording is
// saved.
TEST(DocumentCommandsTest, CloseAndQuitLeaveNothingHalfDone)
{
    enum class Act { windowDontSaveAfterFailedAutosave, windowSave, forcedCloseDuringATake, quitKeepingExport, quitStoppingExport };
    const struct {
        Act act;
        const char *alert;
        bool sessionKept;
        std::optional<QuitReply> reply;
    } rows[] = {
        {Act::windowDontSaveAfterFailedAutosave, "Save recording before closing?", false, std::nullopt},
        {Act::windowSave, "Save recording before closing?", false, std::nullopt},
        {Act::forcedCloseDuringATake, nullptr, false, std::nullopt},
        {Act::quitKeepingExport, "Quit while exporting?", true, QuitReply::cancel},
        {Act::quitStoppingExport, "Quit while exporting?", true, QuitReply::terminateNow},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(int(row.act));
        RunningTake t;
        ManagerHarness &h = t.h;
        h.m().setInFlightTakeFilename(QStringLiteral("running.mov"));
        if (row.act != Act::forcedCloseDuringATake)
            h.m().setState(AppState::idle);
        if (row.act == Act::windowDontSaveAfterFailedAutosave) {
            // The autosave fails, and says so once.
            blockManifest(t.session.scratchURL);
            h.m().autoSave();
            ASSERT_TRUE(h.m().hasPendingSave());
            h.alerts->shown.clear();
        }
        const bool first = row.act == Act::quitStoppingExport || row.act == Act::windowSave;
        h.alerts->answers.push_back(first ? 0 : 1); // Save…, Quit; or Don’t Save, Cancel
        h.m().setIsExporting(row.reply.has_value());
        switch (row.act) {
        case Act::windowDontSaveAfterFailedAutosave: EXPECT_TRUE(h.m().reviewWindowShouldClose()); break;
        case Act::windowSave:
            QTimer::singleShot(0, [&] { h.filePanels->made.last()->answer(true, {h.dir.filePath("Closed.lumacast")}); });
            EXPECT_FALSE(h.m().reviewWindowShouldClose()) << "the window stays while the recording is saved";
            EXPECT_TRUE(h.m().session().has_value());
            settleCopy(h);
            EXPECT_TRUE(QFileInfo::exists(h.dir.filePath("Closed.lumacast/manifest.json")));
            break;
        case Act::forcedCloseDuringATake: EXPECT_TRUE(h.m().forceCloseSession(true)); break;
        default: EXPECT_EQ(h.m().requestQuit(), row.reply); break;
        }
        pumpEvents();
        EXPECT_EQ(alertTitles(h), row.alert ? QStringList{row.alert} : QStringList{});
        EXPECT_EQ(h.m().session().has_value(), row.sessionKept);
        EXPECT_EQ(h.m().inFlightTakeFilename().has_value(), row.sessionKept);
        EXPECT_FALSE(h.m().hasPendingSave());
    }
}

// The files in a folder and their bytes, for "nothing there changed".
QMap<QString, QByteArray> folderContents(const QString &folder)
{
    QMap<QString, QByteArray> contents;
    QDirIterator items(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (items.hasNext()) {
        const QString path = items.next();
        contents.insert(path.mid(folder.size()), readBytes(path));
    }
    return contents;
}

// A package renamed, put in the Trash, deleted or replaced by another while it is open, then an
// edit's autosave, a Save As or a Quit. Renamed or trashed, the recording follows its folder:
// saved there, its title and the reopened document with it. Gone, nothing is written or deleted
// under its old path, the user is told what is lost, and Quit offers to quit without saving.
TEST(DocumentCommandsTest, ARecordingFollowsItsPackageAndLeavesAReplacementAlone)
{
    enum class Move { renamed, trashed, deleted, replaced };
    enum class Then { autosave, saveAs, quit };
    const struct {
        Move move;
        Then then;
        QStringList alerts;
        QuitReply reply = QuitReply::terminateNow;
    } rows[] = {
        {Move::renamed, Then::autosave, {}},
        {Move::renamed, Then::saveAs, {}},
        {Move::renamed, Then::quit, {}},
        {Move::trashed, Then::autosave, {"Recording moved to the Trash"}},
        {Move::trashed, Then::saveAs, {"Recording moved to the Trash"}},
        {Move::trashed, Then::quit, {"Recording moved to the Trash"}},
        {Move::deleted, Then::autosave, {"Recording deleted"}},
        {Move::deleted, Then::quit, {"Couldn’t save recording", "Recording deleted"}, QuitReply::cancel},
        {Move::replaced, Then::autosave, {"Recording replaced"}},
        {Move::replaced, Then::saveAs, {"Couldn’t save recording", "Recording replaced"}},
        {Move::replaced, Then::quit, {"Couldn’t save recording", "Recording replaced"}, QuitReply::cancel},
    };
    const QString trash = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + "/Trash/files";
    ASSERT_TRUE(QDir().mkpath(trash));
    for (const auto &row : rows) {
        const int label = int(&row - rows);
        ManagerHarness h;
        const Session original = h.adoptSessionWithTakes({2});
        const QString package = h.dir.filePath("Talk.lumacast");
        testing::runTask(h.m().saveSession(package));
        const QString renamed = row.move == Move::trashed ? trash + QStringLiteral("/Talk-%1.lumacast").arg(label)
                                                          : h.dir.filePath("Talk-final.lumacast");
        if (row.move == Move::renamed || row.move == Move::trashed) {
            ASSERT_TRUE(QDir().rename(package, renamed)) << label;
        } else {
            ASSERT_TRUE(QDir(package).removeRecursively()) << label;
        }
        if (row.move == Move::replaced) {
            // Another recording under the name, with a movie its ledger lists and nothing names.
            ASSERT_TRUE(QDir().mkpath(package + "/takes"));
            writeBytes(package + "/manifest.json", "{\"another\": true}");
            writeBytes(package + "/takes/LEFT.mov", "movie");
            writeBytes(package + "/.lumacast-ledger", "LEFT.mov\ntake1.mov\n");
        }
        const QMap<QString, QByteArray> replacement = folderContents(package);
        h.m().renameScene(original.scenes[0].id, "Edited");
        switch (row.then) {
        case Then::autosave: h.time->advance(std::chrono::seconds(1)); break;
        case Then::saveAs:
            h.m().presentSavePanel();
            h.filePanels->made.last()->answer(true, {h.dir.filePath("Copy.lumacast")});
            settleCopy(h);
            break;
        case Then::quit: EXPECT_EQ(h.m().requestQuit(), row.reply) << label; break;
        }
        pumpEvents();
        EXPECT_EQ(alertTitles(h), row.alerts) << label;
        if (row.move == Move::deleted || row.move == Move::replaced) {
            EXPECT_EQ(folderContents(package), replacement) << label << " something was written or deleted there";
            EXPECT_FALSE(QFileInfo::exists(h.dir.filePath("Copy.lumacast"))) << label;
            if (row.then == Then::quit) {
                EXPECT_EQ(h.alerts->shown[0].buttons, QStringList({"Quit Without Saving", "Cancel"})) << label;
                EXPECT_TRUE(h.alerts->shown[0].informativeText.contains("no longer on the disk")) << label;
            }
            continue;
        }
        const QString now = row.then == Then::saveAs ? h.dir.filePath("Copy.lumacast") : renamed;
        EXPECT_EQ(h.m().session()->bundleURL, now) << label;
        EXPECT_EQ(h.preferences.lastOpenedDocument(), now) << label;
        EXPECT_TRUE(readBytes(now + "/manifest.json").contains("Edited")) << label;
        EXPECT_TRUE(QFileInfo::exists(now + "/takes/take2.mov")) << label;
        EXPECT_TRUE(QFileInfo::exists(renamed + "/takes/take1.mov")) << label;
        EXPECT_FALSE(QFileInfo::exists(package)) << label;
    }
}

// An unwritable cache folder (here a file where it should be): New Recording says why instead
// of doing nothing.
TEST(DocumentCommandsTest, NewRecordingWithoutAScratchFolderSaysWhy)
{
    ManagerHarness h;
    const QString cache = h.dir.filePath("cache");
    QFile blocker(cache);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QByteArray saved = qgetenv("XDG_CACHE_HOME");
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache));
    runTask(h.m().guardedNewSession());
    qputenv("XDG_CACHE_HOME", saved);

    EXPECT_FALSE(h.m().session());
    EXPECT_TRUE(h.recorder->calls.isEmpty());
    ASSERT_EQ(alertTitles(h), QStringList{"Couldn’t start a new recording"});
    EXPECT_TRUE(h.alerts->shown[0].informativeText.contains(cache)) << qPrintable(h.alerts->shown[0].informativeText);
}

TEST(DocumentCommandsTest, TerminationWritesThePendingAutosave)
{
    ManagerHarness h;
    const Session session = h.adoptSessionWithTakes({1});
    h.m().renameScene(session.scenes[0].id, "Before SIGTERM");
    h.m().applicationWillTerminate();
    EXPECT_FALSE(h.m().hasPendingSave());
    QFile manifest(session.scratchURL + "/manifest.json");
    ASSERT_TRUE(manifest.open(QIODevice::ReadOnly));
    EXPECT_TRUE(manifest.readAll().contains("Before SIGTERM"));
}

} // namespace
} // namespace lumacast
