#pragma once

#include "overlays/OverlayPanel.h"
#include "store/GlobalKeyboardShortcuts.h"

#include <QElapsedTimer>
#include <QObject>
#include <QPainterPath>
#include <QPointer>
#include <QTimer>

#include <qcoro/qcorotask.h>

#include <cstdint>
#include <memory>
#include <optional>

namespace lumacast {

// The full-screen panel of the countdown: one large white digit in the middle that comes up
// half-transparent at its size and grows to three times that size while it fades out over one
// second. Without a compositing manager the digit's outline is the window's shape: the digit
// stays at its own size, opaque white with a dark rim, for its whole second.
class CountdownView final : public OverlayPanel {
    Q_OBJECT
public:
    static constexpr double kDigitPixelSize = 500;
    static constexpr int kAnimationMs = 1000;
    // The dark rim round the digit where no compositor lets it fade, in pixels.
    static constexpr double kFallbackRimWidth = 4;

    explicit CountdownView(QWidget *parent = nullptr);

    // A new number replaces the old one at once and starts its own animation.
    void setValue(int value);
    int value() const { return m_value; }

    // The digit's outline at an animation progress from 0 to 1, in the panel's coordinates.
    QPainterPath digitPath(double progress) const;
    // Scale and opacity at an animation progress (ease-out over the second).
    static double scaleAt(double progress);
    static double opacityAt(double progress);
    static double easedProgress(double linear);

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    double progress() const;
    void advance();
    void updateShape();

    int m_value = 3;
    QElapsedTimer m_clock;
    QTimer m_frames;
    QPainterPath m_glyph; // the digit at its own size, centred on (0, 0)
};

// Shows 3-2-1 over the display about to be recorded; Escape cancels it from any application.
// One instance lives as long as its owner; it is idle (no panel, no key grab, no handler)
// except while `run` executes. Main thread only.
//
// Escape is caught twice: by an application-wide event filter while one of our windows has the
// keyboard, and by a system-wide grab of Escape (hot-key signature "QZEC", id 1) through the
// given hot-key backend, held only while the countdown runs. Any hot-key press that reaches the
// backend's handlers during the countdown cancels it.
class CountdownOverlay final : public QObject {
    Q_OBJECT
public:
    static constexpr quint32 kEscapeSignature = fourCharCode("QZEC");
    static constexpr quint32 kEscapeHotKeyID = 1;

    // `hotKeys` may be null: Escape then works only while the application has the keyboard.
    explicit CountdownOverlay(std::shared_ptr<HotKeyBackend> hotKeys, QObject *parent = nullptr);
    ~CountdownOverlay() override;

    // Shows count, count - 1, ..., 1 for about a second each (10 steps of 100 ms) over the screen
    // of `displayID` (else the main screen). True when every number was shown, false when Escape
    // cancelled it; the panel and the Escape handling are gone when it returns, on either outcome.
    // A run while another is under way returns false at once and leaves that one alone.
    // Await the task through a named variable.
    QCoro::Task<bool> run(int count, std::optional<uint32_t> displayID);

    // Escape and the hot keys as while the countdown runs, with no panel: `onCancel` is called
    // (on the main thread) for each press until `stopWatching`. Not while `run` executes.
    void watchForCancel(std::function<void()> onCancel);
    void stopWatching();
    // Cancels as Escape does: a running countdown ends, as cancelled, within a tenth of a second.
    void cancel();

    bool isRunning() const { return m_window != nullptr; }
    // The number on display (3 before the first run).
    int value() const { return m_value; }
    bool cancelled() const { return m_cancelled; }
    // The panel's X window while the countdown runs.
    std::optional<quint32> windowID() const;
    CountdownView *view() const { return m_window; }

signals:
    // The panel came up or went away (for the owner's capture bookkeeping and for tests).
    void shown();
    void hidden();

private:
    static int escapeHotKeyHandler(const HotKeyEvent *event, void *userData);
    void installEscapeHandling();
    void tearDown();
    void cancelFromKeyboard();

    std::shared_ptr<HotKeyBackend> m_hotKeys;
    QPointer<CountdownView> m_window;
    int m_value = 3;
    std::unique_ptr<QObject> m_localMonitor;
    std::optional<EventHotKeyRef> m_escHotKeyRef;
    std::optional<EventHandlerRef> m_escHandlerRef;
    bool m_cancelled = false;
    std::function<void()> m_onCancel;
};

} // namespace lumacast
