#pragma once

#include "capture/RecorderCallbackRelay.h"
#include "control/AppState.h"
#include "control/ExportHost.h"
#include "control/SessionClosing.h"
#include "control/SessionDocument.h"
#include "control/StateManagerServices.h"
#include "control/TailOperation.h"
#include "media/TakeJoiner.h"
#include "model/Session.h"
#include "model/UndoHistory.h"
#include "store/AppLog.h"
#include "store/InteractionGate.h"
#include "store/ScratchClaim.h"
#include "store/Shortcut.h"

#include <QDateTime>
#include <QList>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace lumacast {

class BackgroundCopy;
class CaptureDevices;
class CaptureTargetPicker;
class DocumentHistory;
class ExportLauncher;
class FolderFollower;
class UnfinishedTakes;
class Launch;
class HotKeyActions;
class ReviewDecisions;
class SceneEditor;
class TailFinalizer;
class TailJoin;
class TailRecording;
class SessionClosing;
class TakeRecording;

// The one long-lived controller of the application. It holds the application state and the
// current session and publishes them, with every setting, as properties with change signals;
// windows, menus and panels observe them and call its operations. It owns the collaborators
// handed in through StateManagerServices for its whole life.
//
// Main thread only. Created once per process and never destroyed while it runs (tests create
// and destroy it freely). Operations report their own failures (log lines, alerts) and return
// normally unless a comment says they throw. Every closure it hands to a collaborator, a timer
// or a hot key holds it weakly and does nothing once it is gone.
//
// Each concern keeps its code in a class of its own in control/ (DocumentHistory: undo, orphan
// clean-up, autosave; SceneEditor: scene and take editing), which the manager owns and which
// reach the manager's fields as friends. A new concern adds its class, one friend line and its
// public operations below.
class AppStateManager : public ExportHost, public StateManagerCallbacks {
    Q_OBJECT
    // Published properties, in declaration order. Windows write only those with a WRITE here
    // that the comments call theirs; everything else changes through an operation.
    Q_PROPERTY(bool permissionsOK READ permissionsOK NOTIFY permissionsOKChanged)
    Q_PROPERTY(lumacast::AppState state READ state WRITE setState NOTIFY stateChanged)
    Q_PROPERTY(std::optional<lumacast::Session> currentSession READ currentSession NOTIFY currentSessionChanged)
    Q_PROPERTY(std::optional<QString> currentTakeURL READ currentTakeURL NOTIFY currentTakeURLChanged)
    Q_PROPERTY(std::optional<QUuid> previewedTakeID READ previewedTakeID NOTIFY previewedTakeIDChanged)
    Q_PROPERTY(bool isRenaming READ isRenaming WRITE setIsRenaming NOTIFY isRenamingChanged)
    Q_PROPERTY(bool isExporting READ isExporting WRITE setIsExporting NOTIFY isExportingChanged)
    Q_PROPERTY(double exportProgress READ exportProgress NOTIFY exportProgressChanged)
    Q_PROPERTY(QString exportLabel READ exportLabel NOTIFY exportLabelChanged)
    Q_PROPERTY(QString copyLabel READ copyLabel NOTIFY copyChanged)
    Q_PROPERTY(bool canUndo READ canUndo NOTIFY canUndoChanged)
    Q_PROPERTY(bool canRedo READ canRedo NOTIFY canRedoChanged)
    Q_PROPERTY(std::optional<QString> undoActionName READ undoActionName NOTIFY undoActionNameChanged)
    Q_PROPERTY(std::optional<QString> redoActionName READ redoActionName NOTIFY redoActionNameChanged)
    Q_PROPERTY(QList<lumacast::Session> recoverableSessions READ recoverableSessions NOTIFY recoverableSessionsChanged)
    Q_PROPERTY(std::optional<QUuid> pendingTakeID READ pendingTakeID NOTIFY pendingTakeIDChanged)
    Q_PROPERTY(std::optional<lumacast::TailOperation> tailOperation READ tailOperation NOTIFY tailOperationChanged)
    Q_PROPERTY(bool tailWarningAcknowledged READ tailWarningAcknowledged NOTIFY tailWarningAcknowledgedChanged)
    Q_PROPERTY(std::optional<lumacast::PendingExternalAction> pendingExternalAction READ pendingExternalAction NOTIFY pendingExternalActionChanged)
    Q_PROPERTY(std::optional<QDateTime> takeStartedAt READ takeStartedAt NOTIFY takeStartedAtChanged)
    Q_PROPERTY(lumacast::ShortcutBindings shortcutBindings READ shortcutBindings NOTIFY shortcutBindingsChanged)
    Q_PROPERTY(bool automaticallyChecksForUpdates READ automaticallyChecksForUpdates NOTIFY automaticallyChecksForUpdatesChanged)
    Q_PROPERTY(bool reopenLastDocument READ reopenLastDocument WRITE setReopenLastDocument NOTIFY reopenLastDocumentChanged)
    Q_PROPERTY(bool hideCursorWhenIdle READ hideCursorWhenIdle NOTIFY hideCursorWhenIdleChanged)
    Q_PROPERTY(double cursorHideDelay READ cursorHideDelay NOTIFY cursorHideDelayChanged)
    Q_PROPERTY(std::vector<lumacast::DisplayOption> availableDisplays READ availableDisplays NOTIFY availableDisplaysChanged)
    Q_PROPERTY(std::optional<uint32_t> selectedDisplayID READ selectedDisplayID NOTIFY selectedDisplayIDChanged)
    Q_PROPERTY(QList<lumacast::CameraOption> availableCameras READ availableCameras NOTIFY availableCamerasChanged)
    Q_PROPERTY(std::optional<QString> selectedCameraID READ selectedCameraID NOTIFY selectedCameraIDChanged)
    Q_PROPERTY(QList<lumacast::MicOption> availableMicrophones READ availableMicrophones NOTIFY availableMicrophonesChanged)
    Q_PROPERTY(std::optional<QString> selectedMicrophoneID READ selectedMicrophoneID NOTIFY selectedMicrophoneIDChanged)
    Q_PROPERTY(bool captureSystemAudio READ captureSystemAudio NOTIFY captureSystemAudioChanged)
    Q_PROPERTY(double systemAudioMixLevel READ systemAudioMixLevel WRITE setSystemAudioMixLevel NOTIFY systemAudioMixLevelChanged)
    Q_PROPERTY(bool webcamEnabled READ webcamEnabled NOTIFY webcamEnabledChanged)
    Q_PROPERTY(lumacast::BlobShape webcamShape READ webcamShape WRITE setWebcamShape NOTIFY webcamShapeChanged)
    Q_PROPERTY(lumacast::CaptureTarget captureTarget READ captureTarget WRITE setCaptureTarget NOTIFY captureTargetChanged)

public:
    using WindowAction = std::function<void(const QString &windowIdentifier)>;
    // The replaceable steps of the tail road (see the tail section below).
    using TailDecision = std::function<QCoro::Task<bool>()>;
    using TailCaptureStart = std::function<QCoro::Task<TailCaptureStartResult>(TailCaptureRequest)>;
    using TailRecorderStop = std::function<QCoro::Task<std::optional<RecorderService::Recording>>()>;
    using TailUsabilityCheck = std::function<QCoro::Task<bool>(QString moviePath)>;
    using TailBeginJoin = std::function<QCoro::Task<void>(TailJoinHandoff)>;
    using TailJoinPerform =
        std::function<QCoro::Task<take_joiner::JoinResult>(take_joiner::JoinRequest, take_joiner::ProgressCallback)>;
    using TailPersistStaged = std::function<void(const Session &)>; // throws
    using TailReport = std::function<void(const QString &title, const QString &message)>;
    using TerminationReply = std::function<void(bool terminate)>;

