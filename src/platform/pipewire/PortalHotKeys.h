#pragma once

// Global hot keys through the desktop portal's GlobalShortcuts interface, for a Wayland session
// whose desktop offers it (an XWayland grab fires only while one of our windows has the
// keyboard). Registrations are gathered and bound together in one portal session, each with the
// user's binding as its preferred trigger; the desktop decides the triggers it really binds
// (`boundTriggers`), and a press arrives as the portal's Activated signal.
//
// Main thread only; the portal is asked asynchronously (the desktop may show a dialog).

#include "store/GlobalKeyboardShortcuts.h"

#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <map>

namespace lumacast::pipewire {

class PortalHotKeys final : public QObject, public HotKeyBackend {
    Q_OBJECT
public:
    // Whether the session bus's portal has the GlobalShortcuts interface.
    static bool isOffered();
    // The trigger in the shortcuts specification's form ("CTRL+SHIFT+r") for a stored binding.
    static QString preferredTrigger(quint32 keyCode, quint32 carbonModifiers);

    // `describe` names registration `id` for the desktop: its stable identifier and the text the
    // desktop shows.
    struct Shortcut {
        QString id;
        QString description;
    };
    explicit PortalHotKeys(std::function<Shortcut(quint32 id)> describe, QObject *parent = nullptr);
    ~PortalHotKeys() override;

    int installEventHandler(HandlerProc proc, void *userData, EventHandlerRef *outRef) override;
    int removeEventHandler(EventHandlerRef ref) override;
    // Never refused here: the desktop answers later, for all the keys together.
    int registerEventHotKey(quint32 keyCode, quint32 modifiers, EventHotKeyID hotKeyID, EventHotKeyRef *outRef) override;
    int unregisterEventHotKey(EventHotKeyRef ref) override;

    // What the desktop bound, by shortcut identifier: its own description of each trigger.
    const std::map<QString, QString> &boundTriggers() const { return m_bound; }
    // After each binding the desktop answered (main thread); `error` is empty on success.
    std::function<void(const QString &error)> onBound;

private Q_SLOTS:
    void onResponse(uint code, const QVariantMap &results);
    void onActivated(const QDBusMessage &message); // (o session, s shortcut, t timestamp, a{sv})

private:
    struct Registration {
        QString trigger;
        EventHotKeyID hotKeyID;
    };
    void scheduleBind();
    void bind();
    void request(const QString &method, QList<QVariant> arguments, QVariantMap options,
                 std::function<void(uint, const QVariantMap &)> done);
    void closeSession();
    void finish(const QString &error);

    std::function<Shortcut(quint32)> m_describe;
    std::map<EventHotKeyRef, Registration> m_registrations;
    std::map<EventHandlerRef, std::pair<HandlerProc, void *>> m_handlers;
    EventHotKeyRef m_nextRef = 1;
    std::map<QString, QString> m_bound;
    QString m_session;
    QString m_pendingPath;
    std::function<void(uint, const QVariantMap &)> m_pendingDone;
    bool m_bindScheduled = false;
    bool m_binding = false;
    bool m_bindAgain = false;
    int m_tokens = 0;
};

} // namespace lumacast::pipewire
