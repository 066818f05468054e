// The program on an Xfce desktop whose panel starts after it (as at login) and restarts: the
// icon reaches the panel's status tray over D-Bus and its menu acts. The bus and the panel are
// the test's own. Skipped without the rig's X server, xfce4-panel or dbus-daemon.
#include "TrayHosts.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

QString appLog(const QString &home)
{
    QFile file(home + "/.local/share/Logs/Lumacast/app.log");
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

TEST(DBusTrayProgram, APanelStartedAfterLaunchGetsTheIconAndItsMenuActs)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || !xfcePanelInstalled())
        GTEST_SKIP() << "needs the rig's X server, xfce4-panel and dbus-daemon";
    XfceTrayDesktop desktop;
    ASSERT_FALSE(desktop.address().isEmpty());
    QTemporaryDir home;
    QProcessEnvironment env = desktop.environment();
    env.insert("HOME", home.path());
    env.remove("XDG_DATA_HOME");
    env.remove("XDG_CACHE_HOME");
    QProcess program;
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    program.setStandardOutputFile(QProcess::nullDevice());
    program.start(QStringLiteral(LUMACAST_BINARY_DIR "/src/app/lumacast"));
    ASSERT_TRUE(program.waitForStarted(5000));
    const auto logged = [&](const char *line) {
        return waitFor([&] { return appLog(home.path()).contains(QString::fromUtf8(line)); }, 10000);
    };
    EXPECT_TRUE(logged("[app] no system tray — opening the review window"));

    ASSERT_TRUE(desktop.startPanel());
    EXPECT_TRUE(logged("[app] a system tray appeared — showing the tray icon"));
    ASSERT_TRUE(waitFor([&] { return desktop.registeredItems().size() == 1; }, 10000))
        << desktop.registeredItems().join(' ').toStdString() << appLog(home.path()).toStdString();
    DBusMenuHost host = DBusMenuHost::fromRegistration(desktop.host(), desktop.registeredItems().first());
    EXPECT_EQ(host.iconImage().size(), QSize(24, 24));
    const auto systemAudio = [&host] {
        host.aboutToShow(0);
        const DBusMenuEntry *entry = host.layout().find({"Capture system audio"});
        return entry ? entry->toggleState() : -1;
    };
    const int before = systemAudio();
    ASSERT_NE(before, -1);
    host.event(0, QStringLiteral("closed"));
    ASSERT_TRUE(host.click({"Capture system audio"}));
    EXPECT_TRUE(logged("[menu] menuDidClose"));
    EXPECT_EQ(systemAudio(), 1 - before);
    host.event(0, QStringLiteral("closed"));

    // The panel restarts: the icon is registered with the new one (Qt does it on the D-Bus road).
    desktop.stopPanel();
    ASSERT_TRUE(desktop.startPanel());
    ASSERT_TRUE(waitFor([&] { return desktop.registeredItems().size() == 1; }, 10000))
        << "the icon did not come back";
    host = DBusMenuHost::fromRegistration(desktop.host(), desktop.registeredItems().first());

    ASSERT_TRUE(host.click({"Quit Lumacast"}, false));
    ASSERT_TRUE(waitFor([&] { return program.state() == QProcess::NotRunning; }, 10000)) << appLog(home.path()).toStdString();
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
}

} // namespace
} // namespace lumacast::testing
