// Camera frames of odd and even sizes in the YUV layouts cameras deliver, converted for the
// webcam preview. Qt's own conversion before 6.8 writes past its image for 4:2:2 frames; here
// every frame whose planes hold its size comes out whole and in its colour, and one whose planes
// are short (Qt 6.4 lays out frames of some odd sizes so) is an error, not a read past them.

#include "platform/av/MediaError.h"
#include "platform/av/VideoFrameConverter.h"

#include <QVideoFrame>
#include <QVideoFrameFormat>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace lumacast::av {
namespace {

// BT.601 video-range red.
constexpr uint8_t kY = 81, kU = 90, kV = 240;

struct Plane {
    int rowBytes, rows;
    std::vector<uint8_t> pattern; // repeated along each row
};

struct FormatCase {
    QVideoFrameFormat::PixelFormat format;
    bool grey;
    // The planes in Qt's order, for a frame of that size.
    std::vector<Plane> (*planes)(int w, int h);
};

int half(int n) { return (n + 1) / 2; }

const FormatCase kFormats[] = {
    {QVideoFrameFormat::Format_YUV420P, false,
     [](int w, int h) { return std::vector<Plane>{{w, h, {kY}}, {half(w), half(h), {kU}}, {half(w), half(h), {kV}}}; }},
    {QVideoFrameFormat::Format_YV12, false,
     [](int w, int h) { return std::vector<Plane>{{w, h, {kY}}, {half(w), half(h), {kV}}, {half(w), half(h), {kU}}}; }},
    {QVideoFrameFormat::Format_YUV422P, false,
     [](int w, int h) { return std::vector<Plane>{{w, h, {kY}}, {half(w), h, {kU}}, {half(w), h, {kV}}}; }},
    {QVideoFrameFormat::Format_YUYV, false,
     [](int w, int h) { return std::vector<Plane>{{4 * half(w), h, {kY, kU, kY, kV}}}; }},
    {QVideoFrameFormat::Format_UYVY, false,
     [](int w, int h) { return std::vector<Plane>{{4 * half(w), h, {kU, kY, kV, kY}}}; }},
    {QVideoFrameFormat::Format_NV12, false,
     [](int w, int h) { return std::vector<Plane>{{w, h, {kY}}, {2 * half(w), half(h), {kU, kV}}}; }},
    {QVideoFrameFormat::Format_NV21, false,
     [](int w, int h) { return std::vector<Plane>{{w, h, {kY}}, {2 * half(w), half(h), {kV, kU}}}; }},
    {QVideoFrameFormat::Format_Y8, true, [](int w, int h) { return std::vector<Plane>{{w, h, {kY}}}; }},
};

// From 2x2: Qt 6.4 divides by zero mapping a 4:2:0 frame of 1x1 it made in memory itself (a
// camera's frames come in buffers of their own).
const QSize kSizes[] = {{2, 2}, {3, 3}, {299, 301}, {300, 300}, {330, 250}, {641, 479}, {1366, 768}};

// Whether every plane Qt mapped holds the rows the frame's size needs.
bool planesHoldTheSize(const QVideoFrame &mapped, const std::vector<Plane> &planes)
{
    for (int p = 0; p < int(planes.size()); ++p) {
        const qint64 stride = mapped.bytesPerLine(p);
        if (stride < planes[size_t(p)].rowBytes
            || mapped.mappedBytes(p) < stride * (planes[size_t(p)].rows - 1) + planes[size_t(p)].rowBytes)
            return false;
    }
    return true;
}

void fill(QVideoFrame &mapped, const std::vector<Plane> &planes)
{
    for (int p = 0; p < int(planes.size()); ++p) {
        const std::vector<uint8_t> &pattern = planes[size_t(p)].pattern;
        for (int i = 0; i < mapped.mappedBytes(p); ++i)
            mapped.bits(p)[i] = pattern[size_t(i % mapped.bytesPerLine(p)) % pattern.size()];
    }
}

TEST(VideoFrameConverter, CameraFramesOfEverySizeComeOutWholeOrAreRefused)
{
    VideoFrameConverter converter;
    for (const FormatCase &c : kFormats)
        for (const QSize size : kSizes) {
            SCOPED_TRACE(::testing::Message() << QVideoFrameFormat::pixelFormatToString(c.format).toStdString() << " "
                                            << size.width() << "x" << size.height());
            QVideoFrame frame(QVideoFrameFormat(size, c.format));
            ASSERT_TRUE(frame.map(QVideoFrame::WriteOnly));
            const std::vector<Plane> planes = c.planes(size.width(), size.height());
            ASSERT_EQ(frame.planeCount(), int(planes.size()));
            const bool whole = planesHoldTheSize(frame, planes);
            if (whole)
                fill(frame, planes);
            frame.unmap();
            if (!whole) {
                EXPECT_THROW(converter.toImage(frame), MediaError);
                continue;
            }
            const QImage image = converter.toImage(frame);
            ASSERT_EQ(image.size(), size);
            int wrong = 0;
            for (int y = 0; y < size.height(); ++y)
                for (int x = 0; x < size.width(); ++x) {
                    const QRgb p = image.pixel(x, y);
                    // Grey frames are full range, as FFmpeg reads them.
                    wrong += c.grey ? std::abs(qRed(p) - kY) > 2 || qGreen(p) != qRed(p) || qBlue(p) != qRed(p)
                                    : qRed(p) < 240 || qGreen(p) > 16 || qBlue(p) > 16;
                }
            EXPECT_EQ(wrong, 0);
        }
}

TEST(VideoFrameConverter, AFrameWithoutPixelsGivesNoImage)
{
    VideoFrameConverter converter;
    EXPECT_TRUE(converter.toImage(QVideoFrame()).isNull());
}

} // namespace
} // namespace lumacast::av
