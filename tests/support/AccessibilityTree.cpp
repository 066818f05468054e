#include "support/AccessibilityTree.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QThread>

namespace {

const QString kAccessible = QStringLiteral("org.a11y.atspi.Accessible");
const QString kComponent = QStringLiteral("org.a11y.atspi.Component");
const QString kRootPath = QStringLiteral("/org/a11y/atspi/accessible/root");
constexpr int kCallTimeoutMs = 5000;
constexpr uint kStateShowing = 25; // AtspiStateType ATSPI_STATE_SHOWING
constexpr uint kScreenCoordinates = 0;

int s_connections = 0;

QDBusMessage call(const QDBusConnection &bus, const QString &service, const QString &path, const QString &interface,
                  const QString &method, const QVariantList &arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(service, path, interface, method);
    message.setArguments(arguments);
    return bus.call(message, QDBus::Block, kCallTimeoutMs);
}

bool answered(const QDBusMessage &reply)
{
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
}

} // namespace

AccessibilityTree::AccessibilityTree(const QString &sessionBus, qint64 pid)
    : m_connectionName(QStringLiteral("lumacast-road-%1").arg(++s_connections)), m_sessionAddress(sessionBus),
      m_pid(pid)
{
}

AccessibilityTree::~AccessibilityTree()
{
    m_bus.reset();
    QDBusConnection::disconnectFromBus(m_connectionName + QStringLiteral("-a11y"));
    QDBusConnection::disconnectFromBus(m_connectionName + QStringLiteral("-session"));
}

bool AccessibilityTree::attach(std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;; QThread::msleep(200)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (!m_bus) {
            const QDBusConnection session =
                QDBusConnection::connectToBus(m_sessionAddress, m_connectionName + QStringLiteral("-session"));
            if (!session.isConnected()) {
                QDBusConnection::disconnectFromBus(session.name());
                continue;
            }
            // Asking starts the accessibility bus when it is not running yet.
            const QDBusMessage reply = call(session, QStringLiteral("org.a11y.Bus"), QStringLiteral("/org/a11y/bus"),
                                            QStringLiteral("org.a11y.Bus"), QStringLiteral("GetAddress"));
            if (!answered(reply))
                continue;
            const QDBusConnection bus =
                QDBusConnection::connectToBus(reply.arguments().at(0).toString(), m_connectionName + QStringLiteral("-a11y"));
            if (!bus.isConnected()) {
                QDBusConnection::disconnectFromBus(bus.name());
                continue;
            }
            m_bus = bus;
        }
        // The program joins the bus some time after it starts.
        QDBusConnectionInterface *names = m_bus->interface();
        for (const QString &name : names->registeredServiceNames().value()) {
            if (!name.startsWith(QLatin1Char(':')) || names->servicePid(name).value() != m_pid)
                continue;
            m_service = name;
            if (root())
                return true;
            m_service.clear();
        }
    }
}

std::optional<AccessibilityTree::Node> AccessibilityTree::root() const
{
    return node(kRootPath);
}

std::optional<AccessibilityTree::Node> AccessibilityTree::node(const QString &path) const
{
    if (!m_bus || m_service.isEmpty() || path.isEmpty())
        return std::nullopt;
    Node result;
    result.path = path;
    const QDBusMessage role = call(*m_bus, m_service, path, kAccessible, QStringLiteral("GetRoleName"));
    if (!answered(role))
        return std::nullopt;
    result.role = role.arguments().at(0).toString();
    const QDBusMessage name = call(*m_bus, m_service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("Get"), {kAccessible, QStringLiteral("Name")});
    if (answered(name))
        result.name = name.arguments().at(0).value<QDBusVariant>().variant().toString();
    const QDBusMessage extents = call(*m_bus, m_service, path, kComponent, QStringLiteral("GetExtents"),
                                      {QVariant::fromValue(kScreenCoordinates)});
    if (answered(extents)) {
        const QDBusArgument box = extents.arguments().at(0).value<QDBusArgument>();
        int x = 0, y = 0, width = 0, height = 0;
        box.beginStructure();
        box >> x >> y >> width >> height;
        box.endStructure();
        result.extents = QRect(x, y, width, height);
    }
    return result;
}

QList<QString> AccessibilityTree::childPaths(const QString &path) const
{
    QList<QString> paths;
    if (!m_bus || m_service.isEmpty())
        return paths;
    const QDBusMessage reply = call(*m_bus, m_service, path, kAccessible, QStringLiteral("GetChildren"));
    if (!answered(reply))
        return paths;
    // a(so): the connection holding each child (always the program's own here) and its path.
    const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        QString service;
        QDBusObjectPath child;
        list.beginStructure();
        list >> service >> child;
        list.endStructure();
        if (service == m_service)
            paths << child.path();
    }
    list.endArray();
    return paths;
}

bool AccessibilityTree::showing(const QString &path) const
{
    const QDBusMessage reply = call(*m_bus, m_service, path, kAccessible, QStringLiteral("GetState"));
    if (!answered(reply))
        return false;
    QList<uint> words;
    reply.arguments().at(0).value<QDBusArgument>() >> words;
    return !words.isEmpty() && (words[0] & (1u << kStateShowing));
}

QList<AccessibilityTree::Node> AccessibilityTree::children(const Node &parent) const
{
    QList<Node> result;
    for (const QString &path : childPaths(parent.path))
        if (showing(path))
            if (const auto child = node(path))
                result << *child;
    return result;
}

std::optional<AccessibilityTree::Node> AccessibilityTree::find(const QString &role, const QString &name,
                                                               const std::optional<Node> &under) const
{
    const std::optional<Node> start = under ? under : root();
    if (!start)
        return std::nullopt;
    QList<Node> pending = children(*start);
    while (!pending.isEmpty()) {
        const Node next = pending.takeFirst();
        if (next.role == role && next.name == name)
            return next;
        pending = children(next) + pending;
    }
    return std::nullopt;
}

std::optional<AccessibilityTree::Node> AccessibilityTree::waitFor(const QString &role, const QString &name,
                                                                  std::chrono::milliseconds timeout,
                                                                  const std::optional<Node> &under) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;; QThread::msleep(200)) {
        if (auto found = find(role, name, under))
            return found;
        if (std::chrono::steady_clock::now() > deadline)
            return std::nullopt;
    }
}

QString AccessibilityTree::dump() const
{
    QString out;
    if (const auto top = root())
        dump(*top, 0, out);
    return out;
}

void AccessibilityTree::dump(const Node &node, int depth, QString &out) const
{
    out += QStringLiteral("%1%2 '%3' %4,%5 %6x%7\n")
               .arg(QString(depth * 2, QLatin1Char(' ')), node.role, node.name)
               .arg(node.extents.x())
               .arg(node.extents.y())
               .arg(node.extents.width())
               .arg(node.extents.height());
    for (const Node &child : children(node))
        dump(child, depth + 1, out);
}
