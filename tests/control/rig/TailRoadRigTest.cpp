// One tail down the whole road: a real take, trimmed, gets a real tail from the real recorder,
// and the join engine puts the joined movie in the take's place.
#include "RealRecorderRig.h"

#include "platform/av/AacTrackEncoder.h"
#include "platform/av/MovieProbe.h"
#include "store/DiskSync.h"
#include "support/AwaitTask.h"
#include "support/TestEnvironment.h"
#include "support/ToneAnalysis.h"
#include "support/XcbTestWindows.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

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
        ++step;
        windows.move(window, (step * 7) % 1600, (step * 3) % 800);
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(10);
    }
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

// A sound stream as players lay it out (edits honoured): where each packet starts, in seconds,
// the length of one AAC frame, the stream's duration and the MD5 of the encoded silence the
// layout fills a stretch without sound with.
struct SoundStream {
    QList<double> starts;
    double frame = 0;
    double seconds = 0;
    QString silence;
};

SoundStream soundStream(const QString &movie, int stream)
{
    const auto probed = testing::runProcess(
        QStringLiteral("ffprobe"), {"-v", "error", "-select_streams", QString::number(stream), "-show_entries",
                                    "stream=sample_rate,channels,duration:packet=pts_time", "-of", "json", movie});
    const QJsonObject json = QJsonDocument::fromJson(probed.out).object();
    const QJsonObject info = json.value("streams").toArray().at(0).toObject();
    SoundStream sound;
    for (const QJsonValue &packet : json.value("packets").toArray())
        sound.starts << packet.toObject().value("pts_time").toString().toDouble();
    av::AacTrackEncoder::Settings settings;
    settings.sampleRate = info.value("sample_rate").toString().toInt();
    settings.channels = info.value("channels").toInt();
    sound.frame = 1024.0 / settings.sampleRate;
    sound.seconds = info.value("duration").toString().toDouble();
    sound.silence = QStringLiteral("MD5:")
                  + QString::fromLatin1(QCryptographicHash::hash(av::AacTrackEncoder::silentFrame(settings),
                                                                 QCryptographicHash::Md5).toHex());
    return sound;
}

// An ext4 disk in an image file of its own, loop-mounted (root only: `reason` says why not). A
// power cut is a copy of the image as the device holds it at that moment (what the file system
// has yet to write out is not in it), mounted, its journal replayed, as at the next boot.
struct LoopDisk {
    QTemporaryDir dir;
    QString reason;
    bool run(const QString &program, const QStringList &arguments)
    {
        const testing::ProcessResult result = testing::runProcess(program, arguments);
        reason += QString::fromLocal8Bit(result.err);
        return result.ok();
    }
    bool mount(const char *image, const char *at)
    {
        return QDir(dir.path()).mkpath(at) && run("mount", {"-o", "loop", dir.filePath(image), dir.filePath(at)});
    }
    const bool ready = run("truncate", {"-s", "96M", dir.filePath("disk.img")})
                    && run("mkfs.ext4", {"-q", dir.filePath("disk.img")}) && mount("disk.img", "disk");
    QString powerCut()
    {
        const bool cut = run("cp", {dir.filePath("disk.img"), dir.filePath("cut.img")}) && mount("cut.img", "cut");
        return cut ? dir.filePath("cut") : QString();
    }
    ~LoopDisk()
    {
        for (const char *at : {"cut", "disk"})
            testing::runProcess("umount", {"-l", dir.filePath(at)});
    }
};

