#pragma once

#include "store/InteractionGate.h"

#include <QString>

#include <qcoro/qcorotask.h>

namespace lumacast {

class AppStateManager;

// The answer to a quit request; the application delegate passes it on as it is. Every quit road of
// the application (menus, tray, signals, session manager) is decided here, once.
enum class QuitReply {
    terminateNow,
    // The answer comes later through the manager's termination reply.
    terminateLater,
    // A final save failed and the user was told, or the user chose not to stop a running export;
    // the application stays.
    cancel,
};

// Closing the recording (the Close Recording command and the review window's close), quitting,
// and carrying out a close or quit that waited for a tail operation. A take that runs at Close
// or Quit is filed first, or stopped and deleted after "Don’t Save"; a take already ending is
// waited for, never stopped twice. Works on the manager's fields; the manager owns it and
// forwards its public operations here.
//
// Main thread only. Failures are shown in alerts ("Couldn’t save recording") and keep the
// session open; the review window's decision is synchronous (its dialog and panel are modal),
// and a save it leads to closes the window once done.
class SessionClosing {
public:
    explicit SessionClosing(AppStateManager &manager);

    QCoro::Task<> performCloseRecording();
    QCoro::Task<> finishActiveRecordingForClose();
    QCoro::Task<> abandonActiveRecording();
    bool reviewWindowShouldClose();
    // The save panel, then the save; the recording closes, and the window with it, once saved.
    void saveBeforeReviewClose();
    bool hasPendingTakeOnReviewClose() const;
    void runPendingExternalAction();
    QuitReply requestQuit();
    void applicationWillTerminate();
    void replyToTermination(bool terminate);

private:
    // Writes a pending save before a quit. When it fails: "Save As…" (then the quit, once saved),
    // "Quit Without Saving" (saying what is lost) or Cancel, the default.
    QuitReply saveBeforeQuit();
    // Answers a quit left pending with `reply`, unless another road answers it later.
    void answerQuit(QuitReply reply);
    QCoro::Task<> finishTakeThenQuit();
    QCoro::Task<> quitAfterCopy();
    QCoro::Task<> saveThenClose(QString url, InteractionGate::SharedHold command);
    // "Quit while exporting?": true when the user chose to quit all the same.
    bool confirmQuitDuringExport();
    void closeRecordingSoon();
    // The deferred close or quit, now; `itsTurn`: run as a command that waited its turn.
    void carryOutPendingExternalAction(bool itsTurn);

    AppStateManager &m;
};

} // namespace lumacast
