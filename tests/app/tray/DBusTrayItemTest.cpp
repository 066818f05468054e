// The tray item on the D-Bus road: a StatusNotifierItem with a dbusmenu menu, hosted by Xfce's
// panel on the rig's display and driven as a host drives it. Skipped without the rig's display,
// xfce4-panel or dbus-daemon.
#include "FakeShellCommands.h"
#include "StateManagerDoubles.h"
#include "TrayDesktop.h"
#include "TrayHosts.h"
#include "support/AwaitTask.h"

#include "app/ManagerShellCommands.h"
#include "app/StatusIcon.h"
#include "app/TrayItem.h"
#include "platform/x11/KeyNames.h"
#include "support/TestEnvironment.h"

#include <QDBusConnection>

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

class DBusTray : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!trayDesktop)
            GTEST_SKIP() << "needs the rig's X server, xfce4-panel and dbus-daemon";
        // Up before the first tray icon of the process: Qt takes the D-Bus road only then.
        ASSERT_TRUE(trayDesktop->startPanel());
    }
    void TearDown() override
    {
        if (trayDesktop)
            trayDesktop->stopPanel();
    }

    // Shows `tray` and waits until the panel's watcher lists it (the panel is this test's own,
    // so the one item it lists is the tray's).
    DBusMenuHost showInPanel(TrayItem &tray)
    {
        tray.show();
        EXPECT_TRUE(waitFor([&] { return trayDesktop->registeredItems().size() == 1; }, 10000))
            << trayDesktop->registeredItems().join(' ').toStdString();
        return DBusMenuHost::fromRegistration(trayDesktop->host(), trayDesktop->registeredItems().value(0));
    }
};

TEST_F(DBusTray, ThePanelShowsTheIconTintedByState)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    TrayItem tray(harness.m(), commands, {});
    DBusMenuHost host = showInPanel(tray);
    EXPECT_EQ(host.itemProperty(QStringLiteral("Status")).toString(), QStringLiteral("Active"));
    const QPoint ink(5, 19); // on the slate
    for (AppState state : {AppState::recording, AppState::paused, AppState::reviewing, AppState::idle}) {
        harness.m().setState(state);
        const QColor expected = status_icon::statusImage(state).pixelColor(ink);
        QColor shown;
        const bool matches = waitFor([&] {
            const QImage icon = host.iconImage();
            if (icon.size() != QSize(24, 24))
                return false;
            shown = icon.pixelColor(ink);
            return std::abs(shown.red() - expected.red()) <= 2 && std::abs(shown.green() - expected.green()) <= 2
                && std::abs(shown.blue() - expected.blue()) <= 2 && shown.alpha() == expected.alpha();
        }, 5000);
        EXPECT_TRUE(matches) << app_state::caseName(state).toStdString() << ": shows " << shown.name(QColor::HexArgb).toStdString()
                             << ", expected " << expected.name(QColor::HexArgb).toStdString();
    }
}

