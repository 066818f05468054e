#include "platform/pipewire/PortalHotKeys.h"

#include "platform/pipewire/GnomeKeyBindings.h"

#include "model/LogCategories.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QFile>
#include <QTimer>

#include <unistd.h>

#include <algorithm>

namespace lumacast::pipewire {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kShortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString kRegistry = QStringLiteral("org.freedesktop.host.portal.Registry");
const QString kKdeShortcuts = QStringLiteral("org.kde.kglobalaccel");

// The name of the systemd unit this process runs in (its cgroup's last part), if any.
QString ownUnit()
{
    QFile file(QStringLiteral("/proc/self/cgroup"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = file.read(4096);
    const QByteArray line = text.split('\n').value(0).trimmed();
    return QString::fromUtf8(line.mid(line.lastIndexOf('/') + 1));
}

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

PortalHotKeys::PortalHotKeys(std::function<Shortcut(quint32 id)> describe, QString appId,
                             std::shared_ptr<HotKeyBackend> fallback, QObject *parent)
    : QObject(parent),
      m_bus(QDBusConnection::connectToBus(QDBusConnection::SessionBus,
                                          QStringLiteral("lumacast-shortcuts-%1").arg(quintptr(this)))),
      m_appId(appId),
      m_describe(std::move(describe)),
      m_fallback(std::move(fallback))
{
    qDBusRegisterMetaType<PortalShortcut>();
    qDBusRegisterMetaType<QList<PortalShortcut>>();
    m_answerTimer.setSingleShot(true);
    connect(&m_answerTimer, &QTimer::timeout, this, &PortalHotKeys::giveUpRequest);
    if (m_fallback)
        m_fallback->installEventHandler(&PortalHotKeys::onFallbackKey, this, &m_fallbackHandler);
    // The whole message: a slot typed by the signal's arguments is refused for the object path.
    m_bus.connect(kService, kPath, kShortcuts, QStringLiteral("Activated"), this, SLOT(onActivated(QDBusMessage)));
    nameApplication(appId);
}

PortalHotKeys::~PortalHotKeys()
{
    closeSession();
    if (m_fallback) {
        for (auto &[ref, registration] : m_registrations)
            if (registration.fallbackRef)
                m_fallback->unregisterEventHotKey(*registration.fallbackRef);
        m_fallback->removeEventHandler(m_fallbackHandler);
    }
    const QString name = m_bus.name();
    m_bus = QDBusConnection(QString());
    QDBusConnection::disconnectFromBus(name);
}

// Registers `appId` for this connection with the portal's host registry, before any other call on
// it; the binding waits for the answer.
void PortalHotKeys::nameApplication(const QString &appId)
{
    if (appId.isEmpty()) {
        m_named = true;
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kRegistry, QStringLiteral("Register"));
    call.setArguments({appId, QVariantMap()});
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, 15000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, appId] {
        watcher->deleteLater();
        if (!watcher->isError()) {
            named(QStringLiteral("the desktop portal knows Lumacast as \"%1\"").arg(appId), false);
            return;
        }
        const QDBusError error = watcher->error();
        if (error.type() != QDBusError::UnknownInterface && error.type() != QDBusError::UnknownMethod
            && error.type() != QDBusError::UnknownObject) {
            named(QStringLiteral("the desktop portal did not take Lumacast's name \"%1\": %2").arg(appId, error.message()),
                  true);
            return;
        }
        // An older portal: it knows us only by the scope a desktop's launcher runs us in.
        const QString unit = ownUnit();
        if (unit.startsWith(QStringLiteral("app-")) && unit.contains(appId))
            named(QStringLiteral("the desktop portal knows Lumacast by its scope %1").arg(unit), false);
        else
            named(QStringLiteral("the desktop portal has no host registry and Lumacast runs outside an app-%1 scope "
                                 "(in %2): the desktop may not know which program asks for shortcuts; started "
                                 "from its menu entry it would")
                      .arg(appId, unit.isEmpty() ? QStringLiteral("no unit") : unit),
                  true);
    });
}

void PortalHotKeys::named(const QString &outcome, bool warning)
{
    if (warning)
        qCWarning(log::shortcuts(), "%s", qUtf8Printable(outcome));
    else
        qCInfo(log::shortcuts(), "%s", qUtf8Printable(outcome));
    m_named = true;
    if (m_binding) {
        // A binding waited for the name.
        m_binding = false;
        m_bindAgain = false;
        bind();
    }
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
    Registration &registration = m_registrations[ref];
    registration = {preferredTrigger(keyCode, modifiers), hotKeyID, keyCode, modifiers, std::nullopt};
    // Until the desktop binds it, the key works in our windows.
    EventHotKeyRef fallbackRef = 0;
    if (m_fallback && m_fallback->registerEventHotKey(keyCode, modifiers, hotKeyID, &fallbackRef) == hot_key_status::noErr)
        registration.fallbackRef = fallbackRef;
    if (outRef)
        *outRef = ref;
    scheduleBind();
    return hot_key_status::noErr;
}

int PortalHotKeys::unregisterEventHotKey(EventHotKeyRef ref)
{
    const auto it = m_registrations.find(ref);
    if (it == m_registrations.end())
        return hot_key_status::paramErr;
    if (m_fallback && it->second.fallbackRef)
        m_fallback->unregisterEventHotKey(*it->second.fallbackRef);
    m_registrations.erase(it);
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
    m_keyless.clear();
    m_answered = false;
    m_error.clear();
    if (m_registrations.empty())
        return;
    m_binding = true;
    if (!m_named)
        return; // bound once the portal has our name (`named`)
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
                            confirmWithKde();
                        });
            });
}

