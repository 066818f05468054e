#include "app/AppDelegate.h"

#include "app/ShellCommands.h"
#include "control/AppStateManager.h"
#include "store/AppLog.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace lumacast {

AppDelegate::AppDelegate(QObject *parent)
    : QObject(parent)
{
}

void AppDelegate::setManager(AppStateManager *manager, ShellCommands *commands)
{
    m_manager = manager;
    m_commands = commands;
}

AppStateManager *AppDelegate::manager() const
{
    return m_manager.data();
}

AppDelegate::TerminateReply AppDelegate::applicationShouldTerminate()
{
    if (!m_manager || !m_commands)
        return TerminateReply::terminateNow;
    AppLog &log = *m_manager->services().appLog;
    if (m_commands->deferWhileTailPending(PendingExternalAction::quit)) {
        // The manager answers through its termination reply once the tail resolves.
        log.log(QStringLiteral("[app] quit requested during a tail operation — deferred"));
        return TerminateReply::terminateLater;
    }
    if (m_manager->isRecording()) {
        log.log(QStringLiteral("[app] quit requested while recording — finishing take first"));
        QPointer<AppDelegate> self(this);
        QPointer<AppStateManager> manager(m_manager);
        ShellCommands *commands = m_commands;
        postToMainThread(self, [self, manager, commands] {
            commands->finishActiveRecordingForClose([self, manager] {
                bool saved = true;
                if (manager) {
                    // A save that fails keeps the application open: the alert says so.
                    saved = !manager->hasPendingSave() || manager->flushPendingSave();
                    if (saved)
                        manager->services().appLog->log(QStringLiteral("[app] take finished — allowing quit"));
                }
                if (self && self->terminationReply)
                    self->terminationReply(saved);
            });
        });
        return TerminateReply::terminateLater;
    }
    // Saved before the answer, so that a failure can still keep the application open.
    if (m_manager->hasPendingSave() && !m_manager->flushPendingSave())
        return TerminateReply::cancel;
    return TerminateReply::terminateNow;
}

void AppDelegate::applicationWillTerminate()
{
    if (m_manager)
        m_manager->applicationWillTerminate();
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows)
{
    if (!hasVisibleWindows) {
        QPointer<AppStateManager> manager(m_manager);
        postToMainThread(QPointer<AppDelegate>(this), [manager] {
            if (manager)
                manager->openWindow(QStringLiteral("review"));
        });
    }
    return true;
}

void AppDelegate::openDocumentURLs(const QStringList &paths)
{
    if (!m_manager || !m_commands || paths.isEmpty())
        return;
    QString path = paths.first();
    if (path.startsWith(QLatin1String("file:")))
        path = QUrl(path).toLocalFile();
    // A package is a folder: "Talk.lumacast/" names it as well as "Talk.lumacast".
    path = QDir::cleanPath(path);
    if (QFileInfo(path).suffix() != QLatin1String("lumacast"))
        return;
    ShellCommands *commands = m_commands;
    QPointer<AppStateManager> manager(m_manager);
    postToMainThread(QPointer<AppDelegate>(this), [manager, commands, path] {
        if (manager)
            commands->guardedOpen(path);
    });
}

} // namespace lumacast
