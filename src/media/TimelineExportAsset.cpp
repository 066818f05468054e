#include "media/TimelineExportAsset.h"

#include "platform/media/Asset.h"

namespace lumacast::TimelineExport {

LoadedMovie loadWithAsset(const QString &moviePath)
{
    const std::shared_ptr<const media::Asset> asset = media::Asset::open(moviePath);
    LoadedMovie movie;
    movie.duration = asset->duration().seconds();
    for (const media::AssetTrack &track : asset->tracks(media::MediaType::Video)) {
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
    for (const media::AssetTrack &track : asset->tracks(media::MediaType::Audio)) {
        LoadedAudioTrack audio;
        if (!track.formatDescriptions.isEmpty()
            && track.formatDescriptions.first().mediaType == media::MediaType::Audio) {
            const media::FormatDescription &format = track.formatDescriptions.first();
            audio.description = LoadedAudioDescription{format.channels, format.sampleRate};
        }
        movie.audioTracks.append(audio);
    }
    return movie;
}

} // namespace lumacast::TimelineExport