// KDE's portal describes a shortcut as bound even where its shortcut service gave it no key (the
// key asked for belongs to another shortcut). Where that service has our component, the keys it
// holds are the ones bound; without it (another desktop), or when it does not answer, the portal's
// answer stands.
void PortalHotKeys::confirmWithKde()
{
    if (m_appId.isEmpty() || m_bound.empty()) {
        finish({});
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kKdeShortcuts, QStringLiteral("/kglobalaccel"),
                                                       QStringLiteral("org.kde.KGlobalAccel"), QStringLiteral("getComponent"));
    call.setArguments({m_appId});
    call.setAutoStartService(false); // asked only where it runs: never started on another desktop
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, 5000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher] {
        watcher->deleteLater();
        const QDBusMessage reply = watcher->reply();
        const QString component = reply.arguments().value(0).value<QDBusObjectPath>().path();
        if (reply.type() != QDBusMessage::ReplyMessage || component.isEmpty()) {
            finish({});
            return;
        }
        QDBusMessage list = QDBusMessage::createMethodCall(
            kKdeShortcuts, component, QStringLiteral("org.kde.kglobalaccel.Component"), QStringLiteral("allShortcutInfos"));
        list.setAutoStartService(false);
        auto *infos = new QDBusPendingCallWatcher(m_bus.asyncCall(list, 5000), this);
        connect(infos, &QDBusPendingCallWatcher::finished, this, [this, infos] {
            infos->deleteLater();
            if (infos->reply().type() == QDBusMessage::ReplyMessage)
                dropKeysKdeDoesNotHold(infos->reply());
            finish({});
        });
    });
}

