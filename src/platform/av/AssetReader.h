#pragma once

#include "platform/av/Asset.h"
#include "platform/av/MediaTime.h"

#include <QByteArray>
#include <QImage>

#include <memory>
#include <optional>

namespace lumacast::av {

namespace detail {
class StreamDecoder;
}

struct DecodedVideoFrame {
    MediaTime presentationTime; // on the movie's timeline
    MediaTime duration;
    QImage image;               // QImage::Format_RGB32 (BGRA bytes in memory), rows padded
};

// Interleaved 32-bit float samples.
struct DecodedAudio {
    MediaTime presentationTime;
    int sampleRate = 0;
    int channels = 0;
    qint64 frameCount = 0;
    QByteArray samples; // frameCount * channels floats
};

// Decodes one track of an asset over a stretch of its timeline, edit lists applied: video as
// images of the stored size, audio as interleaved float samples, converted to `audioSampleRate`
// and `audioChannels` when those are set. Video frames that overlap the range are delivered
// whole; audio is cut to the range to the sample.
class AssetReader {
public:
    struct AudioSettings {
        int sampleRate; // 0: the track's own
        int channels;   // 0: the track's own
    };

    // Throws MediaError (NoSuchTrack for a bad index or a track libavformat cannot see).
    AssetReader(std::shared_ptr<const Asset> asset, int trackIndex,
                std::optional<MediaTimeRange> range = std::nullopt, AudioSettings audio = {0, 0});
    ~AssetReader();
    AssetReader(const AssetReader &) = delete;
    AssetReader &operator=(const AssetReader &) = delete;

    MediaType mediaType() const { return m_type; }
    MediaTimeRange timeRange() const { return m_range; }

    // The next frame of a video track, or nullopt at the end of the range. Throws MediaError.
    std::optional<DecodedVideoFrame> nextVideoFrame();
    // The next block of samples of an audio track, or nullopt at the end of the range.
    std::optional<DecodedAudio> nextAudio();

private:
    // Whether frames of `type` are still to come; the first call seeks to the range's start.
    bool readyToRead(MediaType type);

    struct Resampler;
    std::shared_ptr<const Asset> m_asset;
    MediaType m_type;
    MediaTimeRange m_range;
    AudioSettings m_audio;
    std::unique_ptr<detail::StreamDecoder> m_decoder;
    std::unique_ptr<Resampler> m_resampler;
    bool m_started = false;
    bool m_done = false;
};

// The decodable picture of an asset's first video track nearest a requested time. The
// tolerances bound how far before and after the requested time the delivered picture may lie
// (positive infinity by default, which delivers the frame shown at that time). With a zero
// tolerance before, the picture shown at the time qualifies only when it starts exactly there;
// otherwise the next one is taken.
class ImageGenerator {
public:
    explicit ImageGenerator(std::shared_ptr<const Asset> asset);
    ~ImageGenerator();

    MediaTime requestedTimeToleranceBefore = MediaTime::positiveInfinity();
    MediaTime requestedTimeToleranceAfter = MediaTime::positiveInfinity();
    // Turns the picture by the track's preferred transform.
    bool appliesPreferredTrackTransform = false;

    struct Result {
        QImage image;
        MediaTime actualTime;
    };
    // Throws MediaError(NoFrame) when no frame lies within the tolerances, and the decoder's
    // errors otherwise.
    Result imageAt(const MediaTime &time);

private:
    std::shared_ptr<const Asset> m_asset;
    std::unique_ptr<detail::StreamDecoder> m_decoder;
    AssetTrack m_track;
};

} // namespace lumacast::av