TEST_F(DBusTray, TheMenuOpensForTheStateAndEveryItemActs)
{
    struct Row {
        AppState state;
        QStringList entry;
        QStringList expected; // the operations called and hooks run; empty where it had nothing to do
    };
    const Row rows[] = {
        {AppState::idle, {"Start S1T3 (Scene 1 Take #3)"}, {"startRecording"}},
        {AppState::idle, {"New Scene"}, {"advanceToScene"}},
        {AppState::idle, {"Capture system audio"}, {"setCaptureSystemAudio 1"}},
        {AppState::idle, {"Microphone", "System Default"}, {}}, // already chosen: nothing to do
        {AppState::idle, {"Capture", "Choose Window…"}, {"chooseWindow"}},
        {AppState::idle, {"Webcam", "Square"}, {}},             // greyed while the webcam is off
        {AppState::recording, {"Pause"}, {"pauseRecording"}},
        {AppState::recording, {"End Take"}, {"endTake"}},
        {AppState::paused, {"Resume"}, {"resumeRecording"}},
        {AppState::paused, {"Close Recording"}, {"deferWhileTailPending close", "closeRequest"}},
        {AppState::reviewing, {"Close Recording"}, {"deferWhileTailPending close", "closeRequest"}},
        {AppState::reviewing, {"Quit Lumacast"}, {"quit"}},
        {AppState::reviewing, {"Show Scenes Window"}, {"openWindow review"}},
    };
    ManagerHarness harness;
    harness.adoptSessionWithTakes({2});
    FakeShellCommands commands;
    QStringList windows;
    harness.m().setWindowActions([&windows](const QString &id) { windows << id; }, {}, {});
    TrayItem tray(harness.m(), commands,
                  {[&commands] { commands.calls << "quit"; }, [&commands] { commands.calls << "chooseWindow"; }});
    DBusMenuHost host = showInPanel(tray);
    for (const Row &row : rows) {
        SCOPED_TRACE(row.entry.join(" / ").toStdString());
        harness.m().setState(row.state);
        commands.calls.clear();
        windows.clear();
        ASSERT_TRUE(host.aboutToShow(0));
        const DBusMenuEntry menu = host.layout();
        const DBusMenuEntry *entry = menu.find(row.entry);
        ASSERT_TRUE(entry) << menu.labels().join(" | ").toStdString();
        EXPECT_EQ(entry->enabled(), !row.expected.isEmpty() || row.entry.contains("System Default"));
        ASSERT_TRUE(host.event(entry->id, QStringLiteral("clicked")));
        ASSERT_TRUE(host.event(0, QStringLiteral("closed")));
        QTest::qWait(50);
        ASSERT_GE(commands.calls.size(), 2) << commands.calls.join(", ").toStdString();
        EXPECT_EQ(commands.calls.first(), "menuDidOpen");
        EXPECT_EQ(commands.calls.last(), "menuDidClose");
        QStringList acted = commands.calls.mid(1, commands.calls.size() - 2);
        for (const QString &id : windows)
            acted << "openWindow " + id;
        EXPECT_EQ(acted.join(", ").toStdString(), row.expected.join(", ").toStdString());
    }
}

// The shortcut the D-Bus menu sends for a binding names the key as Settings does, or is left out;
// under German the dead keys, and the function keys beyond F12 whatever their symbols.
TEST_F(DBusTray, TheExportedShortcutNamesTheKeyAsSettingsDoes)
{
    const auto layout = x11::XkbKeyboardLayout::connect();
    ASSERT_TRUE(layout);
    ASSERT_TRUE(runProcess(QStringLiteral("setxkbmap"), {QStringLiteral("de")}, 10000).ok());
    layout->reload();
    const auto previous = ShortcutBinding::keyboardLayout();
    ShortcutBinding::setKeyboardLayout(layout);
    const std::shared_ptr<void> restore(nullptr, [&](void *) {
        ShortcutBinding::setKeyboardLayout(previous);
        runProcess(QStringLiteral("setxkbmap"), {QStringLiteral("us")}, 10000);
    });
    ManagerHarness harness;
    harness.adoptSessionWithTakes({2});
    FakeShellCommands commands;
    TrayItem tray(harness.m(), commands, {[] {}, [] {}});
    DBusMenuHost host = showInPanel(tray);
    for (const quint32 code : {0x32u, 0x18u, 0x69u, key_code::f21}) {
        SCOPED_TRACE(code);
        harness.m().setShortcutBindings({{ShortcutAction::nextScene, ShortcutBinding{code, 0x300, QStringLiteral("?"), 18}}});
        ASSERT_TRUE(host.aboutToShow(0));
        const DBusMenuEntry menu = host.layout();
        const DBusMenuEntry *entry = menu.find({QStringLiteral("New Scene")});
        ASSERT_TRUE(entry);
        QStringList tokens;
        const QDBusArgument shortcut = entry->properties.value(QStringLiteral("shortcut")).value<QDBusArgument>();
        shortcut.beginArray();
        if (!shortcut.atEnd())
            shortcut >> tokens;
        ASSERT_FALSE(tokens.isEmpty()) << "no shortcut";
        EXPECT_EQ(tokens.last(), ShortcutBinding::keyName(code));
        EXPECT_EQ(QStringList(tokens.mid(0, tokens.size() - 1)), QStringList({"Super", "Shift"}));
        ASSERT_TRUE(host.event(0, QStringLiteral("closed")));
    }
}

