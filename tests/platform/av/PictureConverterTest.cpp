// Decoded pictures of every size a window or a movie can have, converted into 32-bit images.
// The converter's vector code is not instrumented, so AddressSanitizer cannot see it write past
// a buffer: each conversion goes into a buffer followed by a guard of marker bytes, which must
// stay untouched, and must give the pixels of a conversion into rows with room to spare (with
// FFmpeg 5.1's vector code, a buffer only as large as a 300x300 picture fails it).

#include "platform/av/Asset.h"
#include "platform/av/AssetReader.h"
#include "platform/av/MediaError.h"
#include "platform/av/PictureConverter.h"
#include "support/TestEnvironment.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <vector>

namespace lumacast::av::detail {
namespace {

struct Size {
    int width, height;
};

// Single pixels and lines, sizes with every remainder of a vector step, and the window sizes
// that crashed the filmstrip.
const Size kSizes[] = {{1, 1},     {2, 2},     {1, 17},    {17, 1},    {3, 5},     {299, 301},
                       {300, 300}, {330, 250}, {302, 240}, {450, 350}, {640, 400}, {1366, 768}};

const AVPixelFormat kFormats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUV444P,
                                  AV_PIX_FMT_NV12,    AV_PIX_FMT_YUYV422,  AV_PIX_FMT_YUV420P10LE};

constexpr std::uint8_t kMarker = 0xA5;
constexpr qsizetype kGuard = 4096;

struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

// A decoded picture as FFmpeg lays it out, of pseudo-random samples.
FramePtr randomPicture(AVPixelFormat format, Size size, std::mt19937 &random)
{
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = size.width;
    frame->height = size.height;
    EXPECT_EQ(av_frame_get_buffer(frame.get(), 0), 0);
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(format);
    const bool deep = d->comp[0].depth > 8;
    for (int plane = 0; plane < 4 && frame->data[plane]; ++plane) {
        const int rows = plane == 0 ? size.height : AV_CEIL_RSHIFT(size.height, int(d->log2_chroma_h));
        for (int row = 0; row < rows; ++row)
            for (int x = 0; x < frame->linesize[plane]; ++x)
                // 10-bit samples keep their top bits clear, as a decoder gives them.
                frame->data[plane][row * frame->linesize[plane] + x] = uint8_t(random() & (deep && (x & 1) ? 3 : 255));
    }
    return frame;
}

// A conversion into `stride`-byte rows at the start of a buffer of `bytes` and a guard after it.
struct Converted {
    std::vector<std::uint8_t> buffer;
    qsizetype stride, bytes;
    Converted(qsizetype rowBytes, qsizetype total) : buffer(size_t(total + kGuard), kMarker), stride(rowBytes), bytes(total) {}
    bool guardTouched() const
    {
        for (qsizetype i = bytes; i < qsizetype(buffer.size()); ++i)
            if (buffer[size_t(i)] != kMarker)
                return true;
        return false;
    }
    // Rows whose pixels differ from `reference`'s.
    int rowsDifferingFrom(const Converted &reference, Size size) const
    {
        int rows = 0;
        for (int y = 0; y < size.height; ++y)
            rows += std::memcmp(&buffer[size_t(y * stride)], &reference.buffer[size_t(y * reference.stride)],
                                size_t(size.width) * 4) != 0;
        return rows;
    }
};

// Rows and rows with room to spare: what the converter writes with nothing in its way.
Converted reference(PictureConverter &converter, const AVFrame *frame)
{
    const ImageLayout layout = ImageLayout::of(frame->width, frame->height);
    Converted roomy(layout.stride + 256, (layout.stride + 256) * (frame->height + 4));
    converter.convert(frame, roomy.buffer.data(), roomy.stride);
    return roomy;
}

TEST(PictureConverter, EverySizeAndFormatConvertsWithinItsLayoutAsWithRoomToSpare)
{
    std::mt19937 random(300);
    for (AVPixelFormat format : kFormats)
        for (Size size : kSizes) {
            SCOPED_TRACE(::testing::Message() << av_get_pix_fmt_name(format) << " " << size.width << "x" << size.height);
            const FramePtr frame = randomPicture(format, size, random);
            PictureConverter converter;
            const Converted roomy = reference(converter, frame.get());
            const ImageLayout layout = ImageLayout::of(size.width, size.height);
            Converted laidOut(layout.stride, layout.bytes);
            converter.convert(frame.get(), laidOut.buffer.data(), laidOut.stride);
            EXPECT_FALSE(laidOut.guardTouched());
            EXPECT_EQ(laidOut.rowsDifferingFrom(roomy, size), 0);

            // The image the readers hand on is that conversion, in a buffer of that layout.
            const QImage image = converter.toImage(frame.get());
            ASSERT_EQ(image.size(), QSize(size.width, size.height));
            EXPECT_EQ(image.format(), QImage::Format_RGB32);
            EXPECT_EQ(image.bytesPerLine(), layout.stride);
            for (int y = 0; y < size.height; ++y) {
                ASSERT_EQ(std::memcmp(image.constScanLine(y), &roomy.buffer[size_t(y * roomy.stride)], size_t(size.width) * 4), 0)
                    << "row " << y;
            }
        }
}

TEST(PictureConverter, SizesAndFormatsThatCannotBeConvertedAreErrors)
{
    const struct {
        int width, height, format;
    } cases[] = {{0, 0, AV_PIX_FMT_YUV420P},     {-4, 8, AV_PIX_FMT_YUV420P},    {16385, 2, AV_PIX_FMT_YUV420P},
                 {2, 16385, AV_PIX_FMT_YUV420P}, {64, 48, AV_PIX_FMT_NONE},      {64, 48, 100000},
                 {64, 48, AV_PIX_FMT_VAAPI}};
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << " format " << c.format);
        FramePtr frame(av_frame_alloc());
        frame->width = c.width;
        frame->height = c.height;
        frame->format = c.format;
        std::vector<std::uint8_t> pixels(64);
        frame->data[0] = pixels.data(); // never read
        frame->linesize[0] = 64;
        PictureConverter converter;
        try {
            converter.toImage(frame.get());
            ADD_FAILURE() << "converted";
        } catch (const MediaError &error) {
            EXPECT_EQ(error.domain(), MediaError::mediaDomain());
            EXPECT_EQ(error.code(), MediaError::UnsupportedFormat);
        }
        frame->data[0] = nullptr;
    }
}

