#pragma once

// Decoding of one stream of a movie through libavformat and libavcodec, shared by the asset
// reader and the image generator. Internal to the media layer: it exposes FFmpeg types.

#include "platform/av/MediaError.h"
#include "platform/av/MediaTime.h"
#include "platform/av/PictureConverter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <QImage>
#include <QString>

#include <memory>

namespace lumacast::av::detail {

class StreamDecoder {
public:
    // Opens `path` and a decoder for its stream `streamIndex`; edit lists are applied by the
    // demuxer, so frame times are on the movie's timeline. Throws MediaError.
    StreamDecoder(const QString &path, int streamIndex);
    ~StreamDecoder();
    StreamDecoder(const StreamDecoder &) = delete;
    StreamDecoder &operator=(const StreamDecoder &) = delete;

    // Moves to the sync sample at or before `time`; the next frames decode from there.
    void seek(const MediaTime &time);
    // Moves so that the first frame delivered starts at or before `time` when the stream has
    // such a frame. A plain seek can land on a sync sample that an edit list hides, whose
    // visible successors all lie after `time`; this steps back until that is not the case.
    void seekBefore(const MediaTime &time);
    // The next decoded frame, or null at the end of the stream. The frame stays valid until the
    // next call. Throws MediaError(DecodeFailed).
    AVFrame *nextFrame();

    MediaTime frameTime(const AVFrame *frame) const;
    MediaTime frameDuration(const AVFrame *frame) const;
    const AVStream *stream() const { return m_stream; }
    AVCodecContext *codec() const { return m_codec; }

    // A video frame as a 32-bit image (QImage::Format_RGB32, which is BGRA in memory here), as
    // `PictureConverter` makes it. Throws MediaError(DecodeFailed) naming the movie, around the
    // converter's error, for a picture that cannot be converted.
    QImage toImage(const AVFrame *frame);

private:
    void release();

    QString m_path;
    AVFormatContext *m_format = nullptr;
    AVCodecContext *m_codec = nullptr;
    AVStream *m_stream = nullptr;
    AVPacket *m_packet = nullptr;
    AVFrame *m_frame = nullptr;
    PictureConverter m_converter;
    bool m_drained = false;
    bool m_pending = false;
    bool m_flushing = false;
};

} // namespace lumacast::av::detail
