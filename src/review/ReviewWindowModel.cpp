#include "review/ReviewWindowModel.h"

#include "control/AppStateManager.h"
#include "review/ManagerReviewCommands.h"
#include "review/ReviewCommands.h"
#include "review/ReviewPlayback.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFileInfo>

namespace lumacast::review {

// ---- Sheet contents --------------------------------------------------------------------------

TailSheetContent TailSheetContent::of(const std::optional<TailFailure> &failure, std::optional<double> progress)
{
    TailSheetContent content;
    if (failure) {
        content.failed = true;
        content.title = QStringLiteral("The tail couldn’t be joined");
        content.message = failure->message;
        content.actions = {failure->kind == TailFailure::Kind::transient ? TailFailureAction::retry
                                                                         : TailFailureAction::recordAgain,
                           TailFailureAction::discard};
        return content;
    }
    content.title = QStringLiteral("Joining…");
    content.progress = progress;
    content.caption = content.progress ? QStringLiteral("Assembling the replacement tail without re-encoding")
                                       : QStringLiteral("Preparing or verifying the joined take");
    return content;
}

QString TailSheetContent::buttonTitle(TailFailureAction action)
{
    switch (action) {
    case TailFailureAction::retry:
        return QStringLiteral("Retry");
    case TailFailureAction::recordAgain:
        return QStringLiteral("Record Again");
    case TailFailureAction::discard:
        break;
    }
    return QStringLiteral("Discard Tail");
}

ExportSheetContent ExportSheetContent::of(const QString &label, double progress)
{
    ExportSheetContent content;
    content.title = label.isEmpty() ? QStringLiteral("Exporting…") : label;
    content.determinate = progress > 0;
    if (content.determinate) {
        content.progress = std::min(progress, 1.0);
        content.percentage = QStringLiteral("%1%").arg(static_cast<long long>(progress * 100));
    }
    return content;
}

// ---- The model ---------------------------------------------------------------------------------

ReviewWindowModel::ReviewWindowModel(AppStateManager &manager, ReviewCommands &commands, ReviewPlayback &playback,
                                     QObject *parent)
    : QObject(parent)
    , m_manager(manager)
    , m_commands(commands)
    , m_playback(playback)
    , m_hadSession(manager.session().has_value())
    , m_tailOperationID(manager.tailOperation() ? std::optional(manager.tailOperation()->id) : std::nullopt)
    , m_previewingTakeID(playback.previewingTakeID())
{
    auto mirrorsOnly = [this] { syncMirrors(); };
    connect(&manager, &AppStateManager::currentSessionChanged, this, &ReviewWindowModel::sessionChanged);
    connect(&manager, &AppStateManager::pendingTakeIDChanged, this, [this] {
        syncMirrors();
        if (const std::optional<QUuid> pending = m_manager.pendingTakeID())
            emit focusRequested(*pending);
    });
    connect(&manager, &AppStateManager::tailOperationChanged, this, &ReviewWindowModel::tailOperationChanged);
    connect(&manager, &AppStateManager::isExportingChanged, this, [this] {
        syncMirrors();
        emit sheetsChanged();
    });
    connect(&manager, &AppStateManager::exportProgressChanged, this, &ReviewWindowModel::sheetsChanged);
    connect(&manager, &AppStateManager::exportLabelChanged, this, &ReviewWindowModel::sheetsChanged);
    connect(&manager, &AppStateManager::copyChanged, this, [this] {
        syncMirrors();
        emit sheetsChanged();
    });
    connect(&manager, &AppStateManager::stateChanged, this, mirrorsOnly);
    connect(&manager, &AppStateManager::currentTakeURLChanged, this, [this] {
        m_playback.currentTakeChanged();
        emit toolbarChanged(); // Approve Take tests the movie at the new URL
    });
    connect(&manager, &AppStateManager::shortcutBindingsChanged, this, &ReviewWindowModel::toolbarChanged);
    connect(&manager, &AppStateManager::systemAudioMixLevelChanged, this,
            [this] { m_playback.applyPreviewAudioMix(); });
    connect(&manager, &AppStateManager::recoverableSessionsChanged, this, &ReviewWindowModel::startScreenChanged);
    connect(&playback, &ReviewPlayback::changed, this, &ReviewWindowModel::playbackChanged);
    const std::optional<Take> take = playback.previewedTake();
    m_previewedTrimEnd = take ? std::optional(take->trimEnd) : std::nullopt;
    m_previewedDuration = take ? std::optional(take->duration) : std::nullopt;
}

bool ReviewWindowModel::showsSession() const
{
    return m_manager.session().has_value();
}

void ReviewWindowModel::syncMirrors()
{
    m_hasPendingTake = m_manager.pendingTakeID().has_value();
    m_tailLive = m_manager.tailOperation().has_value();
    const std::optional<TakeLocation> location = m_playback.previewedTakeLocation();
    m_canRecordTail = location && m_commands.canRecordTail(location->sceneID, location->takeID);
    emit toolbarChanged();
    emit paneChanged();
}

void ReviewWindowModel::appear()
{
    syncMirrors();
    m_playback.appear();
}

void ReviewWindowModel::sessionChanged()
{
    const bool hasSession = showsSession();
    if (hasSession != m_hadSession) {
        m_hadSession = hasSession;
        emit contentChanged();
    }
    // The previewed take's trim end and duration decide whether a tail can be recorded.
    const std::optional<Take> take = m_playback.previewedTake();
    const std::optional<double> trimEnd = take ? std::optional(take->trimEnd) : std::nullopt;
    const std::optional<double> duration = take ? std::optional(take->duration) : std::nullopt;
    if (trimEnd != m_previewedTrimEnd || duration != m_previewedDuration) {
        m_previewedTrimEnd = trimEnd;
        m_previewedDuration = duration;
        syncMirrors();
    }
    emit toolbarChanged(); // the subtitle
    emit paneChanged();
}

void ReviewWindowModel::tailOperationChanged()
{
    const std::optional<TailOperation> operation = m_manager.tailOperation();
    const std::optional<QUuid> id = operation ? std::optional(operation->id) : std::nullopt;
    if (id != m_tailOperationID) {
        m_tailOperationID = id;
        syncMirrors();
    }
    emit sheetsChanged();
    emit paneChanged();
}

void ReviewWindowModel::playbackChanged()
{
    const std::optional<QUuid> previewing = m_playback.previewingTakeID();
    if (previewing != m_previewingTakeID) {
        m_previewingTakeID = previewing;
        syncMirrors();
        if (previewing) {
            emit focusRequested(*previewing);
            m_commands.rememberViewedTake(previewing);
        }
    }
    emit paneChanged();
}

// ---- Toolbar -----------------------------------------------------------------------------------

QString ReviewWindowModel::shortcutHint(ShortcutAction action) const
{
    const ShortcutBindings bindings = m_manager.shortcutBindings();
    const auto found = bindings.find(action);
    const ShortcutBinding binding = found != bindings.end() ? found->second : defaultBinding(action);
    return ShortcutBinding::displayString(binding.carbonKeyCode, binding.carbonModifiers);
}

QList<ToolbarButton> ReviewWindowModel::toolbarButtons() const
{
    using A = ToolbarButton::Action;
    using T = ToolbarButton::Tint;
    const bool pending = m_hasPendingTake && !m_tailLive;
    const bool canStart = !m_hasPendingTake && !m_tailLive;
    const std::optional<QString> url = m_manager.currentTakeURL();
    const bool usableTake = url && Take::isUsableFile(*url);
    return {
        {A::deleteTake, QStringLiteral("Delete Take"), QStringLiteral("xmark"), T::red, pending,
         QStringLiteral("Delete this take (%1)").arg(shortcutHint(ShortcutAction::retake))},
        {A::approveTake, QStringLiteral("Approve Take"), QStringLiteral("checkmark"), T::accent, pending && usableTake,
         QStringLiteral("Approve take (%1)").arg(shortcutHint(ShortcutAction::endTake))},
        {A::addTake, QStringLiteral("Add Take"), QStringLiteral("record.circle"), T::none, canStart,
         QStringLiteral("New take in selected scene (%1)").arg(shortcutHint(ShortcutAction::endTake))},
        {A::addScene, QStringLiteral("Add Scene"), QStringLiteral("plus.rectangle"), T::none, canStart,
         QStringLiteral("Add new scene at the end (%1)").arg(shortcutHint(ShortcutAction::nextScene))},
        {A::recordTail, QStringLiteral("Record Tail"), QStringLiteral("arrow.uturn.forward.circle"), T::none,
         m_canRecordTail, QStringLiteral("Trim the end of this take to record a replacement tail.")},
    };
}

void ReviewWindowModel::trigger(ToolbarButton::Action action)
{
    // A disabled button has no action, even when a stale widget still fires it.
    for (const ToolbarButton &button : toolbarButtons())
        if (button.action == action && !button.enabled)
            return;
    switch (action) {
    case ToolbarButton::Action::deleteTake:
        m_commands.retake();
        break;
    case ToolbarButton::Action::approveTake:
        m_commands.approve();
        break;
    case ToolbarButton::Action::addTake:
        addTake();
        break;
    case ToolbarButton::Action::addScene:
        addScene();
        break;
    case ToolbarButton::Action::recordTail:
        m_playback.recordTailForPreview();
        break;
    }
}

void ReviewWindowModel::addTake()
{
    m_commands.autoApprove();
    ReviewCommands *commands = &m_commands;
    startMainThreadTask(QPointer<QObject>(this), [commands] { return commands->startRecording(); });
}

void ReviewWindowModel::addScene()
{
    m_commands.autoApprove();
    m_commands.advanceToScene();
    ReviewCommands *commands = &m_commands;
    startMainThreadTask(QPointer<QObject>(this), [commands] { return commands->startRecording(); });
}

QString ReviewWindowModel::subtitleText() const
{
    const std::optional<Session> &session = m_manager.session();
    if (!session)
        return QStringLiteral("Lumacast");
    const qsizetype count = session->scenes.size();
    const QString counted = QStringLiteral("%1 %2").arg(count).arg(count == 1 ? QStringLiteral("scene")
                                                                               : QStringLiteral("scenes"));
    // A package is a folder: a trailing separator must not hide its name.
    const QString name = session->bundleURL ? QFileInfo(QDir::cleanPath(*session->bundleURL)).completeBaseName()
                                            : QStringLiteral("Recording");
    return QStringLiteral("%1 (%2)").arg(name, counted);
}

// ---- Start screen ------------------------------------------------------------------------------

QString ReviewWindowModel::resumeTitle(qsizetype sceneCount)
{
    return QStringLiteral("Resume (%1 scene%2)").arg(sceneCount).arg(sceneCount == 1 ? "" : "s");
}

QString ReviewWindowModel::resumeTitle(const Session &session)
{
    qsizetype takes = 0;
    for (const RecordingScene &scene : session.scenes)
        takes += scene.takes.size();
    const qsizetype scenes = session.scenes.size();
    // A manifest without a readable date still names its scenes and takes.
    const QString date = session.createdAt.isValid()
        ? session.createdAt.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm ")) : QString();
    return QStringLiteral("Resume %1(%2 scene%3, %4 take%5)")
        .arg(date)
        .arg(scenes)
        .arg(scenes == 1 ? "" : "s")
        .arg(takes)
        .arg(takes == 1 ? "" : "s");
}

void ReviewWindowModel::newRecording()
{
    ReviewCommands *commands = &m_commands;
    startMainThreadTask(QPointer<QObject>(this), [commands] { return commands->guardedNewSession(); });
}

void ReviewWindowModel::openRecording()
{
    m_commands.guardedOpenSession();
}

std::optional<Session> ReviewWindowModel::recovered(const QUuid &sessionID) const
{
    for (const Session &session : m_manager.recoverableSessions())
        if (session.id == sessionID)
            return session;
    return std::nullopt;
}

void ReviewWindowModel::resumeRecovered(const QUuid &sessionID)
{
    if (const std::optional<Session> session = recovered(sessionID))
        m_commands.guardedResumeSession(*session);
}

void ReviewWindowModel::discardRecovered(const QUuid &sessionID)
{
    if (const std::optional<Session> session = recovered(sessionID))
        m_commands.discardRecoveredSession(*session);
}

// ---- Sheets ----------------------------------------------------------------------------------

bool ReviewWindowModel::tailSheetShown() const
{
    return showsSession() && m_manager.tailSheetShown();
}

std::optional<TailSheetContent> ReviewWindowModel::tailSheet() const
{
    if (!tailSheetShown())
        return std::nullopt;
    return TailSheetContent::of(m_manager.tailSheetFailure(), m_manager.tailJoinProgress());
}

void ReviewWindowModel::chooseTailAction(TailFailureAction action)
{
    ReviewCommands *commands = &m_commands;
    switch (action) {
    case TailFailureAction::retry:
        startMainThreadTask(QPointer<QObject>(this), [commands] { return commands->retryTailJoin(); });
        break;
    case TailFailureAction::recordAgain:
        startMainThreadTask(QPointer<QObject>(this), [commands] { return commands->recordTailAgain(); });
        break;
    case TailFailureAction::discard:
        m_commands.discardTail();
        break;
    }
}

bool ReviewWindowModel::exportSheetShown() const
{
    return m_manager.isExporting() || !m_manager.copyLabel().isEmpty();
}

ExportSheetContent ReviewWindowModel::exportSheet() const
{
    // A copy of the recording's files shows in the same sheet, without a percentage.
    if (!m_manager.copyLabel().isEmpty())
        return ExportSheetContent::of(m_manager.copyLabel(), 0);
    return ExportSheetContent::of(m_manager.exportLabel(), m_manager.exportProgress());
}

// ---- Closing -----------------------------------------------------------------------------------

bool ReviewWindowModel::windowShouldClose()
{
    return m_commands.reviewWindowShouldClose();
}

void ReviewWindowModel::windowWillClose()
{
    m_playback.windowWillClose();
}

} // namespace lumacast::review
