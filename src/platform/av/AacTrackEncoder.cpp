#include "platform/av/AacTrackEncoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <vector>

namespace lumacast::av {

namespace {

MediaError encoderError(int averror, const QString &what)
{
    return MediaError::fromAv(averror, what).wrapped(MediaError::WriteFailed,
                                                     QStringLiteral("The audio could not be encoded."));
}

AVCodecContext *openEncoder(const AacTrackEncoder::Settings &s, int *error)
{
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec || s.sampleRate <= 0 || s.channels <= 0 || s.channels > 8) {
        *error = AVERROR(EINVAL);
        return nullptr;
    }
    AVCodecContext *c = avcodec_alloc_context3(codec);
    c->sample_rate = s.sampleRate;
    av_channel_layout_default(&c->ch_layout, s.channels);
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->time_base = AVRational{1, s.sampleRate};
    if (s.bitRate > 0)
        c->bit_rate = s.bitRate;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER; // the AudioSpecificConfig goes into the sample entry
    *error = avcodec_open2(c, codec, nullptr);
    if (*error < 0) {
        avcodec_free_context(&c);
        return nullptr;
    }
    return c;
}

} // namespace

struct AacTrackEncoder::State {
    Settings settings;
    AVCodecContext *codec = nullptr;
    SwrContext *resampler = nullptr;
    int resamplerRate = 0, resamplerChannels = 0;
    AVAudioFifo *fifo = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *packet = nullptr;
    int description = 0;
    qint64 framesIn = 0;
    qint64 framesSent = 0;
    std::int64_t decodeTime = 0;
    bool finished = false;

    ~State()
    {
        swr_free(&resampler);
        av_audio_fifo_free(fifo);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
    }

    // Runs the resampler over `frames` input frames (none to flush it) into the fifo; room is
    // made for `capacity` output frames.
    void convert(const uint8_t *const *input, int frames, int capacity);
    // Sends the first `count` frames of the fifo to the encoder as one frame.
    void encodeFromFifo(int count, MovieWriter &writer, int track);
    // Sends one frame (or the flush when null) and appends every packet the encoder returns.
    void drain(AVFrame *input, MovieWriter &writer, int track);
};

void AacTrackEncoder::State::convert(const uint8_t *const *input, int frames, int capacity)
{
    std::vector<std::vector<float>> planes(std::size_t(settings.channels), std::vector<float>(std::size_t(capacity)));
    std::vector<uint8_t *> pointers;
    for (auto &p : planes)
        pointers.push_back(reinterpret_cast<uint8_t *>(p.data()));
    const int produced = swr_convert(resampler, pointers.data(), capacity, const_cast<const uint8_t **>(input), frames);
    if (produced < 0)
        throw encoderError(produced, QStringLiteral("cannot convert the samples"));
    if (produced > 0) {
        av_audio_fifo_write(fifo, reinterpret_cast<void **>(pointers.data()), produced);
        framesIn += produced;
    }
}

void AacTrackEncoder::State::encodeFromFifo(int count, MovieWriter &writer, int track)
{
    av_frame_unref(frame);
    frame->nb_samples = count;
    frame->format = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_copy(&frame->ch_layout, &codec->ch_layout);
    frame->sample_rate = settings.sampleRate;
    if (av_frame_get_buffer(frame, 0) < 0)
        throw encoderError(AVERROR(ENOMEM), QStringLiteral("out of memory"));
    av_audio_fifo_read(fifo, reinterpret_cast<void **>(frame->data), count);
    frame->pts = framesSent;
    framesSent += count;
    drain(frame, writer, track);
}

void AacTrackEncoder::State::drain(AVFrame *input, MovieWriter &writer, int track)
{
    int r = avcodec_send_frame(codec, input);
    if (r < 0 && r != AVERROR_EOF)
        throw encoderError(r, QStringLiteral("the encoder refused the samples"));
    for (;;) {
        r = avcodec_receive_packet(codec, packet);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
            return;
        if (r < 0)
            throw encoderError(r, QStringLiteral("the encoder failed"));
        const auto duration = std::uint32_t(packet->duration > 0 ? packet->duration : codec->frame_size);
        SampleTiming timing{decodeTime, decodeTime, duration, true, description};
        writer.appendSample(track, reinterpret_cast<const char *>(packet->data), packet->size, timing);
        decodeTime += duration;
        av_packet_unref(packet);
    }
}

bool AacTrackEncoder::canApply(const Settings &settings)
{
    int error = 0;
    AVCodecContext *c = openEncoder(settings, &error);
    const bool ok = c != nullptr;
    avcodec_free_context(&c);
    return ok;
}

