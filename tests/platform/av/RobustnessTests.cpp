#include "platform/av/Asset.h"
#include "platform/av/Composition.h"
#include "platform/av/MovieStructure.h"
#include "platform/av/MovieWriter.h"

#include "TestMovies.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <cerrno>

using namespace lumacast::av;

namespace {

// The file offset of the first occurrence of a box type.
qint64 boxOffset(const QByteArray &file, const char *type)
{
    const qsizetype at = file.indexOf(type);
    return at < 4 ? -1 : at - 4;
}

} // namespace

TEST(MovieStructure, DamagedTablesAreReportedNotFollowed)
{
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.mov"));
    ASSERT_TRUE(testmovies::makeMovie(good, 1.0, 30, 10, true));
    QFile file(good);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();

    auto writeVariant = [&](const QString &name, QByteArray data) {
        const QString path = dir.filePath(name);
        QFile out(path);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(data);
        return path;
    };

    // A sample size table that claims far more samples than it holds.
    QByteArray hugeCount = bytes;
    const qint64 stsz = boxOffset(hugeCount, "stsz");
    ASSERT_GT(stsz, 0);
    hugeCount[stsz + 16] = char(0x7F); // the count's top byte
    EXPECT_THROW(readMovieStructure(writeVariant(QStringLiteral("count.mov"), hugeCount)), MediaError);

    // A chunk table that names chunks the offset table lacks.
    QByteArray badChunks = bytes;
    const qint64 stco = boxOffset(badChunks, "stco") >= 0 ? boxOffset(badChunks, "stco") : boxOffset(badChunks, "co64");
    ASSERT_GT(stco, 0);
    badChunks[stco + 15] = 0; // no chunk offsets at all
    EXPECT_THROW(readMovieStructure(writeVariant(QStringLiteral("chunks.mov"), badChunks)), MediaError);

    // A file cut off before its movie box: nothing to read, no crash.
    const QString cut = writeVariant(QStringLiteral("cut.mov"), bytes.left(bytes.size() / 2));
    EXPECT_THROW(readMovieStructure(cut), MediaError);
    EXPECT_THROW(Asset::open(cut), MediaError);

    // A box whose size runs past the end of the file.
    QByteArray overlong = bytes;
    const qint64 moov = boxOffset(overlong, "moov");
    ASSERT_GE(moov, 0);
    overlong[moov] = char(0x7F);
    EXPECT_THROW(readMovieStructure(writeVariant(QStringLiteral("long.mov"), overlong)), MediaError);
}

