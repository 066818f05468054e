#pragma once

#include <QMetaType>

namespace lumacast {

// A playback or trim key the scene outline hands to the review window, which carries it out.
struct PlaybackKey {
    enum Kind { nudge, playPauseOrSnap, toggleTrimStart, toggleTrimEnd, deselectTrim };
    Kind kind = playPauseOrSnap;
    bool forward = false; // nudge only
    bool large = false;   // nudge only: the Alt (Option) key was held, a second instead of a frame

    static PlaybackKey makeNudge(bool forward, bool large) { return {nudge, forward, large}; }
    bool operator==(const PlaybackKey &) const = default;
};

} // namespace lumacast

Q_DECLARE_METATYPE(lumacast::PlaybackKey)
