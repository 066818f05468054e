#pragma once

#include "app/ShellCommands.h"

#include <QStringList>

namespace lumacast::testing {

// Records every call by name ("selectDisplay 7", "guardedOpen /x.lumacast"); a live tail
// defers close and quit requests.
class FakeShellCommands final : public ShellCommands {
public:
    QStringList calls;
    bool tailLive = false;

    void startRecording() override { calls << "startRecording"; }
    void pauseRecording() override { calls << "pauseRecording"; }
    void resumeRecording() override { calls << "resumeRecording"; }
    void endTake() override { calls << "endTake"; }
    void endTakeAndNextScene() override { calls << "endTakeAndNextScene"; }
    void approve() override { calls << "approve"; }
    void autoApprove() override { calls << "autoApprove"; }
    void approveAndNextScene() override { calls << "approveAndNextScene"; }
    void approveAndNewTake() override { calls << "approveAndNewTake"; }
    void advanceToScene() override { calls << "advanceToScene"; }
    void retake() override { calls << "retake"; }
    void menuDidOpen() override { calls << "menuDidOpen"; }
    void menuDidClose() override { calls << "menuDidClose"; }
    bool deferWhileTailPending(PendingExternalAction action) override
    {
        calls << QStringLiteral("deferWhileTailPending %1").arg(action == PendingExternalAction::quit ? "quit" : "close");
        return tailLive;
    }
    void closeRequest() override { calls << "closeRequest"; }
    void guardedNewSession() override { calls << "guardedNewSession"; }
    void guardedOpenSession() override { calls << "guardedOpenSession"; }
    void guardedOpen(const QString &path) override { calls << "guardedOpen " + path; }
    void guardedResumeSession(const Session &s) override { calls << QStringLiteral("guardedResumeSession %1").arg(s.scenes.size()); }
    void discardRecoveredSessions() override { calls << "discardRecoveredSessions"; }
    void saveIfPackaged() override { calls << "saveIfPackaged"; }
    void presentSavePanel() override { calls << "presentSavePanel"; }
    void undo() override { calls << "undo"; }
    void redo() override { calls << "redo"; }
    void exportFCPXML() override { calls << "exportFCPXML"; }
    void exportFCP7XML() override { calls << "exportFCP7XML"; }
    void checkForUpdates() override { calls << "checkForUpdates"; }
    void selectDisplay(uint32_t id) override { calls << QStringLiteral("selectDisplay %1").arg(id); }
    void refreshDisplays() override { calls << "refreshDisplays"; }
    void selectMicrophone(const std::optional<QString> &id) override { calls << "selectMicrophone " + id.value_or("default"); }
    void setCaptureSystemAudio(bool on) override { calls << QStringLiteral("setCaptureSystemAudio %1").arg(on); }
    void toggleWebcam(const QString &id) override { calls << "toggleWebcam " + id; }
    void disableWebcam() override { calls << "disableWebcam"; }
    void applyPickedContent(const ContentFilterRef &) override { calls << "applyPickedContent"; }
    void reportWindowPickerFailure(const Error &) override { calls << "reportWindowPickerFailure"; }
    void setAutomaticallyChecksForUpdates(bool) override { calls << "setAutomaticallyChecksForUpdates"; }
    void setHideCursorWhenIdle(bool) override { calls << "setHideCursorWhenIdle"; }
    void setCursorHideDelay(double) override { calls << "setCursorHideDelay"; }
    void shortcutBindingChanged() override { calls << "shortcutBindingChanged"; }
};

} // namespace lumacast::testing
