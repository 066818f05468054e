#include "control/SystemServices.h"

#include "capture/MicrophoneDevices.h"
#include "capture/PermissionsCoordinator.h"
#include "media/ExportCoordinator.h"
#include "store/GlobalKeyboardShortcuts.h"

#include <QGuiApplication>
#include <QScreen>

namespace lumacast {

// ---- Recorder ----------------------------------------------------------------------------------

ScreenRecorderService::ScreenRecorderService(std::shared_ptr<ScreenRecorder> recorder)
    : m_recorder(std::move(recorder))
{
}

void ScreenRecorderService::prepareMicrophone(const std::optional<QString> &deviceID)
{
    m_recorder->prepareMicrophone(deviceID);
}

void ScreenRecorderService::releasePreparedMicrophone()
{
    m_recorder->releasePreparedMicrophone();
}

QCoro::Task<RecorderService::FilterAndConfiguration> ScreenRecorderService::makeFilterAndConfiguration(
    std::optional<x11::ShareableContent> content, std::optional<uint32_t> preferredDisplayID,
    std::optional<uint32_t> overlayWindowID, bool captureSystemAudio, CaptureTarget target)
{
    auto task = m_recorder->makeFilterAndConfiguration(std::move(content), preferredDisplayID, overlayWindowID,
                                                       captureSystemAudio, std::move(target));
    co_return co_await task;
}

QCoro::Task<void> ScreenRecorderService::startRecording(QString outputURL, uint32_t displayID,
                                                        ContentFilterRef filter,
                                                        StreamConfiguration configuration,
                                                        std::optional<AudioEncodingPlan> plan)
{
    auto task = m_recorder->startRecording(std::move(outputURL), displayID, std::move(filter),
                                           std::move(configuration), std::move(plan));
    co_await task;
}

void ScreenRecorderService::setNextTakeJournalNote(const QByteArray &note) { m_recorder->setNextTakeJournalNote(note); }
bool ScreenRecorderService::desktopChoosesScreen() const { return m_recorder->desktopChoosesScreen(); }

QCoro::Task<void> ScreenRecorderService::askForScreen(FilterAndConfiguration made)
{
    auto task = m_recorder->askForScreen(std::move(made.filter), std::move(made.configuration));
    co_await task;
}

void ScreenRecorderService::cancelAskingForScreen() { m_recorder->cancelAskingForScreen(); }
void ScreenRecorderService::releaseAskedScreen() { m_recorder->releaseAskedScreen(); }
void ScreenRecorderService::pause() { m_recorder->pause(); }
void ScreenRecorderService::resume() { m_recorder->resume(); }

QCoro::Task<std::optional<RecorderService::Recording>> ScreenRecorderService::stopRecording()
{
    auto task = m_recorder->stopRecording();
    co_return co_await task;
}

std::optional<uint32_t> ScreenRecorderService::capturedDisplayID() const { return m_recorder->capturedDisplayID(); }
void ScreenRecorderService::setCursorAutoHide(bool enabled) { m_recorder->setCursorAutoHide(enabled); }
void ScreenRecorderService::setCursorHideDelay(double seconds) { m_recorder->setCursorHideDelay(seconds); }

void ScreenRecorderService::setCallbacks(std::function<void(const Error &)> onStreamError,
                                         std::function<void(bool)> onVideoEffectChanged)
{
    // An empty closure stays empty: wrapped, it would throw when the recorder calls it.
    if (onStreamError)
        m_recorder->onStreamError = [callback = std::move(onStreamError)](const StreamError &error) { callback(error); };
    else
        m_recorder->onStreamError = nullptr;
    m_recorder->onVideoEffectChanged = std::move(onVideoEffectChanged);
}

// ---- Permissions -------------------------------------------------------------------------------

CoordinatorPermissionsService::CoordinatorPermissionsService(std::shared_ptr<PermissionsCoordinator> coordinator)
    : m_coordinator(std::move(coordinator))
{
}

QCoro::Task<bool> CoordinatorPermissionsService::runLaunchFlow()
{
    auto task = m_coordinator->runLaunchFlow();
    co_return co_await task;
}

QCoro::Task<bool> CoordinatorPermissionsService::ensureReadyToRecord(QString caller, bool silent)
{
    auto task = m_coordinator->ensureReadyToRecord(std::move(caller), silent);
    co_return co_await task;
}

std::optional<x11::ShareableContent> CoordinatorPermissionsService::cachedContent() const
{
    return m_coordinator->cachedContent();
}

bool CoordinatorPermissionsService::didRequestScreenThisLaunch() const
{
    return m_coordinator->didRequestScreenThisLaunch();
}

// ---- Screens -----------------------------------------------------------------------------------

X11ScreenService::X11ScreenService(QObject *parent) : ScreenService(parent)
{
    // Without a GUI application (tools) nothing announces changes; the lists still answer.
    if (auto *app = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::screenAdded, this, [this](QScreen *screen) {
            watchScreen(screen);
            emit screensChanged();
        });
        connect(app, &QGuiApplication::screenRemoved, this, &ScreenService::screensChanged);
        connect(app, &QGuiApplication::primaryScreenChanged, this, &ScreenService::screensChanged);
        for (QScreen *screen : QGuiApplication::screens())
            watchScreen(screen);
    }
}

