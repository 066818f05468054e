// Global hot keys through the desktop portal: against the real frontend, first as Debian's
// portal has it (no GlobalShortcuts: the application keeps its XWayland grabs), then restarted
// with a shortcuts backend of the test's own listed in a .portal file.
#include "platform/pipewire/PortalHotKeys.h"
#include "store/GlobalKeyboardShortcuts.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>

using namespace lumacast;

namespace {

bool waitFor(const std::function<bool()> &done, int ms = 10000)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(10);
    }
    return done();
}

bool hasName(const QString &name)
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(name).value();
}

pipewire::PortalHotKeys::Shortcut describe(quint32 id)
{
    const auto &actions = shortcut_action::allCases;
    const ShortcutAction action = actions[std::min<size_t>(id - 1, actions.size() - 1)];
    return {shortcut_action::rawValue(action), shortcut_action::rawValue(action)};
}

ShortcutBindings bindings(quint32 startPauseKey)
{
    ShortcutBindings all;
    quint32 key = 0;
    for (ShortcutAction action : shortcut_action::allCases)
        all[action] = ShortcutBinding{key++, carbon_modifier::control | carbon_modifier::shift, QString(), 0};
    all[ShortcutAction::startPause].carbonKeyCode = startPauseKey;
    return all;
}

TEST(GlobalShortcuts, DebiansPortalOffersNoneSoTheGrabsStay)
{
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"))
        GTEST_SKIP() << "not inside the Wayland rig (run through tests/wayland/rig.sh)";
    EXPECT_FALSE(pipewire::PortalHotKeys::isOffered())
        << "this desktop's portal has a GlobalShortcuts backend: the fallback cannot be seen here";
}

// The frontend restarted with our backend: six shortcuts bound with the user's bindings as
// preferred triggers, the desktop's own trigger descriptions read back, Activated firing the
// action, and a changed binding bound again. Where the portal has a host registry, the backend
// is told the application's id, the name of its .desktop file.
TEST(GlobalShortcuts, OwnBackendBindsActivatesAndRebinds)
{
    const int frontend = qEnvironmentVariableIntValue("LUMACAST_WAYLAND_FRONTEND_PID");
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || frontend <= 0)
        GTEST_SKIP() << "not inside the Wayland rig (run through tests/wayland/rig.sh)";
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath(QStringLiteral("portals")));
    QFile::copy(QStringLiteral("/usr/share/xdg-desktop-portal/portals/wlr.portal"),
                dir.filePath(QStringLiteral("portals/wlr.portal")));
    QFile portalFile(dir.filePath(QStringLiteral("portals/lumacasttest.portal")));
    ASSERT_TRUE(portalFile.open(QIODevice::WriteOnly));
    portalFile.write("[portal]\nDBusName=org.freedesktop.impl.portal.desktop.lumacasttest\n"
                     "Interfaces=org.freedesktop.impl.portal.GlobalShortcuts;\nUseIn=sway;wlroots;\n");
    portalFile.close();

    const QString asked = dir.filePath(QStringLiteral("asked"));
    QProcess backend;
    backend.setProcessChannelMode(QProcess::ForwardedChannels);
    backend.start(QStringLiteral(LUMACAST_WAYLAND_SHORTCUTS_BACKEND), {asked});
    ASSERT_TRUE(waitFor([] { return hasName(QStringLiteral("org.freedesktop.impl.portal.desktop.lumacasttest")); }));

    ::kill(frontend, SIGTERM); // the rig's frontend, started for this run
    ASSERT_TRUE(waitFor([] { return !hasName(QStringLiteral("org.freedesktop.portal.Desktop")); }));
    // The portal names a registered program only after its .desktop file.
    QDir().mkpath(dir.filePath(QStringLiteral("data/applications")));
    ASSERT_TRUE(QFile::copy(QStringLiteral(LUMACAST_SOURCE_DIR "/data/lumacast.desktop"),
                            dir.filePath(QStringLiteral("data/applications/lumacast.desktop"))));
    QProcess portal;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DESKTOP_PORTAL_DIR"), dir.filePath(QStringLiteral("portals")));
    environment.insert(QStringLiteral("XDG_DATA_DIRS"), dir.filePath(QStringLiteral("data")) + QStringLiteral(":/usr/share"));
    portal.setProcessEnvironment(environment);
    portal.setProcessChannelMode(QProcess::ForwardedChannels);
    portal.start(QStringLiteral("/usr/libexec/xdg-desktop-portal"), {QStringLiteral("-r")});
    ASSERT_TRUE(waitFor([] { return hasName(QStringLiteral("org.freedesktop.portal.Desktop")); }));
    ASSERT_TRUE(pipewire::PortalHotKeys::isOffered());

    QDBusMessage version = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"),
                                                         QStringLiteral("/org/freedesktop/portal/desktop"),
                                                         QStringLiteral("org.freedesktop.DBus.Properties"),
                                                         QStringLiteral("Get"));
    version.setArguments({QStringLiteral("org.freedesktop.host.portal.Registry"), QStringLiteral("version")});
    const bool hasRegistry = QDBusConnection::sessionBus().call(version).type() == QDBusMessage::ReplyMessage;
    auto keys = std::make_shared<pipewire::PortalHotKeys>(&describe, QStringLiteral("lumacast"), nullptr);
    int boundTimes = 0;
    QString bindError;
    keys->onBound = [&](const QString &error) {
        ++boundTimes;
        bindError = error;
    };
    GlobalKeyboardShortcuts shortcuts(keys);
    int startPauses = 0;
    int endTakes = 0;
    shortcuts.handlers[ShortcutAction::startPause] = [&] { ++startPauses; };
    shortcuts.handlers[ShortcutAction::endTake] = [&] { ++endTakes; };
    shortcuts.installHotKeys(bindings(15)); // R
    ASSERT_TRUE(waitFor([&] { return boundTimes == 1; }));
    EXPECT_TRUE(bindError.isEmpty()) << qPrintable(bindError);
    ASSERT_EQ(keys->boundTriggers().size(), 6u);
    EXPECT_EQ(keys->boundTriggers().at(QStringLiteral("startPause")), QStringLiteral("Press CTRL+SHIFT+r"));

    const auto activate = [](const QString &id) {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.impl.portal.desktop.lumacasttest"),
                                                           QStringLiteral("/org/lumacast/test"),
                                                           QStringLiteral("org.lumacast.TestShortcuts"),
                                                           QStringLiteral("Activate"));
        call.setArguments({id});
        QDBusConnection::sessionBus().call(call);
    };
    activate(QStringLiteral("endTake"));
    EXPECT_TRUE(waitFor([&] { return endTakes == 1; })) << "Activated did not reach the action";
    EXPECT_EQ(startPauses, 0);

    // The user changes Start/Pause: every key is bound again, in a new session.
    shortcuts.installHotKeys(bindings(17)); // T
    ASSERT_TRUE(waitFor([&] { return boundTimes == 2; }));
    EXPECT_EQ(keys->boundTriggers().at(QStringLiteral("startPause")), QStringLiteral("Press CTRL+SHIFT+t"));
    activate(QStringLiteral("startPause"));
    EXPECT_TRUE(waitFor([&] { return startPauses == 1; }));
    QFile log(asked);
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray asks = log.readAll();
    EXPECT_EQ(asks.count("--\n"), 2) << "bound more or less often than the bindings changed";
    EXPECT_TRUE(asks.startsWith(hasRegistry ? "app_id=lumacast\n" : "app_id=\n")) << asks.constData();

    portal.kill();
    portal.waitForFinished(3000);
    backend.kill();
    backend.waitForFinished(3000);
}

} // namespace
