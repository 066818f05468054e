#pragma once

// When a screen cast's last picture is delivered again, and what time it then carries. The
// desktop sends a picture only when the screen changes; the take writer holds a picture on screen
// until the next one comes, so a repeat is needed only where the take needs the picture again:
// once it has been held for the longest hold (the writer writes it anew then), where the pointer
// drawn on it changed, and where the take pauses or ends, so that the held picture lasts up to
// there. The pointer's, the pause's and the end's repeats are dated on the take's grid, whole
// frame intervals after the last delivery, where a source repeating at the take's rate would have
// dated them.
//
// Times are CLOCK_MONOTONIC nanoseconds. Not thread-safe: the frame source keeps it under its
// delivery lock.

#include <cstdint>
#include <optional>
#include <vector>

namespace lumacast::pipewire {

class RepeatSchedule {
public:
    enum class Delivery {
        picture, // a picture the writer has not had: new, or one the pointer was drawn on anew
        rewrite, // the held picture again once the longest hold is over, which the writer writes
        hold,    // the held picture again, which the writer only holds longer
    };

    RepeatSchedule(int64_t intervalNs, int64_t longestHoldNs);

    void delivered(int64_t dateNs, Delivery delivery);
    // No picture to repeat until the next is delivered.
    void forget() { m_hasPicture = false; }
    // While the take is paused nothing is due. The writer goes on from the last delivery before
    // the pause, so the held picture's rewrite is put off by as long as the take stood still
    // from there; a picture that came while paused is written where the take goes on.
    void pause();
    void resume(int64_t atNs);

    // The held picture's rewrite, once due at `nowNs`: the date it carries.
    std::optional<int64_t> rewriteDue(int64_t nowNs) const;
    // A repeat for a pointer that changed, once a quarter interval past the next grid point (a
    // picture the desktop sends a little late is not preceded by one): its date on the grid.
    std::optional<int64_t> pointerRepeatDue(int64_t nowNs) const;
    // The latest grid point before `limitNs` (a pause) past the last delivery, if any.
    std::optional<int64_t> holdBefore(int64_t limitNs) const;
    // At the end of the take (`nowNs`): the repeats that carry the held picture up to it, the last
    // of them an interval after the delivery before it, as the writer times the last picture
    // by the interval before it. None when the last delivery already ends the take so.
    std::vector<int64_t> endAt(int64_t nowNs) const;
    // How long the repeat thread may sleep at `nowNs`; a pointer drawn here is looked at every
    // interval.
    int64_t sleepAt(int64_t nowNs, bool watchesPointer) const;

    int64_t lastDelivery() const { return m_last; }

private:
    // Whole intervals from the last delivery up to `t`.
    int64_t intervalsTo(int64_t t) const { return t > m_last ? (t - m_last) / m_interval : 0; }

    int64_t m_interval;
    int64_t m_longestHold;
    bool m_hasPicture = false;
    int64_t m_last = 0;        // the last delivery's date
    int64_t m_gapBefore = 0;   // from the delivery before it; 0 for the first
    int64_t m_written = 0;     // the last picture or rewrite's date
    std::optional<int64_t> m_pausedFrom; // while paused: the last delivery before the pause
};

} // namespace lumacast::pipewire
