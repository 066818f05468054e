#pragma once

// Overlays on the rig's X server: a known backdrop behind them, screenshots read pixel by pixel,
// and the window-manager properties of a window.

#include "support/XcbTestWindows.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <xcb/xcb.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

namespace lumacast::testing {

inline bool spinUntil(const std::function<bool()> &done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

inline void spinFor(int milliseconds)
{
    spinUntil([] { return false; }, milliseconds);
}

// The whole screen as the X server shows it now.
inline QImage grabScreen()
{
    return QGuiApplication::primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
}

// Keeps a screenshot for a person to look at when LUMACAST_OVERLAY_SHOTS names a folder.
inline void keepShot(const QImage &image, const char *name)
{
    const QString folder = qEnvironmentVariable("LUMACAST_OVERLAY_SHOTS");
    if (!folder.isEmpty())
        image.save(folder + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
}

inline uint32_t rgbAt(const QImage &image, int x, int y) { return image.pixel(x, y) & 0xffffff; }

// A full-screen window of another application in one colour, below everything made after it.
class Backdrop {
public:
    static constexpr uint32_t kColour = 0x3a6b4c;
    Backdrop()
    {
        const QRect screen = QGuiApplication::primaryScreen()->geometry();
        window = windows.solid(screen, kColour, 4242, QStringLiteral("backdrop"), QStringLiteral("Backdrop"));
        windows.sync();
    }
    XcbTestWindows windows;
    xcb_window_t window = 0;
};

// Reads a window's properties through a connection of its own.
class WindowProperties {
public:
    WindowProperties() : m_conn(xcb_connect(nullptr, nullptr)) {}
    ~WindowProperties() { xcb_disconnect(m_conn); }

    xcb_atom_t atom(const char *name)
    {
        auto *reply = xcb_intern_atom_reply(m_conn, xcb_intern_atom(m_conn, 0, uint16_t(strlen(name)), name), nullptr);
        const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        std::free(reply);
        return a;
    }
    std::vector<uint32_t> values(xcb_window_t w, const char *property)
    {
        auto *reply = xcb_get_property_reply(
            m_conn, xcb_get_property(m_conn, 0, w, atom(property), XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr);
        std::vector<uint32_t> result;
        if (reply && reply->format == 32) {
            const auto *v = static_cast<const uint32_t *>(xcb_get_property_value(reply));
            result.assign(v, v + xcb_get_property_value_length(reply) / 4);
        }
        std::free(reply);
        return result;
    }
    bool hasState(xcb_window_t w, const char *state)
    {
        const auto states = values(w, "_NET_WM_STATE");
        return std::find(states.begin(), states.end(), atom(state)) != states.end();
    }
    // The WM_HINTS input field: whether the window asks for the keyboard focus.
    bool acceptsFocus(xcb_window_t w)
    {
        const auto hints = values(w, "WM_HINTS");
        return hints.size() < 2 || !(hints[0] & 1) || hints[1] != 0;
    }
    // The top-level window that takes a click at a root position (input shapes respected).
    xcb_window_t windowAt(int x, int y)
    {
        const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data->root;
        xcb_warp_pointer(m_conn, XCB_NONE, root, 0, 0, 0, 0, int16_t(x), int16_t(y));
        auto *reply = xcb_query_pointer_reply(m_conn, xcb_query_pointer(m_conn, root), nullptr);
        const xcb_window_t child = reply ? reply->child : xcb_window_t(XCB_NONE);
        std::free(reply);
        return child;
    }

private:
    xcb_connection_t *m_conn;
};

} // namespace lumacast::testing
