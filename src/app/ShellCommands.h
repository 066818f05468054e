#pragma once

#include "capture/CaptureTarget.h"
#include "control/TailOperation.h"
#include "model/Error.h"
#include "model/Session.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace lumacast {

// The state manager's operations that the tray menu, the application menus, the status panel
// and the settings window call, gathered in one place. `ManagerShellCommands` implements it on
// the AppStateManager. Main thread only. The asynchronous ones start their work at once and
// return at its first wait; none reports failure to the caller (the manager shows its
// own alerts and log lines).
class ShellCommands {
public:
    virtual ~ShellCommands() = default;

    // The take road.
    virtual void startRecording() = 0; // a thrown start failure is dropped: the manager reported it
    virtual void pauseRecording() = 0;
    virtual void resumeRecording() = 0;
    virtual void endTake() = 0;
    virtual void endTakeAndNextScene() = 0;
    virtual void approve() = 0;
    virtual void autoApprove() = 0;
    virtual void approveAndNextScene() = 0;
    virtual void approveAndNewTake() = 0;
    virtual void advanceToScene() = 0;
    virtual void retake() = 0;
    virtual void menuDidOpen() = 0;
    virtual void menuDidClose() = 0;

    // Documents, closing and quitting.
    // True when a live tail operation took the request for later.
    virtual bool deferWhileTailPending(PendingExternalAction action) = 0;
    virtual void closeRequest() = 0; // the close flow with its save questions
    virtual void guardedNewSession() = 0;
    virtual void guardedOpenSession() = 0;
    virtual void guardedOpen(const QString &packagePath) = 0;
    virtual void guardedResumeSession(const Session &session) = 0;
    virtual void discardRecoveredSessions() = 0;
    virtual void saveIfPackaged() = 0;
    virtual void presentSavePanel() = 0;
    virtual void undo() = 0;
    virtual void redo() = 0;
    virtual void exportFCPXML() = 0;
    virtual void exportFCP7XML() = 0;
    virtual void checkForUpdates() = 0;

    // Capture settings.
    virtual void selectDisplay(uint32_t displayID) = 0;
    virtual void refreshDisplays() = 0;
    virtual void selectMicrophone(const std::optional<QString> &microphoneID) = 0;
    virtual void setCaptureSystemAudio(bool capture) = 0;
    virtual void toggleWebcam(const QString &cameraID) = 0;
    virtual void disableWebcam() = 0;
    virtual void applyPickedContent(const ContentFilterRef &filter) = 0;
    virtual void reportWindowPickerFailure(const Error &error) = 0;
    virtual void setAutomaticallyChecksForUpdates(bool check) = 0;
    virtual void setHideCursorWhenIdle(bool hide) = 0;
    virtual void setCursorHideDelay(double seconds) = 0;
    virtual void shortcutBindingChanged() = 0;
};

} // namespace lumacast
