#include "platform/av/JoinFrameProbe.h"

#include "platform/av/MediaError.h"
#include "platform/av/StreamDecoder.h"

#include <QFileInfo>

#include <optional>

namespace lumacast::av {

namespace {

struct FrameRef {
    AVFrame *frame = av_frame_alloc();
    MediaTime time;
    bool held = false;
    ~FrameRef() { av_frame_free(&frame); }
    void hold(const AVFrame *from, const MediaTime &t)
    {
        av_frame_unref(frame);
        held = av_frame_ref(frame, from) == 0;
        time = t;
    }
};

} // namespace

MediaTime probeDecodableFrame(const std::shared_ptr<const Asset> &asset, const MediaTime &time, FrameSide side)
{
    const QString name = asset ? QFileInfo(asset->path()).fileName() : QString();
    const QList<AssetTrack> video = asset ? asset->tracks(MediaType::Video) : QList<AssetTrack>{};
    if (video.isEmpty() || video.first().streamIndex < 0)
        throw MediaError(MediaError::mediaDomain(), MediaError::NoSuchTrack,
                         QStringLiteral("The movie \u201C%1\u201D has no video track.").arg(name));
    const auto noFrame = [&](const QString &why) {
        return MediaError(MediaError::mediaDomain(), MediaError::NoFrame,
                          QStringLiteral("No picture could be made at %1 s of \u201C%2\u201D.").arg(time.seconds()).arg(name),
                          why);
    };
    if (!time.isNumeric())
        throw noFrame(QStringLiteral("the requested time is not a number"));

    detail::StreamDecoder decoder(asset->path(), video.first().streamIndex);
    FrameRef chosen;
    decoder.seekBefore(time);
    while (AVFrame *frame = decoder.nextFrame()) {
        const MediaTime t = decoder.frameTime(frame);
        if (!t.isNumeric())
            continue;
        if (side == FrameSide::atOrBefore) {
            if (t <= time) {
                if (!chosen.held || t >= chosen.time)
                    chosen.hold(frame, t);
                continue;
            }
            break;
        }
        if (t >= time) {
            chosen.hold(frame, t);
            break;
        }
    }
    if (!chosen.held && side == FrameSide::atOrBefore) {
        // A seek past the last sync sample's stretch can land after the end: look from the start.
        decoder.seek(MediaTime::zero());
        while (AVFrame *frame = decoder.nextFrame()) {
            const MediaTime t = decoder.frameTime(frame);
            if (t.isNumeric() && t <= time && (!chosen.held || t >= chosen.time))
                chosen.hold(frame, t);
        }
    }
    if (!chosen.held)
        throw noFrame(QStringLiteral("no frame lies within the tolerances"));
    try {
        decoder.toImage(chosen.frame);
    } catch (const MediaError &) {
        throw noFrame(QStringLiteral("the picture could not be converted"));
    }
    return chosen.time;
}

} // namespace lumacast::av
