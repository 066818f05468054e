// The application menus' keys typed with xdotool into each of the application's windows, with
// the review window open and closed, and into the review window's sheets. Skipped without the
// rig's X server and xdotool.
#include "app/LumacastApp.h"
#include "app/MenuDescriptor.h"
#include "app/MenuKeyHintStyle.h"
#include "app/TrayMenuModel.h"
#include "app/WindowRegistry.h"
#include "app/settings/ShortcutRecorderField.h"
#include "control/AppStateManager.h"
#include "platform/x11/HotKeyGrabber.h"
#include "platform/x11/KeyNames.h"
#include "store/GlobalKeyboardShortcuts.h"
#include "review/ExportProgressSheet.h"
#include "review/ReviewWindow.h"
#include "review/TailOperationSheet.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <QApplication>
#include <QMenu>
#include <QSet>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <array>

#include "TrayHosts.h"
#include "support/TestEnvironment.h"

namespace lumacast::testing {
namespace {

bool typeKey(const QString &key)
{
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("key"), key});
    return xdotool.waitForFinished(10000) && xdotool.exitCode() == 0;
}

bool setLayout(const QStringList &arguments)
{
    return runProcess(QStringLiteral("setxkbmap"), arguments, 10000).ok();
}

bool numLockOn()
{
    return QRegularExpression(QStringLiteral("Num Lock:\\s+on")).match(QString::fromLatin1(runProcess("xset", {"q"}, 10000).out)).hasMatch();
}

