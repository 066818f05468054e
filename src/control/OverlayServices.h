#pragma once

#include "store/WebcamBlob.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <functional>
#include <optional>

// The four panels around a recording, as the state manager drives them. The panels themselves
// live in overlays/, which never includes control/: a thin adapter beside the application
// implements these on them. All calls are made on the main thread.
namespace lumacast {

class CameraFeed;

// The countdown before each take.
class CountdownService {
public:
    virtual ~CountdownService() = default;
    // Counts down from `count` on the display (absent: the main one). True when it ran to the
    // end, false when the user cancelled it.
    virtual QCoro::Task<bool> run(int count, std::optional<uint32_t> displayID) = 0;
    // Calls `onCancel` for Escape, and for any hot key, until `stopWatchingForCancel`, the way a
    // running countdown is cancelled but with nothing on screen: for the wait before it.
    virtual void watchForCancel(std::function<void()> onCancel) { (void)onCancel; }
    virtual void stopWatchingForCancel() {}
    // Ends a running countdown as the user's Escape does (its run answers false); nothing when
    // none runs.
    virtual void cancel() {}
};

// The coloured border round the captured area.
class BorderService {
public:
    virtual ~BorderService() = default;
    // Shows the border over the current capture target; nothing when it is already shown.
    virtual void show() = 0;
    // Harmless when nothing is shown.
    virtual void hide() = 0;
};

// The floating recording status panel.
class StatusPanelService {
public:
    virtual ~StatusPanelService() = default;
    // Builds and shows the panel; nothing when it is already up.
    virtual void show() = 0;
    // Orders the panel out and releases it.
    virtual void hide() = 0;
};

// The movable webcam overlay. Its panel is kept while the webcam is on and only ordered out
// while it is hidden.
class WebcamOverlayService {
public:
    virtual ~WebcamOverlayService() = default;
    virtual bool isInteractive() const = 0;
    // Stores the flag and applies it to the panel, if there is one.
    virtual void setInteractive(bool interactive) = 0;
    // Builds the panel when there is none, applies the interactivity and brings it up on the
    // display (absent: the main one) with the feed's picture.
    virtual void show(CameraFeed &feed, std::optional<uint32_t> displayID) = 0;
    virtual bool hasPanel() const = 0;
    // Orders the panel out, keeping it; harmless without a panel.
    virtual void orderOut() = 0;
    // Orders the panel out and lets it go; harmless without a panel.
    virtual void releasePanel() = 0;
    // The panel's window id, for leaving it in the whole-screen capture; absent without a panel.
    virtual std::optional<uint32_t> windowNumber() const = 0;
    // Switches between the corner and the full mode.
    virtual void toggleMode() = 0;
    virtual BlobShape shape() const = 0;
    // Stores the shape under "webcamBlobShape" and applies it.
    virtual void setShape(BlobShape shape) = 0;
};

} // namespace lumacast