QByteArray AacTrackEncoder::silentFrame(const Settings &settings)
{
    int error = 0;
    AVCodecContext *c = openEncoder(settings, &error);
    if (!c)
        throw MediaError::fromAv(error, QStringLiteral("the AAC encoder refused the settings"))
            .wrapped(MediaError::InvalidArgument, QStringLiteral("Silence could not be encoded."));
    AVFrame *frame = av_frame_alloc();
    AVPacket *packet = av_packet_alloc();
    QList<QByteArray> packets;
    auto drain = [&] {
        while (avcodec_receive_packet(c, packet) >= 0) {
            packets.append(QByteArray(reinterpret_cast<const char *>(packet->data), packet->size));
            av_packet_unref(packet);
        }
    };
    // The encoder's first frames carry its priming; a frame well past it codes silence alone.
    for (int i = 0; i < 4; ++i) {
        frame->nb_samples = c->frame_size;
        frame->format = AV_SAMPLE_FMT_FLTP;
        frame->sample_rate = c->sample_rate;
        av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
        if (av_frame_get_buffer(frame, 0) >= 0) {
            av_samples_set_silence(frame->data, 0, frame->nb_samples, settings.channels, AV_SAMPLE_FMT_FLTP);
            frame->pts = std::int64_t(i) * c->frame_size;
            if (avcodec_send_frame(c, frame) >= 0)
                drain();
        }
        av_frame_unref(frame);
    }
    avcodec_send_frame(c, nullptr);
    drain();
    av_packet_free(&packet);
    av_frame_free(&frame);
    avcodec_free_context(&c);
    if (packets.size() < 3)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("Silence could not be encoded."));
    return packets[2];
}

AacTrackEncoder::AacTrackEncoder(MovieWriter &writer, const Settings &settings)
    : m_state(std::make_unique<State>()), m_writer(writer)
{
    State &s = *m_state;
    s.settings = settings;
    int error = 0;
    s.codec = openEncoder(settings, &error);
    if (!s.codec)
        throw MediaError::fromAv(error, QStringLiteral("the AAC encoder refused the settings"))
            .wrapped(MediaError::InvalidArgument,
                     QStringLiteral("AAC at %1 Hz with %2 channels cannot be encoded.").arg(settings.sampleRate).arg(settings.channels));
    s.fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, settings.channels, s.codec->frame_size * 4);
    s.frame = av_frame_alloc();
    s.packet = av_packet_alloc();

    WriterTrackSettings track;
    track.mediaType = MediaType::Audio;
    track.mediaTimescale = settings.sampleRate;
    m_track = writer.addTrack(track);
    FormatDescription f;
    f.mediaType = MediaType::Audio;
    f.codecTag = "mp4a";
    f.codecName = QStringLiteral("aac");
    f.formatID = kFormatAAC;
    f.sampleRate = settings.sampleRate;
    f.channels = settings.channels;
    f.objectTypeIndication = 0x40;
    f.averageBitRate = s.codec->bit_rate;
    f.audioSpecificConfig = QByteArray(reinterpret_cast<const char *>(s.codec->extradata), s.codec->extradata_size);
    s.description = writer.addSampleDescription(m_track, f);
}

AacTrackEncoder::~AacTrackEncoder() = default;

qint64 AacTrackEncoder::framesIn() const { return m_state->framesIn; }

void AacTrackEncoder::append(const float *samples, qint64 frames, int sampleRate, int channels)
{
    State &s = *m_state;
    if (s.finished)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("Audio was appended after the track was finished."));
    if (frames <= 0)
        return;
    if (sampleRate <= 0 || channels <= 0)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("Audio of %1 Hz with %2 channels cannot be encoded.").arg(sampleRate).arg(channels));
    if (!s.resampler || s.resamplerRate != sampleRate || s.resamplerChannels != channels) {
        swr_free(&s.resampler);
        // Zeroed: av_channel_layout_copy frees what its target holds first.
        AVChannelLayout in{}, out{};
        av_channel_layout_default(&in, channels);
        av_channel_layout_copy(&out, &s.codec->ch_layout);
        int r = swr_alloc_set_opts2(&s.resampler, &out, AV_SAMPLE_FMT_FLTP, s.settings.sampleRate, &in,
                                    AV_SAMPLE_FMT_FLT, sampleRate, 0, nullptr);
        av_channel_layout_uninit(&in);
        av_channel_layout_uninit(&out);
        if (r >= 0)
            r = swr_init(s.resampler);
        if (r < 0)
            throw encoderError(r, QStringLiteral("cannot convert the samples"));
        s.resamplerRate = sampleRate;
        s.resamplerChannels = channels;
    }
    const int capacity = int(av_rescale_rnd(swr_get_delay(s.resampler, sampleRate) + frames, s.settings.sampleRate,
                                            sampleRate, AV_ROUND_UP)) + 16;
    const uint8_t *input[1] = {reinterpret_cast<const uint8_t *>(samples)};
    s.convert(input, int(frames), capacity);
    while (av_audio_fifo_size(s.fifo) >= s.codec->frame_size)
        s.encodeFromFifo(s.codec->frame_size, m_writer, m_track);
}

void AacTrackEncoder::finish()
{
    State &s = *m_state;
    if (s.finished)
        return;
    // What the resampler still holds, then the partial last frame.
    if (s.resampler)
        s.convert(nullptr, 0, int(swr_get_delay(s.resampler, s.settings.sampleRate)) + 16);
    if (const int rest = av_audio_fifo_size(s.fifo); rest > 0)
        s.encodeFromFifo(rest, m_writer, m_track);
    s.drain(nullptr, m_writer, m_track);
    s.finished = true;
    if (s.framesIn > 0) {
        const std::int64_t shown = av_rescale(s.framesIn, m_writer.movieTimescale(), s.settings.sampleRate);
        m_writer.addEdit(m_track, EditEntry{shown, s.codec->initial_padding, 1.0});
    }
}

} // namespace lumacast::av
