#include "platform/av/AssetReader.h"
#include "platform/av/Composition.h"

#include "TestMovies.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast::av;

namespace {

// Two one-second movies of different pictures joined without re-encoding, with the second
// one's first half second cut away so that its stretch starts off a key frame.
QString makeJoinedMovie(const QTemporaryDir &dir)
{
    const QString head = dir.filePath(QStringLiteral("head.mov"));
    const QString tail = dir.filePath(QStringLiteral("tail.mov"));
    const QString out = dir.filePath(QStringLiteral("joined.mov"));
    EXPECT_TRUE(testmovies::makeMovie(head, 1.0, 30, 10, true));
    EXPECT_TRUE(testmovies::makeMovie(tail, 1.5, 30, 10, true, 160, 120, {QStringLiteral("-vf"), QStringLiteral("negate")}));
    const auto a = Asset::open(head);
    const auto b = Asset::open(tail);
    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    const int audio = composition.addTrack(MediaType::Audio);
    const MediaTime second(600, 600), half(300, 600);
    composition.insertTimeRange(video, {MediaTime::zero(), second}, a, 0, MediaTime::zero());
    composition.insertTimeRange(audio, {MediaTime::zero(), second}, a, 1, MediaTime::zero());
    composition.insertTimeRange(video, {half, second}, b, 0, second);
    composition.insertTimeRange(audio, {half, second}, b, 1, second);
    writePassthrough(composition, out);
    return out;
}

} // namespace

TEST(ImageGenerator, FindsTheFramesOnEitherSideOfASplice)
{
    QTemporaryDir dir;
    const auto joined = Asset::open(makeJoinedMovie(dir));
    EXPECT_NEAR(joined->duration().seconds(), 2.0, 0.001);
    const MediaTime splice(600, 600);
    ImageGenerator generator(joined);

    generator.requestedTimeToleranceBefore = MediaTime::positiveInfinity();
    generator.requestedTimeToleranceAfter = MediaTime::zero();
    const auto before = generator.imageAt(splice - MediaTime(1, 600));
    EXPECT_EQ(before.actualTime, MediaTime(29, 30));
    EXPECT_EQ(before.image.size(), QSize(160, 120));

    generator.requestedTimeToleranceBefore = MediaTime::zero();
    generator.requestedTimeToleranceAfter = MediaTime::positiveInfinity();
    const auto after = generator.imageAt(splice);
    EXPECT_EQ(after.actualTime, splice);
    // The tail's pictures are negated: the two sides of the splice look nothing alike.
    const QRgb left = before.image.pixel(80, 60), right = after.image.pixel(80, 60);
    EXPECT_GT(std::abs(qGray(left) - qGray(right)) + std::abs(qRed(left) - qRed(right))
                  + std::abs(qBlue(left) - qBlue(right)), 30);

    // Between two frames with no tolerance before, the next frame is delivered.
    EXPECT_EQ(generator.imageAt(MediaTime(1, 100)).actualTime, MediaTime(1, 30));
    generator.requestedTimeToleranceAfter = MediaTime::zero();
    EXPECT_THROW(generator.imageAt(MediaTime(1, 100)), MediaError);
    EXPECT_EQ(generator.imageAt(MediaTime(2, 30)).actualTime, MediaTime(2, 30));
}

TEST(AssetReader, DeliversTheFramesAndSamplesOfARange)
{
    QTemporaryDir dir;
    const auto joined = Asset::open(makeJoinedMovie(dir));

    // Video across the splice: frames 27 to 32 of the joined timeline.
    AssetReader video(joined, 0, MediaTimeRange{MediaTime(27, 30), MediaTime(6, 30)});
    QList<MediaTime> times;
    while (auto frame = video.nextVideoFrame()) {
        times << frame->presentationTime;
        EXPECT_FALSE(frame->image.isNull());
    }
    ASSERT_EQ(times.size(), 6);
    EXPECT_EQ(times.first(), MediaTime(27, 30));
    EXPECT_EQ(times.last(), MediaTime(32, 30));

    // Audio is cut to the sample, and converted when asked.
    AssetReader audio(joined, 1, MediaTimeRange{MediaTime(1, 4), MediaTime(1, 2)});
    qint64 frames = 0;
    std::optional<MediaTime> first;
    while (auto block = audio.nextAudio()) {
        if (!first)
            first = block->presentationTime;
        EXPECT_EQ(block->channels, 1);
        frames += block->frameCount;
    }
    EXPECT_EQ(frames, 24000);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, MediaTime(1, 4));

    AssetReader converted(joined, 1, std::nullopt, {44100, 2});
    qint64 convertedFrames = 0;
    while (auto block = converted.nextAudio()) {
        EXPECT_EQ(block->sampleRate, 44100);
        EXPECT_EQ(block->samples.size(), block->frameCount * 2 * qsizetype(sizeof(float)));
        convertedFrames += block->frameCount;
    }
    EXPECT_NEAR(double(convertedFrames), 2 * 44100.0, 2048);

    EXPECT_THROW(AssetReader(joined, 5), MediaError);
    EXPECT_FALSE(AssetReader(joined, 1).nextVideoFrame().has_value());
}

// Pure green converted to 4:2:0 with BT.709 and tagged so, or with BT.601 and left untagged:
// both decode back to green, as a player shows them. Decoding the tagged one with the BT.601
// default would shift green by twenty and more.
TEST(ImageGenerator, PicturesDecodeWithTheMatrixTheirStreamIsTaggedWith)
{
    QTemporaryDir dir;
    const QString green = QStringLiteral("format=gbrp,geq=r=0:g=255:b=0,scale=out_color_matrix=%1:out_range=tv");
    const QString tagged = dir.filePath(QStringLiteral("bt709.mov"));
    const QString untagged = dir.filePath(QStringLiteral("untagged.mov"));
    ASSERT_TRUE(testmovies::makeMovie(tagged, 0.2, 30, 10, false, 64, 48,
                                      {QStringLiteral("-vf"),
                                       green.arg(QStringLiteral("bt709"))
                                           + QStringLiteral(",setparams=color_primaries=bt709:color_trc=bt709:"
                                                            "colorspace=bt709")}));
    ASSERT_TRUE(testmovies::makeMovie(untagged, 0.2, 30, 10, false, 64, 48,
                                      {QStringLiteral("-vf"), green.arg(QStringLiteral("bt601"))}));
    for (const QString &path : {tagged, untagged}) {
        SCOPED_TRACE(path.toStdString());
        ImageGenerator generator(Asset::open(path));
        const QRgb p = generator.imageAt(MediaTime::zero()).image.pixel(32, 24);
        EXPECT_LE(qRed(p), 6);
        EXPECT_GE(qGreen(p), 249);
        EXPECT_LE(qBlue(p), 6);
    }
}
