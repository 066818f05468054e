#pragma once

// Global hot keys through the desktop portal's GlobalShortcuts interface, for a Wayland session
// whose desktop offers it (an XWayland grab fires only while one of our windows has the
// keyboard). Registrations are gathered and bound together in one portal session, each with the
// user's binding as its preferred trigger; the desktop decides the triggers it really binds
// (`boundTriggers`), and a press arrives as the portal's Activated signal.
//
// A key the desktop does not bind (the bind failed, went unanswered, or left the key out or
// without a trigger) goes to the fallback backend, the XWayland grabs, where it works while one
// of our windows has the keyboard; so does every key until the desktop's first answer.
// `summary` says which keys went where.
//
// The portal knows a program that is not sandboxed by its systemd scope's name
// (app-<id>-<pid>.scope, as desktops launch programs from their menus), or, from
// xdg-desktop-portal 1.19 on, by the name it registers with the portal's host registry before
// any other call on its bus connection. So the hot keys have a bus connection of their own, named
// with `appId` first where the portal has the registry; a desktop that knows no name for us may
// bind nothing (KDE's answers success with no shortcut bound).
//
// KDE Plasma's portal also describes a key that another program's shortcut already holds as
// bound (its description names the key asked for, but KDE gave the shortcut none). Where KDE's
// shortcut service has a component named `appId`, its own list decides which keys it holds; the
// others stay with the fallback, and `summary` names them apart: the desktop may take their
// presses first. So it does with the keys the desktop binds for itself (`setDesktopKeys`: GNOME's
// own key bindings), which no program ever sees.
//
// Main thread only; the portal is asked asynchronously (the desktop may show a dialog).

#include "store/GlobalKeyboardShortcuts.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVariantMap>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

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
    // `appId` is the basename of our .desktop file (empty: no name is registered); `fallback` (may
    // be null) takes the keys the desktop does not bind.
    PortalHotKeys(std::function<Shortcut(quint32 id)> describe, QString appId,
                  std::shared_ptr<HotKeyBackend> fallback, QObject *parent = nullptr);
    ~PortalHotKeys() override;

    int installEventHandler(HandlerProc proc, void *userData, EventHandlerRef *outRef) override;
    int removeEventHandler(EventHandlerRef ref) override;
    // Never refused here: the desktop answers later, for all the keys together.
    int registerEventHotKey(quint32 keyCode, quint32 modifiers, EventHotKeyID hotKeyID, EventHotKeyRef *outRef) override;
    int unregisterEventHotKey(EventHotKeyRef ref) override;

    // What the desktop bound, by shortcut identifier: its own description of each trigger.
    const std::map<QString, QString> &boundTriggers() const { return m_bound; }
    // After each binding the desktop answered or failed to (main thread); `error` is empty on
    // success, however few keys were bound.
    std::function<void(const QString &error)> onBound;
    // For the user, after a binding: why it failed, if it did; the keys the desktop bound, with its
    // description of each trigger; and the others, with the user's binding, which work only while
    // one of our windows has the keyboard (or, without a fallback, not at all).
    QString summary() const;
    // How long the desktop may take to answer a request (the bind may wait for a dialog); past
    // that the request is withdrawn and the keys stay with the fallback.
    void setAnswerTimeoutMs(int ms) { m_answerTimeoutMs = ms; }
    // The keys the desktop keeps for its own shortcuts: `summary` names them apart, whatever the
    // portal said of them.
    void setDesktopKeys(DesktopKeyHolder holder) { m_desktopKeys = std::move(holder); }

private Q_SLOTS:
    void onResponse(uint code, const QVariantMap &results);
    void onActivated(const QDBusMessage &message); // (o session, s shortcut, t timestamp, a{sv})

private:
    struct Registration {
        QString trigger;
        EventHotKeyID hotKeyID;
        quint32 keyCode = 0;
        quint32 modifiers = 0;
        std::optional<EventHotKeyRef> fallbackRef; // while the fallback holds the key
    };
    void nameApplication(const QString &appId);
    void named(const QString &outcome, bool warning);
    void scheduleBind();
    void bind();
    void request(const QString &method, QList<QVariant> arguments, QVariantMap options,
                 std::function<void(uint, const QVariantMap &)> done);
    void giveUpRequest();
    void closeSession();
    void finish(const QString &error);
    void confirmWithKde();
    void dropKeysKdeDoesNotHold(const QDBusMessage &infos);
    bool boundByDesktop(const Registration &registration) const;
    void moveKeysToWhereTheyWork();
    void dispatch(const EventHotKeyID &hotKeyID);
    static int onFallbackKey(const HotKeyEvent *event, void *self);

    QDBusConnection m_bus;
    QString m_appId;
    std::function<Shortcut(quint32)> m_describe;
    DesktopKeyHolder m_desktopKeys;
    std::shared_ptr<HotKeyBackend> m_fallback;
    EventHandlerRef m_fallbackHandler = 0;
    bool m_named = false; // the application's name settled (registered, refused or not asked)
    QString m_error;      // why the last binding failed
    bool m_answered = false;
    int m_answerTimeoutMs = 60000;
    QTimer m_answerTimer;
    std::map<EventHotKeyRef, Registration> m_registrations;
    std::map<EventHandlerRef, std::pair<HandlerProc, void *>> m_handlers;
    EventHotKeyRef m_nextRef = 1;
    std::map<QString, QString> m_bound;
    std::set<QString> m_keyless; // called bound by KDE's portal, with no key in its shortcut service
    QString m_session;
    QString m_pendingPath;
    std::function<void(uint, const QVariantMap &)> m_pendingDone;
    bool m_bindScheduled = false;
    bool m_binding = false;
    bool m_bindAgain = false;
    int m_tokens = 0;
};

} // namespace lumacast::pipewire
