#include "platform/av/VideoFrameConverter.h"

#include "platform/av/MediaError.h"
#include "platform/av/PictureConverter.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
}

#include <QVideoFrame>
#include <QVideoFrameFormat>

#include <array>
#include <cstring>
#include <optional>

namespace lumacast::av {

namespace {

// A Qt pixel format as FFmpeg's, with the Qt plane that holds each of FFmpeg's planes.
struct PlaneMap {
    AVPixelFormat format;
    std::array<int, 3> qtPlane{0, 1, 2};
};

std::optional<PlaneMap> ffmpegLayoutOf(QVideoFrameFormat::PixelFormat format)
{
    switch (format) {
    case QVideoFrameFormat::Format_YUV420P:
        return PlaneMap{AV_PIX_FMT_YUV420P};
    case QVideoFrameFormat::Format_YV12: // Y, then V, then U
        return PlaneMap{AV_PIX_FMT_YUV420P, {0, 2, 1}};
    case QVideoFrameFormat::Format_YUV422P:
        return PlaneMap{AV_PIX_FMT_YUV422P};
    case QVideoFrameFormat::Format_YUV420P10:
        return PlaneMap{AV_PIX_FMT_YUV420P10LE};
    case QVideoFrameFormat::Format_UYVY:
        return PlaneMap{AV_PIX_FMT_UYVY422};
    case QVideoFrameFormat::Format_YUYV:
        return PlaneMap{AV_PIX_FMT_YUYV422};
    case QVideoFrameFormat::Format_NV12:
        return PlaneMap{AV_PIX_FMT_NV12};
    case QVideoFrameFormat::Format_NV21:
        return PlaneMap{AV_PIX_FMT_NV21};
    case QVideoFrameFormat::Format_P010:
        return PlaneMap{AV_PIX_FMT_P010LE};
    case QVideoFrameFormat::Format_P016:
        return PlaneMap{AV_PIX_FMT_P016LE};
    case QVideoFrameFormat::Format_Y8:
        return PlaneMap{AV_PIX_FMT_GRAY8};
    case QVideoFrameFormat::Format_Y16:
        return PlaneMap{AV_PIX_FMT_GRAY16LE};
    default:
        return std::nullopt;
    }
}

MediaError unreadable(const QString &why)
{
    return MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                      QStringLiteral("A camera picture cannot be shown."), why);
}

// The colour matrix and range the frame is tagged with, as FFmpeg names them.
void tagColours(AVFrame *frame, const QVideoFrameFormat &format)
{
    switch (format.colorSpace()) {
    case QVideoFrameFormat::ColorSpace_BT601:
        frame->colorspace = AVCOL_SPC_SMPTE170M;
        break;
    case QVideoFrameFormat::ColorSpace_BT709:
        frame->colorspace = AVCOL_SPC_BT709;
        break;
    case QVideoFrameFormat::ColorSpace_BT2020:
        frame->colorspace = AVCOL_SPC_BT2020_NCL;
        break;
    default:
        frame->colorspace = AVCOL_SPC_UNSPECIFIED;
        break;
    }
    frame->color_range = format.colorRange() == QVideoFrameFormat::ColorRange_Full    ? AVCOL_RANGE_JPEG
                       : format.colorRange() == QVideoFrameFormat::ColorRange_Video ? AVCOL_RANGE_MPEG
                                                                                    : AVCOL_RANGE_UNSPECIFIED;
}

// Copies the mapped frame's planes into `into`, whose buffers FFmpeg allocated for its size and
// format, after checking that each plane holds the rows that size needs.
void copyPlanes(const QVideoFrame &mapped, const PlaneMap &map, AVFrame *into)
{
    const AVPixFmtDescriptor *descriptor = av_pix_fmt_desc_get(map.format);
    const int planes = av_pix_fmt_count_planes(map.format);
    // Pixels of a packed 4:2:2 row share their chroma in pairs: an odd width ends on a whole pair.
    const int chromaStep = 1 << descriptor->log2_chroma_w;
    const bool packed = !(descriptor->flags & AV_PIX_FMT_FLAG_PLANAR);
    const int rowWidth = packed ? (into->width + chromaStep - 1) / chromaStep * chromaStep : into->width;
    for (int plane = 0; plane < planes; ++plane) {
        const int qtPlane = map.qtPlane[size_t(plane)];
        const int rowBytes = av_image_get_linesize(map.format, rowWidth, plane);
        const int rows = plane == 0 ? into->height : AV_CEIL_RSHIFT(into->height, int(descriptor->log2_chroma_h));
        const uchar *bits = qtPlane < mapped.planeCount() ? mapped.bits(qtPlane) : nullptr;
        const qint64 stride = bits ? mapped.bytesPerLine(qtPlane) : 0;
        if (!bits || rowBytes <= 0 || stride < rowBytes
            || qint64(mapped.mappedBytes(qtPlane)) < stride * (rows - 1) + rowBytes)
            throw unreadable(QStringLiteral("Its plane %1 is shorter than its size needs.").arg(qtPlane));
        av_image_copy_plane(into->data[plane], into->linesize[plane], bits, int(stride), rowBytes, rows);
    }
}

struct FrameDeleter {
    void operator()(AVFrame *frame) const { av_frame_free(&frame); }
};

} // namespace

VideoFrameConverter::VideoFrameConverter() : m_converter(std::make_unique<detail::PictureConverter>()) {}

VideoFrameConverter::~VideoFrameConverter() = default;

QImage VideoFrameConverter::toImage(const QVideoFrame &frame)
{
    if (!frame.isValid())
        return QImage();
    const std::optional<PlaneMap> map = ffmpegLayoutOf(frame.pixelFormat());
    if (!map)
        return frame.toImage();
    std::unique_ptr<AVFrame, FrameDeleter> picture(av_frame_alloc());
    if (!picture)
        throw MediaError::fromAv(AVERROR(ENOMEM), QStringLiteral("There is not enough memory to show a picture."));
    picture->format = map->format;
    picture->width = frame.width();
    picture->height = frame.height();
    tagColours(picture.get(), frame.surfaceFormat());
    detail::PictureConverter::checkConvertible(picture.get());
    if (const int rc = av_frame_get_buffer(picture.get(), 0); rc < 0)
        throw MediaError::fromAv(rc, QStringLiteral("There is not enough memory to show a picture."));
    // The converter's vector code reads on into the rows' padding: it holds zeros, not leftovers.
    for (AVBufferRef *buffer : picture->buf)
        if (buffer)
            std::memset(buffer->data, 0, buffer->size);

    QVideoFrame mapped = frame;
    if (!mapped.map(QVideoFrame::ReadOnly))
        throw unreadable(QStringLiteral("Its pixels cannot be mapped."));
    try {
        copyPlanes(mapped, *map, picture.get());
    } catch (...) {
        mapped.unmap();
        throw;
    }
    mapped.unmap();
    return m_converter->toImage(picture.get());
}

} // namespace lumacast::av