// A movie whose pictures are wider than any take (JPEG allows that) opens, and each reader of
// its pictures fails with an error that names it.
TEST(PictureConverter, AMovieOfPicturesTooLargeToConvertIsAnErrorOfEveryReader)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("wide.mov"));
    const auto made = lumacast::testing::runProcess(
        QStringLiteral("ffmpeg"), {"-v", "error", "-f", "lavfi", "-i", "color=c=red:size=16400x16:rate=5:duration=0.4",
                                   "-c:v", "mjpeg", "-pix_fmt", "yuvj420p", path});
    ASSERT_TRUE(made.ok()) << made.err.toStdString();
    const auto asset = Asset::open(path);
    const auto expectRefusal = [](const std::function<void()> &read) {
        try {
            read();
            ADD_FAILURE() << "converted";
        } catch (const MediaError &error) {
            EXPECT_EQ(error.code(), MediaError::DecodeFailed);
            EXPECT_TRUE(error.message().contains(QStringLiteral("wide.mov")));
            ASSERT_NE(error.underlying(), nullptr);
            EXPECT_EQ(error.underlying()->code(), MediaError::UnsupportedFormat);
        }
    };
    expectRefusal([&] { ImageGenerator(asset).imageAt(MediaTime::zero()); });
    expectRefusal([&] { AssetReader(asset, asset->tracks(MediaType::Video).first().index).nextVideoFrame(); });
}

} // namespace
} // namespace lumacast::av::detail
