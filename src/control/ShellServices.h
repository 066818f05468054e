#pragma once

#include "media/ExportCoordinator.h"
#include "model/Session.h"
#include "store/FilePanelGuard.h"
#include "store/Shortcut.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <map>

// What the state manager asks of the application shell and its windows, as interfaces. The
// widgets behind them live in the user interface (dialogs/, review/, app/); tests hand in
// doubles. Everything is called on the main thread.
namespace lumacast {

enum class AlertStyle { warning, informational, critical };

struct AlertRequest {
    QString message;         // the bold message text
    QString informativeText; // the smaller text below it
    AlertStyle style = AlertStyle::warning;
    QStringList buttons;     // in order; empty: a single "OK"
    int defaultButton = 0;   // the one Return presses

    friend bool operator==(const AlertRequest &, const AlertRequest &) = default;
};

// Modal alerts.
class AlertService {
public:
    virtual ~AlertService() = default;
    // Runs the alert modally and returns the index of the chosen button (0 for the single "OK").
    virtual int runModal(const AlertRequest &request) = 0;
    // The hot keys, which are not grabbed while an alert is up: a press of one reaches the alert
    // as a plain key press and must answer nothing.
    virtual void withholdHotKeys(const ShortcutBindings &bindings) { Q_UNUSED(bindings); }
    // Brings the alert that is up, if any, in front of the other windows with the keyboard,
    // restored when it, or the window it stands over, was minimized.
    virtual void bringToFront() {}
};

// The open and save panels of the document commands; shown through the FilePanelGuard.
class FilePanelService {
public:
    virtual ~FilePanelService() = default;
    // A new panel choosing one ".lumacast" package, not yet shown; the caller owns it.
    virtual FilePanel *makeOpenPanel() = 0;
    // A new panel naming a ".lumacast" package to save, its name field set; the caller owns it.
    virtual FilePanel *makeSavePanel(const QString &nameFieldText) = 0;
};

// The review window's platform window, as the main-window rule moves it. Registered with the
// state manager by the window's close guard and held weakly there.
class MainWindowHandle : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    virtual bool isVisible() const = 0;
    virtual bool isMinimized() const = 0;
    virtual void minimize() = 0;
    // Un-minimizes it when needed, makes it the key window and brings it to the front.
    virtual void restore() = 0;
};

// The application as a whole: whether it is in front, and bringing it there.
class ApplicationService : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // This application is the frontmost one.
    virtual bool isActive() const = 0;
    virtual void activateIgnoringOtherApps() = 0;
    // Shows the application in the task switcher (it starts as a tray-only application).
    virtual void becomeRegularApplication() = 0;
    // Answers a termination request that was left pending.
    virtual void replyToTermination(bool terminate) = 0;
    // Opens the desktop's settings where camera access is granted; nothing where there is none.
    virtual void openCameraPrivacySettings() = 0;

signals:
    void becameActive();
    void resignedActive();
};

// The global hot keys.
class HotKeyService {
public:
    virtual ~HotKeyService() = default;
    // Replaces the action table; each handler runs on the main thread when its key is pressed.
    virtual void setHandlers(std::map<ShortcutAction, std::function<void()>> handlers) = 0;
    // Unregisters everything, then registers one key per binding. Failures are logged only.
    virtual void installHotKeys(const ShortcutBindings &bindings) = 0;
    // Safe when nothing is registered.
    virtual void unregisterAllHotKeys() = 0;
};

// The update checker.
class UpdaterService {
public:
    virtual ~UpdaterService() = default;
    // False when it could not start; nothing else happens then.
    virtual bool start() = 0;
    virtual void setAutomaticallyChecksForUpdates(bool enabled) = 0;
    // False when no update feed is configured.
    virtual bool canCheckForUpdates() const = 0;
    // A user-initiated check with its own windows.
    virtual void checkForUpdates() = 0;
};

// The three exports; each shows its save panel first and reports its run through the handler.
class ExportService {
public:
    using EventHandler = ExportCoordinator::EventHandler;
    virtual ~ExportService() = default;
    virtual void exportVideo(const Session &session, EventHandler handler) = 0;
    virtual void exportFCPXML(const Session &session, EventHandler handler) = 0;
    virtual void exportFCP7XML(const Session &session, EventHandler handler) = 0;
};

} // namespace lumacast
