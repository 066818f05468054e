#pragma once

namespace lumacast::review {

// A trim handle of the trim bar. An optional TrimHandle names the handle selected for keyboard
// trimming (kept by the review window) or the one being dragged.
enum class TrimHandle { start, end };

// A playback or trim key that the scene outline hands to the review window.
struct PlaybackKey {
    enum class Kind { nudge, playPauseOrSnap, toggleTrimStart, toggleTrimEnd, deselectTrim };
    Kind kind = Kind::playPauseOrSnap;
    bool forward = false; // nudge only
    bool large = false;   // nudge only: a second instead of a frame

    static PlaybackKey nudge(bool forward, bool large) { return {Kind::nudge, forward, large}; }
    static PlaybackKey of(Kind kind) { return {kind, false, false}; }
};

} // namespace lumacast::review
