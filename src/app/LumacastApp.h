#pragma once

#include "app/AppDelegate.h"
#include "app/ApplicationServices.h"
#include "app/WindowRegistry.h"

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <memory>

namespace lumacast {

class AppStateManager;
class ApplicationMenus;
class InteractionWatch;
class ManagerShellCommands;
class SettingsHostAdapter;
class TrayItem;
class TrayPresence;

// The application: the one state manager of the process, its delegate, the tray item, the four
// windows and the application menus, wired together at start-up. Lives on the main thread for
// the life of the process (tests create and destroy it).
//
// Start-up, in order: the services and the manager (services started unless a test host is
// detected), the delegate's manager, the window actions, the tray item (or, on a desktop
// without a tray, the review window with a note and the tray's capture choices in its menus),
// then the documents of the command line. A tray that appears later gets the icon, and the note
// and the extra menu go.
class LumacastApp : public QObject {
    Q_OBJECT
public:
    // `startServices` false: the manager starts nothing that touches the system.
    explicit LumacastApp(bool startServices, QObject *parent = nullptr);
    ~LumacastApp() override;

    // True when the environment names a test host ("XCTestConfigurationFilePath", any value).
    static bool isRunningUnderTestHost();

    // Shows the tray item (or the review window when there is no tray) and opens `documents`.
    void start(const QStringList &documents);
    // A later launch of the application: reopen, then its documents.
    void handleRelaunch(const QStringList &documents);

    // A quit request from the menus, a signal or the session manager: the state manager decides
    // (through the delegate); the event loop ends once the answer is yes.
    void requestQuit();

    // The display connection is gone and Qt ends the program from inside its event loop, with
    // exit(). Called from an exit handler on the main thread: a take under way is ended as it
    // always is, its movie finished and filed, before the program goes (at most `limitMs`). The
    // ending's results come as posted events, delivered here without the event loop, which would
    // only meet the broken connection again.
    void finishTakeBeforeExit(int limitMs = 20000);

    // The review window's factory. The application menus are put on its menu bar when it is a
    // QMainWindow. Until one is registered a plain window with the menus stands in.
    void setReviewWindowFactory(WindowRegistry::Factory factory);

    AppStateManager &manager() const { return *m_manager; }
    AppDelegate &delegate() { return m_delegate; }
    WindowRegistry &windows() { return m_windows; }
    TrayItem *trayItem() const { return m_tray.get(); }
    ShellCommands &commands() const;

    // The note shown once in the review window when the desktop has no tray.
    static QString missingTrayNote();

signals:
    // The answer to a quit request was yes; the event loop is told to end right after.
    void quitting();

private:
    void installWindowActions();
    void registerWindows();
    void chooseWindow();
    void finishQuit();
    void showMissingTrayNote(QWidget *reviewWindow);
    void hideMissingTrayNote();
    void showTray();
    void trayAvailabilityChanged(bool available);

    ApplicationServices m_services;
    std::unique_ptr<AppStateManager> m_manager;
    std::unique_ptr<ManagerShellCommands> m_commands;
    AppDelegate m_delegate;
    WindowRegistry m_windows;
    std::unique_ptr<SettingsHostAdapter> m_settingsHost;
    std::unique_ptr<ApplicationMenus> m_menus;
    std::unique_ptr<TrayItem> m_tray;
    std::unique_ptr<TrayPresence> m_trayPresence;
    QPointer<QMessageBox> m_missingTrayBox;
    // Every menu and modal dialog holds the manager's interaction gate while it is up.
    std::unique_ptr<InteractionWatch> m_interactionWatch;
    bool m_quitPending = false;
    bool m_noteShown = false;
};

} // namespace lumacast
