#pragma once

#include "capture/CaptureTarget.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace lumacast {

class AppStateManager;

// The recording settings and capture devices of the state manager: the update-check and cursor
// settings, the display, microphone and camera lists with their choices, system audio, and the
// webcam switch with its camera-access flow and its two hot-key actions. Each choice is
// published on the manager, written to its settings key and passed to the service that uses it.
// Settings writes never report failure.
//
// The manager owns it and forwards its public operations here. Main thread only; the camera
// access answer and the device and screen notifications arrive there.
class CaptureDevices {
public:
    explicit CaptureDevices(AppStateManager &manager);

    // Follows display and device changes (the manager's screen and device services) for as long
    // as the manager lives.
    void observeChanges();

    void setAutomaticallyChecksForUpdates(bool enabled);
    void setHideCursorWhenIdle(bool enabled);
    // Seconds, clamped to 0.5 ... 10.0.
    void setCursorHideDelay(double seconds);

    void refreshDisplays();
    void selectDisplay(const std::optional<uint32_t> &displayID);
    void refreshMicrophones();
    // Absent: the system default microphone.
    void selectMicrophone(const std::optional<QString> &microphoneID);
    void setCaptureSystemAudio(bool enabled);
    void refreshCameras();
    void storeSelectedCamera(const std::optional<QString> &cameraID);

    void toggleWebcam(const QString &cameraID);
    void enableCamera(const QString &cameraID);
    void showCameraAccessAlert();
    void disableWebcam();
    // The window picker's success: the picked window becomes the capture target, and the webcam,
    // which only the whole-screen capture can show, goes off.
    void applyPickedContent(const ContentFilterRef &filter);

    void toggleWebcamZoom();
    void toggleWebcamBlob();

    // The display arrangement changed: the list is rebuilt, and a take whose display went away
    // is ended as a stream failure.
    void handleScreenParametersChanged();
    // A camera or microphone was connected or disconnected.
    void handleDevicesChanged();

private:
    void logApp(const QString &message) const;
    void storeValue(const char *key, const QVariant &value);
    void removeValue(const char *key);

    AppStateManager &m;
};

} // namespace lumacast
