// A GlobalShortcuts backend for the portal frontend, of the test's own: it binds every shortcut
// to its preferred trigger (described as "Press <trigger>"), writes each binding it was asked for
// to the file given as its argument, and emits Activated when the test calls its Activate method
// (interface org.lumacast.TestShortcuts on the same object).
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QFile>
#include <QObject>
#include <QVariantMap>

#include <cstdio>

struct Shortcut {
    QString id;
    QVariantMap properties;
};
Q_DECLARE_METATYPE(Shortcut)

QDBusArgument &operator<<(QDBusArgument &argument, const Shortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, Shortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

class Backend : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    explicit Backend(QString log) : m_log(std::move(log)) {}
    uint version() const { return 1; }
    QString lastSession;

public Q_SLOTS:
    uint CreateSession(const QDBusObjectPath &, const QDBusObjectPath &session, const QString &, const QVariantMap &,
                       QVariantMap &results)
    {
        lastSession = session.path();
        results.insert(QStringLiteral("session_id"), session.path());
        return 0;
    }

    uint BindShortcuts(const QDBusObjectPath &, const QDBusObjectPath &session, const QList<Shortcut> &shortcuts,
                       const QString &, const QVariantMap &, QVariantMap &results)
    {
        lastSession = session.path();
        QList<Shortcut> bound;
        QFile log(m_log);
        log.open(QIODevice::Append);
        for (const Shortcut &s : shortcuts) {
            const QString trigger = s.properties.value(QStringLiteral("preferred_trigger")).toString();
            log.write(QStringLiteral("%1=%2\n").arg(s.id, trigger).toUtf8());
            bound.append({s.id,
                          {{QStringLiteral("description"), s.properties.value(QStringLiteral("description"))},
                           {QStringLiteral("trigger_description"), QStringLiteral("Press ") + trigger}}});
        }
        log.write("--\n");
        results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(bound));
        return 0;
    }

    uint ListShortcuts(const QDBusObjectPath &, const QDBusObjectPath &, QVariantMap &) { return 0; }

Q_SIGNALS:
    void Activated(const QDBusObjectPath &session_handle, const QString &shortcut_id, qulonglong timestamp,
                   const QVariantMap &options);
    void Deactivated(const QDBusObjectPath &session_handle, const QString &shortcut_id, qulonglong timestamp,
                     const QVariantMap &options);

private:
    QString m_log;
};

class TestControl : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.lumacast.TestShortcuts")
public:
    explicit TestControl(Backend &backend) : m_backend(backend) {}

public Q_SLOTS:
    void Activate(const QString &id)
    {
        Q_EMIT m_backend.Activated(QDBusObjectPath(m_backend.lastSession), id, 0, {});
        Q_EMIT m_backend.Deactivated(QDBusObjectPath(m_backend.lastSession), id, 1, {});
    }

private:
    Backend &m_backend;
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    Backend backend(app.arguments().value(1));
    TestControl control(backend);
    QDBusConnection bus = QDBusConnection::sessionBus();
    const auto exported = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals
        | QDBusConnection::ExportAllProperties;
    if (!bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &backend, exported)
        || !bus.registerObject(QStringLiteral("/org/lumacast/test"), &control, QDBusConnection::ExportAllSlots)
        || !bus.registerService(QStringLiteral("org.freedesktop.impl.portal.desktop.lumacasttest"))) {
        std::fprintf(stderr, "shortcuts backend: cannot register on the bus\n");
        return 1;
    }
    return app.exec();
}

#include "ShortcutsBackend.moc"
