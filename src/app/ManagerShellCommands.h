#pragma once

#include "app/ShellCommands.h"

#include <QPointer>

namespace lumacast {

class AppStateManager;

// ShellCommands on the one AppStateManager: every operation is forwarded to the manager's own,
// the asynchronous ones started as tasks of their own on the main thread. Holds the manager
// weakly: once it is gone every call does nothing (and nothing is deferred). Main thread only.
class ManagerShellCommands final : public ShellCommands {
public:
    explicit ManagerShellCommands(AppStateManager &manager);

    void startRecording() override;
    void pauseRecording() override;
    void resumeRecording() override;
    void endTake() override;
    void endTakeAndNextScene() override;
    void approve() override;
    void autoApprove() override;
    void approveAndNextScene() override;
    void approveAndNewTake() override;
    void advanceToScene() override;
    void retake() override;
    void menuDidOpen() override;
    void menuDidClose() override;

    bool deferWhileTailPending(PendingExternalAction action) override;
    void closeRequest() override;
    void guardedNewSession() override;
    void guardedOpenSession() override;
    void guardedOpen(const QString &packagePath) override;
    void guardedResumeSession(const Session &session) override;
    void discardRecoveredSessions() override;
    void saveIfPackaged() override;
    void presentSavePanel() override;
    void undo() override;
    void redo() override;
    void exportFCPXML() override;
    void exportFCP7XML() override;
    void checkForUpdates() override;

    void selectDisplay(uint32_t displayID) override;
    void refreshDisplays() override;
    void selectMicrophone(const std::optional<QString> &microphoneID) override;
    void setCaptureSystemAudio(bool capture) override;
    void toggleWebcam(const QString &cameraID) override;
    void disableWebcam() override;
    void applyPickedContent(const ContentFilterRef &filter) override;
    void reportWindowPickerFailure(const Error &error) override;
    void setAutomaticallyChecksForUpdates(bool check) override;
    void setHideCursorWhenIdle(bool hide) override;
    void setCursorHideDelay(double seconds) override;
    void shortcutBindingChanged() override;

private:
    // Starts one of the manager's asynchronous operations as a task of its own on the main thread.
    void startTask(std::function<QCoro::Task<>(AppStateManager &)> operation);

    QPointer<AppStateManager> m_manager;
};

} // namespace lumacast
