#pragma once

#include "platform/av/Composition.h"
#include "platform/av/MediaTime.h"
#include "platform/av/MovieWriter.h"

#include <QString>

#include <atomic>
#include <functional>
#include <optional>

namespace lumacast::session_exporter {

// The exported movie's audio: AAC, 48 kHz, stereo, 192 kbit/s.
inline constexpr int kMixSampleRate = 48000;
inline constexpr int kMixChannels = 2;
inline constexpr int kMixBitRate = 192000;

struct AudioMix {
    const av::Composition *composition = nullptr;
    int micTrack = -1;
    std::optional<int> systemTrack;
    float systemLevel = 1.0f; // the system audio's volume; the microphone plays at 1.0
    av::MediaTime duration;  // the mixed track's length
};

// Decodes the microphone and system-audio stretches of the composition, mixes them (gaps and
// empty stretches are silence) and encodes the mix into a movie at `path` with one AAC track of
// exactly `mix.duration`. Reads and encodes a block at a time. Checks `cancelled` between
// blocks; reports the fraction done on the calling thread. Throws MediaError.
void writeAudioMix(const AudioMix &mix, const QString &path, const std::atomic<bool> *cancelled,
                   const std::function<void(double)> &progress);

// Adds the first audio track of the movie at `path` (samples, sample descriptions and edit list
// unchanged) as a new track of `writer`. Throws MediaError.
void appendCopiedAudioTrack(av::MovieWriter &writer, const QString &path);

} // namespace lumacast::session_exporter
