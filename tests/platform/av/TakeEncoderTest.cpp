// A frame numbered as the one before it is encoded from that frame's conversion: the movie must
// still show, frame by frame, the pixels each append was given.

#include "platform/av/TakeEncoder.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumacast::av {
namespace {

struct Append {
    bool light = false; // a light or a dark picture
    uint64_t picture = 0;
};

struct RepeatCase {
    std::string name;
    std::vector<Append> appends;
};

TEST(TakeEncoder, RepeatedPictureNumbersStillShowTheirOwnPixels)
{
    const RepeatCase cases[] = {
        {"repeats of one picture, then the next", {{true, 1}, {true, 1}, {true, 1}, {false, 2}, {false, 2}}},
        // The source repeats a picture the encoder never got (the writer dropped it, paused or
        // busy): the frame before it is of another picture and must not be sent again.
        {"a repeat of a picture dropped before the encoder", {{true, 1}, {false, 2}, {false, 2}}},
        {"unnumbered frames are each converted", {{true, 0}, {false, 0}, {true, 0}, {true, 0}, {false, 0}}},
        {"a number seen again after another picture", {{true, 1}, {false, 2}, {true, 1}}},
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
            ASSERT_TRUE(encoder.appendVideo(track, (a.light ? light : dark).data(), width, height, width * 4,
                                            int64_t(i) * 10, 600, a.picture));
        }
        encoder.finishWriting();
        ASSERT_EQ(encoder.status(), TakeEncoder::Status::completed);

        const auto decoded = lumacast::testing::runProcess(
            QStringLiteral("ffmpeg"),
            QStringList{QStringLiteral("-hide_banner"), QStringLiteral("-loglevel"), QStringLiteral("error"),
                        QStringLiteral("-i"), path, QStringLiteral("-fps_mode"), QStringLiteral("passthrough"),
                        QStringLiteral("-f"), QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"),
                        QStringLiteral("gray"), QStringLiteral("-")});
        ASSERT_TRUE(decoded.ok()) << decoded.err.toStdString();
        ASSERT_EQ(decoded.out.size(), qsizetype(c.appends.size()) * width * height);
        for (size_t i = 0; i < c.appends.size(); ++i) {
            const uint8_t centre = uint8_t(decoded.out[qsizetype(i) * width * height + height / 2 * width + width / 2]);
            EXPECT_EQ(centre > 128, c.appends[i].light) << "frame " << i << " shows " << int(centre);
        }
    }
}

} // namespace
} // namespace lumacast::av
