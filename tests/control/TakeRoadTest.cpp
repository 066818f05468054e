#include "StateManagerDoubles.h"

#include "support/AwaitTask.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>

using namespace std::chrono_literals;

namespace lumacast {
namespace {

using testing::ManagerHarness;
using testing::runTask;
using Recording = RecorderService::Recording;
using testing::pumpEvents;

// A manager with an open session of one scene holding one take, every seam answering at once
// with success unless a test changes it.
struct Road {
    ManagerHarness h;
    Session session = h.adoptSessionWithTakes({1});
    QStringList windowsOpened;
    testing::FakeMainWindow window;

    Road()
    {
        h.permissions->checks.preset = true;
        h.countdown->runs.preset = true;
        h.recorder->filters.preset = RecorderService::FilterAndConfiguration{};
        h.recorder->starts.preset = true;
        h.m().setMainWindow(&window);
        h.m().setWindowActions([this](const QString &id) { windowsOpened << id; }, {}, {});
    }
    // The first session's, whichever session is open now.
    QStringList takeFiles() const { return QDir(session.scratchURL + "/takes").entryList(QDir::Files); }
    const RecordingScene &scene(int index) const { return h.manager->session()->scenes.at(index); }
    // Puts the session's only take under review, its movie `bytes` long.
    void review(qint64 bytes)
    {
        const Take &take = scene(0).takes.first();
        h.writeTakeFile(take.filename, bytes);
        h.m().setPendingTakeID(take.id);
        h.m().setCurrentTakeURL(h.m().takeURL(take.filename));
        h.m().setState(AppState::reviewing);
    }
    void recordOneTake()
    {
        runTask(h.m().startRecording());
        ASSERT_EQ(h.m().state(), AppState::recording);
    }
};

TEST(TakeStartTest, EveryFailureRestoresThePriorStateAndLeavesNothingBehind)
{
    enum class Fail { permissions, countdown, filter, recorderStart, sessionClosed, sessionReplacedAfterStart };
    struct Row {
        const char *name;
        Fail fail;
        AppState prior;
        bool pickedWindow;
        AppState expected;
        const char *alert; // "" for none
        const char *lastAppLine;
    };
    const Row rows[] = {
        {"permission refused", Fail::permissions, AppState::idle, false, AppState::idle, "",
         "[rec] permissions failed — aborting"},
        {"countdown cancelled from review", Fail::countdown, AppState::reviewing, false, AppState::reviewing, "",
         "[rec] countdown cancelled"},
        {"filter fails on the whole screen", Fail::filter, AppState::idle, false, AppState::idle,
         "Couldn't start recording", "[rec] startRecording failed: no display"},
        {"recorder fails on a picked window", Fail::recorderStart, AppState::reviewing, true, AppState::reviewing,
         "That window is no longer available", "[rec] startRecording failed: The capture could not start."},
        {"session closed during the countdown", Fail::sessionClosed, AppState::idle, false, AppState::idle, "",
         "[rec] session changed during start — abandoning the take"},
        {"session replaced once the recorder ran", Fail::sessionReplacedAfterStart, AppState::idle, false,
         AppState::idle, "", "[rec] session changed during start — abandoning the take"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Road r;
        r.h.m().setSelectedMicrophoneIDValue(QStringLiteral("gone-mic")); // not in the list: default device
        if (row.prior == AppState::reviewing)
            r.review(4096);
        if (row.pickedWindow)
            r.h.m().setCaptureTarget(CaptureTarget::custom(ContentFilter::forWindow(5, QRectF(0, 0, 10, 10)),
                                                           ContentStyle::Window));
        const std::optional<QString> reviewed = r.h.m().currentTakeURL();
        const QStringList filesBefore = r.takeFiles();
        r.h.clearLogs();

        switch (row.fail) {
        case Fail::permissions: r.h.permissions->checks.preset = false; break;
        case Fail::countdown: r.h.countdown->runs.preset = false; break;
        case Fail::filter: r.h.recorder->filters.preset.reset(); break;
        case Fail::recorderStart: r.h.recorder->starts.preset = false; break;
        case Fail::sessionClosed: r.h.countdown->runs.preset.reset(); break;
        case Fail::sessionReplacedAfterStart:
            r.h.recorder->starts.preset.reset();
            r.h.recorder->stops.preset.emplace(std::nullopt);
            break;
        }
        QCoro::Task<> start = r.h.m().startRecording();
        switch (row.fail) {
        case Fail::filter:
            r.h.recorder->filters.pending.front()->fail(std::make_exception_ptr(Error(QStringLiteral("no display"))));
            r.h.recorder->filters.pending.pop_front();
            break;
        case Fail::sessionClosed:
            EXPECT_EQ(r.h.m().state(), AppState::starting);
            r.h.m().replaceCurrentSession(std::nullopt);
            r.h.countdown->runs.completeNext(true);
            break;
        case Fail::sessionReplacedAfterStart: {
            // The recorder has begun the movie in the old session's folder.
            const QString name = r.h.recorder->calls.last().section(QLatin1Char(' '), 1);
            r.h.writeTakeFile(name);
            r.h.m().replaceCurrentSession(Session(r.session.scratchURL));
            r.h.recorder->starts.completeNext(true);
            break;
        }
        default: break;
        }
        runTask(std::move(start));

        EXPECT_EQ(r.h.m().state(), row.expected);
        EXPECT_EQ(r.h.m().permissionsOK(), row.fail != Fail::permissions);
        EXPECT_FALSE(r.h.border->shown);
        EXPECT_FALSE(r.h.statusPanel->shown);
        EXPECT_FALSE(r.h.m().inFlightTakeFilename().has_value());
        if (row.fail != Fail::permissions) {
            EXPECT_EQ(r.h.recorder->calls.first(), "prepareMicrophone default");
            EXPECT_TRUE(r.h.recorder->calls.contains("releasePreparedMicrophone"));
        }
        EXPECT_EQ(r.takeFiles(), filesBefore);
        if (row.prior == AppState::reviewing) {
            EXPECT_EQ(r.h.m().currentTakeURL(), reviewed);
        }
        EXPECT_EQ(r.h.m().captureTarget().isWholeScreen(), true);
        ASSERT_EQ(r.h.alerts->shown.size(), QString(row.alert).isEmpty() ? 0u : 1u);
        if (!r.h.alerts->shown.empty()) {
            EXPECT_EQ(r.h.alerts->shown[0].message, row.alert);
        }
        EXPECT_EQ(r.h.appLogLines().filter("[rec]").last(), row.lastAppLine);
    }
}

// Where the desktop chooses what is shared it is asked before the countdown; Escape and the
// start and end keys give up on it while it does not answer, and no take starts from an answer
// that comes after; its failures say what happened without advice that cannot help.
TEST(TakeStartTest, TheDesktopIsAskedBeforeTheCountdownAndTheWaitCanBeGivenUp)
{
    enum class Outcome { granted, escape, endTakeKey, startPauseKey, grantedAfterEscape, noAnswer, failed, dismissed };
    struct Row {
        const char *name;
        Outcome outcome;
        AppState expected;
        const char *alert;       // "" for none
        const char *advice;      // in the alert's text
        const char *notAdvised;  // never in it
    };
    const Row rows[] = {
        {"granted", Outcome::granted, AppState::recording, "", "", ""},
        {"Escape", Outcome::escape, AppState::idle, "", "", ""},
        {"end-take key", Outcome::endTakeKey, AppState::idle, "", "", ""},
        {"start/pause key", Outcome::startPauseKey, AppState::idle, "", "", ""},
        {"granted after Escape", Outcome::grantedAfterEscape, AppState::idle, "", "", ""},
        {"no answer", Outcome::noAnswer, AppState::idle, "Couldn't start recording", "seems to have stopped",
         "choose what to share"},
        {"failed", Outcome::failed, AppState::idle, "Couldn't start recording", "your desktop's screen sharing.",
         "choose what to share"},
        {"chooser dismissed", Outcome::dismissed, AppState::idle, "Screen sharing was not allowed",
         "choose what to share", "Settings"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Road r;
        r.h.recorder->choosesScreen = true;
        r.h.countdown->runs.preset.reset();
        r.h.recorder->cancelIgnored = row.outcome == Outcome::grantedAfterEscape;
        r.h.clearLogs();
        QCoro::Task<> start = r.h.m().startRecording();
        ASSERT_EQ(r.h.recorder->asks.pending.size(), 1u);
        EXPECT_TRUE(r.h.countdown->displays.empty()) << "the countdown ran before the desktop answered";
        EXPECT_FALSE(r.h.border->shown);
        ASSERT_TRUE(r.h.countdown->onCancel);
        switch (row.outcome) {
        case Outcome::granted: r.h.recorder->asks.completeNext(true); break;
        case Outcome::escape: r.h.countdown->onCancel(); break;
        case Outcome::endTakeKey: r.h.m().endTakeShortcut(); break;
        case Outcome::startPauseKey: r.h.m().startPauseShortcut(); break;
        case Outcome::grantedAfterEscape:
            r.h.countdown->onCancel();
            r.h.recorder->asks.completeNext(true);
            break;
        case Outcome::noAnswer:
        case Outcome::failed:
        case Outcome::dismissed:
            r.h.recorder->askRefusal = Error(QStringLiteral("Lumacast.ScreenCast"),
                                             row.outcome == Outcome::noAnswer ? 4 : row.outcome == Outcome::failed,
                                             QStringLiteral("The desktop's screen sharing did not start"));
            r.h.recorder->asks.completeNext(false);
            break;
        }
        if (row.outcome == Outcome::granted) {
            pumpEvents();
            EXPECT_FALSE(r.h.countdown->onCancel) << "the keys still cancel during the countdown's own watch";
            ASSERT_EQ(r.h.countdown->displays.size(), 1u);
            r.h.countdown->runs.completeNext(true);
        }
        runTask(std::move(start));

        EXPECT_EQ(r.h.m().state(), row.expected);
        EXPECT_FALSE(r.h.countdown->onCancel);
        const QStringList calls = r.h.recorder->calls.filter(QRegularExpression("^(ask|start|release|cancel)"));
        if (row.outcome == Outcome::granted) {
            EXPECT_EQ(calls, QStringList({"askForScreen", calls.last()}));
            EXPECT_TRUE(calls.last().startsWith("startRecording"));
            continue;
        }
        EXPECT_FALSE(r.h.border->shown);
        EXPECT_TRUE(r.h.countdown->displays.empty());
        EXPECT_FALSE(r.h.recorder->calls.filter("startRecording").size()) << "a take started after the user gave up";
        EXPECT_TRUE(calls.contains("releasePreparedMicrophone"));
        ASSERT_EQ(r.h.alerts->shown.size(), QString(row.alert).isEmpty() ? 0u : 1u);
        if (r.h.alerts->shown.empty()) {
            EXPECT_TRUE(calls.contains("cancelAskingForScreen"));
            EXPECT_TRUE(calls.contains("releaseAskedScreen"));
            EXPECT_EQ(r.h.appLogLines().filter("[rec]").last(), "[rec] start cancelled while the desktop was asked");
            continue;
        }
        const AlertRequest &alert = r.h.alerts->shown[0];
        EXPECT_EQ(alert.message, row.alert);
        EXPECT_TRUE(alert.informativeText.contains(row.advice)) << qPrintable(alert.informativeText);
        EXPECT_FALSE(alert.informativeText.contains(row.notAdvised)) << qPrintable(alert.informativeText);
    }
}

TEST(TakeStartTest, TakeStartingCommandsDoNothingWhileATakeIsUnderWay)
{
    for (AppState state : {AppState::starting, AppState::recording, AppState::paused}) {
        SCOPED_TRACE(qPrintable(app_state::caseName(state)));
        Road r;
        r.h.m().setState(state);
        r.h.clearLogs();
        runTask(r.h.m().startRecording());
        r.h.m().advanceToScene();
        runTask(r.h.m().newSession());
        EXPECT_EQ(r.h.m().state(), state);
        EXPECT_TRUE(r.h.recorder->calls.isEmpty());
        EXPECT_EQ(r.h.m().session()->id, r.session.id);
        EXPECT_EQ(r.h.m().session()->scenes.size(), 1);
        EXPECT_TRUE(r.h.appLogLines().isEmpty());
    }
}

TEST(TakeEndTest, TwoEndsFileOneTakeAfterAPause)
{
    Road r;
    r.recordOneTake();
    r.h.m().pauseRecording();
    r.h.time->advance(2500ms);
    r.h.m().resumeRecording();
    r.h.recorder->stops.preset.reset();

    QCoro::Task<> first = r.h.m().endTake();
    QCoro::Task<> second = r.h.m().endTake();
    runTask(std::move(second)); // returns at once: the first is still stopping
    ASSERT_EQ(r.h.recorder->stops.pending.size(), 1u);
    const QString movie = r.h.m().takeURL(*r.h.m().inFlightTakeFilename());
    r.h.writeTakeFile(QFileInfo(movie).fileName());
    r.h.recorder->stops.completeNext(Recording{movie, 4.26});
    runTask(std::move(first));
    // In the manifest at once, not after the autosave's wait: a crash now keeps the take.
    EXPECT_EQ(r.h.store->openSession(r.session.scratchURL).scenes[0].takes.size(), 2);

    EXPECT_EQ(r.h.recorder->calls.filter("stopRecording").size(), 1);
    ASSERT_EQ(r.scene(0).takes.size(), 2);
    const Take &take = r.scene(0).takes.last();
    EXPECT_EQ(take.filename, QFileInfo(movie).fileName());
    EXPECT_EQ(take.duration, 4.26);
    EXPECT_EQ(r.h.m().undoActionName(), "Record Take");
    EXPECT_EQ(r.h.m().pendingTakeID(), take.id);
    EXPECT_EQ(r.h.m().previewedTakeID(), take.id);
    EXPECT_EQ(r.h.m().currentTakeURL(), movie);
    EXPECT_EQ(r.h.m().state(), AppState::reviewing);
    EXPECT_FALSE(r.h.m().inFlightTakeFilename().has_value());
    EXPECT_FALSE(r.h.m().elapsedRecordingTime(r.h.time->now()).has_value());
    EXPECT_FALSE(r.h.border->shown);
    EXPECT_EQ(r.windowsOpened, QStringList({"review"}));
    const QStringList history = r.h.historyLines();
    EXPECT_TRUE(history.contains("resumed — paused for 2.5s"));
    EXPECT_EQ(history.last(), QStringLiteral("take ended — %1 duration=4.3s").arg(take.filename));
}

TEST(TakeEndTest, NothingWrittenGoesIdleWithOneAlert)
{
    struct Row {
        const char *name;
        bool streamError;
        const char *alert;
    };
    const Row rows[] = {
        {"ended by the user", false, "The take couldn’t be saved"},
        {"ended by a stream error", true, "Recording interrupted"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Road r;
        r.recordOneTake();
        r.h.recorder->stops.preset.emplace(std::nullopt);
        if (row.streamError) {
            r.h.recorder->onStreamError(Error(QStringLiteral("The display went away.")));
            r.h.recorder->onStreamError(Error(QStringLiteral("Again.")));
            pumpEvents();
        } else {
            runTask(r.h.m().endTake());
        }
        EXPECT_EQ(r.h.m().state(), AppState::idle);
        EXPECT_EQ(r.scene(0).takes.size(), 1);
        EXPECT_FALSE(r.h.border->shown);
        ASSERT_EQ(r.h.alerts->shown.size(), 1u);
        EXPECT_EQ(r.h.alerts->shown[0].message, row.alert);
        EXPECT_EQ(r.h.recorder->calls.filter("stopRecording").size(), 1);
    }
}

TEST(TakeEndTest, CloseAndQuitWaitForAnEndUnderWayAndItFilesIntoItsOwnSession)
{
    // The end-take key has stopped the recorder; before the stop returns, the user closes the
    // recording, quits, or another session takes its place.
    enum class Then { closePackaged, closeScratchSaveCancelled, closeDontSave, quit, sessionReplaced };
    struct Row {
        const char *name;
        Then then;
        bool filed; // into the session it was recorded for, as its manifest shows
        bool sessionOpen;
        AppState state;
    };
    const Row rows[] = {
        {"Close Recording on a saved session", Then::closePackaged, true, false, AppState::idle},
        {"Close Recording, Save…, panel cancelled", Then::closeScratchSaveCancelled, true, true, AppState::reviewing},
        {"Close Recording, Don’t Save", Then::closeDontSave, false, false, AppState::idle},
        {"Quit", Then::quit, true, true, AppState::reviewing},
        {"another session put in place", Then::sessionReplaced, false, true, AppState::idle},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Road r;
        QString manifest = r.session.scratchURL + "/manifest.json";
        if (row.then == Then::closePackaged) {
            testing::runTask(r.h.m().saveSession(r.h.dir.filePath("Ending.lumacast")));
            manifest = r.h.dir.filePath("Ending.lumacast/manifest.json");
        }
        r.recordOneTake();
        r.h.recorder->stops.preset.reset();
        const QString movie = r.h.m().takeURL(*r.h.m().inFlightTakeFilename());
        r.h.writeTakeFile(QFileInfo(movie).fileName());

        QCoro::Task<> ending = r.h.m().endTake();
        std::optional<QCoro::Task<>> closing;
        switch (row.then) {
        case Then::closePackaged: closing.emplace(r.h.m().performCloseRecording()); break;
        case Then::closeScratchSaveCancelled:
        case Then::closeDontSave:
            r.h.alerts->answers.push_back(row.then == Then::closeDontSave ? 1 : 0);
            closing.emplace(r.h.m().performCloseRecording());
            break;
        case Then::quit: EXPECT_EQ(r.h.m().requestQuit(), QuitReply::terminateLater); break;
        case Then::sessionReplaced: r.h.m().replaceCurrentSession(r.h.newSession()); break;
        }
        pumpEvents();
        // One stop only: a second would get nothing back and the take would be lost.
        ASSERT_EQ(r.h.recorder->stops.pending.size(), 1u);
        r.h.recorder->stops.completeNext(Recording{movie, 3.5});
        runTask(std::move(ending));
        if (closing)
            runTask(std::move(*closing));
        if (row.then == Then::closeScratchSaveCancelled) {
            ASSERT_EQ(r.h.filePanels->made.size(), 1);
            r.h.filePanels->made.first()->answer(false, {});
        }
        pumpEvents();

        EXPECT_EQ(r.h.recorder->calls.filter("stopRecording").size(), 1);
        EXPECT_EQ(r.h.m().state(), row.state);
        EXPECT_EQ(r.h.m().session().has_value(), row.sessionOpen);
        EXPECT_EQ(QFile::exists(movie), row.then != Then::closeDontSave);
        if (row.then == Then::quit) {
            EXPECT_EQ(r.h.application->terminationReplies, std::vector<bool>{true});
        }
        if (row.filed) {
            if (r.h.m().hasPendingSave())
                r.h.m().flushPendingSave();
            QFile written(manifest);
            ASSERT_TRUE(written.open(QIODevice::ReadOnly));
            EXPECT_TRUE(written.readAll().contains(QFileInfo(movie).fileName().toUtf8()));
        }
        if (row.then == Then::sessionReplaced) {
            // Nothing of the old session's take in the new one, and nothing of it left on screen.
            EXPECT_TRUE(r.h.m().session()->scenes.value(0).takes.isEmpty());
            EXPECT_FALSE(r.h.m().pendingTakeID().has_value());
            EXPECT_FALSE(r.h.border->shown);
            EXPECT_FALSE(r.h.statusPanel->shown);
            EXPECT_FALSE(r.h.m().takeStartedAt().has_value());
        }
    }
}

TEST(TakeEndTest, TheEndTakeKeyDuringCloseRecordingsOwnStopIsIgnored)
{
    Road r;
    testing::runTask(r.h.m().saveSession(r.h.dir.filePath("Closing.lumacast")));
    r.recordOneTake();
    r.h.recorder->stops.preset.reset();
    const QString movie = r.h.m().takeURL(*r.h.m().inFlightTakeFilename());
    r.h.writeTakeFile(QFileInfo(movie).fileName());

    QCoro::Task<> closing = r.h.m().performCloseRecording();
    r.h.hotKeys->handlers.at(ShortcutAction::endTake)();
    pumpEvents();
    ASSERT_EQ(r.h.recorder->stops.pending.size(), 1u);
    r.h.recorder->stops.completeNext(Recording{movie, 3.5});
    runTask(std::move(closing));
    pumpEvents();

    EXPECT_TRUE(r.h.alerts->shown.empty()); // no "The take couldn’t be saved" for a take that was
    EXPECT_FALSE(r.h.m().session().has_value());
    QFile manifest(r.h.dir.filePath("Closing.lumacast/manifest.json"));
    ASSERT_TRUE(manifest.open(QIODevice::ReadOnly));
    EXPECT_TRUE(manifest.readAll().contains(QFileInfo(movie).fileName().toUtf8()));
}

TEST(TakeEndTest, ClosingTheTrayMenuDoesNotResumeATakeThatIsEnding)
{
    Road r;
    r.recordOneTake();
    r.h.recorder->stops.preset.reset();
    r.h.m().menuDidOpen(); // auto-pauses
    QCoro::Task<> ending = r.h.m().endTake();
    r.h.m().menuDidClose();
    EXPECT_FALSE(r.h.recorder->calls.contains("resume"));
    r.h.recorder->stops.completeNext(std::nullopt);
    runTask(std::move(ending));
    EXPECT_EQ(r.h.m().state(), AppState::idle);
}

TEST(TakeStartTest, ATakeAsksForSystemAudioAsSetAndNoAudioPlan)
{
    for (const bool systemAudio : {false, true}) {
        Road r;
        r.h.m().setCaptureSystemAudioValue(systemAudio);
        r.recordOneTake();
        EXPECT_EQ(r.h.recorder->systemAudioRequests, std::vector<bool>{systemAudio});
        ASSERT_EQ(r.h.recorder->plans.size(), 1u);
        EXPECT_FALSE(r.h.recorder->plans[0].has_value());
    }
}

TEST(HotKeyActionsTest, EachKeyActsByState)
{
    // What a key press led to once the posted tasks ran: the recorder's calls, the state, the
    // number of scenes and takes, and whether the reviewed take was approved.
    const auto outcome = [](Road &r) {
        const Session &s = *r.h.m().session();
        const bool approved = r.scene(0).selectedTakeID.has_value();
        return QStringLiteral("%1 | %2 scenes=%3 takes=%4%5%6")
            .arg(r.h.recorder->calls.join(','), app_state::caseName(r.h.m().state()))
            .arg(s.scenes.size())
            .arg(r.scene(0).takes.size())
            .arg(approved ? " approved" : "", r.h.webcamOverlay->calls.contains("toggleMode") ? " zoom" : "");
    };
    struct Row {
        AppState state;
        qint64 reviewedBytes; // reviewing only
        ShortcutAction key;
        QString expected;
    };
    using A = ShortcutAction;
    const std::vector<Row> rows = {
        {AppState::idle, 0, A::startPause, " | idle scenes=1 takes=1"},
        {AppState::idle, 0, A::endTake, " | starting scenes=1 takes=1"},
        {AppState::idle, 0, A::retake, " | idle scenes=1 takes=1"},
        {AppState::idle, 0, A::nextScene, " | idle scenes=2 takes=1"},
        {AppState::starting, 0, A::startPause, " | starting scenes=1 takes=1"},
        {AppState::starting, 0, A::endTake, " | starting scenes=1 takes=1"},
        {AppState::starting, 0, A::nextScene, " | starting scenes=1 takes=1"},
        {AppState::recording, 0, A::startPause, "pause | paused scenes=1 takes=1"},
        {AppState::recording, 0, A::endTake, "stopRecording | recording scenes=1 takes=1"},
        {AppState::recording, 0, A::retake, " | recording scenes=1 takes=1"},
        {AppState::recording, 0, A::nextScene, "stopRecording | recording scenes=1 takes=1"},
        // The webcam is off here: zoom acts only with it on (CaptureDevicesTest covers that).
        {AppState::recording, 0, A::toggleWebcamZoom, " | recording scenes=1 takes=1"},
        {AppState::paused, 0, A::startPause, "resume | recording scenes=1 takes=1"},
        {AppState::paused, 0, A::endTake, "stopRecording | paused scenes=1 takes=1"},
        {AppState::paused, 0, A::toggleWebcamZoom, " | paused scenes=1 takes=1"},
        {AppState::reviewing, 4096, A::startPause, " | reviewing scenes=1 takes=1"},
        {AppState::reviewing, 4096, A::endTake, " | starting scenes=1 takes=1 approved"},
        {AppState::reviewing, 4096, A::retake, " | idle scenes=1 takes=0"},
        {AppState::reviewing, 4096, A::nextScene, " | starting scenes=2 takes=1 approved"},
        {AppState::reviewing, 1024, A::endTake, " | reviewing scenes=1 takes=1"},
        {AppState::reviewing, 1024, A::nextScene, " | reviewing scenes=1 takes=1"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(qPrintable(app_state::caseName(row.state) + " " + QString::number(int(row.key))));
        Road r;
        r.h.permissions->checks.preset.reset(); // a started take waits at the permission check
        if (row.state == AppState::reviewing)
            r.review(row.reviewedBytes);
        else
            r.h.m().setState(row.state);
        r.h.hotKeys->handlers.at(row.key)();
        pumpEvents();
        EXPECT_EQ(outcome(r), row.expected);
    }

    // Without a session the keys that start or add something do nothing.
    ManagerHarness h;
    h.hotKeys->handlers.at(A::endTake)();
    h.hotKeys->handlers.at(A::nextScene)();
    pumpEvents();
    EXPECT_EQ(h.m().state(), AppState::idle);
    EXPECT_TRUE(h.permissions->callers.isEmpty());
    EXPECT_FALSE(h.m().session().has_value());

    // Keys pressed after the manager is gone reach nothing, though they would act on a take
    // that was recording (pause, stop) were it still there.
    Road gone;
    gone.recordOneTake();
    gone.h.recorder->calls.clear();
    const auto handlers = gone.h.hotKeys->handlers;
    ASSERT_EQ(handlers.size(), 6u);
    gone.h.manager.reset();
    for (const auto &[key, handler] : handlers)
        handler();
    pumpEvents();
    EXPECT_TRUE(gone.h.recorder->calls.isEmpty());
}

TEST(ReviewDecisionsTest, NoDecisionActsUnderALiveTail)
{
    // The end-take key approves and starts a new take; under a tail the reviewed take is the
    // tail's, and nothing may change it or leave review.
    const std::vector<std::pair<const char *, std::function<void(AppStateManager &)>>> decisions = {
        {"approve", [](AppStateManager &m) { m.approve(); }},
        {"autoApprove", [](AppStateManager &m) { m.autoApprove(); }},
        {"approveAndNewTake", [](AppStateManager &m) { m.approveAndNewTake(); }},
        {"approveAndNextScene", [](AppStateManager &m) { m.approveAndNextScene(); }},
        {"retake", [](AppStateManager &m) { m.retake(); }},
        {"end-take key", [](AppStateManager &) {}},
    };
    for (const auto &[name, decide] : decisions) {
        SCOPED_TRACE(name);
        Road r;
        r.review(4096);
        TailOperation tail;
        tail.phase = TailOperation::Joining{};
        r.h.m().setTailOperation(tail);
        if (QByteArray(name) == "end-take key")
            r.h.hotKeys->handlers.at(ShortcutAction::endTake)();
        else
            decide(r.h.m());
        pumpEvents();
        EXPECT_EQ(r.h.m().state(), AppState::reviewing);
        EXPECT_TRUE(r.h.m().pendingTakeID().has_value());
        EXPECT_FALSE(r.scene(0).selectedTakeID.has_value());
        EXPECT_EQ(r.scene(0).takes.size(), 1);
        EXPECT_TRUE(r.h.recorder->calls.isEmpty());
    }
}

TEST(ReviewDecisionsTest, ApproveTakesOnlyAMovieLongerThan1024Bytes)
{
    struct Row {
        qint64 bytes;
        AppState state;
        bool approved;
    };
    for (const Row &row : {Row{0, AppState::reviewing, false}, Row{1024, AppState::reviewing, false},
                           Row{1025, AppState::idle, true}}) {
        SCOPED_TRACE(row.bytes);
        Road r;
        r.review(row.bytes);
        if (row.bytes == 0)
            QFile::remove(*r.h.m().currentTakeURL());
        r.h.m().approve();
        EXPECT_EQ(r.h.m().state(), row.state);
        EXPECT_EQ(r.scene(0).selectedTakeID.has_value(), row.approved);
        EXPECT_EQ(r.h.m().pendingTakeID().has_value(), !row.approved);
    }
}

TEST(ReviewDecisionsTest, TheTrayMenuPausesOnlyWhatItPausedItself)
{
    struct Row {
        const char *name;
        AppState before;
        AppState whileOpen;
        AppState after;
        const char *recorderCalls;
    };
    const Row rows[] = {
        {"recording: paused while open, resumed after", AppState::recording, AppState::paused, AppState::recording,
         "pause,resume"},
        {"paused by the user: stays paused", AppState::paused, AppState::paused, AppState::paused, "pause"},
        {"reviewing: untouched", AppState::reviewing, AppState::reviewing, AppState::reviewing, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Road r;
        if (row.before == AppState::reviewing) {
            r.review(4096);
        } else {
            r.recordOneTake();
            r.h.recorder->calls.clear();
            if (row.before == AppState::paused)
                r.h.m().pauseRecording();
        }
        r.h.m().menuDidOpen();
        EXPECT_EQ(r.h.m().state(), row.whileOpen);
        r.h.m().menuDidClose();
        EXPECT_EQ(r.h.m().state(), row.after);
        EXPECT_EQ(r.h.recorder->calls.join(','), row.recorderCalls);
        // A second open and close of the menu leaves the user's pause alone too.
        r.h.m().menuDidOpen();
        r.h.m().menuDidClose();
        EXPECT_EQ(r.h.m().state(), row.after);
    }
}

TEST(ReviewDecisionsTest, NewRecordingFromReviewComesBackIdleWhenItsStartDoesNot)
{
    enum class Fail { countdown, recorder };
    for (const Fail fail : {Fail::countdown, Fail::recorder}) {
        SCOPED_TRACE(int(fail));
        Road r;
        r.review(4096);
        if (fail == Fail::countdown)
            r.h.countdown->runs.preset = false;
        else
            r.h.recorder->starts.preset = false;
        runTask(r.h.m().newSession());
        EXPECT_NE(r.h.m().session()->id, r.session.id);
        EXPECT_EQ(r.h.m().state(), AppState::idle);
        EXPECT_FALSE(r.h.m().currentTakeURL().has_value());
        EXPECT_FALSE(r.h.m().pendingTakeID().has_value());
        // Claimed while open, against a launch that would remove it as holding nothing.
        const QString folder = r.h.m().session()->scratchURL;
        EXPECT_TRUE(ScratchClaim::isClaimed(folder));
        r.h.m().replaceCurrentSession(r.h.newSession());
        EXPECT_FALSE(ScratchClaim::isClaimed(folder));
    }
}

} // namespace
} // namespace lumacast
