#pragma once

#include "app/TrayMenuModel.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

#include <functional>
#include <memory>

namespace lumacast {

class AppStateManager;
class ShellCommands;

// The tray item: the state-tinted icon and its menu. The menu is built from TrayMenuModel when
// the item is made, rebuilt each time it opens and follows every change the manager publishes
// while it is open; opening it tells the manager (which pauses a running take) and closing it
// does too. A left click pops up the same menu as a right click.
//
// On a D-Bus tray (StatusNotifierItem) the menu travels to the host as dbusmenu: the host's
// AboutToShow opens it and its "closed" event closes it. A host that never sends "closed" must
// not leave a take paused for good, so a menu the host keeps open longer than `closeBound`
// without showing it again counts as closed. Main thread only.
class TrayItem : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultCloseBound = 15000; // ms

    TrayItem(AppStateManager &manager, ShellCommands &commands, TrayMenuModel::Hooks hooks,
             QObject *parent = nullptr);
    ~TrayItem() override;

    // Runs every time the menu opens, before the manager hears of it.
    void setMenuAppearedAction(std::function<void()> action) { m_menuAppeared = std::move(action); }
    void setCloseBound(int ms) { m_closeBound.setInterval(ms); }

    void show();
    bool isVisible() const { return m_icon.isVisible(); }
    bool isMenuOpen() const { return m_menuOpen; }
    QSystemTrayIcon &icon() { return m_icon; }
    QMenu &menu() { return *m_menu; }

private:
    void updateIcon();
    void rebuild();
    void menuOpened();
    void menuClosed();

    QPointer<AppStateManager> m_manager;
    ShellCommands &m_commands;
    TrayMenuModel m_model;
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon m_icon;
    std::function<void()> m_menuAppeared;
    bool m_menuOpen = false;
    QTimer m_closeBound;
};

} // namespace lumacast