// Counts and timescales a damaged file states are refused by the reader before they cost memory
// or reach a signed timescale.
TEST(MovieStructure, StatedCountsAndTimescalesAreBoundedByTheFile)
{
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.mov"));
    ASSERT_TRUE(testmovies::makeMovie(good, 1.0, 30, 10, true));
    QFile file(good);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();

    struct Case {
        const char *name;
        const char *box;
        int offset;  // from the box's start
        quint32 value;
    };
    const Case cases[] = {
        {"stsz one size, 99,999,999 samples", "stsz", 16, 99'999'999},
        {"stsz one-byte samples beyond the file", "stsz", 12, 1},
        {"stts count beyond its box", "stts", 12, 0x7FFFFFFF},
        {"stsc count beyond its box", "stsc", 12, 0x10000000},
        {"mvhd timescale 2^31", "mvhd", 20, 0x80000000},
        {"mdhd timescale 2^32-1", "mdhd", 20, 0xFFFFFFFF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray damaged = bytes;
        const qint64 at = boxOffset(damaged, c.box);
        ASSERT_GT(at, 0);
        for (int i = 0; i < 4; ++i)
            damaged[at + c.offset + i] = char(c.value >> (24 - 8 * i));
        if (QByteArray(c.name).startsWith("stsz one-byte")) {  // and a count past the file
            for (int i = 0; i < 4; ++i)
                damaged[at + 16 + i] = char(0x00100000 >> (24 - 8 * i));
        }
        const QString path = dir.filePath(QStringLiteral("damaged.mov"));
        QFile out(path);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(damaged);
        out.close();
        QElapsedTimer timer;
        timer.start();
        EXPECT_THROW(readMovieStructure(path), MediaError);
        EXPECT_LT(timer.elapsed(), 2000);
    }
}

TEST(Passthrough, CutsOfReorderedVideoKeepEveryReferenceFrame)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("bframes.mov"));
    const QString out = dir.filePath(QStringLiteral("cut.mov"));
    // B-frames: samples are stored out of presentation order with composition offsets.
    ASSERT_TRUE(testmovies::makeMovie(source, 2.0, 30, 12, false, 160, 120,
                                      {QStringLiteral("-bf"), QStringLiteral("2"), QStringLiteral("-preset"),
                                       QStringLiteral("medium")}));
    const auto asset = Asset::open(source);
    bool reordered = false;
    for (const SampleRecord &s : asset->structure()->tracks.first().samples)
        reordered = reordered || s.compositionOffset != asset->structure()->tracks.first().samples.first().compositionOffset;
    ASSERT_TRUE(reordered) << "the source has no reordered frames";

    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    composition.insertTimeRange(video, {MediaTime(17, 30), MediaTime(20, 30)}, asset, 0, MediaTime::zero());
    writePassthrough(composition, out);
    // A copy would need frames it does not show: the stretch is re-encoded, exactly its 20 frames,
    // none hidden, in order.
    EXPECT_EQ(testmovies::decodedFrameHashes(out).size(), 20);
    const TrackStructure written = readMovieStructure(out).tracks.first();
    EXPECT_EQ(written.samples.size(), 20);
    EXPECT_LE(written.edits.size(), 1);
    for (const SampleRecord &s : written.samples)
        EXPECT_EQ(s.compositionOffset, 0);
    const QList<double> times = testmovies::decodedFrameTimes(out);
    ASSERT_FALSE(times.isEmpty());
    EXPECT_NEAR(times.first(), 0.0, 1e-6);
}

TEST(Passthrough, RangesOutsideTheSourceAndCancelledWritesLeaveNothing)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.mov"));
    const QString out = dir.filePath(QStringLiteral("out.mov"));
    ASSERT_TRUE(testmovies::makeMovie(source, 1.0, 30, 10, true));
    const auto asset = Asset::open(source);
    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    const int audio = composition.addTrack(MediaType::Audio);
    EXPECT_THROW(composition.insertTimeRange(video, {MediaTime(2, 1), MediaTime(1, 1)}, asset, 0, MediaTime::zero()), MediaError);
    EXPECT_THROW(composition.insertTimeRange(video, {MediaTime(-1, 1), MediaTime(1, 1)}, asset, 0, MediaTime::zero()), MediaError);
    EXPECT_THROW(composition.insertTimeRange(video, {MediaTime::zero(), MediaTime(1, 1)}, asset, 1, MediaTime::zero()), MediaError);
    EXPECT_THROW(composition.insertTimeRange(7, {MediaTime::zero(), MediaTime(1, 1)}, asset, 0, MediaTime::zero()), MediaError);
    // A range running past the end is clipped to the source.
    composition.insertTimeRange(video, {MediaTime(1, 2), MediaTime(5, 1)}, asset, 0, MediaTime::zero());
    EXPECT_EQ(composition.trackEnd(video), MediaTime(1, 2));
    composition.insertTimeRange(audio, {MediaTime::zero(), MediaTime(1, 2)}, asset, 1, MediaTime::zero());

    std::atomic<bool> cancelled{true};
    PassthroughOptions options;
    options.cancelled = &cancelled;
    EXPECT_THROW(writePassthrough(composition, out, options), MediaError);
    EXPECT_FALSE(QFile::exists(out));

    // A source that vanished before the write fails cleanly too.
    QFile::remove(source);
    EXPECT_THROW(writePassthrough(composition, out), MediaError);
    EXPECT_FALSE(QFile::exists(out));
}

