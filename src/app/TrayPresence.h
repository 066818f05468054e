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
    // Looks once at once, waiting for the answer (at most half a second); then every `interval`
    // ms without waiting: the watcher's answer is taken when it comes.
    explicit TrayPresence(int interval = 2000, QObject *parent = nullptr);

    bool isAvailable() const { return m_available; }

    // The D-Bus host's part alone: the watcher's name is owned and it says a host is registered.
    // Blocks for up to half a second.
    static bool statusNotifierHostRegistered();

signals:
    void availableChanged(bool available);

private:
    void check();
    void settle(bool dbusHost);

    QTimer m_poll;
    bool m_asking = false; // a question to the watcher is out
    bool m_available = false;
    bool m_xembedSeen = false; // on the last look, without a D-Bus host
};

} // namespace lumacast
