#include "overlays/WebcamOverlayWindow.h"

#include "capture/CameraCapture.h"
#include "platform/x11/OverlayWindowHints.h"
#include "store/Preferences.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QVideoFrame>
#include <QVideoSink>
#include <QWindow>

#include <cmath>

namespace lumacast {

namespace {

QRegion roundedRegion(const QRect &rect, double radius)
{
    if (radius <= 0)
        return QRegion(rect);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect), radius, radius);
    return QRegion(path.toFillPolygon().toPolygon());
}

Qt::CursorShape cursorFor(ResizeDirection direction)
{
    switch (direction) {
    case ResizeDirection::right:
    case ResizeDirection::left:
        return Qt::SizeHorCursor;
    case ResizeDirection::up:
    case ResizeDirection::down:
        return Qt::SizeVerCursor;
    case ResizeDirection::upperRight:
    case ResizeDirection::lowerLeft:
        return Qt::SizeBDiagCursor;
    case ResizeDirection::upperLeft:
    case ResizeDirection::lowerRight:
        return Qt::SizeFDiagCursor;
    }
    return Qt::ArrowCursor;
}

bool onX11()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

} // namespace

// ---- BlobPanel ----

BlobPanel::BlobPanel(QWidget *parent) : OverlayPanel(Style{Level::screenSaver, false, false, false}, parent)
{
    setMouseTracking(true);
}

void BlobPanel::setKeyable(bool keyable)
{
    m_keyable = keyable;
    // Changing the widget's flags would re-create the window; the window's own flag only
    // updates the focus hint.
    if (QWindow *window = windowHandle())
        window->setFlag(Qt::WindowDoesNotAcceptFocus, !keyable);
}

void BlobPanel::setCornerRadius(double radius)
{
    m_cornerRadius = radius;
    updateShape();
    update();
}

void BlobPanel::setPreview(const QImage &image)
{
    m_preview = image;
    update();
}

void BlobPanel::updateShape()
{
    if (!transparencyAvailable())
        setMask(roundedRegion(rect(), m_cornerRadius));
}

void BlobPanel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (transparencyAvailable()) {
        // Soft edges only where they blend with the desktop; on a bare server the shape cuts.
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath clip;
        clip.addRoundedRect(QRectF(rect()), m_cornerRadius, m_cornerRadius);
        painter.setClipPath(clip);
    }
    if (m_preview.isNull()) {
        painter.fillRect(rect(), QColor(30, 30, 30));
        return;
    }
    // Filled and cropped where the camera's shape differs from the blob's.
    const QSizeF scaled = QSizeF(m_preview.size()).scaled(QSizeF(size()), CameraCapture::kPreviewAspectRatioMode);
    const QRectF target((width() - scaled.width()) / 2, (height() - scaled.height()) / 2, scaled.width(),
                        scaled.height());
    painter.drawImage(target, m_preview);
}

void BlobPanel::resizeEvent(QResizeEvent *event)
{
    OverlayPanel::resizeEvent(event);
    updateShape();
}

void BlobPanel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_didDrag = false;
    if (m_interactive && blob_geometry::isOnRim(event->position(), QRectF(rect()), m_cornerRadius)) {
        m_dragMode = DragMode::resize;
        m_resizeCenterOnScreen = QRectF(geometry()).center();
        const QPointF d = event->globalPosition() - m_resizeCenterOnScreen;
        m_resizeLastDistance = std::max(1.0, std::hypot(d.x(), d.y()));
    } else {
        m_dragMode = DragMode::move;
        m_moveOrigin = event->position();
    }
    event->accept();
}

void BlobPanel::mouseMoveEvent(QMouseEvent *event)
{
    if (!(event->buttons() & Qt::LeftButton)) {
        updateCursor(event->position());
        return;
    }
    if (!m_interactive)
        return;
    if (m_dragMode == DragMode::move && m_moveOrigin) {
        m_didDrag = true;
        QRectF moved(QPointF(pos()) + (event->position() - *m_moveOrigin), QSizeF(size()));
        if (clampToDisplay)
            moved = clampToDisplay(moved);
        move(moved.topLeft().toPoint());
    } else if (m_dragMode == DragMode::resize) {
        m_didDrag = true;
        const QPointF d = event->globalPosition() - m_resizeCenterOnScreen;
        const double distance = std::max(1.0, std::hypot(d.x(), d.y()));
        if (onResize)
            onResize(distance / m_resizeLastDistance);
        m_resizeLastDistance = distance;
    }
}