TEST(Composition, SoundThatStartsLateKeepsItsPlaceInTheRange)
{
    // A take's sound often starts a moment after its first frame; a stretch of the take must
    // not pull it forward by that gap.
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("late.mov"));
    const auto made = lumacast::testing::runProcess(
        QStringLiteral("ffmpeg"),
        {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
         QStringLiteral("testsrc=size=64x64:rate=30:duration=2"), QStringLiteral("-itsoffset"), QStringLiteral("0.5"),
         QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"), QStringLiteral("sine=duration=1.5"),
         QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-c:a"), QStringLiteral("aac"), source});
    ASSERT_TRUE(made.ok()) << made.err.constData();
    const auto asset = Asset::open(source);
    const AssetTrack &sound = asset->tracks()[1];
    ASSERT_GT(sound.timeRange.start, MediaTime(1, 4));

    Composition composition;
    const int audio = composition.addTrack(MediaType::Audio);
    const MediaTime at(3, 1); // after an earlier take of three seconds
    composition.insertEmptyTimeRange(audio, {MediaTime::zero(), at});
    composition.insertTimeRange(audio, {MediaTime::zero(), MediaTime(1, 1)}, asset, 1, at);
    const auto &segments = composition.segments(audio);
    ASSERT_FALSE(segments.isEmpty());
    EXPECT_EQ(segments.last().sourceRange.start, sound.timeRange.start);
    EXPECT_EQ(segments.last().target.start, at + sound.timeRange.start);
    EXPECT_EQ(composition.trackEnd(audio), MediaTime(4, 1));

    // A range that ends before the sound starts leaves the track empty there.
    composition.insertTimeRange(audio, {MediaTime::zero(), MediaTime(1, 4)}, asset, 1, MediaTime(4, 1));
    EXPECT_EQ(composition.trackEnd(audio), MediaTime(4, 1));
}

// A write that fails on a full disk says the disk is full, whichever way the bytes went.
TEST(MovieWriter, AFullDiskSaysSo)
{
    QTemporaryDir dir;
    struct Case {
        int code;
        const char *expected;
    };
    for (const Case &c : {Case{ENOSPC, "The disk is full (No space left on device)"},
                          Case{EDQUOT, "The disk is full"}, Case{EACCES, "Permission denied"}}) {
        SCOPED_TRACE(c.code);
        EXPECT_TRUE(writeFailureReason(dir.filePath(QStringLiteral("x.mov")), c.code).startsWith(QLatin1String(c.expected)));
    }

    // /dev/full fails every write with ENOSPC; the writer reaches it through a link, which is
    // all it removes when it gives up.
    const QString path = dir.filePath(QStringLiteral("full.mov"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), path));
    MovieWriter writer(path);
    try {
        writer.open();
        writer.finish();
        FAIL() << "a write to a full disk succeeded";
    } catch (const MediaError &error) {
        EXPECT_TRUE(error.failureReason().value_or(QString()).startsWith(QLatin1String("The disk is full")))
            << describeErrorChain(error).toStdString();
    }
    EXPECT_TRUE(QFileInfo::exists(QStringLiteral("/dev/full")));
}

// Times from a hostile file reach the writer unchecked by its callers: sums past 2^63 are
// refused, never wrapped.
TEST(MovieWriter, TimesThatDoNotFitAreRefusedNotWrapped)
{
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    QTemporaryDir dir;
    MovieWriter writer(dir.filePath(QStringLiteral("overflow.mov")));
    writer.open();
    const int track = writer.addTrack(WriterTrackSettings{});
    writer.addEdit(track, EditEntry{kMax - 1, 0, 1.0});
    EXPECT_THROW(writer.addEdit(track, EditEntry{10, -1, 1.0}), MediaError);
    EXPECT_THROW(writer.addEdit(track, EditEntry{kMax, 0, 1.0}), MediaError);
}
