#pragma once

// Screen frames from a PipeWire screen-cast node (the portal's stream): negotiated as 32-bit BGRx
// in shared-memory buffers and handed on from PipeWire's loop thread, each dated on
// CLOCK_MONOTONIC (the clock the sound is dated on) when it arrived. A frame lends out PipeWire's
// own mapped buffer rather than a copy: the buffer goes back to the stream when the last holder
// of the frame lets go, so holders let go soon (the compositor has only a few buffers to draw in).
// A picture is the part of its buffer the desktop marks as the picture (PipeWire's video crop
// region, which a window's cast has in a monitor-sized buffer and which may change from one
// buffer to the next), clamped to the buffer; the whole buffer where there is none. A window's
// region may hold unpainted edges around it (see-through black: the desktop's invisible resize
// edges, a client's shadow, however deep), which a BGRx take would show as black bands: they are
// left out of the region (`WindowEdges`, which tells them from the window's own dark or
// see-through pixels and looks for them again after the region changes size or the lines beside
// them change); a window's cast asks for BGRA first, whose fourth byte is known to be alpha. A picture
// whose size differs from the take's is copied, cropped or padded, top-left, as a window whose
// size changed during an X11 take is; so is one the pointer is drawn on (the compositor's buffer
// is not ours to draw in).
//
// The compositor sends a picture only when the screen changes, and the take writer holds a
// picture on screen until the next one comes. So the last picture is handed on again only where
// the take needs it (`RepeatSchedule`): by a repeat thread once a second, when the writer writes
// a held picture anew, and where the pointer drawn on it changed; at a pause and at the stop, so
// that a still screen lasts in the take up to there; and at a resume, where the take goes on
// with the picture shown then. A repeat carries its picture's number, so that a consumer can tell
// it from a new picture without looking at the pixels.

#include "platform/pipewire/CastCursor.h"
#include "platform/pipewire/PortalError.h"
#include "platform/pipewire/RepeatSchedule.h"

#include <QPoint>
#include <QPointF>
#include <QRect>
#include <QSize>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace lumacast::pipewire {

struct StreamConfig {
    int pipeWireFd = -1; // the portal's PipeWire remote; the source takes ownership
    uint32_t nodeId = 0;
    // Size of every delivered frame in pixels; pictures of another size are cropped or padded
    // with black, top-left.
    int width = 0;
    int height = 0;
    // A window's cast: the take is the size of the first picture (rounded down to even pixels),
    // which `settleSize` waits for; `width` and `height` are only the size asked of PipeWire.
    bool sizeFromPicture = false;
    int framesPerSecond = 60; // the take's rate, the grid repeats are dated on; clamped to 1...60
    // How long a picture is held before it is handed on again for the writer to write anew.
    int64_t longestHoldNs = 1000000000;
    // The desktop sends the pointer beside the pictures: we draw it, while `showsCursor`.
    bool cursorMetadata = false;
    bool showsCursor = true;
};

// One frame: 32-bit BGRX pixels, top row first, valid while `buffer` (or a copy) is held.
struct Frame {
    const uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    int64_t timestampNs = 0; // CLOCK_MONOTONIC
    bool repeated = false;   // the previous picture again, the screen having not changed
    uint64_t picture = 0;    // the picture's number, from 1; a repeat carries its picture's
    std::shared_ptr<const void> buffer;
};

class PipeWireFrameSource {
public:
    using FrameHandler = std::function<void(const Frame &)>;
    using ErrorHandler = std::function<void(const PortalError &)>;

    explicit PipeWireFrameSource(StreamConfig config);
    ~PipeWireFrameSource();
    PipeWireFrameSource(const PipeWireFrameSource &) = delete;
    PipeWireFrameSource &operator=(const PipeWireFrameSource &) = delete;

