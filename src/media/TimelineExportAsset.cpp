#include "media/TimelineExportAsset.h"

#include "platform/av/Asset.h"

namespace lumacast::timeline_export {

LoadedMovie loadWithAsset(const QString &moviePath)
{
    const std::shared_ptr<const av::Asset> asset = av::Asset::open(moviePath);
    LoadedMovie movie;
    movie.duration = asset->duration().seconds();
    for (const av::AssetTrack &track : asset->tracks(av::MediaType::Video)) {
        LoadedVideoTrack video;
        video.naturalWidth = track.naturalSize.width();
        video.naturalHeight = track.naturalSize.height();
        video.a = track.preferredTransform.a;
        video.b = track.preferredTransform.b;
        video.c = track.preferredTransform.c;
        video.d = track.preferredTransform.d;
        video.nominalFrameRate = track.nominalFrameRate;
        movie.videoTracks.append(video);
    }
    for (const av::AssetTrack &track : asset->tracks(av::MediaType::Audio)) {
        LoadedAudioTrack audio;
        if (!track.formatDescriptions.isEmpty()
            && track.formatDescriptions.first().mediaType == av::MediaType::Audio) {
            const av::FormatDescription &format = track.formatDescriptions.first();
            audio.description = LoadedAudioDescription{format.channels, format.sampleRate};
        }
        movie.audioTracks.append(audio);
    }
    return movie;
}

} // namespace lumacast::timeline_export
