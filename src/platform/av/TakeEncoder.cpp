#include "platform/av/TakeEncoder.h"

#include "platform/av/Bt709Convert.h"
#include "platform/av/SoundDescription.h"
#include "platform/av/H264EncoderSetup.h"
#include "platform/av/MediaError.h"
#include "platform/av/TakeJournal.h"
#include "store/AppLog.h"
#include "store/HeldFile.h"
#include "store/PackageFolder.h"
#include "threads/ThreadBridge.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace lumacast::av {

namespace {

// While nothing comes to encode (a pause, a stalled source) what was written still goes to disk
// this often.
constexpr auto kIdleSyncInterval = std::chrono::milliseconds(700);

using Wide = __int128;

// (value / timescale) - (originValue / originTimescale), in ticks of 1/target, rounded to
// nearest with halves away from zero.
int64_t relativeTicks(int64_t value, int32_t timescale, int64_t originValue,
                      int32_t originTimescale, int64_t target)
{
    const Wide num = (Wide(value) * originTimescale - Wide(originValue) * timescale) * target;
    const Wide den = Wide(timescale) * originTimescale;
    Wide q = num / den;
    const Wide r = num % den;
    if (r != 0 && (r < 0 ? -r : r) * 2 >= den)
        q += num < 0 ? -1 : 1;
    if (q > Wide(INT64_MAX / 4))
        return INT64_MAX / 4;
    if (q < Wide(INT64_MIN / 4))
        return INT64_MIN / 4;
    return int64_t(q);
}

} // namespace

struct TakeEncoder::Track {
    bool isVideo = false;
    VideoSettings video;
    AudioSettings audio;
    AVCodecContext *codec = nullptr;
    AVStream *stream = nullptr;

    // Video.
    int codedWidth = 0;
    int codedHeight = 0;
    int64_t lastQueuedPts = INT64_MIN; // capture side
    int64_t previousFramePts = INT64_MIN; // encoding side: the last frame encoded
    // Encoding side: the last picture handed in, encoded or held, and the interval before it.
    int64_t lastItemPts = INT64_MIN;
    int64_t lastInterval = 0;
    // A repeat of the last encoded picture that was not encoded: the frame before it is held on
    // screen until here at least.
    int64_t heldRepeatPts = INT64_MIN;
    AVPacket *held = nullptr; // a video packet waits for its successor to learn its duration
    int framesAllocated = 0;
    uint64_t lastQueuedPicture = 0; // capture side: the source's number of the last frame queued
    // Encoding side: the last converted frame encoded, kept out of the pool so that a repeat of
    // its picture is encoded from it again rather than converted again.
    AVFrame *lastConverted = nullptr;

    // Audio.
    int sampleRate = 0;
    int channels = 0;
    SwrContext *resampler = nullptr;
    int inRate = 0;
    int inChannels = 0;
    SampleFormat inFormat = SampleFormat::float32;
    AVAudioFifo *fifo = nullptr;
    bool audioStarted = false;
    int64_t fifoPts = 0; // presentation time of the first sample in the fifo

    ~Track()
    {
        av_frame_free(&lastConverted);
        av_packet_free(&held);
        swr_free(&resampler);
        if (fifo)
            av_audio_fifo_free(fifo);
        avcodec_free_context(&codec);
    }
};

struct TakeEncoder::Item {
    bool isVideo = false;
    bool repeatsPicture = false; // video: the track's last converted frame again, `frame` unset
    int track = 0;
    AVFrame *frame = nullptr;
    int64_t pts = 0;
    std::vector<uint8_t> samples;
    int frames = 0;
    SampleFormat format = SampleFormat::float32;
    int sampleRate = 0;
    int channels = 0;
};