TEST_F(DBusTray, EitherClickOnTheIconOpensTheMenu)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    TrayItem tray(harness.m(), commands, {});
    DBusMenuHost host = showInPanel(tray);
    // Xfce's panel pops up the exported menu on a right click only when it already holds items,
    // before it tells the item (else it shows the panel's own menu).
    EXPECT_TRUE(host.layout().find({"Quit Lumacast"})) << host.layout().labels().join(" | ").toStdString();
    EXPECT_TRUE(commands.calls.isEmpty());
    // The item is no menu of its own, so a host sends a left click as Activate.
    EXPECT_FALSE(host.itemProperty(QStringLiteral("ItemIsMenu")).toBool());
    ASSERT_TRUE(host.activate(20, 20));
    ASSERT_TRUE(waitFor([&] { return tray.menu().isVisible(); }, 5000));
    EXPECT_EQ(commands.calls, QStringList{"menuDidOpen"});
    tray.menu().hide();
    EXPECT_EQ(commands.calls, (QStringList{"menuDidOpen", "menuDidClose"}));
}

TEST_F(DBusTray, OpeningPausesARunningTakeAndClosingOrTheBoundResumesIt)
{
    const struct {
        const char *name;
        bool userPausedFirst;
        bool hostSendsClosed;
        AppState whileOpen;
        AppState afterwards;
    } rows[] = {
        {"the host says closed", false, true, AppState::paused, AppState::recording},
        {"a host that never says closed", false, false, AppState::paused, AppState::recording},
        {"a take the user paused stays paused", true, true, AppState::paused, AppState::paused},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        ManagerHarness harness;
        harness.permissions->checks.preset = true;
        harness.countdown->runs.preset = true;
        harness.recorder->filters.preset = RecorderService::FilterAndConfiguration{};
        harness.recorder->starts.preset = true;
        harness.adoptSessionWithTakes({1});
        ManagerShellCommands commands(harness.m());
        TrayItem tray(harness.m(), commands, {});
        tray.setCloseBound(1000);
        DBusMenuHost host = showInPanel(tray);
        runTask(harness.m().startRecording());
        ASSERT_EQ(harness.m().state(), AppState::recording);
        if (row.userPausedFirst)
            harness.m().pauseRecording();

        ASSERT_TRUE(host.aboutToShow(0));
        ASSERT_TRUE(host.event(0, QStringLiteral("opened")));
        EXPECT_EQ(harness.m().state(), row.whileOpen);
        // Opened again by the host (submenus, a second AboutToShow): still one opening.
        ASSERT_TRUE(host.aboutToShow(0));
        EXPECT_TRUE(host.layout().find({"Resume"}));
        if (row.hostSendsClosed) {
            ASSERT_TRUE(host.event(0, QStringLiteral("closed")));
            QTest::qWait(50);
        } else {
            QTest::qWait(300);
            EXPECT_EQ(harness.m().state(), row.whileOpen) << "not before the bound";
            EXPECT_TRUE(waitFor([&] { return !tray.isMenuOpen(); }, 3000));
        }
        EXPECT_EQ(harness.m().state(), row.afterwards);
        EXPECT_FALSE(tray.isMenuOpen());
    }
}

} // namespace
} // namespace lumacast::testing
