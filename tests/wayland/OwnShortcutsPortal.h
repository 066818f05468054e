#pragma once

// The desktop portal restarted with a GlobalShortcuts backend of the test's own
// (ShortcutsBackend.cpp) beside the rig's wlroots one, answering as `mode` says (empty: as a sound
// desktop does). The rig's frontend is gone from the first. The portal finds our .desktop file,
// as it must to name a program that registers with its host registry.
#include "platform/pipewire/PortalHotKeys.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <functional>

namespace lumacast::testing {

class OwnShortcutsPortal {
public:
    static bool waitFor(const std::function<bool()> &done, int ms = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done() && timer.elapsed() < ms) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
            QThread::msleep(10);
        }
        return done();
    }
    static bool hasName(const QString &name)
    {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(name).value();
    }

    explicit OwnShortcutsPortal(const QString &mode)
    {
        QDir().mkpath(m_dir.filePath(QStringLiteral("portals")));
        QDir().mkpath(m_dir.filePath(QStringLiteral("data/applications")));
        QFile::copy(QStringLiteral("/usr/share/xdg-desktop-portal/portals/wlr.portal"),
                    m_dir.filePath(QStringLiteral("portals/wlr.portal")));
        QFile::copy(QStringLiteral(LUMACAST_SOURCE_DIR "/data/lumacast.desktop"),
                    m_dir.filePath(QStringLiteral("data/applications/lumacast.desktop")));
        // GLib takes an application's .desktop file only while the program its Exec line names is
        // on the PATH, as an installed Lumacast is: the test program stands in for it.
        QDir().mkpath(m_dir.filePath(QStringLiteral("bin")));
        QFile::link(QCoreApplication::applicationFilePath(), m_dir.filePath(QStringLiteral("bin/lumacast")));
        QFile portalFile(m_dir.filePath(QStringLiteral("portals/lumacasttest.portal")));
        portalFile.open(QIODevice::WriteOnly);
        portalFile.write("[portal]\nDBusName=org.freedesktop.impl.portal.desktop.lumacasttest\n"
                         "Interfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=sway;wlroots;\n");
        portalFile.close();
        m_backend.setProcessChannelMode(QProcess::ForwardedChannels);
        m_backend.start(QStringLiteral(LUMACAST_WAYLAND_SHORTCUTS_BACKEND), {m_dir.filePath(QStringLiteral("asked")), mode});
        waitFor([] { return hasName(QStringLiteral("org.freedesktop.impl.portal.desktop.lumacasttest")); });
        if (const int rigs = qEnvironmentVariableIntValue("LUMACAST_WAYLAND_FRONTEND_PID"); rigs > 0) {
            ::kill(rigs, SIGTERM); // the rig's own, started for this run
            qputenv("LUMACAST_WAYLAND_FRONTEND_PID", "0");
        }
        waitFor([] { return !hasName(QStringLiteral("org.freedesktop.portal.Desktop")); });
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_DESKTOP_PORTAL_DIR"), m_dir.filePath(QStringLiteral("portals")));
        environment.insert(QStringLiteral("XDG_DATA_DIRS"), m_dir.filePath(QStringLiteral("data")) + QStringLiteral(":/usr/share"));
        environment.insert(QStringLiteral("PATH"), m_dir.filePath(QStringLiteral("bin")) + QLatin1Char(':')
                                                        + environment.value(QStringLiteral("PATH")));
        m_portal.setProcessEnvironment(environment);
        m_portal.setProcessChannelMode(QProcess::ForwardedChannels);
        m_portal.start(QStringLiteral("/usr/libexec/xdg-desktop-portal"), {QStringLiteral("-r")});
        ready = waitFor([] { return hasName(QStringLiteral("org.freedesktop.portal.Desktop")); })
            && pipewire::PortalHotKeys::isOffered();
    }
    ~OwnShortcutsPortal()
    {
        for (QProcess *p : {&m_portal, &m_backend}) {
            p->kill();
            p->waitForFinished(3000);
        }
        waitFor([] { return !hasName(QStringLiteral("org.freedesktop.portal.Desktop")); });
    }

    bool ready = false;
    // What the backend was asked (ShortcutsBackend.cpp's log).
    QByteArray asked() const
    {
        QFile log(m_dir.filePath(QStringLiteral("asked")));
        return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
    QProcess m_backend;
    QProcess m_portal;
};

} // namespace lumacast::testing
