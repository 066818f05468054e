#include "overlays/RecordingBorderWindow.h"

#include "platform/x11/X11Content.h"
#include "store/AppLog.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <cmath>

namespace lumacast {

namespace {

// A number as a rectangle's text form prints it: always with a decimal part.
QString decimal(double value)
{
    if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 1e15)
        return QString::number(qint64(value)) + QStringLiteral(".0");
    return QString::number(value, 'g', 15);
}

QString rectText(const QRect &r)
{
    return QStringLiteral("(%1, %2, %3, %4)")
        .arg(decimal(r.x()), decimal(r.y()), decimal(r.width()), decimal(r.height()));
}

double deviceRatio()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    return screen ? screen->devicePixelRatio() : 1.0;
}

// X11 reports pixels; Qt places windows in device-independent pixels.
QRect fromPixels(const QRectF &pixels)
{
    const double ratio = deviceRatio();
    return QRectF(pixels.x() / ratio, pixels.y() / ratio, pixels.width() / ratio, pixels.height() / ratio)
        .toAlignedRect();
}

} // namespace

// ---- RecordingBorderView ----

RecordingBorderView::RecordingBorderView(QWidget *parent)
    : OverlayPanel(Style{Level::screenSaver, /*ignoresMouseEvents*/ true, /*hasShadow*/ false, false}, parent)
{
}

void RecordingBorderView::setState(OverlayState state)
{
    if (m_state == state)
        return;
    m_state = state;
    update();
}

void RecordingBorderView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QRect r = rect();
    const QRegion ring = QRegion(r).subtracted(QRegion(r.adjusted(kLineWidth, kLineWidth, -kLineWidth, -kLineWidth)));
    painter.setClipRegion(ring);
    painter.fillRect(r, RecordingBorderWindow::colour(m_state));
}

void RecordingBorderView::resizeEvent(QResizeEvent *event)
{
    OverlayPanel::resizeEvent(event);
    // The ring is the window's shape in any case: the inside must stay see-through and
    // click-through whether or not a compositing manager runs.
    const QRect r = rect();
    setMask(QRegion(r).subtracted(QRegion(r.adjusted(kLineWidth, kLineWidth, -kLineWidth, -kLineWidth))));
}

// ---- RecordingBorderWindow ----

RecordingBorderWindow::RecordingBorderWindow(QObject *parent) : QObject(parent) {}

RecordingBorderWindow::~RecordingBorderWindow() { hide(); }

QColor RecordingBorderWindow::colour(OverlayState state)
{
    switch (state) {
    case OverlayState::idle:
        return overlayStateTint(OverlayState::idle);
    case OverlayState::starting:
    case OverlayState::recording:
        return overlayStateTint(OverlayState::recording);
    case OverlayState::paused:
        return overlayStateTint(OverlayState::paused);
    case OverlayState::reviewing:
        return overlayStateTint(OverlayState::reviewing);
    }
    return overlayStateTint(OverlayState::idle);
}

void RecordingBorderWindow::show(std::optional<uint32_t> displayID, const CaptureTarget &target, OverlayState state)
{
    if (m_panel)
        return;
    QScreen *screen = OverlayPanel::screenForDisplay(displayID);
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;

    QRect frame = screen->geometry();
    std::optional<uint32_t> followed;
    if (!target.isWholeScreen()) {
        const ContentFilter &filter = *target.filter();
        std::optional<QRect> found;
        if (const auto id = filter.windowID()) {
            found = windowFrame(*id);
            if (found)
                followed = id;
        }
        if (!found && filter.contentRect.width() > 0 && filter.contentRect.height() > 0)
            found = fromPixels(filter.contentRect);
        if (found)
            frame = *found;
        AppLog::shared().log(QStringLiteral("[border] window capture frame=") + rectText(frame)
                             + QStringLiteral(" tracking=") + (followed ? QStringLiteral("true") : QStringLiteral("false")));
    }

    auto *panel = new RecordingBorderView;
    panel->setState(state);
    panel->setScreen(screen);
    panel->setGeometry(frame);
    panel->orderFrontRegardless();
    m_panel = panel;
    m_trackedWindowID = followed;
    if (followed)
        startTracking();
}

void RecordingBorderWindow::setState(OverlayState state)
{
    if (m_panel)
        m_panel->setState(state);
}

void RecordingBorderWindow::startTracking()
{
    delete m_trackingTimer;
    m_trackingTimer = new QTimer(this);
    m_trackingTimer->setInterval(kTrackingIntervalMs);
    connect(m_trackingTimer, &QTimer::timeout, this, &RecordingBorderWindow::followTick);
    m_trackingTimer->start();
}

void RecordingBorderWindow::followTick()
{
    if (!m_trackedWindowID || !m_panel)
        return;
    // A window that is gone or minimised leaves the border where it was.
    const auto now = windowFrame(*m_trackedWindowID);
    if (now && *now != m_panel->geometry())
        m_panel->setGeometry(*now);
}

void RecordingBorderWindow::hide()
{
    delete m_trackingTimer;
    m_trackingTimer = nullptr;
    m_trackedWindowID.reset();
    if (m_panel) {
        m_panel->orderOut();
        delete m_panel.data();
    }
    m_panel = nullptr;
}

QRect RecordingBorderWindow::frame() const { return m_panel ? m_panel->geometry() : QRect(); }

std::optional<quint32> RecordingBorderWindow::windowID() const
{
    if (!m_panel)
        return std::nullopt;
    return m_panel->windowID();
}

std::optional<QRect> RecordingBorderWindow::windowFrame(uint32_t windowID)
{
    const auto pixels = x11::windowFrame(windowID);
    if (!pixels || pixels->width() <= 0 || pixels->height() <= 0)
        return std::nullopt;
    return fromPixels(QRectF(*pixels));
}

} // namespace lumacast
