#include "overlays/OverlayPanel.h"

#include "capture/CaptureRoad.h"
#include "platform/x11/OverlayWindowHints.h"
#include "platform/x11/X11Content.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QWindow>

#include <algorithm>
#include <vector>

namespace lumacast {

namespace {

// Every live panel, for restacking by level.
std::vector<OverlayPanel *> &livePanels()
{
    static std::vector<OverlayPanel *> panels;
    return panels;
}

Qt::WindowFlags flagsFor(const OverlayPanel::Style &style)
{
    Qt::WindowFlags flags = Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint
        | Qt::WindowDoesNotAcceptFocus;
    if (style.ignoresMouseEvents)
        flags |= Qt::WindowTransparentForInput;
    if (!style.hasShadow)
        flags |= Qt::NoDropShadowWindowHint;
    // A Wayland compositor manages XWayland's windows as its own: it tiles or centres them,
    // focuses them on map and on click, and sends them keys whatever their hints say, which
    // XWayland then drops. Override-redirect windows it only shows, where they are put; being
    // tool windows, it never gives them the keyboard.
    if (OverlayPanel::underWaylandCompositor())
        flags |= Qt::X11BypassWindowManagerHint;
    return flags;
}

} // namespace

QColor overlayStateTint(OverlayState state)
{
    switch (state) {
    case OverlayState::idle:
        return QColor(142, 142, 147);
    case OverlayState::starting:
        return QColor(255, 149, 0);
    case OverlayState::recording:
        return QColor(255, 59, 48);
    case OverlayState::paused:
        return QColor(255, 204, 0);
    case OverlayState::reviewing:
        return QColor(0, 122, 255);
    }
    return QColor(142, 142, 147);
}

OverlayPanel::OverlayPanel(const Style &style, QWidget *parent)
    : QWidget(parent, flagsFor(style)), m_style(style), m_transparent(compositingAvailable())
{
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setFocusPolicy(Qt::NoFocus);
    if (style.ignoresMouseEvents)
        setAttribute(Qt::WA_TransparentForMouseEvents);
    if (transparencyAvailable()) {
        setAttribute(Qt::WA_TranslucentBackground);
    } else {
        // Opaque pixels only; what shows is decided by the shape mask each panel sets.
        setAttribute(Qt::WA_NoSystemBackground);
    }
    livePanels().push_back(this);
}

OverlayPanel::~OverlayPanel()
{
    auto &panels = livePanels();
    panels.erase(std::remove(panels.begin(), panels.end(), this), panels.end());
}

quint32 OverlayPanel::windowID() { return quint32(winId()); }

void OverlayPanel::orderFrontRegardless()
{
    // The hints go on before the window is mapped, so that a window manager places it on every
    // workspace from the start; Qt keeps states it did not set itself.
    x11::placeOnAllWorkspaces(windowID());
    show();
    raise();
    // Restack: everything of a higher level goes above this panel again.
    for (OverlayPanel *other : livePanels()) {
        if (other != this && other->isVisible() && int(other->m_style.level) > int(m_style.level))
            other->raise();
    }
}

void OverlayPanel::orderOut() { hide(); }

bool OverlayPanel::compositingAvailable()
{
    return QGuiApplication::platformName() == QLatin1String("xcb") && x11::compositingManagerRunning();
}

bool OverlayPanel::underWaylandCompositor()
{
    return captureRoadForSession() == CaptureRoad::ScreenCastPortal;
}

QScreen *OverlayPanel::screenForDisplay(std::optional<uint32_t> displayID)
{
    if (!displayID)
        return nullptr;
    for (const auto &display : x11::listDisplays()) {
        if (display.id != *displayID)
            continue;
        const auto screens = QGuiApplication::screens();
        for (QScreen *screen : screens)
            if (screen->name() == display.name)
                return screen;
        // Screens are named after their monitors; a server that names them otherwise still
        // places them where the monitor is.
        for (QScreen *screen : screens) {
            const ScreenPlace place{screen->geometry(), screen->devicePixelRatio()};
            if (place.geometry.topLeft() == display.geometry.topLeft()
                && place.pixels().contains(QRectF(display.geometry).center()))
                return screen;
        }
    }
    return nullptr;
}

std::vector<ScreenPlace> OverlayPanel::screenPlaces()
{
    std::vector<ScreenPlace> places;
    for (const QScreen *screen : QGuiApplication::screens())
        places.push_back(ScreenPlace{screen->geometry(), screen->devicePixelRatio()});
    return places;
}

QRect OverlayPanel::fromPixels(const QRect &pixels, const std::vector<ScreenPlace> &screens)
{
    const QPointF centre = QRectF(pixels).center();
    const ScreenPlace *holder = nullptr;
    double overlap = -1;
    for (const ScreenPlace &screen : screens) {
        if (screen.pixels().contains(centre)) {
            holder = &screen;
            break;
        }
        const QRectF common = screen.pixels().intersected(QRectF(pixels));
        if (common.width() * common.height() > overlap) {
            overlap = common.width() * common.height();
            holder = &screen;
        }
    }
    if (!holder || holder->ratio <= 0)
        return pixels;
    const QPoint origin = holder->geometry.topLeft();
    const double r = holder->ratio;
    // Position and size rounded each, as Qt rounds them on the way back to pixels: the rectangle
    // comes back within a pixel of where it was.
    return QRect(origin + QPoint(qRound((pixels.x() - origin.x()) / r), qRound((pixels.y() - origin.y()) / r)),
                 QSize(qRound(pixels.width() / r), qRound(pixels.height() / r)));
}

QScreen *OverlayPanel::screenOrMain(std::optional<uint32_t> displayID)
{
    if (QScreen *screen = screenForDisplay(displayID))
        return screen;
    if (QScreen *primary = QGuiApplication::primaryScreen())
        return primary;
    const auto screens = QGuiApplication::screens();
    return screens.isEmpty() ? nullptr : screens.first();
}

// The compositor decides at map time whether a window takes the keyboard, and at each click
// whether a click gives it: declared focusable only while the pointer is over it, the panel is
// never given the keyboard on showing, yet is by a click. The pointer can enter a window only
// once the compositor shows it.
void OverlayPanel::enterEvent(QEnterEvent *event)
{
    if (m_style.holdsKeyboardWhenClicked && underWaylandCompositor())
        x11::declareFocusableWindow(windowID(), true);
    QWidget::enterEvent(event);
}

void OverlayPanel::leaveEvent(QEvent *event)
{
    if (m_style.holdsKeyboardWhenClicked && underWaylandCompositor())
        x11::declareFocusableWindow(windowID(), false);
    QWidget::leaveEvent(event);
}

void OverlayPanel::mousePressEvent(QMouseEvent *event)
{
    // The compositor gives this window the keyboard, but the X server sends keys where its own
    // focus lies, which its window manager may have left at None.
    if (m_style.holdsKeyboardWhenClicked && underWaylandCompositor())
        x11::focusFollowPointer();
    if (m_style.movableByBackground && event->button() == Qt::LeftButton) {
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

void OverlayPanel::mouseMoveEvent(QMouseEvent *event)
{
    if (m_dragOffset && (event->buttons() & Qt::LeftButton)) {
        move(event->globalPosition().toPoint() - *m_dragOffset);
        event->accept();
        return;
    }
    QWidget::mouseMoveEvent(event);
}

void OverlayPanel::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_dragOffset) {
        m_dragOffset.reset();
        event->accept();
        return;
    }
    QWidget::mouseReleaseEvent(event);
}

} // namespace lumacast
