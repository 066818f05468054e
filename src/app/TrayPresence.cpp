#include "app/TrayPresence.h"

#include "platform/x11/SystemTrayProbe.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusVariant>
#include <QGuiApplication>

namespace lumacast {

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

// The owner of the watcher's name; empty without a session bus or a watcher.
QString watcherOwner()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return {};
    const QDBusReply<QString> owner = bus.interface()->serviceOwner(kWatcherService);
    return owner.isValid() ? owner.value() : QString();
}

} // namespace

TrayPresence::TrayPresence(int interval, QObject *parent) : QObject(parent)
{
    m_watcherOwner = watcherOwner();
    m_available = statusNotifierHostRegistered()
        || (QGuiApplication::platformName() == QLatin1String("xcb") && x11::systemTrayManagerRunning());
    m_poll.setInterval(interval);
    connect(&m_poll, &QTimer::timeout, this, &TrayPresence::check);
    m_poll.start();
}

bool TrayPresence::statusNotifierHostRegistered()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()->isServiceRegistered(kWatcherService))
        return false;
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    // A short wait: a hung panel must not freeze the application.
    const QDBusMessage reply = bus.call(get, QDBus::Block, 500);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return false;
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toBool();
}

void TrayPresence::check()
{
    const QString owner = watcherOwner();
    const bool newWatcher = !owner.isEmpty() && owner != m_watcherOwner;
    m_watcherOwner = owner;
    const bool available = statusNotifierHostRegistered()
        || (QGuiApplication::platformName() == QLatin1String("xcb") && x11::systemTrayManagerRunning());
    if (available != m_available) {
        m_available = available;
        emit availableChanged(available);
    } else if (available && newWatcher) {
        emit statusNotifierWatcherReplaced();
    }
}

} // namespace lumacast
