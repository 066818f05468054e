#pragma once

#include "app/MenuDescriptor.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QMenuBar;

namespace lumacast {

class AppStateManager;
class FilePanelGuard;
class ShellCommands;

// The application's menus ("Lumacast", File, Edit, Takes, Help) as data, built from the state
// manager's published state and the file-panel guard. Main thread only.
class ApplicationMenus {
public:
    struct Menu {
        QString title;
        MenuItems items;
    };
    struct Hooks {
        std::function<void()> quit;           // asks the application to quit (the delegate decides)
        std::function<bool(const QString &)> movieIsUsable; // Take::isUsableFile unless a test replaces it
    };

    ApplicationMenus(AppStateManager &manager, ShellCommands &commands, FilePanelGuard &filePanels, Hooks hooks);

    std::vector<Menu> build() const;

    // Fills `bar` with the menus and keeps them current: they are rebuilt whenever the manager
    // or the panel guard publishes a change, so the keys follow the enabling at once.
    void install(QMenuBar &bar);

private:
    Menu applicationMenu() const;
    Menu fileMenu() const;
    Menu editMenu() const;
    Menu takesMenu() const;
    Menu helpMenu() const;
    void showWindow(const QString &identifier) const;

    AppStateManager &m_manager;
    ShellCommands &m_commands;
    FilePanelGuard &m_filePanels;
    Hooks m_hooks;
};

} // namespace lumacast
