#pragma once
// The one place that tells the FFmpeg releases apart: Debian 12 ships 5.1, Debian 13 ships 7.1,
// and between them three fields we read moved. Everything else in this folder uses the API both
// releases have.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/version.h>
}

#include <cstdint>

namespace lumacast::av::detail {

// The frame's duration in its stream's time base; 0 when the decoder did not know it.
// `duration` arrived in libavutil 57.30 (after 5.1); `pkt_duration` left in 7.0.
inline std::int64_t frameDurationInStreamTime(const AVFrame *frame)
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    return frame->duration;
#else
    return frame->pkt_duration;
#endif
}

// Marks a decoded frame as not a key frame, so that the encoder it is handed to decides.
// The flag replaced `key_frame` in FFmpeg 6.1; `key_frame` is deprecated since.
inline void clearKeyFrame(AVFrame *frame)
{
#ifdef AV_FRAME_FLAG_KEY
    frame->flags &= ~AV_FRAME_FLAG_KEY;
#else
    frame->key_frame = 0;
#endif
}

// The stream's display matrix (nine 32-bit integers, a movie track matrix's layout), or null.
// Stream side data moved to the codec parameters in FFmpeg 6.1 and `av_stream_get_side_data`
// is deprecated since.
inline const std::uint8_t *streamDisplayMatrix(const AVStream *stream)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 31, 100)
    const AVPacketSideData *side = av_packet_side_data_get(
        stream->codecpar->coded_side_data, stream->codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    return side && side->size >= 9 * 4 ? side->data : nullptr;
#else
    std::size_t size = 0;
    const std::uint8_t *data = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
    return data && size >= 9 * 4 ? data : nullptr;
#endif
}

} // namespace lumacast::av::detail
