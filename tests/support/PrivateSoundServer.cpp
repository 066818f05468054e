#include "PrivateSoundServer.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QThread>

#include <utility>

namespace lumacast::testing {

PrivateSoundServer::PrivateSoundServer(QStringList modules) : m_modules(std::move(modules))
{
    if (qEnvironmentVariableIsSet("PULSE_SERVER"))
        m_savedServer = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:" + m_dir.filePath(QStringLiteral("native")).toUtf8());
    if (installed())
        m_ready = start();
    else
        m_reason = QStringLiteral("needs pulseaudio and pactl");
}

bool PrivateSoundServer::installed()
{
    return !QStandardPaths::findExecutable(QStringLiteral("pulseaudio")).isEmpty()
        && !QStandardPaths::findExecutable(QStringLiteral("pactl")).isEmpty();
}

PrivateSoundServer::~PrivateSoundServer()
{
    kill();
    if (m_savedServer)
        qputenv("PULSE_SERVER", *m_savedServer);
    else
        qunsetenv("PULSE_SERVER");
}

bool PrivateSoundServer::start()
{
    kill();
    // Its runtime folder, its home (the cookie it makes) and its log are the temporary folder's:
    // nothing of the rig's server is touched.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_dir.path());
    environment.insert(QStringLiteral("PULSE_RUNTIME_PATH"), m_dir.filePath(QStringLiteral("pulse")));
    environment.insert(QStringLiteral("HOME"), m_dir.path());
    environment.remove(QStringLiteral("PULSE_SERVER"));
    // A bus that is not there: on a shared session bus (the desktop's, or one libdbus
    // autolaunched on the X display) another server already holds org.PulseAudio1, and a second
    // one that finds the name taken exits. Without a bus the server runs on, as it does anyway.
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + m_dir.filePath(QStringLiteral("no-bus")));
    QStringList arguments{QStringLiteral("-n"),
                          QStringLiteral("--daemonize=no"),
                          QStringLiteral("--exit-idle-time=-1"),
                          QStringLiteral("--use-pid-file=no"),
                          QStringLiteral("--log-target=file:") + m_dir.filePath(QStringLiteral("pulse.log")),
                          QStringLiteral("-L"),
                          QStringLiteral("module-native-protocol-unix auth-anonymous=1 socket=")
                              + m_dir.filePath(QStringLiteral("native"))};
    for (const QString &module : std::as_const(m_modules))
        arguments << QStringLiteral("-L") << module;
    m_server = std::make_unique<QProcess>();
    m_server->setProcessEnvironment(environment);
    m_server->setStandardOutputFile(QProcess::nullDevice());
    m_server->setStandardErrorFile(QProcess::nullDevice());
    m_server->start(QStringLiteral("pulseaudio"), arguments);
    if (!m_server->waitForStarted(10000)) {
        m_reason = QStringLiteral("pulseaudio did not start");
        return false;
    }
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        if (pactl({QStringLiteral("info")}).ok()) {
            // Every module is loaded before the server answers; one that failed is in the log.
            QFile log(m_dir.filePath(QStringLiteral("pulse.log")));
            const QByteArray text = log.open(QIODevice::ReadOnly) ? log.read(1 << 20) : QByteArray();
            for (const QByteArray &line : text.split('\n'))
                if (line.contains("Failed to load module")) {
                    m_reason = QString::fromUtf8(line);
                    return false;
                }
            return true;
        }
        if (m_server->state() == QProcess::NotRunning)
            break;
        QThread::msleep(50);
    }
    m_reason = QStringLiteral("pulseaudio did not answer");
    return false;
}

void PrivateSoundServer::kill()
{
    if (!m_server)
        return;
    m_server->kill();
    m_server->waitForFinished(10000);
    m_server.reset();
}

ProcessResult PrivateSoundServer::pactl(const QStringList &args) const
{
    return runProcess(QStringLiteral("pactl"), args, 10000);
}

} // namespace lumacast::testing
