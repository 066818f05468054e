#pragma once

// The conversion of decoded pictures into 32-bit images, shared by the readers, the image
// generator and the camera preview. Internal to the media layer: it exposes FFmpeg types.

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <QImage>
#include <QtGlobal>

#include <cstdint>

namespace lumacast::av::detail {

// The largest side of a picture that is converted: the largest a take can be recorded at. A
// stream that states more (a damaged or crafted movie) is refused, not converted.
constexpr int kLargestPictureSide = 16384;

// How a 32-bit picture lies in the memory swscale converts into. Its vector code writes whole
// steps of up to 16 pixels (64 bytes), past the end of a row whose width is not a multiple of
// that; given a row no longer than the width, it leaves the last pixels unconverted or writes
// past the end of the picture instead. So every row is a whole number of 64-byte steps, and the
// buffer holds 64 bytes more behind the last one, as FFmpeg's own frame buffers do.
struct ImageLayout {
    qsizetype stride = 0; // bytes from one row to the next
    qsizetype bytes = 0;  // the whole buffer

    static constexpr qsizetype kRowStep = 64;
    static constexpr qsizetype kTail = 64;

    // For a picture of 1...kLargestPictureSide on each side.
    static ImageLayout of(int width, int height);
};

// Converts decoded pictures into QImage::Format_RGB32 images (BGRA in memory here), with the
// colour matrix and range each picture is tagged with, as players do: untagged pictures get the
// converter's default (BT.601), and the "J" formats are full range. Keeps its converter between
// pictures of one size and format. One object is used by one thread at a time.
class PictureConverter {
public:
    PictureConverter() = default;
    ~PictureConverter();
    PictureConverter(const PictureConverter &) = delete;
    PictureConverter &operator=(const PictureConverter &) = delete;

    // The picture in a buffer laid out as `ImageLayout::of` says, which the image owns. Throws
    // MediaError(UnsupportedFormat) for a picture with no size, a side above
    // kLargestPictureSide or a pixel format swscale cannot read, and the FFmpeg domain's
    // ENOMEM when there is no memory for it.
    QImage toImage(const AVFrame *frame);

    // The conversion alone, into rows `stride` bytes apart at `pixels`, which holds `stride` x
    // height bytes and the layout's tail. Throws as `toImage` does, and MediaError(InvalidArgument)
    // for a stride shorter than `ImageLayout::of`'s, before it writes anything.
    void convert(const AVFrame *frame, std::uint8_t *pixels, qsizetype stride);

    // Throws as `toImage` does for a picture of that size and format, which need not hold its
    // pixels yet: for a frame about to be allocated.
    static void checkConvertible(const AVFrame *frame);

private:
    SwsContext *scalerFor(const AVFrame *frame);

    SwsContext *m_scaler = nullptr;
    // The converter whose colour matrix and range were last set, for which pictures, and to what.
    struct Tuning {
        SwsContext *scaler = nullptr;
        int width = 0, height = 0, format = -1;
        int matrix = -1;
        bool fullRange = false;
        friend bool operator==(const Tuning &, const Tuning &) = default;
    };
    Tuning m_tuning;
};

} // namespace lumacast::av::detail