TakeEncoder::TakeEncoder(const QString &path) : m_path(path)
{
    detail::quietenEncoderLogging();
    if (QFileInfo::exists(path))
        throw EncoderError(QStringLiteral("A file already exists at %1").arg(path));
    const QByteArray local = path.toLocal8Bit();
    const int rc = avformat_alloc_output_context2(&m_format, nullptr, "mov", local.constData());
    if (rc < 0 || !m_format)
        throw EncoderError(QStringLiteral("Could not create a movie writer for %1: %2")
                               .arg(path, ffmpegErrorText(rc)),
                           rc);
}

TakeEncoder::~TakeEncoder()
{
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_queueMutex);
            m_ending = true;
        }
        // Abandoned while writing: discard what is queued and leave the file unfinished.
        m_status = Status::cancelled;
        m_queueCondition.notify_all();
        m_thread.join();
    }
    closeFile(false);
    m_journal.close(false);
    // Packets still queued in the muxer go with the context; the journal is closed by then.
    for (auto &item : m_queue)
        av_frame_free(&item.frame);
    for (AVFrame *f : m_freeFrames)
        av_frame_free(&f);
    m_tracks.clear();
    avformat_free_context(m_format);
    if (m_movieFd >= 0)
        ::close(m_movieFd);
}

std::optional<EncoderError> TakeEncoder::error() const
{
    std::lock_guard lock(m_errorMutex);
    return m_error;
}

void TakeEncoder::fail(const QString &description)
{
    {
        std::lock_guard lock(m_errorMutex);
        if (!m_error)
            m_error = EncoderError(description);
    }
    m_status = Status::failed;
}

int TakeEncoder::addVideoTrack(const VideoSettings &settings)
{
    auto track = std::make_unique<Track>();
    track->isVideo = true;
    track->video = settings;
    track->codedWidth = detail::evenFrameSide(settings.width);
    track->codedHeight = detail::evenFrameSide(settings.height);
    m_tracks.push_back(std::move(track));
    return int(m_tracks.size()) - 1;
}

bool TakeEncoder::canAddAudioTrack(const AudioSettings &settings) const
{
    return m_status == Status::unknown && canApplyAudioSettings(settings);
}

int TakeEncoder::addAudioTrack(const AudioSettings &settings)
{
    auto track = std::make_unique<Track>();
    track->audio = settings;
    track->sampleRate = int(settings.sampleRate.value_or(48000.0));
    track->channels = settings.channels.value_or(2);
    m_tracks.push_back(std::move(track));
    return int(m_tracks.size()) - 1;
}

