// The application menus' keys typed with xdotool into each of the application's windows, with
// the review window open and closed, and into the review window's sheets. Skipped without the
// rig's X server and xdotool.
#include "app/LumacastApp.h"
#include "app/MenuDescriptor.h"
#include "app/MenuKeyHintStyle.h"
#include "app/TrayMenuModel.h"
#include "app/WindowRegistry.h"
#include "control/AppStateManager.h"
#include "platform/x11/HotKeyGrabber.h"
#include "platform/x11/KeyNames.h"
#include "store/GlobalKeyboardShortcuts.h"
#include "review/ExportProgressSheet.h"
#include "review/ReviewWindow.h"
#include "review/TailOperationSheet.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>
#include <xkbcommon/xkbcommon-x11.h>

#include <QApplication>
#include <QMenu>
#include <QSet>
#include <QGuiApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <array>

#include "TrayHosts.h"

namespace lumacast::testing {
namespace {

bool typeKey(const QString &key)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("key"), key});
    return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
}

// Presses keys by their X keycodes through XTEST, as a keyboard does, and sets Num Lock.
class KeyboardHands {
public:
    KeyboardHands() : m_conn(xcb_connect(nullptr, nullptr))
    {
        m_ready = !xcb_connection_has_error(m_conn)
            && xkb_x11_setup_xkb_extension(m_conn, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                           XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, nullptr, nullptr);
    }
    ~KeyboardHands()
    {
        xkb_context_unref(m_context);
        xcb_disconnect(m_conn);
    }

    // Holds `held` down in order, taps `key`, lets go.
    void chord(const std::vector<xcb_keycode_t> &held, xcb_keycode_t key)
    {
        for (xcb_keycode_t code : held)
            fake(XCB_KEY_PRESS, code);
        fake(XCB_KEY_PRESS, key);
        fake(XCB_KEY_RELEASE, key);
        for (auto code = held.rbegin(); code != held.rend(); ++code)
            fake(XCB_KEY_RELEASE, *code);
        std::free(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
    }

    bool numLockOn()
    {
        xkb_keymap *keymap = xkb_x11_keymap_new_from_device(m_context, m_conn, device(), XKB_KEYMAP_COMPILE_NO_FLAGS);
        xkb_state *state = keymap ? xkb_x11_state_new_from_device(keymap, m_conn, device()) : nullptr;
        const bool on = state && xkb_state_mod_name_is_active(state, XKB_MOD_NAME_NUM, XKB_STATE_MODS_LOCKED) > 0;
        xkb_state_unref(state);
        xkb_keymap_unref(keymap);
        return on;
    }

    bool setNumLock(bool on, xcb_keycode_t numLockKey)
    {
        if (numLockOn() != on)
            chord({}, numLockKey);
        return waitFor([&] { return numLockOn() == on; }, 3000);
    }

    bool ready() const { return m_ready; }

private:
    void fake(uint8_t type, xcb_keycode_t code)
    {
        xcb_test_fake_input(m_conn, type, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }
    int32_t device() const { return xkb_x11_get_core_keyboard_device_id(m_conn); }

    xcb_connection_t *m_conn;
    xkb_context *m_context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    bool m_ready = false;
};

bool setLayout(const QStringList &arguments)
{
    QProcess setxkbmap;
    setxkbmap.start(QStringLiteral("setxkbmap"), arguments);
    return setxkbmap.waitForFinished(10000) && setxkbmap.exitCode() == 0;
}

// Over the layouts a desktop may run, each key a binding may have is called the same in the menus
// and in Settings, and the key so called fires both the hot key and a window's own shortcut for
// it. The bindings are stored with the US character, or with "?", and the layout changes while
// the hot keys' connection runs.
TEST(ApplicationKeys, EveryKeyIsNamedAndFiresAsTheLayoutInUseHasIt)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || QStandardPaths::findExecutable("setxkbmap").isEmpty())
        GTEST_SKIP() << "needs the rig's X server and setxkbmap";
    const struct {
        quint32 code;
        bool numLock;
    } keys[] = {{45, false}, {0x10, false}, {0x1B, false}, {0x18, false}, {0x21, false},
                {0x53, true}, {0x53, false}, {0x60, false}, {key_code::f21, false}};
    using Names = std::array<const char *, std::size(keys)>; // nullptr: as the keymap has it
    const struct {
        QStringList setxkbmap;
        Names names;
    } layouts[] = {
        {{"us"}, {"N", "Y", "-", "=", "[", "KP 1", "KP 1", "F5", nullptr}},
        {{"de"}, {"N", "Z", "ß", "´", "Ü", "KP 1", "KP 1", "F5", nullptr}},
        {{"fr"}, {"N", "Y", ")", "=", "^", "KP 1", "KP 1", "F5", nullptr}},
        {{"us", "-variant", "dvorak"}, {"B", "F", "[", "]", "/", "KP 1", "KP 1", "F5", nullptr}},
        {{"ru"}, {"Т", "Н", "-", "=", "Х", "KP 1", "KP 1", "F5", nullptr}},
    };

