#include "app/OverlayAdapters.h"

#include "app/ShellCommands.h"
#include "app/TrayMenuModel.h"
#include "control/AppStateManager.h"
#include "control/SystemServices.h"
#include "overlays/CountdownOverlay.h"
#include "overlays/RecordingBorderWindow.h"
#include "overlays/RecordingStatusWindow.h"
#include "overlays/WebcamOverlayWindow.h"
#include "threads/ThreadBridge.h"

namespace lumacast {

namespace {
OverlayState overlayState(AppState state)
{
    return static_cast<OverlayState>(static_cast<quint8>(state));
}
} // namespace

// ---- Countdown ----------------------------------------------------------------------------

CountdownAdapter::CountdownAdapter(std::shared_ptr<HotKeyBackend> hotKeys)
    : m_overlay(std::make_unique<CountdownOverlay>(std::move(hotKeys)))
{
}

CountdownAdapter::~CountdownAdapter() = default;

QCoro::Task<bool> CountdownAdapter::run(int count, std::optional<uint32_t> displayID)
{
    auto task = m_overlay->run(count, displayID);
    co_return co_await std::move(task);
}

void CountdownAdapter::watchForCancel(std::function<void()> onCancel) { m_overlay->watchForCancel(std::move(onCancel)); }
void CountdownAdapter::stopWatchingForCancel() { m_overlay->stopWatching(); }

void CountdownAdapter::cancel()
{
    if (m_overlay->isRunning())
        m_overlay->cancel();
}

// ---- Border -------------------------------------------------------------------------------

BorderAdapter::BorderAdapter()
    : m_window(std::make_unique<RecordingBorderWindow>())
{
}

BorderAdapter::~BorderAdapter() = default;

void BorderAdapter::attach(AppStateManager &manager)
{
    m_manager = &manager;
    connect(&manager, &AppStateManager::stateChanged, this, [this] {
        if (m_manager && m_window->isShown())
            m_window->setState(overlayState(m_manager->state()));
    });
}

void BorderAdapter::show()
{
    if (!m_manager || m_window->isShown())
        return;
    m_window->show(m_manager->selectedDisplayID(), m_manager->captureTarget(), overlayState(m_manager->state()));
}

void BorderAdapter::hide()
{
    m_window->hide();
}

// ---- Status panel ---------------------------------------------------------------------------

StatusPanelAdapter::StatusPanelAdapter(DesktopKeyHolder desktopKeys)
    : m_window(std::make_unique<RecordingStatusWindow>()), m_desktopKeys(std::move(desktopKeys))
{
}

StatusPanelAdapter::~StatusPanelAdapter() = default;

void StatusPanelAdapter::attach(AppStateManager &manager, ShellCommands &commands)
{
    m_manager = &manager;
    for (auto signal : {&AppStateManager::stateChanged, &AppStateManager::tailOperationChanged,
                        &AppStateManager::takeStartedAtChanged, &AppStateManager::captureTargetChanged,
                        &AppStateManager::selectedDisplayIDChanged, &AppStateManager::webcamEnabledChanged,
                        &AppStateManager::selectedCameraIDChanged, &AppStateManager::availableCamerasChanged,
                        &AppStateManager::captureSystemAudioChanged, &AppStateManager::shortcutBindingsChanged,
                        &AppStateManager::recordingNoticeChanged})
        connect(&manager, signal, this, &StatusPanelAdapter::refresh);
    connect(&manager, &ExportHost::currentSessionChanged, this, &StatusPanelAdapter::refresh);
    for (auto signal : {&AppStateManager::selectedMicrophoneIDChanged, &AppStateManager::availableMicrophonesChanged})
        connect(&manager, signal, this, [this] {
            readDefaultMicrophone();
            refresh();
        });
    connect(m_window.get(), &RecordingStatusWindow::commandRequested, this, [this, &commands](StatusCommand command) {
        // Once the click is over: the command changes the state, and the card then replaces
        // the very button that asked for it.
        postToMainThread(QPointer<QObject>(this), [&commands, command] { runStatusCommand(commands, command); });
    });
    readDefaultMicrophone();
    refresh();
}

void StatusPanelAdapter::runStatusCommand(ShellCommands &commands, StatusCommand command)
{
    switch (command) {
    case StatusCommand::startTake:
        commands.startRecording();
        break;
    case StatusCommand::nextScene:
        commands.advanceToScene();
        break;
    case StatusCommand::pause:
        commands.pauseRecording();
        break;
    case StatusCommand::endTake:
        commands.endTake();
        break;
    case StatusCommand::endTakeAndNextScene:
        commands.endTakeAndNextScene();
        break;
    case StatusCommand::resume:
        commands.resumeRecording();
        break;
    // The card's review buttons approve whatever is under review (autoApprove has no size
    // check, unlike the end-take key's approveAndNewTake), then move on.
    case StatusCommand::approveAndNewTake:
        commands.autoApprove();
        commands.startRecording();
        break;
    case StatusCommand::approveAndNewScene:
        commands.autoApprove();
        commands.advanceToScene();
        commands.startRecording();
        break;
    case StatusCommand::retake:
        commands.retake();
        break;
    }
}

void StatusPanelAdapter::readDefaultMicrophone()
{
    m_defaultMicrophoneName.reset();
    if (m_manager && !m_manager->selectedMicrophoneID())
        m_defaultMicrophoneName = m_manager->services().devices->defaultMicrophoneName();
}

void StatusPanelAdapter::refresh()
{
    if (!m_manager)
        return;
    const AppStateManager &m = *m_manager;
    RecordingStatus status;
    status.state = overlayState(m.state());
    status.sceneNumber = int(m.session() ? m.session()->currentSceneIndex : 0) + 1;
    status.nextTakeNumber = m.nextTakeNumber();
    status.tailOperationLive = m.tailOperation().has_value();
    status.tailTargetLabel = TrayMenuModel::tailTargetLabel(m.session(), m.tailOperation());
    // The card keeps its own clock: hand it the start and the pauses so far, and while paused a
    // pause that began now, which holds the elapsed time where it stands.
    const QDateTime now = QDateTime::currentDateTime();
    status.takeStartedAt = m.takeStartedAt();
    if (const auto elapsed = m.elapsedRecordingTime(now); elapsed && status.takeStartedAt) {
        status.pauseAccumulated = std::max(0.0, status.takeStartedAt->msecsTo(now) / 1000.0 - *elapsed);
        if (m.state() == AppState::paused)
            status.pausedAt = now;
    }
    status.captureTarget = m.captureTarget();
    status.selectedDisplayID = m.selectedDisplayID();
    status.webcamEnabled = m.webcamEnabled();
    status.selectedCameraID = m.selectedCameraID();
    status.availableCameras = m.availableCameras();
    status.selectedMicrophoneID = m.selectedMicrophoneID();
    status.availableMicrophones = m.availableMicrophones();
    status.defaultMicrophoneName = m_defaultMicrophoneName;
    // During a tail the row follows the tail's audio plan (a copy of the take's), not the setting.
    status.systemAudio = m.tailSystemAudioIndicator();
    status.shortcutBindings = m.shortcutBindings();
    for (ShortcutAction action : shortcut_action::allCases) {
        const auto found = status.shortcutBindings.find(action);
        const ShortcutBinding binding = found != status.shortcutBindings.end() ? found->second : defaultBinding(action);
        if (const auto holder = m_desktopKeys ? m_desktopKeys(binding.carbonKeyCode, binding.carbonModifiers) : std::nullopt)
            status.keysTheDesktopKeeps[action] = *holder;
    }
    status.notice = m.recordingNotice();
    m_window->setStatus(status);
}

void StatusPanelAdapter::show()
{
    // The default input may have changed since the card was last up.
    readDefaultMicrophone();
    refresh();
    m_window->show();
}

void StatusPanelAdapter::hide()
{
    m_window->hide();
}

// ---- Webcam overlay -------------------------------------------------------------------------

WebcamOverlayAdapter::WebcamOverlayAdapter(Preferences *preferences)
    : m_window(std::make_unique<WebcamOverlayWindow>(preferences))
{
}

WebcamOverlayAdapter::~WebcamOverlayAdapter() = default;

bool WebcamOverlayAdapter::isInteractive() const { return m_window->interactive(); }
void WebcamOverlayAdapter::setInteractive(bool interactive) { m_window->setInteractive(interactive); }

void WebcamOverlayAdapter::show(CameraFeed &feed, std::optional<uint32_t> displayID)
{
    auto *capture = dynamic_cast<CameraCaptureFeed *>(&feed);
    m_window->show(capture ? &capture->capture() : nullptr, displayID);
}

bool WebcamOverlayAdapter::hasPanel() const { return m_window->panel() != nullptr; }
void WebcamOverlayAdapter::orderOut() { m_window->orderOut(); }
void WebcamOverlayAdapter::releasePanel() { m_window->releasePanel(); }

std::optional<uint32_t> WebcamOverlayAdapter::windowNumber() const
{
    const auto id = m_window->windowID();
    return id ? std::optional<uint32_t>(*id) : std::nullopt;
}

void WebcamOverlayAdapter::toggleMode() { m_window->toggleMode(); }
BlobShape WebcamOverlayAdapter::shape() const { return m_window->shape(); }
void WebcamOverlayAdapter::setShape(BlobShape shape) { m_window->setShape(shape); }

} // namespace lumacast