bool TakeEncoder::startWriting()
{
    if (m_status != Status::unknown)
        return false;
    for (auto &t : m_tracks) {
        Track &track = *t;
        const AVCodec *codec = track.isVideo ? avcodec_find_encoder_by_name("libx264")
                                             : avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!codec) {
            fail(track.isVideo ? QStringLiteral("The H.264 encoder (libx264) is not available")
                               : QStringLiteral("The AAC encoder is not available"));
            return false;
        }
        track.codec = avcodec_alloc_context3(codec);
        AVCodecContext *c = track.codec;
        AVDictionary *options = nullptr;
        if (track.isVideo) {
            detail::configureH264(c, track.video, track.codedWidth, track.codedHeight, &options);
        } else {
            c->sample_fmt = AV_SAMPLE_FMT_FLTP;
            c->sample_rate = track.sampleRate;
            av_channel_layout_default(&c->ch_layout, track.channels);
            c->time_base = AVRational{1, track.sampleRate};
            if (track.audio.bitRate)
                c->bit_rate = *track.audio.bitRate;
            // The two-loop search costs several times the fast coder's CPU for no audible gain
            // at these bit rates, and the capture machine's cores belong to video.
            av_dict_set(&options, "aac_coder", "fast", 0);
            // The movie keeps the AudioSpecificConfig in its sample description.
            c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        }
        int rc = avcodec_open2(c, codec, &options);
        av_dict_free(&options);
        if (rc < 0) {
            fail(QStringLiteral("Could not open the %1 encoder: %2")
                     .arg(track.isVideo ? QStringLiteral("video") : QStringLiteral("audio"),
                          ffmpegErrorText(rc)));
            return false;
        }
        track.stream = avformat_new_stream(m_format, nullptr);
        if (!track.stream) {
            fail(QStringLiteral("Could not create a movie track"));
            return false;
        }
        track.stream->time_base = c->time_base;
        avcodec_parameters_from_context(track.stream->codecpar, c);
        if (track.isVideo) {
            track.held = av_packet_alloc();
        } else {
            track.fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, track.channels,
                                             std::max(c->frame_size, 1024) * 4);
        }
    }
    // The movie is made here and from then on reached through its descriptor only: renamed or
    // moved with its folder while it is written it is finished where it is, and whole when its
    // last name is gone.
    m_movieFd = ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (m_movieFd < 0) {
        fail(QStringLiteral("Could not create %1: %2").arg(m_path, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    // As every file of a recording: its folder's mode, whatever the umask.
    PackageFolder::applyFileMode(m_movieFd, QFileInfo(m_path).absolutePath());
    const QByteArray local = QFile::encodeName(HeldFile::descriptorPath(m_movieFd));
    int rc = avio_open(&m_format->pb, local.constData(), AVIO_FLAG_WRITE);
    if (rc < 0) {
        fail(QStringLiteral("Could not create %1: %2").arg(m_path, ffmpegErrorText(rc)));
        return false;
    }
    m_fileOpen = true;
    // The muxer holds every packet back until each track has one queued, by default for up to
    // ten seconds: a sound source that starts late (a microphone waking up, a suspended monitor)
    // would keep that much picture out of the file, and a held still picture, whose sample is
    // written only when the next is encoded, as much sound, where no journal can reach it. A
    // fifth of a second bounds it; while both keep pace the order in the file is the same.
    if (m_journal.isConfigured())
        m_format->max_interleave_delta = 200000;
    rc = avformat_write_header(m_format, nullptr);
    if (rc < 0) {
        fail(QStringLiteral("Could not start the movie %1: %2").arg(m_path, ffmpegErrorText(rc)));
        return false;
    }
    m_status = Status::writing;
    if (m_journal.isConfigured())
        openJournal();
    m_thread = std::thread([this] {
        nameCurrentThread("take encoder");
        run();
    });
    return true;
}

void TakeEncoder::startSession(int64_t value, int32_t timescale)
{
    if (timescale <= 0)
        return;
    m_sessionValue = value;
    m_sessionTimescale = timescale;
    m_sessionStarted = true;
}

bool TakeEncoder::isReadyForMoreMediaData(int index) const
{
    if (m_status != Status::writing || index < 0 || index >= int(m_tracks.size()))
        return false;
    const Track &track = *m_tracks[index];
    std::lock_guard lock(m_queueMutex);
    if (track.isVideo)
        return m_queuedVideo < kVideoQueueCapacity
            && (!m_freeFrames.empty() || track.framesAllocated < kVideoQueueCapacity + 2);
    return m_queuedAudio < kAudioQueueCapacity;
}

bool TakeEncoder::appendVideo(int index, const uint8_t *bgra, int width, int height, int stride,
                              int64_t value, int32_t timescale, uint64_t picture)
{
    if (m_status != Status::writing || !m_sessionStarted || index < 0
        || index >= int(m_tracks.size()) || !m_tracks[index]->isVideo || !bgra || width <= 0
        || height <= 0 || timescale <= 0 || std::abs(stride) < width * 4)
        return false;
    Track &track = *m_tracks[index];
    int64_t pts = relativeTicks(value, timescale, m_sessionValue, m_sessionTimescale,
                                track.video.timeScale);
    if (pts < 0)
        return false;
    // Distinct capture times can meet in one tick of the track's timescale; the movie needs
    // every frame strictly later than the one before.
    if (track.lastQueuedPts != INT64_MIN && pts <= track.lastQueuedPts)
        pts = track.lastQueuedPts + 1;

    if (picture != 0 && picture == track.lastQueuedPicture)
        return queueRepeat(index, pts);

    AVFrame *frame = nullptr;
    {
        std::lock_guard lock(m_queueMutex);
        if (m_queuedVideo >= kVideoQueueCapacity)
            return false;
        if (!m_freeFrames.empty()) {
            frame = m_freeFrames.back();
            m_freeFrames.pop_back();
        } else if (track.framesAllocated < kVideoQueueCapacity + 2) {
            ++track.framesAllocated;
        } else {
            return false;
        }
    }
    if (!frame) {
        frame = av_frame_alloc();
        frame->format = AV_PIX_FMT_YUV420P;
        frame->width = track.codedWidth;
        frame->height = track.codedHeight;
        if (av_frame_get_buffer(frame, 0) < 0) {
            av_frame_free(&frame);
            std::lock_guard lock(m_queueMutex);
            --track.framesAllocated;
            return false;
        }
    }
    if (av_frame_make_writable(frame) < 0) {
        std::lock_guard lock(m_queueMutex);
        m_freeFrames.push_back(frame);
        return false;
    }

    const int cw = std::min(width, track.codedWidth);
    const int ch = std::min(height, track.codedHeight);
    uint8_t *y = frame->data[0], *u = frame->data[1], *v = frame->data[2];
    const int ys = frame->linesize[0], us = frame->linesize[1], vs = frame->linesize[2];
    if (cw < track.codedWidth - 1 || ch < track.codedHeight - 1) {
        // A frame smaller than the track: the uncovered part is black.
        for (int row = 0; row < track.codedHeight; ++row)
            std::memset(y + row * ys, 16, track.codedWidth);
        for (int row = 0; row < track.codedHeight / 2; ++row) {
            std::memset(u + row * us, 128, track.codedWidth / 2);
            std::memset(v + row * vs, 128, track.codedWidth / 2);
        }
    }
    // The stream is tagged BT.709, so the conversion has to use its matrix.
    convertBgraToI420Bt709(bgra, stride, y, ys, u, us, v, vs, cw, ch);
    // An odd size is padded to even by repeating the last column or row of luma (the chroma
    // of 4:2:0 already covers the pair).
    if (cw == track.codedWidth - 1)
        for (int row = 0; row < ch; ++row)
            y[row * ys + cw] = y[row * ys + cw - 1];
    if (ch == track.codedHeight - 1)
        std::memcpy(y + ch * ys, y + (ch - 1) * ys, track.codedWidth);
    frame->pts = pts;
    track.lastQueuedPts = pts;
    track.lastQueuedPicture = picture;

    {
        std::lock_guard lock(m_queueMutex);
        Item item;
        item.isVideo = true;
        item.track = index;
        item.frame = frame;
        item.pts = pts;
        m_queue.push_back(std::move(item));
        ++m_queuedVideo;
    }
    m_queueCondition.notify_one();
    return true;
}

// The picture queued last, again at `pts`: nothing to convert, only a place in the queue.
bool TakeEncoder::queueRepeat(int index, int64_t pts)
{
    {
        std::lock_guard lock(m_queueMutex);
        if (m_queuedVideo >= kVideoQueueCapacity)
            return false;
        Item item;
        item.isVideo = true;
        item.repeatsPicture = true;
        item.track = index;
        item.pts = pts;
        m_queue.push_back(std::move(item));
        ++m_queuedVideo;
    }
    m_tracks[index]->lastQueuedPts = pts;
    m_queueCondition.notify_one();
    return true;
}

bool TakeEncoder::appendAudio(int index, const void *interleaved, int frames, SampleFormat format,
                              int sampleRate, int channels, int64_t value, int32_t timescale)
{
    if (m_status != Status::writing || !m_sessionStarted || index < 0
        || index >= int(m_tracks.size()) || m_tracks[index]->isVideo || !interleaved
        || frames <= 0 || sampleRate <= 0 || channels < 1 || channels > 64 || timescale <= 0)
        return false;
    Track &track = *m_tracks[index];
    Item item;
    item.track = index;
    item.pts = relativeTicks(value, timescale, m_sessionValue, m_sessionTimescale,
                             track.sampleRate);
    // The buffer's own rate decides where its samples fall; a converted rate keeps the start.
    item.frames = frames;
    item.format = format;
    item.sampleRate = sampleRate;
    item.channels = channels;
    const size_t bytes = size_t(frames) * channels * (format == SampleFormat::float32 ? 4 : 2);
    {
        std::lock_guard lock(m_queueMutex);
        if (m_queuedAudio >= kAudioQueueCapacity)
            return false;
        ++m_queuedAudio;
    }
    item.samples.assign(static_cast<const uint8_t *>(interleaved),
                        static_cast<const uint8_t *>(interleaved) + bytes);
    {
        std::lock_guard lock(m_queueMutex);
        m_queue.push_back(std::move(item));
    }
    m_queueCondition.notify_one();
    return true;
}

void TakeEncoder::finishWriting()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_queueMutex);
        m_ending = true;
    }
    m_queueCondition.notify_all();
    m_thread.join();
}