    // Takes the collaborators (all must be set) and loads the recording settings from the
    // preferences without writing them back. `startServices` false (tests, a test host) starts
    // nothing that touches the system.
    explicit AppStateManager(StateManagerServices services, bool startServices, QObject *parent = nullptr);
    ~AppStateManager() override;

    // ---- Published properties: readers -------------------------------------------------
    bool permissionsOK() const { return m_permissionsOK; }
    AppState state() const { return m_state; }
    std::optional<Session> currentSession() const override { return m_currentSession; }
    // The same without a copy.
    const std::optional<Session> &session() const { return m_currentSession; }
    std::optional<QString> currentTakeURL() const { return m_currentTakeURL; }
    std::optional<QUuid> previewedTakeID() const { return m_previewedTakeID; }
    bool isRenaming() const { return m_isRenaming; }
    bool isExporting() const { return m_isExporting; }
    double exportProgress() const { return m_exportProgress; }
    QString exportLabel() const { return m_exportLabel; }
    // What a copy of takes or of the whole recording under way does ("Duplicating Scene…"), once
    // it has lasted a moment; empty otherwise (BackgroundCopy).
    QString copyLabel() const { return m_copyLabel; }
    // A copy runs, shown or not yet: the recording's edits, undo and takes hold off meanwhile.
    bool isCopying() const;
    bool canUndo() const { return m_canUndo; }
    bool canRedo() const { return m_canRedo; }
    std::optional<QString> undoActionName() const { return m_undoActionName; }
    std::optional<QString> redoActionName() const { return m_redoActionName; }
    QList<Session> recoverableSessions() const { return m_recoverableSessions; }
    std::optional<QUuid> pendingTakeID() const { return m_pendingTakeID; }
    std::optional<TailOperation> tailOperation() const { return m_tailOperation; }
    bool tailWarningAcknowledged() const { return m_tailWarningAcknowledged; }
    std::optional<PendingExternalAction> pendingExternalAction() const { return m_pendingExternalAction; }
    // A short word for the status panel during a take (a refused second-launch open), in place
    // of an alert that would take the recorded screen and the hot keys; gone after 10 s.
    std::optional<QString> recordingNotice() const { return m_recordingNotice; }
    void showRecordingNotice(const QString &text);
    std::optional<QDateTime> takeStartedAt() const { return m_takeStartedAt; }
    ShortcutBindings shortcutBindings() const { return m_shortcutBindings; }
    bool automaticallyChecksForUpdates() const { return m_automaticallyChecksForUpdates; }
    bool reopenLastDocument() const { return m_reopenLastDocument; }
    bool hideCursorWhenIdle() const { return m_hideCursorWhenIdle; }
    double cursorHideDelay() const { return m_cursorHideDelay; }
    std::vector<DisplayOption> availableDisplays() const { return m_availableDisplays; }
    std::optional<uint32_t> selectedDisplayID() const { return m_selectedDisplayID; }
    QList<CameraOption> availableCameras() const { return m_availableCameras; }
    std::optional<QString> selectedCameraID() const { return m_selectedCameraID; }
    QList<MicOption> availableMicrophones() const { return m_availableMicrophones; }
    std::optional<QString> selectedMicrophoneID() const { return m_selectedMicrophoneID; }
    bool captureSystemAudio() const { return m_captureSystemAudio; }
    double systemAudioMixLevel() const { return m_systemAudioMixLevel; }
    bool webcamEnabled() const { return m_webcamEnabled; }
    BlobShape webcamShape() const { return m_webcamShape; }
    CaptureTarget captureTarget() const { return m_captureTarget; }

