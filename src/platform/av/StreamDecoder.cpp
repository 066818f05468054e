#include "platform/av/StreamDecoder.h"

#include "platform/av/FfmpegVersions.h"

#include <QFileInfo>
#include <QThread>

#include <algorithm>

namespace lumacast::av::detail {

StreamDecoder::StreamDecoder(const QString &path, int streamIndex) : m_path(path)
{
    auto fail = [&](int averror, const QString &what) {
        const MediaError error = MediaError::fromAv(averror, what).wrapped(
            MediaError::DecodeFailed,
            QStringLiteral("The movie \u201C%1\u201D could not be decoded.").arg(QFileInfo(path).fileName()));
        release();
        return error;
    };
    const QByteArray encoded = path.toUtf8();
    int r = avformat_open_input(&m_format, encoded.constData(), nullptr, nullptr);
    if (isOpenFileLimit(r)) {
        release();
        throw openFileLimitError(path, r);
    }
    if (r < 0)
        throw fail(r, QStringLiteral("cannot open the file"));
    r = avformat_find_stream_info(m_format, nullptr);
    if (r < 0)
        throw fail(r, QStringLiteral("cannot read the streams"));
    if (streamIndex < 0 || unsigned(streamIndex) >= m_format->nb_streams)
        throw fail(AVERROR_STREAM_NOT_FOUND, QStringLiteral("no stream %1").arg(streamIndex));
    for (unsigned i = 0; i < m_format->nb_streams; ++i)
        m_format->streams[i]->discard = int(i) == streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    m_stream = m_format->streams[streamIndex];
    const AVCodec *decoder = avcodec_find_decoder(m_stream->codecpar->codec_id);
    if (!decoder)
        throw fail(AVERROR_DECODER_NOT_FOUND, QStringLiteral("no decoder for %1")
                                                  .arg(QString::fromLatin1(avcodec_get_name(m_stream->codecpar->codec_id))));
    m_codec = avcodec_alloc_context3(decoder);
    if (!m_codec)
        throw fail(AVERROR(ENOMEM), QStringLiteral("no decoder context"));
    avcodec_parameters_to_context(m_codec, m_stream->codecpar);
    m_codec->pkt_timebase = m_stream->time_base;
    // Four frame threads decode a 1080p stream as fast as one per core does, while every further
    // thread adds a decoder context and frames in flight: start-up time and memory that short
    // decodes (a probe of a few dozen frames) pay in full.
    m_codec->thread_count = std::clamp(QThread::idealThreadCount(), 1, 4);
    // A stream that states a picture larger than can be converted is refused by the decoder,
    // before it allocates frames of that size.
    m_codec->max_pixels = std::int64_t(kLargestPictureSide) * kLargestPictureSide;
    r = avcodec_open2(m_codec, decoder, nullptr);
    if (r < 0)
        throw fail(r, QStringLiteral("cannot open the decoder"));
    m_packet = av_packet_alloc();
    m_frame = av_frame_alloc();
}

StreamDecoder::~StreamDecoder()
{
    release();
}

void StreamDecoder::release()
{
    av_frame_free(&m_frame);
    av_packet_free(&m_packet);
    avcodec_free_context(&m_codec);
    avformat_close_input(&m_format);
}

void StreamDecoder::seek(const MediaTime &time)
{
    const MediaTime clamped = maximum(time, MediaTime::zero());
    const std::int64_t ts = av_rescale_q_rnd(clamped.value, AVRational{1, clamped.timescale},
                                             m_stream->time_base, AV_ROUND_DOWN);
    const int r = av_seek_frame(m_format, m_stream->index, ts, AVSEEK_FLAG_BACKWARD);
    if (r < 0) {
        // Before the first sync sample: start from the beginning.
        av_seek_frame(m_format, m_stream->index, INT64_MIN, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
    }
    avcodec_flush_buffers(m_codec);
    m_pending = false;
    m_drained = false;
    m_flushing = false;
}

void StreamDecoder::seekBefore(const MediaTime &time)
{
    MediaTime point = time;
    MediaTime step(1, 1);
    for (;;) {
        seek(point);
        AVFrame *frame = nextFrame();
        const bool atStart = !(point > MediaTime::zero());
        if (frame && (frameTime(frame) <= time || atStart)) {
            m_pending = true;
            return;
        }
        if (!frame && atStart)
            return;
        point = maximum(point - step, MediaTime::zero());
        step = step * 2;
    }
}

AVFrame *StreamDecoder::nextFrame()
{
    if (m_pending) {
        m_pending = false;
        return m_frame;
    }
    for (;;) {
        av_frame_unref(m_frame);
        int r = avcodec_receive_frame(m_codec, m_frame);
        if (r == 0)
            return m_frame;
        if (r == AVERROR_EOF) {
            m_drained = true;
            return nullptr;
        }
        if (r != AVERROR(EAGAIN))
            throw MediaError::fromAv(r, QStringLiteral("decoding failed"))
                .wrapped(MediaError::DecodeFailed, QStringLiteral("The movie \u201C%1\u201D could not be decoded.")
                                                       .arg(QFileInfo(m_path).fileName()));
        if (m_flushing)
            return nullptr;
        r = av_read_frame(m_format, m_packet);
        if (r == AVERROR_EOF) {
            avcodec_send_packet(m_codec, nullptr);
            m_flushing = true;
            continue;
        }
        if (r < 0)
            throw MediaError::fromAv(r, QStringLiteral("reading failed"))
                .wrapped(MediaError::ReadFailed, QStringLiteral("The movie \u201C%1\u201D could not be read.")
                                                     .arg(QFileInfo(m_path).fileName()));
        if (m_packet->stream_index == m_stream->index) {
            r = avcodec_send_packet(m_codec, m_packet);
            // A damaged packet costs its frame, not the whole read.
            (void)r;
        }
        av_packet_unref(m_packet);
    }
}

MediaTime StreamDecoder::frameTime(const AVFrame *frame) const
{
    const std::int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    if (pts == AV_NOPTS_VALUE)
        return MediaTime::invalid();
    return MediaTime(pts * m_stream->time_base.num, m_stream->time_base.den);
}

MediaTime StreamDecoder::frameDuration(const AVFrame *frame) const
{
    if (m_stream->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && frame->sample_rate > 0)
        return MediaTime(frame->nb_samples, frame->sample_rate);
    if (const std::int64_t duration = frameDurationInStreamTime(frame); duration > 0)
        return MediaTime(duration * m_stream->time_base.num, m_stream->time_base.den);
    const AVRational rate = m_stream->avg_frame_rate;
    if (rate.num > 0 && rate.den > 0)
        return MediaTime(rate.den, rate.num);
    return MediaTime::invalid();
}

QImage StreamDecoder::toImage(const AVFrame *frame)
{
    try {
        return m_converter.toImage(frame);
    } catch (const MediaError &error) {
        throw error.wrapped(MediaError::DecodeFailed, QStringLiteral("The movie \u201C%1\u201D could not be decoded.")
                                                          .arg(QFileInfo(m_path).fileName()));
    }
}

} // namespace lumacast::av::detail