void TakeEncoder::run()
{
    for (;;) {
        Item item;
        {
            std::unique_lock lock(m_queueMutex);
            const auto ready = [this] { return !m_queue.empty() || m_ending; };
            if (!m_journal.isOpen()) {
                m_queueCondition.wait(lock, ready);
            } else if (!m_queueCondition.wait_for(lock, kIdleSyncInterval, ready)) {
                // Nothing to encode (a pause, a stalled source): what was written still goes to disk.
                lock.unlock();
                m_journal.sync(false);
                continue;
            }
            if (m_queue.empty() || m_status == Status::cancelled)
                break;
            item = std::move(m_queue.front());
            m_queue.pop_front();
            if (item.isVideo)
                --m_queuedVideo;
            else
                --m_queuedAudio;
        }
        if (m_status == Status::writing)
            process(item);
        if (item.frame) {
            std::lock_guard lock(m_queueMutex);
            m_freeFrames.push_back(item.frame);
        }
    }
    if (m_status == Status::writing) {
        flushAll();
        closeFile(m_status == Status::writing);
        if (m_status == Status::writing)
            m_status = Status::completed;
    } else {
        closeFile(false);
    }
}

void TakeEncoder::process(Item &item)
{
    Track &track = *m_tracks[item.track];
    if (!item.isVideo) {
        encodeAudio(track, item);
        return;
    }
    if (track.lastItemPts != INT64_MIN)
        track.lastInterval = item.pts - track.lastItemPts;
    track.lastItemPts = item.pts;
    if (item.repeatsPicture) {
        // The frame before stays on screen; only a long hold writes the picture again. Sending
        // takes a reference of its own, so the frame can be sent again with a new time; its
        // pixels are written into again only through the pool, after av_frame_make_writable.
        if (!track.lastConverted)
            return;
        const int64_t longest = int64_t(kLongestHoldSeconds) * track.video.timeScale;
        if (track.previousFramePts != INT64_MIN && item.pts - track.previousFramePts < longest) {
            track.heldRepeatPts = item.pts;
            return;
        }
        track.lastConverted->pts = item.pts;
        encodeVideo(track, track.lastConverted);
        return;
    }
    encodeVideo(track, item.frame);
    // Kept for repeats; the one it replaces goes back to the pool with the item.
    std::swap(track.lastConverted, item.frame);
}