    // ---- Published properties: writers ---------------------------------------------------
    // The state setter: the one way `state` changes. A write of the same value does nothing;
    // any other logs "[state] old → new" and applies the main-window and webcam-overlay rules.
    void setState(AppState state);
    // Written by the windows and menus themselves.
    void setIsRenaming(bool renaming);
    void setIsExporting(bool exporting);
    void setReopenLastDocument(bool reopen);
    void setSystemAudioMixLevel(double level);
    void setWebcamShape(BlobShape shape);
    void setCaptureTarget(const CaptureTarget &target);
    // Written by the manager's own concerns (control/) only. Each stores the value and emits
    // its change signal when the value differs (the session and the tail operation always).
    void setPermissionsOK(bool ok);
    // The same document changed (same id), or another one put in place: a session with another
    // identity, or none, goes through replaceCurrentSession.
    void setCurrentSession(const std::optional<Session> &session);
    // Puts another document in place (new, opened, resumed, closed): the undo and redo stacks
    // are emptied, the checkpoint name, the pending take and the reviewed take's movie cleared.
    void replaceCurrentSession(const std::optional<Session> &session);
    // Claims the current session's folder once it is another one (ScratchClaim).
    void claimCurrentFolder();
    void setCurrentTakeURL(const std::optional<QString> &url);
    void setPreviewedTakeID(const std::optional<QUuid> &takeID);
    void setExportProgress(double fraction);
    void setExportLabel(const QString &label);
    void setRecoverableSessions(const QList<Session> &sessions);
    void setPendingTakeID(const std::optional<QUuid> &takeID);
    void setTailOperation(const std::optional<TailOperation> &operation);
    void setTailWarningAcknowledged(bool acknowledged);
    void setPendingExternalAction(const std::optional<PendingExternalAction> &action);
    void setTakeStartedAt(const std::optional<QDateTime> &time);
    void setShortcutBindings(const ShortcutBindings &bindings);
    // The keyboard layout changed: the same bindings are announced again, so that whatever
    // names them (menus, settings, tooltips, the status panel) names them anew.
    void keyNamesChanged() { emit shortcutBindingsChanged(); }
    void setAutomaticallyChecksForUpdatesValue(bool enabled);
    void setHideCursorWhenIdleValue(bool enabled);
    void setCursorHideDelayValue(double seconds);
    void setAvailableDisplays(const std::vector<DisplayOption> &displays);
    void setSelectedDisplayIDValue(const std::optional<uint32_t> &displayID);
    void setAvailableCameras(const QList<CameraOption> &cameras);
    void setSelectedCameraIDValue(const std::optional<QString> &cameraID);
    void setAvailableMicrophones(const QList<MicOption> &microphones);
    void setSelectedMicrophoneIDValue(const std::optional<QString> &microphoneID);
    void setCaptureSystemAudioValue(bool enabled);
    void setWebcamEnabledValue(bool enabled);
    // The movie of the take being recorded; the orphan clean-up keeps it (not published).
    std::optional<QString> inFlightTakeFilename() const { return m_inFlightTakeFilename; }
    void setInFlightTakeFilename(const std::optional<QString> &filename) { m_inFlightTakeFilename = filename; }
    // The running camera while the webcam is on (not published).
    CameraFeed *cameraCapture() const { return m_cameraCapture.get(); }
    void setCameraCapture(std::unique_ptr<CameraFeed> feed) { m_cameraCapture = std::move(feed); }

    // ---- Other members the windows use -----------------------------------------------------
    // The review window's platform window, registered by its close guard; held weakly.
    MainWindowHandle *mainWindow() const { return m_mainWindow.data(); }
    void setMainWindow(MainWindowHandle *window) { m_mainWindow = window; }
    // The window actions of the menu-bar content ("review", "export", "settings", "help");
    // while unset a request does nothing.
    void setWindowActions(WindowAction open, WindowAction openWithoutActivating, WindowAction dismiss);
    void openWindow(const QString &identifier) const;
    void openWindowWithoutActivating(const QString &identifier) const;
    void dismissWindow(const QString &identifier) const;
    // Read and cleared by the review window's loader.
    bool skipOutgoingPlayheadSave() const { return m_skipOutgoingPlayheadSave; }
    void setSkipOutgoingPlayheadSave(bool skip) { m_skipOutgoingPlayheadSave = skip; }
    WebcamOverlayService &webcamOverlay() const { return *m_services.webcamOverlay; }
    // The window picker of "Choose Window…", on the picker the application installed before
    // the manager was made.
    CaptureTargetPicker &captureTargetPicker() const { return *m_captureTargetPicker; }
    const StateManagerServices &services() const { return m_services; }
    SessionLogger &sessionLog() { return m_sessionLog; }

