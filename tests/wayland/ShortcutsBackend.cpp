// A GlobalShortcuts backend for the portal frontend, of the test's own: it binds every shortcut
// to its preferred trigger (described as "Press <trigger>"), writes the app id each session was
// opened for ("app_id=<id>") and each binding it was asked for to the file given as its first
// argument, and emits Activated when the test calls its Activate method (interface
// org.lumacast.TestShortcuts on the same object). A second argument makes it answer as broken
// desktops do: "fail-session" refuses every session, "bind-none" binds nothing and says it
// succeeded, "bind-first" binds only the first shortcut, "silent" never answers a bind, and
// "kde-keeps-first" binds every shortcut but, as KDE Plasma's shortcut service
// (org.kde.kglobalaccel, served here too), gives a key only to the first: the others' keys belong
// to other shortcuts there.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
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

// One shortcut as KDE's shortcut service lists it: (ssssssaiai).
struct KdeShortcutInfo {
    QString name;
    QList<int> keys;
};
Q_DECLARE_METATYPE(KdeShortcutInfo)

QDBusArgument &operator<<(QDBusArgument &argument, const KdeShortcutInfo &info)
{
    argument.beginStructure();
    argument << info.name << info.name << QStringLiteral("lumacast") << QStringLiteral("lumacast")
             << QStringLiteral("default") << QStringLiteral("Default Context") << info.keys << QList<int>{0x1000044};
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, KdeShortcutInfo &info)
{
    QString unused;
    QList<int> defaults;
    argument.beginStructure();
    argument >> info.name >> unused >> unused >> unused >> unused >> unused >> info.keys >> defaults;
    argument.endStructure();
    return argument;
}

class Backend : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.impl.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    Backend(QString log, QString mode) : m_log(std::move(log)), m_mode(std::move(mode)) {}
    uint version() const { return 1; }
    QString lastSession;
    QStringList boundIds; // of the last bind, in the order asked

public Q_SLOTS:
    uint CreateSession(const QDBusObjectPath &, const QDBusObjectPath &session, const QString &appId,
                       const QVariantMap &, QVariantMap &results)
    {
        QFile log(m_log);
        log.open(QIODevice::Append);
        log.write(QStringLiteral("app_id=%1\n").arg(appId).toUtf8());
        if (m_mode == QLatin1String("fail-session"))
            return 2;
        lastSession = session.path();
        results.insert(QStringLiteral("session_id"), session.path());
        return 0;
    }

    uint BindShortcuts(const QDBusObjectPath &, const QDBusObjectPath &session, const QList<Shortcut> &shortcuts,
                       const QString &, const QVariantMap &, const QDBusMessage &message, QVariantMap &results)
    {
        if (m_mode == QLatin1String("silent")) {
            message.setDelayedReply(true); // and never sent
            return 0;
        }
        lastSession = session.path();
        QList<Shortcut> bound;
        boundIds.clear();
        QFile log(m_log);
        log.open(QIODevice::Append);
        for (const Shortcut &s : shortcuts) {
            const QString trigger = s.properties.value(QStringLiteral("preferred_trigger")).toString();
            log.write(QStringLiteral("%1=%2\n").arg(s.id, trigger).toUtf8());
            if (m_mode == QLatin1String("bind-none") || (m_mode == QLatin1String("bind-first") && !bound.isEmpty()))
                continue;
            boundIds.append(s.id);
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
    QString m_mode;
};

// KDE's shortcut service: its registry (/kglobalaccel) and our component.
class KdeShortcuts : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.KGlobalAccel")
public:
    using QObject::QObject;
public Q_SLOTS:
    QDBusObjectPath getComponent(const QString &name) { return QDBusObjectPath(QStringLiteral("/component/") + name); }
};

class KdeComponent : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.kglobalaccel.Component")
public:
    explicit KdeComponent(Backend &backend) : m_backend(backend) {}
public Q_SLOTS:
    QList<KdeShortcutInfo> allShortcutInfos()
    {
        QList<KdeShortcutInfo> infos;
        for (const QString &id : m_backend.boundIds)
            infos.append({id, {infos.isEmpty() ? 0x12000020 : 0}}); // Meta+Shift+Space, then none
        return infos;
    }

private:
    Backend &m_backend;
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
    qDBusRegisterMetaType<KdeShortcutInfo>();
    qDBusRegisterMetaType<QList<KdeShortcutInfo>>();
    Backend backend(app.arguments().value(1), app.arguments().value(2));
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
    KdeShortcuts kdeShortcuts;
    KdeComponent kdeComponent(backend);
    if (app.arguments().value(2) == QLatin1String("kde-keeps-first")
        && (!bus.registerObject(QStringLiteral("/kglobalaccel"), &kdeShortcuts, QDBusConnection::ExportAllSlots)
            || !bus.registerObject(QStringLiteral("/component/lumacast"), &kdeComponent, QDBusConnection::ExportAllSlots)
            || !bus.registerService(QStringLiteral("org.kde.kglobalaccel")))) {
        std::fprintf(stderr, "shortcuts backend: cannot serve KDE's shortcut service\n");
        return 1;
    }
    return app.exec();
}

#include "ShortcutsBackend.moc"
