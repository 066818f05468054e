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
// opens the folder that holds the file instead (xdg-open); where that fails too (no xdg-open,
// or no application for folders) `onFailure` is told, with the folder. Main thread only;
// returns at once, the fallback and the failure come when the bus and the opener have answered.
class FileManagerReveal {
public:
    // Opens `folder` and calls `done` once with whether that worked.
    using FolderOpener = std::function<void(const QUrl &folder, std::function<void(bool opened)> done)>;
    using FailureReport = std::function<void(const QString &folder)>;

    // `openFolder` defaults to `openWithDesktop`.
    explicit FileManagerReveal(QDBusConnection bus = QDBusConnection::sessionBus(), FolderOpener openFolder = {},
                               FailureReport onFailure = {});

    void reveal(const QString &path) const;

    // xdg-open on the folder: it failed when it cannot start or ends with an error; one that
    // stays running has handed the folder to an application.
    static void openWithDesktop(const QUrl &folder, std::function<void(bool opened)> done);

    // Long enough for a file manager that D-Bus has to start first.
    static constexpr int kCallTimeoutMs = 10000;

private:
    QDBusConnection m_bus;
    FolderOpener m_openFolder;
    FailureReport m_onFailure;
};

} // namespace lumacast