    // ---- Application state (state rules, alerts) -------------------------------------------
    // recording or paused.
    bool isRecording() const { return app_state::isRecording(m_state); }
    // Applies the overlay rule to the webcam overlay.
    void updateWebcamOverlayVisibility();
    // Follow the application's activation while the webcam is on (the idle overlay rule).
    void installAppActivationObservers();
    void removeAppActivationObservers();
    // The shared modal alert with the single "OK" button. It holds the interaction gate while it
    // is up: the global hot keys answer nothing, and commands that arrive wait for the answer.
    void presentAlert(const QString &message, const QString &informativeText, AlertStyle style);
    // The same for an alert with buttons; returns the index of the chosen one.
    int runAlert(const AlertRequest &request);
    // What the user is being asked, and the commands that wait for the answer.
    InteractionGate &interactions() const { return *m_services.interactions; }
    // A command that would close or replace the recording, arriving while the user is being asked
    // something or another such command is under way: `again` is queued to run once that is over,
    // and true returned (the caller stops there). False: the caller goes on now.
    bool deferUntilAnswered(const QString &what, std::function<void()> again);
    // The recording an answer was asked about is still the one open (absent: none was).
    bool isCurrentSession(const std::optional<QUuid> &sessionID) const;
    std::optional<QUuid> currentSessionID() const;
    // Registers the global hot keys again from the current bindings.
    void restoreGlobalShortcuts();
    // The previewed take: that take when it exists, else the last take of the current scene,
    // else none; `currentTakeURL` follows it.
    void setPreviewedTake(const std::optional<QUuid> &takeID, bool skipOutgoingPlayheadSave);
    // The movie of a take of the current session (its package, else its scratch folder).
    QString takeURL(const QString &filename) const;

    // ---- ExportHost -----------------------------------------------------------------------
    int selectedTakeCount() const override;
    void exportVideo() override;

    // ---- StateManagerCallbacks (the recorder's relay) -------------------------------------
    QCoro::Task<> endTakeAfterStreamError(QString description) override;
    void updateWebcamOverlayVisibility(bool videoEffectActive) override;

    // ---- Undo checkpoints, orphaned take files, autosave ----------------------------------
    // Records an undo step holding the session as it is now; returns the take file names the
    // step released from the history. Nothing while a snapshot is applied or without a session;
    // "Trim" steps less than 1.0 s apart merge into one.
    QSet<QString> checkpoint(const QString &name);
    // Deletes the movies in the session's "takes" folder that neither the session, its undo
    // history, the take being recorded nor a live tail operation refers to, and that the
    // folder's TakeLedger lists as Lumacast's; any other movie stays.
    void collectOrphanTakeFiles();
    // The movies the undo history, the take being recorded and a live tail hold, besides the
    // session's own: what a manifest written now lists in the folder's TakeLedger.
    QSet<QString> heldTakeFilenames() const;
    // (Re)starts the 0.3 s autosave debounce, never past 1 s after the first edit it holds;
    // nothing without a session.
    void scheduleSave();
    // Writes the manifest now (absorbing a pending debounce). The first failure is told in an
    // alert; the changes stay pending until a write succeeds.
    void autoSave();
    // A pending debounced autosave exists, or the last one failed.
    bool hasPendingSave() const;
    // Turns the session into a package at `url`, its files copied on a worker thread
    // (BackgroundCopy), after any copy under way. Throws the store's error; the session is then
    // unchanged.
    QCoro::Task<> saveSession(QString url);
    // The Save command: schedules the autosave of a packaged session; nothing otherwise.
    void saveIfPackaged();
    void undo();
    void redo();
    // Installs an undo snapshot as the current session, keeping the session's folders.
    void applySnapshot(const Session &snapshot);
    const UndoHistory &history() const;

    // ---- The road of a take ----------------------------------------------------------------
    // Takes the application from idle or reviewing to recording: permissions, a fresh
    // "<UUID>.mov" in the session's "takes" folder, the microphone, the border, the countdown,
    // the capture, the status panel. Nothing while a take starts, runs or is paused, while a
    // tail operation is live, while the recording's files are copied or without a session. Every failure or cancellation restores the
    // state read at the start and leaves no border, no microphone and no movie behind; a start
    // whose session was closed or replaced meanwhile is abandoned. Never throws.
    QCoro::Task<> startRecording();
    // Only while recording (the callers check).
    void pauseRecording();
    void resumeRecording();
    // Stops the recorder and files the take in the current scene ("Record Take" undo step,
    // autosave), then opens the review; idle with an alert when nothing was written. A second
    // call while the first is stopping does nothing. Never throws.
    QCoro::Task<> endTake();

    // ---- Review decisions, scenes, the tray menu ----------------------------------------------
    // Reviewing, with a reviewed movie that exists and is over 1024 bytes.
    bool checkReviewedTake() const;
    // The reviewed take becomes its scene's checked take (no undo step).
    void markApproved();
    // Clears the reviewed take and goes idle.
    void leaveReview();
    void approve();
    // Approves the reviewed take without checking its movie and leaves review.
    void autoApprove();
    // Approves and starts the next take (posted).
    void approveAndNewTake();
    // Removes the reviewed take ("Retake" undo step) and leaves review.
    void retake();
    // Approves, opens a new scene and starts its first take (posted).
    void approveAndNextScene();
    // Appends a new empty scene and makes it current ("Next Scene" undo step); nothing while a
    // take starts, runs or is paused.
    void advanceToScene();
    QCoro::Task<> endTakeAndNextScene();
    // A new scratch session, then a take. Throws the scratch folder's error; nothing while a
    // take starts, runs or is paused.
    QCoro::Task<> newSession();
    // True when a tail operation is live and the close or quit was deferred (a pending quit is
    // never downgraded); false when the caller may go on.
    bool deferWhileTailPending(PendingExternalAction action);
    // A running take pauses while the tray menu is open and resumes when it closes; a take the
    // user paused stays paused.
    void menuDidOpen();
    void menuDidClose();

