// One take down the whole road: the state manager with the real screen recorder records into a
// scratch session on the rig's X server and sound server.
#include "RealRecorderRig.h"

#include "platform/av/MovieProbe.h"
#include "support/AwaitTask.h"
#include "support/FullDisk.h"
#include "support/PrivateSoundServer.h"
#include "support/TestEnvironment.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace lumacast {
namespace {

void pump(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

TEST(TakeRoadRigTest, ARealTakeLandsInTheScratchSessionAsOnePlayableMovie)
{
    testing::RealRecorderRig rig(false);
    testing::ManagerHarness &h = rig.h;
    AppStateManager &m = rig.m();
    const Session &session = rig.session;
    const std::shared_ptr<ScreenRecorder> &recorder = rig.recorder;

    // A cancelled countdown first: the microphone it opened is let go again.
    testing::runTask(m.startRecording());
    EXPECT_EQ(m.state(), AppState::idle);
    EXPECT_FALSE(recorder->hasMicrophone());

    h.countdown->runs.preset = true;
    testing::runTask(m.startRecording());
    ASSERT_EQ(m.state(), AppState::recording) << rig.appLog();
    pump(2000);
    testing::runTask(m.endTake());
    ASSERT_EQ(m.state(), AppState::reviewing) << rig.appLog();
    h.time->advance(1s); // the autosave

    const Session saved = h.store->openSession(session.scratchURL);
    ASSERT_EQ(saved.scenes.size(), 1);
    ASSERT_EQ(saved.scenes[0].takes.size(), 1);
    const Take take = saved.scenes[0].takes[0];
    EXPECT_NEAR(take.duration, 2.0, 0.4);
    const QString movie = QDir(session.scratchURL).filePath(QStringLiteral("takes/") + take.filename);
    EXPECT_EQ(m.currentTakeURL(), movie);
    EXPECT_EQ(QDir(session.scratchURL + QStringLiteral("/takes")).entryList(QDir::Files), QStringList{take.filename});

    const auto probed = testing::runProcess(QStringLiteral("ffprobe"),
                                            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_streams"),
                                             QStringLiteral("-show_format"), QStringLiteral("-of"), QStringLiteral("json"), movie});
    ASSERT_TRUE(probed.ok()) << probed.err.constData();
    const QJsonObject info = QJsonDocument::fromJson(probed.out).object();
    const QJsonArray streams = info.value(QStringLiteral("streams")).toArray();
    ASSERT_EQ(streams.size(), 2); // the screen and the microphone
    EXPECT_EQ(streams[0].toObject().value(QStringLiteral("codec_type")).toString(), QStringLiteral("video"));
    EXPECT_EQ(streams[0].toObject().value(QStringLiteral("codec_name")).toString(), QStringLiteral("h264"));
    EXPECT_EQ(streams[1].toObject().value(QStringLiteral("codec_type")).toString(), QStringLiteral("audio"));
    EXPECT_EQ(streams[1].toObject().value(QStringLiteral("codec_name")).toString(), QStringLiteral("aac"));
    EXPECT_NEAR(info.value(QStringLiteral("format")).toObject().value(QStringLiteral("duration")).toString().toDouble(),
                2.0, 0.4);
}

// The microphone fails at the start, once the pictures already run: the take never starts, and
// its movie, which the first picture may have begun meanwhile, goes with its journal.
TEST(TakeRoadRigTest, AStartWhoseMicrophoneFailsLeavesTheTakesFolderAsItWas)
{
    enum class Fault { noMicrophone, serverGoneDuringCountdown, serverRefuses };
    struct Row {
        const char *name;
        Fault fault;
    };
    const Row rows[] = {
        {"no microphone at all", Fault::noMicrophone},
        {"the sound server gone during the countdown", Fault::serverGoneDuringCountdown},
        // Killed before the take: its socket is left with nobody behind it.
        {"the sound server refuses the connection", Fault::serverRefuses},
    };
    if (!testing::PrivateSoundServer::installed())
        GTEST_SKIP() << "needs pulseaudio and pactl";
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        QStringList modules{QStringLiteral("module-null-sink sink_name=speaker")};
        if (row.fault != Fault::noMicrophone)
            modules << QStringLiteral("module-null-source source_name=mic");
        testing::PrivateSoundServer server(modules);
        ASSERT_TRUE(server.ready()) << server.reason().toStdString();
        if (row.fault == Fault::serverRefuses)
            server.kill();
        testing::RealRecorderRig rig(true);
        testing::ManagerHarness &h = rig.h;
        AppStateManager &m = rig.m();
        h.countdown->runs.preset.reset();
        h.writeTakeFile(QStringLiteral("earlier.mov"));
        const QDir takes(h.takesFolder());
        const auto entries = [&] { return takes.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden); };
        const QStringList before = entries();

        QCoro::Task<> start = m.startRecording();
        ASSERT_EQ(m.state(), AppState::starting);
        if (row.fault == Fault::serverGoneDuringCountdown) {
            ASSERT_TRUE(rig.recorder->hasMicrophone());
            server.kill();
            pump(300); // the prepared microphone hears of it
        }
        h.countdown->runs.completeNext(true);
        testing::runTask(std::move(start));

        EXPECT_EQ(m.state(), AppState::idle) << rig.appLog();
        ASSERT_EQ(h.alerts->shown.size(), 1u) << rig.appLog();
        EXPECT_EQ(h.alerts->shown[0].message, QStringLiteral("Couldn't start recording"));
        EXPECT_FALSE(rig.recorder->hasMicrophone());
        EXPECT_EQ(entries(), before);
        pump(1000); // nothing turns up late either
        EXPECT_EQ(entries(), before);
    }
}