// `infos` is a(ssssssaiai): per shortcut its name, five names of its component and context, the
// keys it holds (0: none) and its default keys.
void PortalHotKeys::dropKeysKdeDoesNotHold(const QDBusMessage &infos)
{
    const QDBusArgument argument = infos.arguments().value(0).value<QDBusArgument>();
    if (argument.currentSignature() != QLatin1String("a(ssssssaiai)"))
        return;
    std::map<QString, bool> holdsKey;
    argument.beginArray();
    while (!argument.atEnd()) {
        QString name;
        QString unused;
        QList<int> keys;
        QList<int> defaults;
        argument.beginStructure();
        argument >> name >> unused >> unused >> unused >> unused >> unused >> keys >> defaults;
        argument.endStructure();
        holdsKey[name] = std::any_of(keys.begin(), keys.end(), [](int key) { return key != 0; });
    }
    argument.endArray();
    for (auto it = m_bound.begin(); it != m_bound.end();) {
        const auto held = holdsKey.find(it->first);
        if (held == holdsKey.end() || held->second) {
            ++it;
            continue;
        }
        qCWarning(log::shortcuts(), "the desktop holds no key for %s (the key asked for may be another shortcut's there)",
                  qUtf8Printable(it->first));
        m_keyless.insert(it->first);
        it = m_bound.erase(it);
    }
}

void PortalHotKeys::finish(const QString &error)
{
    m_binding = false;
    m_answered = true;
    m_error = error;
    if (!error.isEmpty())
        closeSession();
    moveKeysToWhereTheyWork();
    if (!error.isEmpty())
        qCWarning(log::shortcuts(), "portal shortcuts: %s", qUtf8Printable(error));
    else
        qCInfo(log::shortcuts(), "portal shortcuts bound (%ld of %ld)", long(m_bound.size()), long(m_registrations.size()));
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
    const QString token = QStringLiteral("lumacast%1_%2").arg(getpid()).arg(++m_tokens);
    options.insert(QStringLiteral("handle_token"), token);
    QString sender = m_bus.baseService().mid(1);
    sender.replace(QLatin1Char('.'), QLatin1Char('_'));
    const QString path = QStringLiteral("/org/freedesktop/portal/desktop/request/%1/%2").arg(sender, token);
    m_pendingPath = path;
    m_pendingDone = std::move(done);
    m_bus.connect(kService, m_pendingPath, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                  this, SLOT(onResponse(uint, QVariantMap)));
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kShortcuts, method);
    arguments << options;
    call.setArguments(arguments);
    m_answerTimer.start(m_answerTimeoutMs);
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, m_answerTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, path] {
        watcher->deleteLater();
        if (watcher->isError() && m_pendingPath == path)
            onResponse(2, {{QStringLiteral("error"), watcher->error().message()}});
    });
}

// The desktop did not answer in time: the request is withdrawn and the keys stay where they work.
void PortalHotKeys::giveUpRequest()
{
    if (m_pendingPath.isEmpty())
        return;
    m_bus.disconnect(kService, m_pendingPath, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                     this, SLOT(onResponse(uint, QVariantMap)));
    m_bus.asyncCall(QDBusMessage::createMethodCall(kService, m_pendingPath, QStringLiteral("org.freedesktop.portal.Request"),
                                                   QStringLiteral("Close")));
    m_pendingPath.clear();
    m_pendingDone = nullptr;
    finish(QStringLiteral("The desktop did not answer the shortcuts request within %1 s").arg(m_answerTimeoutMs / 1000.0));
}

void PortalHotKeys::onResponse(uint code, const QVariantMap &results)
{
    if (m_pendingPath.isEmpty())
        return;
    m_answerTimer.stop();
    m_bus.disconnect(kService, m_pendingPath, QStringLiteral("org.freedesktop.portal.Request"), QStringLiteral("Response"),
                     this, SLOT(onResponse(uint, QVariantMap)));
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
        if (m_describe(registration.hotKeyID.id).id == shortcutId) {
            dispatch(registration.hotKeyID);
            return;
        }
    }
}

void PortalHotKeys::dispatch(const EventHotKeyID &hotKeyID)
{
    const HotKeyEvent event{hotKeyID};
    // The most recently installed handler first, until one handles it.
    for (auto it = m_handlers.rbegin(); it != m_handlers.rend(); ++it) {
        if (it->second.first(&event, it->second.second) != hot_key_status::eventNotHandledErr)
            break;
    }
}