    // ---- Hot-key actions ---------------------------------------------------------------------
    // Hands the six actions to the hot-key service; each holds the manager weakly.
    void installShortcutHandlers();
    void startPauseShortcut();
    void endTakeShortcut();
    void retakeShortcut();
    void nextSceneShortcut();
    // Rereads the bindings from the preferences and registers the keys again.
    void reloadShortcutBindings();
    void reinstallGlobalShortcuts() { restoreGlobalShortcuts(); }

    // ---- The tail road ----------------------------------------------------------------------
    // A tail replaces the trimmed-off end of a take: recorded like a take into "<stem>.tail.mov",
    // joined without re-encoding to the kept part into "<stem>.joining.mov", verified, and then
    // put in place of the take's movie ("Record Tail" undo step, manifest saved at once). One
    // operation at a time (`tailOperation`). Every asynchronous completion checks again that the
    // live operation still has the id and capture attempt (and phase) it started from; a stale
    // one only logs.
    //
    // The replaceable steps: each reads as a stored closure; on first read an empty one gets its
    // default body (holding the manager weakly), and a caller may assign another one.
    TailDecision &tailWarningDecision();       // may the operation go on? (asks once per recording)
    TailDecision &tailWarningPresenter();      // the destructive-tail warning; true: confirmed
    TailCaptureStart &tailCaptureStart();      // permissions, size check, countdown, capture
    TailRecorderStop &tailRecorderStop();      // the written movie and its seconds, or nothing
    TailUsabilityCheck &tailUsabilityCheck();  // probeTakeMedia
    TailBeginJoin &tailBeginJoin();            // beginTailJoin
    TailJoinPerform &tailJoinPerform();        // the join engine
    TailPersistStaged &tailPersistStaged();    // writes the manifest now; throws the store's error
    TailReport &tailReportFailure();           // warning alert
    TailReport &tailReportNotice();            // informational alert
    TerminationReply &terminationReply();      // answers a quit left pending

    // Whether a tail may be recorded for the take now (no live operation, no export, no copy of
    // the recording's files, idle or reviewing, the take's movie usable and trimmed at its end).
    bool canRecordTail(const QUuid &sceneID, const QUuid &takeID) const;
    // The review window's "Record Tail": nothing when canRecordTail says no.
    QCoro::Task<> recordTail(QUuid sceneID, QUuid takeID, std::optional<double> playheadPosition);
    // One capture attempt of the operation (the first one, or a Record Again).
    QCoro::Task<> startTailCapture(TailOperation operation, AudioEncodingPlan plan, TailOperation::Attempt attempt);
    // Ends an operation whose first attempt produced no tail; with a message, an alert.
    void abortInitialTail(const std::optional<QString> &message);
    // Puts an operation whose Record Again produced no tail back into the failed phase.
    void failRecordAgain(TailFailure::Kind previousKind, const QString &previousMessage, const QString &message);
    // Pixel size of a movie's first video track, as encoded; nothing when it cannot be read.
    static QCoro::Task<std::optional<std::pair<int, int>>> probeVideoDimensions(QString moviePath);
    // "S<scene>T<take>" of the take being replaced, or nothing.
    std::optional<QString> tailTargetLabel() const;
    bool tailSystemAudioIndicator() const;
    std::optional<double> tailJoinProgress() const;
    std::optional<TailFailure> currentTailFailure() const;
    std::optional<TailFailure> tailSheetFailure() const { return currentTailFailure(); }
    // The tail-operation sheet is up while the operation joins or has failed.
    bool isTailSheetPresented() const;
    bool tailSheetShown() const { return isTailSheetPresented(); }
    QString stateDescription() const { return app_state::caseName(m_state); }

    // Stops a running tail capture and finalises it, once per capture attempt: a second caller
    // during the same stop waits for the first and gets the same outcome.
    QCoro::Task<TailFinalizationOutcome> waitForTailFinalizer();
    TailFinalizationOutcome finalizeTailStop(const std::optional<RecorderService::Recording> &candidate,
                                             const TailFinalizerKey &key, const QUuid &token);
    // Whether the movie has the shape of a take that can be joined (one video track, one or two
    // AAC audio tracks, one format each, a positive duration). Never throws.
    static QCoro::Task<bool> probeTakeMedia(QString moviePath);

    QCoro::Task<> beginTailJoin(TailJoinHandoff handoff);
    bool tailJoinIsCurrent(const QUuid &operationID, const QUuid &captureAttemptID) const;
    void handleTailJoinFailure(TailFailure::Kind kind, const QString &message);
    void completeTailJoin(const take_joiner::JoinResult &result);
    // The tail-operation sheet's choices; each does nothing unless the operation offers it.
    QCoro::Task<> retryTailJoin();
    QCoro::Task<> recordTailAgain();
    void discardTail();
    // Ends the operation: working files deleted, state, pending and previewed take restored,
    // a deferred close or quit carried out.
    void endTailOperation(const TailOperation &operation);

