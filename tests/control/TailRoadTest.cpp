#include "StateManagerDoubles.h"

#include "support/AwaitTask.h"
#include "support/TestMovie.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

using namespace std::chrono_literals;

namespace lumacast {
namespace {

using Recording = RecorderService::Recording;
using take_joiner::JoinError;
using take_joiner::JoinResult;
using testing::runTask;

bool waitUntil(const std::function<bool()> &done)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > 10000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// One real 4-second take movie (160x120, one mono AAC track), made once per run.
QString sampleTakeMovie()
{
    static QTemporaryDir dir;
    static const QString path = [] {
        const QString movie = dir.filePath(QStringLiteral("take.mov"));
        testing::TestMovieSpec spec;
        spec.seconds = 4;
        spec.audioChannels = {1};
        const testing::ProcessResult made = testing::makeTestMovie(movie, spec);
        EXPECT_TRUE(made.ok()) << made.err.constData();
        return movie;
    }();
    return path;
}

QString phaseName(const std::optional<TailOperation> &operation)
{
    if (!operation)
        return QStringLiteral("none");
    const auto attempt = [](const TailOperation::Attempt &a) {
        return std::holds_alternative<TailOperation::Initial>(a) ? QStringLiteral("initial") : QStringLiteral("recordAgain");
    };
    if (const auto *p = std::get_if<TailOperation::Preparing>(&operation->phase))
        return QStringLiteral("preparing(%1)").arg(attempt(p->attempt));
    if (const auto *r = std::get_if<TailOperation::Recording>(&operation->phase))
        return QStringLiteral("recording(%1)").arg(attempt(r->attempt));
    if (const auto *j = std::get_if<TailOperation::Joining>(&operation->phase))
        return j->progress ? QStringLiteral("joining(%1)").arg(*j->progress) : QStringLiteral("joining");
    return QStringLiteral("failed(%1)").arg(TailFailure::kindName(operation->failure()->kind));
}

// A manager reviewing the only take of its session (a real movie, 4 s, trimmed to 0.5...2.5 s),
// with every tail seam answered by the test: by default the warning is confirmed, the capture
// starts, a stopped movie is usable, and the join waits for the test.
struct TailRoad {
    testing::ManagerHarness h;
    Session session = h.adoptSessionWithTakes({1});
    QUuid sceneID = session.scenes[0].id;
    QUuid takeID = session.scenes[0].takes[0].id;
    QString originalName = session.scenes[0].takes[0].filename;
    QStringList windowsOpened;
    testing::FakeMainWindow window;

    bool warningAnswer = true;
    int warningsShown = 0;
    testing::AsyncCalls<TailCaptureStartResult> starts;
    std::vector<TailCaptureRequest> requests;
    testing::AsyncCalls<std::optional<Recording>> stops;
    int stopCount = 0;
    testing::AsyncCalls<bool> usable;
    testing::AsyncCalls<JoinResult> joins;
    std::vector<take_joiner::JoinRequest> joinRequests;
    take_joiner::ProgressCallback progress;
    QStringList failures; // "title: message"

    AppStateManager &m() { return h.m(); }

    TailRoad()
    {
        QFile::remove(originalPath());
        QFile::copy(sampleTakeMovie(), originalPath());
        m().updateTake(sceneID, takeID, [](Take &take) {
            take.name = QStringLiteral("Intro");
            take.duration = 4;
            take.trimStart = 0.5;
            take.trimEnd = 2.5;
            take.playheadPosition = 3.5;
        });
        m().setPendingTakeID(takeID);
        m().setPreviewedTake(takeID, false);
        m().setState(AppState::reviewing);
        m().setMainWindow(&window);
        m().setWindowActions([this](const QString &id) { windowsOpened << id; }, {}, {});

        starts.preset = TailCaptureStartResult::started();
        usable.preset = true;
        m().tailWarningPresenter() = [this]() -> QCoro::Task<bool> {
            ++warningsShown;
            co_return warningAnswer;
        };
        m().tailCaptureStart() = [this](TailCaptureRequest request) {
            requests.push_back(request);
            return starts.call();
        };
        m().tailRecorderStop() = [this] {
            ++stopCount;
            return stops.call();
        };
        m().tailUsabilityCheck() = [this](QString) { return usable.call(); };
        m().tailJoinPerform() = [this](take_joiner::JoinRequest request, take_joiner::ProgressCallback callback) {
            joinRequests.push_back(request);
            progress = std::move(callback);
            return joins.call();
        };
        m().tailReportFailure() = [this](const QString &title, const QString &message) {
            failures << title + QStringLiteral(": ") + message;
        };
    }

