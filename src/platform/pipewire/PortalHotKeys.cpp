#include "platform/pipewire/PortalHotKeys.h"

#include "model/LogCategories.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QTimer>

#include <unistd.h>

namespace lumacast::pipewire {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

// One shortcut as the portal takes it: (sa{sv}).
struct PortalShortcut {
    QString id;
    QVariantMap properties;
};

QDBusArgument &operator<<(QDBusArgument &argument, const PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument << shortcut.id << shortcut.properties;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PortalShortcut &shortcut)
{
    argument.beginStructure();
    argument >> shortcut.id >> shortcut.properties;
    argument.endStructure();
    return argument;
}

} // namespace
} // namespace lumacast::pipewire

Q_DECLARE_METATYPE(lumacast::pipewire::PortalShortcut)

namespace lumacast::pipewire {

bool PortalHotKeys::isOffered()
{
    QDBusMessage get = QDBusMessage::createMethodCall(kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get.setArguments({kShortcuts, QStringLiteral("version")});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(get, QDBus::Block, 5000);
    return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
        && reply.arguments().front().value<QDBusVariant>().variant().toUInt() > 0;
}

QString PortalHotKeys::preferredTrigger(quint32 keyCode, quint32 carbonModifiers)
{
    QStringList parts;
    if (carbonModifiers & carbon_modifier::control)
        parts << QStringLiteral("CTRL");
    if (carbonModifiers & carbon_modifier::option)
        parts << QStringLiteral("ALT");
    if (carbonModifiers & carbon_modifier::shift)
        parts << QStringLiteral("SHIFT");
    if (carbonModifiers & carbon_modifier::command)
        parts << QStringLiteral("LOGO");
    // Keys by their XKB keysym names.
    QString key = ShortcutBinding::keySymbolName(keyCode).value_or(ShortcutBinding::keyName(keyCode));
    if (key.size() == 1)
        key = key.toLower(); // letters' keysyms are lower case
    parts << key;
    return parts.join(QLatin1Char('+'));
}

PortalHotKeys::PortalHotKeys(std::function<Shortcut(quint32 id)> describe, QObject *parent)
    : QObject(parent),
      m_describe(std::move(describe))
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    // The whole message: a slot typed by the signal's arguments is refused for the object path.
    QDBusConnection::sessionBus().connect(kService, kPath, kShortcuts, QStringLiteral("Activated"), this,
                                          SLOT(onActivated(QDBusMessage)));
}

PortalHotKeys::~PortalHotKeys()
{
    closeSession();
}

int PortalHotKeys::installEventHandler(HandlerProc proc, void *userData, EventHandlerRef *outRef)
{
    const EventHandlerRef ref = m_nextRef++;
    m_handlers[ref] = {proc, userData};
    if (outRef)
        *outRef = ref;
    return hot_key_status::noErr;
}

int PortalHotKeys::removeEventHandler(EventHandlerRef ref)
{
    return m_handlers.erase(ref) ? hot_key_status::noErr : hot_key_status::paramErr;
}

int PortalHotKeys::registerEventHotKey(quint32 keyCode, quint32 modifiers, EventHotKeyID hotKeyID, EventHotKeyRef *outRef)
{
    const EventHotKeyRef ref = m_nextRef++;
    m_registrations[ref] = {preferredTrigger(keyCode, modifiers), hotKeyID};
    if (outRef)
        *outRef = ref;
    scheduleBind();
    return hot_key_status::noErr;
}

int PortalHotKeys::unregisterEventHotKey(EventHotKeyRef ref)
{
    if (!m_registrations.erase(ref))
        return hot_key_status::paramErr;
    scheduleBind();
    return hot_key_status::noErr;
}

void PortalHotKeys::scheduleBind()
{
    // A change of bindings unregisters and registers every key in one go: bound once, after.
    if (m_bindScheduled)
        return;
    m_bindScheduled = true;
    QTimer::singleShot(0, this, [this] {
        m_bindScheduled = false;
        if (m_binding)
            m_bindAgain = true;
        else
            bind();
    });
}

void PortalHotKeys::bind()
{
    // The desktop binds a session's shortcuts once: new bindings take a new session.
    closeSession();
    m_bound.clear();
    if (m_registrations.empty())
        return;
    m_binding = true;
    request(QStringLiteral("CreateSession"), {},
            {{QStringLiteral("session_handle_token"), QStringLiteral("lumacast%1_%2").arg(getpid()).arg(++m_tokens)}},
            [this](uint code, const QVariantMap &results) {
                m_session = results.value(QStringLiteral("session_handle")).toString();
                if (code != 0 || m_session.isEmpty()) {
                    finish(QStringLiteral("The desktop did not open a shortcuts session (response %1)").arg(code));
                    return;
                }
                QList<PortalShortcut> shortcuts;
                for (const auto &[ref, registration] : m_registrations) {
                    const Shortcut named = m_describe(registration.hotKeyID.id);
                    shortcuts.append({named.id,
                                      {{QStringLiteral("description"), named.description},
                                       {QStringLiteral("preferred_trigger"), registration.trigger}}});
                }
                request(QStringLiteral("BindShortcuts"),
                        {QVariant::fromValue(QDBusObjectPath(m_session)), QVariant::fromValue(shortcuts), QString()}, {},
                        [this](uint code, const QVariantMap &results) {
                            if (code != 0) {
                                finish(code == 1 ? QStringLiteral("The shortcuts were declined in the desktop's dialog")
                                                 : QStringLiteral("The desktop could not bind the shortcuts"));
                                return;
                            }
                            QList<PortalShortcut> bound;
                            results.value(QStringLiteral("shortcuts")).value<QDBusArgument>() >> bound;
                            for (const PortalShortcut &s : bound)
                                m_bound[s.id] = s.properties.value(QStringLiteral("trigger_description")).toString();
                            finish({});
                        });
            });
}

void PortalHotKeys::finish(const QString &error)
{
    m_binding = false;
    if (!error.isEmpty())
        qCWarning(log::shortcuts(), "portal shortcuts: %s", qUtf8Printable(error));
    else
        qCInfo(log::shortcuts(), "portal shortcuts bound (%ld)", long(m_bound.size()));
    if (onBound)
        onBound(error);
    if (m_bindAgain) {
        m_bindAgain = false;
        bind();
    }
}

void PortalHotKeys::request(const QString &method, QList<QVariant> arguments, QVariantMap options,
                            std::function<void(uint, const QVariantMap &)> done)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString token = QStringLiteral("lumacast%1_%2").arg(getpid()).arg(++m_tokens);
    options.insert(QStringLiteral("handle_token"), token);
    QString sender = bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    m_pendingPath = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    m_pendingDone = std::move(done);
    bus.connect(kService, m_pendingPath, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                this, SLOT(onResponse(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kShortcuts, method);
    arguments << options;
    call.setArguments(arguments);
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, method] {
        watcher->deleteLater();
        if (watcher->isError())
            onResponse(2, {{QStringLiteral("error"), watcher->error().message()}});
    });
}

