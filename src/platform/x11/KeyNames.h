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

// The keyboard layout of an X server, asked through xkbcommon. The keymap and the active layout
// group are read again at most once a second, so a layout switch shows within that time, and at
// once after `reload`. Keys are read with Num Lock on: the keypad's keys answer with their
// digits ("KP_1", "1") whatever the lock's state.
class XkbKeyboardLayout final : public KeyboardLayout {
public:
    // Connects to the display named by DISPLAY (or `displayName`); nothing when there is no X
    // server or it lacks the keyboard extension.
    static std::shared_ptr<XkbKeyboardLayout> connect(const QString &displayName = {});
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

    struct Private;

private:
    explicit XkbKeyboardLayout(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d;
};

} // namespace lumacast::x11
