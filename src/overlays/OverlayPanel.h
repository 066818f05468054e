#pragma once

#include <QColor>
#include <QPoint>
#include <QRect>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QScreen;

namespace lumacast {

// The application state as the overlays show it. The state manager maps its own state onto this
// one case for case; the overlays never see the manager.
enum class OverlayState : quint8 { idle, starting, recording, paused, reviewing };

// The state's tint: idle gray, starting orange, recording red, paused yellow, reviewing blue.
QColor overlayStateTint(OverlayState state);

// A screen as Qt places it: its rectangle in Qt's coordinates and its device pixel ratio. Qt
// keeps each screen's top-left corner where the X server has it and scales from there, so
// the screens' rectangles in Qt's coordinates leave gaps, or overlap, where their ratio is not 1.
struct ScreenPlace {
    QRect geometry;
    double ratio = 1.0;
    QRectF pixels() const { return QRectF(geometry.topLeft(), QSizeF(geometry.size()) * ratio); }
};

// The window every overlay is made of: frameless, above normal windows, never taking the
// keyboard focus, shown without activating the application, on every workspace and out of task
// bars. Where no compositing manager runs (a bare X server) an alpha channel would show black,
// so a panel then paints opaquely and its outline comes from a shape mask.
//
// Panels of the higher level stay above those of the lower level (the webcam overlay, the border
// and the countdown above the status panel). Main thread only.
class OverlayPanel : public QWidget {
    Q_OBJECT
public:
    enum class Level { status = 25, screenSaver = 1000 };
    struct Style {
        Level level = Level::screenSaver;
        bool ignoresMouseEvents = false; // clicks go to whatever lies beneath
        bool hasShadow = false;
        bool movableByBackground = false; // a drag on the panel's background moves it
        // Under a Wayland compositor, where hot keys reach only an XWayland window that holds the
        // keyboard: a click on the panel gives it the keyboard (it never takes it on showing).
        bool holdsKeyboardWhenClicked = false;
    };

    explicit OverlayPanel(const Style &style, QWidget *parent = nullptr);
    ~OverlayPanel() override;

    const Style &style() const { return m_style; }

    // The X window id; creates the native window when it does not exist yet.
    quint32 windowID();

    // Shows the panel without activating the application, on every workspace, and restacks the
    // overlays by level.
    void orderFrontRegardless();
    void orderOut();

    // Whether this panel is translucent: a compositing manager ran when it was made. Decided
    // once per panel, since the window's visual and its painting must agree; a compositor that
    // starts or stops later counts for the panels made after it.
    bool transparencyAvailable() const { return m_transparent; }
    // Whether a compositing manager runs now (a question to the X server).
    static bool compositingAvailable();
    // Whether the X server is XWayland under a Wayland compositor (the session says so), which
    // manages X windows as its own and knows nothing of their input shapes.
    static bool underWaylandCompositor();
    // The screen of a display id (the X server's RandR output id); nothing when the id is absent
    // or no screen shows that display.
    static QScreen *screenForDisplay(std::optional<uint32_t> displayID);
    // That screen, else the primary screen, else the first one; null without screens.
    static QScreen *screenOrMain(std::optional<uint32_t> displayID);
    // A rectangle of the X server's pixels in Qt's coordinates, as Qt maps a window there: from
    // the corner of the screen that holds its centre (else the one it overlaps most, else the
    // first) with that screen's ratio. Unchanged without screens.
    static QRect fromPixels(const QRect &pixels, const std::vector<ScreenPlace> &screens);
    static std::vector<ScreenPlace> screenPlaces(); // the application's screens

    // After a click on a panel that holds the keyboard when clicked, under a Wayland compositor:
    // the X window to activate when the click left no window active, or left the panel so, which
    // a compositor that never gives an override-redirect window the keyboard leaves with no
    // keyboard in XWayland at all: the one active when the button went down (`activeBefore`),
    // else, where no other X window was (a native Wayland window or none was in front), the
    // panel's `keyboardHolder` if it has one. Nothing when another window is active now.
    static std::optional<quint32> windowToReactivate(std::optional<quint32> activeBefore,
                                                     std::optional<quint32> activeNow, quint32 panel,
                                                     std::optional<quint32> keyboardHolder = std::nullopt);
    // Whether the compositor never gives an override-redirect XWayland window the keyboard, even
    // on a click (GNOME's: the session names GNOME).
    static bool compositorKeepsKeyboardFromPanels();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void keyboardClickBegins();
    void keyboardClickEnds(quint64 timestamp);
    void reactivateAfterClick(quint64 timestamp);
    void showKeyboardHolder();
    std::optional<quint32> keyboardHolderID() const;

    Style m_style;
    bool m_transparent = false;
    std::optional<QPoint> m_dragOffset;
    std::optional<quint32> m_activeBeforeClick; // X window id, during a click under Wayland
    quint64 m_clicks = 0;                       // presses so far, under Wayland
    // Where the compositor keeps the keyboard from the panel: an invisible window of the window
    // manager's (1x1, see-through, beneath the panel, out of task bars), shown with the panel,
    // that a click on the panel activates when no other X window had the keyboard.
    std::unique_ptr<QWidget> m_keyboardHolder;
};

} // namespace lumacast
