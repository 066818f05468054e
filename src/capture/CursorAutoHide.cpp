#include "capture/CursorAutoHide.h"

#include "platform/x11/X11Content.h"
#include "threads/ThreadBridge.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <cmath>

namespace lumacast {

CursorAutoHide::CursorAutoHide(bool enabled, double delaySeconds, Hooks hooks, QObject *parent)
    : QObject(parent), m_hooks(std::move(hooks)), m_enabled(enabled), m_delay(delaySeconds)
{
    if (!m_hooks.mousePosition)
        m_hooks.mousePosition = systemMousePosition();
    if (!m_hooks.now)
        m_hooks.now = monotonicClock();
    m_lastMouseMove = m_hooks.now();
}

CursorAutoHide::~CursorAutoHide() = default;

std::function<std::optional<QPointF>()> CursorAutoHide::systemMousePosition()
{
    return []() -> std::optional<QPointF> {
        if (auto p = x11::pointerPosition())
            return QPointF(*p);
        return std::nullopt;
    };
}

std::function<double()> CursorAutoHide::monotonicClock()
{
    return [] {
        using namespace std::chrono;
        return duration<double>(steady_clock::now().time_since_epoch()).count();
    };
}

void CursorAutoHide::setCursorAutoHide(bool enabled)
{
    postToMainThread(QPointer<CursorAutoHide>(this), [this, enabled] { applySwitch(enabled); });
}

void CursorAutoHide::setCursorHideDelay(double seconds)
{
    postToMainThread(QPointer<CursorAutoHide>(this), [this, seconds] { m_delay = seconds; });
}

void CursorAutoHide::applySwitch(bool enabled)
{
    m_enabled = enabled;
    if (!m_hooks.streamRunning || !m_hooks.streamRunning())
        return; // the next take starts the timer
    if (enabled) {
        startCursorTimer();
    } else {
        stopCursorTimer();
        setCursorVisible(true);
    }
}

QPointF CursorAutoHide::currentMouse() const
{
    // An unreadable pointer counts as not moved.
    return m_hooks.mousePosition().value_or(m_lastMouseLocation);
}

bool CursorAutoHide::isTimerRunning() const
{
    return m_timer && m_timer->isActive();
}

void CursorAutoHide::startCursorTimer()
{
    if (m_timer) {
        m_timer->stop();
        m_timer->deleteLater();
        m_timer = nullptr;
    }
    m_lastMouseLocation = currentMouse();
    m_lastMouseMove = m_hooks.now();
    m_cursorShown = true;
    m_timer = new QTimer(this);
    m_timer->setTimerType(Qt::PreciseTimer);
    m_timer->setInterval(kCheckIntervalMs);
    connect(m_timer, &QTimer::timeout, this, &CursorAutoHide::cursorTick);
    m_timer->start();
}

void CursorAutoHide::stopCursorTimer()
{
    if (m_timer) {
        m_timer->stop();
        m_timer->deleteLater();
        m_timer = nullptr;
    }
    m_cursorShown = true;
}

void CursorAutoHide::cursorTick()
{
    const QPointF position = currentMouse();
    const bool moved = std::abs(position.x() - m_lastMouseLocation.x()) > kMovementThreshold ||
                       std::abs(position.y() - m_lastMouseLocation.y()) > kMovementThreshold;
    if (moved) {
        m_lastMouseLocation = position;
        m_lastMouseMove = m_hooks.now();
        if (!m_cursorShown)
            setCursorVisible(true);
        return;
    }
    if (m_cursorShown && m_hooks.now() - m_lastMouseMove >= m_delay)
        setCursorVisible(false);
}

void CursorAutoHide::setCursorVisible(bool visible)
{
    m_cursorShown = visible;
    if (m_hooks.streamRunning && m_hooks.streamRunning() && m_hooks.applyShowsCursor)
        m_hooks.applyShowsCursor(visible);
}

} // namespace lumacast
