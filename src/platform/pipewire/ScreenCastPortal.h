#pragma once

// The desktop portal's screen cast (org.freedesktop.portal.ScreenCast) over the session bus: one
// session that asks the desktop for a monitor or a window, through the desktop's own chooser
// unless a restore token from an earlier choice is accepted, and hands out the PipeWire remote
// and node that carry its pictures.
//
// Synchronous: `start` blocks the calling thread until the portal answers, which may be as long
// as the user takes to choose, so it runs on a worker thread (it keeps a bus connection and an
// event loop of its own there). The session ends with the object, or with `close`.

#include "platform/pipewire/PortalError.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>

namespace lumacast::pipewire {

struct CastRequest {
    enum class Source { Monitor, Window };
    Source source = Source::Monitor;
    // The pointer drawn into the pictures; without it the cast shows none. Where the desktop
    // can send the pointer beside the pictures instead, that is asked for and this is ignored:
    // the frame source draws it, and can leave it out mid-take.
    bool embedsCursor = true;
    // A token from an earlier session of the same kind: the portal may restore that choice
    // without asking. One it rejects is dropped and the chooser asked once.
    std::optional<QString> restoreToken;
    // How long the desktop may take to answer the step where the user chooses, in milliseconds;
    // the steps before it get at most 15 s. A portal that does not answer in time throws
    // `noAnswer`, and its request is withdrawn.
    int answerTimeoutMs = 60000;
};

struct CastStream {
    int pipeWireFd = -1;       // owned by the session until taken with `takePipeWireFd`
    uint32_t nodeId = 0;
    int width = 0;             // pixels, as the portal announced them (0 when it did not)
    int height = 0;
    std::optional<QString> restoreToken; // to keep for the next session of this kind
    bool restored = false;               // the earlier choice was reused without the chooser
    bool cursorAsMetadata = false;       // the pointer comes beside the pictures, for us to draw
};

class ScreenCastPortal {
public:
    ScreenCastPortal();
    ~ScreenCastPortal();
    ScreenCastPortal(const ScreenCastPortal &) = delete;
    ScreenCastPortal &operator=(const ScreenCastPortal &) = delete;

    // Whether the session bus has a portal with the ScreenCast interface. Any thread.
    static bool isAvailable();

    // Creates the session, selects the sources, starts it (the chooser) and opens the PipeWire
    // remote. Throws PortalError: `cancelled` when the user dismissed the chooser or `cancel`
    // came, `failed` when the portal failed, `noAnswer` when it did not answer in time,
    // `unavailable` without a portal (or when it went away meanwhile).
    CastStream start(const CastRequest &request);

    // Ends a `start` under way on another thread at once, with `cancelled`; a `start` after it
    // is cancelled too (one object serves one start). Any thread.
    void cancel();

    // The PipeWire connection `start` opened; the caller owns it from then on (-1 when none).
    int takePipeWireFd();

    // Ends the session; the desktop stops the stream. Idempotent; any thread.
    void close();

private:
    struct State;
    std::unique_ptr<State> d;
};

} // namespace lumacast::pipewire
