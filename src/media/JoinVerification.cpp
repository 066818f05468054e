// Verification of a joined movie: read back from disk, before anything refers to it.
#include "media/TakeJoiner.h"

#include "platform/av/Asset.h"
#include "platform/av/JoinFrameProbe.h"
#include "platform/av/MediaError.h"
#include "platform/av/MediaTime.h"

#include <cmath>

namespace lumacast::take_joiner {

using av::MediaTime;
using av::MediaType;

namespace {

constexpr double kDurationTolerance = 0.05;
// Durations are rationals read as doubles: a difference of exactly the tolerance must not fail
// on the last bit of a subtraction.
constexpr double kRoundingSlack = 1e-9;

QStringList mediaTypeSequence(const av::Asset &asset)
{
    QStringList types;
    for (const av::AssetTrack &track : asset.tracks()) {
        if (track.mediaType == MediaType::Other) {
            const av::TrackStructure *structure = asset.trackStructure(track);
            types.append(structure ? QString::fromLatin1(structure->handlerType) : av::mediaTypeIdentifier(track.mediaType));
        } else {
            types.append(av::mediaTypeIdentifier(track.mediaType));
        }
    }
    return types;
}

// The frames of the first video track shown before `limit` (a time on the movie's timeline): its
// samples, placed by the first edit that shows media, that start before the limit and end after
// the timeline's start. Exact: times are compared as integers.
qsizetype framesShownBefore(const av::Asset &asset, const MediaTime &limit)
{
    const QList<av::AssetTrack> video = asset.tracks(MediaType::Video);
    const av::TrackStructure *track = video.isEmpty() ? nullptr : asset.trackStructure(video.first());
    if (!track || !limit.isNumeric())
        return 0;
    std::int64_t offset = 0;
    for (const av::EditEntry &e : track->edits)
        if (!e.isEmpty()) {
            offset = e.mediaTime;
            break;
        }
    const __int128 scale = track->mediaTimescale;
    qsizetype count = 0;
    for (const av::SampleRecord &s : track->samples) {
        const __int128 at = __int128(s.presentationTime() - offset);
        if (at * limit.timescale < __int128(limit.value) * scale && at + s.duration > 0)
            ++count;
    }
    return count;
}

} // namespace

MediaTime probeFrame(const JoinAsset &asset, const MediaTime &time, bool before)
{
    try {
        // One tick before the splice: any picture that starts earlier than the splice; at the
        // splice: the first picture that starts there or later.
        if (before)
            return av::probeDecodableFrame(asset.load(), time - MediaTime(1, 600), av::FrameSide::atOrBefore);
        return av::probeDecodableFrame(asset.load(), time, av::FrameSide::atOrAfter);
    } catch (const av::MediaError &e) {
        throw JoinError::verifyFailed(QStringLiteral("no decodable frame %1 the splice: %2")
                                          .arg(before ? QStringLiteral("before") : QStringLiteral("after"), e.description()));
    }
}

JoinResult verify(const JoinRequest &request)
{
    const JoinAsset joined(request.outputURL);
    const JoinAsset original(request.originalURL);
    const JoinAsset tail(request.tailURL);
    const MediaTime splice = splicePoint(request.trimEnd);

    const MediaTime joinedDuration = joined.load()->duration();
    const double joinedSeconds = joinedDuration.seconds();
    if (!joinedDuration.isNumeric() || !std::isfinite(joinedSeconds))
        throw JoinError::verifyFailed(QStringLiteral("the joined movie has no finite duration"));

    const double expected = tail.load()->duration().seconds() + request.trimEnd;
    const double difference = std::abs(joinedSeconds - expected);
    if (!(difference <= kDurationTolerance + kRoundingSlack))
        throw JoinError::verifyFailed(QString::asprintf("duration %.3f s, expected %.3f s", joinedSeconds, expected));

    const QStringList originalTypes = mediaTypeSequence(*original.load());
    const QStringList joinedTypes = mediaTypeSequence(*joined.load());
    if (joinedTypes != originalTypes)
        throw JoinError::verifyFailed(QStringLiteral("track sequence ") + quotedList(joinedTypes)
                                      + QStringLiteral(" differs from the original's ") + quotedList(originalTypes));

    if (!(probeFrame(joined, splice, true) < splice))
        throw JoinError::verifyFailed(QStringLiteral("no decodable frame before the splice"));
    if (probeFrame(joined, splice, false) < splice)
        throw JoinError::verifyFailed(QStringLiteral("no decodable frame at or after the splice"));

    // Every frame kept of the take and every frame of the tail: a copy that rounded frames onto
    // one another would still have the right duration. The splice may lie anywhere the duration
    // check allows.
    const MediaTime slack = MediaTime::fromSeconds(kDurationTolerance, 600);
    const qsizetype tailFrames = framesShownBefore(*tail.load(), tail.load()->duration());
    const qsizetype fewest = framesShownBefore(*original.load(), splice - slack) + tailFrames;
    const qsizetype most = framesShownBefore(*original.load(), splice + slack) + tailFrames;
    const qsizetype joinedFrames = framesShownBefore(*joined.load(), joinedDuration);
    if (joinedFrames < fewest || joinedFrames > most)
        throw JoinError::verifyFailed(QStringLiteral("%1 video frames, expected %2")
                                          .arg(joinedFrames)
                                          .arg(fewest == most ? QString::number(fewest)
                                                              : QStringLiteral("%1 to %2").arg(fewest).arg(most)));

    JoinResult result;
    result.outputURL = request.outputURL;
    result.duration = joinedSeconds;
    result.audioTrackCount = int(joinedTypes.count(av::mediaTypeIdentifier(MediaType::Audio)));
    return result;
}

} // namespace lumacast::take_joiner
