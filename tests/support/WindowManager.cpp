#include "support/WindowManager.h"

#include "support/TestEnvironment.h"
#include "support/XcbTestWindows.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

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

// Whether a window mapped now is framed (its parent is no longer the root) within half a second.
bool framesAProbeWindow()
{
    XcbTestWindows probe;
    if (!probe.ok())
        return false;
    const xcb_window_t window = probe.solid(QRect(0, 0, 40, 30), 0x808080);
    QElapsedTimer clock;
    clock.start();
    do {
        QThread::msleep(20);
        std::unique_ptr<xcb_query_tree_reply_t, decltype(&std::free)> tree(
            xcb_query_tree_reply(probe.connection(), xcb_query_tree(probe.connection(), window), nullptr), &std::free);
        if (tree && tree->parent != probe.root())
            return true;
    } while (clock.elapsed() < 500);
    return false;
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
