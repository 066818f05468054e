#include "platform/av/PictureConverter.h"

#include "platform/av/MediaError.h"

extern "C" {
#include <libavutil/mem.h>
#include <libavutil/pixdesc.h>
}

#include <QString>

namespace lumacast::av::detail {

namespace {

MediaError cannotConvert(const AVFrame *frame, const QString &why)
{
    const char *name = av_get_pix_fmt_name(AVPixelFormat(frame->format));
    return MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                      QStringLiteral("A picture of %1 \u00D7 %2 pixels in the format %3 cannot be shown.")
                          .arg(frame->width)
                          .arg(frame->height)
                          .arg(QString::fromLatin1(name ? name : "unknown")),
                      why);
}

bool isFullRange(const AVFrame *frame)
{
    if (frame->color_range != AVCOL_RANGE_UNSPECIFIED)
        return frame->color_range == AVCOL_RANGE_JPEG;
    switch (AVPixelFormat(frame->format)) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P:
        return true;
    default:
        return false;
    }
}

} // namespace

ImageLayout ImageLayout::of(int width, int height)
{
    ImageLayout layout;
    layout.stride = (qsizetype(width) * 4 + kRowStep - 1) / kRowStep * kRowStep;
    layout.bytes = layout.stride * height + kTail;
    return layout;
}

PictureConverter::~PictureConverter()
{
    sws_freeContext(m_scaler);
}

QImage PictureConverter::toImage(const AVFrame *frame)
{
    checkConvertible(frame);
    const ImageLayout layout = ImageLayout::of(frame->width, frame->height);
    auto *pixels = static_cast<uint8_t *>(av_malloc(size_t(layout.bytes)));
    if (!pixels)
        throw MediaError::fromAv(AVERROR(ENOMEM), QStringLiteral("There is not enough memory to show a picture."));
    // The image frees the buffer with FFmpeg's allocator, on whichever thread lets it go last.
    QImage image(pixels, frame->width, frame->height, layout.stride, QImage::Format_RGB32, av_free, pixels);
    convert(frame, pixels, layout.stride);
    return image;
}

void PictureConverter::convert(const AVFrame *frame, std::uint8_t *pixels, qsizetype stride)
{
    SwsContext *scaler = scalerFor(frame);
    if (stride < ImageLayout::of(frame->width, frame->height).stride)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("A picture cannot be converted into rows shorter than its layout's."));
    uint8_t *planes[4] = {pixels, nullptr, nullptr, nullptr};
    int strides[4] = {int(stride), 0, 0, 0};
    const int rows = sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
    if (rows < 0)
        throw MediaError::fromAv(rows, QStringLiteral("The picture could not be converted."));
}

void PictureConverter::checkConvertible(const AVFrame *frame)
{
    if (frame->width <= 0 || frame->height <= 0 || frame->width > kLargestPictureSide
        || frame->height > kLargestPictureSide)
        throw cannotConvert(frame, QStringLiteral("Its size is outside 1 to %1 pixels on a side.").arg(kLargestPictureSide));
    if (!sws_isSupportedInput(AVPixelFormat(frame->format)))
        throw cannotConvert(frame, QStringLiteral("Its pixel format cannot be read."));
}

// The converter for pictures like `frame`, with the colour matrix and range it is tagged with.
SwsContext *PictureConverter::scalerFor(const AVFrame *frame)
{
    checkConvertible(frame);
    if (!frame->data[0])
        throw cannotConvert(frame, QStringLiteral("It holds no pixels."));
    const auto format = AVPixelFormat(frame->format);
    m_scaler = sws_getCachedContext(m_scaler, frame->width, frame->height, format, frame->width, frame->height,
                                    AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!m_scaler)
        throw cannotConvert(frame, QStringLiteral("The converter refused it."));
    const int matrix = frame->colorspace == AVCOL_SPC_UNSPECIFIED || frame->colorspace == AVCOL_SPC_RGB
                         ? SWS_CS_DEFAULT
                         : int(frame->colorspace);
    const bool fullRange = isFullRange(frame);
    // A converter made anew (possibly at the old one's address) starts from the defaults.
    const Tuning tuning{m_scaler, frame->width, frame->height, frame->format, matrix, fullRange};
    if (!(tuning == m_tuning)) {
        int *inverse = nullptr, *table = nullptr, sourceFull = 0, destinationFull = 0;
        int brightness = 0, contrast = 0, saturation = 0;
        if (sws_getColorspaceDetails(m_scaler, &inverse, &sourceFull, &table, &destinationFull, &brightness,
                                     &contrast, &saturation) >= 0)
            sws_setColorspaceDetails(m_scaler, sws_getCoefficients(matrix), fullRange ? 1 : 0, table,
                                     destinationFull, brightness, contrast, saturation);
        m_tuning = tuning;
    }
    return m_scaler;
}

} // namespace lumacast::av::detail
