// A frame numbered as the one before it is not converted again, and not encoded again either:
// the picture before it is held on screen, and written anew only after a second. The movie must
// still show, at each append's time, the pixels that append was given, last as long as the take,
// and state the take's rate to the exports however few samples it holds.

#include "platform/av/Asset.h"
#include "platform/av/TakeEncoder.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace lumacast::av {
namespace {

struct Append {
    bool light = false; // a light or a dark picture
    uint64_t picture = 0;
};

struct RepeatCase {
    std::string name;
    std::vector<Append> appends; // at 60 a second
    qsizetype samples;           // written to the movie
};

std::vector<Append> operator+(std::vector<Append> a, const std::vector<Append> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<Append> times(int n, Append a) { return std::vector<Append>(std::size_t(n), a); }

TEST(TakeEncoder, RepeatedPicturesAreHeldAndShowTheirOwnPixelsForTheWholeTake)
{
    const RepeatCase cases[] = {
        // The take ends on a held picture: its last repeat is written so that the movie lasts.
        {"repeats of one picture, then the next", {{true, 1}, {true, 1}, {true, 1}, {false, 2}, {false, 2}}, 3},
        // The source repeats a picture the encoder never got (the writer dropped it, paused or
        // busy): the frame before it is of another picture and must not stand in for it.
        {"a repeat of a picture dropped before the encoder", {{true, 1}, {false, 2}, {false, 2}}, 3},
        {"unnumbered frames are each converted", {{true, 0}, {false, 0}, {true, 0}, {true, 0}, {false, 0}}, 5},
        {"a number seen again after another picture", {{true, 1}, {false, 2}, {true, 1}}, 3},
        // 2.5 s of one picture: written at 0, 1 and 2 s, then the next picture.
        {"a still stretch longer than a hold", times(150, {true, 7}) + times(2, {false, 8}), 5},
    };
    const int width = 64, height = 48;
    std::vector<uint8_t> light(size_t(width) * height * 4, 220), dark(size_t(width) * height * 4, 30);
    for (const RepeatCase &c : cases) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        const QString path = QDir(dir.path()).filePath(QStringLiteral("repeats.mov"));
        TakeEncoder encoder(path);
        VideoSettings settings;
        settings.width = width;
        settings.height = height;
        const int track = encoder.addVideoTrack(settings);
        ASSERT_TRUE(encoder.startWriting());
        encoder.startSession(0, 600);
        for (size_t i = 0; i < c.appends.size(); ++i) {
            const Append &a = c.appends[i];
            while (!encoder.isReadyForMoreMediaData(track))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ASSERT_TRUE(encoder.appendVideo(track, (a.light ? light : dark).data(), width, height, width * 4,
                                            int64_t(i) * 10, 600, a.picture));
        }
        encoder.finishWriting();
        ASSERT_EQ(encoder.status(), TakeEncoder::Status::completed);

        const auto asset = Asset::open(path);
        const QList<AssetTrack> video = asset->tracks(MediaType::Video);
        ASSERT_EQ(video.size(), 1);
        EXPECT_EQ(asset->trackStructure(video[0])->samples.size(), c.samples);
        EXPECT_NEAR(asset->duration().seconds(), double(c.appends.size()) / 60, 0.001); // the movie's ms
        EXPECT_DOUBLE_EQ(video[0].nominalFrameRate, 60);

        // Decoded at the take's rate, every append's slot shows its own picture.
        const auto decoded = lumacast::testing::runProcess(
            QStringLiteral("ffmpeg"),
            QStringList{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                        QStringLiteral("-i"), path, QStringLiteral("-fps_mode"), QStringLiteral("cfr"),
                        QStringLiteral("-r"), QStringLiteral("60"), QStringLiteral("-f"), QStringLiteral("rawvideo"),
                        QStringLiteral("-pix_fmt"), QStringLiteral("gray"), QStringLiteral("-")});
        ASSERT_TRUE(decoded.ok()) << decoded.err.toStdString();
        ASSERT_EQ(decoded.out.size(), qsizetype(c.appends.size()) * width * height);
        for (size_t i = 0; i < c.appends.size(); ++i) {
            const uint8_t centre = uint8_t(decoded.out[qsizetype(i) * width * height + height / 2 * width + width / 2]);
            EXPECT_EQ(centre > 128, c.appends[i].light) << "frame " << i << " shows " << int(centre);
        }
    }
}

// Takes written before the encoder moved from a constant rate factor of 23 to a constant
// quantiser must still join tails written now: their parameter sets have to stay byte for byte
// what they were. The earlier take is made by the ffmpeg command line with the settings of then.
TEST(TakeEncoder, ParameterSetsEqualThoseOfTakesAtTheFormerRateFactor)
{
    QTemporaryDir dir;
    const int width = 320, height = 240;
    const QString now = QDir(dir.path()).filePath(QStringLiteral("now.mov"));
    const QString before = QDir(dir.path()).filePath(QStringLiteral("before.mov"));
    {
        TakeEncoder encoder(now);
        VideoSettings settings;
        settings.width = width;
        settings.height = height;
        settings.threads = 1;
        const int track = encoder.addVideoTrack(settings);
        ASSERT_TRUE(encoder.startWriting());
        encoder.startSession(0, 600);
        std::vector<uint8_t> pixels(size_t(width) * height * 4);
        for (int i = 0; i < 3; ++i) {
            std::fill(pixels.begin(), pixels.end(), uint8_t(60 + 50 * i));
            ASSERT_TRUE(encoder.appendVideo(track, pixels.data(), width, height, width * 4, i * 10, 600, 0));
        }
        encoder.finishWriting();
        ASSERT_EQ(encoder.status(), TakeEncoder::Status::completed);
    }
    const auto made = lumacast::testing::runProcess(
        QStringLiteral("ffmpeg"),
        QStringList{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                    QStringLiteral("-f"), QStringLiteral("lavfi"), QStringLiteral("-i"),
                    QStringLiteral("testsrc=size=%1x%2:rate=60:duration=0.1").arg(width).arg(height),
                    // No pixel aspect: takes leave it unstated, the test source states 1:1. The
                    // colour is set on the pictures: FFmpeg 7 lets theirs win over output options.
                    QStringLiteral("-vf"),
                    QStringLiteral("setsar=0,setparams=color_primaries=bt709:color_trc=bt709:colorspace=bt709:range=tv"),
                    QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"),
                    QStringLiteral("ultrafast"), QStringLiteral("-tune"), QStringLiteral("zerolatency"),
                    QStringLiteral("-profile:v"), QStringLiteral("high"), QStringLiteral("-crf"), QStringLiteral("23"),
                    QStringLiteral("-g"), QStringLiteral("120"), QStringLiteral("-bf"), QStringLiteral("0"),
                    QStringLiteral("-threads"), QStringLiteral("1"), QStringLiteral("-pix_fmt"),
                    QStringLiteral("yuv420p"), QStringLiteral("-video_track_timescale"), QStringLiteral("60000"),
                    before});
    ASSERT_TRUE(made.ok()) << made.err.toStdString();

    const QList<AssetTrack> ours = Asset::open(now)->tracks(MediaType::Video);
    const QList<AssetTrack> theirs = Asset::open(before)->tracks(MediaType::Video);
    ASSERT_EQ(ours.size(), 1);
    ASSERT_EQ(theirs.size(), 1);
    ASSERT_EQ(ours[0].formatDescriptions.size(), 1);
    ASSERT_EQ(theirs[0].formatDescriptions.size(), 1);
    EXPECT_TRUE(ours[0].formatDescriptions[0].sameFormat(theirs[0].formatDescriptions[0]))
        << ours[0].formatDescriptions[0].describe().toStdString() << "\n"
        << theirs[0].formatDescriptions[0].describe().toStdString();
}

} // namespace
} // namespace lumacast::av
