#include "platform/av/PlaybackDecoder.h"

#include "platform/av/MediaError.h"

#include <pthread.h>

#include <chrono>
#include <optional>
#include <vector>

namespace lumacast::av {

namespace {

// How far the decoder runs ahead of the consumer.
constexpr int maxQueuedPictures = 6;
constexpr std::int64_t maxAudioLead = PlaybackDecoder::sampleRate / 2;

} // namespace

PlaybackDecoder::PlaybackDecoder(QString path, std::shared_ptr<const Asset> asset, MediaTime start,
                                 Output output)
    : m_path(std::move(path)), m_asset(std::move(asset)), m_start(start), m_output(std::move(output))
{
    m_audioConsumed = m_start.convertScale(sampleRate).value;
    m_thread = std::thread([this] { run(); });
}

PlaybackDecoder::~PlaybackDecoder()
{
    m_stop = true;
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void PlaybackDecoder::videoConsumed()
{
    --m_videoQueued;
    m_wake.notify_all();
}

void PlaybackDecoder::audioConsumedUpTo(std::int64_t sample)
{
    m_audioConsumed = sample;
    m_wake.notify_all();
}

void PlaybackDecoder::waitForDemand()
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(10));
}

void PlaybackDecoder::run()
{
    pthread_setname_np(pthread_self(), "lumacast-play");
    try {
        std::shared_ptr<const Asset> asset = m_asset;
        if (!asset) {
            asset = Asset::open(m_path);
            if (m_stop)
                return;
            m_output.opened(asset);
        }
        decode(asset);
    } catch (const MediaError &error) {
        if (!m_stop)
            m_output.failed(describeErrorChain(error));
    } catch (const std::exception &error) {
        if (!m_stop)
            m_output.failed(QString::fromLocal8Bit(error.what()));
    }
}

void PlaybackDecoder::decode(const std::shared_ptr<const Asset> &asset)
{
    const MediaTime end = asset->duration();
    const MediaTime start = maximum(MediaTime::zero(), minimum(m_start, end));

    // A picture is always wanted, also for a playhead at the very end: the last frame then.
    std::unique_ptr<AssetReader> video;
    const QList<AssetTrack> videoTracks = asset->tracks(MediaType::Video);
    if (!videoTracks.isEmpty() && videoTracks.first().streamIndex >= 0 && end > MediaTime::zero()) {
        const MediaTime from = start < end ? start : end - MediaTime(1, 1000);
        video = std::make_unique<AssetReader>(asset, videoTracks.first().index,
                                              MediaTimeRange{from, end - from});
    } else {
        m_output.ended(-1);
    }

    struct AudioTrack {
        std::unique_ptr<AssetReader> reader;
        std::int64_t producedUpTo = 0;
    };
    std::vector<AudioTrack> audio;
    const QList<AssetTrack> audioTracks = asset->tracks(MediaType::Audio);
    for (int i = 0; i < audioTracks.size(); ++i) {
        AudioTrack track;
        track.producedUpTo = start.convertScale(sampleRate).value;
        if (start < end && audioTracks[i].streamIndex >= 0)
            track.reader = std::make_unique<AssetReader>(asset, audioTracks[i].index,
                                                         MediaTimeRange{start, end - start},
                                                         AssetReader::AudioSettings{sampleRate, channels});
        else
            m_output.ended(i);
        audio.push_back(std::move(track));
    }

    while (!m_stop) {
        bool worked = false;
        if (video && m_videoQueued < maxQueuedPictures) {
            worked = true;
            if (std::optional<DecodedVideoFrame> frame = video->nextVideoFrame()) {
                ++m_videoQueued;
                m_output.video(std::move(*frame));
            } else {
                video.reset();
                m_output.ended(-1);
            }
        }
        // The track that lags most is read next, so that the tracks stay level for mixing.
        int lagging = -1;
        for (int i = 0; i < int(audio.size()); ++i)
            if (audio[i].reader && (lagging < 0 || audio[i].producedUpTo < audio[lagging].producedUpTo))
                lagging = i;
        if (lagging >= 0 && audio[lagging].producedUpTo - m_audioConsumed < maxAudioLead) {
            worked = true;
            AudioTrack &track = audio[lagging];
            if (std::optional<DecodedAudio> block = track.reader->nextAudio()) {
                track.producedUpTo = block->presentationTime.value + block->frameCount;
                m_output.audio(lagging, std::move(*block));
            } else {
                track.reader.reset();
                m_output.ended(lagging);
            }
        }
        if (!worked) {
            if (!video && lagging < 0)
                return;
            waitForDemand();
        }
    }
}

} // namespace lumacast::av
