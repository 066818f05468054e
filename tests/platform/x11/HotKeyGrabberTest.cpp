// Global hot keys against the real X server of the test rig: key presses come from xdotool
// through the XTEST extension, exactly as from a keyboard.
#include "platform/x11/HotKeyGrabber.h"
#include "platform/x11/KeyNames.h"
#include "model/LogCategories.h"
#include "store/GlobalKeyboardShortcuts.h"

#include "support/LogCapture.h"
#include "support/TestEnvironment.h"

#include <xcb/xcb.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

using namespace lumacast;

namespace {

// What the "shortcuts" category prints while it lives.
class ShortcutLog : public lumacast::testing::LogCapture {
public:
    ShortcutLog() : LogCapture(lumacast::log::shortcuts().categoryName()) {}
    QStringList lines() const { return texts(); }
};

// A second X client, standing for another application that owns some combinations.
class OtherClient {
public:
    OtherClient() : m_conn(xcb_connect(nullptr, nullptr))
    {
        m_root = xcb_setup_roots_iterator(xcb_get_setup(m_conn)).data->root;
    }
    ~OtherClient() { xcb_disconnect(m_conn); }

    // True when the server granted the grab.
    bool grab(xcb_keycode_t keycode, uint16_t modifiers)
    {
        xcb_generic_error_t *error = xcb_request_check(
            m_conn, xcb_grab_key_checked(m_conn, 0, m_root, modifiers, keycode,
                                         XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        std::free(error);
        return error == nullptr;
    }
    void ungrab(xcb_keycode_t keycode, uint16_t modifiers)
    {
        xcb_ungrab_key(m_conn, keycode, m_root, modifiers);
        std::free(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
    }
    // A test that left the focus at None would stop every key event, grabs included.
    void resetFocus()
    {
        xcb_set_input_focus(m_conn, XCB_INPUT_FOCUS_POINTER_ROOT, XCB_INPUT_FOCUS_POINTER_ROOT,
                            XCB_CURRENT_TIME);
        std::free(xcb_get_input_focus_reply(m_conn, xcb_get_input_focus(m_conn), nullptr));
    }

private:
    xcb_connection_t *m_conn;
    xcb_window_t m_root = 0;
};

// One or more combinations separated by spaces, pressed one after the other.
bool pressKeys(const QString &combinations)
{
    const auto result = lumacast::testing::runProcess(
        "xdotool", QStringList{"key"} + combinations.split(' ', Qt::SkipEmptyParts), 10000);
    return result.ok();
}

// Runs the event loop until `done` holds or the time is up.
bool spinUntil(const std::function<bool()> &done, int milliseconds)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > milliseconds)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

void spinFor(int milliseconds)
{
    spinUntil([] { return false; }, milliseconds);
}

ShortcutBindings defaultBindings()
{
    ShortcutBindings bindings;
    for (ShortcutAction action : shortcut_action::allCases)
        bindings[action] = defaultBinding(action);
    return bindings;
}

class HotKeys : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "no X display";
        other.emplace();
        other->resetFocus();
        grabber = std::make_shared<x11::HotKeyGrabber>();
        ASSERT_TRUE(grabber->isConnected());
        layout = x11::XkbKeyboardLayout::connect();
        ASSERT_TRUE(layout);
        service.emplace(grabber);
        for (ShortcutAction action : shortcut_action::allCases)
            service->handlers[action] = [this, action] { fired << shortcut_action::rawValue(action); };
    }

    void TearDown() override
    {
        service.reset();
        grabber.reset();
    }

    // Presses the combination and waits for what it fires (a short while when nothing should).
    QStringList press(const QString &combination, int expected = 1)
    {
        fired.clear();
        EXPECT_TRUE(pressKeys(combination)) << qPrintable(combination);
        if (expected > 0)
            spinUntil([&] { return fired.size() >= expected; }, 3000);
        spinFor(expected > 0 ? 100 : 600);
        return fired;
    }

