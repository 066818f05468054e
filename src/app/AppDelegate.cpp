#include "app/AppDelegate.h"

#include "app/ShellCommands.h"
#include "control/AppStateManager.h"
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

QuitReply AppDelegate::applicationShouldTerminate()
{
    return m_manager ? m_manager->requestQuit() : QuitReply::terminateNow;
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
