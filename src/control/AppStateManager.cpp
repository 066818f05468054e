#include "control/AppStateManager.h"

#include "capture/CaptureTargetPicker.h"
#include "control/BackgroundCopy.h"
#include "control/CaptureDevices.h"
#include "control/DocumentHistory.h"
#include "control/UnfinishedTakes.h"
#include "control/ExportLauncher.h"
#include "control/FolderFollower.h"
#include "control/Launch.h"
#include "control/HotKeyActions.h"
#include "control/ReviewDecisions.h"
#include "control/SceneEditor.h"
#include "control/TailFinalizer.h"
#include "control/TailJoin.h"
#include "control/TailRecording.h"
#include "control/TakeRecording.h"
#include "model/LogCategories.h"
#include "store/FilePanelGuard.h"
#include "store/Preferences.h"
#include "store/SessionStore.h"
#include "store/TakeLedger.h"

#include <QDir>
#include <QFileInfo>

namespace lumacast {

AppStateManager::AppStateManager(StateManagerServices services, bool startServices, QObject *parent)
    : ExportHost(parent), m_services(std::move(services))
{
    Q_ASSERT(m_services.isComplete());
    if (!m_services.interactions) {
        m_ownInteractions = std::make_unique<InteractionGate>();
        m_services.interactions = m_ownInteractions.get();
    }
    m_backgroundCopy = std::make_unique<BackgroundCopy>(*this);
    m_documentHistory = std::make_unique<DocumentHistory>(*this);
    m_sceneEditor = std::make_unique<SceneEditor>(*this);
    m_takeRecording = std::make_unique<TakeRecording>(*this);
    m_reviewDecisions = std::make_unique<ReviewDecisions>(*this);
    m_hotKeyActions = std::make_unique<HotKeyActions>(*this);
    m_tailRecording = std::make_unique<TailRecording>(*this);
    m_tailFinalizerConcern = std::make_unique<TailFinalizer>(*this);
    m_tailJoin = std::make_unique<TailJoin>(*this);
    m_sessionDocument = std::make_unique<SessionDocument>(*this);
    m_sessionClosing = std::make_unique<SessionClosing>(*this);
    m_launch = std::make_unique<Launch>(*this);
    m_exportLauncher = std::make_unique<ExportLauncher>(*this);
    m_unfinishedTakes = std::make_unique<UnfinishedTakes>(*this);
    m_folderFollower = std::make_unique<FolderFollower>(*this);
    loadSettings();
    m_captureTargetPicker = std::make_unique<CaptureTargetPicker>();
    m_hotKeyActions->installShortcutHandlers();
    watchInteractions();

    // The recorder reports from its own threads; the relay brings both callbacks to the main
    // thread and drops a second stream error while the first is being handled.
    m_recorderRelay = std::make_unique<RecorderCallbackRelay>(*this);
    m_services.recorder->setCallbacks(m_recorderRelay->onStreamErrorCallback(),
                                      m_recorderRelay->onVideoEffectChangedCallback());
    m_captureDevices = std::make_unique<CaptureDevices>(*this);
    m_captureDevices->observeChanges();
    if (startServices)
        m_launch->startServices();
}

AppStateManager::~AppStateManager()
{
    // Collaborators outlive the manager in tests; nothing of ours may be called back.
    m_services.recorder->setCallbacks({}, {});
    removeAppActivationObservers();
    if (m_saveTask)
        m_saveTask->cancel();
}

void AppStateManager::loadSettings()
{
    // Read only: loading writes nothing back to the preferences.
    Preferences &prefs = *m_services.preferences;
    m_shortcutBindings = prefs.effectiveShortcutBindings();
    m_automaticallyChecksForUpdates = prefs.autoCheckForUpdates();
    m_reopenLastDocument = prefs.reopenLastDocument();
    m_hideCursorWhenIdle = prefs.hideCursorWhenIdle();
    m_cursorHideDelay = prefs.cursorHideDelay();
    QSettings &defaults = prefs.defaults();
    bool ok = false;
    const qlonglong display = defaults.value(preference_key::selectedDisplayID).toLongLong(&ok);
    // 0 means none; a value no display id can have is read as none too.
    if (ok && display > 0 && display <= std::numeric_limits<uint32_t>::max())
        m_selectedDisplayID = static_cast<uint32_t>(display);
    const auto text = [&defaults](const char *key) -> std::optional<QString> {
        const QVariant value = defaults.value(key);
        if (value.typeId() != QMetaType::QString)
            return std::nullopt;
        return value.toString();
    };
    m_selectedCameraID = text(preference_key::selectedCameraID);
    m_selectedMicrophoneID = text(preference_key::selectedMicrophoneID);
    const QVariant systemAudio = defaults.value(preference_key::captureSystemAudio);
    m_captureSystemAudio = systemAudio.typeId() == QMetaType::Bool && systemAudio.toBool();
    m_systemAudioMixLevel = prefs.systemAudioMixLevel();
    m_webcamShape = blob_shape::fromStored(text(preference_key::webcamBlobShape));
}

void AppStateManager::logApp(const QString &message) const
{
    m_services.appLog->log(message);
}

// ---- State setter and its rules ------------------------------------------------------------

void AppStateManager::setState(AppState state)
{
    const AppState old = m_state;
    m_state = state;
    if (old == state)
        return;
    emit stateChanged();
    const QString oldName = app_state::caseName(old);
    const QString newName = app_state::caseName(state);
    logApp(QStringLiteral("[state] %1 → %2").arg(oldName, newName));
    qCInfo(log::state(), "%s → %s", qUtf8Printable(oldName), qUtf8Printable(newName));
    updateMainWindowForState();
}

void AppStateManager::updateMainWindowForState()
{
    if (mainWindowActionFor(m_state) == MainWindowAction::minimize) {
        if (MainWindowHandle *window = m_mainWindow.data(); window && window->isVisible() && !window->isMinimized()) {
            logApp(QStringLiteral("[window] minimizing main window for recording"));
            window->minimize();
        }
    } else {
        restoreMainWindow();
    }
    updateWebcamOverlayVisibility();
}

void AppStateManager::restoreMainWindow()
{
    MainWindowHandle *window = m_mainWindow.data();
    if (!window) {
        logApp(QStringLiteral("[window] main window ref missing — opening through the window actions"));
        openWindow(QStringLiteral("review"));
        return;
    }
    logApp(QStringLiteral("[window] restoring main window"));
    window->restore();
    m_services.application->activateIgnoringOtherApps();
}

void AppStateManager::updateWebcamOverlayVisibility()
{
    WebcamOverlayInputs inputs;
    inputs.state = m_state;
    inputs.webcamEnabled = m_webcamEnabled;
    inputs.cameraAvailable = m_cameraAvailable;
    inputs.hasCameraCapture = m_cameraCapture != nullptr;
    inputs.userHidBlob = m_userHidBlob;
    inputs.applicationActive = m_services.application->isActive();
    WebcamOverlayService &overlay = *m_services.webcamOverlay;
    const WebcamOverlayDecision decision = webcamOverlayDecision(inputs);
    switch (decision.kind) {
    case WebcamOverlayDecision::Kind::show:
        overlay.setInteractive(decision.interactive);
        overlay.show(*m_cameraCapture, m_selectedDisplayID);
        break;
    case WebcamOverlayDecision::Kind::hide:
        if (overlay.hasPanel())
            overlay.orderOut();
        break;
    case WebcamOverlayDecision::Kind::release:
        if (overlay.hasPanel())
            overlay.releasePanel();
        break;
    }
}

void AppStateManager::updateWebcamOverlayVisibility(bool videoEffectActive)
{
    m_cameraAvailable = !videoEffectActive;
    updateWebcamOverlayVisibility();
}

void AppStateManager::installAppActivationObservers()
{
    if (!m_appActivationObservers.isEmpty())
        return;
    ApplicationService *application = m_services.application.get();
    // Connected with the manager as context: a manager that is gone receives nothing.
    m_appActivationObservers.append(connect(application, &ApplicationService::becameActive, this, [this] {
        updateWebcamOverlayVisibility();
        // Back from the file manager, maybe: the title names the recording where it is now.
        if (interactions().isOpen())
            m_folderFollower->follow();
    }));
    m_appActivationObservers.append(connect(application, &ApplicationService::resignedActive, this,
                                            [this] { updateWebcamOverlayVisibility(); }));
}

void AppStateManager::removeAppActivationObservers()
{
    for (const QMetaObject::Connection &connection : std::as_const(m_appActivationObservers))
        disconnect(connection);
    m_appActivationObservers.clear();
}

// ---- Alerts and hot keys -----------------------------------------------------------------

void AppStateManager::presentAlert(const QString &message, const QString &informativeText, AlertStyle style)
{
    runAlert(AlertRequest{message, informativeText, style, {}});
}

int AppStateManager::runAlert(const AlertRequest &request)
{
    // A modal loop would otherwise let a hot key start or end a take behind the alert, and a
    // second launch or the tray close the recording the alert is about.
    const InteractionGate::Hold asking = interactions().hold(InteractionGate::Kind::asking);
    m_services.alerts->withholdHotKeys(m_shortcutBindings);
    return m_services.alerts->runModal(request);
}

bool AppStateManager::deferUntilAnswered(const QString &what, std::function<void()> again)
{
    if (interactions().isOpen())
        return false;
    interactions().run(what, std::move(again));
    return true;
}

std::optional<QUuid> AppStateManager::currentSessionID() const
{
    return m_currentSession ? std::optional<QUuid>(m_currentSession->id) : std::nullopt;
}

bool AppStateManager::isCurrentSession(const std::optional<QUuid> &sessionID) const
{
    return currentSessionID() == sessionID;
}

void AppStateManager::watchInteractions()
{
    connect(&interactions(), &InteractionGate::commandWaits, this, &AppStateManager::commandWaits);
    // A file panel blocks no window, but its answer is a question's all the same: the save or
    // open it leads to must meet the recording it was asked for.
    connect(m_services.filePanelGuard, &FilePanelGuard::isPresentingChanged, this, [this](bool presenting) {
        m_filePanelQuestion = presenting ? interactions().hold(InteractionGate::Kind::asking) : InteractionGate::Hold();
    });
}

void AppStateManager::commandWaits(const QString &what)
{
    if (isCopying())
        logApp(QStringLiteral("[app] %1 waits for the copy under way").arg(what));
    else
        logApp(QStringLiteral("[app] %1 waits until the user has answered").arg(what));
    // No window comes up during a take: the status panel says why nothing happens yet.
    if (app_state::isCapturing(m_state)) {
        QString text = what;
        if (!text.isEmpty())
            text[0] = text[0].toUpper();
        showRecordingNotice(QStringLiteral("%1 waits for the question or menu that is open.").arg(text));
        return;
    }
    showQuestion();
}

void AppStateManager::showQuestion()
{
    // The review window shows the copy's progress.
    if (isCopying())
        openWindow(QStringLiteral("review"));
    m_services.alerts->bringToFront();
    if (FilePanel *panel = m_services.filePanelGuard->current())
        panel->bringToFront();
}

void AppStateManager::restoreGlobalShortcuts()
{
    // Every action is a global one; the bindings pass whole, in action order.
    ShortcutBindings global;
    for (ShortcutAction action : shortcut_action::allCases) {
        if (auto it = m_shortcutBindings.find(action); it != m_shortcutBindings.end())
            global.emplace(action, it->second);
    }
    m_services.hotKeys->installHotKeys(global);
}

// ---- Window actions ------------------------------------------------------------------------

void AppStateManager::setWindowActions(WindowAction open, WindowAction openWithoutActivating, WindowAction dismiss)
{
    m_openWindow = std::move(open);
    m_openWindowWithoutActivating = std::move(openWithoutActivating);
    m_dismissWindow = std::move(dismiss);
}

void AppStateManager::openWindow(const QString &identifier) const
{
    if (m_openWindow)
        m_openWindow(identifier);
}

void AppStateManager::openWindowWithoutActivating(const QString &identifier) const
{
    if (m_openWindowWithoutActivating)
        m_openWindowWithoutActivating(identifier);
}

void AppStateManager::dismissWindow(const QString &identifier) const
{
    if (m_dismissWindow)
        m_dismissWindow(identifier);
}

// ---- The current session ---------------------------------------------------------------------

void AppStateManager::setCurrentSession(const std::optional<Session> &session)
{
    const bool sameDocument = m_currentSession && session && m_currentSession->id == session->id;
    if (!sameDocument && (m_currentSession || session)) {
        replaceCurrentSession(session);
        return;
    }
    m_currentSession = session;
    claimCurrentFolder(); // a Save As moves the document
    emit currentSessionChanged();
}

void AppStateManager::replaceCurrentSession(const std::optional<Session> &session)
{
    // The history, the reviewed take and its movie belong to the document being replaced; an
    // undo must never bring its scenes into the new document's folder.
    resetDocumentHistory();
    // Another recording: the destructive-tail warning is asked again before its first tail.
    setTailWarningAcknowledged(false);
    setPendingTakeID(std::nullopt);
    setCurrentTakeURL(std::nullopt);
    m_currentSession = session;
    claimCurrentFolder();
    emit currentSessionChanged();
}

void AppStateManager::claimCurrentFolder()
{
    if (!m_currentSession) {
        m_scratchClaim.reset();
        return;
    }
    const QString folder = SessionStore::sessionFolder(*m_currentSession);
    if (m_scratchClaim && m_scratchClaim->folder() == folder)
        return;
    // The new claim first: one on the same lock file is shared, never dropped in between.
    auto claim = std::make_unique<ScratchClaim>(folder);
    if (!claim->isHeld())
        qCWarning(log::persistence(), "the open recording is not claimed: %s", qUtf8Printable(folder));
    m_scratchClaim = std::move(claim);
}

void AppStateManager::clearTakeOverlays()
{
    m_services.statusPanel->hide();
    m_services.border->hide();
    setTakeStartedAt(std::nullopt);
    m_pausedAt.reset();
    m_pauseAccumulated = 0;
}

void AppStateManager::resetDocumentHistory()
{
    m_documentHistory->reset();
}

QString AppStateManager::takeURL(const QString &filename) const
{
    if (!m_currentSession)
        return {};
    return QDir(SessionStore::takesFolder(*m_currentSession)).filePath(filename);
}

void AppStateManager::setPreviewedTake(const std::optional<QUuid> &takeID, bool skipOutgoingPlayheadSave)
{
    m_skipOutgoingPlayheadSave = skipOutgoingPlayheadSave;
    if (!m_currentSession)
        return;
    const Session &session = *m_currentSession;
    const Take *found = nullptr;
    if (takeID) {
        for (const RecordingScene &scene : session.scenes) {
            for (const Take &take : scene.takes) {
                if (take.id == *takeID) {
                    found = &take;
                    break;
                }
            }
            if (found)
                break;
        }
    }
    if (!found && session.currentSceneIndex >= 0 && session.currentSceneIndex < session.scenes.size()) {
        const RecordingScene &current = session.scenes.at(session.currentSceneIndex);
        if (!current.takes.isEmpty())
            found = &current.takes.last();
    }
    if (found) {
        const QUuid id = found->id;
        const QString url = takeURL(found->filename);
        setPreviewedTakeID(id);
        setCurrentTakeURL(url);
    } else {
        setPreviewedTakeID(std::nullopt);
        setCurrentTakeURL(std::nullopt);
    }
}

// ---- ExportHost and the recorder's relay -------------------------------------------------------

int AppStateManager::selectedTakeCount() const
{
    return checkedTakeCount(m_currentSession);
}

void AppStateManager::exportVideo()
{
    m_exportLauncher->startExport(ExportLauncher::Kind::video);
}

QCoro::Task<> AppStateManager::endTakeAfterStreamError(QString description)
{
    return m_takeRecording->endTakeAfterStreamError(std::move(description));
}

QCoro::Task<> AppStateManager::handleTailStop()
{
    auto finalizing = waitForTailFinalizer();
    co_await finalizing;
}

// ---- Published setters -----------------------------------------------------------------------

void AppStateManager::setPermissionsOK(bool ok) { publish(m_permissionsOK, ok, &AppStateManager::permissionsOKChanged); }
void AppStateManager::setCurrentTakeURL(const std::optional<QString> &url) { publish(m_currentTakeURL, url, &AppStateManager::currentTakeURLChanged); }
void AppStateManager::setPreviewedTakeID(const std::optional<QUuid> &id) { publish(m_previewedTakeID, id, &AppStateManager::previewedTakeIDChanged); }
void AppStateManager::setIsRenaming(bool renaming) { publish(m_isRenaming, renaming, &AppStateManager::isRenamingChanged); }
void AppStateManager::setIsExporting(bool exporting) { publish(m_isExporting, exporting, &AppStateManager::isExportingChanged); }
void AppStateManager::setExportProgress(double fraction) { publish(m_exportProgress, fraction, &AppStateManager::exportProgressChanged); }
void AppStateManager::setExportLabel(const QString &label) { publish(m_exportLabel, label, &AppStateManager::exportLabelChanged); }
void AppStateManager::setPendingTakeID(const std::optional<QUuid> &id) { publish(m_pendingTakeID, id, &AppStateManager::pendingTakeIDChanged); }
void AppStateManager::setTailWarningAcknowledged(bool value) { publish(m_tailWarningAcknowledged, value, &AppStateManager::tailWarningAcknowledgedChanged); }
void AppStateManager::setPendingExternalAction(const std::optional<PendingExternalAction> &action) { publish(m_pendingExternalAction, action, &AppStateManager::pendingExternalActionChanged); }
void AppStateManager::setTakeStartedAt(const std::optional<QDateTime> &time) { publish(m_takeStartedAt, time, &AppStateManager::takeStartedAtChanged); }
void AppStateManager::setShortcutBindings(const ShortcutBindings &bindings) { publish(m_shortcutBindings, bindings, &AppStateManager::shortcutBindingsChanged); }
void AppStateManager::setAutomaticallyChecksForUpdatesValue(bool value) { publish(m_automaticallyChecksForUpdates, value, &AppStateManager::automaticallyChecksForUpdatesChanged); }
void AppStateManager::setReopenLastDocument(bool value) { publish(m_reopenLastDocument, value, &AppStateManager::reopenLastDocumentChanged); }
void AppStateManager::setHideCursorWhenIdleValue(bool value) { publish(m_hideCursorWhenIdle, value, &AppStateManager::hideCursorWhenIdleChanged); }
void AppStateManager::setCursorHideDelayValue(double seconds) { publish(m_cursorHideDelay, seconds, &AppStateManager::cursorHideDelayChanged); }
void AppStateManager::setAvailableDisplays(const std::vector<DisplayOption> &displays) { publish(m_availableDisplays, displays, &AppStateManager::availableDisplaysChanged); }
void AppStateManager::setSelectedDisplayIDValue(const std::optional<uint32_t> &id) { publish(m_selectedDisplayID, id, &AppStateManager::selectedDisplayIDChanged); }
void AppStateManager::setAvailableCameras(const QList<CameraOption> &cameras) { publish(m_availableCameras, cameras, &AppStateManager::availableCamerasChanged); }
void AppStateManager::setSelectedCameraIDValue(const std::optional<QString> &id) { publish(m_selectedCameraID, id, &AppStateManager::selectedCameraIDChanged); }
void AppStateManager::setAvailableMicrophones(const QList<MicOption> &microphones) { publish(m_availableMicrophones, microphones, &AppStateManager::availableMicrophonesChanged); }
void AppStateManager::setSelectedMicrophoneIDValue(const std::optional<QString> &id) { publish(m_selectedMicrophoneID, id, &AppStateManager::selectedMicrophoneIDChanged); }
void AppStateManager::setCaptureSystemAudioValue(bool value) { publish(m_captureSystemAudio, value, &AppStateManager::captureSystemAudioChanged); }
void AppStateManager::setSystemAudioMixLevel(double level) { publish(m_systemAudioMixLevel, level, &AppStateManager::systemAudioMixLevelChanged); }
void AppStateManager::setWebcamEnabledValue(bool value) { publish(m_webcamEnabled, value, &AppStateManager::webcamEnabledChanged); }
void AppStateManager::setWebcamShape(BlobShape shape) { publish(m_webcamShape, shape, &AppStateManager::webcamShapeChanged); }
void AppStateManager::setCaptureTarget(const CaptureTarget &target) { publish(m_captureTarget, target, &AppStateManager::captureTargetChanged); }

void AppStateManager::setRecoverableSessions(const QList<Session> &sessions)
{
    // Sessions have no equality: every write is announced.
    m_recoverableSessions = sessions;
    emit recoverableSessionsChanged();
}

void AppStateManager::setTailOperation(const std::optional<TailOperation> &operation)
{
    // Its working movies are listed before anything is recorded into them: after a kill they
    // are Lumacast's to remove.
    if (operation && m_currentSession && (!m_tailOperation || m_tailOperation->tailURL != operation->tailURL))
        TakeLedger::update(SessionStore::sessionFolder(*m_currentSession),
                           {QFileInfo(operation->tailURL).fileName(), QFileInfo(operation->stagedOutputURL).fileName()}, {});
    m_tailOperation = operation;
    emit tailOperationChanged();
}

// ---- Forwarders to the concerns ----------------------------------------------------------------

void AppStateManager::setAutomaticallyChecksForUpdates(bool enabled) { m_captureDevices->setAutomaticallyChecksForUpdates(enabled); }
void AppStateManager::setHideCursorWhenIdle(bool enabled) { m_captureDevices->setHideCursorWhenIdle(enabled); }
void AppStateManager::setCursorHideDelay(double seconds) { m_captureDevices->setCursorHideDelay(seconds); }
void AppStateManager::refreshDisplays() { m_captureDevices->refreshDisplays(); }
void AppStateManager::selectDisplay(const std::optional<uint32_t> &displayID) { m_captureDevices->selectDisplay(displayID); }
void AppStateManager::refreshMicrophones() { m_captureDevices->refreshMicrophones(); }
void AppStateManager::selectMicrophone(const std::optional<QString> &microphoneID) { m_captureDevices->selectMicrophone(microphoneID); }
void AppStateManager::setCaptureSystemAudio(bool enabled) { m_captureDevices->setCaptureSystemAudio(enabled); }
void AppStateManager::refreshCameras() { m_captureDevices->refreshCameras(); }
void AppStateManager::storeSelectedCamera(const std::optional<QString> &cameraID) { m_captureDevices->storeSelectedCamera(cameraID); }
void AppStateManager::toggleWebcam(const QString &cameraID) { m_captureDevices->toggleWebcam(cameraID); }
void AppStateManager::enableCamera(const QString &cameraID) { m_captureDevices->enableCamera(cameraID); }
void AppStateManager::showCameraAccessAlert() { m_captureDevices->showCameraAccessAlert(); }
void AppStateManager::disableWebcam() { m_captureDevices->disableWebcam(); }
void AppStateManager::applyPickedContent(const ContentFilterRef &filter) { m_captureDevices->applyPickedContent(filter); }
void AppStateManager::toggleWebcamZoom() { m_captureDevices->toggleWebcamZoom(); }
void AppStateManager::toggleWebcamBlob() { m_captureDevices->toggleWebcamBlob(); }

QSet<QString> AppStateManager::checkpoint(const QString &name) { return m_documentHistory->checkpoint(name); }
void AppStateManager::collectOrphanTakeFiles() { m_documentHistory->collectOrphanTakeFiles(); }
QSet<QString> AppStateManager::heldTakeFilenames() const { return m_documentHistory->heldTakeFilenames(); }
void AppStateManager::scheduleSave() { m_documentHistory->scheduleSave(); }
void AppStateManager::autoSave() { m_documentHistory->autoSave(); }
void AppStateManager::showRecordingNotice(const QString &text)
{
    // One notice at a time: a second replaces the first and its time starts again.
    if (m_recordingNoticeTask)
        m_recordingNoticeTask->cancel();
    publish(m_recordingNotice, std::optional<QString>(text), &AppStateManager::recordingNoticeChanged);
    const QPointer<AppStateManager> alive(this);
    m_recordingNoticeTask = m_services.scheduler->schedule(std::chrono::seconds(10), this, [alive] {
        if (alive)
            alive->publish(alive->m_recordingNotice, std::optional<QString>(), &AppStateManager::recordingNoticeChanged);
    });
}

bool AppStateManager::hasPendingSave() const
{
    return (m_saveTask && m_saveTask->isPending()) || (m_autosaveFailed && m_currentSession);
}
QCoro::Task<> AppStateManager::saveSession(QString url) { return m_documentHistory->saveSession(std::move(url)); }
void AppStateManager::saveIfPackaged() { m_documentHistory->saveIfPackaged(); }
void AppStateManager::undo() { m_documentHistory->undo(); }
void AppStateManager::redo() { m_documentHistory->redo(); }
void AppStateManager::applySnapshot(const Session &snapshot) { m_documentHistory->applySnapshot(snapshot); }
const UndoHistory &AppStateManager::history() const { return m_history; }

void AppStateManager::selectTake(const QUuid &sceneID, const std::optional<QUuid> &takeID) { m_sceneEditor->selectTake(sceneID, takeID); }
void AppStateManager::setTakeTrim(const QUuid &sceneID, const QUuid &takeID, double start, double end) { m_sceneEditor->setTakeTrim(sceneID, takeID, start, end); }
void AppStateManager::setTrimLive(const QUuid &sceneID, const QUuid &takeID, double start, double end) { m_sceneEditor->setTrimLive(sceneID, takeID, start, end); }
void AppStateManager::renameScene(const QUuid &sceneID, const QString &name) { m_sceneEditor->renameScene(sceneID, name); }
void AppStateManager::renameTake(const QUuid &sceneID, const QUuid &takeID, const QString &name) { m_sceneEditor->renameTake(sceneID, takeID, name); }
QCoro::Task<> AppStateManager::duplicateScene(QUuid sceneID) { return m_sceneEditor->duplicateScene(sceneID); }
bool AppStateManager::isCopying() const { return m_backgroundCopy->isRunning(); }
void AppStateManager::reorderScenes(const QList<QUuid> &sceneIDs, qsizetype toOffset) { m_sceneEditor->reorderScenes(sceneIDs, toOffset); }
void AppStateManager::deleteItems(const QList<QUuid> &sceneIDs, const QList<QUuid> &takeIDs) { m_sceneEditor->deleteItems(sceneIDs, takeIDs); }
void AppStateManager::moveTakes(const QList<QUuid> &takeIDs, const QUuid &destinationSceneID) { m_sceneEditor->moveTakes(takeIDs, destinationSceneID); }
void AppStateManager::setCurrentScene(const QUuid &sceneID) { m_sceneEditor->setCurrentScene(sceneID); }
void AppStateManager::correctTakeDuration(double duration, const QUuid &sceneID, const QUuid &takeID) { m_sceneEditor->correctTakeDuration(duration, sceneID, takeID); }
void AppStateManager::setTakePlayhead(double position, const QUuid &sceneID, const QUuid &takeID) { m_sceneEditor->setTakePlayhead(position, sceneID, takeID); }
void AppStateManager::updateTake(const QUuid &sceneID, const QUuid &takeID, const std::function<void(Take &)> &mutator) { m_sceneEditor->updateTake(sceneID, takeID, mutator); }

QCoro::Task<> AppStateManager::startRecording() { return m_takeRecording->startRecording(); }
void AppStateManager::pauseRecording() { m_takeRecording->pauseRecording(); }
void AppStateManager::resumeRecording() { m_takeRecording->resumeRecording(); }
QCoro::Task<> AppStateManager::endTake() { return m_takeRecording->endTake(); }

bool AppStateManager::checkReviewedTake() const { return m_reviewDecisions->checkReviewedTake(); }
void AppStateManager::markApproved() { m_reviewDecisions->markApproved(); }
void AppStateManager::leaveReview() { m_reviewDecisions->leaveReview(); }
void AppStateManager::approve() { m_reviewDecisions->approve(); }
void AppStateManager::autoApprove() { m_reviewDecisions->autoApprove(); }
void AppStateManager::approveAndNewTake() { m_reviewDecisions->approveAndNewTake(); }
void AppStateManager::retake() { m_reviewDecisions->retake(); }
void AppStateManager::approveAndNextScene() { m_reviewDecisions->approveAndNextScene(); }
void AppStateManager::advanceToScene() { m_reviewDecisions->advanceToScene(); }
QCoro::Task<> AppStateManager::endTakeAndNextScene() { return m_reviewDecisions->endTakeAndNextScene(); }
QCoro::Task<> AppStateManager::newSession() { return m_reviewDecisions->newSession(); }
bool AppStateManager::deferWhileTailPending(PendingExternalAction action) { return m_reviewDecisions->deferWhileTailPending(action); }
void AppStateManager::menuDidOpen() { m_reviewDecisions->menuDidOpen(); }
void AppStateManager::menuDidClose() { m_reviewDecisions->menuDidClose(); }

// The tail road's seams: an empty one gets its default body on first read.
AppStateManager::TailDecision &AppStateManager::tailWarningDecision()
{
    if (!m_tailWarningDecision)
        m_tailWarningDecision = m_tailRecording->defaultWarningDecision();
    return m_tailWarningDecision;
}

AppStateManager::TailDecision &AppStateManager::tailWarningPresenter()
{
    if (!m_tailWarningPresenter)
        m_tailWarningPresenter = m_tailRecording->defaultWarningPresenter();
    return m_tailWarningPresenter;
}

AppStateManager::TailCaptureStart &AppStateManager::tailCaptureStart()
{
    if (!m_tailCaptureStart)
        m_tailCaptureStart = m_tailRecording->defaultCaptureStart();
    return m_tailCaptureStart;
}

AppStateManager::TailRecorderStop &AppStateManager::tailRecorderStop()
{
    if (!m_tailRecorderStop)
        m_tailRecorderStop = m_tailRecording->defaultRecorderStop();
    return m_tailRecorderStop;
}

AppStateManager::TailUsabilityCheck &AppStateManager::tailUsabilityCheck()
{
    if (!m_tailUsabilityCheck)
        m_tailUsabilityCheck = m_tailFinalizerConcern->defaultUsabilityCheck();
    return m_tailUsabilityCheck;
}

AppStateManager::TailBeginJoin &AppStateManager::tailBeginJoin()
{
    if (!m_tailBeginJoin)
        m_tailBeginJoin = m_tailJoin->defaultBeginJoin();
    return m_tailBeginJoin;
}

AppStateManager::TailJoinPerform &AppStateManager::tailJoinPerform()
{
    if (!m_tailJoinPerform)
        m_tailJoinPerform = m_tailJoin->defaultJoinPerform();
    return m_tailJoinPerform;
}

AppStateManager::TailPersistStaged &AppStateManager::tailPersistStaged()
{
    if (!m_tailPersistStaged)
        m_tailPersistStaged = m_tailJoin->defaultPersistStaged();
    return m_tailPersistStaged;
}

AppStateManager::TailReport &AppStateManager::tailReportFailure()
{
    if (!m_tailReportFailure)
        m_tailReportFailure = m_tailJoin->defaultReport(AlertStyle::warning);
    return m_tailReportFailure;
}

AppStateManager::TailReport &AppStateManager::tailReportNotice()
{
    if (!m_tailReportNotice)
        m_tailReportNotice = m_tailJoin->defaultReport(AlertStyle::informational);
    return m_tailReportNotice;
}

AppStateManager::TerminationReply &AppStateManager::terminationReply()
{
    if (!m_terminationReply)
        m_terminationReply = m_tailJoin->defaultTerminationReply();
    return m_terminationReply;
}

bool AppStateManager::canRecordTail(const QUuid &sceneID, const QUuid &takeID) const { return m_tailRecording->canRecordTail(sceneID, takeID); }
QCoro::Task<> AppStateManager::recordTail(QUuid sceneID, QUuid takeID, std::optional<double> playheadPosition) { return m_tailRecording->recordTail(sceneID, takeID, playheadPosition); }
QCoro::Task<> AppStateManager::startTailCapture(TailOperation operation, AudioEncodingPlan plan, TailOperation::Attempt attempt) { return m_tailRecording->startTailCapture(std::move(operation), std::move(plan), std::move(attempt)); }
void AppStateManager::abortInitialTail(const std::optional<QString> &message) { m_tailRecording->abortInitialTail(message); }
void AppStateManager::failRecordAgain(TailFailure::Kind previousKind, const QString &previousMessage, const QString &message) { m_tailRecording->failRecordAgain(previousKind, previousMessage, message); }
std::optional<QString> AppStateManager::tailTargetLabel() const { return m_tailRecording->tailTargetLabel(); }
bool AppStateManager::tailSystemAudioIndicator() const { return m_tailRecording->tailSystemAudioIndicator(); }
std::optional<double> AppStateManager::tailJoinProgress() const { return m_tailJoin->tailJoinProgress(); }
std::optional<TailFailure> AppStateManager::currentTailFailure() const { return m_tailJoin->currentTailFailure(); }
bool AppStateManager::isTailSheetPresented() const { return m_tailJoin->isTailSheetPresented(); }
QCoro::Task<TailFinalizationOutcome> AppStateManager::waitForTailFinalizer() { return m_tailFinalizerConcern->waitForTailFinalizer(); }
TailFinalizationOutcome AppStateManager::finalizeTailStop(const std::optional<RecorderService::Recording> &candidate, const TailFinalizerKey &key, const QUuid &token) { return m_tailFinalizerConcern->finalizeTailStop(candidate, key, token); }
QCoro::Task<> AppStateManager::beginTailJoin(TailJoinHandoff handoff) { return m_tailJoin->beginTailJoin(std::move(handoff)); }
bool AppStateManager::tailJoinIsCurrent(const QUuid &operationID, const QUuid &captureAttemptID) const { return m_tailJoin->tailJoinIsCurrent(operationID, captureAttemptID); }
void AppStateManager::handleTailJoinFailure(TailFailure::Kind kind, const QString &message) { m_tailJoin->handleTailJoinFailure(kind, message); }
void AppStateManager::completeTailJoin(const take_joiner::JoinResult &result) { m_tailJoin->completeTailJoin(result); }
QCoro::Task<> AppStateManager::retryTailJoin() { return m_tailJoin->retryTailJoin(); }
QCoro::Task<> AppStateManager::recordTailAgain() { return m_tailJoin->recordTailAgain(); }
void AppStateManager::discardTail() { m_tailJoin->discardTail(); }
void AppStateManager::endTailOperation(const TailOperation &operation) { m_tailJoin->endTailOperation(operation); }

void AppStateManager::installShortcutHandlers() { m_hotKeyActions->installShortcutHandlers(); }
void AppStateManager::startPauseShortcut() { m_hotKeyActions->startPauseShortcut(); }
void AppStateManager::endTakeShortcut() { m_hotKeyActions->endTakeShortcut(); }
void AppStateManager::retakeShortcut() { m_hotKeyActions->retakeShortcut(); }
void AppStateManager::nextSceneShortcut() { m_hotKeyActions->nextSceneShortcut(); }
void AppStateManager::reloadShortcutBindings() { m_hotKeyActions->reloadShortcutBindings(); }

QCoro::Task<> AppStateManager::openSession(QString url, bool activate) { return m_sessionDocument->openSession(std::move(url), activate); }
FilePanel *AppStateManager::makeOpenPanel() { return m_sessionDocument->makeOpenPanel(); }
void AppStateManager::prewarmOpenPanel() { m_sessionDocument->prewarmOpenPanel(); }
void AppStateManager::rememberViewedTake(const std::optional<QUuid> &takeID) { m_sessionDocument->rememberViewedTake(takeID); }
bool AppStateManager::openReviewWindow(bool withoutActivating) { return m_sessionDocument->openReviewWindow(withoutActivating); }
QCoro::Task<> AppStateManager::guardedNewSession() { return m_sessionDocument->guardedNewSession(); }
void AppStateManager::guardedOpenSession() { m_sessionDocument->guardedOpenSession(); }
void AppStateManager::guardedOpen(const QString &url) { m_sessionDocument->guardedOpen(url); }
void AppStateManager::guardedResumeSession(const Session &session) { m_sessionDocument->guardedResumeSession(session); }
void AppStateManager::resumeSession(const Session &session) { m_sessionDocument->resumeSession(session); }
void AppStateManager::presentSavePanel(std::function<void()> continuation) { m_sessionDocument->presentSavePanel(std::move(continuation)); }
void AppStateManager::presentOpenPanel() { m_sessionDocument->presentOpenPanel(); }
SaveDecision AppStateManager::confirmSaveBeforeClosing() { return m_sessionDocument->confirmSaveBeforeClosing(); }
void AppStateManager::discardCurrentSession() { m_sessionDocument->discardCurrentSession(); }
bool AppStateManager::forceCloseSession(bool dismissReviewWindow) { return m_sessionDocument->forceCloseSession(dismissReviewWindow); }
void AppStateManager::discardRecoveredSession(const Session &session) { m_sessionDocument->discardRecoveredSession(session); }
void AppStateManager::discardRecoveredSessions() { m_sessionDocument->discardRecoveredSessions(); }
void AppStateManager::reportWindowPickerFailure(const QString &description) { m_sessionDocument->reportWindowPickerFailure(description); }
bool AppStateManager::flushPendingSave() { return m_sessionDocument->flushPendingSave(); }

QCoro::Task<> AppStateManager::performCloseRecording() { return m_sessionClosing->performCloseRecording(); }
QCoro::Task<> AppStateManager::finishActiveRecordingForClose() { return m_sessionClosing->finishActiveRecordingForClose(); }
QCoro::Task<> AppStateManager::abandonActiveRecording() { return m_sessionClosing->abandonActiveRecording(); }
bool AppStateManager::reviewWindowShouldClose() { return m_sessionClosing->reviewWindowShouldClose(); }
void AppStateManager::saveBeforeReviewClose() { m_sessionClosing->saveBeforeReviewClose(); }
bool AppStateManager::hasPendingTakeOnReviewClose() const { return m_sessionClosing->hasPendingTakeOnReviewClose(); }
void AppStateManager::runPendingExternalAction() { m_sessionClosing->runPendingExternalAction(); }
QuitReply AppStateManager::requestQuit() { return m_sessionClosing->requestQuit(); }
void AppStateManager::applicationWillTerminate() { m_sessionClosing->applicationWillTerminate(); }

QCoro::Task<> AppStateManager::runLaunchTask() { return m_launch->runLaunchTask(); }
void AppStateManager::scanRecoverableSessions() { m_launch->scanRecoverableSessions(); }
void AppStateManager::reopenLastDocumentAtLaunch() { m_launch->reopenLastDocumentAtLaunch(); }

void AppStateManager::exportFCPXML() { m_exportLauncher->startExport(ExportLauncher::Kind::fcpxml); }
void AppStateManager::exportFCP7XML() { m_exportLauncher->startExport(ExportLauncher::Kind::fcp7xml); }
void AppStateManager::handleExportResult(const ExportEvent &event, const QString &label, const QString &exportedFolder)
{
    m_exportLauncher->handleExportResult(event, label, exportedFolder);
}
void AppStateManager::showExportComplete(const QString &location) { m_exportLauncher->showExportComplete(location); }
void AppStateManager::checkForUpdates() { m_exportLauncher->checkForUpdates(); }
void AppStateManager::setFileRevealer(std::function<void(const QString &path)> reveal) { m_exportLauncher->setRevealer(std::move(reveal)); }

std::optional<double> AppStateManager::elapsedRecordingTime(const QDateTime &now) const
{
    if (!m_takeStartedAt)
        return std::nullopt;
    double elapsed = m_takeStartedAt->msecsTo(now) / 1000.0 - m_pauseAccumulated;
    if (m_pausedAt)
        elapsed -= m_pausedAt->msecsTo(now) / 1000.0;
    return elapsed;
}

int AppStateManager::nextTakeNumber() const
{
    if (!m_currentSession)
        return 1;
    const Session &session = *m_currentSession;
    if (session.currentSceneIndex < 0 || session.currentSceneIndex >= session.scenes.size())
        return 1;
    return static_cast<int>(session.scenes.at(session.currentSceneIndex).takes.size()) + 1;
}

} // namespace lumacast
