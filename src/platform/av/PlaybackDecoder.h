#pragma once

#include "platform/av/Asset.h"
#include "platform/av/AssetReader.h"
#include "platform/av/MediaTime.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace lumacast::av {

// Decodes a movie for playback from one start time onwards on a thread of its own
// ("lumacast-play"): the first video track as pictures and every audio track as 48 kHz stereo
// float blocks, edit lists applied. It runs a little ahead of the consumer (a few pictures, half
// a second of sound) and waits for it. One object is one run: a seek makes a new one.
//
// The object is made and destroyed on the consumer's thread; the destructor stops the thread
// and joins it, after which no output callback runs any more. Output callbacks run on the
// decoding thread and must only hand their value on (post it to the consumer's thread).
class PlaybackDecoder {
public:
    static constexpr int sampleRate = 48000;
    static constexpr int channels = 2;

    struct Output {
        // The movie was opened (only when no asset was given).
        std::function<void(std::shared_ptr<const Asset>)> opened;
        std::function<void(DecodedVideoFrame)> video;
        // A block of audio track `ordinal` (0: the first audio track of the movie).
        std::function<void(int ordinal, DecodedAudio)> audio;
        // The video track (ordinal -1) or audio track `ordinal` has nothing more.
        std::function<void(int ordinal)> ended;
        // Opening or decoding failed; nothing follows.
        std::function<void(QString message)> failed;
    };

    // Decodes `asset`, or opens the movie at `path` first when `asset` is null.
    PlaybackDecoder(QString path, std::shared_ptr<const Asset> asset, MediaTime start, Output output);
    ~PlaybackDecoder();
    PlaybackDecoder(const PlaybackDecoder &) = delete;
    PlaybackDecoder &operator=(const PlaybackDecoder &) = delete;

    // Consumer side, any thread: one picture was taken; sound was used up to `sample` (in
    // 1/48000 s ticks on the movie's timeline).
    void videoConsumed();
    void audioConsumedUpTo(std::int64_t sample);

private:
    void run();
    void decode(const std::shared_ptr<const Asset> &asset);
    void waitForDemand();

    QString m_path;
    std::shared_ptr<const Asset> m_asset;
    MediaTime m_start;
    Output m_output;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_videoQueued{0};
    std::atomic<std::int64_t> m_audioConsumed{0};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
};

} // namespace lumacast::av
