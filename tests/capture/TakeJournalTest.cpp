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
        // end of the last whole frame.
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

namespace {

// Sets a little-endian field of sample record `record` in a journal whose records start at `first`.
template<typename T> void setField(QByteArray &journal, qsizetype first, qsizetype record, int at, T value)
{
    qToLittleEndian(value, journal.data() + first + record * av::TakeJournal::kSampleRecordSize + at);
}

} // namespace

// One damaged field in a real journal: the records that contradict the movie or the others are
// skipped and the rest kept, no byte of the movie's samples is cut or rewritten, and a journal
// that finishes nothing leaves the movie exactly as it was.
TEST(TakeJournal, DamagedRecordsAreSkippedAndNoByteOfTheMovieIsLost)
{
    QTemporaryDir dir;
    const QString original = dir.filePath(QStringLiteral("cut.mov"));
    SyntheticTake take;
    take.width = 160, take.height = 96, take.seconds = 2.5, take.systemAudio = true;
    writeUnfinishedTake(original, take);
    const QByteArray movie = contents(original);
    const QByteArray journal = contents(av::TakeJournal::pathFor(original));
    const auto intact = av::TakeJournal::parse(journal);
    const qsizetype first = journal.size() - qsizetype(intact.samples.size()) * av::TakeJournal::kSampleRecordSize;
    const auto isVideo = [&](std::size_t i) { return intact.tracks[intact.samples[i].track].mediaType == av::MediaType::Video; };
    std::size_t firstVideo = intact.samples.size(), lastVideo = 0;
    for (std::size_t i = 0; i < intact.samples.size(); ++i)
        if (isVideo(i))
            firstVideo = std::min(firstVideo, i), lastVideo = i;
    ASSERT_TRUE(firstVideo < lastVideo && intact.samples[firstVideo].keyframe);
    const qsizetype keyRecord = first + qsizetype(firstVideo) * av::TakeJournal::kSampleRecordSize;
    const qsizetype middle = qsizetype(intact.samples.size() / 2);

    const auto reference = dir.filePath(QStringLiteral("reference.mov"));
    writeFile(reference, movie);
    writeFile(av::TakeJournal::pathFor(reference), journal);
    const auto whole = av::TakeRecovery::recover(reference);

    struct Case {
        const char *name;
        std::function<void(QByteArray &)> damage;
        qint64 lost; // samples fewer than the intact journal's recovery; -1: kept as it is; -2: given up
    };
    const std::vector<Case> cases = {
        {"the first frame's kind", [&](QByteArray &j) { j[keyRecord] = 'X'; }, 0},
        {"a size of 2 GiB mid-take", [&](QByteArray &j) { setField<std::uint32_t>(j, first, middle, 4, 1u << 31); }, 1},
        {"an offset into another sample",
         [&](QByteArray &j) { setField<std::int64_t>(j, first, middle, 8, intact.samples[middle - 2].offset + 1); }, 1},
        {"every duration 0xFFFFFFFF",
         [&](QByteArray &j) {
             for (qsizetype i = 0; i < qsizetype(intact.samples.size()); ++i)
                 setField<std::uint32_t>(j, first, i, 28, 0xFFFFFFFFu);
         }, 0},
        {"the last frame decoded 2^40 ticks late",
         [&](QByteArray &j) { setField<std::int64_t>(j, first, qsizetype(lastVideo), 16, std::int64_t(1) << 40); }, 1},
        {"a decode time far back mid-take", [&](QByteArray &j) { setField<std::int64_t>(j, first, middle, 16, -(std::int64_t(1) << 45)); }, 1},
        {"the key frame's track", [&](QByteArray &j) { j[keyRecord + 1] = 9; }, -1},
        {"a journal of zeros after its header", [&](QByteArray &j) { j.replace(first, j.size() - first, QByteArray(j.size() - first, '\0')); }, -2},
    };
    for (std::size_t n = 0; n < cases.size(); ++n) {
        const Case &c = cases[n];
        SCOPED_TRACE(c.name);
        const QString path = dir.filePath(QStringLiteral("case-%1.mov").arg(n));
        QByteArray damaged = journal;
        c.damage(damaged);
        writeFile(path, movie);
        writeFile(av::TakeJournal::pathFor(path), damaged);
        if (c.lost < 0) {
            try {
                av::TakeRecovery::recover(path);
                ADD_FAILURE() << "recovered";
            } catch (const av::MediaError &e) {
                // Given up only when the journal is whole and no frame reached the disk.
                EXPECT_EQ(e.code(), c.lost == -1 ? av::MediaError::CorruptMovie : av::MediaError::NoFrame);
            }
            EXPECT_TRUE(contents(path) == movie);
            EXPECT_TRUE(QFile::exists(av::TakeJournal::pathFor(path)));
            continue;
        }
        const auto result = av::TakeRecovery::recover(path);
        // A last frame given up takes the sound of its 33 ms with it: at most two packets a track.
        EXPECT_LE(result.samplesKept, whole.samplesKept - c.lost);
        EXPECT_GE(result.samplesKept, whole.samplesKept - c.lost - (c.lost == 0 ? 0 : 4));
        EXPECT_NEAR(result.seconds, whole.seconds, 0.04);
        const QByteArray recovered = contents(path);
        EXPECT_TRUE(recovered.left(intact.mediaDataStart) == movie.left(intact.mediaDataStart));
        EXPECT_TRUE(recovered.mid(intact.mediaDataStart + 16, movie.size() - intact.mediaDataStart - 16)
                    == movie.mid(intact.mediaDataStart + 16));
        const auto counts = packetCounts(path);
        EXPECT_EQ(counts.first + counts.second, result.samplesKept);
        EXPECT_NEAR(probe(path).value(QStringLiteral("format"))[QStringLiteral("duration")].toString().toDouble(),
                    whole.seconds, 0.05);
        EXPECT_TRUE(decodesWithoutError(path) || c.lost > 0);
    }
}

// A journal read under a memory limit asks for no more than the file holds.
TEST(TakeJournal, RecoveryUnderAMemoryLimitReadsOnlyWhatTheJournalHolds)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("limited.mov"));
    SyntheticTake take;
    take.seconds = 1.0;
    writeUnfinishedTake(path, take);
    const auto r = runProcess(QStringLiteral("prlimit"), {QStringLiteral("--as=1073741824"), lumacast::testing::mediaDriverPath(),
                                                          QStringLiteral("recover-take"), path});
    EXPECT_TRUE(r.ok()) << r.err.constData();
    EXPECT_TRUE(av::TakeRecovery::hasIndex(path));
}
