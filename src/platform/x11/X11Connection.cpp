#include "platform/x11/X11Connection.h"

#include "platform/x11/X11Error.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <QByteArray>
#include <QList>

#include <cstring>
#include <mutex>

#include <signal.h>

namespace lumacast::x11 {

// xcb writes to the server's socket without MSG_NOSIGNAL, so a server that goes away under a
// write raises SIGPIPE, whose default action ends the process: the user's recording and the
// application with it. Ignored process-wide, once, before the first connection exists; a handler
// the application installed itself is left alone.
void ignoreBrokenPipes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction ignore {};
            ignore.sa_handler = SIG_IGN;
            sigemptyset(&ignore.sa_mask);
            sigaction(SIGPIPE, &ignore, nullptr);
        }
    });
}

std::unique_ptr<Connection> Connection::open(bool redirectForCapture)
{
    ignoreBrokenPipes();
    int screenNumber = 0;
    xcb_connection_t *conn = xcb_connect(nullptr, &screenNumber);
    if (!conn || xcb_connection_has_error(conn)) {
        const int code = conn ? xcb_connection_has_error(conn) : 0;
        if (conn)
            xcb_disconnect(conn);
        throw X11Error(QStringLiteral("Cannot connect to the X display %1")
                           .arg(qEnvironmentVariable("DISPLAY")),
                       code);
    }
    std::unique_ptr<Connection> c(new Connection);
    c->m_conn = conn;
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem)
        throw X11Error(QStringLiteral("The X display has no screen %1").arg(screenNumber));
    c->m_screen = it.data;

    // Every extension is announced first, then all version handshakes are sent before any reply
    // is awaited: one round trip instead of five.
    const auto *shm = xcb_get_extension_data(conn, &xcb_shm_id);
    const auto *composite = xcb_get_extension_data(conn, &xcb_composite_id);
    const auto *xfixes = xcb_get_extension_data(conn, &xcb_xfixes_id);
    const auto *randr = xcb_get_extension_data(conn, &xcb_randr_id);
    const auto *damage = xcb_get_extension_data(conn, &xcb_damage_id);

    std::optional<xcb_shm_query_version_cookie_t> shmCookie;
    std::optional<xcb_composite_query_version_cookie_t> compositeCookie;
    std::optional<xcb_xfixes_query_version_cookie_t> xfixesCookie;
    std::optional<xcb_randr_query_version_cookie_t> randrCookie;
    std::optional<xcb_damage_query_version_cookie_t> damageCookie;
    if (shm && shm->present)
        shmCookie = xcb_shm_query_version(conn);
    if (composite && composite->present)
        compositeCookie = xcb_composite_query_version(conn, 0, 4);
    if (xfixes && xfixes->present)
        xfixesCookie = xcb_xfixes_query_version(conn, 4, 0);
    if (randr && randr->present)
        randrCookie = xcb_randr_query_version(conn, 1, 5);
    // The version handshake is what lets this client use the extension at all.
    if (damage && damage->present)
        damageCookie = xcb_damage_query_version(conn, 1, 1);

    if (shmCookie) {
        Reply<xcb_shm_query_version_reply_t> r(xcb_shm_query_version_reply(conn, *shmCookie, nullptr));
        c->m_hasShm = r != nullptr;
    }
    if (compositeCookie) {
        Reply<xcb_composite_query_version_reply_t> r(
            xcb_composite_query_version_reply(conn, *compositeCookie, nullptr));
        // Naming a window's pixmap needs version 0.2.
        c->m_hasComposite = r && (r->major_version > 0 || r->minor_version >= 2);
    }
    if (xfixesCookie) {
        Reply<xcb_xfixes_query_version_reply_t> r(
            xcb_xfixes_query_version_reply(conn, *xfixesCookie, nullptr));
        c->m_hasXFixes = r && r->major_version >= 1;
    }
    if (randrCookie) {
        Reply<xcb_randr_query_version_reply_t> r(xcb_randr_query_version_reply(conn, *randrCookie, nullptr));
        c->m_hasRandr = r && (r->major_version > 1 || r->minor_version >= 3);
        c->m_hasRandrMonitors = r && (r->major_version > 1 || r->minor_version >= 5);
        c->m_randrEventBase = randr->first_event;
    }
    if (damageCookie) {
        Reply<xcb_damage_query_version_reply_t> r(xcb_damage_query_version_reply(conn, *damageCookie, nullptr));
        c->m_hasDamage = r != nullptr;
        c->m_damageEventBase = damage->first_event;
    }

    if (redirectForCapture && c->m_hasComposite) {
        xcb_void_cookie_t ck = xcb_composite_redirect_subwindows_checked(
            conn, c->root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
        if (xcb_generic_error_t *e = xcb_request_check(conn, ck)) {
            std::free(e);
            c->m_hasComposite = false;
        }
    }
    return c;
}

Connection::~Connection()
{
    if (m_conn)
        xcb_disconnect(m_conn);
}

xcb_atom_t Connection::atom(const char *name)
{
    auto found = m_atoms.find(name);
    if (found != m_atoms.end())
        return found->second;
    Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        m_conn, xcb_intern_atom(m_conn, 0, uint16_t(std::strlen(name)), name), nullptr));
    const xcb_atom_t a = r ? r->atom : xcb_atom_t(XCB_ATOM_NONE);
    m_atoms[name] = a;
    return a;
}