    auto grabber = std::make_shared<x11::HotKeyGrabber>();
    const auto layout = x11::XkbKeyboardLayout::connect();
    KeyboardHands hands;
    ASSERT_TRUE(grabber->isConnected() && layout && hands.ready());
    int mappings = 0;
    QObject::connect(grabber.get(), &x11::HotKeyGrabber::keyboardMappingChanged, [&] {
        layout->reload();
        ++mappings;
    });
    const auto previousLayout = ShortcutBinding::keyboardLayout();
    ShortcutBinding::setKeyboardLayout(layout);
    const std::shared_ptr<void> restore(nullptr, [&](void *) {
        ShortcutBinding::setKeyboardLayout(previousLayout);
        setLayout({QStringLiteral("us")});
    });
    GlobalKeyboardShortcuts service(grabber);
    int hotKeys = 0;
    service.handlers[ShortcutAction::nextScene] = [&hotKeys] { ++hotKeys; };
    QWidget window;
    auto *menu = new QMenu(QStringLiteral("Takes"), &window);
    window.addAction(menu->menuAction());
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const auto keycode = [&layout](quint32 code) { return xcb_keycode_t(layout->x11KeycodeForKeyCode(code).value_or(0)); };
    const std::vector<xcb_keycode_t> superShift{keycode(0x37), keycode(0x38)};
    const UsKeyboardLayout us;

    for (const auto &shape : layouts) {
        SCOPED_TRACE(shape.setxkbmap.join(' ').toStdString());
        const int before = mappings;
        ASSERT_TRUE(setLayout(shape.setxkbmap));
        ASSERT_TRUE(waitFor([&] { return mappings > before; }, 5000)) << "the new layout went unheard";
        QSet<QString> names;
        for (size_t i = 0; i < std::size(keys); ++i) {
            const auto &key = keys[i];
            SCOPED_TRACE(QStringLiteral("key %1, Num Lock %2").arg(key.code).arg(key.numLock).toStdString());
            ASSERT_TRUE(hands.setNumLock(key.numLock, keycode(0x47)));
            const QString stored = i % 2 ? QStringLiteral("?")
                                         : ShortcutBinding::keyEquivalentForKeyCode(key.code)
                                               .value_or(us.characterForKeyCode(key.code).value_or(QString()));
            const ShortcutBindings bindings{
                {ShortcutAction::nextScene,
                 ShortcutBinding{key.code, 0x300, stored, event_modifier::command | event_modifier::shift}}};
            const QKeySequence hint = TrayMenuModel::keyHint(bindings, ShortcutAction::nextScene);
            int windowKeys = 0;
            fillMenu(*menu, {MenuItem::button(QStringLiteral("New Scene"), [&windowKeys] { ++windowKeys; }, hint)});
            // The text QMenu hands its style for the item, as the style writes it.
            const QString settings = ShortcutBinding::displayString(key.code, 0x300);
            EXPECT_EQ(MenuKeyHintStyle::shownText("New Scene\t" + hint.toString(QKeySequence::NativeText), menu),
                      "New Scene\t" + settings);
            if (shape.names[i]) {
                EXPECT_EQ(settings, "Shift+Super+" + QString::fromUtf8(shape.names[i]));
            }
            if (i != 6) { // the keypad's 1 comes twice
                EXPECT_FALSE(names.contains(settings)) << qPrintable(settings) << " names two keys";
            }
            names << settings;

            hands.chord(superShift, keycode(key.code));
            EXPECT_TRUE(waitFor([&] { return windowKeys == 1; }, 3000)) << "the window's shortcut did not fire";

            service.installHotKeys(bindings);
            hotKeys = 0;
            hands.chord(superShift, keycode(key.code));
            EXPECT_TRUE(waitFor([&] { return hotKeys == 1; }, 3000)) << "the hot key did not fire";
            service.unregisterAllHotKeys();
        }
    }
}

