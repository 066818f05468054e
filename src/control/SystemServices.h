#pragma once

#include "control/CaptureServices.h"
#include "control/ShellServices.h"

#include <memory>

// The shipped program's collaborators of the state manager that stand on the capture, store and
// media layers. Each adapts one existing component to its interface, adding nothing. Main
// thread only. The windows' own collaborators (alerts, panels, overlays, the main window, the
// application) are adapted by the user interface.
class QScreen;

namespace lumacast {

class CameraDevices;
class ExportCoordinator;
class GlobalKeyboardShortcuts;
class MicrophoneDevices;
class PermissionsCoordinator;
class ScreenRecorder;

class ScreenRecorderService final : public RecorderService {
public:
    explicit ScreenRecorderService(std::shared_ptr<ScreenRecorder> recorder);

    void prepareMicrophone(const std::optional<QString> &deviceID) override;
    void releasePreparedMicrophone() override;
    QCoro::Task<FilterAndConfiguration> makeFilterAndConfiguration(std::optional<x11::ShareableContent> content,
                                                                   std::optional<uint32_t> preferredDisplayID,
                                                                   std::optional<uint32_t> overlayWindowID,
                                                                   bool captureSystemAudio,
                                                                   CaptureTarget target) override;
    QCoro::Task<void> startRecording(QString outputURL, uint32_t displayID, ContentFilterRef filter,
                                     StreamConfiguration configuration,
                                     std::optional<AudioEncodingPlan> plan) override;
    void setNextTakeJournalNote(const QByteArray &note) override;
    bool desktopChoosesScreen() const override;
    QCoro::Task<void> askForScreen(FilterAndConfiguration made) override;
    void cancelAskingForScreen() override;
    void releaseAskedScreen() override;
    void pause() override;
    void resume() override;
    QCoro::Task<std::optional<Recording>> stopRecording() override;
    std::optional<uint32_t> capturedDisplayID() const override;
    void setCursorAutoHide(bool enabled) override;
    void setCursorHideDelay(double seconds) override;
    void setCallbacks(std::function<void(const Error &)> onStreamError,
                      std::function<void(bool)> onVideoEffectChanged) override;

    ScreenRecorder &recorder() const { return *m_recorder; }

private:
    std::shared_ptr<ScreenRecorder> m_recorder;
};

class CoordinatorPermissionsService final : public PermissionsService {
public:
    explicit CoordinatorPermissionsService(std::shared_ptr<PermissionsCoordinator> coordinator);

    QCoro::Task<bool> runLaunchFlow() override;
    QCoro::Task<bool> ensureReadyToRecord(QString caller, bool silent) override;
    std::optional<x11::ShareableContent> cachedContent() const override;
    bool didRequestScreenThisLaunch() const override;

private:
    std::shared_ptr<PermissionsCoordinator> m_coordinator;
};

// The X server's displays; follows the screens of the running GUI application, if there is one.
class X11ScreenService final : public ScreenService {
    Q_OBJECT
public:
    explicit X11ScreenService(QObject *parent = nullptr);
    std::vector<DisplayOption> availableDisplays() const override;
    std::optional<uint32_t> mainDisplayID() const override;

private:
    void watchScreen(QScreen *screen);
};

// Runs one CameraCapture.
class CameraCaptureFeed final : public CameraFeed {
    Q_OBJECT
public:
    explicit CameraCaptureFeed(QObject *parent = nullptr);
    ~CameraCaptureFeed() override;

    void start(const QString &cameraID) override;
    void stop() override;
    std::optional<QString> deviceID() const override;
    bool isRunning() const override;

    // The overlay's picture comes from here.
    CameraCapture &capture() const { return *m_capture; }

private:
    std::unique_ptr<CameraCapture> m_capture;
};

// Cameras through Qt Multimedia, microphones through PulseAudio. Camera access needs no
// permission on this desktop.
class SystemDeviceService final : public DeviceService {
    Q_OBJECT
public:
    explicit SystemDeviceService(QObject *parent = nullptr);
    ~SystemDeviceService() override;

    QList<CameraOption> availableCameras() const override;
    QList<MicOption> availableMicrophones() const override;
    std::optional<QList<MicOption>> listedMicrophones() const override;
    std::optional<QString> defaultMicrophoneName() const override;
    CameraAuthorization cameraAuthorization() const override;
    QCoro::Task<bool> requestCameraAccess() override;
    std::unique_ptr<CameraFeed> makeCameraFeed() override;

private:
    CameraDevices *m_cameras = nullptr;
    MicrophoneDevices *m_microphones = nullptr;
};

class GlobalHotKeyService final : public HotKeyService {
public:
    explicit GlobalHotKeyService(std::shared_ptr<GlobalKeyboardShortcuts> shortcuts);

    void setHandlers(std::map<ShortcutAction, std::function<void()>> handlers) override;
    void installHotKeys(const ShortcutBindings &bindings) override;
    void unregisterAllHotKeys() override;

private:
    std::shared_ptr<GlobalKeyboardShortcuts> m_shortcuts;
};

class CoordinatorExportService final : public ExportService {
public:
    explicit CoordinatorExportService(std::shared_ptr<ExportCoordinator> coordinator);

    void exportVideo(const Session &session, EventHandler handler) override;
    void exportFCPXML(const Session &session, EventHandler handler) override;
    void exportFCP7XML(const Session &session, EventHandler handler) override;

private:
    std::shared_ptr<ExportCoordinator> m_coordinator;
};

} // namespace lumacast