// Where the rig can mount a disk image, the recording lives on one whose power goes right after
// "joined": that disk reopens as the user left it, the take joined and whole, nothing missing, no
// take filed back, nothing left over.
TEST(TailRoadRigTest, ARealTailIsJoinedIntoItsTrimmedTakeByCopyingPackets)
{
    testing::RealRecorderRig rig(true);
    testing::ManagerHarness &h = rig.h;
    AppStateManager &m = rig.m();
    LoopDisk disk;
    if (disk.ready) {
        rig.session = Session(disk.dir.filePath("disk/Talk.lumacast"));
        rig.session.bundleURL = rig.session.scratchURL;
        ASSERT_TRUE(QDir().mkpath(rig.session.scratchURL + "/takes"));
        m.replaceCurrentSession(rig.session);
    }
    const Session &session = rig.session;
    testing::XcbTestWindows windows;
    ASSERT_TRUE(windows.ok());
    const xcb_window_t slider = windows.solid(QRect(0, 0, 200, 200), 0x3070d0);
    // A tone on the microphone, so that the take's and the tail's sound frames differ.
    testing::TonePlayer tone(QStringLiteral("micfeed"), 440, 30);

    // The take: about 2.5 s, trimmed to end at 1.5 s.
    testing::runTask(m.startRecording());
    ASSERT_EQ(m.state(), AppState::recording) << rig.appLog();
    pumpMoving(windows, slider, 2500);
    testing::runTask(m.endTake());
    ASSERT_EQ(m.state(), AppState::reviewing) << rig.appLog();
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
    QMap<int, SoundStream> tailSound;
    AppStateManager::TailUsabilityCheck check = m.tailUsabilityCheck();
    m.tailUsabilityCheck() = [&, check](QString tail) {
        tailSeconds = probedSeconds(tail);
        tailPackets = packetHashes(tail);
        for (int stream : tailPackets.keys())
            if (stream > 0)
                tailSound[stream] = soundStream(tail, stream);
        return check(tail);
    };
    // The manifest naming the joined movie is written once the movie is on the disk under its name.
    std::mutex syncing;
    QStringList synced, syncedWhenNamed;
    DiskSync::setWitness([&](const QString &item) {
        const std::lock_guard lock(syncing);
        synced << item;
    });
    AppStateManager::TailPersistStaged persist = m.tailPersistStaged();
    m.tailPersistStaged() = [&, persist](const Session &named) {
        {
            const std::lock_guard lock(syncing);
            syncedWhenNamed = synced;
        }
        persist(named);
    };

    QCoro::Task<> recording = m.recordTail(sceneID, take.id, std::nullopt);
    ASSERT_TRUE(testing::pumpUntil([&] { return m.state() == AppState::recording || !m.tailOperation(); }, 10000));
    ASSERT_TRUE(m.tailOperation()) << rig.appLog();
    pumpMoving(windows, slider, 3000);
    QCoro::Task<> ending = m.endTake();
    ASSERT_TRUE(testing::pumpUntil([&] { return !m.tailOperation() || m.tailOperation()->failure(); }, 60000));
    ASSERT_FALSE(m.tailOperation()) << m.tailOperation()->failure()->message.toStdString() << "\n"
                                    << rig.appLog();
    const QString cut = disk.ready ? disk.powerCut() : QString();
    DiskSync::setWitness({});
    const qsizetype workingMovie = syncedWhenNamed.indexOf(QRegularExpression(".*/takes/\\.lumacast-work-[^/]*\\.mov"));
    EXPECT_GE(workingMovie, 0) << syncedWhenNamed.join('\n').toStdString();
    EXPECT_GT(syncedWhenNamed.lastIndexOf(session.scratchURL + "/takes"), workingMovie);

    const Take joined = m.session()->scenes[0].takes[0];
    EXPECT_EQ(joined.id, take.id);
    EXPECT_TRUE(joined.filename.endsWith(".joining.mov"));
    EXPECT_EQ(m.state(), AppState::reviewing);
    const QString joinedMovie = m.takeURL(joined.filename);
    ASSERT_GT(tailSeconds, 0.5);
    EXPECT_NEAR(probedSeconds(joinedMovie), trimEnd + tailSeconds, 0.05);

    // The picture is the take's frames up to the splice, then every frame of the tail, byte for
    // byte. The sound is laid out in whole AAC frames: the take's frames up to the splice but the
    // last one or two, which give way to the tail's priming frame; then the tail's frames from
    // that priming frame on, its sound landing on the splice within half a frame. A tail frame
    // stays out only when it would start past the movie's end; after the tail's sound comes
    // nothing but encoded silence.
    const QMap<int, QStringList> original = packetHashes(originalMovie);
    const QMap<int, QStringList> result = packetHashes(joinedMovie);
    ASSERT_EQ(result.keys(), original.keys());
    ASSERT_EQ(result.keys(), tailPackets.keys());
    const double joinedSeconds = probedSeconds(joinedMovie);
    for (int stream : result.keys()) {
        SCOPED_TRACE(stream);
        const QStringList &packets = result[stream];
        const QStringList &take = original[stream];
        const QStringList &tail = tailPackets[stream];
        ASSERT_GT(packets.size(), tail.size());
        if (stream == 0) {
            const qsizetype head = packets.size() - tail.size();
            EXPECT_TRUE(packets.mid(head) == tail) << "joined " << packets.size() << " tail " << tail.size();
            EXPECT_TRUE(packets.mid(0, head) == take.mid(0, head)) << "head " << head;
            EXPECT_LT(head, take.size()); // the trimmed-off end is gone
            continue;
        }
        const SoundStream sound = soundStream(joinedMovie, stream);
        ASSERT_EQ(sound.starts.size(), packets.size());
        const QList<double> takeStarts = soundStream(originalMovie, stream).starts;
        const qsizetype beforeSplice = std::count_if(takeStarts.begin(), takeStarts.end(), [&](double t) { return t < trimEnd; });
        qsizetype head = -1;
        for (qsizetype h = std::max<qsizetype>(1, beforeSplice - 2); h <= beforeSplice && head < 0; ++h)
            if (h < packets.size() && packets[h] == tail[0] && packets.mid(0, h) == take.mid(0, h))
                head = h;
        ASSERT_GE(head, 0) << "no tail priming frame after the take's first " << beforeSplice - 2 << " to "
                           << beforeSplice << " frames";
        ASSERT_LT(head + 1, packets.size());
        EXPECT_NEAR(sound.starts[head + 1], trimEnd, sound.frame / 2 + 1e-4);
        qsizetype kept = 0;
        while (head + kept < packets.size() && kept < tail.size() && packets[head + kept] == tail[kept])
            ++kept;
        const qsizetype tailEnd = head + kept;
        if (kept < tail.size()) {
            EXPECT_EQ(kept, tail.size() - 1) << "tail frames left out";
            EXPECT_EQ(tailEnd, packets.size()) << "a tail frame was replaced";
        }
        for (qsizetype i = tailEnd; i < packets.size(); ++i)
            EXPECT_EQ(packets[i], sound.silence) << "packet " << i << " after the tail's " << kept;
        // The sound runs as far as the tail's does (the picture may run on, as in the tail), and
        // no frame lies wholly past its end.
        const double soundEnd = std::min(joinedSeconds, trimEnd + tailSound[stream].seconds);
        EXPECT_NEAR(sound.seconds, soundEnd, 0.002);
        EXPECT_LT(sound.starts.back(), soundEnd) << "a frame past the end";
        EXPECT_GE(sound.starts.back() + sound.frame, soundEnd - 1e-3) << "the sound stops early";
    }
    // The manifest names the joined movie already; undo brings the take's own movie back.
    EXPECT_EQ(h.store->openSession(session.scratchURL).scenes[0].takes[0].filename, joined.filename);
    m.undo();
    EXPECT_EQ(m.session()->scenes[0].takes[0].filename, take.filename);

    if (!disk.ready)
        GTEST_SKIP() << "no power cut without a loop-mounted disk: " << disk.reason.toStdString();
    testing::ManagerHarness after;
    const QString reopened = cut + "/Talk.lumacast";
    testing::runTask(after.m().openSession(reopened, false));
    ASSERT_TRUE(after.m().session()) << disk.reason.toStdString();
    for (const auto &alert : after.alerts->shown)
        ADD_FAILURE() << alert.message.toStdString() << ": " << alert.informativeText.toStdString();
    EXPECT_EQ(after.m().session()->scenes[0].takes.size(), 1);
    EXPECT_EQ(after.m().session()->scenes[0].takes[0].filename, joined.filename);
    EXPECT_NEAR(av::movieDurationSeconds(reopened + "/takes/" + joined.filename).value_or(0), joined.duration, 0.05);
    EXPECT_EQ(QDir(reopened + "/takes").entryList(QDir::Files | QDir::Hidden), QStringList{joined.filename});
}

} // namespace
} // namespace lumacast
