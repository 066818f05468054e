#pragma once

#include "model/Session.h"
#include "store/InteractionGate.h"

#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace lumacast {

class AppStateManager;
class FilePanel;

// The answer of the save-before-continuing dialog.
enum class SaveDecision { save = 0, dontSave = 1, cancel = 2 };

// Opening a session package and the document commands that replace the current session (New,
// Open, open from the file manager, Resume, Save As, discarding recovered recordings), each
// behind its guards (a live tail operation, a take being recorded) and the save step that asks
// what to do with an unsaved session. Works on the manager's fields; the manager owns it and
// forwards its public operations here.
//
// Main thread only. Commands report their failures in alerts and return normally; openSession
// and guardedNewSession throw (the manifest's error, the scratch folder's error). Closures left
// with panels and posted calls hold the manager weakly.
class SessionDocument {
public:
    explicit SessionDocument(AppStateManager &manager);

    QCoro::Task<> openSession(QString url, bool activate); // throws SessionStore::ManifestError
    FilePanel *makeOpenPanel();
    void prewarmOpenPanel();
    void rememberViewedTake(const std::optional<QUuid> &takeID);
    bool openReviewWindow(bool withoutActivating);

    QCoro::Task<> guardedNewSession();
    void guardedOpenSession();
    void guardedOpen(const QString &url);
    void guardedResumeSession(const Session &session);
    void resumeSession(const Session &session);
    // `otherwise` runs when the panel is cancelled or its save refused or failed.
    void presentSavePanel(std::function<void()> continuation, std::function<void()> otherwise = {});
    void presentOpenPanel();
    SaveDecision confirmSaveBeforeClosing();
    void discardCurrentSession();
    // "Don’t Save": the session's storage is deleted and the session closed; false when the close
    // was refused (a live tail operation).
    bool discardAndClose(bool dismissReviewWindow);
    // True, after telling the user, when a tail operation is live or a take is starting or
    // running: a document command must not go on under it. `name` goes into the log line,
    // `before` ends the notice ("Finish or discard the current take before …").
    bool refuseUnderTakeOrTail(const QString &command, const QString &name, const QString &before);
    // False when it refused (a live tail operation) or when the pending autosave could not be
    // written: then the session stays open and the user has been told.
    bool forceCloseSession(bool dismissReviewWindow);
    void discardRecoveredSession(const Session &session);
    void discardRecoveredSessions();
    void reportWindowPickerFailure(const QString &description);

    // Writes a pending autosave now. False (and "Couldn’t save recording") when it fails.
    bool flushPendingSave();
    // The same, said nowhere: the failure's description.
    std::optional<QString> writePendingSave();

private:
    // The save step shared by New, Open, the file-manager open and Resume; `before` names the
    // command in a refusal when a take starts while its question is up.
    void runSaveStep(const QString &before, std::function<void()> action);
    // Opens a package chosen by the user; a failure is shown in "Couldn’t open recording".
    void openChosenPackage(const QString &url);
    // The save the save panel's answer leads to, then `continuation`; a failure is shown in
    // "Couldn’t save recording". `command` keeps what arrives meanwhile waiting.
    QCoro::Task<> saveAndContinue(QString url, InteractionGate::SharedHold command,
                                  std::function<void()> continuation, std::function<void()> otherwise);
    void restoreLastViewedTake();
    void previewFirstCheckedTake();
    void showOpenFailure(const QString &description);
    void logApp(const QString &message) const;
    // Drops the recording from the recovered ones offered.
    void forgetRecovered(const Session &session);
    // Removes a recovered recording's folder unless a program has it open; false when it stays.
    bool discardRecovered(const Session &session);

    AppStateManager &m;
};

} // namespace lumacast