// Holds `held` down, taps `key` and lets go, by X keycodes through XTEST, as a keyboard does.
void chord(xcb_connection_t *connection, const std::vector<xcb_keycode_t> &held, xcb_keycode_t key)
{
    std::vector<xcb_keycode_t> keys = held;
    keys.push_back(key);
    for (xcb_keycode_t code : keys)
        xcb_test_fake_input(connection, XCB_KEY_PRESS, code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    for (auto code = keys.rbegin(); code != keys.rend(); ++code)
        xcb_test_fake_input(connection, XCB_KEY_RELEASE, *code, XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
}

// Over the layouts a desktop may run, each key is called the same in the menus, in Settings and
// in the tray's D-Bus menu (or carries no key there), and the key so called fires both the hot
// key and the window's own shortcut (where Qt's key events tell it). Bindings are stored with the
// US character, or with "?"; the layout changes under the running hot keys. AltGr, or a group
// switch, held with a key is refused where it is recorded.
TEST(ApplicationKeys, EveryKeyIsNamedAndFiresAsTheLayoutInUseHasIt)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || QStandardPaths::findExecutable("setxkbmap").isEmpty())
        GTEST_SKIP() << "needs the rig's X server and setxkbmap";
    struct Key {
        quint32 code;
        bool numLock = false;
        const char *name = nullptr; // nullptr: as the keymap has it
        bool exported = true;       // the tray's D-Bus menu carries the key
        bool windowFires = true;    // Qt's key events give a key a window's shortcut matches
    };
    const Key keys[] = {{45}, {0x10}, {0x1B}, {0x18}, {0x21}, {0x53, true, nullptr, false},
                        {0x53, false, nullptr, false}, {0x60}, {key_code::f21}};
    const struct {
        QStringList setxkbmap;
        bool nextGroup; // then the Menu key switches to the keymap's second layout
        std::array<const char *, std::size(keys)> names; // nullptr: as the keymap has it
        std::vector<Key> more;                            // keys of this layout's own
        struct Refusal {
            quint32 held; // the modifier key held
            quint32 key;
            const char *reason;
        };
        std::optional<Refusal> refused; // recorded so, and refused
        bool numLockKey = true;         // a key turns Num Lock on (Neo has none)
    } layouts[] = {
        {{"us"}, false, {"N", "Y", "-", "=", "[", "KP 1", "KP 1", "F5", "F21"}, {{0x69, false, "F13"}}, {}},
        {{"de"}, false, {"N", "Z", "ß", "´", "Ü", "KP 1", "KP 1", "F5", "F21"},
         {{0x32, false, "^"}, {0x69, false, "F13"}}, {{0x3D, 0x0C, "AltGr can't be part of a shortcut"}}},
        {{"fr"}, false, {"N", "Y", ")", "=", "^", "KP 1", "KP 1", "F5", "F21"}, {}, {}},
        {{"us", "-variant", "dvorak"}, false, {"B", "F", "[", "]", "/", "KP 1", "KP 1", "F5", "F21"}, {}, {}},
        {{"ru"}, false, {"Т", "Н", "-", "=", "Х", "KP 1", "KP 1", "F5", "F21"}, {}, {}},
        // Right Alt held gives the second layout's letters.
        {{"-layout", "us,ru", "-option", "grp:switch"}, false, {"N", "Y", "-", "=", "[", "KP 1", "KP 1", "F5", "F21"}, {},
         {{0x3D, 0x0F, "Only Shift, Ctrl, Alt and Super can be part of a shortcut"}}},
        {{"-layout", "us,de", "-option", "grp:menu_toggle"}, true, {"N", "Z", "ß", "´", "Ü", "KP 1", "KP 1", "F5", "F21"}, {}, {}},
        // The ISO key beside the left Shift types what the key above Return types.
        {{"us", "-variant", "intl"}, false, {"N", "Y", "-", "=", "[", "KP 1", "KP 1", "F5", "F21"},
         {{0x0A, false, "\\| (B00)", false}, {0x2A, false, "\\|", false}}, {}},
        // Named at the lock state the keyboard is in: Num Lock changes the main keys' level here.
        {{"de", "-variant", "neo"}, false, {"B", "K", "-", "`", "ẞ", "KP 1", "KP 1", "F5", "F21"},
         {{0x0F, false, "C"}, {0x47, false, "Tab (Num Lock)", false}}, {}, false},
        {{"tr"}, false, {"N", "Y", nullptr, nullptr, "Ğ", "KP 1", "KP 1", "F5", "F21"},
         {{0x22, false, "ı", false}, {0x27, false, "İ"}}, {}},
        {{"gr"}, false, {"Ν", "Υ", nullptr, nullptr, nullptr, "KP 1", "KP 1", "F5", "F21"},
         {{0x01, false, "Σ"}, {0x0D, false, "ς", false}}, {}},
        {{"br", "-model", "abnt2"}, false, {"N", "Y", "-", "=", nullptr, "KP 1", "KP 1", "F5", "F21"},
         {{0x5E, false, "/"}}, {}},
        {{"jp", "-model", "jp106"}, false, {"N", "Y", "-", "^", "@", "KP 1", "KP 1", "F5", "F21"},
         {{0x5D, false, "\\|", false}, {0x5E, false, "\\_", false}}, {}},
        // The JIS keys the US layout leaves empty.
        {{"us", "-model", "jp106"}, false, {"N", "Y", "-", "=", "[", "KP 1", "KP 1", "F5", "F21"},
         {{0x5D, false, "E13", false, false}, {0x5E, false, "B11", false, false}}, {}},
    };
    auto grabber = std::make_shared<x11::HotKeyGrabber>();
    const auto layout = x11::XkbKeyboardLayout::connect();
    const std::shared_ptr<xcb_connection_t> hands(xcb_connect(nullptr, nullptr), xcb_disconnect);
    ASSERT_TRUE(grabber->isConnected() && layout);
    int mappings = 0;
    QObject::connect(grabber.get(), &x11::HotKeyGrabber::keyboardMappingChanged, [&] {
        layout->reload();
        ++mappings;
    });
    const auto previous = ShortcutBinding::keyboardLayout();
    ShortcutBinding::setKeyboardLayout(layout);
    const std::shared_ptr<void> restore(nullptr, [&](void *) {
        ShortcutBinding::setKeyboardLayout(previous);
        setLayout({"-layout", "us", "-option", ""});
    });
    GlobalKeyboardShortcuts service(grabber);
    int hotKeys = 0;
    service.handlers[ShortcutAction::nextScene] = [&hotKeys] { ++hotKeys; };
    QWidget window;
    auto *menu = new QMenu(QStringLiteral("Takes"), &window);
    window.addAction(menu->menuAction());
    auto *field = new ShortcutRecorderField(&window);
    QString refusal;
    int recorded = 0;
    field->onRefused = [&refusal](const QString &reason) { refusal = reason; };
    field->onSave = [&recorded](const ShortcutBinding &) { ++recorded; };
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    const auto keycode = [&layout](quint32 code) { return xcb_keycode_t(layout->x11KeycodeForKeyCode(code).value_or(0)); };
    const std::vector<xcb_keycode_t> superShift{keycode(0x37), keycode(0x38)};

    for (const auto &shape : layouts) {
        SCOPED_TRACE(shape.setxkbmap.join(' ').toStdString());
        const int before = mappings;
        ASSERT_TRUE(setLayout(shape.setxkbmap));
        ASSERT_TRUE(waitFor([&] { return mappings > before; }, 5000)) << "the new layout went unheard";
        if (shape.nextGroup) {
            const int switched = mappings;
            chord(hands.get(), {}, keycode(key_code::menu));
            ASSERT_TRUE(waitFor([&] { return mappings > switched; }, 5000)) << "the layout switch went unheard";
        }
        std::vector<Key> all(std::begin(keys), std::end(keys));
        for (size_t i = 0; i < std::size(keys); ++i)
            all[i].name = shape.names[i];
        all.insert(all.end(), shape.more.begin(), shape.more.end());
        QSet<QString> names;
        for (size_t i = 0; i < all.size(); ++i) {
            const Key &key = all[i];
            if (key.numLock && !shape.numLockKey)
                continue;
            SCOPED_TRACE(QStringLiteral("key %1, Num Lock %2").arg(key.code).arg(key.numLock).toStdString());
            if (numLockOn() != key.numLock)
                chord(hands.get(), {}, keycode(0x47));
            ASSERT_TRUE(waitFor([&] { return numLockOn() == key.numLock; }, 3000));
            const QString stored = i % 2 ? QStringLiteral("?") : UsKeyboardLayout().characterForKeyCode(key.code).value();
            const ShortcutBindings bindings{{ShortcutAction::nextScene, ShortcutBinding{key.code, 0x300, stored, 18}}};
            const QKeySequence hint = TrayMenuModel::keyHint(bindings, ShortcutAction::nextScene);
            int windowKeys = 0;
            fillMenu(*menu, {MenuItem::button(QStringLiteral("New Scene"), [&windowKeys] { ++windowKeys; }, hint)});
            // The text QMenu hands its style for the item, as the style writes it.
            const QString settings = ShortcutBinding::displayString(key.code, 0x300);
            EXPECT_EQ(MenuKeyHintStyle::shownText("New Scene\t" + hint.toString(QKeySequence::NativeText), menu),
                      "New Scene\t" + settings);
            EXPECT_TRUE(!key.name || settings == "Shift+Super+" + QString::fromUtf8(key.name))
                << qPrintable(settings);
            EXPECT_TRUE(i == 6 || !names.contains(settings)) << qPrintable(settings) << " names two keys";
            names << settings;
            // Qt's D-Bus menu sends the key's portable name.
            const QKeySequence exported = TrayMenuModel::exportedKeyHint(hint);
            EXPECT_EQ(!exported.isEmpty(), key.exported);
            if (!exported.isEmpty()) {
                EXPECT_EQ(QKeySequence(exported[0].key()).toString(QKeySequence::PortableText),
                          ShortcutBinding::keyName(key.code));
            }

            if (key.windowFires) {
                chord(hands.get(), superShift, keycode(key.code));
                EXPECT_TRUE(waitFor([&] { return windowKeys == 1; }, 3000)) << "the window's shortcut did not fire";
            }
            service.installHotKeys(bindings);
            hotKeys = 0;
            chord(hands.get(), superShift, keycode(key.code));
            EXPECT_TRUE(waitFor([&] { return hotKeys == 1; }, 3000)) << "the hot key did not fire";
            service.unregisterAllHotKeys();
        }
        if (shape.refused) {
            refusal.clear();
            QTest::mouseClick(field, Qt::LeftButton);
            ASSERT_TRUE(field->isRecording());
            chord(hands.get(), {keycode(shape.refused->held)}, keycode(shape.refused->key));
            EXPECT_TRUE(waitFor([&] { return !field->isRecording(); }, 3000)) << "the field waits on";
            EXPECT_EQ(refusal, shape.refused->reason);
            EXPECT_EQ(recorded, 0);
        }
    }
}

// The application hears of a new layout and announces its bindings again once the layout names
// its keys anew: the menus, tooltips, Settings and the status panel read their names then.
TEST(ApplicationKeys, ANewLayoutRenamesTheBindingsAtOnce)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb") || QStandardPaths::findExecutable("setxkbmap").isEmpty())
        GTEST_SKIP() << "needs the rig's X server and setxkbmap";
    LumacastApp app(false);
    QString named;
    QObject::connect(&app.manager(), &AppStateManager::shortcutBindingsChanged,
                     [&named] { named = ShortcutBinding::keyName(0x1B); });
    const std::shared_ptr<void> restore(nullptr, [](void *) { setLayout({"-layout", "us", "-option", ""}); });
    ASSERT_TRUE(setLayout({QStringLiteral("de")}));
    ASSERT_TRUE(waitFor([&named] { return !named.isEmpty(); }, 5000)) << "the new layout went unannounced";
    EXPECT_EQ(named, QStringLiteral("ß"));
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