void BlobPanel::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    // A click (no drag) zooms, also on a blob that cannot be moved; a click on the rim does not.
    const bool click = m_dragMode == DragMode::move && !m_didDrag;
    const bool dragged = m_didDrag;
    m_dragMode = DragMode::none;
    m_moveOrigin.reset();
    if (click && onClick)
        onClick();
    if (dragged && onInteractionEnded)
        onInteractionEnded();
}

void BlobPanel::leaveEvent(QEvent *event)
{
    setCursor(Qt::ArrowCursor);
    OverlayPanel::leaveEvent(event);
}

void BlobPanel::updateCursor(const QPointF &p)
{
    const QRectF bounds(rect());
    if (m_interactive && blob_geometry::isOnRim(p, bounds, m_cornerRadius))
        setCursor(cursorFor(blob_geometry::resizeDirection(p, bounds)));
    else
        setCursor(Qt::ArrowCursor);
}

// ---- WebcamOverlayWindow ----

WebcamOverlayWindow::WebcamOverlayWindow(Preferences *preferences, QObject *parent)
    : QObject(parent), m_preferences(preferences ? *preferences : Preferences::shared())
{
}

WebcamOverlayWindow::~WebcamOverlayWindow() { releasePanel(); }

void WebcamOverlayWindow::show(CameraCapture *capture, std::optional<uint32_t> displayID)
{
    followCapture(capture);
    if (!m_panel)
        buildPanel(displayID);
    applyInteractive();
}

void WebcamOverlayWindow::followCapture(CameraCapture *capture)
{
    if (capture == m_capture && m_frameConnection)
        return;
    disconnect(m_frameConnection);
    m_capture = capture;
    if (!capture)
        return;
    // The sink belongs to the capture: while it delivers, the capture is there.
    m_frameConnection = connect(capture->previewSink(), &QVideoSink::videoFrameChanged, this,
                                [this, capture](const QVideoFrame &frame) {
                                    if (m_panel && m_panel->isVisible())
                                        m_panel->setPreview(capture->previewImage(frame));
                                });
}

void WebcamOverlayWindow::buildPanel(std::optional<uint32_t> displayID)
{
    QScreen *screen = OverlayPanel::screenOrMain(displayID);
    m_displayFrame = screen ? QRectF(screen->geometry()) : QRectF();
    m_mode = BlobMode::corner;

    if (const auto stored = blob_shape::fromRawValue(
            m_preferences.defaults().value(QLatin1String(preference_key::webcamBlobShape)).toString()))
        m_shape = *stored;
    setShape(m_shape); // writes the key back

    QRectF frame;
    if (const auto placement = m_preferences.webcamBlobPlacement()) {
        m_widthFraction = blob_geometry::limitedWidthFraction(placement->widthFraction);
        frame = blob_geometry::frameForPlacement(*placement, m_displayFrame);
    } else {
        frame = blob_geometry::cornerFrame(m_corner, m_displayFrame, m_displayFrame.width() * m_widthFraction);
    }
    m_placedFrame = frame;

    auto *panel = new BlobPanel;
    QPointer<WebcamOverlayWindow> self(this);
    panel->onClick = [self] {
        if (self)
            self->toggleMode();
    };
    panel->onResize = [self](double factor) {
        if (self)
            self->resize(factor);
    };
    panel->onInteractionEnded = [self] {
        if (self)
            self->savePlacement();
    };
    panel->clampToDisplay = [self](const QRectF &rect) { return self ? self->clampToDisplay(rect) : rect; };
    if (screen)
        panel->setScreen(screen);
    panel->setGeometry(frame.toRect());
    panel->setCornerRadius(blob_geometry::cornerRadius(m_shape, frame.height()));
    if (m_capture)
        panel->setPreview(m_capture->previewImage(m_capture->previewSink()->videoFrame()));
    m_panel = panel;
}

void WebcamOverlayWindow::orderOut()
{
    returnFocus();
    if (m_panel)
        m_panel->orderOut();
}

void WebcamOverlayWindow::releasePanel()
{
    if (m_animation)
        m_animation->stop();
    if (m_panel) {
        returnFocus();
        m_panel->orderOut();
        delete m_panel.data();
    }
    m_panel = nullptr;
}

void WebcamOverlayWindow::setInteractive(bool interactive)
{
    m_interactive = interactive;
    applyInteractive();
}

void WebcamOverlayWindow::applyInteractive()
{
    if (!m_panel)
        return;
    m_panel->setInteractive(m_interactive);
    // Raised, never activated: taking the keyboard from the program the user works in would also
    // make this application the active one, which the overlay's own visibility rule reads. A
    // click may still focus it; that is given back once it stops being interactive.
    if (m_interactive)
        rememberFocus();
    else
        returnFocus();
    m_panel->orderFrontRegardless();
    m_panel->setKeyable(m_interactive);
}