    QString originalPath() { return QDir(h.takesFolder()).filePath(originalName); }
    const Take &take() { return m().session()->scenes[0].takes[0]; }
    std::optional<TailOperation> op() { return m().tailOperation(); }
    QString phase() { return phaseName(op()); }

    // recordTail up to the capture start's answer.
    void begin()
    {
        QCoro::Task<> recording = m().recordTail(sceneID, takeID, std::nullopt);
        ASSERT_TRUE(waitUntil([this] {
            return !op() || !std::holds_alternative<TailOperation::Preparing>(op()->phase) || !starts.pending.empty();
        }));
    }
    // Ends the tail capture; the recorder hands back a written movie or nothing.
    void stop(bool wroteMovie)
    {
        std::optional<Recording> movie;
        if (wroteMovie) {
            h.writeTakeFile(QFileInfo(op()->tailURL).fileName(), 4096);
            movie = Recording{op()->tailURL, 1.5};
        }
        stops.preset.emplace(movie);
        QCoro::Task<> ending = m().endTake();
        ASSERT_TRUE(waitUntil([this] { return !op() || !std::holds_alternative<TailOperation::Recording>(op()->phase); }));
        if (op() && op()->isJoining()) {
            ASSERT_TRUE(waitUntil([this] { return !joins.pending.empty(); }));
        }
    }
    void failJoin(const JoinError &error)
    {
        auto pending = joins.pending.front();
        joins.pending.pop_front();
        pending->fail(std::make_exception_ptr(error));
        ASSERT_TRUE(waitUntil([this] { return !op() || op()->failure(); }));
    }
    void succeedJoin(double duration = 3.9)
    {
        h.writeTakeFile(QFileInfo(op()->stagedOutputURL).fileName(), 8192);
        joins.completeNext(JoinResult{op()->stagedOutputURL, duration, 1});
        ASSERT_TRUE(waitUntil([this] { return !op() || op()->failure(); }));
    }
    void retry()
    {
        QCoro::Task<> retrying = m().retryTailJoin();
        waitUntil([this] { return !joins.pending.empty() || !op() || !op()->isJoining(); });
    }
    void recordAgain()
    {
        QCoro::Task<> again = m().recordTailAgain();
        waitUntil([this] {
            return !op() || !std::holds_alternative<TailOperation::Preparing>(op()->phase) || !starts.pending.empty();
        });
    }
    void toRecording()
    {
        begin();
        ASSERT_EQ(phase(), "recording(initial)");
    }
    void toJoining()
    {
        toRecording();
        stop(true);
        ASSERT_EQ(phase(), "joining");
    }
    void toFailed(const JoinError &error)
    {
        toJoining();
        failJoin(error);
    }
};

const JoinError kRefused = JoinError::policyRefused(QStringLiteral("the frame sizes differ"));
const JoinError kExportFailed = JoinError::exportFailed(QStringLiteral("disk full"));

TEST(TailPhaseTest, EveryEdgeOfTheOperationsPhaseTable)
{
    struct Row {
        const char *name;
        std::function<void(TailRoad &)> drive;
        QString phase;
        AppState state;
        QString message; // the failure's message, or the alert "title: message"; a prefix
    };
    const Row rows[] = {
        {"audio plan unreadable", [](TailRoad &r) { r.h.writeTakeFile(r.originalName, 4096); r.begin(); },
         "none", AppState::reviewing,
         "Couldn't record a tail: Record Again after checking the audio setup — this take's audio format can't be reproduced ("},
        {"warning declined", [](TailRoad &r) { r.warningAnswer = false; r.begin(); }, "none", AppState::reviewing, ""},
        {"start refused", [](TailRoad &r) { r.starts.preset = TailCaptureStartResult::refused("no access"); r.begin(); },
         "none", AppState::reviewing, "Couldn't record a tail: no access"},
        {"countdown cancelled", [](TailRoad &r) { r.starts.preset = TailCaptureStartResult::cancelled(); r.begin(); },
         "none", AppState::reviewing, ""},
        {"capture started", [](TailRoad &r) { r.toRecording(); }, "recording(initial)", AppState::recording, ""},
        {"stopped with nothing written", [](TailRoad &r) { r.toRecording(); r.stop(false); }, "none", AppState::reviewing,
         "Couldn't record a tail: Recording stopped before any usable video was written, so there was nothing to join."},
        {"stopped with an unusable movie", [](TailRoad &r) { r.usable.preset = false; r.toRecording(); r.stop(true); },
         "none", AppState::reviewing, "Couldn't record a tail: Recording stopped before any usable video"},
        {"usable tail joins", [](TailRoad &r) { r.toJoining(); }, "joining", AppState::reviewing, ""},
        {"join progress", [](TailRoad &r) { r.toJoining(); r.progress(0.25); }, "joining(0.25)", AppState::reviewing, ""},
        {"join export fails", [](TailRoad &r) { r.toFailed(kExportFailed); }, "failed(transient)", AppState::reviewing,
         "The join export failed: disk full"},
        {"join refused", [](TailRoad &r) { r.toFailed(kRefused); }, "failed(deterministic)", AppState::reviewing,
         "The tail can't be joined: the frame sizes differ"},
        {"join succeeds", [](TailRoad &r) { r.toJoining(); r.succeedJoin(); }, "none", AppState::reviewing, ""},
        {"joined but the save fails",
         [](TailRoad &r) {
             r.toJoining();
             r.m().tailPersistStaged() = [](const Session &) { throw Error(QStringLiteral("read-only")); };
             r.succeedJoin();
         },
         "failed(transient)", AppState::reviewing, "Couldn't save the recording: read-only"},
        {"joined but the take is gone",
         [](TailRoad &r) {
             r.toJoining();
             Session emptied = *r.m().session();
             emptied.scenes[0].takes.clear();
             r.m().setCurrentSession(emptied);
             r.succeedJoin();
         },
         "failed(deterministic)", AppState::reviewing, "The take being replaced is no longer in the recording."},
        {"retry after a transient failure", [](TailRoad &r) { r.toFailed(kExportFailed); r.retry(); }, "joining",
         AppState::reviewing, ""},
        {"retry after a deterministic failure does nothing", [](TailRoad &r) { r.toFailed(kRefused); r.retry(); },
         "failed(deterministic)", AppState::reviewing, "The tail can't be joined"},
        {"record again after a transient failure does nothing", [](TailRoad &r) { r.toFailed(kExportFailed); r.recordAgain(); },
         "failed(transient)", AppState::reviewing, "The join export failed"},
        {"record again waits for its capture", [](TailRoad &r) { r.toFailed(kRefused); r.starts.preset.reset(); r.recordAgain(); },
         "preparing(recordAgain)", AppState::reviewing, ""},
        {"record again records", [](TailRoad &r) { r.toFailed(kRefused); r.recordAgain(); }, "recording(recordAgain)",
         AppState::recording, ""},
        {"record again cancelled", [](TailRoad &r) { r.toFailed(kRefused); r.starts.preset = TailCaptureStartResult::cancelled(); r.recordAgain(); },
         "failed(deterministic)", AppState::reviewing,
         "Record Again was cancelled.\n\nThe tail can't be joined: the frame sizes differ"},
        {"record again stopped with nothing written", [](TailRoad &r) { r.toFailed(kRefused); r.recordAgain(); r.stop(false); },
         "failed(deterministic)", AppState::reviewing,
         "Recording stopped before any usable video was written.\n\nThe tail can't be joined"},
        {"discard", [](TailRoad &r) { r.toFailed(kExportFailed); r.m().discardTail(); }, "none", AppState::reviewing, ""},
        {"discard while joining does nothing", [](TailRoad &r) { r.toJoining(); r.m().discardTail(); }, "joining",
         AppState::reviewing, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TailRoad r;
        row.drive(r);
        EXPECT_EQ(r.phase(), row.phase);
        EXPECT_EQ(r.m().state(), row.state);
        if (r.op() && r.op()->failure()) {
            EXPECT_TRUE(r.op()->failure()->message.startsWith(row.message)) << r.op()->failure()->message.toStdString();
            EXPECT_TRUE(r.failures.isEmpty());
            EXPECT_FALSE(QFile::exists(r.op()->stagedOutputURL));
            if (!r.m().session()->scenes[0].takes.isEmpty()) {
                EXPECT_EQ(r.take().filename, r.originalName);
            }
        } else if (!row.message.isEmpty()) {
            ASSERT_EQ(r.failures.size(), 1);
            EXPECT_TRUE(r.failures[0].startsWith(row.message)) << r.failures[0].toStdString();
        } else {
            EXPECT_TRUE(r.failures.isEmpty()) << r.failures.join('\n').toStdString();
        }
        if (!r.op()) {
            // Whatever ended it, the operation leaves only take movies behind and restores the review.
            EXPECT_EQ(r.m().pendingTakeID(), std::optional<QUuid>(r.takeID));
            for (const QString &file : QDir(r.h.takesFolder()).entryList(QDir::Files))
                EXPECT_FALSE(file.endsWith(".tail.mov")) << file.toStdString();
            EXPECT_FALSE(r.h.border->shown);
            EXPECT_FALSE(r.h.statusPanel->shown);
        }
    }
}

TEST(TailPhaseTest, RecordAgainCapturesIntoAFreshPairOfFilesAndTheOldAttemptIsStale)
{
    TailRoad r;
    r.toFailed(kRefused);
    const TailOperation failed = *r.op();
    r.recordAgain();
    const TailOperation again = *r.op();
    EXPECT_EQ(again.id, failed.id);
    EXPECT_NE(again.captureAttemptID, failed.captureAttemptID);
    EXPECT_FALSE(QFile::exists(failed.tailURL));
    const QString stem = QFileInfo(again.tailURL).fileName().chopped(QStringLiteral(".tail.mov").size());
    EXPECT_FALSE(failed.tailURL.contains(stem));
    EXPECT_EQ(QFileInfo(again.stagedOutputURL).fileName(), stem + ".joining.mov");
    EXPECT_EQ(r.requests.back().outputURL, again.tailURL);

    // A stop completion of the failed attempt changes nothing.
    r.h.clearLogs();
    EXPECT_EQ(r.m().finalizeTailStop(Recording{again.tailURL, 1}, {failed.id, failed.captureAttemptID}, QUuid()),
              TailFinalizationOutcome::stale);
    EXPECT_EQ(r.phase(), "recording(recordAgain)");
    EXPECT_EQ(r.h.appLogLines(), QStringList{"[tail] stale stop completion ignored"});
}

TEST(TailStaleTest, LateCompletionsOfAnEndedOperationOnlyLog)
{
    enum class Late { captureStart, stop, join, progress };
    struct Row {
        const char *name;
        Late late;
        QString logLine;
    };
    const Row rows[] = {
        {"capture start", Late::captureStart, "[tail] stale capture start ignored"},
        {"recorder stop", Late::stop, "[tail] stale stop completion ignored"},
        {"join result", Late::join, "[tail] stale join result ignored"},
        {"join progress", Late::progress, ""},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TailRoad r;
        QCoro::Task<TailFinalizationOutcome> waiting;
        QString leftover; // a file the late completion wrote
        switch (row.late) {
        case Late::captureStart:
            r.starts.preset.reset();
            r.begin();
            ASSERT_EQ(r.starts.pending.size(), 1u);
            break;
        case Late::stop:
            r.toRecording();
            waiting = r.m().waitForTailFinalizer();
            ASSERT_TRUE(waitUntil([&] { return !r.stops.pending.empty(); }));
            break;
        case Late::join:
        case Late::progress:
            r.toJoining();
            break;
        }
        // The operation ends meanwhile (as a close of the recording would end it).
        const TailOperation ended = *r.op();
        r.m().endTailOperation(ended);
        r.h.clearLogs();
        const Session before = *r.m().session();
        switch (row.late) {
        case Late::captureStart:
            r.stops.preset.emplace(std::nullopt);
            r.starts.completeNext(TailCaptureStartResult::started());
            // The capture nobody owns any more is stopped.
            ASSERT_TRUE(waitUntil([&] { return r.stopCount == 1; }));
            break;
        case Late::stop:
            leftover = ended.tailURL;
            r.h.writeTakeFile(QFileInfo(leftover).fileName(), 4096);
            r.stops.completeNext(Recording{leftover, 1.5});
            EXPECT_EQ(testing::runTask(std::move(waiting)), TailFinalizationOutcome::stale);
            break;
        case Late::join:
            r.h.writeTakeFile(QFileInfo(ended.stagedOutputURL).fileName(), 4096);
            r.joins.completeNext(JoinResult{ended.stagedOutputURL, 3.9, 1});
            ASSERT_TRUE(waitUntil([&] { return !QFile::exists(ended.stagedOutputURL); }));
            break;
        case Late::progress:
            r.progress(0.9);
            break;
        }
        for (int i = 0; i < 20; ++i)
            QCoreApplication::processEvents();
        EXPECT_EQ(r.phase(), "none");
        EXPECT_EQ(r.m().state(), AppState::reviewing);
        EXPECT_EQ(r.take().filename, before.scenes[0].takes[0].filename);
        EXPECT_EQ(r.h.appLogLines(), row.logLine.isEmpty() ? QStringList{} : QStringList{row.logLine});
        if (!leftover.isEmpty()) {
            EXPECT_TRUE(QFile::exists(leftover)); // a stale usable movie stays on disk
        }
    }
}

TEST(TailFinalizerTest, TwoCallersShareOneStop)
{
    TailRoad r;
    r.toRecording();
    QCoro::Task<TailFinalizationOutcome> first = r.m().waitForTailFinalizer();
    QCoro::Task<TailFinalizationOutcome> second = r.m().waitForTailFinalizer();
    ASSERT_TRUE(waitUntil([&] { return !r.stops.pending.empty(); }));
    r.h.writeTakeFile(QFileInfo(r.op()->tailURL).fileName(), 4096);
    r.stops.completeNext(Recording{r.op()->tailURL, 1.5});
    EXPECT_EQ(testing::runTask(std::move(first)), TailFinalizationOutcome::usable);
    EXPECT_EQ(testing::runTask(std::move(second)), TailFinalizationOutcome::usable);
    EXPECT_EQ(r.stopCount, 1);
    EXPECT_EQ(r.windowsOpened, QStringList{"review"});
    EXPECT_TRUE(r.h.appLogLines().contains(
        QStringLiteral("[tail] tail stopped — %1 1.5s → joining").arg(QFileInfo(r.op()->tailURL).fileName())));
}

TEST(TailJoinTest, SuccessReplacesTheMovieKeepsTheTakeAndUndoBringsTheOldMovieBack)
{
    TailRoad r;
    const Take before = r.take();
    r.toJoining();
    const TailOperation operation = *r.op();
    ASSERT_EQ(r.joinRequests.size(), 1u);
    EXPECT_EQ(r.joinRequests[0].originalURL, r.originalPath());
    EXPECT_EQ(r.joinRequests[0].trimEnd, 2.5);
    EXPECT_EQ(r.joinRequests[0].outputURL, operation.stagedOutputURL);
    r.succeedJoin(3.9);

    const Take &after = r.take();
    EXPECT_EQ(after.id, before.id);
    EXPECT_EQ(after.name, before.name);
    EXPECT_EQ(after.recordedAt, before.recordedAt);
    EXPECT_EQ(after.trimStart, 0.5);
    EXPECT_EQ(after.filename, QFileInfo(operation.stagedOutputURL).fileName());
    EXPECT_EQ(after.duration, 3.9);
    EXPECT_EQ(after.trimEnd, 3.9);
    EXPECT_EQ(after.playheadPosition, std::optional<double>(2.5)); // pulled back to the old trim end
    EXPECT_FALSE(QFile::exists(operation.tailURL));
    EXPECT_EQ(r.m().previewedTakeID(), std::optional<QUuid>(r.takeID));
    // Saved at once, not by the debounce.
    EXPECT_EQ(r.h.store->openSession(r.session.scratchURL).scenes[0].takes[0].filename, after.filename);
    EXPECT_TRUE(r.h.historyLines().contains("record tail joined — " + after.filename));

    EXPECT_EQ(r.m().undoActionName(), std::optional<QString>("Record Tail"));
    r.m().undo();
    EXPECT_EQ(r.take().filename, r.originalName);
    EXPECT_EQ(r.take().trimEnd, 2.5);
    EXPECT_TRUE(QFile::exists(r.originalPath()));
    EXPECT_EQ(r.m().currentTakeURL(), std::optional<QString>(r.originalPath()));
}

TEST(TailJoinTest, ADeferredQuitOrCloseIsCarriedOutWhenTheOperationEnds)
{
    struct Row {
        const char *name;
        PendingExternalAction action;
        bool discard; // else the join succeeds
    };
    const Row rows[] = {
        {"quit after success", PendingExternalAction::quit, false},
        {"quit after discard", PendingExternalAction::quit, true},
        {"close after success", PendingExternalAction::close, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TailRoad r;
        std::vector<bool> replies;
        r.m().terminationReply() = [&](bool terminate) {
            // The pending autosave has run by then.
            EXPECT_FALSE(r.m().hasPendingSave());
            replies.push_back(terminate);
        };
        r.toJoining();
        EXPECT_TRUE(r.m().deferWhileTailPending(row.action));
        r.m().scheduleSave();
        if (row.discard) {
            r.failJoin(kExportFailed);
            r.m().discardTail();
        } else {
            r.succeedJoin();
        }
        EXPECT_EQ(r.m().pendingExternalAction(), std::nullopt);
        EXPECT_TRUE(r.h.appLogLines().contains("[tail] resuming deferred " + caseName(row.action)));
        EXPECT_EQ(replies, row.action == PendingExternalAction::quit ? std::vector<bool>{true} : std::vector<bool>{});
    }
}

TEST(TailWarningTest, AskedOnceForEachOpenRecording)
{
    TailRoad r;
    r.m().tailWarningDecision() = nullptr; // back to the default decision
    r.begin();
    r.stop(false);
    r.failures.clear();
    r.begin();
    EXPECT_EQ(r.warningsShown, 1);
    EXPECT_TRUE(r.m().tailWarningAcknowledged());
    r.stop(false);

    r.m().replaceCurrentSession(*r.m().session());
    EXPECT_FALSE(r.m().tailWarningAcknowledged());
}

TEST(TailCaptureStartTest, ACaptureOfAnotherSizeIsRefusedWithBothSizes)
{
    TailRoad r;
    r.m().tailCaptureStart() = nullptr; // the default start on the recorder double
    r.h.permissions->checks.preset = true;
    RecorderService::FilterAndConfiguration made;
    made.configuration.width = 1920;
    made.configuration.height = 1080;
    r.h.recorder->filters.preset = made;
    r.begin();
    ASSERT_TRUE(waitUntil([&] { return !r.op(); }));
    EXPECT_EQ(r.failures,
              QStringList{"Couldn't record a tail: Record Again after switching back to the display or window the "
                          "original was recorded on — this capture would be 1920×1080, the original is 160×120."});
    EXPECT_EQ(r.h.permissions->callers, QStringList{"recordTail"});
    EXPECT_EQ(r.h.recorder->calls, QStringList{"makeFilterAndConfiguration"});
    EXPECT_EQ(r.m().state(), AppState::reviewing);
}

TEST(TailCaptureStartTest, ATailAsksForTheAudioOfTheTakeItRepairsNotTheSetting)
{
    struct Row {
        const char *name;
        QList<int> tracks; // of the take's movie
        bool setting;      // captureSystemAudio now
    };
    const Row rows[] = {
        {"microphone only, system audio on now", {1}, true},
        {"microphone and system audio, system audio off now", {1, 2}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TailRoad r;
        testing::TestMovieSpec spec;
        spec.seconds = 4;
        spec.audioChannels = row.tracks;
        ASSERT_TRUE(testing::makeTestMovie(r.originalPath(), spec).ok());
        r.m().setCaptureSystemAudioValue(row.setting);
        r.m().tailCaptureStart() = nullptr; // the default start on the recorder double
        r.h.permissions->checks.preset = true;
        r.h.countdown->runs.preset = true;
        r.h.recorder->starts.preset = true;
        RecorderService::FilterAndConfiguration made;
        made.configuration.width = 160;
        made.configuration.height = 120;
        r.h.recorder->filters.preset = made;
        r.begin();
        ASSERT_TRUE(waitUntil([&] { return !r.op() || std::holds_alternative<TailOperation::Recording>(r.op()->phase); }));
        ASSERT_TRUE(r.op() && r.op()->capturePlan);
        const bool system = row.tracks.size() == 2;
        EXPECT_EQ(r.op()->capturePlan->system.has_value(), system);
        EXPECT_EQ(r.h.recorder->systemAudioRequests, std::vector<bool>{system});
        ASSERT_EQ(r.h.recorder->plans.size(), 1u);
        EXPECT_EQ(r.h.recorder->plans[0], r.op()->capturePlan);
        EXPECT_EQ(r.m().tailSystemAudioIndicator(), system);
    }
}

// Where the desktop chooses what is shared, a tail asks it before its countdown as a take does,
// after the size check; the keys give up on the wait and no capture starts from a late answer.
TEST(TailCaptureStartTest, TheDesktopIsAskedBeforeTheCountdownAndTheWaitCanBeGivenUp)
{
    enum class Outcome { granted, escape, endTakeKey, grantedAfterEscape, dismissed };
    struct Row {
        const char *name;
        Outcome outcome;
        const char *failure; // reported, "" for none
    };
    const Row rows[] = {
        {"granted", Outcome::granted, ""},
        {"Escape", Outcome::escape, ""},
        {"end-take key", Outcome::endTakeKey, ""},
        {"granted after Escape", Outcome::grantedAfterEscape, ""},
        {"chooser dismissed", Outcome::dismissed, "Couldn't record a tail: The desktop's screen sharing did not start"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        TailRoad r;
        r.m().tailCaptureStart() = nullptr; // the default start on the recorder double
        r.h.permissions->checks.preset = true;
        r.h.recorder->starts.preset = true;
        r.h.recorder->choosesScreen = true;
        r.h.recorder->cancelIgnored = row.outcome == Outcome::grantedAfterEscape;
        RecorderService::FilterAndConfiguration made;
        made.configuration.width = 160;
        made.configuration.height = 120;
        r.h.recorder->filters.preset = made;
        QCoro::Task<> recording = r.m().recordTail(r.sceneID, r.takeID, std::nullopt);
        ASSERT_TRUE(waitUntil([&] { return !r.h.recorder->asks.pending.empty(); }));
        EXPECT_TRUE(r.h.countdown->displays.empty()) << "the countdown ran before the desktop answered";
        EXPECT_FALSE(r.h.border->shown);
        ASSERT_TRUE(r.h.countdown->onCancel);
        switch (row.outcome) {
        case Outcome::granted: r.h.recorder->asks.completeNext(true); break;
        case Outcome::escape: r.h.countdown->onCancel(); break;
        case Outcome::endTakeKey: r.m().endTakeShortcut(); break;
        case Outcome::grantedAfterEscape:
            r.h.countdown->onCancel();
            r.h.recorder->asks.completeNext(true);
            break;
        case Outcome::dismissed:
            r.h.recorder->askRefusal = Error(QStringLiteral("Lumacast.ScreenCast"), 0,
                                             QStringLiteral("The desktop's screen sharing did not start"));
            r.h.recorder->asks.completeNext(false);
            break;
        }
        if (row.outcome == Outcome::granted) {
            ASSERT_TRUE(waitUntil([&] { return !r.h.countdown->runs.pending.empty(); }));
            r.h.countdown->runs.completeNext(true);
            ASSERT_TRUE(waitUntil([&] { return r.phase() == "recording(initial)"; }));
            const QStringList calls = r.h.recorder->calls.filter(QRegularExpression("^(ask|start)"));
            ASSERT_EQ(calls.size(), 2);
            EXPECT_EQ(calls[0], "askForScreen");
            EXPECT_TRUE(calls[1].startsWith("startRecording"));
            continue;
        }
        ASSERT_TRUE(waitUntil([&] { return !r.op(); }));
        EXPECT_EQ(r.m().state(), AppState::reviewing);
        EXPECT_FALSE(r.h.border->shown);
        EXPECT_TRUE(r.h.countdown->displays.empty());
        const QStringList calls = r.h.recorder->calls;
        EXPECT_TRUE(calls.filter("startRecording").isEmpty()) << "a tail started after the user gave up";
        EXPECT_TRUE(calls.contains("releasePreparedMicrophone"));
        EXPECT_EQ(calls.contains("releaseAskedScreen"), QString(row.failure).isEmpty());
        EXPECT_EQ(r.failures, QString(row.failure).isEmpty() ? QStringList() : QStringList{row.failure});
    }
}

TEST(TailRecordTest, CanRecordTailRefusesEachWayATailCouldGoWrong)
{
    enum class Change { none, tailLive, exporting, starting, recording, paused, noSession, otherScene, otherTake,
                        smallMovie, nothingTrimmed };
    const std::pair<Change, bool> rows[] = {
        {Change::none, true},         {Change::tailLive, false},   {Change::exporting, false},
        {Change::starting, false},    {Change::recording, false},  {Change::paused, false},
        {Change::noSession, false},   {Change::otherScene, false}, {Change::otherTake, false},
        {Change::smallMovie, false},  {Change::nothingTrimmed, false},
    };
    for (const auto &[change, allowed] : rows) {
        SCOPED_TRACE(int(change));
        TailRoad r;
        QUuid sceneID = r.sceneID;
        QUuid takeID = r.takeID;
        switch (change) {
        case Change::none: break;
        case Change::tailLive: r.m().setTailOperation(TailOperation{}); break;
        case Change::exporting: r.m().setIsExporting(true); break;
        case Change::starting: r.m().setState(AppState::starting); break;
        case Change::recording: r.m().setState(AppState::recording); break;
        case Change::paused: r.m().setState(AppState::paused); break;
        case Change::noSession: r.m().replaceCurrentSession(std::nullopt); break;
        case Change::otherScene: sceneID = QUuid::createUuid(); break;
        case Change::otherTake: takeID = QUuid::createUuid(); break;
        case Change::smallMovie: r.h.writeTakeFile(r.originalName, 1024); break;
        case Change::nothingTrimmed:
            r.m().updateTake(sceneID, takeID, [](Take &take) { take.trimEnd = take.duration; });
            break;
        }
        EXPECT_EQ(r.m().canRecordTail(sceneID, takeID), allowed);
        if (!allowed) {
            // A refused tail starts nothing.
            const std::optional<QUuid> live = r.op() ? std::optional<QUuid>(r.op()->id) : std::nullopt;
            runTask(r.m().recordTail(sceneID, takeID, std::nullopt));
            EXPECT_EQ(r.op() ? std::optional<QUuid>(r.op()->id) : std::nullopt, live);
            EXPECT_TRUE(r.requests.empty());
        }
    }
}

TEST(TailFinalizerTest, ProbeTakeMediaAcceptsOnlyAMovieATailCanJoin)
{
    QTemporaryDir dir;
    struct Row {
        const char *name;
        QList<int> tracks;
        QStringList extra;
        bool accepted;
    };
    const Row rows[] = {
        {"microphone", {1}, {}, true},
        {"microphone and system audio", {1, 2}, {}, true},
        {"no audio", {}, {}, false},
        {"three audio tracks", {1, 1, 1}, {}, false},
        {"audio not AAC", {1}, {"-c:a:0", "pcm_s16le"}, false},
        {"two video tracks", {1}, {"-map", "0:v"}, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QString movie = dir.filePath(QString::fromUtf8(row.name) + ".mov");
        testing::TestMovieSpec spec;
        spec.audioChannels = row.tracks;
        spec.extra = row.extra;
        const testing::ProcessResult made = testing::makeTestMovie(movie, spec);
        ASSERT_TRUE(made.ok()) << made.err.constData();
        EXPECT_EQ(runTask(AppStateManager::probeTakeMedia(movie)), row.accepted);
    }
    QFile text(dir.filePath("notes.mov"));
    ASSERT_TRUE(text.open(QIODevice::WriteOnly));
    text.write(QByteArray(4096, 'x'));
    text.close();
    EXPECT_FALSE(runTask(AppStateManager::probeTakeMedia(text.fileName())));
    EXPECT_FALSE(runTask(AppStateManager::probeTakeMedia(dir.filePath("missing.mov"))));
}

} // namespace
} // namespace lumacast
