#include "platform/av/AssetReader.h"

#include "platform/av/StreamDecoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

#include <QFileInfo>
#include <QTransform>

#include <cmath>
#include <new>

namespace lumacast::av {

namespace {

MediaError noTrack(const Asset &asset, int index)
{
    return MediaError(MediaError::mediaDomain(), MediaError::NoSuchTrack,
                      QStringLiteral("The movie \u201C%1\u201D has no readable track %2.")
                          .arg(QFileInfo(asset.path()).fileName())
                          .arg(index));
}

} // namespace

struct AssetReader::Resampler {
    SwrContext *context = nullptr;
    int inRate = 0, inChannels = 0, inFormat = -1;
    ~Resampler() { swr_free(&context); }
};

AssetReader::AssetReader(std::shared_ptr<const Asset> asset, int trackIndex,
                         std::optional<MediaTimeRange> range, AudioSettings audio)
    : m_asset(std::move(asset)), m_audio(audio)
{
    if (!m_asset || trackIndex < 0 || trackIndex >= m_asset->tracks().size())
        throw noTrack(*m_asset, trackIndex);
    const AssetTrack &track = m_asset->tracks()[trackIndex];
    if (track.streamIndex < 0)
        throw noTrack(*m_asset, trackIndex);
    m_type = track.mediaType;
    m_range = range.value_or(MediaTimeRange{MediaTime::zero(), m_asset->duration()});
    m_decoder = std::make_unique<detail::StreamDecoder>(m_asset->path(), track.streamIndex);
    m_resampler = std::make_unique<Resampler>();
}

AssetReader::~AssetReader() = default;

bool AssetReader::readyToRead(MediaType type)
{
    if (m_type != type || m_done)
        return false;
    if (!m_started) {
        m_decoder->seekBefore(m_range.start);
        m_started = true;
    }
    return true;
}

std::optional<DecodedVideoFrame> AssetReader::nextVideoFrame()
{
    if (!readyToRead(MediaType::Video))
        return std::nullopt;
    while (AVFrame *frame = m_decoder->nextFrame()) {
        const MediaTime time = m_decoder->frameTime(frame);
        const MediaTime duration = m_decoder->frameDuration(frame);
        if (!time.isNumeric())
            continue;
        if (time >= m_range.end())
            break;
        const MediaTime frameEnd = duration.isNumeric() ? time + duration : time;
        if (frameEnd <= m_range.start && !(time == m_range.start))
            continue;
        return DecodedVideoFrame{time, duration, m_decoder->toImage(frame)};
    }
    m_done = true;
    return std::nullopt;
}

std::optional<DecodedAudio> AssetReader::nextAudio()
{
    if (!readyToRead(MediaType::Audio))
        return std::nullopt;
    while (AVFrame *frame = m_decoder->nextFrame()) {
        const MediaTime time = m_decoder->frameTime(frame);
        if (!time.isNumeric() || frame->nb_samples <= 0 || frame->sample_rate <= 0)
            continue;
        if (time >= m_range.end())
            break;
        const int inRate = frame->sample_rate;
        const int inChannels = frame->ch_layout.nb_channels;
        const int outRate = m_audio.sampleRate > 0 ? m_audio.sampleRate : inRate;
        const int outChannels = m_audio.channels > 0 ? m_audio.channels : inChannels;

        // Whole input frames outside the range are skipped; the rest is trimmed after conversion.
        const MediaTime frameEnd = time + MediaTime(frame->nb_samples, inRate);
        if (frameEnd <= m_range.start)
            continue;

        Resampler &rs = *m_resampler;
        if (!rs.context || rs.inRate != inRate || rs.inChannels != inChannels || rs.inFormat != frame->format) {
            swr_free(&rs.context);
            AVChannelLayout outLayout{};
            av_channel_layout_default(&outLayout, outChannels);
            AVChannelLayout inLayout{}; // zeroed: av_channel_layout_copy frees what the target holds first
            if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
                av_channel_layout_default(&inLayout, inChannels);
            else
                av_channel_layout_copy(&inLayout, &frame->ch_layout);
            const int r = swr_alloc_set_opts2(&rs.context, &outLayout, AV_SAMPLE_FMT_FLT, outRate, &inLayout,
                                              AVSampleFormat(frame->format), inRate, 0, nullptr);
            av_channel_layout_uninit(&inLayout);
            av_channel_layout_uninit(&outLayout);
            if (r < 0 || swr_init(rs.context) < 0)
                throw MediaError::fromAv(r < 0 ? r : AVERROR(EINVAL), QStringLiteral("cannot convert the audio"))
                    .wrapped(MediaError::DecodeFailed, QStringLiteral("The movie \u201C%1\u201D could not be decoded.")
                                                           .arg(QFileInfo(m_asset->path()).fileName()));
            rs.inRate = inRate;
            rs.inChannels = inChannels;
            rs.inFormat = frame->format;
        }
        const int capacity = int(av_rescale_rnd(swr_get_delay(rs.context, inRate) + frame->nb_samples, outRate,
                                                inRate, AV_ROUND_UP)) + 16;
        QByteArray out(qsizetype(capacity) * outChannels * qsizetype(sizeof(float)), Qt::Uninitialized);
        uint8_t *outPlanes[1] = {reinterpret_cast<uint8_t *>(out.data())};
        const int produced = swr_convert(rs.context, outPlanes, capacity,
                                         const_cast<const uint8_t **>(frame->extended_data), frame->nb_samples);
        if (produced <= 0)
            continue;
        out.truncate(qsizetype(produced) * outChannels * qsizetype(sizeof(float)));

        DecodedAudio block{time.convertScale(outRate), outRate, outChannels, produced, out};
        // Trim to the range, to the sample.
        const std::int64_t startTicks = m_range.start.convertScale(outRate).value;
        const std::int64_t endTicks = m_range.end().convertScale(outRate).value;
        std::int64_t first = block.presentationTime.value;
        std::int64_t skip = std::max<std::int64_t>(0, startTicks - first);
        std::int64_t keep = std::min<std::int64_t>(block.frameCount, endTicks - first) - skip;
        if (keep <= 0)
            continue;
        const qsizetype frameBytes = qsizetype(outChannels) * qsizetype(sizeof(float));
        block.samples = block.samples.mid(qsizetype(skip) * frameBytes, qsizetype(keep) * frameBytes);
        block.frameCount = keep;
        block.presentationTime = MediaTime(first + skip, outRate);
        return block;
    }
    m_done = true;
    return std::nullopt;
}

ImageGenerator::ImageGenerator(std::shared_ptr<const Asset> asset) : m_asset(std::move(asset))
{
    const QList<AssetTrack> video = m_asset ? m_asset->tracks(MediaType::Video) : QList<AssetTrack>{};
    if (video.isEmpty() || video.first().streamIndex < 0)
        throw MediaError(MediaError::mediaDomain(), MediaError::NoSuchTrack,
                         QStringLiteral("The movie \u201C%1\u201D has no video track.")
                             .arg(m_asset ? QFileInfo(m_asset->path()).fileName() : QString()));
    m_track = video.first();
    m_decoder = std::make_unique<detail::StreamDecoder>(m_asset->path(), m_track.streamIndex);
}

ImageGenerator::~ImageGenerator() = default;

ImageGenerator::Result ImageGenerator::imageAt(const MediaTime &time)
{
    const auto noFrame = [&](const QString &why) {
        return MediaError(MediaError::mediaDomain(), MediaError::NoFrame,
                          QStringLiteral("No picture could be made at %1 s of \u201C%2\u201D.")
                              .arg(time.seconds())
                              .arg(QFileInfo(m_asset->path()).fileName()),
                          why);
    };
    if (!time.isNumeric())
        throw noFrame(QStringLiteral("the requested time is not a number"));
    const MediaTime earliest = time - requestedTimeToleranceBefore;
    const MediaTime latest = time + requestedTimeToleranceAfter;

    // The frame shown at `time` (the last one starting at or before it) and the first one after.
    // Candidates are held as references to the decoded frames; only the chosen one is converted.
    struct Candidate {
        Candidate() : frame(av_frame_alloc())
        {
            if (!frame)
                throw MediaError::fromAv(AVERROR(ENOMEM), QStringLiteral("Out of memory holding a decoded frame"));
        }
        ~Candidate() { av_frame_free(&frame); }
        Candidate(const Candidate &) = delete;
        Candidate &operator=(const Candidate &) = delete;
        void hold(const AVFrame *decoded, const MediaTime &at)
        {
            av_frame_unref(frame);
            if (av_frame_ref(frame, decoded) < 0)
                throw MediaError::fromAv(AVERROR(ENOMEM), QStringLiteral("Out of memory holding a decoded frame"));
            time = at;
            present = true;
        }
        AVFrame *frame;
        MediaTime time;
        bool present = false;
    };
    Candidate shown, after;
    m_decoder->seekBefore(time);
    while (AVFrame *frame = m_decoder->nextFrame()) {
        const MediaTime t = m_decoder->frameTime(frame);
        if (!t.isNumeric())
            continue;
        if (t <= time) {
            if (!shown.present || t >= shown.time)
                shown.hold(frame, t);
            continue;
        }
        after.hold(frame, t);
        break;
    }
    if (!shown.present && !after.present) {
        // A seek past the last sync sample's stretch can land after the end: look from the start.
        m_decoder->seek(MediaTime::zero());
        while (AVFrame *frame = m_decoder->nextFrame()) {
            const MediaTime t = m_decoder->frameTime(frame);
            if (t.isNumeric() && t <= time)
                shown.hold(frame, t);
        }
    }

    const Candidate *chosenFrame = nullptr;
    if (shown.present && shown.time >= earliest)
        chosenFrame = &shown;
    else if (after.present && after.time <= latest)
        chosenFrame = &after;
    if (!chosenFrame)
        throw noFrame(shown.present || after.present ? QStringLiteral("no frame lies within the tolerances")
                                                     : QStringLiteral("the movie has no decodable frame"));
    Result chosen{m_decoder->toImage(chosenFrame->frame), chosenFrame->time};
    if (appliesPreferredTrackTransform && !m_track.preferredTransform.isIdentity()) {
        const AffineTransform &m = m_track.preferredTransform;
        chosen.image = chosen.image.transformed(QTransform(m.a, m.b, m.c, m.d, m.tx, m.ty));
    }
    return chosen;
}

} // namespace lumacast::av
