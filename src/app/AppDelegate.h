#pragma once

#include "control/SessionClosing.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

namespace lumacast {

class AppStateManager;
class ShellCommands;

// Passes quit requests and termination to the state manager, which decides whether and when the
// application may quit; keeps the application running without windows, reopens the review window
// and hands documents opened from the file manager or a second launch to the state manager. It
// holds the manager weakly and is given it at start-up, before any quit request or document can
// arrive. Main thread only.
class AppDelegate : public QObject {
    Q_OBJECT
public:
    explicit AppDelegate(QObject *parent = nullptr);

    // `commands` must outlive the delegate.
    void setManager(AppStateManager *manager, ShellCommands *commands);
    AppStateManager *manager() const;

    // A quit request (menu, Ctrl+Q, SIGTERM, the session manager): the manager's answer, or
    // terminateNow without a manager. After terminateLater the manager answers later through
    // its termination reply, which reaches the application's ApplicationService.
    QuitReply applicationShouldTerminate();
    // Right before the process ends: a pending autosave reaches the disk.
    void applicationWillTerminate();
    static bool applicationShouldTerminateAfterLastWindowClosed() { return false; }
    // The user launched the application again; opens the review window when none is visible.
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    // Document paths (or file URLs) from the command line or a second launch: only the first
    // is looked at, and only a ".lumacast" package (the suffix compared case-sensitively).
    void openDocumentURLs(const QStringList &paths);

private:
    QPointer<AppStateManager> m_manager;
    ShellCommands *m_commands = nullptr;
};

} // namespace lumacast