    // ---- Scene and take editing ------------------------------------------------------------
    void selectTake(const QUuid &sceneID, const std::optional<QUuid> &takeID);
    void setTakeTrim(const QUuid &sceneID, const QUuid &takeID, double start, double end);
    void setTrimLive(const QUuid &sceneID, const QUuid &takeID, double start, double end);
    void renameScene(const QUuid &sceneID, const QString &name);
    void renameTake(const QUuid &sceneID, const QUuid &takeID, const QString &name);
    // Copies the scene's take movies on a worker thread (BackgroundCopy), then adds the copy
    // after the scene ("Duplicate Scene" undo step) if the scene is still there.
    QCoro::Task<> duplicateScene(QUuid sceneID);
    // `toOffset` is an index into the scene list before the move; the count means the end.
    void reorderScenes(const QList<QUuid> &sceneIDs, qsizetype toOffset);
    void deleteItems(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs);
    void moveTakes(const QList<QUuid> &takeIDs, const QUuid &destinationSceneID);
    // Without undo: the scene that receives new takes, a movie's real length, the playhead.
    void setCurrentScene(const QUuid &sceneID);
    void correctTakeDuration(double duration, const QUuid &sceneID, const QUuid &takeID);
    void setTakePlayhead(double position, const QUuid &sceneID, const QUuid &takeID);
    // Runs `mutator` on the take in a copy of the session, then marks it dirty, publishes it and
    // schedules the autosave; unknown ids change nothing.
    void updateTake(const QUuid &sceneID, const QUuid &takeID, const std::function<void(Take &)> &mutator);
    // Seconds of the current take, pauses left out; nothing when no take runs.
    std::optional<double> elapsedRecordingTime(const QDateTime &now) const;
    int nextTakeNumber() const;

    // ---- Recording settings, capture devices and the webcam switch ---------------------------
    // Each publishes the value, writes its settings key and passes it on (updater, recorder).
    void setAutomaticallyChecksForUpdates(bool enabled);
    void setHideCursorWhenIdle(bool enabled);
    // Seconds; clamped to 0.5 ... 10.0 before it is stored.
    void setCursorHideDelay(double seconds);
    // Rebuilds the display list; a chosen display that went away is replaced by the main one.
    void refreshDisplays();
    // Absent: none (stored as 0).
    void selectDisplay(const std::optional<uint32_t> &displayID);
    // Rebuilds the microphone list; a chosen one that went away becomes the system default.
    void refreshMicrophones();
    // Absent: the system default microphone.
    void selectMicrophone(const std::optional<QString> &microphoneID);
    void setCaptureSystemAudio(bool enabled);
    // Rebuilds the camera list; while the webcam is on, a chosen camera that went away is
    // replaced by the first one.
    void refreshCameras();
    void storeSelectedCamera(const std::optional<QString> &cameraID);
    // A camera's switch turned on: refused with an alert while a window is the capture target,
    // else turns the webcam on once camera access is granted.
    void toggleWebcam(const QString &cameraID);
    // Turns the webcam on with that camera (or switches to it when already on).
    void enableCamera(const QString &cameraID);
    void showCameraAccessAlert();
    // Turns the webcam off: the overlay's panel is let go and the camera stops.
    void disableWebcam();
    // The window picker's success: the picked content becomes the capture target.
    void applyPickedContent(const ContentFilterRef &filter);
    // Hot-key actions: the overlay's corner/full size while recording, and showing or hiding it
    // during a take.
    void toggleWebcamZoom();
    void toggleWebcamBlob();
    // The overlay was hidden by the user during this take (not published).
    bool userHidBlob() const { return m_userHidBlob; }
    bool cameraAvailable() const { return m_cameraAvailable; }

    // ---- Documents: open, guarded commands, close and quit -------------------------------------
    // Opens the package at `url` as the current session, worked on in place: validates its
    // manifest, removes stale working files, checks the takes' durations ("Recording loaded with
    // issues"), restores the last viewed take, goes idle and opens the review window (through the
    // non-activating action when `activate` is false). Throws SessionStore::ManifestError; then no
    // session of it is published and no window opened. Callers clear the way (save step); it only
    // refuses, on the status panel, while a take or tail is under way, before or after its check
    // of the movies.
    QCoro::Task<> openSession(QString url, bool activate);
    // The open panel of the Open command; the manager owns it.
    FilePanel *makeOpenPanel();
    // Builds and keeps the open panel ahead of the first Open command.
    void prewarmOpenPanel();
    // Stores the previewed take of a packaged session under "lastViewedTakes".
    void rememberViewedTake(const std::optional<QUuid> &takeID);
    // Opens the empty review window; true when no window action was set (nothing opened).
    bool openReviewWindow(bool withoutActivating);
    // The document commands, each behind the live-tail guard, the recording guard and the save
    // step ("Save recording before closing?"). New throws the scratch folder's error.
    QCoro::Task<> guardedNewSession();
    void guardedOpenSession();
    // A ".lumacast" package handed over by the file manager or a second launch.
    void guardedOpen(const QString &url);
    void guardedResumeSession(const Session &session);
    // Adopts a recovered scratch session without guards.
    void resumeSession(const Session &session);
    // Save As: the save panel through the one-panel guard; `continuation` runs after a
    // successful save. A failure shows "Couldn’t save recording". Nothing is saved when a take or
    // tail is under way as the panel answers: it writes into the folder the save would move.
    void presentSavePanel(std::function<void()> continuation = {});
    void presentOpenPanel();
    SaveDecision confirmSaveBeforeClosing();
    // "Don’t Save": deletes the session's storage, then closes it.
    void discardCurrentSession();
    // Closes the session without asking. Refused (false) while a tail operation is live, and
    // when a pending autosave cannot be written (then "Couldn’t save recording", session kept).
    bool forceCloseSession(bool dismissReviewWindow);
    void discardRecoveredSession(const Session &session);
    void discardRecoveredSessions();
    void reportWindowPickerFailure(const QString &description);
    // Writes a pending autosave now; false, after "Couldn’t save recording", when it fails.
    bool flushPendingSave();
    // Close Recording: a running take is filed first (or dropped after "Don’t Save").
    QCoro::Task<> performCloseRecording();
    QCoro::Task<> closeRequestTask() { return performCloseRecording(); }
    // Stops a running take and files it as its scene's checked take; no review, no undo step.
    QCoro::Task<> finishActiveRecordingForClose();
    // Stops a running take and deletes its movie.
    QCoro::Task<> abandonActiveRecording();
    // The review window's close decision: true when it may close. A take under way is handed to
    // Close Recording and the window stays until the session is closed.
    bool reviewWindowShouldClose();
    void saveBeforeReviewClose();
    bool hasPendingTakeOnReviewClose() const;
    // Carries out the close or quit deferred while a tail operation was live. The tail road
    // calls it once its operation has ended (tailOperation absent).
    void runPendingExternalAction();
    // The application's quit request: now, later (answered through the termination reply: after a
    // copy of the recording's files under way, a tail, or a take being filed), or cancelled after
    // a failed final save or when the user keeps a running export ("Quit while exporting?").
    QuitReply requestQuit();
    // The application is terminating (normal exit or SIGTERM): writes a pending autosave.
    void applicationWillTerminate();
    // Answers a quit left pending; replaceable (tests, the shell).
    void setTerminationReply(std::function<void(bool)> reply) { m_terminationReply = std::move(reply); }

