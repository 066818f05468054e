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
// wrapper that admits console users only. The dummy driver needs no privileges of the wrapper's.
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
Section "Screen"
  Identifier "screen"
  Device "dummy"
  DefaultDepth 24
EndSection
)";

} // namespace

QString DummyXorg::missing()
{
    if (xorgProgram().isEmpty() || !QFileInfo::exists(QStringLiteral("/usr/lib/xorg/modules/drivers/dummy_drv.so")))
        return QStringLiteral("needs Xorg with the dummy driver (xserver-xorg-core, xserver-xorg-video-dummy)");
    if (QStandardPaths::findExecutable(QStringLiteral("xrandr")).isEmpty())
        return QStringLiteral("needs xrandr");
    return QString();
}

DummyXorg::DummyXorg()
{
    QFile config(m_dir.filePath(QStringLiteral("xorg.conf")));
    if (!m_dir.isValid() || !config.open(QIODevice::WriteOnly) || config.write(kConfig) < 0) {
        m_failure = QStringLiteral("cannot write the X server's configuration");
        return;
    }
    config.close();
    // An empty folder of snippets keeps the machine's own xorg.conf.d out; the log stays ours.
    const QString numberFile = m_dir.filePath(QStringLiteral("display")), log = m_dir.filePath(QStringLiteral("Xorg.log"));
    m_server.setProgram(QStringLiteral("sh"));
    m_server.setArguments({QStringLiteral("-c"),
                           QStringLiteral("exec \"%1\" -config \"%2\" -configdir \"%3\" -logfile \"%4\" -nolisten tcp "
                                          "-noreset -displayfd 3 3>\"%5\"")
                               .arg(xorgProgram(), config.fileName(), m_dir.filePath(QStringLiteral("none")), log,
                                    numberFile)});
    m_server.setStandardOutputFile(QProcess::nullDevice());
    m_server.setStandardErrorFile(QProcess::nullDevice());
    m_server.start();
    QElapsedTimer clock;
    clock.start();
    QByteArray number;
    while (number.isEmpty() && m_server.state() != QProcess::NotRunning && clock.elapsed() < 15000) {
        QThread::msleep(50);
        QFile f(numberFile);
        if (f.open(QIODevice::ReadOnly))
            number = f.readAll().trimmed();
    }
    if (number.isEmpty()) {
        QFile f(log);
        const QByteArray text = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
        QStringList errors;
        for (const QByteArray &line : text.split('\n'))
            if (line.contains("(EE)"))
                errors << QString::fromUtf8(line.trimmed());
        m_failure = QStringLiteral("Xorg with the dummy driver did not start as this user: ") + errors.join(u' ');
        return;
    }
    m_display = QStringLiteral(":") + QString::fromLatin1(number);
}

DummyXorg::~DummyXorg()
{
    if (m_server.state() == QProcess::NotRunning)
        return;
    m_server.terminate(); // the server removes its lock and socket as it goes
    if (!m_server.waitForFinished(5000)) {
        m_server.kill();
        m_server.waitForFinished(5000);
    }
}

bool DummyXorg::xrandr(const QStringList &arguments)
{
    // A plain query after a change makes the server look at its outputs again.
    return !m_display.isEmpty()
        && runProcess(QStringLiteral("xrandr"), QStringList{QStringLiteral("-d"), m_display} + arguments).ok()
        && runProcess(QStringLiteral("xrandr"), {QStringLiteral("-d"), m_display}).ok();
}

bool DummyXorg::plug(const QString &output, QSize size, const QStringList &placement)
{
    // A name of our own: the server's modes of that size have other timings.
    const QString mode = QStringLiteral("test-%1x%2").arg(size.width()).arg(size.height());
    const int w = size.width(), h = size.height();
    if (!m_modes.count(mode)) {
        const QStringList timing = {QString::number(w), QString::number(w + 8), QString::number(w + 16),
                                    QString::number(w + 24), QString::number(h), QString::number(h + 1),
                                    QString::number(h + 2), QString::number(h + 3)};
        if (!xrandr(QStringList{QStringLiteral("--newmode"), mode, QStringLiteral("60")} + timing))
            return false;
        m_modes.insert(mode);
    }
    // Adding a mode an output has already is refused, and harmless.
    xrandr({QStringLiteral("--addmode"), output, mode});
    return xrandr(QStringList{QStringLiteral("--output"), output, QStringLiteral("--mode"), mode} + placement);
}

} // namespace lumacast::testing