// On X11 only: elsewhere the focus is the compositor's to give, and the panel only asks not to
// take it.
void WebcamOverlayWindow::rememberFocus()
{
    if (!onX11())
        return;
    const std::optional<quint32> focus = x11::inputFocus();
    if (focus && focus != m_panel->windowID())
        m_focusBefore = focus;
}

void WebcamOverlayWindow::returnFocus()
{
    // Recording: typing must go to the recorded program, not to the blob. A panel never shown
    // cannot hold the focus (and asking its id would create its window).
    if (onX11() && m_panel && m_panel->isVisible())
        x11::returnInputFocus(m_panel->windowID(), m_focusBefore);
}

void WebcamOverlayWindow::setShape(BlobShape shape)
{
    m_shape = shape;
    m_preferences.defaults().setValue(QLatin1String(preference_key::webcamBlobShape), blob_shape::rawValue(shape));
    m_preferences.defaults().sync();
    if (m_panel && m_mode == BlobMode::corner)
        applyShapeToPanel();
}

void WebcamOverlayWindow::applyShapeToPanel()
{
    m_panel->setCornerRadius(blob_geometry::cornerRadius(m_shape, m_panel->height()));
}

void WebcamOverlayWindow::toggleMode()
{
    if (!m_panel)
        return;
    QRectF target;
    double radius = 0;
    if (m_mode == BlobMode::corner) {
        m_placedFrame = m_placedFrame.toRect() == m_panel->geometry() ? m_placedFrame : QRectF(m_panel->geometry());
        target = m_displayFrame;
        m_mode = BlobMode::full;
    } else {
        target = m_placedFrame;
        radius = blob_geometry::cornerRadius(m_shape, m_placedFrame.height());
        m_mode = BlobMode::corner;
    }
    if (m_animation)
        m_animation->stop();
    auto *animation = new QVariantAnimation(this);
    animation->setDuration(kZoomAnimationMs);
    animation->setStartValue(0.0);
    animation->setEndValue(1.0);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    const QRectF from(m_panel->geometry());
    const double fromRadius = m_panel->cornerRadius();
    QPointer<BlobPanel> panel(m_panel);
    connect(animation, &QVariantAnimation::valueChanged, this, [panel, from, target, fromRadius, radius](const QVariant &v) {
        if (!panel)
            return;
        const double t = v.toDouble();
        const auto mix = [t](double a, double b) { return a + (b - a) * t; };
        panel->setGeometry(QRectF(mix(from.x(), target.x()), mix(from.y(), target.y()), mix(from.width(), target.width()),
                                  mix(from.height(), target.height()))
                               .toRect());
        panel->setCornerRadius(mix(fromRadius, radius));
    });
    m_animation = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

bool WebcamOverlayWindow::isAnimating() const { return m_animation && m_animation->state() == QAbstractAnimation::Running; }

QRectF WebcamOverlayWindow::clampToDisplay(const QRectF &rect) const
{
    return blob_geometry::clampToDisplay(rect, m_displayFrame);
}

void WebcamOverlayWindow::resize(double factor)
{
    if (!m_panel || m_mode != BlobMode::corner || !m_interactive || m_displayFrame.width() <= 0)
        return;
    // The unrounded frame, while the window still sits on it, so small steps add up.
    const QRectF current = m_placedFrame.toRect() == m_panel->geometry() ? m_placedFrame : QRectF(m_panel->geometry());
    const QRectF frame = blob_geometry::resizedFrame(current, factor, m_displayFrame);
    m_panel->setGeometry(frame.toRect());
    m_panel->setCornerRadius(blob_geometry::cornerRadius(m_shape, frame.width()));
    m_placedFrame = frame;
    m_widthFraction = frame.width() / m_displayFrame.width();
}

void WebcamOverlayWindow::savePlacement()
{
    if (!m_panel || m_mode != BlobMode::corner || m_displayFrame.width() <= 0 || m_displayFrame.height() <= 0)
        return;
    const QRectF frame = m_placedFrame.toRect() == m_panel->geometry() ? m_placedFrame : QRectF(m_panel->geometry());
    m_placedFrame = frame;
    m_widthFraction = frame.width() / m_displayFrame.width();
    m_preferences.setWebcamBlobPlacement(blob_geometry::placementForFrame(frame, m_displayFrame));
}

bool WebcamOverlayWindow::isVisible() const { return m_panel && m_panel->isVisible(); }

std::optional<quint32> WebcamOverlayWindow::windowID() const
{
    if (!m_panel)
        return std::nullopt;
    return m_panel->windowID();
}

} // namespace lumacast