    // ---- Launch ------------------------------------------------------------------------------
    QCoro::Task<> runLaunchTask();
    void scanRecoverableSessions();
    // Reopens "lastOpenedDocument" when that setting is on and the file exists, else opens the
    // empty review window.
    void reopenLastDocumentAtLaunch();

    // ---- Exports and the update check ---------------------------------------------------------
    void exportFCPXML();
    void exportFCP7XML();
    // `exportedFolder`: the folder of the recording the export reads, whose history records its
    // result whichever recording is open by then.
    void handleExportResult(const ExportEvent &event, const QString &label, const QString &exportedFolder);
    void showExportComplete(const QString &location);
    void checkForUpdates();
    // Shows a written export in the file manager; replaced in tests.
    void setFileRevealer(std::function<void(const QString &path)> reveal);

signals:
    void permissionsOKChanged();
    void stateChanged();
    void currentTakeURLChanged();
    void previewedTakeIDChanged();
    void isRenamingChanged();
    void isExportingChanged();
    void exportProgressChanged();
    void exportLabelChanged();
    // A copy began or ended, or its label came up.
    void copyChanged();
    void recordingNoticeChanged();
    void canUndoChanged();
    void canRedoChanged();
    void undoActionNameChanged();
    void redoActionNameChanged();
    void recoverableSessionsChanged();
    void pendingTakeIDChanged();
    void tailOperationChanged();
    void tailWarningAcknowledgedChanged();
    void pendingExternalActionChanged();
    void takeStartedAtChanged();
    void shortcutBindingsChanged();
    void automaticallyChecksForUpdatesChanged();
    void reopenLastDocumentChanged();
    void hideCursorWhenIdleChanged();
    void cursorHideDelayChanged();
    void availableDisplaysChanged();
    void selectedDisplayIDChanged();
    void availableCamerasChanged();
    void selectedCameraIDChanged();
    void availableMicrophonesChanged();
    void selectedMicrophoneIDChanged();
    void captureSystemAudioChanged();
    void systemAudioMixLevelChanged();
    void webcamEnabledChanged();
    void webcamShapeChanged();
    void captureTargetChanged();

private:
    friend class BackgroundCopy;
    friend class CaptureDevices;
    friend class DocumentHistory;
    friend class SceneEditor;
    friend class TakeRecording;
    friend class ReviewDecisions;
    friend class HotKeyActions;
    friend class TailRecording;
    friend class TailFinalizer;
    friend class TailJoin;
    friend class SessionDocument;
    friend class SessionClosing;
    friend class Launch;
    friend class ExportLauncher;
    friend class UnfinishedTakes;
    friend class FolderFollower;

    // Where ending a take hands the stop to the tail finaliser while a tail capture runs.
    QCoro::Task<> handleTailStop();

    void loadSettings();
    // Follows the gate: file panels count as questions, and a waiting command is told of.
    void watchInteractions();
    void commandWaits(const QString &what);
    // Brings what the user is asked (the modal window, or the file panel) back in front,
    // restored when it was minimized, and during a copy the review window that shows it: a
    // command that waits, or a hot key that does nothing, shows why.
    void showQuestion();
    void updateMainWindowForState();
    void restoreMainWindow();
    void logApp(const QString &message) const;
    void resetDocumentHistory();
    // The take is over: no status panel, no border, no take timing.
    void clearTakeOverlays();

    template <typename T, typename Signal> void publish(T &field, const T &value, Signal changed)
    {
        if (field == value)
            return;
        field = value;
        emit(this->*changed)();
    }

    // The collaborators; `services` keeps them alive. The gate of its own when none was given.
    StateManagerServices m_services;
    std::unique_ptr<InteractionGate> m_ownInteractions;
    // Held while a file panel of the guard is up.
    InteractionGate::Hold m_filePanelQuestion;