void PortalHotKeys::onResponse(uint code, const QVariantMap &results)
{
    if (m_pendingPath.isEmpty())
        return;
    QDBusConnection::sessionBus().disconnect(kService, m_pendingPath, QStringLiteral("org.freedesktop.portal.Request"),
                                             QStringLiteral("Response"), this, SLOT(onResponse(uint, QVariantMap)));
    m_pendingPath.clear();
    auto done = std::move(m_pendingDone);
    m_pendingDone = nullptr;
    if (done)
        done(code, results);
}

void PortalHotKeys::onActivated(const QDBusMessage &message)
{
    const QList<QVariant> arguments = message.arguments();
    const QString session = arguments.value(0).value<QDBusObjectPath>().path();
    const QString shortcutId = arguments.value(1).toString();
    if (session.isEmpty() || session != m_session)
        return;
    for (const auto &[ref, registration] : m_registrations) {
        if (m_describe(registration.hotKeyID.id).id != shortcutId)
            continue;
        const HotKeyEvent event{registration.hotKeyID};
        // The most recently installed handler first, until one handles it.
        for (auto it = m_handlers.rbegin(); it != m_handlers.rend(); ++it) {
            if (it->second.first(&event, it->second.second) != hot_key_status::eventNotHandledErr)
                break;
        }
        return;
    }
}

void PortalHotKeys::closeSession()
{
    if (m_session.isEmpty())
        return;
    QDBusConnection::sessionBus().asyncCall(QDBusMessage::createMethodCall(
        kService, m_session, QStringLiteral("org.freedesktop.portal.Session"), QStringLiteral("Close")));
    m_session.clear();
}

} // namespace lumacast::pipewire