// A package renamed in the file manager while a take records, while it is paused or while a tail
// records, or moved to another disk mid-take (a copy, then a delete: onto a tmpfs where the rig
// can mount one). Renamed, the take or the joined tail is filed in the package where it is now,
// with the reopened document and the history; moved away, the take is kept whole in a new
// recording that is offered. No alert says that nothing was written.
TEST(TakeRoadRigTest, ARecordingFollowsItsPackageMidTake)
{
    enum class Move { renamedMidTake, renamedWhilePaused, renamedDuringATail, movedToAnotherDisk };
    const struct {
        const char *name;
        Move move;
        QStringList alerts;
    } rows[] = {
        {"renamed mid-take", Move::renamedMidTake, {}},
        {"renamed while paused", Move::renamedWhilePaused, {}},
        {"renamed during a tail", Move::renamedDuringATail, {}},
        {"moved to another disk mid-take", Move::movedToAnotherDisk,
         {"Recording deleted", "The take was kept as a new recording"}},
    };
    testing::FullDisk otherDisk(64 * 1024);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        testing::RealRecorderRig rig(true);
        testing::ManagerHarness &h = rig.h;
        AppStateManager &m = rig.m();
        const QString package = h.dir.filePath("Talk.lumacast"), renamed = h.dir.filePath("Talk-final.lumacast");
        Session session(package);
        session.bundleURL = package;
        ASSERT_TRUE(QDir().mkpath(package + "/takes"));
        m.replaceCurrentSession(session);
        m.sessionLog().open(package);
        h.preferences.setLastOpenedDocument(package);
        const bool tail = row.move == Move::renamedDuringATail;
        std::optional<QCoro::Task<>> tailRecording;
        if (tail) {
            testing::runTask(m.startRecording());
            pump(2000);
            testing::runTask(m.endTake());
            const Take take = m.session()->scenes[0].takes[0];
            m.setTakeTrim(m.session()->scenes[0].id, take.id, 0, 1.0);
            m.tailWarningPresenter() = []() -> QCoro::Task<bool> { co_return true; };
            tailRecording = m.recordTail(m.session()->scenes[0].id, take.id, std::nullopt);
            testing::pumpUntil([&] { return m.state() == AppState::recording || !m.tailOperation(); }, 10000);
        } else {
            testing::runTask(m.startRecording());
        }
        ASSERT_EQ(m.state(), AppState::recording) << rig.appLog();
        pump(1500);
        if (row.move == Move::renamedWhilePaused)
            m.pauseRecording();
        if (row.move == Move::movedToAnotherDisk) {
            const QString elsewhere = otherDisk.ready() ? otherDisk.path() : h.dir.filePath("elsewhere");
            ASSERT_TRUE(QDir().mkpath(elsewhere));
            ASSERT_TRUE(testing::runProcess("cp", {"-a", package, elsewhere}).ok());
            ASSERT_TRUE(QDir(package).removeRecursively());
        } else {
            ASSERT_TRUE(QDir().rename(package, renamed));
        }
        pump(1000);
        QCoro::Task<> ending = m.endTake();
        const auto ended = [&] {
            return !m.tailOperation() && m.state() != AppState::recording && m.state() != AppState::paused
                && qsizetype(h.alerts->shown.size()) >= row.alerts.size();
        };
        ASSERT_TRUE(testing::pumpUntil(ended, 60000)) << rig.appLog();
        pump(200);
        QStringList alerts;
        for (const auto &alert : h.alerts->shown)
            alerts << alert.message;
        EXPECT_EQ(alerts, row.alerts) << rig.appLog();
        EXPECT_FALSE(QFileInfo::exists(package));

        if (row.move == Move::movedToAnotherDisk) {
            EXPECT_EQ(m.state(), AppState::idle);
            ASSERT_EQ(m.recoverableSessions().size(), 1);
            const Session kept = h.store->openSession(m.recoverableSessions()[0].scratchURL);
            ASSERT_EQ(kept.scenes.size(), 1);
            ASSERT_EQ(kept.scenes[0].takes.size(), 1);
            const Take take = kept.scenes[0].takes[0];
            EXPECT_NEAR(take.duration, 2.5, 0.5);
            const QString movie = kept.scratchURL + "/takes/" + take.filename;
            EXPECT_NEAR(av::movieDurationSeconds(movie).value_or(0), take.duration, 0.05);
            continue;
        }
        EXPECT_EQ(m.state(), AppState::reviewing);
        EXPECT_EQ(m.session()->bundleURL, renamed);
        EXPECT_EQ(h.preferences.lastOpenedDocument(), renamed);
        const Session saved = h.store->openSession(renamed, renamed);
        ASSERT_EQ(saved.scenes[0].takes.size(), 1);
        const Take take = saved.scenes[0].takes[0];
        EXPECT_EQ(take.filename.endsWith(".joining.mov"), tail);
        EXPECT_NEAR(av::movieDurationSeconds(renamed + "/takes/" + take.filename).value_or(0), take.duration, 0.05);
        EXPECT_GT(take.duration, tail ? 2.0 : 1.2);
        QFile history(renamed + "/history.log");
        ASSERT_TRUE(history.open(QIODevice::ReadOnly));
        EXPECT_TRUE(history.readAll().contains("followed — moved from " + package.toUtf8()));
    }
}

} // namespace
} // namespace lumacast
