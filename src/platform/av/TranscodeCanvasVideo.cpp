#include "platform/av/TranscodeCanvasVideo.h"

#include "platform/av/H264EncoderSetup.h"
#include "platform/av/StreamDecoder.h"
#include "threads/ThreadBridge.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}
#include <libyuv/rotate.h>

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>

namespace lumacast::av {

namespace {

constexpr std::size_t kFramesAhead = 4;

MediaError writeFailed(int averror, const QString &what, const QString &path)
{
    return MediaError::fromAv(averror, what)
        .wrapped(MediaError::WriteFailed,
                 QStringLiteral("The movie \u201C%1\u201D could not be written.").arg(QFileInfo(path).fileName()));
}

MediaError cancelledError()
{
    return MediaError(MediaError::mediaDomain(), MediaError::Cancelled,
                      QStringLiteral("The movie was not written because the operation was cancelled."));
}

// Quarter turns, clockwise on screen, that the transform applies.
libyuv::RotationMode turnOf(const AffineTransform &t)
{
    if (std::abs(t.b) > std::abs(t.a))
        return t.b > 0 ? libyuv::kRotate90 : libyuv::kRotate270;
    return t.a < 0 ? libyuv::kRotate180 : libyuv::kRotate0;
}

struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

FramePtr allocFrame(AVPixelFormat format, int width, int height)
{
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    if (av_frame_get_buffer(frame.get(), 0) < 0)
        throw MediaError(MediaError::mediaDomain(), MediaError::WriteFailed,
                         QStringLiteral("There is not enough memory to render the video."));
    return frame;
}

// Copies the 4:2:0 `picture` onto the 4:2:0 `canvas` with its top left corner at (x, y), both
// even; the picture must fit. Nothing beside the picture is written.
void copyOnto(AVFrame *canvas, const AVFrame *picture, int x, int y)
{
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        av_image_copy_plane(canvas->data[plane] + (y >> shift) * canvas->linesize[plane] + (x >> shift),
                            canvas->linesize[plane], picture->data[plane], picture->linesize[plane],
                            picture->width >> shift, picture->height >> shift);
    }
}

void fillBlack(AVFrame *frame)
{
    for (int row = 0; row < frame->height; ++row)
        std::memset(frame->data[0] + row * frame->linesize[0], 16, frame->width);
    for (int row = 0; row < frame->height / 2; ++row) {
        std::memset(frame->data[1] + row * frame->linesize[1], 128, frame->width / 2);
        std::memset(frame->data[2] + row * frame->linesize[2], 128, frame->width / 2);
    }
}

// Frames in flight between the renderer and the encoder.
class FrameQueue {
public:
    struct Item {
        FramePtr frame;
        std::int64_t pts = 0;
    };

    // False when the queue was stopped.
    bool push(Item item)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_stopped || m_items.size() < kFramesAhead; });
        if (m_stopped)
            return false;
        m_items.push_back(std::move(item));
        m_changed.notify_all();
        return true;
    }
    // Nothing when the producer is done (or the queue stopped) and the queue is empty.
    std::optional<Item> pop()
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_stopped || m_finished || !m_items.empty(); });
        if (m_stopped || m_items.empty())
            return std::nullopt;
        Item item = std::move(m_items.front());
        m_items.pop_front();
        m_changed.notify_all();
        return item;
    }
    void finish()
    {
        std::lock_guard lock(m_mutex);
        m_finished = true;
        m_changed.notify_all();
    }
    void stop()
    {
        std::lock_guard lock(m_mutex);
        m_stopped = true;
        m_items.clear();
        m_changed.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_items;
    bool m_finished = false;
    bool m_stopped = false;
};

// Draws decoded pictures onto canvas frames.
class CanvasPainter {
public:
    CanvasPainter(int width, int height) : m_width(width), m_height(height) {}
    ~CanvasPainter()
    {
        sws_freeContext(m_scaler);
        sws_freeContext(m_toI420);
    }

    FramePtr blank() const
    {
        FramePtr frame = allocFrame(AV_PIX_FMT_YUV420P, m_width, m_height);
        fillBlack(frame.get());
        return frame;
    }

