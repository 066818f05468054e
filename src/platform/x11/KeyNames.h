#pragma once

#include "store/Shortcut.h"

#include <QString>

#include <memory>
#include <optional>

namespace lumacast::x11 {

// Virtual key codes number the keys of a US ANSI keyboard by position (A is 0x00, Space 0x31,
// F1 0x7A, ...), whatever they type. XKB names the same positions ("AC01" for the key where US
// layouts put A), so a key code maps to a position name first and then, through the server's
// keymap, to the X keycode of that position: a shortcut stays on the same physical key whatever
// the layout, and the layout only decides what the key is called.
//
// The XKB position name of a virtual key code; empty when the code stands for no key here.
QString xkbKeyNameForKeyCode(quint32 keyCode);
// The virtual key code of an XKB position name (aliases such as "LMTA" are not resolved here).
std::optional<quint32> keyCodeForXkbKeyName(const QString &name);

// The keyboard layout of an X server, asked through xkbcommon. The keymap, the locked layout
// group and the locks that are on are read again at most once a second, so a layout switch shows
// within that time, and at once after `reload`. Keys are read at the locks that are on but Caps
// Lock (Num Lock picks a level on some layouts' main keys); a keypad key that types no character
// so is read with Num Lock on, so the keypad answers with its digits ("KP_1", "1") whatever the
// lock's state.
class XkbKeyboardLayout final : public KeyboardLayout {
public:
    // Connects to the display named by DISPLAY (or `displayName`); nothing when there is no X
    // server or it lacks the keyboard extension.
    static std::shared_ptr<XkbKeyboardLayout> connect(const QString &displayName = {});
    // The keymap the system's rules make of these names, as setxkbmap loads it into a server,
    // without one: its first group, no lock on. Nothing for names that make no keymap.
    static std::shared_ptr<XkbKeyboardLayout> compile(const QString &model, const QString &layout,
                                                      const QString &variant, const QString &options = {});
    ~XkbKeyboardLayout() override;

    std::optional<QString> characterForKeyCode(quint32 keyCode) const override;
    std::optional<QString> keySymbolName(quint32 keyCode) const override;
    std::optional<QString> shiftedCharacterForKeyCode(quint32 keyCode) const override;
    // Reads the keymap again at the next question, for when the server announced a new one.
    // Any thread.
    void reload() const;

    // The X keycode at the position of a virtual key code in the current keymap.
    std::optional<quint32> x11KeycodeForKeyCode(quint32 keyCode) const;
    // The virtual key code of an X keycode (for example a key event's native scan code); nothing
    // for keys without one.
    std::optional<quint32> keyCodeForX11Keycode(quint32 x11Keycode) const;

    // What of an X key event's state (modifier bits, the group in bits 13 and 14) a shortcut
    // cannot hold: the modifier bits but Shift, Control, Mod1 (Alt), Mod4 (Super), Caps Lock and
    // Num Lock's; and whether a group switch was held or latched (the event's group is not the
    // one locked now). Asks the server: call it while the event is fresh.
    struct Unbindable {
        quint32 modifiers = 0;
        bool groupSwitch = false;
    };
    Unbindable unbindable(quint32 eventState) const;

    struct Private;

private:
    explicit XkbKeyboardLayout(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

} // namespace lumacast::x11
