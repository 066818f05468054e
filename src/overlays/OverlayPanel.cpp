#include "overlays/OverlayPanel.h"

#include "capture/CaptureRoad.h"
#include "platform/x11/OverlayWindowHints.h"
#include "platform/x11/X11Content.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include <algorithm>
#include <vector>

namespace lumacast {

namespace {

// How long after a click ends the window manager's answer to it is looked at once more: it
// handles the click's focus changes on its own time.
constexpr int kClickSettleMs = 250;

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
    if (m_style.movableByBackground && event->button() == Qt::LeftButton) {
        m_dragOffset = event->globalPosition().toPoint() - frameGeometry().topLeft();
        event->accept();
        return;
    }
    QWidget::mousePressEvent(event);
}

std::optional<quint32> OverlayPanel::windowToReactivate(std::optional<quint32> activeBefore,
                                                        std::optional<quint32> activeNow, quint32 panel,
                                                        std::optional<quint32> keyboardHolder)
{
    if (activeNow && *activeNow != panel)
        return std::nullopt;
    if (!activeBefore || *activeBefore == panel || activeBefore == keyboardHolder)
        return keyboardHolder;
    return activeBefore;
}

bool OverlayPanel::compositorKeepsKeyboardFromPanels()
{
    if (!underWaylandCompositor())
        return false;
    const QStringList desktops = qEnvironmentVariable("XDG_CURRENT_DESKTOP").split(QLatin1Char(':'));
    return desktops.contains(QStringLiteral("GNOME"), Qt::CaseInsensitive);
}

std::optional<quint32> OverlayPanel::keyboardHolderID() const
{
    if (!m_keyboardHolder || !m_keyboardHolder->isVisible())
        return std::nullopt;
    return quint32(m_keyboardHolder->winId());
}

// The window's own mouse events, before Qt hands them to the child under the pointer: a click on
// a button counts as much as one on the background.
void OverlayPanel::showEvent(QShowEvent *event)
{
    if (m_style.holdsKeyboardWhenClicked && underWaylandCompositor() && windowHandle())
        windowHandle()->installEventFilter(this);
    if (m_style.holdsKeyboardWhenClicked && compositorKeepsKeyboardFromPanels())
        showKeyboardHolder();
    QWidget::showEvent(event);
}

void OverlayPanel::hideEvent(QHideEvent *event)
{
    if (m_keyboardHolder)
        m_keyboardHolder->hide();
    QWidget::hideEvent(event);
}

void OverlayPanel::showKeyboardHolder()
{
    if (!m_keyboardHolder) {
        m_keyboardHolder = std::make_unique<QWidget>(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint);
        m_keyboardHolder->setAttribute(Qt::WA_ShowWithoutActivating);
        m_keyboardHolder->setAttribute(Qt::WA_TranslucentBackground);
        m_keyboardHolder->setWindowTitle(QStringLiteral("Lumacast"));
        m_keyboardHolder->resize(1, 1);
        x11::placeOnAllWorkspaces(quint32(m_keyboardHolder->winId()));
    }
    m_keyboardHolder->move(geometry().center());
    m_keyboardHolder->show();
}

bool OverlayPanel::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == windowHandle()) {
        if (event->type() == QEvent::MouseButtonPress)
            keyboardClickBegins();
        else if (event->type() == QEvent::MouseButtonRelease)
            keyboardClickEnds(static_cast<QMouseEvent *>(event)->timestamp());
    }
    return QWidget::eventFilter(watched, event);
}

void OverlayPanel::keyboardClickBegins()
{
    const std::optional<quint32> active = x11::activeWindow();
    ++m_clicks;
    if (active && *active != windowID())
        m_activeBeforeClick = active;
    // The compositor may give this window the keyboard, but the X server sends keys where its own
    // focus lies, which its window manager may have left at None.
    x11::focusFollowPointer();
}

// A compositor that never gives this window the keyboard may still take it from the window that
// had it, now or a little later: the window manager is asked to give it back, with the click's
// time, so that the hot-key grabs see the keys again.
void OverlayPanel::keyboardClickEnds(quint64 timestamp)
{
    if (!m_activeBeforeClick && !keyboardHolderID())
        return;
    reactivateAfterClick(timestamp);
    QTimer::singleShot(kClickSettleMs, this, [this, click = m_clicks, timestamp] {
        // A click that began since then settles on its own.
        if (m_clicks == click) {
            reactivateAfterClick(timestamp);
            m_activeBeforeClick.reset();
        }
    });
}

void OverlayPanel::reactivateAfterClick(quint64 timestamp)
{
    if (const auto window = windowToReactivate(m_activeBeforeClick, x11::activeWindow(), windowID(), keyboardHolderID()))
        x11::activateWindow(*window, quint32(timestamp));
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