    FramePtr paint(const AVFrame *picture, const CanvasVideoSegment &segment, const QSizeF &natural)
    {
        FramePtr canvas = blank();
        const QSizeF stored = natural.isEmpty() ? QSizeF(picture->width, picture->height) : natural;
        const QRectF placed = segment.transform.mapRect(QRectF(QPointF(0, 0), stored));
        int x0 = std::clamp(int(std::lround(placed.left())), 0, m_width) & ~1;
        int y0 = std::clamp(int(std::lround(placed.top())), 0, m_height) & ~1;
        int w = std::min(int(std::lround(placed.width())), m_width - x0) & ~1;
        int h = std::min(int(std::lround(placed.height())), m_height - y0) & ~1;
        if (w < 2 || h < 2)
            return canvas;

        const AVFrame *source = picture;
        const libyuv::RotationMode turn = turnOf(segment.transform);
        FramePtr turned;
        if (turn != libyuv::kRotate0) {
            // libyuv turns 4:2:0 pictures; anything else is brought to 4:2:0 first.
            FramePtr planar;
            const AVFrame *in = picture;
            if (picture->format != AV_PIX_FMT_YUV420P && picture->format != AV_PIX_FMT_YUVJ420P) {
                planar = allocFrame(AV_PIX_FMT_YUV420P, picture->width, picture->height);
                m_toI420 = sws_getCachedContext(m_toI420, picture->width, picture->height,
                                                AVPixelFormat(picture->format), picture->width,
                                                picture->height, AV_PIX_FMT_YUV420P, SWS_POINT,
                                                nullptr, nullptr, nullptr);
                if (!m_toI420)
                    throw MediaError(MediaError::mediaDomain(), MediaError::DecodeFailed,
                                     QStringLiteral("The picture format of a take cannot be converted."));
                sws_scale(m_toI420, picture->data, picture->linesize, 0, picture->height,
                          planar->data, planar->linesize);
                in = planar.get();
            }
            const bool quarter = turn == libyuv::kRotate90 || turn == libyuv::kRotate270;
            const int tw = quarter ? in->height : in->width;
            const int th = quarter ? in->width : in->height;
            turned = allocFrame(AV_PIX_FMT_YUV420P, tw, th);
            libyuv::I420Rotate(in->data[0], in->linesize[0], in->data[1], in->linesize[1],
                               in->data[2], in->linesize[2], turned->data[0], turned->linesize[0],
                               turned->data[1], turned->linesize[1], turned->data[2],
                               turned->linesize[2], in->width, in->height, turn);
            source = turned.get();
        }

        m_scaler = sws_getCachedContext(m_scaler, source->width, source->height,
                                        AVPixelFormat(source->format), w, h, AV_PIX_FMT_YUV420P,
                                        SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!m_scaler)
            throw MediaError(MediaError::mediaDomain(), MediaError::DecodeFailed,
                             QStringLiteral("The picture of a take cannot be scaled onto the canvas."));
        // The converter writes whole vector steps past a row's end: it scales into a frame of
        // its own, laid out and padded by FFmpeg, and only the picture is copied onto the canvas.
        const FramePtr scaled = allocFrame(AV_PIX_FMT_YUV420P, w, h);
        if (sws_scale(m_scaler, source->data, source->linesize, 0, source->height, scaled->data,
                      scaled->linesize) < 0)
            throw MediaError(MediaError::mediaDomain(), MediaError::DecodeFailed,
                             QStringLiteral("The picture of a take cannot be scaled onto the canvas."));
        copyOnto(canvas.get(), scaled.get(), x0, y0);
        return canvas;
    }

private:
    int m_width, m_height;
    SwsContext *m_scaler = nullptr;
    SwsContext *m_toI420 = nullptr;
};

// The H.264 encoder and the QuickTime muxer, set up as the take encoder sets up its video track,
// so that equal settings give equal sample descriptions.
class CanvasEncoder {
public:
    CanvasEncoder(const QString &path, const VideoSettings &v, int width, int height) : m_path(path)
    {
        detail::quietenEncoderLogging();
        try {
            open(v, width, height);
        } catch (...) {
            release();
            throw;
        }
    }

    ~CanvasEncoder() { release(); }

