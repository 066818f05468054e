#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>
#include <memory>

namespace lumacast {

// What the user is being asked right now, and the commands that wait for the answer.
//
// An alert, a question, a menu, a drag or a file panel either runs a nested event loop or leaves
// the code that asked waiting for its answer. What arrives meanwhile (a second launch handing
// over a recording, a tray command, a close deferred until a tail ended) would otherwise run
// inside it, and could close the recording the question is about or delete the window whose
// dialog is still on the stack. Such commands go through `run`: at once when the gate is open,
// otherwise later, in the order they came, each on a turn of the event loop of its own, once
// nothing holds the gate.
//
// A hold of kind `asking` stands for something on screen that waits for the user; the global hot
// keys answer nothing while one lives. A copy of the recording's files under way (a Save As,
// a duplicated scene) holds it so too: nothing may touch the recording until the copy is done. A hold of kind `working` stands for a document command on
// its way from its first question to its end (a save panel's answer, the save, the open it leads
// to): commands that arrive meanwhile wait for the whole of it, so that every answer meets the
// recording it was asked about.
//
// Main thread only. A hold that outlives its gate does nothing.
class InteractionGate : public QObject {
    Q_OBJECT
public:
    enum class Kind { asking, working };

    // Keeps the gate shut from its making until it is released or destroyed. Move-only.
    class Hold {
    public:
        Hold() = default;
        Hold(Hold &&other) noexcept;
        Hold &operator=(Hold &&other) noexcept;
        Hold(const Hold &) = delete;
        Hold &operator=(const Hold &) = delete;
        ~Hold() { release(); }
        void release();
        bool isHeld() const { return m_gate != nullptr; }

    private:
        friend class InteractionGate;
        Hold(InteractionGate *gate, Kind kind);
        QPointer<InteractionGate> m_gate;
        Kind m_kind = Kind::working;
    };
    using SharedHold = std::shared_ptr<Hold>;

    // The application's gate; the state manager and the windows of the shipped program share it.
    static InteractionGate &shared();

    [[nodiscard]] Hold hold(Kind kind);
    // The same, for the closures that carry a command from one step to the next: the gate opens
    // when the last of them is gone.
    [[nodiscard]] SharedHold share(Kind kind);

    bool isAsking() const { return m_asking > 0; }
    // Nothing holds the gate and no command waits before the one that would run now.
    bool isOpen() const;

    // Runs `command` now when the gate is open; otherwise it waits its turn, and `commandWaits`
    // says so. True when it ran now.
    bool run(const QString &what, std::function<void()> command);

signals:
    // The first asking hold came (true), or the last one went (false).
    void askingChanged(bool asking);
    // `what` (a short text: "opening Talk.lumacast") could not run at once.
    void commandWaits(const QString &what);

private:
    void take(Kind kind);
    void give(Kind kind);
    void scheduleNext();
    void runNext();

    struct Waiting {
        QString what;
        std::function<void()> command;
    };
    int m_asking = 0;
    int m_working = 0;
    std::deque<Waiting> m_waiting;
    bool m_scheduled = false;
    // A waiting command runs now: what it calls in turn is part of it and need not wait.
    bool m_runningWaiting = false;
};

} // namespace lumacast
