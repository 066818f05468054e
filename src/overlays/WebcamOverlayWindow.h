#pragma once

#include "overlays/OverlayPanel.h"
#include "overlays/WebcamBlobGeometry.h"

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QRectF>
#include <QVariantAnimation>

#include <functional>
#include <optional>

class QVideoFrame;

namespace lumacast {

class CameraCapture;
class Preferences;

// The blob's window: shows the camera's preview cropped to fill it, round or square, and turns
// mouse drags into moves and rim drags into resizes. Unlike the other overlays it is recorded.
// It may take the keyboard focus only while interactive, and only when the user clicks it.
class BlobPanel final : public OverlayPanel {
    Q_OBJECT
public:
    enum class DragMode { none, move, resize };

    explicit BlobPanel(QWidget *parent = nullptr);

    bool keyable() const { return m_keyable; }
    void setKeyable(bool keyable);
    bool interactive() const { return m_interactive; }
    void setInteractive(bool interactive) { m_interactive = interactive; }
    double cornerRadius() const { return m_cornerRadius; }
    void setCornerRadius(double radius);
    void setPreview(const QImage &image);
    const QImage &preview() const { return m_preview; }

    // Set by the overlay; each holds the overlay weakly.
    std::function<void()> onClick;
    std::function<QRectF(const QRectF &)> clampToDisplay;
    std::function<void(double)> onResize;
    std::function<void()> onInteractionEnded;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void updateShape();
    void updateCursor(const QPointF &p);

    bool m_keyable = false;
    bool m_interactive = true;
    double m_cornerRadius = 0;
    QImage m_preview;
    DragMode m_dragMode = DragMode::none;
    std::optional<QPointF> m_moveOrigin; // the press point in the window
    bool m_didDrag = false;
    QPointF m_resizeCenterOnScreen;
    double m_resizeLastDistance = 1.0;
};

// The webcam overlay: the camera image floating on the recorded display as a blob, by default in
// the bottom-right corner at a fifth of the display's width. Drag to move, drag the rim to
// resize about the centre, click to zoom to the whole display and back. Its placement and shape
// are remembered ("webcamBlobPlacement", "webcamBlobShape") and read when a panel is built.
//
// The owner shows it, orders it out (keeping the panel) or releases the panel (webcam off), and
// hands `windowID()` to the screen recorder so that whole-screen takes keep it. Main thread only.
class WebcamOverlayWindow final : public QObject {
    Q_OBJECT
public:
    static constexpr int kZoomAnimationMs = 300;

    // Settings go to `preferences` (the shared instance by default), which must outlive this.
    explicit WebcamOverlayWindow(Preferences *preferences = nullptr, QObject *parent = nullptr);
    ~WebcamOverlayWindow() override;

    // Builds the panel when there is none (on the screen of `displayID`, else the main screen),
    // then applies the interactivity and brings it to the front. An existing panel is shown as
    // it was. The preview follows `capture`'s frames while it lives.
    void show(CameraCapture *capture, std::optional<uint32_t> displayID);
    // Hides the panel and keeps it for the next show.
    void orderOut();
    // Hides and drops the panel; the next show builds a new one from the stored settings.
    void releasePanel();

    bool interactive() const { return m_interactive; }
    void setInteractive(bool interactive);
    BlobShape shape() const { return m_shape; }
    // Stores the shape and applies it (in corner mode; a zoomed blob keeps square corners).
    void setShape(BlobShape shape);
    // Corner <-> full display, animated over 0.3 s.
    void toggleMode();
    BlobMode mode() const { return m_mode; }

    // Moves a rectangle (never resizes it) into the display.
    QRectF clampToDisplay(const QRectF &rect) const;
    // Scales the blob about its centre (corner mode, interactive, display known).
    void resize(double factor);
    // Stores the blob's frame as the placement (corner mode, display known).
    void savePlacement();

    BlobPanel *panel() const { return m_panel; }
    bool isVisible() const;
    // The panel's X window once built.
    std::optional<quint32> windowID() const;
    QRectF displayFrame() const { return m_displayFrame; }
    QRectF placedFrame() const { return m_placedFrame; }
    double widthFraction() const { return m_widthFraction; }
    // Whether the zoom animation is still running.
    bool isAnimating() const;

private:
    void buildPanel(std::optional<uint32_t> displayID);
    void applyInteractive();
    // Notes which window has the keyboard, and hands it back to that window when the blob holds
    // it (after a click).
    void rememberFocus();
    void returnFocus();
    void applyShapeToPanel();
    void followCapture(CameraCapture *capture);

    Preferences &m_preferences;
    QPointer<BlobPanel> m_panel;
    QPointer<CameraCapture> m_capture;
    QMetaObject::Connection m_frameConnection;
    BlobMode m_mode = BlobMode::corner;
    BlobCorner m_corner = BlobCorner::bottomRight;
    double m_widthFraction = blob_geometry::kDefaultWidthFraction;
    BlobShape m_shape = BlobShape::round;
    bool m_interactive = true;
    // The window that had the keyboard when the blob became interactive (X window id).
    std::optional<quint32> m_focusBefore;
    QRectF m_displayFrame;
    QRectF m_placedFrame;
    QPointer<QVariantAnimation> m_animation;
};

} // namespace lumacast
