#include "model/LogCategories.h"
#include "store/GlobalKeyboardShortcuts.h"
#include "support/LogCapture.h"

#include <QLoggingCategory>
#include <QStringList>

#include <gtest/gtest.h>

#include <set>

using namespace lumacast;

namespace {

// What the "shortcuts" category prints while it lives, each line behind its level.
class ShortcutLog : public lumacast::testing::LogCapture {
public:
    ShortcutLog() : LogCapture(lumacast::log::shortcuts().categoryName()) {}
    QStringList lines() const { return levelledTexts(); }
};

// A backend that keeps its registrations in memory and refuses the combinations in `taken`.
class FakeBackend final : public HotKeyBackend {
public:
    struct Handler {
        HandlerProc proc;
        void *userData;
    };
    struct Key {
        quint32 keyCode;
        quint32 modifiers;
        EventHotKeyID id;
    };

    std::map<EventHandlerRef, Handler> handlers;
    std::map<EventHotKeyRef, Key> keys;
    std::set<std::pair<quint32, quint32>> taken;
    int installStatus = hot_key_status::noErr;
    int unregisterCalls = 0;
    quint64 nextRef = 1;

    int installEventHandler(HandlerProc proc, void *userData, EventHandlerRef *outRef) override
    {
        if (installStatus != hot_key_status::noErr)
            return installStatus;
        *outRef = nextRef++;
        handlers[*outRef] = {proc, userData};
        return hot_key_status::noErr;
    }
    int removeEventHandler(EventHandlerRef ref) override
    {
        return handlers.erase(ref) ? hot_key_status::noErr : hot_key_status::paramErr;
    }
    int registerEventHotKey(quint32 keyCode, quint32 modifiers, EventHotKeyID id,
                            EventHotKeyRef *outRef) override
    {
        if (taken.count({keyCode, modifiers}))
            return hot_key_status::eventHotKeyExistsErr;
        *outRef = nextRef++;
        keys[*outRef] = {keyCode, modifiers, id};
        return hot_key_status::noErr;
    }
    int unregisterEventHotKey(EventHotKeyRef ref) override
    {
        ++unregisterCalls;
        return keys.erase(ref) ? hot_key_status::noErr : hot_key_status::paramErr;
    }

    // What the real backend does on a key press: newest handler first.
    void press(quint32 keyCode, quint32 modifiers)
    {
        for (const auto &[ref, key] : keys) {
            if (key.keyCode != keyCode || key.modifiers != modifiers)
                continue;
            const HotKeyEvent event{key.id};
            for (auto it = handlers.rbegin(); it != handlers.rend(); ++it) {
                if (it->second.proc(&event, it->second.userData) != hot_key_status::eventNotHandledErr)
                    break;
            }
            return;
        }
    }
};

ShortcutBindings defaults()
{
    ShortcutBindings bindings;
    for (ShortcutAction action : shortcut_action::allCases)
        bindings[action] = defaultBinding(action);
    return bindings;
}

struct Fixture {
    std::shared_ptr<FakeBackend> backend = std::make_shared<FakeBackend>();
    GlobalKeyboardShortcuts service{backend};
    QStringList fired;

    Fixture()
    {
        for (ShortcutAction action : shortcut_action::allCases)
            service.handlers[action] = [this, action] { fired << shortcut_action::rawValue(action); };
    }
};

} // namespace

