#pragma once

#include <QObject>
#include <QPointF>

#include <functional>
#include <optional>

class QTimer;

namespace lumacast {

// Hides the cursor in the recording (never on the user's screen) while the mouse rests: four
// times a second the pointer position is sampled, and after `delay` seconds without movement the
// running stream is told to stop drawing the cursor; the next movement brings it back. Lives on
// the main thread; the setters may be called from any thread.
class CursorAutoHide : public QObject {
    Q_OBJECT
public:
    static constexpr int kCheckIntervalMs = 250;
    static constexpr double kMovementThreshold = 0.1;

    struct Hooks {
        std::function<std::optional<QPointF>()> mousePosition; // global, pixels
        std::function<double()> now;                           // seconds, monotonic
        std::function<bool()> streamRunning;                   // a stream with its configuration
        std::function<void(bool)> applyShowsCursor;            // live update of the running stream
    };

    CursorAutoHide(bool enabled, double delaySeconds, Hooks hooks, QObject *parent = nullptr);
    ~CursorAutoHide() override;

    // Queued to the main thread; return at once.
    void setCursorAutoHide(bool enabled);
    void setCursorHideDelay(double seconds);

    // Main thread only.
    void startCursorTimer();
    void stopCursorTimer();
    void setCursorVisible(bool visible);
    void cursorTick();

    bool isEnabled() const { return m_enabled; }
    double delay() const { return m_delay; }
    bool isCursorShown() const { return m_cursorShown; }
    bool isTimerRunning() const;
    QPointF lastMouseLocation() const { return m_lastMouseLocation; }

    // The hooks of a real recording: the X pointer and the monotonic clock.
    static std::function<std::optional<QPointF>()> systemMousePosition();
    static std::function<double()> monotonicClock();

private:
    void applySwitch(bool enabled);
    QPointF currentMouse() const;

    Hooks m_hooks;
    bool m_enabled;
    double m_delay;
    QTimer *m_timer = nullptr;
    QPointF m_lastMouseLocation;
    double m_lastMouseMove = 0;
    bool m_cursorShown = true;
};

} // namespace lumacast