    // Stored properties, in declaration order.
    bool m_permissionsOK = false;
    AppState m_state = AppState::idle;
    QPointer<MainWindowHandle> m_mainWindow;
    std::optional<Session> m_currentSession;
    std::optional<QString> m_currentTakeURL;
    QPointer<FilePanel> m_cachedOpenPanel;
    std::optional<QUuid> m_previewedTakeID;
    bool m_skipOutgoingPlayheadSave = false;
    bool m_isRenaming = false;
    bool m_isExporting = false;
    double m_exportProgress = 0;
    QString m_exportLabel;
    QString m_copyLabel;
    std::optional<QString> m_recordingNotice;
    std::shared_ptr<ScheduledWork> m_recordingNoticeTask;
    UndoHistory m_history{UndoHistory::defaultLimit};
    bool m_canUndo = false;
    bool m_canRedo = false;
    std::optional<QString> m_undoActionName;
    std::optional<QString> m_redoActionName;
    bool m_isApplyingSnapshot = false;
    std::optional<QString> m_lastCheckpointName;
    QDateTime m_lastCheckpointTime; // invalid: the distant past
    double m_trimCoalesceWindow = 1.0; // seconds
    bool m_autoPausedByMenu = false;
    QList<Session> m_recoverableSessions;
    bool m_suppressReviewWindowCloseBehavior = false;
    bool m_isHandlingStreamError = false;
    bool m_isEndingTake = false;
    std::optional<QString> m_inFlightTakeFilename;
    WindowAction m_openWindow;
    WindowAction m_openWindowWithoutActivating;
    WindowAction m_dismissWindow;
    // recorder, store: in m_services
    SessionLogger m_sessionLog;
    // hot keys, countdown, permissions, exporter, status panel, border, webcam overlay: in
    // m_services
    std::unique_ptr<CameraFeed> m_cameraCapture;
    bool m_cameraAvailable = true;
    bool m_userHidBlob = false;
    QList<QMetaObject::Connection> m_cameraDeviceObservers;
    QList<QMetaObject::Connection> m_appActivationObservers;
    // updater: in m_services
    std::optional<QUuid> m_pendingTakeID;
    std::optional<TailOperation> m_tailOperation;
    std::optional<TailFinalizerSlot> m_tailFinalizer;
    // The replaceable steps of the tail road; empty until first read (then their defaults).
    TailDecision m_tailWarningDecision;
    TailDecision m_tailWarningPresenter;
    bool m_tailWarningAcknowledged = false;
    TailCaptureStart m_tailCaptureStart;
    TailRecorderStop m_tailRecorderStop;
    TailUsabilityCheck m_tailUsabilityCheck;
    TailBeginJoin m_tailBeginJoin;
    TailJoinPerform m_tailJoinPerform;
    TailPersistStaged m_tailPersistStaged;
    TailReport m_tailReportFailure;
    TailReport m_tailReportNotice;
    TerminationReply m_terminationReply;
    std::optional<PendingExternalAction> m_pendingExternalAction;
    std::optional<QDateTime> m_takeStartedAt;
    std::optional<QDateTime> m_pausedAt;
    double m_pauseAccumulated = 0; // seconds
    ShortcutBindings m_shortcutBindings;
    bool m_automaticallyChecksForUpdates = true;
    bool m_reopenLastDocument = true;
    bool m_hideCursorWhenIdle = true;
    double m_cursorHideDelay = 2.0; // seconds
    std::vector<DisplayOption> m_availableDisplays;
    std::optional<uint32_t> m_selectedDisplayID;
    QList<CameraOption> m_availableCameras;
    std::optional<QString> m_selectedCameraID;
    QList<MicOption> m_availableMicrophones;
    std::optional<QString> m_selectedMicrophoneID;
    bool m_captureSystemAudio = false;
    double m_systemAudioMixLevel = 0.3;
    bool m_webcamEnabled = false;
    BlobShape m_webcamShape = BlobShape::round;
    CaptureTarget m_captureTarget;
    std::unique_ptr<CaptureTargetPicker> m_captureTargetPicker;
    QMetaObject::Connection m_screenChangeObserver;
    std::shared_ptr<ScheduledWork> m_saveTask;
    // When the autosave of the current burst of edits runs at the latest (invalid: none pending).
    QDateTime m_saveDeadline;
    // The last autosave failed: its changes are still unwritten, and the user has been told.
    bool m_autosaveFailed = false;
    // The open recording's folder (scratch or package), claimed against another Lumacast of
    // the user and a launch that would remove, recover or discard it; follows a Save As.
    std::unique_ptr<ScratchClaim> m_scratchClaim;

    // The concerns, owned here.
    std::unique_ptr<BackgroundCopy> m_backgroundCopy;
    std::unique_ptr<CaptureDevices> m_captureDevices;
    std::unique_ptr<DocumentHistory> m_documentHistory;
    std::unique_ptr<SceneEditor> m_sceneEditor;
    std::unique_ptr<TakeRecording> m_takeRecording;
    std::unique_ptr<ReviewDecisions> m_reviewDecisions;
    std::unique_ptr<HotKeyActions> m_hotKeyActions;
    std::unique_ptr<TailRecording> m_tailRecording;
    std::unique_ptr<TailFinalizer> m_tailFinalizerConcern;
    std::unique_ptr<TailJoin> m_tailJoin;
    std::unique_ptr<SessionDocument> m_sessionDocument;
    std::unique_ptr<SessionClosing> m_sessionClosing;
    std::unique_ptr<Launch> m_launch;
    std::unique_ptr<ExportLauncher> m_exportLauncher;
    std::unique_ptr<UnfinishedTakes> m_unfinishedTakes;
    std::unique_ptr<FolderFollower> m_folderFollower;
    std::unique_ptr<RecorderCallbackRelay> m_recorderRelay;
};

} // namespace lumacast