    void open(const VideoSettings &v, int width, int height)
    {
        const QString &path = m_path;
        const QByteArray local = path.toLocal8Bit();
        int rc = avformat_alloc_output_context2(&m_format, nullptr, "mov", local.constData());
        if (rc < 0 || !m_format)
            throw writeFailed(rc < 0 ? rc : AVERROR(ENOMEM), QStringLiteral("cannot create the muxer"), path);
        const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
        if (!codec)
            throw MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                             QStringLiteral("The H.264 encoder (libx264) is not available."));
        m_codec = avcodec_alloc_context3(codec);
        AVCodecContext *c = m_codec;
        AVDictionary *options = nullptr;
        detail::configureH264(c, v, width, height, &options);
        rc = avcodec_open2(c, codec, &options);
        av_dict_free(&options);
        if (rc < 0)
            throw writeFailed(rc, QStringLiteral("cannot open the H.264 encoder"), path);
        m_stream = avformat_new_stream(m_format, nullptr);
        if (!m_stream)
            throw writeFailed(AVERROR(ENOMEM), QStringLiteral("cannot create the video track"), path);
        m_stream->time_base = c->time_base;
        avcodec_parameters_from_context(m_stream->codecpar, c);
        rc = avio_open(&m_format->pb, local.constData(), AVIO_FLAG_WRITE);
        if (rc < 0)
            throw writeFailed(rc, QStringLiteral("cannot create the file"), path);
        rc = avformat_write_header(m_format, nullptr);
        if (rc < 0)
            throw writeFailed(rc, QStringLiteral("cannot start the movie"), path);
        m_packet = av_packet_alloc();
    }

    void release()
    {
        av_packet_free(&m_packet);
        avcodec_free_context(&m_codec);
        if (m_format) {
            if (m_format->pb)
                avio_closep(&m_format->pb);
            avformat_free_context(m_format);
            m_format = nullptr;
        }
        if (!m_finished)
            QFile::remove(m_path);
    }

    void encode(AVFrame *frame, std::int64_t pts, std::int64_t duration)
    {
        frame->pts = pts;
        m_durations[pts] = std::max<std::int64_t>(1, duration);
        const int rc = avcodec_send_frame(m_codec, frame);
        if (rc < 0)
            throw writeFailed(rc, QStringLiteral("the encoder refused a frame"), m_path);
        drain();
    }

    void finish()
    {
        int rc = avcodec_send_frame(m_codec, nullptr);
        if (rc < 0 && rc != AVERROR_EOF)
            throw writeFailed(rc, QStringLiteral("cannot flush the encoder"), m_path);
        drain();
        rc = av_write_trailer(m_format);
        if (rc < 0)
            throw writeFailed(rc, QStringLiteral("cannot finish the movie"), m_path);
        rc = avio_closep(&m_format->pb);
        if (rc < 0)
            throw writeFailed(rc, QStringLiteral("cannot close the file"), m_path);
        m_finished = true;
    }

private:
    void drain()
    {
        for (;;) {
            int rc = avcodec_receive_packet(m_codec, m_packet);
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return;
            if (rc < 0)
                throw writeFailed(rc, QStringLiteral("encoding failed"), m_path);
            const auto found = m_durations.find(m_packet->pts);
            if (found != m_durations.end()) {
                m_packet->duration = found->second;
                m_durations.erase(found);
            }
            m_packet->stream_index = m_stream->index;
            av_packet_rescale_ts(m_packet, m_codec->time_base, m_stream->time_base);
            rc = av_interleaved_write_frame(m_format, m_packet);
            if (rc < 0)
                throw writeFailed(rc, QStringLiteral("cannot write a sample"), m_path);
        }
    }

    QString m_path;
    AVFormatContext *m_format = nullptr;
    AVCodecContext *m_codec = nullptr;
    AVStream *m_stream = nullptr;
    AVPacket *m_packet = nullptr;
    std::map<std::int64_t, std::int64_t> m_durations;
    bool m_finished = false;
};

std::int64_t ticksOf(const MediaTime &t, int timescale)
{
    return t.convertScale(timescale).value;
}

