#include "control/CaptureDevices.h"

#include "control/AppStateManager.h"
#include "store/Preferences.h"

#include <QPointer>
#include <QStringList>

#include <algorithm>

namespace lumacast {

namespace {

QString webcamOnlyFullScreen() { return QStringLiteral("Webcam available only when recording full screen."); }

// Waits for the answer to the camera access request, then acts on it in a call posted to the
// main thread. Holds the manager weakly: the answer may come after it is gone, and then nothing
// happens.
QCoro::Task<> awaitCameraAccess(QPointer<AppStateManager> manager, QString cameraID)
{
    auto request = manager->services().devices->requestCameraAccess();
    const bool granted = co_await request;
    if (!manager)
        co_return;
    QMetaObject::invokeMethod(
        manager.data(),
        [manager, cameraID, granted] {
            if (!manager)
                return;
            if (granted)
                manager->enableCamera(cameraID);
            else
                manager->showCameraAccessAlert();
        },
        Qt::QueuedConnection);
}

} // namespace

CaptureDevices::CaptureDevices(AppStateManager &manager) : m(manager) {}

void CaptureDevices::observeChanges()
{
    // Connected with the manager as context: nothing arrives once it is gone.
    QObject::connect(m.m_services.screens.get(), &ScreenService::screensChanged, &m,
                     [this] { handleScreenParametersChanged(); });
    m.m_cameraDeviceObservers.append(QObject::connect(m.m_services.devices.get(), &DeviceService::devicesChanged,
                                                      &m, [this] { handleDevicesChanged(); }));
}

void CaptureDevices::logApp(const QString &message) const
{
    m.m_services.appLog->log(message);
}

void CaptureDevices::storeValue(const char *key, const QVariant &value)
{
    QSettings &defaults = m.m_services.preferences->defaults();
    defaults.setValue(QLatin1String(key), value);
    defaults.sync();
}

void CaptureDevices::removeValue(const char *key)
{
    QSettings &defaults = m.m_services.preferences->defaults();
    defaults.remove(QLatin1String(key));
    defaults.sync();
}

// ---- Update check and cursor -----------------------------------------------------------------

void CaptureDevices::setAutomaticallyChecksForUpdates(bool enabled)
{
    m.setAutomaticallyChecksForUpdatesValue(enabled);
    storeValue(preference_key::autoCheckForUpdates, enabled);
    m.m_services.updater->setAutomaticallyChecksForUpdates(enabled);
}

void CaptureDevices::setHideCursorWhenIdle(bool enabled)
{
    m.setHideCursorWhenIdleValue(enabled);
    storeValue(preference_key::hideCursorWhenIdle, enabled);
    m.m_services.recorder->setCursorAutoHide(enabled);
}

void CaptureDevices::setCursorHideDelay(double seconds)
{
    // std::max/min in this order also turn NaN into 0.5 instead of storing it.
    const double clamped = std::min(10.0, std::max(0.5, seconds));
    storeValue(preference_key::cursorHideDelay, clamped);
    const double stored = m.m_services.preferences->cursorHideDelay();
    m.setCursorHideDelayValue(stored);
    m.m_services.recorder->setCursorHideDelay(stored);
}

// ---- Displays --------------------------------------------------------------------------------

void CaptureDevices::refreshDisplays()
{
    const std::vector<DisplayOption> displays = m.m_services.screens->availableDisplays();
    m.setAvailableDisplays(displays);
    if (m.m_selectedDisplayID) {
        const uint32_t selected = *m.m_selectedDisplayID;
        if (std::any_of(displays.begin(), displays.end(), [selected](const DisplayOption &d) { return d.id == selected; }))
            return;
    }
    std::optional<uint32_t> pick = m.m_services.screens->mainDisplayID();
    if (!pick && !displays.empty())
        pick = displays.front().id;
    m.setSelectedDisplayIDValue(pick);
    storeValue(preference_key::selectedDisplayID, qlonglong(pick.value_or(0)));
}

void CaptureDevices::selectDisplay(const std::optional<uint32_t> &displayID)
{
    m.setSelectedDisplayIDValue(displayID);
    storeValue(preference_key::selectedDisplayID, qlonglong(displayID.value_or(0)));
    logApp(QStringLiteral("[rec] selected display set to ") + QString::number(displayID.value_or(0)));
}

void CaptureDevices::handleScreenParametersChanged()
{
    refreshDisplays();
    if (!m.isRecording())
        return;
    const std::optional<uint32_t> captured = m.m_services.recorder->capturedDisplayID();
    const QString id = QString::number(captured.value_or(0));
    bool present = !captured;
    if (captured) {
        const std::vector<DisplayOption> &displays = m.m_availableDisplays;
        present = std::any_of(displays.begin(), displays.end(),
                              [&captured](const DisplayOption &d) { return d.id == *captured; });
    }
    if (present) {
        logApp(QStringLiteral("[app] screen params changed; captured display %1 still present — continuing recording").arg(id));
        return;
    }
    logApp(QStringLiteral("[app] captured display %1 disconnected — stopping take").arg(id));
    // Through the recorder's relay, so that a stream error the lost display also causes ends the
    // take only once.
    m.m_recorderRelay->onStreamErrorCallback()(Error(QStringLiteral("The display being recorded was disconnected.")));
}

// ---- Microphones and system audio --------------------------------------------------------------

void CaptureDevices::refreshMicrophones()
{
    const std::optional<QList<MicOption>> listed = m.m_services.devices->listedMicrophones();
    const QList<MicOption> microphones = listed.value_or(QList<MicOption>());
    m.setAvailableMicrophones(microphones);
    QStringList names;
    for (const MicOption &microphone : microphones)
        names << microphone.name;
    logApp(QStringLiteral("[mic] refreshed: [") + names.join(QStringLiteral(", ")) + QStringLiteral("]"));
    // Without a sound server nothing is known of what is plugged in: a server restarting must not
    // cost the user the microphone they chose, which the list shows again once it answers.
    if (!listed)
        return;
    // No fallback to another microphone: none is the system default.
    const std::optional<QString> resolved = MicOption::resolveSelectedID(m.m_selectedMicrophoneID, microphones);
    if (resolved == m.m_selectedMicrophoneID)
        return;
    m.setSelectedMicrophoneIDValue(resolved);
    if (resolved)
        storeValue(preference_key::selectedMicrophoneID, *resolved);
    else
        removeValue(preference_key::selectedMicrophoneID);
}

void CaptureDevices::selectMicrophone(const std::optional<QString> &microphoneID)
{
    m.setSelectedMicrophoneIDValue(microphoneID);
    if (microphoneID)
        storeValue(preference_key::selectedMicrophoneID, *microphoneID);
    else
        removeValue(preference_key::selectedMicrophoneID);
    logApp(QStringLiteral("[rec] selected microphone set to ") + microphoneID.value_or(QStringLiteral("System Default")));
}

void CaptureDevices::setCaptureSystemAudio(bool enabled)
{
    m.setCaptureSystemAudioValue(enabled);
    storeValue(preference_key::captureSystemAudio, enabled);
    logApp(QStringLiteral("[rec] capture system audio = ") + (enabled ? QStringLiteral("true") : QStringLiteral("false")));
}

// ---- Cameras -------------------------------------------------------------------------------------

void CaptureDevices::refreshCameras()
{
    const QList<CameraOption> cameras = m.m_services.devices->availableCameras();
    m.setAvailableCameras(cameras);
    // While the webcam is off the stored choice waits for its camera to come back.
    if (!m.m_webcamEnabled)
        return;
    const std::optional<QString> resolved = CameraCapture::resolveSelectedID(m.m_selectedCameraID, cameras);
    if (resolved != m.m_selectedCameraID)
        storeSelectedCamera(resolved);
}

void CaptureDevices::storeSelectedCamera(const std::optional<QString> &cameraID)
{
    m.setSelectedCameraIDValue(cameraID);
    if (!cameraID) {
        removeValue(preference_key::selectedCameraID);
        return;
    }
    storeValue(preference_key::selectedCameraID, *cameraID);
    if (m.m_webcamEnabled && m.m_cameraCapture)
        m.m_cameraCapture->start(*cameraID);
}

void CaptureDevices::handleDevicesChanged()
{
    refreshCameras();
    refreshMicrophones();
}

// ---- The webcam switch ---------------------------------------------------------------------------

void CaptureDevices::toggleWebcam(const QString &cameraID)
{
    if (!m.m_captureTarget.isWholeScreen()) {
        m.presentAlert(QStringLiteral("Webcam unavailable"), webcamOnlyFullScreen(), AlertStyle::informational);
        return;
    }
    switch (m.m_services.devices->cameraAuthorization()) {
    case CameraAuthorization::authorized:
        enableCamera(cameraID);
        break;
    case CameraAuthorization::notDetermined:
        awaitCameraAccess(QPointer<AppStateManager>(&m), cameraID);
        break;
    case CameraAuthorization::denied:
    case CameraAuthorization::restricted:
        showCameraAccessAlert();
        break;
    }
}

void CaptureDevices::enableCamera(const QString &cameraID)
{
    m.setSelectedCameraIDValue(cameraID);
    storeValue(preference_key::selectedCameraID, cameraID);
    m.setWebcamEnabledValue(true);
    m.m_cameraAvailable = true;
    // Called while on, this switches the running camera in place.
    if (!m.m_cameraCapture)
        m.m_cameraCapture = m.m_services.devices->makeCameraFeed();
    m.m_cameraCapture->start(cameraID);
    m.installAppActivationObservers();
    m.updateWebcamOverlayVisibility();
}

void CaptureDevices::showCameraAccessAlert()
{
    AlertRequest request;
    request.message = QStringLiteral("Camera access needed");
    request.informativeText = QStringLiteral("Enable camera access for Lumacast in Settings → Privacy & Security → Camera to use the webcam overlay.");
    request.style = AlertStyle::warning;
    request.buttons = {QStringLiteral("Open Settings"), QStringLiteral("Cancel")};
    // As runAlert, but the settings open while the alert still holds the gate, as its own answer.
    const InteractionGate::Hold asking = m.interactions().hold(InteractionGate::Kind::asking);
    const int chosen = m.m_services.alerts->runModal(request);
    if (chosen == 0)
        m.m_services.application->openCameraPrivacySettings();
}

void CaptureDevices::disableWebcam()
{
    m.setWebcamEnabledValue(false);
    m.m_cameraAvailable = true;
    m.m_userHidBlob = false;
    m.removeAppActivationObservers();
    m.m_services.webcamOverlay->releasePanel();
    if (m.m_cameraCapture) {
        // Qt Multimedia objects belong to the main thread, so the camera cannot stop on another
        // one; it stops in a posted call instead, after this operation has returned.
        CameraFeed *feed = m.m_cameraCapture.release();
        QMetaObject::invokeMethod(
            feed,
            [feed] {
                feed->stop();
                feed->deleteLater();
            },
            Qt::QueuedConnection);
    }
}

void CaptureDevices::applyPickedContent(const ContentFilterRef &filter)
{
    if (!filter)
        return;
    // The picker answers whenever the user gets to it: a take that started meanwhile keeps what
    // it records, and its border stays round it.
    if (app_state::isCapturing(m.m_state)) {
        m.logApp(QStringLiteral("[app] window picked while a take starts or runs — not applied"));
        m.showRecordingNotice(QStringLiteral("Finish or discard the current take before choosing what to record."));
        return;
    }
    m.setCaptureTarget(CaptureTarget::custom(filter, filter->style));
    if (!m.m_webcamEnabled)
        return;
    disableWebcam();
    m.presentAlert(QStringLiteral("Webcam turned off"), webcamOnlyFullScreen(), AlertStyle::informational);
}

// ---- Webcam hot-key actions -----------------------------------------------------------------------

void CaptureDevices::toggleWebcamZoom()
{
    if (m.m_webcamEnabled && m.m_state == AppState::recording)
        m.m_services.webcamOverlay->toggleMode();
}

void CaptureDevices::toggleWebcamBlob()
{
    if (!m.m_webcamEnabled || !m.isRecording() || !m.m_cameraAvailable)
        return;
    m.m_userHidBlob = !m.m_userHidBlob;
    m.updateWebcamOverlayVisibility();
}

} // namespace lumacast