void TakeEncoder::encodeVideo(Track &track, AVFrame *frame)
{
    if (frame) {
        track.previousFramePts = frame->pts;
        track.heldRepeatPts = INT64_MIN;
    }
    const int rc = avcodec_send_frame(track.codec, frame);
    if (rc < 0 && rc != AVERROR_EOF) {
        fail(QStringLiteral("Video encoding failed: %1").arg(ffmpegErrorText(rc)));
        return;
    }
    drainPackets(track, frame == nullptr);
}

void TakeEncoder::encodeAudio(Track &track, Item &item)
{
    if (!track.resampler || track.inRate != item.sampleRate || track.inChannels != item.channels
        || track.inFormat != item.format) {
        swr_free(&track.resampler);
        AVChannelLayout inLayout{};
        av_channel_layout_default(&inLayout, item.channels);
        const int rc = swr_alloc_set_opts2(
            &track.resampler, &track.codec->ch_layout, AV_SAMPLE_FMT_FLTP, track.sampleRate,
            &inLayout,
            item.format == SampleFormat::float32 ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S16,
            item.sampleRate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        if (rc < 0 || swr_init(track.resampler) < 0) {
            fail(QStringLiteral("Could not convert %1 Hz / %2 channel audio")
                     .arg(item.sampleRate)
                     .arg(item.channels));
            return;
        }
        track.inRate = item.sampleRate;
        track.inChannels = item.channels;
        track.inFormat = item.format;
    }

    const int capacity = swr_get_out_samples(track.resampler, item.frames) + 16;
    uint8_t **converted = nullptr;
    if (av_samples_alloc_array_and_samples(&converted, nullptr, track.channels, capacity,
                                           AV_SAMPLE_FMT_FLTP, 0)
        < 0) {
        fail(QStringLiteral("Out of memory converting audio"));
        return;
    }
    const uint8_t *in[1] = {item.samples.data()};
    const int count = swr_convert(track.resampler, converted, capacity, in, item.frames);
    auto release = [&] {
        av_freep(&converted[0]);
        av_freep(&converted);
    };
    if (count < 0) {
        release();
        fail(QStringLiteral("Audio conversion failed: %1").arg(ffmpegErrorText(count)));
        return;
    }

    // Buffers are laid end to end; the capture clock only moves the audio when it has drifted
    // more than a small tolerance from where the samples would fall (a resume, a stall), so
    // that ordinary jitter never opens gaps or overlaps in the track.
    int64_t skip = 0, silence = 0;
    const int64_t tolerance = track.sampleRate / 20;
    if (!track.audioStarted) {
        track.audioStarted = true;
        if (item.pts < 0)
            skip = -item.pts; // what precedes the first video frame is not part of the movie
        // Sound that starts after the first frame is preceded by encoded silence rather than an
        // empty edit, which players that ignore edit lists would close up.
        track.fifoPts = 0;
        silence = std::max<int64_t>(item.pts, 0);
    } else {
        const int64_t next = track.fifoPts + av_audio_fifo_size(track.fifo);
        const int64_t drift = item.pts - next;
        if (drift > tolerance)
            silence = drift;
        else if (drift < -tolerance)
            skip = -drift;
    }
    skip = std::min<int64_t>(skip, count);

    if (silence > 0)
        appendSilence(track, silence);
    if (count > skip && m_status == Status::writing) {
        std::vector<void *> planes(track.channels);
        for (int c = 0; c < track.channels; ++c)
            planes[c] = converted[c] + skip * sizeof(float);
        av_audio_fifo_write(track.fifo, planes.data(), int(count - skip));
        encodeWholeFrames(track);
    }
    release();
}

bool TakeEncoder::encodeWholeFrames(Track &track)
{
    const int frameSize = track.codec->frame_size > 0 ? track.codec->frame_size : 1024;
    while (av_audio_fifo_size(track.fifo) >= frameSize) {
        AVFrame *frame = av_frame_alloc();
        frame->nb_samples = frameSize;
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = track.sampleRate;
        av_channel_layout_copy(&frame->ch_layout, &track.codec->ch_layout);
        if (av_frame_get_buffer(frame, 0) < 0) {
            av_frame_free(&frame);
            fail(QStringLiteral("Out of memory encoding audio"));
            return false;
        }
        av_audio_fifo_read(track.fifo, reinterpret_cast<void **>(frame->data), frameSize);
        frame->pts = track.fifoPts;
        track.fifoPts += frameSize;
        const int rc = avcodec_send_frame(track.codec, frame);
        av_frame_free(&frame);
        if (rc < 0) {
            fail(QStringLiteral("Audio encoding failed: %1").arg(ffmpegErrorText(rc)));
            return false;
        }
        drainPackets(track, false);
        if (m_status != Status::writing)
            return false;
    }
    return true;
}

void TakeEncoder::appendSilence(Track &track, int64_t frames)
{
    std::vector<float> zeros(4096, 0.0f);
    std::vector<void *> planes(track.channels, zeros.data());
    while (frames > 0 && m_status == Status::writing) {
        const int n = int(std::min<int64_t>(frames, 4096));
        av_audio_fifo_write(track.fifo, planes.data(), n);
        frames -= n;
        if (!encodeWholeFrames(track))
            break;
    }
}

void TakeEncoder::drainPackets(Track &track, bool flushing)
{
    AVPacket *packet = av_packet_alloc();
    auto write = [&](AVPacket *p) {
        p->stream_index = track.stream->index;
        av_packet_rescale_ts(p, track.codec->time_base, track.stream->time_base);
        m_journal.wrap(p);
        const int rc = av_interleaved_write_frame(m_format, p);
        if (rc < 0)
            fail(QStringLiteral("Could not write to %1: %2").arg(m_path, writeFailureReason(m_path, AVUNERROR(rc))));
    };
    for (;;) {
        const int rc = avcodec_receive_packet(track.codec, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            break;
        if (rc < 0) {
            fail(QStringLiteral("Encoding failed: %1").arg(ffmpegErrorText(rc)));
            break;
        }
        if (!track.isVideo) {
            write(packet);
            continue;
        }
        if (track.held->data) {
            track.held->duration = packet->pts - track.held->pts;
            write(track.held);
            av_packet_unref(track.held);
        }
        av_packet_move_ref(track.held, packet);
    }
    if (flushing && track.isVideo && track.held->data) {
        // The last frame lasts as long as the interval before the last picture handed in (a
        // single frame: one frame at the nominal rate).
        int64_t duration = track.lastInterval;
        if (duration <= 0)
            duration = std::max<int64_t>(1, track.video.timeScale / std::max(track.video.frameRate, 1));
        track.held->duration = duration;
        write(track.held);
        av_packet_unref(track.held);
    }
    av_packet_free(&packet);
}

void TakeEncoder::flushAll()
{
    int64_t videoEnd = 0; // in the video track's time base
    int64_t videoTimeScale = 1;
    for (auto &t : m_tracks) {
        Track &track = *t;
        if (m_status != Status::writing)
            return;
        if (track.isVideo) {
            if (track.heldRepeatPts != INT64_MIN && track.lastConverted) {
                // The take ends on a held picture: its last repeat is written, so that the movie
                // lasts as long as the take did.
                track.lastConverted->pts = track.heldRepeatPts;
                encodeVideo(track, track.lastConverted);
                if (m_status != Status::writing)
                    return;
            }
            encodeVideo(track, nullptr);
            if (track.previousFramePts != INT64_MIN) {
                videoEnd = track.previousFramePts + std::max<int64_t>(track.lastInterval, 0);
                videoTimeScale = track.video.timeScale;
            }
            continue;
        }
        // A source that never delivered a sample (an idle output whose monitor the sound server
        // suspended, a silent virtual microphone) must not make its track vanish: the take's
        // track layout is what a tail's plan and the exports read back. It becomes silence as
        // long as the video.
        if (!track.audioStarted && videoEnd > 0) {
            track.audioStarted = true;
            track.fifoPts = 0;
            appendSilence(track, av_rescale(videoEnd, track.sampleRate, videoTimeScale));
            if (m_status != Status::writing)
                return;
        }
        const int left = track.fifo ? av_audio_fifo_size(track.fifo) : 0;
        if (left > 0) {
            const int frameSize = track.codec->frame_size > 0 ? track.codec->frame_size : left;
            const bool small = track.codec->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME;
            AVFrame *frame = av_frame_alloc();
            frame->nb_samples = small ? left : frameSize;
            frame->format = AV_SAMPLE_FMT_FLTP;
            frame->sample_rate = track.sampleRate;
            av_channel_layout_copy(&frame->ch_layout, &track.codec->ch_layout);
            if (av_frame_get_buffer(frame, 0) >= 0) {
                av_samples_set_silence(frame->data, 0, frame->nb_samples, track.channels,
                                       AV_SAMPLE_FMT_FLTP);
                av_audio_fifo_read(track.fifo, reinterpret_cast<void **>(frame->data), left);
                frame->pts = track.fifoPts;
                track.fifoPts += left;
                avcodec_send_frame(track.codec, frame);
                drainPackets(track, false);
            }
            av_frame_free(&frame);
        }
        if (avcodec_send_frame(track.codec, nullptr) >= 0)
            drainPackets(track, true);
    }
}

void TakeEncoder::closeFile(bool writeTrailer)
{
    if (!m_fileOpen)
        return;
    m_fileOpen = false;
    bool finished = false;
    if (writeTrailer) {
        const int rc = av_write_trailer(m_format);
        if (rc < 0)
            fail(QStringLiteral("Could not finish %1: %2").arg(m_path, writeFailureReason(m_path, AVUNERROR(rc))));
        else
            finished = true;
    }
    if (!finished)
        m_journal.sync(true); // what reached the movie is what a recovery can keep
    const int rc = avio_closep(&m_format->pb);
    if (rc < 0) {
        fail(QStringLiteral("Could not close %1: %2").arg(m_path, writeFailureReason(m_path, AVUNERROR(rc))));
        finished = false;
    } else if (finished) {
        // libavformat describes AAC in a way some players report as broken.
        try {
            rewriteSoundDescriptions(HeldFile::descriptorPath(m_movieFd));
        } catch (const MediaError &e) {
            fail(QStringLiteral("Could not finish %1: %2").arg(m_path, e.description()));
            finished = false;
        }
    }
    m_journal.close(finished);
}

void TakeEncoder::keepJournal(const QString &journalPath, const QByteArray &note, bool outlivesFinish)
{
    if (m_status != Status::unknown)
        return;
    m_journal.configure(journalPath, note, outlivesFinish);
}

void TakeEncoder::openJournal()
{
    QList<TakeJournal::Track> tracks;
    try {
        for (const auto &t : m_tracks) {
            const AVCodecContext *c = t->codec;
            TakeJournal::Track track;
            track.timescale = t->stream->time_base.num == 1 ? t->stream->time_base.den : 0;
            FormatDescription f;
            if (t->isVideo) {
                track.mediaType = MediaType::Video;
                track.width = c->width;
                track.height = c->height;
                f.mediaType = MediaType::Video;
                f.codecTag = "avc1";
                f.codecName = QStringLiteral("h264");
                f.width = c->width;
                f.height = c->height;
                f.parameterSets = detail::avcC(detail::annexBUnits(c->extradata, c->extradata_size));
                if (c->color_primaries == AVCOL_PRI_BT709)
                    f.color = ColorTags{1, 1, 1, false};
            } else {
                track.mediaType = MediaType::Audio;
                f.mediaType = MediaType::Audio;
                f.codecTag = "mp4a";
                f.codecName = QStringLiteral("aac");
                f.formatID = kFormatAAC;
                f.sampleRate = c->sample_rate;
                f.channels = c->ch_layout.nb_channels;
                f.objectTypeIndication = 0x40;
                f.averageBitRate = c->bit_rate;
                f.audioSpecificConfig = QByteArray(reinterpret_cast<const char *>(c->extradata), c->extradata_size);
            }
            track.sampleEntry = f.toSampleEntry();
            tracks.append(track);
        }
    } catch (const MediaError &e) {
        AppLog::shared().log(QStringLiteral("[writer] no journal for this take: ") + e.description());
        return;
    }
    m_journal.open(m_format->pb, m_movieFd, tracks);
}

} // namespace lumacast::av
