#pragma once

#include <QDBusConnection>
#include <QString>
#include <QUrl>

#include <functional>

namespace lumacast {

// Shows a file in the desktop's file manager with the file selected: the
// org.freedesktop.FileManager1 ShowItems call on the session bus, which GNOME Files, Dolphin,
// Nemo, Caja and Thunar answer (and which D-Bus starts one for when none runs). Where nothing
// answers (no file manager offers the interface, no session bus, an error reply) the desktop
// opens the folder that holds the file instead. Main thread only; returns at once, the fallback
// runs when the bus has answered.
class FileManagerReveal {
public:
    using FolderOpener = std::function<void(const QUrl &folder)>;

    // `openFolder` defaults to the desktop's opener (QDesktopServices).
    explicit FileManagerReveal(QDBusConnection bus = QDBusConnection::sessionBus(), FolderOpener openFolder = {});

    void reveal(const QString &path) const;

    // Long enough for a file manager that D-Bus has to start first.
    static constexpr int kCallTimeoutMs = 10000;

private:
    QDBusConnection m_bus;
    FolderOpener m_openFolder;
};

} // namespace lumacast
