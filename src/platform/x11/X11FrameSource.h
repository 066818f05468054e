#pragma once

// Screen frames from the X server: a display (a RandR monitor's rectangle of the root window) or
// one window, grabbed through MIT-SHM at a fixed rate on a capture thread of its own.
//
// A display is followed through the screen's changes (a monitor plugged in beside it, another
// resolution): each frame shows the whole display where it is now, and one whose size changed is
// scaled to fit the frame with its aspect kept, centred between black bars. Only a display that
// is gone ends the capture; other displays' changes never end a window capture.
//
// A display capture can leave windows out (by owning process or by id): the frame is grabbed as
// the screen shows it, and wherever a left-out window is visible the picture is composed again
// from the windows beneath and above it, read from their off-screen (Composite) pixmaps. A window
// capture reads the window's own pixmap, so it shows the window whole wherever it is moved and
// whatever covers it. Without the Composite extension both fall back to plain grabs of the
// screen (logged once).
//
// A capture asks the server for a picture only when the screen changed: where the server has the
// Damage extension, an interval without damage, with the pointer where it was (and a captured
// window where it was) delivers the last frame again (see `Frame::picture`), so a still screen
// costs no grab. A captured window that is not shown (minimised, unmapped by its program, or cut
// by its frame while a window manager animates it) is held the same way: its last frame comes
// again, black before it ever showed, until it shows again. Only a window that is gone fails.

#include "platform/x11/X11Error.h"

#include <QRect>
#include <QSize>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace lumacast::x11 {

struct CaptureConfig {
    enum class Kind { Display, Window };
    Kind kind = Kind::Display;
    uint32_t displayId = 0; // Display: its id (from listDisplays)
    uint32_t windowId = 0;  // Window: the window to capture
    // Size of every delivered frame in pixels. A display is delivered at its own size when these
    // are 0, and fitted into them otherwise (`fittedRect`); a window capture of a different size
    // is cropped or padded with black, top-left.
    int width = 0;
    int height = 0;
    int framesPerSecond = 60; // clamped to 1...60
    bool showsCursor = true;
    // Left out of a display capture: every window of these processes, and these windows...
    std::vector<uint32_t> excludedPids;
    std::vector<uint32_t> excludedWindows;
    // ...except these (by client or top-level id).
    std::vector<uint32_t> exceptedWindows;
};

// Where a picture of one size lands in a frame of another: scaled to fit with its aspect kept,
// centred. Empty when either size is.
QRect fittedRect(QSize picture, QSize frame);

// One frame: 32-bit BGRX pixels, top row first. The pixels stay valid while a copy of the frame
// (its `buffer`) is held; the source reuses a buffer only after every holder has let go.
struct Frame {
    const uint8_t *data = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0;
    int64_t timestampNs = 0; // CLOCK_MONOTONIC, taken when the grab was requested
    std::shared_ptr<const void> buffer;
    // The source's number for these pixels: a frame with the number of the frame before it is
    // that frame again (same buffer, a later time), delivered without asking the server for it.
    uint64_t picture = 0;
};

class FrameSource {
public:
    using FrameHandler = std::function<void(const Frame &)>;
    using ErrorHandler = std::function<void(const X11Error &)>;

    explicit FrameSource(CaptureConfig config);
    ~FrameSource();
    FrameSource(const FrameSource &) = delete;
    FrameSource &operator=(const FrameSource &) = delete;

    // Connects to the X server and resolves the display or window. Throws X11Error when the
    // server, the display or the window cannot be reached; nothing is kept open then.
    void open();

    // Width and height of the frames delivered (valid after a successful open).
    int frameWidth() const;
    int frameHeight() const;
    // Whether the Composite extension is in use (left-out windows really are left out).
    bool isComposited() const;

    // One frame, synchronously, on the calling thread; not while the capture thread runs.
    // Throws X11Error when the display or window is gone or the connection broke; leaves
    // `frame` empty (null data) when every buffer is still held downstream.
    void captureFrame(Frame &frame);

    // The capture thread: one frame per interval to `onFrame`, on that thread. A failure ends the
    // thread after one call of `onError` with the X11Error (also on that thread). Handlers are set
    // before start. `start` opens first when needed and throws what `open` throws.
    void setFrameHandler(FrameHandler handler);
    void setErrorHandler(ErrorHandler handler);
    void start();
    void stop(); // waits for the thread; idempotent

    // Switchable while capturing; takes effect at the next frame.
    void setShowsCursor(bool shows);

    uint64_t framesDelivered() const;

private:
    struct State;
    void run();

    std::unique_ptr<State> d;
    std::thread m_thread;
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    bool m_stopRequested = false;
    std::atomic<bool> m_showsCursor;
    std::atomic<uint64_t> m_delivered{0};
    FrameHandler m_onFrame;
    ErrorHandler m_onError;
};

} // namespace lumacast::x11