TEST(GlobalKeyboardShortcuts, InstallingTwiceLeavesOneHandlerAndOneKeyPerBinding)
{
    Fixture f;
    ShortcutLog log;
    f.service.installHotKeys(defaults());
    f.service.installHotKeys(defaults());
    EXPECT_EQ(f.backend->handlers.size(), 1u);
    EXPECT_EQ(f.backend->keys.size(), 6u);
    EXPECT_EQ(f.service.hotKeyRefs().size(), 6u);

    std::set<quint32> ids;
    for (const auto &[ref, key] : f.backend->keys) {
        EXPECT_EQ(key.id.signature, fourCharCode("QZHK"));
        ids.insert(key.id.id);
    }
    EXPECT_EQ(ids, (std::set<quint32>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(log.lines(), QStringList({"info X11 hotkeys installed (6/6)",
                                        "info X11 hotkeys installed (6/6)"}));

    const ShortcutBinding next = defaultBinding(ShortcutAction::nextScene);
    f.backend->press(next.carbonKeyCode, next.carbonModifiers);
    EXPECT_EQ(f.fired, QStringList{"nextScene"});
    EXPECT_TRUE(log.lines().contains("info X11 hotkey fired: nextScene"));
}

TEST(GlobalKeyboardShortcuts, ATakenCombinationFailsAloneAndKeepsItsId)
{
    Fixture f;
    const ShortcutBinding retake = defaultBinding(ShortcutAction::retake);
    f.backend->taken.insert({retake.carbonKeyCode, retake.carbonModifiers});
    ShortcutLog log;
    f.service.installHotKeys(defaults());

    EXPECT_EQ(log.lines(), QStringList({"error RegisterEventHotKey failed for retake: -9878",
                                        "info X11 hotkeys installed (5/6)"}));
    EXPECT_EQ(f.service.idToAction().size(), 6u);
    EXPECT_EQ(f.service.idToAction().at(4), ShortcutAction::retake);
    std::set<quint32> registered;
    for (const auto &[ref, key] : f.backend->keys)
        registered.insert(key.id.id);
    EXPECT_EQ(registered, (std::set<quint32>{1, 2, 3, 5, 6}));

    f.backend->press(retake.carbonKeyCode, retake.carbonModifiers);
    const ShortcutBinding zoom = defaultBinding(ShortcutAction::toggleWebcamZoom);
    f.backend->press(zoom.carbonKeyCode, zoom.carbonModifiers);
    EXPECT_EQ(f.fired, QStringList{"toggleWebcamZoom"});
}

TEST(GlobalKeyboardShortcuts, AFailedHandlerInstallRegistersNothing)
{
    Fixture f;
    f.backend->installStatus = hot_key_status::eventInternalErr;
    ShortcutLog log;
    f.service.installHotKeys(defaults());
    EXPECT_EQ(log.lines(), QStringList{"error InstallEventHandler failed: -9868"});
    EXPECT_TRUE(f.backend->keys.empty());
    EXPECT_FALSE(f.service.eventHandlerRef());

    GlobalKeyboardShortcuts withoutBackend(nullptr);
    withoutBackend.installHotKeys(defaults());
    withoutBackend.unregisterAllHotKeys();
    EXPECT_EQ(log.lines().last(), "error InstallEventHandler failed: -9868");
}

TEST(GlobalKeyboardShortcuts, UnregisteringSilencesKeysAndIsHarmlessWhenEmpty)
{
    Fixture f;
    f.service.unregisterAllHotKeys();
    EXPECT_EQ(f.backend->unregisterCalls, 0);

    f.service.installHotKeys(defaults());
    f.service.unregisterAllHotKeys();
    EXPECT_TRUE(f.backend->keys.empty());
    EXPECT_TRUE(f.backend->handlers.empty());
    EXPECT_TRUE(f.service.idToAction().empty());
    f.service.fireHotKey(1);
    EXPECT_TRUE(f.fired.isEmpty());

    {
        GlobalKeyboardShortcuts scoped(f.backend);
        scoped.installHotKeys(defaults());
        EXPECT_EQ(f.backend->keys.size(), 6u);
    }
    EXPECT_TRUE(f.backend->keys.empty()); // destruction unregisters
    EXPECT_TRUE(f.backend->handlers.empty());
}

TEST(GlobalKeyboardShortcuts, PartialMapsAndMissingClosures)
{
    Fixture f;
    f.service.handlers.erase(ShortcutAction::endTake);
    ShortcutBindings some;
    some[ShortcutAction::endTake] = defaultBinding(ShortcutAction::endTake);
    some[ShortcutAction::retake] = defaultBinding(ShortcutAction::retake);
    ShortcutLog log;
    f.service.installHotKeys(some);
    EXPECT_EQ(log.lines(), QStringList{"info X11 hotkeys installed (2/2)"});
    // Ids follow the map's order: endTake before retake.
    EXPECT_EQ(f.service.idToAction().at(1), ShortcutAction::endTake);
    EXPECT_EQ(f.service.idToAction().at(2), ShortcutAction::retake);

    f.service.fireHotKey(1); // bound but without a closure: nothing, not even a log line
    f.service.fireHotKey(9);
    EXPECT_TRUE(f.fired.isEmpty());
    EXPECT_EQ(log.lines().size(), 1);
    f.service.fireHotKey(2);
    EXPECT_EQ(f.fired, QStringList{"retake"});
}

TEST(GlobalKeyboardShortcuts, EventHandlerStatuses)
{
    Fixture f;
    f.service.installHotKeys(defaults());
    using S = GlobalKeyboardShortcuts;
    const HotKeyEvent ours{EventHotKeyID{kGlobalShortcutSignature, 2}};
    EXPECT_EQ(S::hotKeyEventHandler(nullptr, &f.service), hot_key_status::eventNotHandledErr);
    EXPECT_EQ(S::hotKeyEventHandler(&ours, nullptr), hot_key_status::eventNotHandledErr);
    const HotKeyEvent withoutID{};
    EXPECT_EQ(S::hotKeyEventHandler(&withoutID, &f.service), hot_key_status::eventNotHandledErr);
    EXPECT_EQ(S::hotKeyEventHandler(&ours, &f.service), hot_key_status::noErr);
    EXPECT_EQ(f.fired, QStringList{"endTake"});

    const HotKeyEvent unknown{EventHotKeyID{kGlobalShortcutSignature, 77}};
    EXPECT_EQ(S::hotKeyEventHandler(&unknown, &f.service), hot_key_status::noErr);
    // Another component's key with a number that is also ours is passed on, not fired.
    const HotKeyEvent foreign{EventHotKeyID{fourCharCode("QZEC"), 1}};
    EXPECT_EQ(S::hotKeyEventHandler(&foreign, &f.service), hot_key_status::eventNotHandledErr);
    EXPECT_EQ(f.fired, QStringList{"endTake"});
}

TEST(GlobalKeyboardShortcuts, HandlerMayReinstallWhileFiring)
{
    Fixture f;
    f.service.handlers[ShortcutAction::startPause] = [&f] {
        f.service.unregisterAllHotKeys();
        f.service.installHotKeys(defaults());
        f.fired << "reinstalled";
    };
    f.service.installHotKeys(defaults());
    f.service.fireHotKey(1);
    EXPECT_EQ(f.fired, QStringList{"reinstalled"});
    EXPECT_EQ(f.backend->keys.size(), 6u);
}
