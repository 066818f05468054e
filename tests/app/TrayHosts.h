#pragma once

// Tray hosts the shell's tests run against, each private to the test and stopped after it: a
// session bus of its own (the rig has none on purpose) and Xfce's panel with only its status
// tray, which hosts StatusNotifierItems over D-Bus and XEmbed icons alike.
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <functional>
#include <vector>

namespace lumacast::testing {

// Spins the event loop until `done` holds or `ms` pass.
inline bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QTest::qWait(50);
    }
    return true;
}

// A D-Bus call answered while the test spins the event loop (no nested event loop, which a quit
// requested earlier in the process would end at once), so that an item in the test's own
// process can answer it too.
inline QDBusMessage callAndWait(const QDBusConnection &bus, const QDBusMessage &call)
{
    QDBusPendingCall pending = bus.asyncCall(call, 5000);
    waitFor([&pending] { return pending.isFinished(); }, 6000);
    return pending.reply();
}

inline bool xfcePanelInstalled()
{
    return !QStandardPaths::findExecutable(QStringLiteral("xfce4-panel")).isEmpty()
        && !QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty();
}

// A private session bus and, on demand, an Xfce panel holding one status tray on the rig's X
// display. The panel's settings live in a folder of this object's (its settings daemon is
// started by the bus, so the bus gets that folder too).
class XfceTrayDesktop {
public:
    XfceTrayDesktop()
    {
        QFile config(m_home.filePath(QStringLiteral("xfce4/xfconf/xfce-perchannel-xml/xfce4-panel.xml")));
        QDir().mkpath(QFileInfo(config).path());
        if (config.open(QIODevice::WriteOnly))
            config.write(kPanelConfig);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path());
        m_bus.setProcessEnvironment(env);
        m_bus.start(QStringLiteral("dbus-daemon"),
                    {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
        if (m_bus.waitForStarted(5000) && waitForLine(m_bus))
            m_address = QString::fromUtf8(m_bus.readLine()).trimmed();
    }
    ~XfceTrayDesktop()
    {
        stopPanel();
        if (!m_address.isEmpty())
            QDBusConnection::disconnectFromBus(connectionName());
        m_bus.terminate();
        if (!m_bus.waitForFinished(5000))
            m_bus.kill();
    }
    XfceTrayDesktop(const XfceTrayDesktop &) = delete;
    XfceTrayDesktop &operator=(const XfceTrayDesktop &) = delete;

    QString address() const { return m_address; }
    // The environment of a program on this desktop.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), m_home.path());
        return env;
    }
    // The test's own connection to the bus: what a tray host sees.
    QDBusConnection host() const
    {
        return QDBusConnection::connectToBus(m_address, connectionName());
    }

    // Starts the panel and waits for its status tray to take the StatusNotifierWatcher's name.
    bool startPanel()
    {
        m_panel.setProcessEnvironment(environment());
        m_panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_panel.setStandardOutputFile(QProcess::nullDevice());
        // No window manager runs in the rig; the panel waits for one unless told not to.
        m_panel.start(QStringLiteral("xfce4-panel"), {QStringLiteral("--disable-wm-check")});
        return m_panel.waitForStarted(5000) && waitFor([this] { return watcherRunning(); }, 15000);
    }
    void stopPanel()
    {
        if (m_panel.state() == QProcess::NotRunning)
            return;
        m_panel.terminate();
        if (!m_panel.waitForFinished(5000))
            m_panel.kill();
        m_panel.waitForFinished(2000);
        waitFor([this] { return !watcherRunning(); }, 5000);
    }

    bool watcherRunning() const
    {
        QDBusConnection bus = host();
        return bus.isConnected() && bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
    }
    // The watcher's RegisteredStatusNotifierItems: "<bus name>/<object path>" each.
    QStringList registeredItems() const
    {
        const QVariant items = property(QStringLiteral("org.kde.StatusNotifierWatcher"),
                                        QStringLiteral("/StatusNotifierWatcher"),
                                        QStringLiteral("org.kde.StatusNotifierWatcher"),
                                        QStringLiteral("RegisteredStatusNotifierItems"));
        return items.toStringList();
    }
    QVariant property(const QString &service, const QString &path, const QString &interface,
                      const QString &name) const
    {
        QDBusMessage get = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
        get << interface << name;
        const QDBusMessage reply = callAndWait(host(), get);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return {};
        return reply.arguments().constFirst().value<QDBusVariant>().variant();
    }

private:
    // Without the event loop: a test program may start its bus before its application object.
    static bool waitForLine(QProcess &process)
    {
        for (int i = 0; i < 100 && !process.canReadLine(); ++i)
            process.waitForReadyRead(100);
        return process.canReadLine();
    }
    QString connectionName() const { return QStringLiteral("trayhost-") + m_address.section(QLatin1Char(','), 0, 0); }

    static constexpr char kPanelConfig[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array"><value type="int" value="1"/></property>
    </property>
  </property>
  <property name="plugins" type="empty"><property name="plugin-1" type="string" value="systray"/></property>
</channel>
)";

    QTemporaryDir m_home;
    QProcess m_bus;
    QProcess m_panel;
    QString m_address;
};

// One entry of a dbusmenu layout as a host reads it.
struct DBusMenuEntry {
    int id = 0;
    QVariantMap properties;
    std::vector<DBusMenuEntry> children;

