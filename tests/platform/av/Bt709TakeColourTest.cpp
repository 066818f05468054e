// The stream of a take is tagged BT.709, so a player decodes it with BT.709 coefficients: the
// encoder has to convert with the same, or every saturated colour comes back shifted.

#include "platform/av/TakeEncoder.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace lumacast::av {
namespace {

TEST(Bt709TakeColour, SolidColoursDecodeBackThroughTheStreamTags)
{
    // A quadrant per colour: the primaries are where the matrices differ most; grey shows that
    // the range is the limited one.
    const int colours[4][3]{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {128, 128, 128}};
    const int width = 128, height = 96;
    std::vector<uint8_t> bgra(size_t(width) * height * 4, 255);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const int *c = colours[(y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0)];
            uint8_t *p = &bgra[(size_t(y) * width + x) * 4];
            p[0] = uint8_t(c[2]), p[1] = uint8_t(c[1]), p[2] = uint8_t(c[0]);
        }

    QTemporaryDir dir;
    const QString path = QDir(dir.path()).filePath(QStringLiteral("colours.mov"));
    TakeEncoder encoder(path);
    VideoSettings settings;
    settings.width = width;
    settings.height = height;
    const int track = encoder.addVideoTrack(settings);
    ASSERT_TRUE(encoder.startWriting()) << (encoder.error() ? encoder.error()->message() : QString()).toStdString();
    encoder.startSession(0, 600);
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(encoder.appendVideo(track, bgra.data(), width, height, width * 4, i * 10, 600));
    encoder.finishWriting();
    ASSERT_EQ(encoder.status(), TakeEncoder::Status::completed);

    const auto decoded = lumacast::testing::runProcess(
        QStringLiteral("ffmpeg"),
        QStringList{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"),
                    QStringLiteral("error"), QStringLiteral("-i"), path, QStringLiteral("-frames:v"), QStringLiteral("1"),
                    QStringLiteral("-f"), QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"),
                    QStringLiteral("rgb24"), QStringLiteral("-")});
    ASSERT_TRUE(decoded.ok()) << decoded.err.toStdString();
    ASSERT_EQ(decoded.out.size(), width * height * 3);
    for (int q = 0; q < 4; ++q) {
        // The middle of the quadrant, clear of the borders where the chroma of two colours meets.
        const int x = q % 2 * width / 2 + width / 4, y = q / 2 * height / 2 + height / 4;
        const char *p = decoded.out.constData() + (y * width + x) * 3;
        for (int channel = 0; channel < 3; ++channel)
            EXPECT_LE(std::abs(uint8_t(p[channel]) - colours[q][channel]), 3)
                << "quadrant " << q << ", channel " << channel;
    }
}

} // namespace
} // namespace lumacast::av