void X11ScreenService::watchScreen(QScreen *screen)
{
    // A resolution change (or a display moved in the arrangement) keeps the screen but changes
    // what the display list shows and what a take of that display records.
    connect(screen, &QScreen::geometryChanged, this, &ScreenService::screensChanged);
}

std::vector<DisplayOption> X11ScreenService::availableDisplays() const { return DisplayOption::available(); }
std::optional<uint32_t> X11ScreenService::mainDisplayID() const { return DisplayOption::mainDisplayID(); }

// ---- Cameras and microphones ---------------------------------------------------------------------

CameraCaptureFeed::CameraCaptureFeed(QObject *parent)
    : CameraFeed(parent), m_capture(std::make_unique<CameraCapture>())
{
}

CameraCaptureFeed::~CameraCaptureFeed() = default;

void CameraCaptureFeed::start(const QString &cameraID) { m_capture->start(cameraID); }
void CameraCaptureFeed::stop() { m_capture->stop(); }
std::optional<QString> CameraCaptureFeed::deviceID() const { return m_capture->deviceID(); }
bool CameraCaptureFeed::isRunning() const { return m_capture->isRunning(); }

SystemDeviceService::SystemDeviceService(QObject *parent)
    : DeviceService(parent), m_cameras(new CameraDevices(this)), m_microphones(new MicrophoneDevices(this))
{
    connect(m_cameras, &CameraDevices::camerasChanged, this, &DeviceService::devicesChanged);
    connect(m_microphones, &MicrophoneDevices::microphonesChanged, this, &DeviceService::devicesChanged);
}

SystemDeviceService::~SystemDeviceService() = default;

QList<CameraOption> SystemDeviceService::availableCameras() const { return CameraCapture::availableCameras(); }
QList<MicOption> SystemDeviceService::availableMicrophones() const { return MicOption::availableMicrophones(); }
std::optional<QList<MicOption>> SystemDeviceService::listedMicrophones() const { return MicOption::listedMicrophones(); }
std::optional<QString> SystemDeviceService::defaultMicrophoneName() const { return MicOption::defaultMicrophoneName(); }
CameraAuthorization SystemDeviceService::cameraAuthorization() const { return CameraAuthorization::authorized; }

QCoro::Task<bool> SystemDeviceService::requestCameraAccess()
{
    co_return true;
}

std::unique_ptr<CameraFeed> SystemDeviceService::makeCameraFeed()
{
    return std::make_unique<CameraCaptureFeed>();
}

// ---- Hot keys and exports ------------------------------------------------------------------------

GlobalHotKeyService::GlobalHotKeyService(std::shared_ptr<GlobalKeyboardShortcuts> shortcuts)
    : m_shortcuts(std::move(shortcuts))
{
}

void GlobalHotKeyService::setHandlers(std::map<ShortcutAction, std::function<void()>> handlers)
{
    m_shortcuts->handlers = std::move(handlers);
}

void GlobalHotKeyService::installHotKeys(const ShortcutBindings &bindings) { m_shortcuts->installHotKeys(bindings); }
void GlobalHotKeyService::unregisterAllHotKeys() { m_shortcuts->unregisterAllHotKeys(); }

CoordinatorExportService::CoordinatorExportService(std::shared_ptr<ExportCoordinator> coordinator)
    : m_coordinator(std::move(coordinator))
{
}

void CoordinatorExportService::exportVideo(const Session &session, EventHandler handler)
{
    m_coordinator->exportVideo(session, std::move(handler));
}

void CoordinatorExportService::exportFCPXML(const Session &session, EventHandler handler)
{
    m_coordinator->exportFCPXML(session, std::move(handler));
}

void CoordinatorExportService::exportFCP7XML(const Session &session, EventHandler handler)
{
    m_coordinator->exportFCP7XML(session, std::move(handler));
}

} // namespace lumacast
