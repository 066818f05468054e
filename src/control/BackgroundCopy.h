#pragma once

#include "store/InteractionGate.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

#include <qcoro/qcorotask.h>

namespace lumacast {

class AppStateManager;
class ScheduledWork;

// Says when a copy ends, once per copy: an awaited signal must not come twice before it is
// delivered, as `copyChanged` may (its waiter is gone by the second).
class CopyEndNotifier final : public QObject {
    Q_OBJECT
signals:
    void ended();
};

// The copies of take movies and of whole recordings (Duplicate Scene, Save As), run on a worker
// thread: an hour of screen recording is gigabytes, longer to copy than the program may stand
// still. While one runs nothing may touch the recording whose files it copies: the interaction
// gate is held as asked (commands wait for the copy, hot keys answer nothing), the manager's
// edits, undo, takes and orphan clean-up hold off, and a quit waits for it. Once it has lasted a
// moment the manager publishes what it does (`copyLabel`), which the review window's progress
// sheet and the tray show; a copy done in an instant (a clone) shows nothing.
//
// One copy at a time: a caller awaits `idle()` before it reads what it will copy, then begins its
// copy. Main thread only; the manager owns it.
class BackgroundCopy {
public:
    // A copy from its making to its end: the caller makes it before it hands the copy to a worker
    // (runInBackground) and keeps it until it has filed what the copy made, whatever the outcome.
    class Running {
    public:
        Running(const Running &) = delete;
        Running &operator=(const Running &) = delete;
        ~Running() { end(); }
        // Ends it before its end of scope (an alert about the copy comes after it); once.
        void end();

    private:
        friend class BackgroundCopy;
        Running(BackgroundCopy &copy, const QString &label);
        QPointer<AppStateManager> m_manager; // the copy may outlive it (tests)
        BackgroundCopy &m_copy;
        InteractionGate::Hold m_asking;
        std::shared_ptr<ScheduledWork> m_shown;
        bool m_ended = false;
    };

    explicit BackgroundCopy(AppStateManager &manager);

    bool isRunning() const { return m_running; }
    // Resumes once no copy runs; at once when none does.
    QCoro::Task<> idle();
    // `label` says what the program does meanwhile ("Duplicating Scene…").
    [[nodiscard]] Running begin(const QString &label) { return Running(*this, label); }

private:
    AppStateManager &m;
    bool m_running = false;
    CopyEndNotifier m_ended;
};

} // namespace lumacast
