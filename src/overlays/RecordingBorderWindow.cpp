#include "overlays/RecordingBorderWindow.h"

#include "platform/x11/X11Content.h"
#include "store/AppLog.h"

#include <QGuiApplication>
#include <QPainter>
#include <QScreen>

#include <algorithm>
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

constexpr OverlayPanel::Style kRingStyle{OverlayPanel::Level::screenSaver, /*ignoresMouseEvents*/ true,
                                         /*hasShadow*/ false, false};

// One side of the ring, all of it in the border's colour.
class BorderEdge final : public OverlayPanel {
public:
    explicit BorderEdge(const RecordingBorderView *border) : OverlayPanel(kRingStyle), m_border(border) {}

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter(this).fillRect(rect(), RecordingBorderWindow::colour(m_border->state()));
    }

private:
    const RecordingBorderView *m_border;
};

} // namespace

// ---- RecordingBorderView ----

RecordingBorderView::RecordingBorderView(QWidget *parent) : OverlayPanel(kRingStyle, parent)
{
    if (OverlayPanel::underWaylandCompositor())
        for (int side = 0; side < 4; ++side)
            m_edges.push_back(std::make_unique<BorderEdge>(this));
}

RecordingBorderView::~RecordingBorderView() = default;

void RecordingBorderView::setState(OverlayState state)
{
    if (m_state == state)
        return;
    m_state = state;
    update();
    for (const auto &edge : m_edges)
        edge->update();
}

void RecordingBorderView::showRing()
{
    if (m_edges.empty()) {
        orderFrontRegardless();
        return;
    }
    placeEdges();
    for (const auto &edge : m_edges)
        edge->orderFrontRegardless();
}

void RecordingBorderView::hideRing()
{
    orderOut();
    for (const auto &edge : m_edges)
        edge->orderOut();
}

std::vector<QWidget *> RecordingBorderView::ringWindows()
{
    if (m_edges.empty())
        return {this};
    std::vector<QWidget *> windows;
    for (const auto &edge : m_edges)
        windows.push_back(edge.get());
    return windows;
}

void RecordingBorderView::placeEdges()
{
    if (m_edges.empty())
        return;
    const QRect r = geometry();
    const int w = std::min(kLineWidth, r.width()), h = std::min(kLineWidth, r.height());
    const QRect sides[] = {QRect(r.left(), r.top(), r.width(), h), QRect(r.left(), r.bottom() - h + 1, r.width(), h),
                           QRect(r.left(), r.top() + h, w, std::max(0, r.height() - 2 * h)),
                           QRect(r.right() - w + 1, r.top() + h, w, std::max(0, r.height() - 2 * h))};
    for (size_t i = 0; i < m_edges.size(); ++i)
        m_edges[i]->setGeometry(sides[i]);
}

void RecordingBorderView::moveEvent(QMoveEvent *event)
{
    OverlayPanel::moveEvent(event);
    placeEdges();
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
    placeEdges();
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
            found = OverlayPanel::fromPixels(filter.contentRect.toAlignedRect(), OverlayPanel::screenPlaces());
        if (found)
            frame = *found;
        // The panel is made on the screen it shows on, whose ratio maps it to the X server's pixels.
        if (QScreen *holder = QGuiApplication::screenAt(frame.center()))
            screen = holder;
        AppLog::shared().log(QStringLiteral("[border] window capture frame=") + rectText(frame)
                             + QStringLiteral(" tracking=") + (followed ? QStringLiteral("true") : QStringLiteral("false")));
    }

    auto *panel = new RecordingBorderView;
    panel->setState(state);
    panel->setScreen(screen);
    panel->setGeometry(frame);
    panel->showRing();
    m_panel = panel;
    m_placed = frame;
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
    // A window that is gone or minimised leaves the border where it was. The panel's own
    // geometry, read back through its screen's ratio, may differ from what was asked by a
    // rounding: only a move of the window moves it.
    const auto now = windowFrame(*m_trackedWindowID);
    if (now && *now != m_placed) {
        m_placed = *now;
        m_panel->setGeometry(*now);
    }
}

void RecordingBorderWindow::hide()
{
    delete m_trackingTimer;
    m_trackingTimer = nullptr;
    m_trackedWindowID.reset();
    if (m_panel) {
        m_panel->hideRing();
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
    return OverlayPanel::fromPixels(*pixels, OverlayPanel::screenPlaces());
}

} // namespace lumacast
