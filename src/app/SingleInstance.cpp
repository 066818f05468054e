#include "app/SingleInstance.h"

#include "store/AppLog.h"

#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumacast {

namespace {

// A real folder (not a link) of this user that no one else may enter.
bool isPrivateFolder(const QString &path)
{
    struct stat status {};
    return QDir::isAbsolutePath(path) && ::lstat(QFile::encodeName(path).constData(), &status) == 0
        && S_ISDIR(status.st_mode) && status.st_uid == ::geteuid() && (status.st_mode & 077) == 0;
}

QString privateRuntimeFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (isPrivateFolder(runtime))
        return runtime;
    // Made 0700 here; one someone else made first fails the check and is not used.
    const QString fallback = QDir::tempPath() + QStringLiteral("/lumacast-%1").arg(::geteuid());
    ::mkdir(QFile::encodeName(fallback).constData(), 0700);
    return isPrivateFolder(fallback) ? fallback : QString();
}

bool sendPaths(const QString &name, const QStringList &paths, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs))
        return false;
    QByteArray message;
    QDataStream out(&message, QIODevice::WriteOnly);
    out << paths;
    socket.write(message);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    socket.disconnectFromServer();
    return true;
}

} // namespace

SingleInstance::SingleInstance(QString name, QObject *parent)
    : QObject(parent)
    , m_name(std::move(name))
{
}

SingleInstance::~SingleInstance()
{
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString SingleInstance::serverName()
{
    const QString folder = privateRuntimeFolder();
    if (folder.isEmpty())
        return {};
    QString display = qEnvironmentVariable("DISPLAY", qEnvironmentVariable("WAYLAND_DISPLAY"));
    display.replace(QLatin1Char('/'), QLatin1Char('_'));
    return folder + QStringLiteral("/lumacast-%1-%2").arg(::geteuid()).arg(display);
}

bool SingleInstance::takeLock()
{
    const int fd = ::open(QFile::encodeName(lockPath(m_name)).constData(),
                          O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_lockFd = fd;
    return true;
}

bool SingleInstance::handOffToRunningInstance(const QStringList &paths, int timeoutMs)
{
    if (m_name.isEmpty()) {
        AppLog::shared().log(QStringLiteral("[app] no private runtime folder: running without the single-instance socket"));
        return false;
    }
    // The lock decides who serves; a socket is never taken from an instance that may still be
    // serving it. The holder may not listen yet (it has only just started): try again until it
    // does or the time is up.
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        if (takeLock()) {
            listen();
            return false;
        }
        if (sendPaths(m_name, paths, int(std::max<qint64>(deadline.remainingTime(), 1))))
            return true;
        if (deadline.hasExpired())
            break;
        QThread::msleep(50);
    }
    AppLog::shared().log(QStringLiteral("[app] the running instance did not take this launch's documents in time"));
    return true;
}

void SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    // The lock is ours, so whoever made a socket there has gone: it is stale.
    QLocalServer::removeServer(m_name);
    if (!m_server->listen(m_name)) {
        AppLog::shared().log(QStringLiteral("[app] single-instance socket unavailable: ") + m_server->errorString());
        return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket *client = m_server->nextPendingConnection()) {
            connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
            connect(client, &QLocalSocket::readyRead, this, [this, client] {
                // The message is small and written in one go; wait for all of it.
                QDataStream stream(client);
                stream.startTransaction();
                QStringList paths;
                stream >> paths;
                if (!stream.commitTransaction())
                    return;
                emit launched(paths);
            });
        }
    });
}

} // namespace lumacast