    xcb_keycode_t keycodeOf(quint32 keyCode) const
    {
        return xcb_keycode_t(layout->x11KeycodeForKeyCode(keyCode).value_or(0));
    }

    std::optional<OtherClient> other;
    std::shared_ptr<x11::HotKeyGrabber> grabber;
    std::shared_ptr<x11::XkbKeyboardLayout> layout;
    std::optional<GlobalKeyboardShortcuts> service;
    QStringList fired;
};

} // namespace

TEST_F(HotKeys, BoundCombinationsFireTheirActionsAndOthersDoNot)
{
    ShortcutLog log;
    service->installHotKeys(defaultBindings());
    ASSERT_TRUE(log.lines().contains("X11 hotkeys installed (6/6)")) << qPrintable(log.lines().join('\n'));

    EXPECT_EQ(press("super+shift+n"), QStringList{"nextScene"});
    EXPECT_EQ(press("super+shift+space"), QStringList{"startPause"});
    EXPECT_EQ(press("super+shift+Return"), QStringList{"endTake"});
    EXPECT_EQ(press("super+shift+f"), QStringList{"toggleWebcamZoom"});
    EXPECT_TRUE(log.lines().contains("X11 hotkey fired: toggleWebcamZoom"));
    // Two presses in a row are two actions, not one press and its repeat.
    EXPECT_EQ(press("super+shift+r super+shift+r", 2), QStringList({"retake", "retake"}));

    // Other modifiers, or a modifier more, are other combinations.
    EXPECT_EQ(press("shift+n", 0), QStringList());
    EXPECT_EQ(press("super+n", 0), QStringList());
    EXPECT_EQ(press("ctrl+super+shift+n", 0), QStringList());
}

TEST_F(HotKeys, HoldingACombinationFiresOnce)
{
    service->installHotKeys(defaultBindings());
    fired.clear();
    // The server repeats a held key after 660 ms, 25 times a second.
    ASSERT_TRUE(lumacast::testing::runProcess("xdotool", {"keydown", "super+shift+n"}).ok());
    spinFor(1500);
    ASSERT_TRUE(lumacast::testing::runProcess("xdotool", {"keyup", "super+shift+n"}).ok());
    spinFor(200);
    EXPECT_EQ(fired, QStringList{"nextScene"});
}

TEST_F(HotKeys, LockKeysDoNotDisableShortcuts)
{
    service->installHotKeys(defaultBindings());
    ASSERT_TRUE(pressKeys("Caps_Lock"));
    EXPECT_EQ(press("super+shift+w"), QStringList{"toggleWebcamBlob"});
    ASSERT_TRUE(pressKeys("Num_Lock"));
    EXPECT_EQ(press("super+shift+w"), QStringList{"toggleWebcamBlob"});
    ASSERT_TRUE(pressKeys("Caps_Lock"));
    EXPECT_EQ(press("super+shift+w"), QStringList{"toggleWebcamBlob"});
    ASSERT_TRUE(pressKeys("Num_Lock"));
    EXPECT_EQ(press("super+shift+w"), QStringList{"toggleWebcamBlob"});
}

TEST_F(HotKeys, ACombinationHeldByAnotherClientFailsAloneAndIsLeftAlone)
{
    const xcb_keycode_t r = keycodeOf(defaultBinding(ShortcutAction::retake).carbonKeyCode);
    const uint16_t superShift = XCB_MOD_MASK_4 | XCB_MOD_MASK_SHIFT;
    ASSERT_TRUE(other->grab(r, superShift));

    ShortcutLog log;
    service->installHotKeys(defaultBindings());
    EXPECT_TRUE(log.lines().contains("RegisterEventHotKey failed for retake: -9878"))
        << qPrintable(log.lines().join('\n'));
    EXPECT_TRUE(log.lines().contains("X11 hotkeys installed (5/6)"));
    EXPECT_EQ(service->idToAction().size(), 6u);

    EXPECT_EQ(press("super+shift+r", 0), QStringList());
    EXPECT_EQ(press("super+shift+n"), QStringList{"nextScene"});

    // The failed registration gave back the lock variants it had taken: the other client can
    // take those too.
    EXPECT_TRUE(other->grab(r, superShift | XCB_MOD_MASK_LOCK));
    other->ungrab(r, superShift | XCB_MOD_MASK_LOCK);
    other->ungrab(r, superShift);

    // Once the other client lets go, the next installation gets all six.
    service->installHotKeys(defaultBindings());
    EXPECT_TRUE(log.lines().contains("X11 hotkeys installed (6/6)"));
    EXPECT_EQ(press("super+shift+r"), QStringList{"retake"});
}

