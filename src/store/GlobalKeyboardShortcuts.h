#pragma once

#include "store/Shortcut.h"

#include <QtGlobal>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace lumacast {

// Status codes of the hot-key layer; 0 is success.
namespace hot_key_status {
inline constexpr int noErr = 0;
inline constexpr int paramErr = -50;
inline constexpr int eventInternalErr = -9868;
inline constexpr int eventNotHandledErr = -9874;
inline constexpr int eventHotKeyExistsErr = -9878; // another client holds the combination
inline constexpr int eventHotKeyInvalidErr = -9879; // the key cannot be grabbed at all
} // namespace hot_key_status

inline constexpr quint32 fourCharCode(const char (&code)[5])
{
    return (quint32(quint8(code[0])) << 24) | (quint32(quint8(code[1])) << 16)
        | (quint32(quint8(code[2])) << 8) | quint32(quint8(code[3]));
}

// Identifies one registration: a signature naming the component that registered it, and a
// number of the component's choosing.
struct EventHotKeyID {
    quint32 signature = 0;
    quint32 id = 0;
    friend bool operator==(const EventHotKeyID &, const EventHotKeyID &) = default;
};

inline constexpr quint32 kGlobalShortcutSignature = fourCharCode("QZHK");

// A hot-key press as the backend delivers it to installed handlers.
struct HotKeyEvent {
    // Absent when the event carries no hot-key identity.
    std::optional<EventHotKeyID> hotKeyID;
};

using EventHotKeyRef = quint64;
using EventHandlerRef = quint64;

// System-wide key grabs. The X11 implementation lives in the platform layer; tests may supply
// their own. For every press of a registered combination the backend calls the installed
// handlers on its own thread (the main thread), the most recently installed first, until one
// returns something other than eventNotHandledErr.
class HotKeyBackend {
public:
    using HandlerProc = int (*)(const HotKeyEvent *event, void *userData);

    virtual ~HotKeyBackend() = default;

    virtual int installEventHandler(HandlerProc proc, void *userData, EventHandlerRef *outRef) = 0;
    virtual int removeEventHandler(EventHandlerRef ref) = 0;

    // Grabs the key with the given virtual key code and modifier mask.
    virtual int registerEventHotKey(quint32 keyCode, quint32 modifiers, EventHotKeyID hotKeyID,
                                    EventHotKeyRef *outRef) = 0;
    virtual int unregisterEventHotKey(EventHotKeyRef ref) = 0;
};

// The desktop's own shortcut that takes a key (key code, carbon modifiers) before any program
// sees it, by the desktop's name for it; nothing where the desktop leaves the key to programs.
using DesktopKeyHolder = std::function<std::optional<QString>(quint32 keyCode, quint32 carbonModifiers)>;

// Makes the shortcut actions work system-wide, while another application is in front. The state
// manager fills in `handlers` once and installs the effective bindings; everything runs on the
// main thread.
class GlobalKeyboardShortcuts {
public:
    explicit GlobalKeyboardShortcuts(std::shared_ptr<HotKeyBackend> backend);
    ~GlobalKeyboardShortcuts();
    GlobalKeyboardShortcuts(const GlobalKeyboardShortcuts &) = delete;
    GlobalKeyboardShortcuts &operator=(const GlobalKeyboardShortcuts &) = delete;

    std::map<ShortcutAction, std::function<void()>> handlers;
    // After each install, with the bindings asked for (however many took).
    std::function<void(const ShortcutBindings &)> onInstalled;

    // Starts from nothing registered; ids count from 1 in the map's order. Never fails: failures
    // are logged and the installed count tells how many keys took.
    void installHotKeys(const ShortcutBindings &bindings);
    void unregisterAllHotKeys();
    void fireHotKey(quint32 id);

    static int hotKeyEventHandler(const HotKeyEvent *event, void *userData);

    // For inspection.
    const std::vector<EventHotKeyRef> &hotKeyRefs() const { return m_hotKeyRefs; }
    const std::optional<EventHandlerRef> &eventHandlerRef() const { return m_eventHandlerRef; }
    const std::map<quint32, ShortcutAction> &idToAction() const { return m_idToAction; }

private:
    std::shared_ptr<HotKeyBackend> m_backend;
    std::vector<EventHotKeyRef> m_hotKeyRefs;
    std::optional<EventHandlerRef> m_eventHandlerRef;
    std::map<quint32, ShortcutAction> m_idToAction;
};

} // namespace lumacast