TEST(ApplicationKeys, TheMenuKeysWorkFromEveryWindow)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "needs the rig's X server and xdotool";
    LumacastApp app(false);
    app.start({});
    WindowRegistry &windows = app.windows();
    const auto isOpen = [&windows](const char *id) {
        QWidget *window = windows.window(QString::fromLatin1(id));
        return window && window->isVisible();
    };

    const struct {
        const char *from; // the window that has the keyboard
        bool reviewOpen;  // the review window stays open behind it
        const char *key;  // as xdotool names it
        const char *then; // the window the key brings up, or closes
        bool shown;
    } steps[] = {
        {"settings", true, "F1", "help", true},
        {"help", true, "ctrl+comma", "settings", true},
        {"export", true, "F1", "help", true},
        {"help", false, "ctrl+comma", "settings", true},
        {"settings", false, "F1", "help", true},
        {"export", true, "Escape", "export", false}, // the export window's own key
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(std::string(step.from) + " " + step.key);
        for (const char *id : {"settings", "help", "export"})
            windows.dismissWindow(QString::fromLatin1(id));
        if (step.reviewOpen)
            windows.openWindowActivating(QStringLiteral("review"));
        else
            windows.dismissWindow(QStringLiteral("review"));
        // A closed window is deleted later; only then does the registry build it afresh.
        ASSERT_TRUE(waitFor([&] {
            return isOpen("review") == step.reviewOpen && !windows.window("settings") && !windows.window("help")
                && !windows.window("export");
        }, 3000));
        windows.openWindowActivating(QString::fromLatin1(step.from));
        QWidget *from = windows.window(QString::fromLatin1(step.from));
        ASSERT_TRUE(from);
        ASSERT_TRUE(QTest::qWaitForWindowActive(from));
        ASSERT_TRUE(typeKey(QString::fromLatin1(step.key)));
        EXPECT_TRUE(waitFor([&] { return isOpen(step.then) == step.shown; }, 3000));
    }
}

// A sheet shadows the review window and its menu bar. Typed to it, Ctrl+Q still reaches Quit as
// the menu's entry would (during a tail the quit waits for the tail's end; the question during
// an export is the end-to-end test's); the menus' other keys stay shadowed.
TEST(ApplicationKeys, OnlyQuitIsTypedThroughTheReviewWindowsSheets)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "needs the rig's X server and xdotool";
    const struct {
        bool tail;         // the tail's sheet, else the export's
        const char *key;   // as xdotool names it
        const char *opens; // the window the key opens from the review window; nullptr: Quit
    } rows[] = {{false, "F1", "help"}, {true, "ctrl+comma", "settings"}, {true, "ctrl+q", nullptr}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.key);
        LumacastApp app(false);
        AppStateManager &manager = app.manager();
        int quittings = 0;
        QObject::connect(&app, &LumacastApp::quitting, [&quittings] { ++quittings; });
        app.windows().openWindowActivating(QStringLiteral("review"));
        auto *review = qobject_cast<review::ReviewWindow *>(app.windows().window(QStringLiteral("review")));
        // Active before its sheet comes: without a window manager its late activation would take
        // the keyboard from the sheet.
        ASSERT_TRUE(review && waitFor([review] { return QApplication::activeWindow() == review; }, 3000));
        QWidget *sheet = review->exportSheet();
        if (row.tail) {
            manager.setCurrentSession(Session{});
            TailOperation tail;
            tail.phase = TailOperation::Joining{};
            manager.setTailOperation(tail);
            sheet = review->tailSheet();
        } else {
            manager.setIsExporting(true);
        }
        ASSERT_TRUE(waitFor([sheet] { return QApplication::activeWindow() == sheet; }, 3000));
        ASSERT_TRUE(typeKey(QString::fromLatin1(row.key)));
        if (row.opens) {
            QTest::qWait(500);
            QWidget *opened = app.windows().window(QString::fromLatin1(row.opens));
            EXPECT_FALSE(opened && opened->isVisible()) << "the key went through the sheet";
            continue;
        }
        ASSERT_TRUE(waitFor([&] { return manager.pendingExternalAction() == PendingExternalAction::quit; }, 3000))
            << "the quit is not waiting for the tail";
        EXPECT_EQ(quittings, 0);
        manager.setTailOperation(std::nullopt);
        manager.runPendingExternalAction();
        EXPECT_TRUE(waitFor([&] { return quittings == 1; }, 3000)) << "the tail ended, and no quit";
    }
}

} // namespace
} // namespace lumacast::testing
