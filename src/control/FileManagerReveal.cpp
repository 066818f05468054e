#include "control/FileManagerReveal.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDesktopServices>
#include <QFileInfo>

namespace lumacast {

FileManagerReveal::FileManagerReveal(QDBusConnection bus, FolderOpener openFolder)
    : m_bus(std::move(bus)), m_openFolder(std::move(openFolder))
{
    if (!m_openFolder)
        m_openFolder = [](const QUrl &folder) { QDesktopServices::openUrl(folder); };
}

void FileManagerReveal::reveal(const QString &path) const
{
    const QFileInfo file(path);
    const QUrl folder = QUrl::fromLocalFile(file.absolutePath());
    if (!m_bus.isConnected()) {
        m_openFolder(folder);
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    // The second argument is a startup-notification id; none is needed to raise the window.
    // URIs as the interface defines them: percent-encoded ("My%20Talk.mov").
    call << QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded)} << QString();
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                     [watcher, folder, openFolder = m_openFolder] {
                         if (watcher->isError())
                             openFolder(folder);
                         watcher->deleteLater();
                     });
}

} // namespace lumacast
