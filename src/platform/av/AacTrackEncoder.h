#pragma once

#include "platform/av/MovieWriter.h"

#include <memory>

namespace lumacast::av {

// An audio input of a MovieWriter that encodes AAC: interleaved float samples in, AAC samples
// appended to a new track of the writer, the encoder's priming hidden by the track's edit list
// so that the track plays exactly the samples it was given. Input of another rate or channel
// count is converted. Pull-mode use (a re-encode pumping decoded audio) and push-mode use are
// the same calls; a writer is used from one thread at a time.
class AacTrackEncoder {
public:
    struct Settings {
        int sampleRate = 48000;
        int channels = 2;
        int bitRate = 0; // bits per second; 0 lets the encoder choose
    };

    // Adds the track to `writer` (which must not be finished). Throws MediaError
    // (InvalidArgument) when the encoder refuses the settings.
    AacTrackEncoder(MovieWriter &writer, const Settings &settings);
    ~AacTrackEncoder();
    AacTrackEncoder(const AacTrackEncoder &) = delete;
    AacTrackEncoder &operator=(const AacTrackEncoder &) = delete;

    // Whether the encoder opens with these settings: how "the settings can be applied" is
    // decided on this platform.
    static bool canApply(const Settings &settings);
    // One AAC frame (1024 samples) of digital silence for a track of `settings`' rate and
    // channels: it decodes to silence on its own, whatever precedes it, so that a copied track
    // can fill a stretch without sound with real samples instead of an empty edit. Throws
    // MediaError(InvalidArgument) when the encoder refuses the settings.
    static QByteArray silentFrame(const Settings &settings);

    int track() const { return m_track; }
    // Appends `frames` frames of `channels` interleaved floats at `sampleRate`.
    void append(const float *samples, qint64 frames, int sampleRate, int channels);
    // Flushes the encoder and writes the edit that hides the priming. Further appends throw.
    void finish();
    // Frames given so far, in the output rate.
    qint64 framesIn() const;

private:
    struct State;
    std::unique_ptr<State> m_state;
    MovieWriter &m_writer;
    int m_track = -1;
};

} // namespace lumacast::av
