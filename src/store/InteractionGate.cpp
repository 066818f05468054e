#include "store/InteractionGate.h"

#include "threads/ThreadBridge.h"

namespace lumacast {

InteractionGate::Hold::Hold(InteractionGate *gate, Kind kind)
    : m_gate(gate)
    , m_kind(kind)
{
    gate->take(kind);
}

InteractionGate::Hold::Hold(Hold &&other) noexcept
    : m_gate(std::exchange(other.m_gate, nullptr))
    , m_kind(other.m_kind)
{
}

InteractionGate::Hold &InteractionGate::Hold::operator=(Hold &&other) noexcept
{
    if (this != &other) {
        release();
        m_gate = std::exchange(other.m_gate, nullptr);
        m_kind = other.m_kind;
    }
    return *this;
}

void InteractionGate::Hold::release()
{
    if (InteractionGate *gate = std::exchange(m_gate, nullptr).data())
        gate->give(m_kind);
}

InteractionGate &InteractionGate::shared()
{
    static InteractionGate *instance = new InteractionGate;
    return *instance;
}

InteractionGate::Hold InteractionGate::hold(Kind kind)
{
    return Hold(this, kind);
}

InteractionGate::SharedHold InteractionGate::share(Kind kind)
{
    return std::make_shared<Hold>(hold(kind));
}

bool InteractionGate::isOpen() const
{
    return m_asking == 0 && m_working == 0 && (m_waiting.empty() || m_runningWaiting);
}

bool InteractionGate::run(const QString &what, std::function<void()> command)
{
    if (isOpen()) {
        command();
        return true;
    }
    m_waiting.push_back({what, std::move(command)});
    emit commandWaits(what);
    scheduleNext();
    return false;
}

void InteractionGate::take(Kind kind)
{
    if (kind == Kind::working) {
        ++m_working;
        return;
    }
    if (m_asking++ == 0)
        emit askingChanged(true);
}

void InteractionGate::give(Kind kind)
{
    if (kind == Kind::working) {
        --m_working;
    } else if (--m_asking == 0) {
        emit askingChanged(false);
    }
    scheduleNext();
}

void InteractionGate::scheduleNext()
{
    if (m_scheduled || m_waiting.empty() || m_asking > 0 || m_working > 0)
        return;
    m_scheduled = true;
    // Never on the stack of the hold that just went: the code that asked is still unwinding.
    postToMainThread(QPointer<InteractionGate>(this), [this] { runNext(); });
}

void InteractionGate::runNext()
{
    m_scheduled = false;
    if (m_waiting.empty() || m_asking > 0 || m_working > 0)
        return;
    Waiting next = std::move(m_waiting.front());
    m_waiting.pop_front();
    m_runningWaiting = true;
    next.command();
    m_runningWaiting = false;
    scheduleNext();
}

} // namespace lumacast
