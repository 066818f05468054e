#include "app/ManagerShellCommands.h"

#include "control/AppStateManager.h"
#include "store/AppLog.h"
#include "threads/ThreadBridge.h"

namespace lumacast {

ManagerShellCommands::ManagerShellCommands(AppStateManager &manager)
    : m_manager(&manager)
{
}

void ManagerShellCommands::startTask(std::function<QCoro::Task<>(AppStateManager &)> operation)
{
    if (!m_manager)
        return;
    // At once: a command that waited its turn at the interaction gate begins in that turn, or
    // what waited behind it would go first. Menus and the status panel call after their click.
    QPointer<AppStateManager> manager = m_manager;
    startTaskNow([manager, operation = std::move(operation)]() -> QCoro::Task<> {
        if (manager)
            co_await operation(*manager);
    });
}

void ManagerShellCommands::startRecording() { startTask([](AppStateManager &m) { return m.startRecording(); }); }
void ManagerShellCommands::pauseRecording() { if (m_manager) m_manager->pauseRecording(); }
void ManagerShellCommands::resumeRecording() { if (m_manager) m_manager->resumeRecording(); }
void ManagerShellCommands::endTake() { startTask([](AppStateManager &m) { return m.endTake(); }); }
void ManagerShellCommands::endTakeAndNextScene() { startTask([](AppStateManager &m) { return m.endTakeAndNextScene(); }); }
void ManagerShellCommands::approve() { if (m_manager) m_manager->approve(); }
void ManagerShellCommands::autoApprove() { if (m_manager) m_manager->autoApprove(); }
void ManagerShellCommands::approveAndNextScene() { if (m_manager) m_manager->approveAndNextScene(); }
void ManagerShellCommands::approveAndNewTake() { if (m_manager) m_manager->approveAndNewTake(); }
void ManagerShellCommands::advanceToScene() { if (m_manager) m_manager->advanceToScene(); }
void ManagerShellCommands::retake() { if (m_manager) m_manager->retake(); }
void ManagerShellCommands::menuDidOpen() { if (m_manager) m_manager->menuDidOpen(); }
void ManagerShellCommands::menuDidClose() { if (m_manager) m_manager->menuDidClose(); }

bool ManagerShellCommands::deferWhileTailPending(PendingExternalAction action)
{
    return m_manager && m_manager->deferWhileTailPending(action);
}

void ManagerShellCommands::closeRequest() { startTask([](AppStateManager &m) { return m.closeRequestTask(); }); }

void ManagerShellCommands::guardedNewSession() { startTask([](AppStateManager &m) { return m.guardedNewSession(); }); }
void ManagerShellCommands::guardedOpenSession() { if (m_manager) m_manager->guardedOpenSession(); }
void ManagerShellCommands::guardedOpen(const QString &path) { if (m_manager) m_manager->guardedOpen(path); }
void ManagerShellCommands::guardedResumeSession(const Session &session) { if (m_manager) m_manager->guardedResumeSession(session); }
void ManagerShellCommands::discardRecoveredSessions() { if (m_manager) m_manager->discardRecoveredSessions(); }

void ManagerShellCommands::saveIfPackaged()
{
    if (m_manager)
        m_manager->saveIfPackaged();
}

void ManagerShellCommands::presentSavePanel() { if (m_manager) m_manager->presentSavePanel(); }

void ManagerShellCommands::undo()
{
    if (m_manager)
        m_manager->undo();
}

void ManagerShellCommands::redo()
{
    if (m_manager)
        m_manager->redo();
}

void ManagerShellCommands::exportFCPXML() { if (m_manager) m_manager->exportFCPXML(); }
void ManagerShellCommands::exportFCP7XML() { if (m_manager) m_manager->exportFCP7XML(); }

void ManagerShellCommands::checkForUpdates()
{
    if (m_manager)
        m_manager->checkForUpdates();
}

void ManagerShellCommands::selectDisplay(uint32_t displayID) { if (m_manager) m_manager->selectDisplay(displayID); }
void ManagerShellCommands::refreshDisplays() { if (m_manager) m_manager->refreshDisplays(); }
void ManagerShellCommands::selectMicrophone(const std::optional<QString> &microphoneID) { if (m_manager) m_manager->selectMicrophone(microphoneID); }
void ManagerShellCommands::setCaptureSystemAudio(bool enabled) { if (m_manager) m_manager->setCaptureSystemAudio(enabled); }
void ManagerShellCommands::toggleWebcam(const QString &cameraID) { if (m_manager) m_manager->toggleWebcam(cameraID); }
void ManagerShellCommands::disableWebcam() { if (m_manager) m_manager->disableWebcam(); }
void ManagerShellCommands::applyPickedContent(const ContentFilterRef &filter) { if (m_manager) m_manager->applyPickedContent(filter); }
void ManagerShellCommands::reportWindowPickerFailure(const Error &error)
{
    if (m_manager)
        m_manager->reportWindowPickerFailure(error.localizedDescription());
}
void ManagerShellCommands::setAutomaticallyChecksForUpdates(bool enabled) { if (m_manager) m_manager->setAutomaticallyChecksForUpdates(enabled); }
void ManagerShellCommands::setHideCursorWhenIdle(bool enabled) { if (m_manager) m_manager->setHideCursorWhenIdle(enabled); }
void ManagerShellCommands::setCursorHideDelay(double seconds) { if (m_manager) m_manager->setCursorHideDelay(seconds); }

void ManagerShellCommands::shortcutBindingChanged() { if (m_manager) m_manager->reloadShortcutBindings(); }

} // namespace lumacast
