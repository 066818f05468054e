#pragma once

#include "control/TailOperation.h"
#include "model/Session.h"
#include "store/Shortcut.h"

#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>

#include <optional>

namespace lumacast {
class AppStateManager;
}

namespace lumacast::review {

class ReviewCommands;
class ReviewPlayback;

// One button of the review window's toolbar, as it is to be shown now.
struct ToolbarButton {
    enum class Action { deleteTake, approveTake, addTake, addScene, recordTail };
    enum class Tint { none, red, accent };
    Action action = Action::deleteTake;
    QString title;
    QString symbol; // the symbol's name; the widget picks a matching icon
    Tint tint = Tint::none;
    bool enabled = false;
    QString help; // the tooltip, with the current shortcut

    friend bool operator==(const ToolbarButton &, const ToolbarButton &) = default;
};

// What the tail-operation sheet shows: the join's progress, or the failure and its choices.
struct TailSheetContent {
    bool failed = false;
    QString title;                   // "Joining…" or "The tail couldn’t be joined"
    std::optional<double> progress;  // joining: 0...1, absent while unknown (indeterminate bar)
    QString caption;                 // joining only
    QString message;                 // failed only: the failure's text as is
    QList<TailFailureAction> actions; // failed only, in order; the first is the default button

    // From the state manager's `tailSheetFailure` and `tailJoinProgress`; the failure, when
    // there is one, decides.
    static TailSheetContent of(const std::optional<TailFailure> &failure, std::optional<double> progress);
    static QString buttonTitle(TailFailureAction action);
};

// What the progress sheet shows: an export's, or a copy's of the recording's files.
struct ExportSheetContent {
    QString title;
    bool determinate = false; // false: an indeterminate bar and no percentage
    double progress = 0;      // 0...1
    QString percentage;       // "n%" with n truncated; empty when not determinate

    static ExportSheetContent of(const QString &label, double progress);
};

// The review window's logic, without widgets: the mirrors of the state manager's state, the
// toolbar (enabling, tooltips, actions) and subtitle, the start screen's rows and commands, the
// sheets' contents, focus hand-offs and the close decision. The widgets show what it says and
// rebuild on its signals.
//
// Main thread only. The manager, the commands and the playback must outlive it. Tasks it starts
// (Add Take, Add Scene, New Recording, Retry, Record Again) run on the event loop later and are
// not started when the model is gone by then.
class ReviewWindowModel : public QObject {
    Q_OBJECT
public:
    ReviewWindowModel(AppStateManager &manager, ReviewCommands &commands, ReviewPlayback &playback,
                      QObject *parent = nullptr);

    AppStateManager &manager() const { return m_manager; }
    ReviewPlayback &playback() const { return m_playback; }

    // A session is open: the split view, else the start screen.
    bool showsSession() const;

    // Mirrors, recomputed only by syncMirrors.
    bool hasPendingTakeMirror() const { return m_hasPendingTake; }
    bool tailLiveMirror() const { return m_tailLive; }
    bool canRecordTailMirror() const { return m_canRecordTail; }
    void syncMirrors();

    // The split view appeared: mirrors, then the current take's load.
    void appear();

    // Built anew on each call: the Approve file test and the shortcut hints are read now.
    QList<ToolbarButton> toolbarButtons() const;
    void trigger(ToolbarButton::Action action);
    void addTake();
    void addScene();
    QString shortcutHint(ShortcutAction action) const;
    QString subtitleText() const;

    // Start screen.
    static QString resumeTitle(qsizetype sceneCount);
    // A recovered recording's button: its start date and time (local) and its scenes and takes,
    // so that two recovered recordings read apart.
    static QString resumeTitle(const Session &session);
    void newRecording();
    void openRecording();
    void resumeRecovered(const QUuid &sessionID);
    void discardRecovered(const QUuid &sessionID);

    // Sheets.
    bool tailSheetShown() const;
    std::optional<TailSheetContent> tailSheet() const;
    void chooseTailAction(TailFailureAction action);
    // Up while an export runs, or a copy (Duplicate Scene, Save As) has lasted a moment.
    bool exportSheetShown() const;
    ExportSheetContent exportSheet() const;

    // Closing: asked first; the window closes only on true.
    bool windowShouldClose();
    void windowWillClose();

signals:
    // The session appeared or went: switch between the split view and the start screen.
    void contentChanged();
    // Toolbar enabling, tooltips or the subtitle may have changed.
    void toolbarChanged();
    void startScreenChanged();
    void sheetsChanged();
    // The outline is to select and reveal this item.
    void focusRequested(const QUuid &itemID);
    // The player pane's inputs may have changed.
    void paneChanged();

private:
    void sessionChanged();
    void tailOperationChanged();
    void playbackChanged();
    std::optional<Session> recovered(const QUuid &sessionID) const;

    AppStateManager &m_manager;
    ReviewCommands &m_commands;
    ReviewPlayback &m_playback;
    bool m_hasPendingTake = false;
    bool m_tailLive = false;
    bool m_canRecordTail = false;
    // Last seen values, so that handlers run on changes only.
    bool m_hadSession = false;
    std::optional<QUuid> m_tailOperationID;
    std::optional<QUuid> m_previewingTakeID;
    std::optional<double> m_previewedTrimEnd;
    std::optional<double> m_previewedDuration;
};

} // namespace lumacast::review
