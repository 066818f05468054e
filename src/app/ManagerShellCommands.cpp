#include "app/ManagerShellCommands.h"

#include "control/AppStateManager.h"
#include "store/AppLog.h"

namespace lumacast {

ManagerShellCommands::ManagerShellCommands(AppStateManager &manager)
    : m_manager(&manager)
{
}

void ManagerShellCommands::unavailable(const char *operation) const
{
    if (m_manager)
        m_manager->services().appLog->log(QStringLiteral("[shell] %1 is not available in this build")
                                              .arg(QLatin1String(operation)));
}

void ManagerShellCommands::startRecording() { unavailable("startRecording"); }
void ManagerShellCommands::pauseRecording() { unavailable("pauseRecording"); }
void ManagerShellCommands::resumeRecording() { unavailable("resumeRecording"); }
void ManagerShellCommands::endTake() { unavailable("endTake"); }
void ManagerShellCommands::endTakeAndNextScene() { unavailable("endTakeAndNextScene"); }
void ManagerShellCommands::approve() { unavailable("approve"); }
void ManagerShellCommands::autoApprove() { unavailable("autoApprove"); }
void ManagerShellCommands::approveAndNextScene() { unavailable("approveAndNextScene"); }
void ManagerShellCommands::approveAndNewTake() { unavailable("approveAndNewTake"); }
void ManagerShellCommands::advanceToScene() { unavailable("advanceToScene"); }
void ManagerShellCommands::retake() { unavailable("retake"); }
void ManagerShellCommands::menuDidOpen() { unavailable("menuDidOpen"); }
void ManagerShellCommands::menuDidClose() { unavailable("menuDidClose"); }

bool ManagerShellCommands::deferWhileTailPending(PendingExternalAction)
{
    if (!m_manager || !m_manager->tailOperation())
        return false;
    // Nothing here can carry the request out once the tail resolves; refusing it is the safe
    // answer while a tail is live.
    unavailable("deferWhileTailPending");
    return true;
}

void ManagerShellCommands::closeRequest() { unavailable("closeRequestTask"); }

void ManagerShellCommands::finishActiveRecordingForClose(std::function<void()> done)
{
    unavailable("finishActiveRecordingForClose");
    if (done)
        done();
}

void ManagerShellCommands::guardedNewSession() { unavailable("guardedNewSession"); }
void ManagerShellCommands::guardedOpenSession() { unavailable("guardedOpenSession"); }
void ManagerShellCommands::guardedOpen(const QString &) { unavailable("guardedOpen"); }
void ManagerShellCommands::guardedResumeSession(const Session &) { unavailable("guardedResumeSession"); }
void ManagerShellCommands::resumeSession(const Session &) { unavailable("resumeSession"); }
void ManagerShellCommands::discardRecoveredSessions() { unavailable("discardRecoveredSessions"); }

void ManagerShellCommands::saveIfPackaged()
{
    if (m_manager)
        m_manager->saveIfPackaged();
}

void ManagerShellCommands::presentSavePanel() { unavailable("presentSavePanel"); }

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

void ManagerShellCommands::exportFCPXML() { unavailable("exportFCPXML"); }
void ManagerShellCommands::exportFCP7XML() { unavailable("exportFCP7XML"); }

void ManagerShellCommands::checkForUpdates()
{
    if (!m_manager)
        return;
    const auto &services = m_manager->services();
    services.application->becomeRegularApplication();
    services.application->activateIgnoringOtherApps();
    if (services.updater->canCheckForUpdates()) {
        services.updater->checkForUpdates();
        return;
    }
    m_manager->presentAlert(QStringLiteral("Can't check for updates"),
                            QStringLiteral("The update feed is not configured. Set a valid updateFeedURL in "
                                           "Lumacast's settings file."),
                            AlertStyle::warning);
}

void ManagerShellCommands::selectDisplay(uint32_t) { unavailable("selectDisplay"); }
void ManagerShellCommands::refreshDisplays() { unavailable("refreshDisplays"); }
void ManagerShellCommands::selectMicrophone(const std::optional<QString> &) { unavailable("selectMicrophone"); }
void ManagerShellCommands::setCaptureSystemAudio(bool) { unavailable("setCaptureSystemAudio"); }
void ManagerShellCommands::toggleWebcam(const QString &) { unavailable("toggleWebcam"); }
void ManagerShellCommands::disableWebcam() { unavailable("disableWebcam"); }
void ManagerShellCommands::applyPickedContent(const ContentFilterRef &) { unavailable("applyPickedContent"); }
void ManagerShellCommands::reportWindowPickerFailure(const Error &error)
{
    if (m_manager)
        m_manager->presentAlert(QStringLiteral("Couldn't open the window picker"), error.localizedDescription(),
                                AlertStyle::warning);
}
void ManagerShellCommands::setAutomaticallyChecksForUpdates(bool) { unavailable("setAutomaticallyChecksForUpdates"); }
void ManagerShellCommands::setHideCursorWhenIdle(bool) { unavailable("setHideCursorWhenIdle"); }
void ManagerShellCommands::setCursorHideDelay(double) { unavailable("setCursorHideDelay"); }

void ManagerShellCommands::shortcutBindingChanged() { unavailable("shortcutBindingChanged"); }

} // namespace lumacast
