#include "control/FileManagerReveal.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QProcess>

namespace lumacast {

FileManagerReveal::FileManagerReveal(QDBusConnection bus, FolderOpener openFolder, FailureReport onFailure)
    : m_bus(std::move(bus)), m_openFolder(std::move(openFolder)), m_onFailure(std::move(onFailure))
{
    if (!m_openFolder)
        m_openFolder = &FileManagerReveal::openWithDesktop;
}

void FileManagerReveal::openWithDesktop(const QUrl &folder, std::function<void(bool opened)> done)
{
    // Parentless: it lives until xdg-open ends, which may be after the caller has gone.
    auto *process = new QProcess;
    QObject::connect(process, &QProcess::errorOccurred, process, [process, done](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return; // an ending of any kind comes through finished
        done(false);
        process->deleteLater();
    });
    QObject::connect(process, &QProcess::finished, process, [process, done](int code, QProcess::ExitStatus status) {
        done(status == QProcess::NormalExit && code == 0);
        process->deleteLater();
    });
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(QStringLiteral("xdg-open"), {folder.toString(QUrl::FullyEncoded)});
}

void FileManagerReveal::reveal(const QString &path) const
{
    const QFileInfo file(path);
    const QUrl folder = QUrl::fromLocalFile(file.absolutePath());
    const auto openFolder = [folder, open = m_openFolder, onFailure = m_onFailure] {
        open(folder, [folder, onFailure](bool opened) {
            if (!opened && onFailure)
                onFailure(folder.toLocalFile());
        });
    };
    if (!m_bus.isConnected()) {
        openFolder();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    // The second argument is a startup-notification id; none is needed to raise the window.
    // URIs as the interface defines them: percent-encoded ("My%20Talk.mov").
    call << QStringList{QUrl::fromLocalFile(file.absoluteFilePath()).toString(QUrl::FullyEncoded)} << QString();
    auto *watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, openFolder] {
        if (watcher->isError())
            openFolder();
        watcher->deleteLater();
    });
}

} // namespace lumacast
