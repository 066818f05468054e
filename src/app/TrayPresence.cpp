#include "app/TrayPresence.h"

#include "platform/x11/SystemTrayProbe.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

namespace lumacast {

namespace {
const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
} // namespace

TrayPresence::TrayPresence(int interval, QObject *parent) : QObject(parent)
{
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
    // A watcher that never answers keeps at most one question out at a time.
    if (m_asking)
        return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        settle(false);
        return;
    }
    // No owner check first: asking a name nobody owns is answered at once by the bus, with an error.
    QDBusMessage get = QDBusMessage::createMethodCall(kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    m_asking = true;
    auto *answer = new QDBusPendingCallWatcher(bus.asyncCall(get, 500), this);
    connect(answer, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *call) {
        call->deleteLater();
        m_asking = false;
        const QDBusMessage reply = call->reply();
        settle(reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
               && reply.arguments().constFirst().value<QDBusVariant>().variant().toBool());
    });
}

void TrayPresence::settle(bool dbusHost)
{
    const bool xembed = !dbusHost && QGuiApplication::platformName() == QLatin1String("xcb")
        && x11::systemTrayManagerRunning();
    // A panel that hosts both kinds takes the XEmbed selection a moment before its D-Bus host
    // registers, and the first icon fixes Qt's road for good: an XEmbed tray alone counts from
    // the second look on.
    const bool xembedSettled = xembed && m_xembedSeen;
    m_xembedSeen = xembed;
    const bool available = dbusHost || xembedSettled || (xembed && m_available);
    if (available != m_available) {
        m_available = available;
        emit availableChanged(available);
    }
}

} // namespace lumacast
