#include "platform/av/Asset.h"

#include "TestMovies.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast::av;

namespace {

// Tagged through the frames: FFmpeg 7's command line writes no colr box for the tags given as
// output options alone.
const QStringList kBt709{QStringLiteral("-vf"),
                         QStringLiteral("setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709")};

} // namespace

TEST(Asset, ReadsTracksFormatsAndTiming)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("take.mov"));
    ASSERT_TRUE(testmovies::makeMovie(path, 2.0, 30, 10, true, 320, 240, kBt709));
    const auto asset = Asset::open(path);

    ASSERT_EQ(asset->tracks().size(), 2);
    const AssetTrack &video = asset->tracks()[0];
    const AssetTrack &audio = asset->tracks()[1];
    EXPECT_EQ(video.mediaType, MediaType::Video);
    EXPECT_EQ(audio.mediaType, MediaType::Audio);
    EXPECT_EQ(asset->tracks(MediaType::Audio).size(), 1);

    ASSERT_EQ(video.formatDescriptions.size(), 1);
    const FormatDescription &vf = video.formatDescriptions.first();
    EXPECT_EQ(vf.codecName, QStringLiteral("h264"));
    EXPECT_EQ(vf.width, 320);
    EXPECT_EQ(vf.height, 240);
    EXPECT_FALSE(vf.parameterSets.isEmpty());
    ASSERT_TRUE(vf.color.has_value());
    EXPECT_EQ(vf.color->primaries, 1);
    EXPECT_EQ(vf.color->transfer, 1);
    EXPECT_EQ(vf.color->matrix, 1);
    EXPECT_EQ(video.naturalSize, QSizeF(320, 240));
    EXPECT_NEAR(video.nominalFrameRate, 30.0, 0.01);
    EXPECT_TRUE(video.preferredTransform.isIdentity());

    ASSERT_EQ(audio.formatDescriptions.size(), 1);
    const FormatDescription &af = audio.formatDescriptions.first();
    EXPECT_EQ(af.codecName, QStringLiteral("aac"));
    EXPECT_EQ(af.formatID, 1633772320u);
    EXPECT_EQ(af.sampleRate, 48000.0);
    EXPECT_EQ(af.channels, 1);
    EXPECT_FALSE(af.audioSpecificConfig.isEmpty());

    // The AAC encoder's priming is hidden: both tracks last the two seconds.
    EXPECT_NEAR(asset->duration().seconds(), 2.0, 0.03);
    EXPECT_NEAR(video.timeRange.duration.seconds(), 2.0, 0.001);
    EXPECT_NEAR(audio.timeRange.duration.seconds(), 2.0, 0.03);
}

TEST(Asset, AudioFormatsCompareWithoutBitRate)
{
    QTemporaryDir dir;
    auto make = [&](const QString &name, const QStringList &extra) {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(testmovies::makeMovie(path, 1.0, 30, 10, true, 160, 120, extra));
        return Asset::open(path)->tracks(MediaType::Audio).first().formatDescriptions.first();
    };
    const FormatDescription base = make(QStringLiteral("a.mov"), {});
    const FormatDescription otherRate = make(QStringLiteral("b.mov"), {QStringLiteral("-b:a"), QStringLiteral("160k")});
    const FormatDescription stereo = make(QStringLiteral("c.mov"), {QStringLiteral("-ac"), QStringLiteral("2")});
    const FormatDescription resampled = make(QStringLiteral("d.mov"), {QStringLiteral("-ar"), QStringLiteral("44100")});
    EXPECT_NE(base.averageBitRate, otherRate.averageBitRate);
    EXPECT_TRUE(base.sameFormat(otherRate));
    EXPECT_FALSE(base.sameFormat(stereo));
    EXPECT_FALSE(base.sameFormat(resampled));
    EXPECT_EQ(resampled.sampleRate, 44100.0);
}

TEST(Asset, VideoFormatsDifferBySize)
{
    QTemporaryDir dir;
    const QString small = dir.filePath(QStringLiteral("small.mov"));
    const QString large = dir.filePath(QStringLiteral("large.mov"));
    const QString again = dir.filePath(QStringLiteral("again.mov"));
    ASSERT_TRUE(testmovies::makeMovie(small, 1.0, 30, 10, false, 160, 120));
    ASSERT_TRUE(testmovies::makeMovie(large, 1.0, 30, 10, false, 320, 240));
    ASSERT_TRUE(testmovies::makeMovie(again, 2.0, 30, 10, false, 160, 120));
    const auto a = Asset::open(small)->tracks().first().formatDescriptions.first();
    const auto b = Asset::open(large)->tracks().first().formatDescriptions.first();
    const auto c = Asset::open(again)->tracks().first().formatDescriptions.first();
    EXPECT_FALSE(a.sameFormat(b));
    EXPECT_TRUE(a.sameFormat(c)); // one encoder configuration, one format
}

TEST(Asset, RefusesWhatIsNotAMovie)
{
    QTemporaryDir dir;
    EXPECT_THROW(Asset::open(dir.filePath(QStringLiteral("missing.mov"))), MediaError);
    QFile junk(dir.filePath(QStringLiteral("junk.mov")));
    ASSERT_TRUE(junk.open(QIODevice::WriteOnly));
    junk.write(QByteArray(5000, 'x'));
    junk.close();
    try {
        Asset::open(junk.fileName());
        FAIL() << "a file of junk opened as a movie";
    } catch (const MediaError &error) {
        EXPECT_EQ(error.domain(), MediaError::mediaDomain());
        ASSERT_TRUE(error.underlying());
        EXPECT_EQ(error.underlying()->domain(), MediaError::ffmpegDomain());
    }
}
