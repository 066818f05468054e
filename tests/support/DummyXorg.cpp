#include "support/DummyXorg.h"

#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

namespace lumacast::testing {

namespace {

// The server itself, not Debian's /usr/bin/Xorg: with xserver-xorg-legacy installed that runs a
// wrapper that admits console users only. The dummy driver needs none of its privileges.
QString xorgProgram()
{
    const QString server = QStringLiteral("/usr/lib/xorg/Xorg");
    return QFileInfo(server).isExecutable() ? server : QStandardPaths::findExecutable(QStringLiteral("Xorg"));
}

constexpr char kConfig[] = R"(Section "ServerFlags"
  Option "AutoAddDevices" "false"
  Option "AutoAddGPU" "false"
  Option "DontVTSwitch" "true"
EndSection
Section "Device"
  Identifier "dummy"
  Driver "dummy"
  VideoRam 256000
EndSection
)";

} // namespace

QString DummyXorg::missing()
{
    if (xorgProgram().isEmpty() || !QFileInfo::exists(QStringLiteral("/usr/lib/xorg/modules/drivers/dummy_drv.so")))
        return QStringLiteral("needs Xorg with the dummy driver (xserver-xorg-core, xserver-xorg-video-dummy)");
    return QStandardPaths::findExecutable(QStringLiteral("xrandr")).isEmpty() ? QStringLiteral("needs xrandr") : QString();
}

DummyXorg::DummyXorg()
{
    QFile config(m_dir.filePath(QStringLiteral("xorg.conf")));
    if (!config.open(QIODevice::WriteOnly) || config.write(kConfig) < 0) {
        m_failure = QStringLiteral("cannot write the X server's configuration");
        return;
    }
    config.close();
    // An empty folder of snippets keeps the machine's xorg.conf.d out; the log is ours.
    const QString numberFile = m_dir.filePath(QStringLiteral("display")), log = m_dir.filePath(QStringLiteral("Xorg.log"));
    m_server.start(QStringLiteral("sh"), {QStringLiteral("-c"),
                                          QStringLiteral("exec \"%1\" -config \"%2\" -configdir \"%3\" -logfile \"%4\" "
                                                         "-nolisten tcp -noreset -displayfd 3 3>\"%5\" >/dev/null 2>&1")
                                              .arg(xorgProgram(), config.fileName(), m_dir.filePath(QStringLiteral("none")),
                                                   log, numberFile)});
    QElapsedTimer clock;
    clock.start();
    QFile number(numberFile);
    while (m_server.state() != QProcess::NotRunning && clock.elapsed() < 15000 && m_display.size() < 2) {
        QThread::msleep(50);
        if (number.open(QIODevice::ReadOnly))
            m_display = QStringLiteral(":") + QString::fromLatin1(number.readAll().trimmed());
        number.close();
    }
    if (m_display.size() < 2) {
        m_display.clear();
        QFile f(log);
        f.open(QIODevice::ReadOnly);
        m_failure = QStringLiteral("Xorg with the dummy driver did not start as this user: ")
            + QString::fromUtf8(f.readAll()).split(u'\n').filter(QStringLiteral("(EE)")).join(u' ');
    }
}

DummyXorg::~DummyXorg()
{
    m_server.terminate(); // the server removes its lock and socket as it goes
    if (!m_server.waitForFinished(5000)) {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
}

bool DummyXorg::xrandr(const QStringList &arguments)
{
    // A plain query after a change makes the server look at its outputs again.
    const QStringList on = {QStringLiteral("-d"), m_display};
    return !m_display.isEmpty() && runProcess(QStringLiteral("xrandr"), on + arguments).ok()
        && runProcess(QStringLiteral("xrandr"), on).ok();
}

bool DummyXorg::plug(const QString &output, QSize size, const QStringList &placement)
{
    // A name of our own: the server's modes of that size have other timings.
    const int w = size.width(), h = size.height();
    const QString mode = QStringLiteral("test-%1x%2").arg(w).arg(h);
    if (m_modes.insert(mode).second)
        xrandr(QStringList{QStringLiteral("--newmode"), mode, QStringLiteral("60")}
               + QStringList{QString::number(w), QString::number(w + 8), QString::number(w + 16), QString::number(w + 24),
                             QString::number(h), QString::number(h + 1), QString::number(h + 2), QString::number(h + 3)});
    xrandr({QStringLiteral("--addmode"), output, mode}); // refused, harmlessly, when the output has it
    return xrandr(QStringList{QStringLiteral("--output"), output, QStringLiteral("--mode"), mode} + placement);
}

} // namespace lumacast::testing
