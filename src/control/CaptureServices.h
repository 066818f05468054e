#pragma once

#include "capture/AudioEncodingPlan.h"
#include "capture/AudioRecorder.h"
#include "capture/CameraCapture.h"
#include "capture/CaptureTarget.h"
#include "capture/DisplayOption.h"
#include "capture/ScreenRecorder.h"
#include "model/Error.h"

#include <QList>
#include <QObject>
#include <QString>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

// What the state manager asks of the capture layer, as interfaces: the shipped program hands in
// the adapters of control/SystemServices.h, tests hand in doubles. Everything is called on the
// main thread; asynchronous calls complete there. Await a returned task through a named
// variable (`auto task = recorder.stopRecording(); co_await task;`): GCC 12 destroys a temporary
// converted into an argument inside a co_await expression twice.
namespace lumacast {

// The screen, system-audio and microphone capture into one take movie at a time.
class RecorderService {
public:
    using FilterAndConfiguration = ScreenRecorder::FilterAndConfiguration;
    using Recording = ScreenRecorder::Recording;

    virtual ~RecorderService() = default;

    // Opens the microphone ahead of the countdown (absent: the default input). Throws when it
    // cannot be set up.
    virtual void prepareMicrophone(const std::optional<QString> &deviceID) = 0;
    // Stops and drops a microphone prepared for a take that then did not start (cancelled
    // countdown, failed start). Nothing while a take is recording or when none is prepared.
    virtual void releasePreparedMicrophone() = 0;
    // Throws when no display is available or the window list cannot be read.
    virtual QCoro::Task<FilterAndConfiguration> makeFilterAndConfiguration(
        std::optional<x11::ShareableContent> content, std::optional<uint32_t> preferredDisplayID,
        std::optional<uint32_t> overlayWindowID, bool captureSystemAudio, CaptureTarget target) = 0;
    // On return the take is being written to `outputURL`; throws otherwise (the partial file is
    // removed). `plan` is given for a tail, absent for a take.
    virtual QCoro::Task<void> startRecording(QString outputURL, uint32_t displayID, ContentFilterRef filter,
                                             StreamConfiguration configuration,
                                             std::optional<AudioEncodingPlan> plan) = 0;
    // The words the next take's journal opens with: which session and scene it is recorded for,
    // so that a take a crash cut off is filed where it belongs. Nothing for a recorder that
    // keeps no journal.
    virtual void setNextTakeJournalNote(const QByteArray &note) { (void)note; }
    // Where the desktop chooses what is shared, a take's start asks it before the countdown
    // (`askForScreen`, which throws as `startRecording` would) and the next `startRecording`
    // records that share. `cancelAskingForScreen` makes an ask under way throw at once;
    // `releaseAskedScreen` ends a share whose take did not start.
    virtual bool desktopChoosesScreen() const { return false; }
    virtual QCoro::Task<void> askForScreen(FilterAndConfiguration made)
    {
        (void)made;
        co_return;
    }
    virtual void cancelAskingForScreen() {}
    virtual void releaseAskedScreen() {}
    virtual void pause() = 0;
    virtual void resume() = 0;
    // The movie and its duration, or nothing when no usable movie was written.
    virtual QCoro::Task<std::optional<Recording>> stopRecording() = 0;
    // Absent for a window capture and while nothing is captured.
    virtual std::optional<uint32_t> capturedDisplayID() const = 0;
    virtual void setCursorAutoHide(bool enabled) = 0;
    virtual void setCursorHideDelay(double seconds) = 0; // already clamped by the caller

    // The recorder calls these from any thread; the closures move the work to the main thread.
    virtual void setCallbacks(std::function<void(const Error &)> onStreamError,
                              std::function<void(bool)> onVideoEffectChanged) = 0;
};

// The permission flow and checks before any capture.
class PermissionsService {
public:
    virtual ~PermissionsService() = default;
    // Once per launch, without alerts; the result says whether shareable content is cached.
    virtual QCoro::Task<bool> runLaunchFlow() = 0;
    // Microphone first, then screen recording; true only when both are granted. Never throws;
    // shows its own alerts unless `silent`. `caller` tags its log lines.
    virtual QCoro::Task<bool> ensureReadyToRecord(QString caller, bool silent) = 0;
    virtual std::optional<x11::ShareableContent> cachedContent() const = 0;
    virtual bool didRequestScreenThisLaunch() const = 0;
};

// The connected displays. `screensChanged` comes on the main thread whenever the arrangement
// changes.
class ScreenService : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual std::vector<DisplayOption> availableDisplays() const = 0;
    // The primary display, else the first; nothing without displays.
    virtual std::optional<uint32_t> mainDisplayID() const = 0;

signals:
    void screensChanged();
};

// The running webcam while the overlay is on; its camera is switched in place.
class CameraFeed : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Switches to the camera and runs it; a missing camera is logged and changes nothing.
    virtual void start(const QString &cameraID) = 0;
    virtual void stop() = 0;
    virtual std::optional<QString> deviceID() const = 0;
    virtual bool isRunning() const = 0;
};

enum class CameraAuthorization { notDetermined, restricted, denied, authorized };

// Cameras and microphones. `devicesChanged` comes on the main thread when one is connected or
// disconnected.
class DeviceService : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual QList<CameraOption> availableCameras() const = 0;
    virtual QList<MicOption> availableMicrophones() const = 0;
    // The same, but nothing when no sound server answers (it restarts, or is not running yet).
    virtual std::optional<QList<MicOption>> listedMicrophones() const { return availableMicrophones(); }
    // The name of the microphone recorded when none is chosen; nothing when there is none.
    virtual std::optional<QString> defaultMicrophoneName() const = 0;
    virtual CameraAuthorization cameraAuthorization() const = 0;
    virtual QCoro::Task<bool> requestCameraAccess() = 0;
    // A new camera feed that is not running; the caller owns it.
    virtual std::unique_ptr<CameraFeed> makeCameraFeed() = 0;

signals:
    void devicesChanged();
};

} // namespace lumacast
