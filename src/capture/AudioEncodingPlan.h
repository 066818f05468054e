#pragma once

#include "model/Error.h"
#include "platform/av/TakeEncoderSettings.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <exception>
#include <functional>
#include <optional>
#include <string>

namespace lumacast {

namespace av {
class Asset;
}

using AudioSettings = av::AudioSettings;

// Why a take's audio cannot be reproduced for a tail. Domain "Lumacast.AudioPlanError", code the
// case's position in `Kind`, the description the text a user is shown.
class AudioPlanError : public Error {
public:
    enum class Kind { unsupportedSource, tooManyAudioTracks, inapplicable, cannotAdd, noAudioTrack };

    static AudioPlanError unsupportedSource(const QString &reason);
    static AudioPlanError tooManyAudioTracks(int count);
    static AudioPlanError inapplicable(int track);
    static AudioPlanError cannotAdd(int track);
    static AudioPlanError noAudioTrack();

    Kind kind() const { return m_kind; }
    QString reason() const { return m_reason; } // unsupportedSource
    int count() const { return m_number; }      // tooManyAudioTracks
    int track() const { return m_number; }      // inapplicable, cannotAdd (0 mic, 1 system)

    friend bool operator==(const AudioPlanError &a, const AudioPlanError &b)
    {
        return a.m_kind == b.m_kind && a.m_reason == b.m_reason && a.m_number == b.m_number;
    }

private:
    AudioPlanError(Kind kind, QString reason, int number);
    Kind m_kind;
    QString m_reason;
    int m_number;
};

struct AudioTrackEncodingPlan {
    AudioSettings settings;
    friend bool operator==(const AudioTrackEncodingPlan &, const AudioTrackEncodingPlan &) = default;
};

// The AAC settings of a take's microphone track and optional system-audio track, read back
// from its movie so that a tail is encoded the same way and joins without re-encoding.
struct AudioEncodingPlan {
    AudioTrackEncodingPlan mic;
    std::optional<AudioTrackEncodingPlan> system;

    // Reads the plan of an opened take movie. Throws AudioPlanError.
    static AudioEncodingPlan load(const av::Asset &take);
    // Opens the movie first; a movie that cannot be opened throws the media layer's
    // MediaError unchanged.
    static AudioEncodingPlan load(const QString &moviePath);
    // The same read on a thread of its own, so that the caller's event loop keeps running;
    // the errors are rethrown where the task is awaited.
    static QCoro::Task<AudioEncodingPlan> loadAsync(QString moviePath);

    friend bool operator==(const AudioEncodingPlan &, const AudioEncodingPlan &) = default;
};

// Whether the movie writer takes a track with these settings.
using AudioSettingsAcceptor = std::function<bool(const AudioSettings &)>;

// The applicable AAC bit rate closest to `target` for a channel count and sample rate, or
// nothing when AAC has none for that format.
std::optional<int> applicableBitRate(int target, int channels, double sampleRate);

// The first of the AAC candidates for a sample rate and channel count that `canApply` accepts.
std::optional<AudioSettings> micAudioSettings(double sampleRate, int channels,
                                              const AudioSettingsAcceptor &canApply);

} // namespace lumacast
