#pragma once

// Screen frames from a PipeWire screen-cast node (the portal's stream): negotiated as 32-bit BGRx
// in shared-memory buffers, copied out of PipeWire's buffers on its own loop thread and handed on
// there, each dated on CLOCK_MONOTONIC (the clock the sound is dated on) when it arrived.
//
// The compositor sends a picture only when the screen changes. So that a still screen still makes
// a take at the take's rate, a repeat thread hands on the last picture again, newly dated,
// whenever no new one came for one frame interval.

#include "platform/pipewire/CastCursor.h"
#include "platform/pipewire/PortalError.h"

#include <QPointF>
#include <QString>

#include <atomic>
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
    int framesPerSecond = 60; // the take's rate, for repeats; clamped to 1...60
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

    // Handlers are set before start; frames and the one error arrive on PipeWire's loop thread or
    // the repeat thread, never two at once. After an error nothing more is delivered.
    void setFrameHandler(FrameHandler handler);
    void setErrorHandler(ErrorHandler handler);
    // Connects to PipeWire and the node. Throws PortalError (`stream`) when PipeWire refuses.
    void start();
    void stop(); // waits for both threads; idempotent

    // Any thread. With the pointer as metadata the next frame follows, a repeated one too;
    // otherwise the desktop drew it (or not) as asked when sharing started, and this does nothing.
    void setShowsCursor(bool shows) { m_showsCursor.store(shows); }
    // The pointer's position in the cast's pixels, as its metadata last said. Any thread.
    std::optional<QPointF> cursorPosition() const;

    uint64_t picturesReceived() const { return m_received.load(); }
    uint64_t framesDelivered() const { return m_delivered.load(); }
    // Pictures PipeWire queued behind a newer one before we got to them, and so never delivered.
    uint64_t picturesSkipped() const { return m_skipped.load(); }

private:
    struct State;
    void deliver(const std::shared_ptr<std::vector<uint8_t>> &pixels, bool repeated);
    void fail(const QString &message);
    void repeatLoop();
    void updateCursor(const void *meta, size_t size);
    std::shared_ptr<std::vector<uint8_t>> withCursor(const std::shared_ptr<std::vector<uint8_t>> &pixels, bool fresh);

    StreamConfig m_config;
    std::unique_ptr<State> d;
    FrameHandler m_onFrame;
    ErrorHandler m_onError;

    mutable std::mutex m_deliverMutex; // one delivery at a time; guards the fields below
    std::shared_ptr<std::vector<uint8_t>> m_last;
    int64_t m_lastDeliveredNs = 0;
    bool m_failed = false;
    CastCursor m_cursor;
    CastCursor::Stamp m_lastStamp; // the pointer as drawn on m_last
    CastCursor::Patch m_lastPatch; // and what it covered there
    std::vector<std::shared_ptr<std::vector<uint8_t>>> m_redrawn; // pictures drawn again for the pointer
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
