// One tail down the whole road: a real take, trimmed, gets a real tail from the real recorder,
// and the join engine puts the joined movie in the take's place.
#include "StateManagerDoubles.h"

#include "capture/ScreenRecorder.h"
#include "control/SystemServices.h"
#include "support/AwaitTask.h"
#include "support/TestEnvironment.h"
#include "support/XcbTestWindows.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace lumacast {
namespace {

// Runs the event loop while a window of another application slides across the screen, so that
// every recorded frame differs from the others.
void pumpMoving(testing::XcbTestWindows &windows, xcb_window_t window, int ms)
{
    static int step = 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        windows.move(window, (++step * 7) % 1600, (step * 3) % 800);
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
}

bool pumpUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > ms)
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

double probedSeconds(const QString &movie)
{
    const auto probed = testing::runProcess(QStringLiteral("ffprobe"),
                                            {"-v", "error", "-show_format", "-of", "json", movie});
    return QJsonDocument::fromJson(probed.out).object().value("format").toObject().value("duration").toString().toDouble();
}

// The MD5 of every stored packet, stream by stream, in file order.
QMap<int, QStringList> packetHashes(const QString &movie)
{
    const auto probed = testing::runProcess(
        QStringLiteral("ffprobe"),
        {"-v", "error", "-ignore_editlist", "1", "-show_data_hash", "MD5", "-show_entries", "packet=stream_index,data_hash", "-of", "csv=p=0", movie});
    QMap<int, QStringList> hashes;
    for (const QByteArray &line : probed.out.split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(',');
        if (fields.size() == 2)
            hashes[fields[0].toInt()] << QString::fromLatin1(fields[1]);
    }
    return hashes;
}

TEST(TailRoadRigTest, ARealTailIsJoinedIntoItsTrimmedTakeByCopyingPackets)
{
    testing::ManagerHarness h;
    h.permissions->checks.preset = true;
    h.countdown->runs.preset = true;
    auto recorder = std::make_shared<ScreenRecorder>(false, 2.0);
    StateManagerServices services = h.services();
    services.recorder = std::make_shared<ScreenRecorderService>(recorder);
    h.manager.reset();
    h.manager = std::make_unique<AppStateManager>(services, false);
    AppStateManager &m = h.m();
    testing::XcbTestWindows windows;
    ASSERT_TRUE(windows.ok());
    const xcb_window_t slider = windows.solid(QRect(0, 0, 200, 200), 0x3070d0);
    const Session session = h.newSession();
    m.replaceCurrentSession(session);
    m.sessionLog().open(session.scratchURL);

    // The take: about 2.5 s, trimmed to end at 1.5 s.
    testing::runTask(m.startRecording());
    ASSERT_EQ(m.state(), AppState::recording) << h.appLogLines().join('\n').toStdString();
    pumpMoving(windows, slider, 2500);
    testing::runTask(m.endTake());
    ASSERT_EQ(m.state(), AppState::reviewing) << h.appLogLines().join('\n').toStdString();
    const QUuid sceneID = m.session()->scenes[0].id;
    const Take take = m.session()->scenes[0].takes[0];
    const QString originalMovie = m.takeURL(take.filename);
    const double trimEnd = 1.5;
    m.setTakeTrim(sceneID, take.id, 0, trimEnd);
    ASSERT_TRUE(m.canRecordTail(sceneID, take.id));

    // The real seams, watched: the warning is confirmed, the tail is looked at before it goes.
    m.tailWarningPresenter() = []() -> QCoro::Task<bool> { co_return true; };
    double tailSeconds = 0;
    QMap<int, QStringList> tailPackets;
    AppStateManager::TailUsabilityCheck check = m.tailUsabilityCheck();
    m.tailUsabilityCheck() = [&, check](QString tail) {
        tailSeconds = probedSeconds(tail);
        tailPackets = packetHashes(tail);
        return check(tail);
    };

    QCoro::Task<> recording = m.recordTail(sceneID, take.id, std::nullopt);
    ASSERT_TRUE(pumpUntil([&] { return m.state() == AppState::recording || !m.tailOperation(); }, 10000));
    ASSERT_TRUE(m.tailOperation()) << h.appLogLines().join('\n').toStdString();
    pumpMoving(windows, slider, 1500);
    QCoro::Task<> ending = m.endTake();
    ASSERT_TRUE(pumpUntil([&] { return !m.tailOperation() || m.tailOperation()->failure(); }, 60000));
    ASSERT_FALSE(m.tailOperation()) << m.tailOperation()->failure()->message.toStdString() << "\n"
                                    << h.appLogLines().join('\n').toStdString();

    const Take joined = m.session()->scenes[0].takes[0];
    EXPECT_EQ(joined.id, take.id);
    EXPECT_TRUE(joined.filename.endsWith(".joining.mov"));
    EXPECT_EQ(m.state(), AppState::reviewing);
    const QString joinedMovie = m.takeURL(joined.filename);
    ASSERT_GT(tailSeconds, 0.5);
    EXPECT_NEAR(probedSeconds(joinedMovie), trimEnd + tailSeconds, 0.05);

    // Every packet of the joined movie is a stored packet of the take (its head) or of the tail
    // (all of it), byte for byte.
    const QMap<int, QStringList> original = packetHashes(originalMovie);
    const QMap<int, QStringList> result = packetHashes(joinedMovie);
    ASSERT_EQ(result.keys(), original.keys());
    ASSERT_EQ(result.keys(), tailPackets.keys());
    for (int stream : result.keys()) {
        SCOPED_TRACE(stream);
        const QStringList &packets = result[stream];
        const QStringList &tail = tailPackets[stream];
        ASSERT_GT(packets.size(), tail.size());
        const qsizetype head = packets.size() - tail.size();
        EXPECT_TRUE(packets.mid(head) == tail) << "joined " << packets.size() << " tail " << tail.size();
        EXPECT_TRUE(packets.mid(0, head) == original[stream].mid(0, head)) << "head " << head;
        EXPECT_LT(head, original[stream].size()); // the trimmed-off end is gone
    }
    // The manifest names the joined movie already; undo brings the take's own movie back.
    EXPECT_EQ(h.store->openSession(session.scratchURL).scenes[0].takes[0].filename, joined.filename);
    m.undo();
    EXPECT_EQ(m.session()->scenes[0].takes[0].filename, take.filename);
}

} // namespace
} // namespace lumacast
