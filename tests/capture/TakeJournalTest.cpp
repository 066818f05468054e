#include "TakeTestSupport.h"

#include "capture/TakeWriter.h"
#include "platform/av/MediaError.h"
#include "platform/av/TakeJournal.h"
#include "platform/av/TakeRecovery.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

using namespace lumacast;
using namespace lumacast::taketest;
using lumacast::testing::runProcess;

namespace {

QByteArray contents(const QString &path)
{
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Video and sound packets in the movie, counted by ffprobe reading every one.
std::pair<int, int> packetCounts(const QString &path)
{
    const auto r = runProcess(QStringLiteral("ffprobe"),
                              {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-count_packets"),
                               QStringLiteral("-show_entries"), QStringLiteral("stream=codec_type,nb_read_packets"),
                               QStringLiteral("-of"), QStringLiteral("csv=p=0"), path});
    int video = -1, audio = -1;
    for (const QByteArray &line : r.out.split('\n')) {
        const QList<QByteArray> f = line.trimmed().split(',');
        if (f.size() == 2 && f[0] == "video")
            video = f[1].toInt();
        else if (f.size() == 2 && f[0] == "audio")
            audio = std::max(audio, 0) + f[1].toInt();
    }
    return {video, audio};
}

bool decodesWithoutError(const QString &path)
{
    const auto r = runProcess(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"),
                                                         QStringLiteral("-xerror"), QStringLiteral("-i"), path,
                                                         QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    return r.ok() && r.err.trimmed().isEmpty();
}

// A take cut off as a crash leaves it: the writer is dropped without being finished.
void writeUnfinishedTake(const QString &path, const SyntheticTake &take)
{
    TakeWriter writer(path);
    writer.journalNote = "session=S\nscene=C\n";
    writer.setUp(take.width, take.height, take.micRate, take.micChannels, take.systemAudio);
    feed(writer, take);
}

} // namespace

TEST(TakeJournal, FinishedTakeIsByteIdenticalWithTheJournalOnAndOffAndLeavesNoJournal)
{
    QTemporaryDir dir;
    for (const bool systemAudio : {false, true}) {
        SCOPED_TRACE(systemAudio ? "with system audio" : "microphone only");
        SyntheticTake take;
        take.width = 160, take.height = 96, take.seconds = 1.5, take.systemAudio = systemAudio;
        take.pauses = {{0.5, 0.8}};
        QByteArray movies[2];
        for (const bool journal : {false, true}) {
            const QString path = dir.filePath(QStringLiteral("%1-%2.mov").arg(systemAudio).arg(journal));
            TakeWriter writer(path);
            writer.keepsJournal = journal;
            writer.setUp(take.width, take.height, take.micRate, take.micChannels, take.systemAudio);
            feed(writer, take);
            ASSERT_TRUE(writer.finish());
            ASSERT_EQ(writer.droppedVideoFrames(), 0u);
            EXPECT_FALSE(QFile::exists(av::TakeJournal::pathFor(path)));
            movies[journal] = contents(path);
        }
        EXPECT_GT(movies[0].size(), 1000);
        EXPECT_TRUE(movies[0] == movies[1]);
    }
}

TEST(TakeJournal, RecoveryKeepsEveryWholeSampleBeforeAnyCutAndNeverFailsBadly)
{
    QTemporaryDir dir;
    const QString original = dir.filePath(QStringLiteral("cut.mov"));
    SyntheticTake take;
    take.width = 160, take.height = 96, take.seconds = 2.5, take.systemAudio = true;
    writeUnfinishedTake(original, take);
    ASSERT_FALSE(av::TakeRecovery::hasIndex(original));
    const QByteArray movie = contents(original);
    const QByteArray journal = contents(av::TakeJournal::pathFor(original));
    const auto whole = av::TakeJournal::parse(journal);
    ASSERT_EQ(whole.note, QByteArray("session=S\nscene=C\n"));
    ASSERT_GT(whole.samples.size(), 100u);

    // The last cut is none at all: the whole take comes back.
    QRandomGenerator random(30);
    for (int trial = 0; trial < 16; ++trial) {
        const qsizetype movieCut = trial == 15 ? movie.size() : qsizetype(random.bounded(int(movie.size()) + 1));
        const qsizetype journalCut = trial == 15 ? journal.size() : qsizetype(random.bounded(int(journal.size()) + 1));
        SCOPED_TRACE(QStringLiteral("movie cut at %1, journal at %2").arg(movieCut).arg(journalCut).toStdString());
        const QString path = dir.filePath(QStringLiteral("trial-%1.mov").arg(trial));
        writeFile(path, movie.left(movieCut));
        writeFile(av::TakeJournal::pathFor(path), journal.left(journalCut));

        // What recovery must keep: the journal's samples wholly in the cut movie, sound up to the
        // end of the last whole frame, which is held over up to a second of sound past it.
        std::optional<av::TakeJournal::Contents> readable;
        try {
            readable = av::TakeJournal::parse(journal.left(journalCut));
        } catch (const av::MediaError &) {
        }
        int frames = 0;
        double cut = 0;
        std::vector<av::TakeJournal::Sample> kept;
        for (const auto &s : readable ? readable->samples : std::vector<av::TakeJournal::Sample>{}) {
            if (s.offset + s.size > movieCut)
                break;
            kept.push_back(s);
            if (readable->tracks[s.track].mediaType == av::MediaType::Video) {
                ++frames;
                cut = double(s.decodeTime + s.duration) / readable->tracks[s.track].timescale;
            }
        }
        double soundEnd = cut;
        for (const auto &s : kept)
            if (readable->tracks[s.track].mediaType == av::MediaType::Audio)
                soundEnd = std::max(soundEnd, double(s.decodeTime + s.compositionOffset + s.duration)
                                                  / readable->tracks[s.track].timescale);
        cut = std::min(soundEnd, cut + 1.0);
        int sound = 0;
        for (const auto &s : kept)
            if (readable->tracks[s.track].mediaType == av::MediaType::Audio
                && double(s.decodeTime + s.compositionOffset) / readable->tracks[s.track].timescale < cut)
                ++sound;

        if (frames == 0) {
            EXPECT_THROW(av::TakeRecovery::recover(path), av::MediaError);
            EXPECT_EQ(QFileInfo(path).size(), movieCut); // left where it was, journal and all
            EXPECT_TRUE(QFile::exists(av::TakeJournal::pathFor(path)));
            continue;
        }
        const auto result = av::TakeRecovery::recover(path);
        EXPECT_FALSE(QFile::exists(av::TakeJournal::pathFor(path)));
        EXPECT_NEAR(result.seconds, cut, 1e-9);
        EXPECT_EQ(result.samplesKept, frames + sound);
        EXPECT_EQ(packetCounts(path), std::make_pair(frames, sound));
        if (trial % 4 == 3) {
            EXPECT_TRUE(decodesWithoutError(path));
        }
        // A second launch finds the movie finished and leaves it as it is.
        writeFile(av::TakeJournal::pathFor(path), journal.left(journalCut));
        EXPECT_TRUE(av::TakeRecovery::recover(path).wasFinished);
    }
}

// A full disk during a take: a real, small file system fills up while the take is written.
TEST(TakeJournal, DiskFullDuringATakeKeepsWhatWasWrittenAndSaysTheDiskIsFull)
{
    if (!runProcess(QStringLiteral("unshare"), {QStringLiteral("-rm"), QStringLiteral("true")}).ok())
        GTEST_SKIP() << "no mount namespace for a small tmpfs";
    QTemporaryDir dir;
    QDir(dir.path()).mkdir(QStringLiteral("small"));
    // The take is moved out of the tmpfs before the namespace, and the file system, go away.
    const QString script = QStringLiteral(
        "mount -t tmpfs -o size=160k tmpfs \"$1/small\" || exit 90; "
        "\"$2\" write-take \"$1/small/full.mov\" --size 640x360 --fps 30 --seconds 12; rc=$?; "
        "ls \"$1/small\" > \"$1/left.txt\"; cp \"$1/small/full.mov\" \"$1/\" 2>/dev/null; exit $rc");
    const auto r = runProcess(QStringLiteral("unshare"), {QStringLiteral("-rm"), QStringLiteral("sh"), QStringLiteral("-c"),
                                                         script, QStringLiteral("sh"), dir.path(),
                                                         lumacast::testing::mediaDriverPath()});
    if (r.exitCode == 90)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("The disk is full")) << r.err.constData();
    const double kept = QJsonDocument::fromJson(r.out).object().value(QStringLiteral("duration")).toDouble();
    EXPECT_GT(kept, 2.0) << r.out.constData();
    EXPECT_EQ(contents(dir.filePath(QStringLiteral("left.txt"))).trimmed(), QByteArray("full.mov"));
    const QString movie = dir.filePath(QStringLiteral("full.mov"));
    EXPECT_TRUE(av::TakeRecovery::hasIndex(movie));
    EXPECT_TRUE(decodesWithoutError(movie));
}

// One damaged field of a real journal: what contradicts the movie or the other records is
// skipped, the rest kept, and no byte of the samples is cut or rewritten; a journal that finishes
// nothing leaves the movie as it was, given up (NoFrame) only when the journal is whole.
TEST(TakeJournal, DamagedRecordsAreSkippedAndNoByteOfTheMovieIsLost)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("cut.mov"));
    SyntheticTake take;
    take.width = 160, take.height = 96, take.seconds = 2.5, take.systemAudio = true;
    writeUnfinishedTake(path, take);
    const QByteArray movie = contents(path), journal = contents(av::TakeJournal::pathFor(path));
    const auto intact = av::TakeJournal::parse(journal);
    const auto record = [&](std::size_t i) { return journal.size() - qsizetype(intact.samples.size() - i) * 32; };
    std::vector<std::size_t> frames;
    for (std::size_t i = 0; i < intact.samples.size(); ++i)
        if (intact.tracks[intact.samples[i].track].mediaType == av::MediaType::Video)
            frames.push_back(i);
    const qsizetype key = record(frames.front()), mid = record(intact.samples.size() / 2), last = record(frames.back());
    const auto whole = av::TakeRecovery::recover(path);

    struct Case {
        const char *name;
        std::function<void(char *)> damage; // on the journal's bytes
        qint64 lost; // samples fewer than the intact journal gives; -1: kept as it is; -2: given up
    };
    const std::vector<Case> cases = {
        {"the first frame's kind", [&](char *j) { j[key] = 'X'; }, 0},
        {"a size of 2 GiB mid-take", [&](char *j) { qToLittleEndian<std::uint32_t>(1u << 31, j + mid + 4); }, 1},
        {"an offset into another sample", [&](char *j) { qToLittleEndian<std::int64_t>(intact.mediaDataStart + 17, j + mid + 8); }, 1},
        {"every duration 0xFFFFFFFF", [&](char *j) { for (std::size_t i = 0; i < intact.samples.size(); ++i) qToLittleEndian(0xFFFFFFFFu, j + record(i) + 28); }, 0},
        {"the last frame 2^40 ticks late", [&](char *j) { qToLittleEndian<std::int64_t>(std::int64_t(1) << 40, j + last + 16); }, 1},
        {"the key frame's track", [&](char *j) { j[key + 1] = 9; }, -1},
        {"zeros after the header", [&](char *j) { std::fill(j + record(0), j + journal.size(), '\0'); }, -2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray damaged = journal;
        c.damage(damaged.data());
        writeFile(path, movie);
        writeFile(av::TakeJournal::pathFor(path), damaged);
        if (c.lost < 0) {
            try {
                av::TakeRecovery::recover(path);
                ADD_FAILURE() << "recovered";
            } catch (const av::MediaError &e) {
                EXPECT_EQ(e.code(), c.lost == -1 ? av::MediaError::CorruptMovie : av::MediaError::NoFrame);
            }
            EXPECT_TRUE(contents(path) == movie && QFile::exists(av::TakeJournal::pathFor(path)));
            continue;
        }
        const auto result = av::TakeRecovery::recover(path);
        // A last frame given up takes the sound of its 33 ms with it: at most two packets a track.
        EXPECT_LE(result.samplesKept, whole.samplesKept - c.lost);
        EXPECT_GE(result.samplesKept, whole.samplesKept - c.lost - (c.lost == 0 ? 0 : 4));
        EXPECT_NEAR(result.seconds, whole.seconds, 0.04);
        const QByteArray recovered = contents(path);
        const qsizetype samplesFrom = qsizetype(intact.mediaDataStart) + 16;
        EXPECT_TRUE(recovered.left(samplesFrom - 16) == movie.left(samplesFrom - 16)
                    && recovered.mid(samplesFrom, movie.size() - samplesFrom) == movie.mid(samplesFrom));
        const auto counts = packetCounts(path);
        EXPECT_EQ(counts.first + counts.second, result.samplesKept);
        EXPECT_TRUE(decodesWithoutError(path) || c.lost > 0);
    }
}

// Under a memory limit a journal is read into no more room than it takes.
TEST(TakeJournal, RecoveryUnderAMemoryLimitReadsOnlyWhatTheJournalHolds)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("limited.mov"));
    writeUnfinishedTake(path, SyntheticTake{});
    const auto r = runProcess(QStringLiteral("prlimit"), {QStringLiteral("--as=1073741824"), lumacast::testing::mediaDriverPath(),
                                                          QStringLiteral("recover-take"), path});
    EXPECT_TRUE(r.ok() && av::TakeRecovery::hasIndex(path)) << r.err.constData();
}
