// Global hot keys through the desktop portal: against the real frontend, first as Debian's
// portal has it (no GlobalShortcuts: the application keeps its XWayland grabs), then restarted
// with a shortcuts backend of the test's own listed in a .portal file.
#include "OwnShortcutsPortal.h"
#include "platform/pipewire/PortalHotKeys.h"
#include "store/GlobalKeyboardShortcuts.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <gtest/gtest.h>

using namespace lumacast;

namespace {

using lumacast::testing::OwnShortcutsPortal;
const auto waitFor = [](const std::function<bool()> &done) { return OwnShortcutsPortal::waitFor(done); };

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
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qEnvironmentVariableIntValue("LUMACAST_WAYLAND_FRONTEND_PID") <= 0)
        GTEST_SKIP() << "not inside the Wayland rig (run through tests/wayland/rig.sh)";
    OwnShortcutsPortal portal{QString()};
    ASSERT_TRUE(portal.ready) << "the portal did not come back with the test's shortcuts backend";

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
    const QByteArray asks = portal.asked();
    EXPECT_EQ(asks.count("--\n"), 2) << "bound more or less often than the bindings changed";
    EXPECT_TRUE(asks.startsWith(hasRegistry ? "app_id=lumacast\n" : "app_id=\n")) << asks.constData();
}

} // namespace