    // Handlers are set before start, or before the take of a source `settleSize` started; frames
    // and the one error arrive on PipeWire's loop thread, the repeat thread or the caller of
    // `pause`, `resume` and `stop`, never two at once. After an error nothing more is delivered.
    void setFrameHandler(FrameHandler handler);
    void setErrorHandler(ErrorHandler handler);
    // Connects to PipeWire and the node. Throws PortalError (`stream`) when PipeWire refuses, or,
    // on a source already started, when its stream failed before a handler was there to hear it.
    void start();
    // Starts the source where it has not started and waits up to `bound` for the take's size: with
    // `sizeFromPicture` that of the first picture, or the configured one where none came in time
    // (fixed from then on). Blocks: not on PipeWire's loop thread. Throws as `start` does.
    QSize settleSize(std::chrono::milliseconds bound);
    // Hands the last picture on again at once, dated now: for a consumer that came after it (the
    // pictures of a source started before its take went nowhere).
    void handOnAgain();
    // Hands on the last picture once more, dated at the latest a source repeating it at the take's
    // rate would have, so that the picture lasts up to the stop; then waits for both threads and
    // for the frames handed out to be let go (never call it while holding one); idempotent.
    void stop();

    // Any thread: the take pauses or resumes at `monotonicNs`. At the pause the last picture,
    // when it came over an interval before, is handed on again dated at the last interval before
    // the pause, so that it lasts up to it; nothing is repeated while paused. At the resume the
    // last picture, which may have come while paused, is handed on again at once.
    void pause(int64_t monotonicNs);
    void resume(int64_t monotonicNs);

    // Any thread. With the pointer as metadata the next frame follows, a repeated one too;
    // otherwise the desktop drew it (or not) as asked when sharing started, and this does nothing.
    void setShowsCursor(bool shows) { m_showsCursor.store(shows); }
    // Whether the pointer comes as metadata and is drawn here (fixed at construction).
    bool drawsCursor() const { return m_config.cursorMetadata; }
    // The pointer's position in the cast's pixels, as its metadata last said. Any thread.
    std::optional<QPointF> cursorPosition() const;

    uint64_t picturesReceived() const { return m_received.load(); }
    uint64_t framesDelivered() const { return m_delivered.load(); }
    // Pictures PipeWire queued behind a newer one before we got to them, and so never delivered.
    uint64_t picturesSkipped() const { return m_skipped.load(); }

private:
    struct State;
    struct Lender;
    // A picture as delivered: where its pixels are and what keeps them there.
    struct Picture {
        const uint8_t *data = nullptr;
        int stride = 0;
        uint64_t number = 0;
        std::shared_ptr<const void> keep;
    };
    using Delivery = RepeatSchedule::Delivery;
    void deliver(const Picture &picture);
    // Loop thread: the take's size from the first picture's, where it follows the picture.
    void settleSizeFrom(QSize picture);
    // Under m_deliverMutex: `picture` (m_last again unless it is a `picture`) at `dateNs`.
    void deliverLocked(const Picture &picture, Delivery delivery, int64_t dateNs);
    bool pointerChanged() const;
    void forgetLast();
    void fail(const QString &message);
    void repeatLoop();
    void updateCursor(const void *meta, size_t size, QPoint origin);
    Picture withCursor(const Picture &picture, bool fresh);
    Picture copied(const Picture &picture);

    StreamConfig m_config;
    std::unique_ptr<State> d;
    FrameHandler m_onFrame;
    ErrorHandler m_onError;

    mutable std::mutex m_deliverMutex; // one delivery at a time; guards the fields below
    Picture m_last;
    uint64_t m_numbers = 0; // the last picture number given
    RepeatSchedule m_repeats;
    bool m_failed = false;
    QString m_failure;          // what failed, for a start that comes after it
    bool m_sizeSettled = false; // the take's size (m_config's) is fixed
    std::condition_variable m_sizeKnown;
    CastCursor m_cursor;
    CastCursor::Stamp m_lastStamp; // the pointer as drawn on m_last
    CastCursor::Patch m_lastPatch; // and what it covered there
    std::vector<std::shared_ptr<std::vector<uint8_t>>> m_drawn; // our own copies, to draw the pointer on
    std::atomic<bool> m_showsCursor{true};

    std::thread m_repeater;
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    bool m_stopRequested = false;

    std::atomic<uint64_t> m_received{0};
    std::atomic<uint64_t> m_delivered{0};
    std::atomic<uint64_t> m_skipped{0};
};

} // namespace lumacast::pipewire