TEST_F(HotKeys, UnregisteringReleasesTheKeys)
{
    service->installHotKeys(defaultBindings());
    EXPECT_EQ(press("super+shift+n"), QStringList{"nextScene"});
    service->unregisterAllHotKeys();
    EXPECT_EQ(press("super+shift+n", 0), QStringList());
    const xcb_keycode_t n = keycodeOf(defaultBinding(ShortcutAction::nextScene).carbonKeyCode);
    EXPECT_TRUE(other->grab(n, XCB_MOD_MASK_4 | XCB_MOD_MASK_SHIFT));
    other->ungrab(n, XCB_MOD_MASK_4 | XCB_MOD_MASK_SHIFT);

    // A custom binding with all four modifiers on a function key.
    ShortcutBindings custom;
    custom[ShortcutAction::retake] = ShortcutBinding{0x7A, carbon_modifier::all, "\x10", 0};
    service->installHotKeys(custom);
    EXPECT_EQ(press("ctrl+alt+shift+super+F1"), QStringList{"retake"});

    // Destroying the service lets go of its grabs too.
    service.reset();
    const xcb_keycode_t f1 = keycodeOf(0x7A);
    const uint16_t all = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4;
    EXPECT_TRUE(other->grab(f1, all));
    other->ungrab(f1, all);
}

TEST_F(HotKeys, OwnDuplicatesAndUnknownKeysAreRefused)
{
    EventHandlerRef handler = 0;
    ASSERT_EQ(grabber->installEventHandler(&GlobalKeyboardShortcuts::hotKeyEventHandler,
                                           &*service, &handler),
              hot_key_status::noErr);
    EventHotKeyRef first = 0, second = 0;
    EXPECT_EQ(grabber->registerEventHotKey(45, 0x300, {kGlobalShortcutSignature, 1}, &first),
              hot_key_status::noErr);
    EXPECT_EQ(grabber->registerEventHotKey(45, 0x300, {kGlobalShortcutSignature, 2}, &second),
              hot_key_status::eventHotKeyExistsErr);
    EXPECT_EQ(grabber->registerEventHotKey(0x3F, 0x300, {kGlobalShortcutSignature, 3}, &second),
              hot_key_status::eventHotKeyInvalidErr); // a code that names no key here
    EXPECT_EQ(grabber->unregisterEventHotKey(first), hot_key_status::noErr);
    EXPECT_EQ(grabber->unregisterEventHotKey(first), hot_key_status::paramErr);
    EXPECT_EQ(grabber->removeEventHandler(handler), hot_key_status::noErr);
}

TEST(HotKeysWithoutDisplay, NothingInstallsAndNothingBreaks)
{
    x11::HotKeyGrabber grabber(QStringLiteral(":65000"));
    EXPECT_FALSE(grabber.isConnected());
    auto shared = std::shared_ptr<x11::HotKeyGrabber>(&grabber, [](auto *) {});
    GlobalKeyboardShortcuts service(shared);
    ShortcutLog log;
    service.installHotKeys(defaultBindings());
    EXPECT_EQ(log.lines(), QStringList{"InstallEventHandler failed: -9868"});
    service.unregisterAllHotKeys();
    EventHotKeyRef ref = 0;
    EXPECT_EQ(grabber.registerEventHotKey(45, 0x300, {kGlobalShortcutSignature, 1}, &ref),
              hot_key_status::eventInternalErr);
}
