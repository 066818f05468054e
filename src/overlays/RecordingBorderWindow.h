#pragma once

#include "capture/CaptureTarget.h"
#include "overlays/OverlayPanel.h"

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace lumacast {

// The border's panel: a 5-pixel frame drawn inside its edge in the state's colour. It takes no
// mouse clicks, and without a compositing manager its shape is the ring itself.
//
// Under a Wayland compositor an XWayland window takes every click over its whole rectangle (the
// compositor knows nothing of X input shapes), so there the ring is shown as four windows along
// the edges of the panel's geometry, and the panel's own window stays unmapped.
class RecordingBorderView final : public OverlayPanel {
    Q_OBJECT
public:
    static constexpr int kLineWidth = 5;

    explicit RecordingBorderView(QWidget *parent = nullptr);
    ~RecordingBorderView() override;
    void setState(OverlayState state);
    OverlayState state() const { return m_state; }

    void showRing();
    void hideRing();
    // The windows that show the ring: this panel's own, or the four edges.
    std::vector<QWidget *> ringWindows();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void moveEvent(QMoveEvent *event) override;

private:
    void placeEdges();

    OverlayState m_state = OverlayState::idle;
    std::vector<std::unique_ptr<OverlayPanel>> m_edges; // under a Wayland compositor only
};

// The coloured frame round the captured area while a take or a tail is prepared and recorded:
// the whole display, or a picked window that it follows as the window moves. One instance lives
// as long as its owner; main thread only. Geometry is in Qt's global coordinates (logical
// pixels, origin at the top left of the virtual desktop).
class RecordingBorderWindow final : public QObject {
    Q_OBJECT
public:
    static constexpr int kTrackingIntervalMs = 100;

    explicit RecordingBorderWindow(QObject *parent = nullptr);
    ~RecordingBorderWindow() override;

    // Shows the border over the capture target: for the whole screen, the screen of `displayID`
    // (else the main screen); for a picked window, that window's frame, followed every 0.1 s;
    // else the picked content's rectangle. Does nothing while shown: the border keeps the target
    // it was first shown for. Without any screen nothing is shown.
    void show(std::optional<uint32_t> displayID, const CaptureTarget &target, OverlayState state);
    // The colour follows the application state while the border is up.
    void setState(OverlayState state);
    // Removes the border and stops following; harmless when nothing is shown.
    void hide();
    // (Re)starts following `trackedWindowID`.
    void startTracking();

    bool isShown() const { return m_panel != nullptr; }
    std::optional<uint32_t> trackedWindowID() const { return m_trackedWindowID; }
    QRect frame() const;
    // The panel's X window while shown.
    std::optional<quint32> windowID() const;
    RecordingBorderView *view() const { return m_panel; }

    // A window's current frame in Qt's global coordinates, mapped by the screen it is on;
    // nothing when it is gone, unmapped, or cut by its window manager's frame (a minimize or
    // restore being animated).
    static std::optional<QRect> windowFrame(uint32_t windowID);
    // The colour of the border for a state: idle gray, starting and recording red, paused yellow,
    // reviewing blue.
    static QColor colour(OverlayState state);

private:
    void followTick();

    QPointer<RecordingBorderView> m_panel;
    QRect m_placed; // the frame last given to the panel
    std::optional<uint32_t> m_trackedWindowID;
    QTimer *m_trackingTimer = nullptr;
};

} // namespace lumacast
