#include "support/WindowManager.h"

#include "support/TestEnvironment.h"
#include "support/XcbTestWindows.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <xcb/xcbext.h>

#include <sys/uio.h>

#include <cstdint>
#include <cstdlib>
#include <memory>

namespace lumacast::testing {

namespace {

QStringList rootPropertyNames()
{
    QStringList names;
    const QString listing = QString::fromUtf8(runProcess(QStringLiteral("xprop"), {QStringLiteral("-root")}).out);
    for (const QString &line : listing.split(u'\n'))
        if (!line.isEmpty() && !line.front().isSpace())
            names << line.section(QRegularExpression(QStringLiteral("[(:]")), 0, 0).trimmed();
    return names;
}

bool managerAnnounced()
{
    return runProcess(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("_NET_SUPPORTING_WM_CHECK")})
        .out.contains("window id");
}

// While the manager runs the root is given pointer images of its, also one for the core pointer
// through XInput 2. They outlive it, and the server then refuses every client the pointer's image
// (BadAccess: its owner is gone), which later captures of the pointer need. The server's own image
// comes back.
void forgetRootCursors(XcbTestWindows &x)
{
    if (!x.ok())
        return;
    xcb_connection_t *c = x.connection();
    const uint32_t none[] = {XCB_NONE};
    xcb_change_window_attributes(c, x.root(), XCB_CW_CURSOR, none);
    // XIChangeCursor (XIUndefineCursor) by hand: libxcb's XInput binding is no dependency here.
    constexpr char kExtension[] = "XInputExtension";
    std::unique_ptr<xcb_query_extension_reply_t, decltype(&std::free)> xi(
        xcb_query_extension_reply(c, xcb_query_extension(c, sizeof kExtension - 1, kExtension), nullptr), &std::free);
    if (xi && xi->present) {
        struct {
            uint8_t major;
            uint8_t minor;
            uint16_t length; // in 4-byte units
            uint32_t window;
            uint32_t cursor;
            uint16_t device;
            uint16_t pad;
        } request{xi->major_opcode, 42 /* XIChangeCursor */, 4, x.root(), XCB_NONE, 2 /* the core pointer */, 0};
        iovec parts[4] = {};
        parts[2].iov_base = &request;
        parts[2].iov_len = sizeof request;
        xcb_protocol_request_t header{1, nullptr, 0, 1};
        xcb_send_request(c, XCB_REQUEST_RAW, parts + 2, &header);
    }
    x.sync();
}

} // namespace

QString WindowManager::missing()
{
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        return QStringLiteral("an X server (DISPLAY)");
    QStringList absent;
    for (const char *tool : {"openbox", "xprop", "xdotool"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
            absent << QString::fromLatin1(tool);
    return absent.join(QStringLiteral(", "));
}

WindowManager::WindowManager()
{
    m_rootPropertiesBefore = rootPropertyNames();
    m_probes = std::make_unique<XcbTestWindows>();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process->start(QStringLiteral("openbox"), {QStringLiteral("--sm-disable")});
    if (!m_process->waitForStarted())
        return;
    QElapsedTimer clock;
    clock.start();
    while (!managerAnnounced() && clock.elapsed() < 10000 && m_process->state() == QProcess::Running)
        QThread::msleep(50);
    // Announced before it is ready: a window mapped in between may stay unmapped. A probe window
    // mapped until the manager frames one tells when windows are managed.
    while (!m_managing && clock.elapsed() < 10000 && m_process->state() == QProcess::Running)
        m_managing = framesAProbeWindow();
}

// Whether a window mapped now is framed (its parent is no longer the root) within half a second.
bool WindowManager::framesAProbeWindow()
{
    if (!m_probes->ok())
        return false;
    const xcb_window_t window = m_probes->solid(QRect(0, 0, 40, 30), 0x808080);
    bool framed = false;
    QElapsedTimer clock;
    clock.start();
    while (!framed && clock.elapsed() < 500) {
        QThread::msleep(20);
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
            xcb_query_tree_reply(m_probes->connection(), xcb_query_tree(m_probes->connection(), window), nullptr),
            &std::free);
        framed = tree && tree->parent != m_probes->root();
    }
    m_probes->destroy(window);
    return framed;
}

WindowManager::~WindowManager()
{
    if (m_process->state() != QProcess::NotRunning) {
        m_process->terminate();
        if (!m_process->waitForFinished(3000)) {
            m_process->kill();
            m_process->waitForFinished(3000);
        }
    }
    for (const QString &name : rootPropertyNames())
        if (!m_rootPropertiesBefore.contains(name))
            runProcess(QStringLiteral("xprop"), {QStringLiteral("-root"), QStringLiteral("-remove"), name});
    forgetRootCursors(*m_probes);
}

bool minimizeWindow(unsigned window)
{
    return runProcess(QStringLiteral("xdotool"), {QStringLiteral("windowminimize"), QString::number(window)}).ok();
}

bool restoreWindow(unsigned window)
{
    return runProcess(QStringLiteral("xdotool"), {QStringLiteral("windowmap"), QString::number(window)}).ok()
        && runProcess(QStringLiteral("xdotool"), {QStringLiteral("windowactivate"), QString::number(window)}).ok();
}

} // namespace lumacast::testing