    QString label() const { return properties.value(QStringLiteral("label")).toString(); }
    bool enabled() const { return properties.value(QStringLiteral("enabled"), true).toBool(); }
    bool visible() const { return properties.value(QStringLiteral("visible"), true).toBool(); }
    int toggleState() const { return properties.value(QStringLiteral("toggle-state"), -1).toInt(); }
    bool isSeparator() const { return properties.value(QStringLiteral("type")).toString() == QLatin1String("separator"); }
    // The entry under this one by labels, descending into submenus; nullptr without one.
    const DBusMenuEntry *find(const QStringList &labels) const
    {
        const DBusMenuEntry *level = this;
        for (const QString &label : labels) {
            const auto found = std::find_if(level->children.begin(), level->children.end(),
                                            [&label](const DBusMenuEntry &e) { return e.label() == label && e.visible(); });
            if (found == level->children.end())
                return nullptr;
            level = &*found;
        }
        return level;
    }
    QStringList labels() const
    {
        QStringList result;
        for (const DBusMenuEntry &child : children) {
            if (child.visible())
                result << (child.isSeparator() ? QStringLiteral("-") : child.label());
        }
        return result;
    }
};

inline DBusMenuEntry readMenuEntry(const QDBusArgument &argument)
{
    DBusMenuEntry entry;
    argument.beginStructure();
    argument >> entry.id >> entry.properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        entry.children.push_back(readMenuEntry(child.variant().value<QDBusArgument>()));
    }
    argument.endArray();
    argument.endStructure();
    return entry;
}

// A tray host's side of one StatusNotifierItem and its com.canonical.dbusmenu menu.
class DBusMenuHost {
public:
    DBusMenuHost(QDBusConnection bus, QString service, QString itemPath)
        : m_bus(std::move(bus)), m_service(std::move(service)), m_itemPath(std::move(itemPath))
    {
    }
    // "<bus name>/<object path>", as the watcher lists it.
    static DBusMenuHost fromRegistration(QDBusConnection bus, const QString &registration)
    {
        const qsizetype slash = registration.indexOf(QLatin1Char('/'));
        return DBusMenuHost(std::move(bus), registration.left(slash), registration.mid(slash));
    }

    QString service() const { return m_service; }
    QString itemPath() const { return m_itemPath; }
    QVariant itemProperty(const QString &name) const
    {
        QDBusMessage get = QDBusMessage::createMethodCall(m_service, m_itemPath,
                                                          QStringLiteral("org.freedesktop.DBus.Properties"),
                                                          QStringLiteral("Get"));
        get << QStringLiteral("org.kde.StatusNotifierItem") << name;
        const QDBusMessage reply = callAndWait(m_bus, get);
        return reply.arguments().isEmpty() ? QVariant() : reply.arguments().constFirst().value<QDBusVariant>().variant();
    }
    // The first image of IconPixmap, decoded from its ARGB32 in network byte order.
    QImage iconImage() const
    {
        const QDBusArgument pixmaps = itemProperty(QStringLiteral("IconPixmap")).value<QDBusArgument>();
        QImage image;
        pixmaps.beginArray();
        if (!pixmaps.atEnd()) {
            int width = 0, height = 0;
            QByteArray bytes;
            pixmaps.beginStructure();
            pixmaps >> width >> height >> bytes;
            pixmaps.endStructure();
            image = QImage(width, height, QImage::Format_ARGB32);
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    const auto *p = reinterpret_cast<const uchar *>(bytes.constData()) + 4 * (y * width + x);
                    image.setPixel(x, y, qRgba(p[1], p[2], p[3], p[0]));
                }
            }
        }
        return image; // the first size is enough
    }
    QString menuPath() const
    {
        return itemProperty(QStringLiteral("Menu")).value<QDBusObjectPath>().path();
    }
    bool activate(int x, int y) { return callItem(QStringLiteral("Activate"), {x, y}); }

    bool aboutToShow(int id = 0) { return callMenu(QStringLiteral("AboutToShow"), {id}); }
    bool event(int id, const QString &name)
    {
        return callMenu(QStringLiteral("Event"),
                        {id, name, QVariant::fromValue(QDBusVariant(QString())), uint(0)});
    }
    DBusMenuEntry layout()
    {
        QDBusMessage get = QDBusMessage::createMethodCall(m_service, menuPath(), QStringLiteral("com.canonical.dbusmenu"),
                                                          QStringLiteral("GetLayout"));
        get << 0 << -1 << QStringList();
        const QDBusMessage reply = callAndWait(m_bus, get);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() < 2)
            return {};
        return readMenuEntry(reply.arguments().at(1).value<QDBusArgument>());
    }
    // Opens the menu as a host does, clicks the entry at `labels` and closes the menu.
    bool click(const QStringList &labels, bool thenClose = true)
    {
        aboutToShow(0);
        event(0, QStringLiteral("opened"));
        const DBusMenuEntry menu = layout();
        const DBusMenuEntry *entry = menu.find(labels);
        if (!entry)
            return false;
        const bool sent = event(entry->id, QStringLiteral("clicked"));
        if (thenClose)
            event(0, QStringLiteral("closed"));
        return sent;
    }

private:
    bool callItem(const QString &method, const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(m_service, m_itemPath,
                                                           QStringLiteral("org.kde.StatusNotifierItem"), method);
        call.setArguments(arguments);
        return callAndWait(m_bus, call).type() == QDBusMessage::ReplyMessage;
    }
    bool callMenu(const QString &method, const QVariantList &arguments)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(m_service, menuPath(), QStringLiteral("com.canonical.dbusmenu"),
                                                           method);
        call.setArguments(arguments);
        return callAndWait(m_bus, call).type() == QDBusMessage::ReplyMessage;
    }

    QDBusConnection m_bus;
    QString m_service;
    QString m_itemPath;
};

} // namespace lumacast::testing
