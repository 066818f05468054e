#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

namespace lumacast {

// Whether the desktop hosts tray icons: a StatusNotifierWatcher with a registered host on the
// session bus (Plasma, Xfce, GNOME with its AppIndicator extension) or an XEmbed tray on the X
// screen. Panels start after applications at login and restart now and then, so this is watched
// for the life of the application instead of decided once at launch. Main thread only.
class TrayPresence : public QObject {
    Q_OBJECT
public:
    // Looks once at once; then every `interval` ms.
    explicit TrayPresence(int interval = 1000, QObject *parent = nullptr);

    bool isAvailable() const { return m_available; }

    // The D-Bus host's part alone: the watcher's name is owned and it says a host is registered.
    static bool statusNotifierHostRegistered();

signals:
    // When a tray comes back, a D-Bus host among it knows none of the items registered before.
    void availableChanged(bool available);
    // The StatusNotifierWatcher changed owner while a tray stayed available (a panel restarted
    // beside an XEmbed tray): the new one knows none of the items registered before.
    void statusNotifierWatcherReplaced();

private:
    void check();

    QTimer m_poll;
    bool m_available = false;
    QString m_watcherOwner;
};

} // namespace lumacast
