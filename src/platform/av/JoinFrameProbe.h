#pragma once

#include "platform/av/Asset.h"
#include "platform/av/MediaTime.h"

#include <memory>

namespace lumacast::av {

// Which side of a time a probe looks on.
enum class FrameSide {
    atOrBefore, // the picture shown at the time: the last one starting at it or earlier
    atOrAfter,  // the first picture starting at the time or later
};

// Decodes the first video track of `asset` up to the picture nearest `time` on one side and
// returns that picture's presentation time, as an image generator with an infinite tolerance on
// that side and none on the other would (tracks' transforms are not applied). Only that one picture is converted to
// an image; the ones decoded on the way to it are not. Throws MediaError (NoSuchTrack, NoFrame,
// or the decoder's error).
MediaTime probeDecodableFrame(const std::shared_ptr<const Asset> &asset, const MediaTime &time, FrameSide side);

} // namespace lumacast::av
