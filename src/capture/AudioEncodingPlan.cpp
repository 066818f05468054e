#include "capture/AudioEncodingPlan.h"

#include "platform/av/Asset.h"
#include "threads/ThreadBridge.h"

#include <cmath>
#include <cstdlib>
#include <vector>

namespace lumacast {

namespace {
QString planErrorText(AudioPlanError::Kind kind, const QString &reason, int number);
} // namespace

AudioPlanError::AudioPlanError(Kind kind, QString reason, int number)
    : Error(QStringLiteral("Lumacast.AudioPlanError"), int(kind), planErrorText(kind, reason, number)),
      m_kind(kind), m_reason(std::move(reason)), m_number(number)
{
}

AudioPlanError AudioPlanError::unsupportedSource(const QString &reason)
{
    return AudioPlanError(Kind::unsupportedSource, reason, 0);
}

AudioPlanError AudioPlanError::tooManyAudioTracks(int count)
{
    return AudioPlanError(Kind::tooManyAudioTracks, {}, count);
}

AudioPlanError AudioPlanError::inapplicable(int track)
{
    return AudioPlanError(Kind::inapplicable, {}, track);
}

AudioPlanError AudioPlanError::cannotAdd(int track)
{
    return AudioPlanError(Kind::cannotAdd, {}, track);
}

AudioPlanError AudioPlanError::noAudioTrack()
{
    return AudioPlanError(Kind::noAudioTrack, {}, 0);
}

namespace {
QString trackName(int track)
{
    return track == 0 ? QStringLiteral("microphone track (0)")
                      : QStringLiteral("system-audio track (%1)").arg(track);
}

QString planErrorText(AudioPlanError::Kind kind, const QString &reason, int number)
{
    using Kind = AudioPlanError::Kind;
    switch (kind) {
    case Kind::unsupportedSource:
        return reason;
    case Kind::tooManyAudioTracks:
        return QStringLiteral("take has %1 audio tracks (need 1 or 2)").arg(number);
    case Kind::inapplicable:
        return QStringLiteral("the AAC settings of the %1 can't be applied").arg(trackName(number));
    case Kind::cannotAdd:
        return QStringLiteral("the %1 can't be added to the movie").arg(trackName(number));
    case Kind::noAudioTrack:
        return QStringLiteral("take has no audio track");
    }
    return {};
}
} // namespace

std::optional<int> applicableBitRate(int target, int channels, double sampleRate)
{
    const auto ranges = av::applicableAacBitRateRanges(sampleRate, channels);
    if (ranges.empty())
        return std::nullopt;
    std::optional<double> best;
    for (const auto &[lo, hi] : ranges) {
        const double clamped = std::min(std::max(double(target), lo), hi);
        // A later range wins only when strictly closer: ties keep the earlier one.
        if (!best || std::fabs(clamped - target) < std::fabs(*best - target))
            best = clamped;
    }
    return int(*best); // the fraction is dropped
}

std::optional<AudioSettings> micAudioSettings(double sampleRate, int channels,
                                              const AudioSettingsAcceptor &canApply)
{
    std::vector<AudioSettings> candidates;
    const auto bitRate = applicableBitRate(128000, channels, sampleRate);
    if (bitRate) {
        AudioSettings s;
        s.sampleRate = sampleRate;
        s.channels = channels;
        s.bitRate = *bitRate;
        candidates.push_back(s);
    }
    {
        AudioSettings s;
        s.sampleRate = sampleRate;
        s.channels = channels;
        candidates.push_back(s);
    }
    {
        AudioSettings s;
        s.sampleRate = 48000;
        s.sampleRateIsInteger = true;
        s.channels = std::clamp(channels, 1, 2);
        candidates.push_back(s);
    }
    {
        AudioSettings s;
        s.sampleRate = 48000;
        s.sampleRateIsInteger = true;
        s.channels = 1;
        candidates.push_back(s);
    }
    for (const AudioSettings &s : candidates)
        if (canApply && canApply(s))
            return s;
    return std::nullopt;
}

AudioEncodingPlan AudioEncodingPlan::load(const QString &moviePath)
{
    return load(*av::Asset::open(moviePath));
}

AudioEncodingPlan AudioEncodingPlan::load(const av::Asset &take)
{
    const auto tracks = take.tracks(av::MediaType::Audio);
    if (tracks.isEmpty())
        throw AudioPlanError::noAudioTrack();
    if (tracks.size() >= 3)
        throw AudioPlanError::tooManyAudioTracks(int(tracks.size()));

    std::vector<AudioTrackEncodingPlan> plans;
    for (const av::AssetTrack &track : tracks) {
        if (track.formatDescriptions.size() != 1)
            throw AudioPlanError::unsupportedSource(
                QStringLiteral("track has %1 format descriptions (need exactly 1)")
                    .arg(track.formatDescriptions.size()));
        const av::FormatDescription &format = track.formatDescriptions.first();
        // A description that names no format at all gives nothing to reproduce.
        if (format.formatID == 0 || format.mediaType != av::MediaType::Audio)
            throw AudioPlanError::unsupportedSource(QStringLiteral("no stream basic description"));
        if (format.formatID != av::kAudioFormatMPEG4AAC)
            throw AudioPlanError::unsupportedSource(
                QStringLiteral("format %1 is not AAC").arg(format.formatID));
        if (!std::isfinite(format.sampleRate) || format.sampleRate <= 0)
            throw AudioPlanError::unsupportedSource(
                QStringLiteral("sample rate ") + av::decimalText(format.sampleRate));
        if (format.channels != 1 && format.channels != 2)
            throw AudioPlanError::unsupportedSource(QStringLiteral("%1 channels").arg(format.channels));
        AudioTrackEncodingPlan plan;
        plan.settings.sampleRate = format.sampleRate;
        plan.settings.channels = format.channels;
        if (const auto rate = applicableBitRate(128000, format.channels, format.sampleRate))
            plan.settings.bitRate = *rate;
        plans.push_back(plan);
    }
    AudioEncodingPlan plan;
    plan.mic = plans[0];
    if (plans.size() > 1)
        plan.system = plans[1];
    return plan;
}

QCoro::Task<AudioEncodingPlan> AudioEncodingPlan::loadAsync(QString moviePath)
{
    // The awaiting caller gets exactly the error the read threw.
    auto loading = runInBackground("audio plan", [path = std::move(moviePath)] { return load(path); });
    co_return co_await loading;
}

} // namespace lumacast
