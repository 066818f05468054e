#include "platform/av/AacTrackEncoder.h"
#include "platform/av/AssetReader.h"
#include "platform/av/Composition.h"

#include "TestMovies.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace lumacast::av;

TEST(AacTrackEncoder, EncodesBesidePassedThroughVideoWithPrimingHidden)
{
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.mov"));
    const QString out = dir.filePath(QStringLiteral("mixed.mov"));
    ASSERT_TRUE(testmovies::makeMovie(source, 1.0, 30, 10, false));
    const auto asset = Asset::open(source);
    Composition composition;
    const int video = composition.addTrack(MediaType::Video);
    composition.insertTimeRange(video, {MediaTime::zero(), asset->duration()}, asset, 0, MediaTime::zero());

    // One second of a 44.1 kHz stereo tone, encoded at 48 kHz.
    std::vector<float> tone(44100 * 2);
    for (int i = 0; i < 44100; ++i)
        tone[std::size_t(2 * i)] = tone[std::size_t(2 * i + 1)] = float(0.5 * std::sin(2 * M_PI * 440 * i / 44100.0));
    PassthroughOptions options;
    options.appendTracks = [&](MovieWriter &writer) {
        AacTrackEncoder encoder(writer, {48000, 2, 128000});
        encoder.append(tone.data(), 22050, 44100, 2);
        encoder.append(tone.data() + 44100, 22050, 44100, 2);
        encoder.finish();
        EXPECT_NEAR(double(encoder.framesIn()), 48000.0, 2.0);
        EXPECT_THROW(encoder.append(tone.data(), 10, 44100, 2), MediaError);
    };
    writePassthrough(composition, out, options);

    const auto mixed = Asset::open(out);
    ASSERT_EQ(mixed->tracks().size(), 2);
    EXPECT_EQ(mixed->tracks()[0].mediaType, MediaType::Video);
    const AssetTrack &audio = mixed->tracks()[1];
    ASSERT_EQ(audio.mediaType, MediaType::Audio);
    EXPECT_EQ(audio.formatDescriptions.first().codecName, QStringLiteral("aac"));
    EXPECT_EQ(audio.formatDescriptions.first().channels, 2);
    EXPECT_EQ(audio.formatDescriptions.first().sampleRate, 48000.0);
    EXPECT_NEAR(audio.timeRange.duration.seconds(), 1.0, 0.002);
    EXPECT_EQ(mixed->trackStructure(audio)->edits.first().mediaTime, 1024);
    // libavformat trims the priming through the edit but delivers the last frame whole.
    EXPECT_NEAR(double(testmovies::decodedAudioSamples(out)), 48000.0, 1024.0);

    // The tone survives: its level after decoding is close to what went in.
    AssetReader reader(mixed, 1, MediaTimeRange{MediaTime(1, 4), MediaTime(1, 2)});
    double energy = 0;
    qint64 count = 0;
    while (auto block = reader.nextAudio()) {
        const auto *f = reinterpret_cast<const float *>(block->samples.constData());
        for (qint64 i = 0; i < block->frameCount * block->channels; ++i)
            energy += double(f[i]) * f[i];
        count += block->frameCount * block->channels;
    }
    ASSERT_GT(count, 0);
    EXPECT_NEAR(std::sqrt(energy / double(count)), 0.5 / std::sqrt(2.0), 0.03);

    EXPECT_TRUE(AacTrackEncoder::canApply({44100, 1, 64000}));
    EXPECT_FALSE(AacTrackEncoder::canApply({48000, 0, 0}));
}
