#pragma once

#include "app/MenuDescriptor.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QWidget;

namespace lumacast {

class AppStateManager;
class FilePanelGuard;
class ShellCommands;

// The application's menus ("Lumacast", File, Edit, Takes, Help) as data, built from the state
// manager's published state and the file-panel guard. Where the desktop has no tray they also
// carry "Record": the tray menu's capture choices, built by the tray's own model. Main thread
// only.
class ApplicationMenus : public QObject {
    Q_OBJECT
public:
    struct Menu {
        QString title;
        MenuItems items;
    };
    struct Hooks {
        std::function<void()> quit;           // asks the application to quit (the delegate decides)
        std::function<bool(const QString &)> movieIsUsable; // Take::isUsableFile unless a test replaces it
        std::function<void()> chooseWindow;   // runs the window picker ("Choose Window…")
    };

    ApplicationMenus(AppStateManager &manager, ShellCommands &commands, FilePanelGuard &filePanels, Hooks hooks);

    std::vector<Menu> build() const;

    // Whether the menus offer the tray's capture choices: on a desktop without a tray, and only
    // until a tray appears.
    void setOffersCaptureChoices(bool offer);
    bool offersCaptureChoices() const { return m_offersCaptureChoices; }

    // Gives `holder` the menus and keeps them current on every change the manager or the panel
    // guard publishes, so the keys follow the enabling at once. Titles, enabling and check marks
    // change in place; a menu is refilled only when its entries change. A menu bar shows them;
    // any other window holds them unseen, so that their keys work while it is active: every
    // window of the application gets them, and the keys reach the menus from each.
    void install(QWidget &holder);
    // Gives `holder` the Quit entry alone, held unseen as above. For the review window's sheets:
    // one shadows its window, so the menu bar's keys reach nothing while it is up, and Quit is
    // the one command that must stay in reach over the export or the tail it stands for (the
    // quit asks first, or waits for the tail's end, as chosen from the menu). The entry never
    // changes, so nothing keeps it current.
    void installQuit(QWidget &holder);

signals:
    void captureChoicesOfferedChanged();

private:
    Menu applicationMenu() const;
    Menu fileMenu() const;
    Menu editMenu() const;
    Menu takesMenu() const;
    Menu helpMenu() const;
    Menu recordMenu() const;
    void showWindow(const QString &identifier) const;

    AppStateManager &m_manager;
    ShellCommands &m_commands;
    FilePanelGuard &m_filePanels;
    Hooks m_hooks;
    bool m_offersCaptureChoices = false;
};

} // namespace lumacast
