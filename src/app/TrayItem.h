#pragma once

#include "app/TrayMenuModel.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <functional>
#include <memory>

namespace lumacast {

class AppStateManager;
class ShellCommands;

// The tray item: the state-tinted icon and its menu. The menu is rebuilt from TrayMenuModel
// each time it opens and whenever the manager publishes a change while it is open; opening it
// tells the manager (which pauses a running take) and closing it does too. A left click pops up
// the same menu as a right click. Main thread only.
class TrayItem : public QObject {
    Q_OBJECT
public:
    TrayItem(AppStateManager &manager, ShellCommands &commands, TrayMenuModel::Hooks hooks,
             QObject *parent = nullptr);
    ~TrayItem() override;

    // Runs every time the menu opens, before the manager hears of it.
    void setMenuAppearedAction(std::function<void()> action) { m_menuAppeared = std::move(action); }

    void show();
    bool isVisible() const { return m_icon.isVisible(); }
    QSystemTrayIcon &icon() { return m_icon; }
    QMenu &menu() { return *m_menu; }

private:
    void updateIcon();
    void rebuild();

    QPointer<AppStateManager> m_manager;
    ShellCommands &m_commands;
    TrayMenuModel m_model;
    std::unique_ptr<QMenu> m_menu;
    QSystemTrayIcon m_icon;
    std::function<void()> m_menuAppeared;
};

} // namespace lumacast
