#include "media/AudioMixdown.h"

#include "platform/av/AacTrackEncoder.h"
#include "platform/av/AssetReader.h"
#include "platform/av/MovieStructure.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <vector>

namespace lumacast::session_exporter {

using av::MediaError;
using av::MediaTime;

namespace {

constexpr qint64 kBlockFrames = 4800;

qint64 samplesAt(const MediaTime &t)
{
    return t.convertScale(kMixSampleRate).value;
}

// One composition audio track as a continuous stereo signal at the mix rate, read front to back.
class TrackSignal {
public:
    TrackSignal(const av::Composition &composition, int track) : m_segments(composition.segments(track)) {}

    // Writes exactly `frames` frames; silence where the track has nothing.
    void read(float *out, qint64 frames)
    {
        qint64 done = 0;
        while (done < frames) {
            if (m_index < 0 || m_position >= m_segmentEnd) {
                if (!nextSegment()) {
                    silence(out + done * kMixChannels, frames - done);
                    return;
                }
                continue;
            }
            const qint64 limit = std::min(frames - done, m_segmentEnd - m_position);
            if (m_position < m_segmentStart) {
                done += silence(out + done * kMixChannels, std::min(limit, m_segmentStart - m_position));
                continue;
            }
            if (available() == 0 && m_reader) {
                auto block = m_reader->nextAudio();
                if (!block) {
                    m_reader.reset();
                } else {
                    const auto *f = reinterpret_cast<const float *>(block->samples.constData());
                    m_pending.assign(f, f + block->frameCount * kMixChannels);
                    m_pendingOffset = 0;
                    m_pendingAt = m_segmentStart + block->presentationTime.convertScale(kMixSampleRate).value
                                - m_sourceStart;
                }
                continue;
            }
            if (available() == 0 || m_pendingAt > m_position) {
                const qint64 gap = available() == 0 ? limit : std::min(limit, m_pendingAt - m_position);
                done += silence(out + done * kMixChannels, gap);
                continue;
            }
            if (m_pendingAt < m_position) {
                const qint64 drop = std::min(m_position - m_pendingAt, available());
                m_pendingOffset += std::size_t(drop) * kMixChannels;
                m_pendingAt += drop;
                continue;
            }
            const qint64 n = std::min(limit, available());
            std::copy_n(m_pending.data() + m_pendingOffset, n * kMixChannels, out + done * kMixChannels);
            m_pendingOffset += std::size_t(n) * kMixChannels;
            m_pendingAt += n;
            m_position += n;
            done += n;
        }
    }

private:
    qint64 available() const { return qint64(m_pending.size() - m_pendingOffset) / kMixChannels; }

    qint64 silence(float *out, qint64 frames)
    {
        std::fill_n(out, frames * kMixChannels, 0.0f);
        m_position += frames;
        return frames;
    }

    bool nextSegment()
    {
        if (++m_index >= m_segments.size())
            return false;
        const av::CompositionSegment &segment = m_segments[m_index];
        m_segmentStart = samplesAt(segment.target.start);
        m_segmentEnd = samplesAt(segment.target.end());
        m_pending.clear();
        m_pendingOffset = 0;
        m_reader.reset();
        if (!segment.isEmpty()) {
            m_sourceStart = samplesAt(segment.sourceRange.start);
            m_reader = std::make_unique<av::AssetReader>(segment.asset, segment.sourceTrack, segment.sourceRange,
                                                            av::AssetReader::AudioSettings{kMixSampleRate, kMixChannels});
        }
        return true;
    }