std::optional<uint32_t> Connection::cardinalProperty(xcb_window_t w, xcb_atom_t property)
{
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        m_conn, xcb_get_property(m_conn, 0, w, property, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!r || r->type != XCB_ATOM_CARDINAL || r->format != 32 || xcb_get_property_value_length(r.get()) < 4)
        return std::nullopt;
    return *static_cast<const uint32_t *>(xcb_get_property_value(r.get()));
}

std::vector<uint32_t> Connection::windowListProperty(xcb_window_t w, xcb_atom_t property)
{
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        m_conn, xcb_get_property(m_conn, 0, w, property, XCB_ATOM_WINDOW, 0, 65536), nullptr));
    if (!r || r->type != XCB_ATOM_WINDOW || r->format != 32)
        return {};
    const auto *v = static_cast<const uint32_t *>(xcb_get_property_value(r.get()));
    return std::vector<uint32_t>(v, v + xcb_get_property_value_length(r.get()) / 4);
}

WindowLabels readWindowLabels(Connection &c, xcb_window_t w)
{
    WindowLabels labels;
    xcb_connection_t *conn = c.get();
    const xcb_atom_t netWmName = c.atom("_NET_WM_NAME");
    const xcb_atom_t utf8 = c.atom("UTF8_STRING");
    const xcb_atom_t netWmPid = c.atom("_NET_WM_PID");
    auto nameCookie = xcb_get_property(conn, 0, w, netWmName, utf8, 0, 4096);
    auto legacyCookie = xcb_get_property(conn, 0, w, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, 4096);
    auto classCookie = xcb_get_property(conn, 0, w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 1024);
    auto pidCookie = xcb_get_property(conn, 0, w, netWmPid, XCB_ATOM_CARDINAL, 0, 1);

    Reply<xcb_get_property_reply_t> name(xcb_get_property_reply(conn, nameCookie, nullptr));
    Reply<xcb_get_property_reply_t> legacy(xcb_get_property_reply(conn, legacyCookie, nullptr));
    Reply<xcb_get_property_reply_t> cls(xcb_get_property_reply(conn, classCookie, nullptr));
    Reply<xcb_get_property_reply_t> pid(xcb_get_property_reply(conn, pidCookie, nullptr));

    auto text = [](xcb_get_property_reply_t *r, bool utf) -> std::optional<QString> {
        if (!r || r->type == XCB_ATOM_NONE || r->format != 8)
            return std::nullopt;
        const char *d = static_cast<const char *>(xcb_get_property_value(r));
        const int n = xcb_get_property_value_length(r);
        return utf ? QString::fromUtf8(d, n) : QString::fromLatin1(d, n);
    };
    if (auto t = text(name.get(), true))
        labels.title = *t;
    else if (legacy && legacy->type == utf8)
        labels.title = text(legacy.get(), true).value_or(QString());
    else
        labels.title = text(legacy.get(), false).value_or(QString());

    if (cls && cls->format == 8) {
        // WM_CLASS holds two NUL-terminated strings: the instance, then the class.
        const QByteArray raw(static_cast<const char *>(xcb_get_property_value(cls.get())),
                             xcb_get_property_value_length(cls.get()));
        const QList<QByteArray> parts = raw.split('\0');
        if (!parts.isEmpty())
            labels.instanceName = QString::fromLatin1(parts.value(0));
        labels.className = QString::fromLatin1(parts.value(1));
        if (labels.className.isEmpty())
            labels.className = labels.instanceName;
    }
    if (pid && pid->type == XCB_ATOM_CARDINAL && pid->format == 32 && xcb_get_property_value_length(pid.get()) >= 4)
        labels.pid = *static_cast<const uint32_t *>(xcb_get_property_value(pid.get()));
    return labels;
}

static bool hasProperty(Connection &c, xcb_window_t w, xcb_atom_t property)
{
    Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c.get(), xcb_get_property(c.get(), 0, w, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 0), nullptr));
    return r && r->type != XCB_ATOM_NONE;
}

std::optional<xcb_window_t> clientWindowOf(Connection &c, xcb_window_t topLevel)
{
    const xcb_atom_t wmState = c.atom("WM_STATE");
    const xcb_atom_t pid = c.atom("_NET_WM_PID");
    if (hasProperty(c, topLevel, wmState) || hasProperty(c, topLevel, pid))
        return topLevel;
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c.get(), xcb_query_tree(c.get(), topLevel), nullptr));
    if (!tree)
        return std::nullopt;
    const xcb_window_t *kids = xcb_query_tree_children(tree.get());
    const int n = xcb_query_tree_children_length(tree.get());
    for (int i = n - 1; i >= 0; --i) {
        if (hasProperty(c, kids[i], wmState) || hasProperty(c, kids[i], pid))
            return kids[i];
    }
    return std::nullopt;
}

std::optional<xcb_window_t> topLevelAncestor(Connection &c, xcb_window_t w)
{
    xcb_window_t current = w;
    for (int depth = 0; depth < 64; ++depth) {
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c.get(), xcb_query_tree(c.get(), current), nullptr));
        if (!tree)
            return std::nullopt;
        if (tree->parent == c.root() || tree->parent == XCB_WINDOW_NONE)
            return current;
        current = tree->parent;
    }
    return std::nullopt;
}

} // namespace lumacast::x11
