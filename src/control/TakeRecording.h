#pragma once

#include "capture/CaptureTarget.h"
#include "control/CaptureServices.h"
#include "control/AppState.h"
#include "model/Session.h"

#include <QObject>
#include <QString>
#include <QUuid>

#include <qcoro/qcorotask.h>

#include <memory>
#include <optional>

namespace lumacast {

class AppStateManager;
class Error;

// Announces that an end of take under way has settled (filed its take, or found nothing), and
// that a start has (recording, or back where it began).
class TakeEndNotifier final : public QObject {
    Q_OBJECT
signals:
    void settled();
    void startSettled();
};

// The road of one take through the recorder: its start (permissions, the take's file name, the
// microphone, the border, the countdown, the capture), its pauses and resumes, its end with the
// filing of the new take, and the end forced by a stream error. Works on the manager's fields;
// the manager owns it and forwards its public operations here.
//
// Main thread only. Every operation reports its own failures (logs, alerts) and returns
// normally. A start suspends at four awaits and checks after each that the session it started
// for is still the current one; when it is not, the start is abandoned and leaves nothing
// behind (no border, no microphone, no movie). An end checks the same after its stop: a take
// whose session went away meanwhile is never filed into another one.
class TakeRecording {
public:
    explicit TakeRecording(AppStateManager &manager);
    ~TakeRecording();

    QCoro::Task<> startRecording();
    // Gives up on a take's or a tail's start while the desktop is asked what to share (Escape,
    // a hot key): the start ends at once, back in its prior state, and nothing starts from a
    // late answer. Nothing at any other moment.
    void cancelStart();
    // Gives up on a start under way, the countdown included, and returns once it has settled:
    // back in its prior state, or recording when it was already past the countdown.
    QCoro::Task<> cancelStartAndWait();

    // What the desktop answered when asked what to share ahead of a countdown: the capture to
    // start (the recorder keeps the share for its next start), or why there is none.
    struct ScreenAnswer {
        std::optional<RecorderService::FilterAndConfiguration> made;
        bool cancelled = false;
        QString failure;
        std::optional<int> screenSharingCode; // the error's code when it came from the desktop
    };
    // Asks the desktop for the capture `making` builds, while Escape and the hot keys can give
    // up on it (`cancelStart`); a share granted after that is ended unused. Reports nothing:
    // the caller undoes its own start. The manager may be gone when it returns.
    QCoro::Task<ScreenAnswer> askDesktop(QCoro::Task<RecorderService::FilterAndConfiguration> making);
    void pauseRecording();
    void resumeRecording();
    QCoro::Task<> endTake();
    QCoro::Task<> endTakeAfterStreamError(QString description);
    // Returns once an end of take under way has settled; at once when none is. Close and quit
    // wait here instead of stopping the recorder a second time.
    QCoro::Task<> awaitEndUnderWay();
    // Close and quit stopping the recorder themselves mark the end under way for its duration,
    // so that an end-take key meanwhile is ignored instead of stopping it a second time.
    void beginEnding();
    void endSettled();

    // A new take for a movie just recorded, kept whole, and the scene it files into: the
    // current one, the last one when the index is outside the list, a new one when the session
    // has none, so that no recorded take is ever dropped.
    static Take newTake(const QString &path, double duration, const QDateTime &recordedAt);
    static RecordingScene &sceneForNewTake(Session &session);

    // A take or tail whose recording's folder went while it was recorded (deleted, or moved to
    // another disk), or whose movie lost its name: the movie, held by the recorder, is copied
    // whole into a new unsaved recording of its own, offered under File ▸ Recover Recording, and
    // one alert says where it went (or why it could not be kept). The copy runs on a thread of
    // its own; the manager may be gone when it returns.
    QCoro::Task<> keepApart(RecorderService::Recording recording, bool tail);

private:
    // What one start set up, for its failure paths.
    struct Attempt {
        AppState priorState = AppState::idle;
        QUuid sessionID;
        QString filename;
        QString path;
    };
    bool sessionChanged(const Attempt &attempt) const;
    // Undoes what the start set up so far; `recorderRunning` also stops the capture and removes
    // its movie (the session it was meant for is gone).
    QCoro::Task<> abandonStart(const Attempt &attempt, bool recorderRunning);
    void cleanUpFailedStart(const Attempt &attempt);
    void failStart(const Attempt &attempt, const CaptureTarget &target, const QString &description);
    void failScreenSharing(const Attempt &attempt, int code, const QString &description);
    // The desktop's share for the take, asked before the countdown; nothing when the start
    // ended here (cancelled, failed, its session gone), everything undone and reported.
    QCoro::Task<std::optional<RecorderService::FilterAndConfiguration>> askDesktopForScreen(const Attempt &attempt);
    std::optional<QString> resolvedMicrophoneID() const;
    void fileTake(const QString &path, double duration);
    QString keptApartReason(const RecorderService::Recording &recording, bool tail) const;
    void tellOnceAnswered(const QString &title, const QString &text);
    void logApp(const QString &message) const;

    AppStateManager &m;
    std::unique_ptr<TakeEndNotifier> m_endNotifier = std::make_unique<TakeEndNotifier>();
    // A start is between its first check and its last await, whatever the state says.
    bool m_startUnderWay = false;
    bool m_askingForScreen = false;
    bool m_startCancelled = false;
};

} // namespace lumacast
