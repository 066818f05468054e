#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>

namespace lumacast {

class AppLog;

// The application's four single-instance windows, opened and closed by identifier ("review",
// "export", "settings", "help"). Each identifier has a factory that builds its window on first
// request; a window that is open is brought forward instead of built again, and one the user
// closed is built afresh next time. Installed as the state manager's window actions at start-up.
// Main thread only; the registry owns nothing once a window is shown (windows delete themselves
// when closed).
class WindowRegistry : public QObject {
    Q_OBJECT
public:
    using Factory = std::function<QWidget *()>;

    explicit WindowRegistry(AppLog *log, QObject *parent = nullptr);

    // Replaces the factory of an identifier. The factory's window gets its title from here.
    void registerWindow(const QString &identifier, const QString &title, Factory factory);
    bool hasWindow(const QString &identifier) const { return m_entries.contains(identifier); }

    // Logs "[window] openWindow(<id>) — activating", shows the window and activates it.
    void openWindowActivating(const QString &identifier);
    // Logs "[window] openWindow(<id>) — WITHOUT activating" and shows the window.
    void openWindowWithoutActivating(const QString &identifier);
    // Closes the window when it is open; no log line.
    void dismissWindow(const QString &identifier);

    // The open window of an identifier, or nullptr.
    QWidget *window(const QString &identifier) const;
    // True when one of the four windows is visible.
    bool hasVisibleWindows() const;

signals:
    void windowOpened(const QString &identifier, QWidget *window);

private:
    struct Entry {
        QString title;
        Factory factory;
        QPointer<QWidget> window;
    };
    QWidget *show(const QString &identifier);

    AppLog *m_log;
    QHash<QString, Entry> m_entries;
};

} // namespace lumacast