    QList<av::CompositionSegment> m_segments;
    int m_index = -1;
    qint64 m_position = 0;
    qint64 m_segmentStart = 0, m_segmentEnd = 0, m_sourceStart = 0;
    std::unique_ptr<av::AssetReader> m_reader;
    std::vector<float> m_pending;
    std::size_t m_pendingOffset = 0;
    qint64 m_pendingAt = 0;
};

MediaError cancelledError()
{
    return MediaError(MediaError::mediaDomain(), MediaError::Cancelled,
                      QStringLiteral("The movie was not written because the operation was cancelled."));
}

} // namespace

void writeAudioMix(const AudioMix &mix, const QString &path, const std::atomic<bool> *cancelled,
                   const std::function<void(double)> &progress)
{
    av::MovieWriter writer(path);
    av::AacTrackEncoder encoder(writer, {kMixSampleRate, kMixChannels, kMixBitRate});
    writer.open();
    TrackSignal mic(*mix.composition, mix.micTrack);
    std::optional<TrackSignal> system;
    if (mix.systemTrack)
        system.emplace(*mix.composition, *mix.systemTrack);

    const qint64 total = std::max<qint64>(0, samplesAt(mix.duration));
    std::vector<float> block(std::size_t(kBlockFrames) * kMixChannels);
    std::vector<float> other(block.size());
    for (qint64 written = 0; written < total;) {
        if (cancelled && cancelled->load())
            throw cancelledError();
        const qint64 n = std::min(kBlockFrames, total - written);
        mic.read(block.data(), n);
        if (system) {
            system->read(other.data(), n);
            const float level = mix.systemLevel;
            for (qint64 i = 0; i < n * kMixChannels; ++i)
                block[std::size_t(i)] += level * other[std::size_t(i)];
        }
        encoder.append(block.data(), n, kMixSampleRate, kMixChannels);
        written += n;
        if (progress)
            progress(double(written) / double(total));
    }
    encoder.finish();
    writer.finish();
}

void appendCopiedAudioTrack(av::MovieWriter &writer, const QString &path)
{
    const av::MovieStructure movie = av::readMovieStructure(path);
    const av::TrackStructure *source = nullptr;
    for (const av::TrackStructure &t : movie.tracks)
        if (t.handlerType == "soun") {
            source = &t;
            break;
        }
    if (!source)
        throw MediaError(MediaError::mediaDomain(), MediaError::NoSuchTrack,
                         QStringLiteral("The mixed audio \u201C%1\u201D has no audio track.").arg(QFileInfo(path).fileName()));
    av::WriterTrackSettings settings;
    settings.mediaType = av::MediaType::Audio;
    settings.mediaTimescale = std::int32_t(source->mediaTimescale);
    const int track = writer.addTrack(settings);
    QList<int> descriptions;
    for (const QByteArray &entry : source->sampleEntries) {
        av::FormatDescription format;
        format.mediaType = av::MediaType::Audio;
        format.sampleEntry = entry;
        descriptions.append(writer.addSampleDescription(track, format));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw MediaError(MediaError::mediaDomain(), MediaError::ReadFailed,
                         QStringLiteral("The mixed audio could not be read."), file.errorString());
    QByteArray buffer;
    for (const av::SampleRecord &s : source->samples) {
        buffer.resize(s.size);
        if (!file.seek(s.offset) || file.read(buffer.data(), s.size) != qint64(s.size))
            throw MediaError(MediaError::mediaDomain(), MediaError::ReadFailed,
                             QStringLiteral("The mixed audio could not be read."),
                             QStringLiteral("a sample lies beyond the end of the file"));
        av::SampleTiming timing;
        timing.decodeTime = s.decodeTime;
        timing.presentationTime = s.presentationTime();
        timing.duration = s.duration;
        timing.keyframe = s.sync;
        timing.descriptionIndex = descriptions.value(int(s.descriptionIndex) - 1, 1);
        writer.appendSample(track, buffer, timing);
    }
    for (const av::EditEntry &edit : source->edits) {
        av::EditEntry converted = edit;
        if (movie.movieTimescale != std::uint32_t(writer.movieTimescale()))
            converted.segmentDuration = MediaTime(edit.segmentDuration, std::int32_t(movie.movieTimescale))
                                            .convertScale(writer.movieTimescale())
                                            .value;
        writer.addEdit(track, converted);
    }
}

} // namespace lumacast::session_exporter