// Decodes and paints every stretch in order, pushing canvas frames with their presentation
// times (in ticks of `timescale`). Returns false when the queue was stopped.
void renderFrames(const CanvasVideoRequest &request, int width, int height, int timescale,
                  FrameQueue &queue)
{
    CanvasPainter painter(width, height);
    std::int64_t last = -1;
    auto push = [&](FramePtr frame, std::int64_t pts) {
        if (pts <= last)
            return true;
        last = pts;
        return queue.push(FrameQueue::Item{std::move(frame), pts});
    };
    for (const CanvasVideoSegment &segment : request.segments) {
        if (request.cancelled && request.cancelled->load())
            return;
        if (segment.target.isEmpty())
            continue;
        if (!segment.asset) {
            if (!push(painter.blank(), ticksOf(segment.target.start, timescale)))
                return;
            continue;
        }
        if (segment.sourceTrack < 0 || segment.sourceTrack >= segment.asset->tracks().size())
            throw MediaError(MediaError::mediaDomain(), MediaError::NoSuchTrack,
                             QStringLiteral("The movie \u201C%1\u201D has no such video track.")
                                 .arg(QFileInfo(segment.asset->path()).fileName()));
        const AssetTrack &track = segment.asset->tracks()[segment.sourceTrack];
        detail::StreamDecoder decoder(segment.asset->path(), track.streamIndex);
        decoder.seekBefore(segment.sourceRange.start);
        const MediaTime end = segment.sourceRange.end();
        bool any = false;
        while (AVFrame *picture = decoder.nextFrame()) {
            if (request.cancelled && request.cancelled->load())
                return;
            const MediaTime time = decoder.frameTime(picture);
            if (!time.isNumeric())
                continue;
            if (time >= end)
                break;
            const MediaTime duration = decoder.frameDuration(picture);
            const MediaTime frameEnd = duration.isNumeric() ? time + duration : time;
            if (frameEnd <= segment.sourceRange.start && !(time == segment.sourceRange.start))
                continue;
            const MediaTime offset = maximum(time - segment.sourceRange.start, MediaTime::zero());
            const MediaTime at = segment.target.start + offset;
            if (at >= segment.target.end())
                break;
            if (!push(painter.paint(picture, segment, track.naturalSize), ticksOf(at, timescale)))
                return;
            any = true;
        }
        if (!any && !push(painter.blank(), ticksOf(segment.target.start, timescale)))
            return;
    }
}

} // namespace

struct CanvasVideoRender::Writer {
    int width = 0, height = 0, timescale = 0;
    std::unique_ptr<CanvasEncoder> encoder;
};

CanvasVideoRender::CanvasVideoRender(CanvasVideoRequest request) : m_request(std::move(request))
{
    if (m_request.width < 2 || m_request.height < 2 || m_request.outputPath.isEmpty())
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("The canvas to render onto has no size."));
}

CanvasVideoRender::~CanvasVideoRender() = default;

void CanvasVideoRender::createWriter()
{
    auto writer = std::make_unique<Writer>();
    writer->width = detail::evenFrameSide(m_request.width);
    writer->height = detail::evenFrameSide(m_request.height);
    writer->timescale = m_request.settings.timeScale > 0 ? m_request.settings.timeScale : 60000;
    VideoSettings settings = m_request.settings;
    settings.timeScale = writer->timescale;
    // A render is not racing a capture for the cores: the encoder spreads it over all of them.
    settings.threads = 0;
    QFile::remove(m_request.outputPath);
    writer->encoder = std::make_unique<CanvasEncoder>(m_request.outputPath, settings, writer->width, writer->height);
    m_writer = std::move(writer);
}

void CanvasVideoRender::run()
{
    if (!m_writer)
        createWriter();
    const CanvasVideoRequest &request = m_request;
    const int width = m_writer->width, height = m_writer->height, timescale = m_writer->timescale;
    CanvasEncoder &encoder = *m_writer->encoder;
    FrameQueue queue;
    std::exception_ptr renderFailure;
    std::thread renderer([&] {
        nameCurrentThread("canvas render");
        try {
            renderFrames(request, width, height, timescale, queue);
        } catch (...) {
            renderFailure = std::current_exception();
        }
        // A failed render ends the encoder's side too: it sees the end of the frames and then
        // the failure.
        queue.finish();
    });

    std::exception_ptr encodeFailure;
    try {
        const std::int64_t totalTicks = std::max<std::int64_t>(1, ticksOf(request.totalDuration, timescale));
        std::optional<FrameQueue::Item> held;
        qint64 written = 0;
        auto send = [&](FrameQueue::Item &item, std::int64_t next) {
            if (request.beforeAppend)
                request.beforeAppend(written);
            encoder.encode(item.frame.get(), item.pts, next - item.pts);
            ++written;
            if (request.progress)
                request.progress(double(item.pts) / timescale);
        };
        while (auto item = queue.pop()) {
            if (request.cancelled && request.cancelled->load())
                throw cancelledError();
            if (held)
                send(*held, item->pts);
            held = std::move(item);
        }
        if (renderFailure)
            std::rethrow_exception(renderFailure);
        if (request.cancelled && request.cancelled->load())
            throw cancelledError();
        if (held)
            send(*held, std::max(totalTicks, held->pts + 1));
        encoder.finish();
    } catch (...) {
        encodeFailure = std::current_exception();
        queue.stop();
    }
    renderer.join();
    if (encodeFailure) {
        m_writer.reset();
        QFile::remove(request.outputPath);
        std::rethrow_exception(encodeFailure);
    }
}



} // namespace lumacast::av
