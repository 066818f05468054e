// A take's colours must survive the round trip through the movie: the stream is tagged BT.709,
// so a player decodes it with BT.709 coefficients and the encoder has to convert with the same.

#include "platform/media/TakeEncoder.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <vector>

namespace lumacast::media {
namespace {

struct Rgb {
    int r, g, b;
};

TEST(Bt709TakeColour, SolidColoursDecodeBackThroughTheStreamTags)
{
    // One quadrant per colour: the saturated primaries are where the coefficients differ most
    // from the older standard; grey shows the range is limited, not full.
    const std::array<Rgb, 4> colours{{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {128, 128, 128}}};
    const int width = 128, height = 96;
    std::vector<uint8_t> bgra(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Rgb &c = colours[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
            uint8_t *p = &bgra[(size_t(y) * width + x) * 4];
            p[0] = uint8_t(c.b), p[1] = uint8_t(c.g), p[2] = uint8_t(c.r), p[3] = 255;
        }

    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("colours.mov"));
    {
        TakeEncoder encoder(path);
        VideoSettings settings;
        settings.width = width;
        settings.height = height;
        const int track = encoder.addVideoTrack(settings);
        ASSERT_TRUE(encoder.startWriting()) << encoder.errorDescription().toStdString();
        encoder.startSession(0, 60000);
        for (int i = 0; i < 4; ++i)
            ASSERT_TRUE(encoder.appendVideo(track, bgra.data(), width, height, width * 4, i * 1000, 60000));
        encoder.finishWriting();
        ASSERT_EQ(encoder.status(), TakeEncoder::Status::completed) << encoder.errorDescription().toStdString();
    }

    const auto decoded = lumacast::testing::runProcess(
        QStringLiteral("ffmpeg"),
        {QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
         QStringLiteral("-i"), path, QStringLiteral("-frames:v"), QStringLiteral("1"),
         QStringLiteral("-f"), QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"),
         QStringLiteral("rgb24"), QStringLiteral("-")});
    ASSERT_TRUE(decoded.ok()) << decoded.err.toStdString();
    ASSERT_EQ(decoded.out.size(), width * height * 3);

    for (int q = 0; q < 4; ++q) {
        // The middle of the quadrant, clear of the borders where chroma of two colours meets.
        const int x = (q % 2) * width / 2 + width / 4;
        const int y = (q / 2) * height / 2 + height / 4;
        const auto *p = reinterpret_cast<const uint8_t *>(decoded.out.constData()) + (y * width + x) * 3;
        const Rgb &want = colours[q];
        EXPECT_LE(std::abs(p[0] - want.r), 3) << "quadrant " << q << " red";
        EXPECT_LE(std::abs(p[1] - want.g), 3) << "quadrant " << q << " green";
        EXPECT_LE(std::abs(p[2] - want.b), 3) << "quadrant " << q << " blue";
    }
}

} // namespace
} // namespace lumacast::media
