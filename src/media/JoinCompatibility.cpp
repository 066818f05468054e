// The compatibility policy of the tail join: which take/tail pairs can be joined by copying
// their samples.
#include "media/TakeJoiner.h"

#include "platform/av/Asset.h"
#include "platform/av/FormatDescription.h"
#include "platform/av/MediaError.h"

namespace lumacast::take_joiner {

using av::AssetTrack;
using av::MediaType;

JoinAsset::JoinAsset(QString path) : m_path(std::move(path)) {}

std::shared_ptr<const av::Asset> JoinAsset::load() const
{
    if (m_asset)
        return m_asset;
    if (m_failure)
        std::rethrow_exception(m_failure);
    try {
        m_asset = av::Asset::open(m_path);
    } catch (...) {
        m_failure = std::current_exception();
        throw;
    }
    return m_asset;
}

QList<AssetTrack> JoinAsset::loadTracks(MediaType type) const
{
    return load()->tracks(type);
}

namespace {

QString trackLabel(MediaType type, int audioIndex)
{
    return type == MediaType::Video ? QStringLiteral("video") : QStringLiteral("audio track %1").arg(audioIndex);
}

} // namespace

std::optional<QString> trackProblem(const AssetTrack &original, const AssetTrack &tail, MediaType type, int audioIndex)
{
    const QString label = trackLabel(type, audioIndex);
    const auto &originalFormats = original.formatDescriptions;
    const auto &tailFormats = tail.formatDescriptions;
    if (originalFormats.size() != 1)
        return QStringLiteral("the original's %1 has %2 format descriptions (need exactly 1)")
            .arg(label)
            .arg(originalFormats.size());
    if (tailFormats.size() != 1)
        return QStringLiteral("the tail's %1 has %2 format descriptions (need exactly 1)").arg(label).arg(tailFormats.size());
    const av::FormatDescription &a = originalFormats.first();
    const av::FormatDescription &b = tailFormats.first();
    if (type == MediaType::Audio) {
        if (a.mediaType != MediaType::Audio || a.formatID != av::kFormatAAC)
            return QStringLiteral("the original's %1 is not AAC audio").arg(label);
        if (!a.sameFormat(b))
            return label + QStringLiteral(" format differs (sample rate, channels, layout or encoder settings)");
    } else if (!a.sameFormat(b)) {
        return QStringLiteral("video format differs (dimensions, codec profile/level, colour or parameter sets)");
    }
    if (!(original.preferredTransform == tail.preferredTransform))
        return label + QStringLiteral(" orientation (preferredTransform) differs");
    return std::nullopt;
}

std::optional<QString> compatibilityProblem(const JoinAsset &original, const JoinAsset &tail)
{
    try {
        const QList<AssetTrack> originalVideo = original.loadTracks(MediaType::Video);
        const QList<AssetTrack> tailVideo = tail.loadTracks(MediaType::Video);
        if (originalVideo.size() != 1)
            return QStringLiteral("the original has %1 video tracks (need exactly 1)").arg(originalVideo.size());
        if (tailVideo.size() != 1)
            return QStringLiteral("the tail has %1 video tracks (need exactly 1)").arg(tailVideo.size());
        const QList<AssetTrack> originalAudio = original.loadTracks(MediaType::Audio);
        const QList<AssetTrack> tailAudio = tail.loadTracks(MediaType::Audio);
        if (originalAudio.size() < 1 || originalAudio.size() > 2)
            return QStringLiteral("the original has %1 audio tracks (need 1 or 2)").arg(originalAudio.size());
        if (tailAudio.size() != originalAudio.size())
            return QStringLiteral("audio track count differs (%1 vs %2)").arg(originalAudio.size()).arg(tailAudio.size());
        if (auto problem = trackProblem(originalVideo.first(), tailVideo.first(), MediaType::Video, 0))
            return problem;
        for (int i = 0; i < originalAudio.size(); ++i)
            if (auto problem = trackProblem(originalAudio[i], tailAudio[i], MediaType::Audio, i))
                return problem;
        return std::nullopt;
    } catch (const av::MediaError &e) {
        return QStringLiteral("could not read the source tracks: ") + e.description();
    } catch (const Error &e) {
        return QStringLiteral("could not read the source tracks: ") + e.localizedDescription();
    } catch (const std::exception &e) {
        return QStringLiteral("could not read the source tracks: ") + QString::fromUtf8(e.what());
    }
}

} // namespace lumacast::take_joiner