// A press of a key the fallback holds for us; others (the countdown's own) are not ours.
int PortalHotKeys::onFallbackKey(const HotKeyEvent *event, void *self)
{
    auto *keys = static_cast<PortalHotKeys *>(self);
    if (!event || !event->hotKeyID)
        return hot_key_status::eventNotHandledErr;
    for (const auto &[ref, registration] : keys->m_registrations) {
        if (registration.fallbackRef && registration.hotKeyID == *event->hotKeyID) {
            keys->dispatch(registration.hotKeyID);
            return hot_key_status::noErr;
        }
    }
    return hot_key_status::eventNotHandledErr;
}

bool PortalHotKeys::boundByDesktop(const Registration &registration) const
{
    if (!m_answered || !m_error.isEmpty())
        return false;
    const auto bound = m_bound.find(m_describe(registration.hotKeyID.id).id);
    return bound != m_bound.end() && !bound->second.isEmpty();
}

// After the desktop's answer: the keys it bound leave the fallback (a press must not act twice),
// the others go to it.
void PortalHotKeys::moveKeysToWhereTheyWork()
{
    if (!m_fallback)
        return;
    for (auto &[ref, registration] : m_registrations) {
        const bool bound = boundByDesktop(registration);
        if (bound && registration.fallbackRef) {
            m_fallback->unregisterEventHotKey(*registration.fallbackRef);
            registration.fallbackRef.reset();
        } else if (!bound && !registration.fallbackRef) {
            EventHotKeyRef fallbackRef = 0;
            if (m_fallback->registerEventHotKey(registration.keyCode, registration.modifiers, registration.hotKeyID,
                                                &fallbackRef)
                == hot_key_status::noErr)
                registration.fallbackRef = fallbackRef;
        }
    }
}

QString PortalHotKeys::summary() const
{
    QStringList bound;
    QStringList keyless;
    QStringList windowOnly;
    QStringList kept;
    for (const auto &[ref, registration] : m_registrations) {
        const Shortcut named = m_describe(registration.hotKeyID.id);
        const QString ours = QStringLiteral("%1: %2").arg(
            named.description, ShortcutBinding::displayString(registration.keyCode, registration.modifiers));
        const auto holder = m_desktopKeys ? m_desktopKeys(registration.keyCode, registration.modifiers) : std::nullopt;
        if (holder)
            kept << QStringLiteral("%1 (%2)").arg(ours, *holder);
        else if (boundByDesktop(registration))
            bound << QStringLiteral("%1: %2").arg(named.description, m_bound.at(named.id));
        else if (m_keyless.count(named.id))
            keyless << ours;
        else
            windowOnly << ours;
    }
    QStringList parts;
    if (!m_error.isEmpty())
        parts << m_error + QLatin1Char('.');
    else if (bound.isEmpty() && !windowOnly.isEmpty())
        parts << QStringLiteral("The desktop bound none of the shortcuts.");
    if (!bound.isEmpty())
        parts << QStringLiteral("The desktop bound these shortcuts:\n") + bound.join(QLatin1Char('\n'));
    // Still grabbed in our windows, where the desktop lets the key through.
    if (!keyless.isEmpty())
        parts << QStringLiteral("The desktop gave these shortcuts no key: another of its shortcuts may have the key and "
                                "take the press first. Give them keys in the desktop's shortcut settings:\n")
                + keyless.join(QLatin1Char('\n'));
    if (!kept.isEmpty())
        parts << GnomeKeyBindings::keptKeysNote(kept);
    if (!windowOnly.isEmpty())
        parts << (m_fallback ? QStringLiteral("These shortcuts work only while a Lumacast window has the keyboard:\n")
                             : QStringLiteral("These shortcuts do not work:\n"))
                + windowOnly.join(QLatin1Char('\n'));
    return parts.join(QLatin1Char('\n'));
}

void PortalHotKeys::closeSession()
{
    if (m_session.isEmpty())
        return;
    m_bus.asyncCall(QDBusMessage::createMethodCall(kService, m_session, QStringLiteral("org.freedesktop.portal.Session"),
                                                   QStringLiteral("Close")));
    m_session.clear();
}

} // namespace lumacast::pipewire
