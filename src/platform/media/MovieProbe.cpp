#include "platform/media/MovieProbe.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <memory>

namespace lumacast::media {

namespace {

struct FormatCloser {
    void operator()(AVFormatContext *context) const { avformat_close_input(&context); }
};

} // namespace

std::optional<double> movieDurationSeconds(const QString &path)
{
    if (path.isEmpty())
        return std::nullopt;
    av_log_set_level(AV_LOG_ERROR);
    AVFormatContext *raw = nullptr;
    const QByteArray encoded = path.toUtf8();
    if (avformat_open_input(&raw, encoded.constData(), nullptr, nullptr) < 0)
        return std::nullopt;
    std::unique_ptr<AVFormatContext, FormatCloser> context(raw);
    if (avformat_find_stream_info(context.get(), nullptr) < 0)
        return std::nullopt;
    if (context->nb_streams == 0)
        return std::nullopt;

    // The demuxer applies edit lists to each stream's duration; the longest track is the
    // movie's length. The container's own figure is the fallback for streams without one.
    double longest = -1;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVStream *stream = context->streams[i];
        if (stream->duration == AV_NOPTS_VALUE || stream->duration < 0)
            continue;
        longest = std::max(longest, stream->duration * av_q2d(stream->time_base));
    }
    if (longest < 0 && context->duration != AV_NOPTS_VALUE && context->duration >= 0)
        longest = double(context->duration) / AV_TIME_BASE;
    if (longest < 0)
        return std::nullopt;
    return longest;
}

} // namespace lumacast::media
