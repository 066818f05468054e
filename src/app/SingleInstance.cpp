#include "app/SingleInstance.h"

#include "store/AppLog.h"

#include <QDataStream>
#include <QLocalServer>
#include <QLocalSocket>

namespace lumacast {

SingleInstance::SingleInstance(QString name, QObject *parent)
    : QObject(parent)
    , m_name(std::move(name))
{
}

SingleInstance::~SingleInstance() = default;

QString SingleInstance::serverName()
{
    const QString user = qEnvironmentVariable("USER", QStringLiteral("user"));
    QString display = qEnvironmentVariable("DISPLAY", qEnvironmentVariable("WAYLAND_DISPLAY"));
    display.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("lumacast-%1-%2").arg(user, display);
}

bool SingleInstance::handOffToRunningInstance(const QStringList &paths, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(m_name);
    if (socket.waitForConnected(timeoutMs)) {
        QByteArray message;
        QDataStream out(&message, QIODevice::WriteOnly);
        out << paths;
        socket.write(message);
        if (socket.waitForBytesWritten(timeoutMs)) {
            socket.disconnectFromServer();
            return true;
        }
    }
    listen();
    return false;
}

void SingleInstance::listen()
{
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_name)) {
        // A socket left by a crashed instance: nobody answered on it above, so take it over.
        QLocalServer::removeServer(m_name);
        if (!m_server->listen(m_name)) {
            AppLog::shared().log(QStringLiteral("[app] single-instance socket unavailable: ") + m_server->errorString());
            return;
        }
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
