#pragma once

#include <QHashFunctions>
#include <QJsonObject>
#include <QJsonValue>
#include <QKeyCombination>
#include <QList>
#include <QString>
#include <QtCore/qnamespace.h>

#include <array>
#include <map>
#include <memory>
#include <optional>

namespace lumacast {

// The six global actions, in the order the settings and menus list them.
enum class ShortcutAction : quint8 {
    startPause,
    endTake,
    nextScene,
    retake,
    toggleWebcamZoom,
    toggleWebcamBlob,
};

namespace shortcut_action {
inline constexpr std::array<ShortcutAction, 6> allCases = {
    ShortcutAction::startPause, ShortcutAction::endTake,          ShortcutAction::nextScene,
    ShortcutAction::retake,     ShortcutAction::toggleWebcamZoom, ShortcutAction::toggleWebcamBlob,
};

// The raw value is the case name; it is what stored settings use as the action's key.
QString rawValue(ShortcutAction action);
// Exact, case-sensitive match of a raw value; anything else is no action.
std::optional<ShortcutAction> fromRawValue(const QString &raw);
inline QString id(ShortcutAction action) { return rawValue(action); }
} // namespace shortcut_action

// Hashes like the raw value text, so an action and its name land in the same bucket.
inline size_t qHash(ShortcutAction action, size_t seed = 0)
{
    return qHash(shortcut_action::rawValue(action), seed);
}

// Modifier masks as stored in "customShortcuts": the classic virtual-key modifier bits. The
// hot-key layer maps them one to one onto Super, Shift, Alt and Control.
namespace carbon_modifier {
inline constexpr quint32 command = 0x100;
inline constexpr quint32 shift = 0x200;
inline constexpr quint32 option = 0x800;
inline constexpr quint32 control = 0x1000;
inline constexpr quint32 all = command | shift | option | control;
} // namespace carbon_modifier

// The menus' modifier set as stored in `eventModifiers`; the bit values are part of the stored
// form, so they never change.
namespace event_modifier {
inline constexpr quint32 capsLock = 1u << 0;
inline constexpr quint32 shift = 1u << 1;
inline constexpr quint32 control = 1u << 2;
inline constexpr quint32 option = 1u << 3;
inline constexpr quint32 command = 1u << 4;
inline constexpr quint32 numericPad = 1u << 5;
} // namespace event_modifier

// Virtual key codes that have a fixed name whatever the keyboard layout.
namespace key_code {
inline constexpr quint32 returnKey = 36;
inline constexpr quint32 tab = 48;
inline constexpr quint32 space = 49;
inline constexpr quint32 deleteKey = 51;
inline constexpr quint32 escape = 53;
inline constexpr quint32 leftArrow = 123;
inline constexpr quint32 rightArrow = 124;
inline constexpr quint32 downArrow = 125;
inline constexpr quint32 upArrow = 126;
// Keys the classic codes have no number for, numbered after them.
inline constexpr quint32 f21 = 0x80;
inline constexpr quint32 f22 = 0x81;
inline constexpr quint32 f23 = 0x82;
inline constexpr quint32 f24 = 0x83;
inline constexpr quint32 printScreen = 0x84;
inline constexpr quint32 scrollLock = 0x85;
inline constexpr quint32 pause = 0x86;
inline constexpr quint32 menu = 0x87;
} // namespace key_code

// Tells which character a key gives in the current keyboard layout. The store stays free of any
// windowing system: the X11 layer installs a layout that asks the server's keymap, and without
// one the US layout below answers.
class KeyboardLayout {
public:
    virtual ~KeyboardLayout() = default;
    // The text the key types with no modifier held, or an empty string when it types nothing.
    // No value means there is no layout to ask.
    virtual std::optional<QString> characterForKeyCode(quint32 keyCode) const = 0;
    // The text the key types with Shift held; no value when this layout cannot tell.
    virtual std::optional<QString> shiftedCharacterForKeyCode(quint32 keyCode) const
    {
        (void)keyCode;
        return std::nullopt;
    }
    // The name of the key's symbol in this layout, as X and xkbcommon give it ("F5", "Prior",
    // "comma", "XF86Tools"), or an empty string when the key has none. No value when this layout
    // cannot tell.
    virtual std::optional<QString> keySymbolName(quint32 keyCode) const
    {
        (void)keyCode;
        return std::nullopt;
    }
};

// The US ANSI layout, for when no display is there to ask.
class UsKeyboardLayout final : public KeyboardLayout {
public:
    std::optional<QString> characterForKeyCode(quint32 keyCode) const override;
};

// One shortcut: the virtual key code and modifier mask the hot-key service grabs, plus the key
// equivalent and modifier set the menus show.
struct ShortcutBinding {
    quint32 carbonKeyCode = 0;
    quint32 carbonModifiers = 0;
    QString keyEquivalent;
    quint32 eventModifiers = 0;

    friend bool operator==(const ShortcutBinding &, const ShortcutBinding &) = default;

    // {"carbonKeyCode", "carbonModifiers", "keyEquivalent", "eventModifiers"}; all four are
    // required, and a wrong type or a negative or oversized number makes the binding undecodable.
    QJsonObject toJson() const;
    // The same object as compact JSON text with the keys in the order above.
    QByteArray toJsonBytes() const;
    static std::optional<ShortcutBinding> fromJson(const QJsonValue &value);

    // The menus' key: the Qt key that the key at `carbonKeyCode` gives in the current layout
    // (`menuKeyForKeyCode`). The stored equivalent plays no part: a
    // binding stored under another layout, or with "?", shows and fires on the key the hot key
    // grabs. Qt::Key_unknown for a key the layout cannot name.
    Qt::Key menuKeyEquivalent() const;
    // The menus' modifiers for `eventModifiers` (command is the Meta key, which is Super here).
    Qt::KeyboardModifiers menuModifiers() const;
    // The key and modifiers the menus show for this binding; the keypad modifier marks the
    // keypad's keys, whatever `eventModifiers` says.
    QKeyCombination menuKey() const;
    // The stored menu key equivalent rebuilt from the key code in the current layout; a recorder
    // stores it, and only when the user changes that binding.
    QString currentKeyEquivalent() const { return keyEquivalentForKey(carbonKeyCode); }

    // The key's name as a Linux keyboard labels it: "Space", "Return", "Tab", the arrows by
    // direction, the function keys by position ("F13"), else what the key types in the current
    // layout, each letter in its own capital ("ß" stays one letter; a letter whose capital
    // another letter shares keeps its own case: "ı" and "i" are "ı" and "I"; a key that types
    // what another key types too is named as its cap shows it, with what it types with Shift:
    // "\|" and "\_"), the keypad's keys as with Num Lock on after "KP " ("KP 1"), else a dead
    // key's accent ("´"), else its symbol's name as desktops write it ("Page Up", "Scroll
    // Lock", "Audio Mute"). No two keys of a layout share a name: where keys still come out
    // alike, each after the first adds where it sits ("\| (B00)": ISO positions for the
    // alphanumeric keys, US names for the others), and a key that types nothing and has no
    // symbol is named by where it sits alone ("E13"). "?" for a key it cannot name.
    static QString keyName(quint32 keyCode);
    // Every named key of the current layout at once, by key code, as `keyName` names them.
    static std::map<quint32, QString> keyNames();
    // The key's symbol name as X writes it ("F5", "Prior", "space"), for whoever binds keys by
    // those names; nothing when neither the layout nor the fixed keys know it.
    static std::optional<QString> keySymbolName(quint32 keyCode);
    // The menu key equivalent stored for a key that types nothing a menu could show (the
    // function, editing and arrow keys, Return, Tab, Space): a control character or one of the
    // private-use characters the classic menus give such keys. Nothing for the other keys.
    static std::optional<QString> keyEquivalentForKeyCode(quint32 keyCode);
    // The menu key equivalent of any key in the current layout: the one above, else what the key
    // types in lower case, else a dead key's accent; "?" for a key that gives none of them.
    static QString keyEquivalentForKey(quint32 keyCode);
    // The Qt key that Qt's key events and shortcuts give the key in the current layout: the
    // keypad's keys as with Num Lock on (Key_1, without the keypad modifier), a letter by its
    // capital, a dead key as Qt's dead key. Qt::Key_unknown when there is none.
    static Qt::Key qtKeyForKeyCode(quint32 keyCode);
    // The key a menu shows for the key: `qtKeyForKeyCode`, except for a letter `keyName` keeps
    // in its own case, which is that letter ("ı", where Qt's events say I), a key that types
    // what another key types, which is what it types with Shift, and a key named by where it
    // sits or one Qt has no key for ("Zenkaku Hankaku"), which is a private-use character of
    // its own that no key types; so no two keys of a layout share a menu key. `firingKeys` adds
    // the key Qt reports.
    static Qt::Key menuKeyForKeyCode(quint32 keyCode);
    // True for the keys of the numeric keypad that type a character with Num Lock on.
    static bool isKeypadKey(quint32 keyCode);
    // The virtual key code of a key that types nothing from the menus' Qt key; nothing for the
    // other keys.
    static std::optional<quint32> keyCodeForMenuKey(Qt::Key key);
    // The name `keyName` gives the key a menu's key stands for in the current layout (a keypad
    // key with the keypad modifier); nothing for a key no key of the layout gives.
    static std::optional<QString> nameOfMenuKey(QKeyCombination key);
    // What a window's shortcut must match so that it fires on the key a menu's key stands for:
    // the key itself, and for a keypad key the two keys Qt reports on X11, where it drops the
    // keypad modifier before matching: the character with Num Lock on, the editing key with it
    // off ("KP 1" is Key_1 and Key_End); and for a menu key other than the key Qt reports
    // (`menuKeyForKeyCode`), the one Qt reports too.
    static QList<QKeyCombination> firingKeys(QKeyCombination menuKey);
    // How a binding reads to the user: the modifiers in words, in the order Linux desktops write
    // them, then the key, joined by "+" ("Shift+Super+Space"). Every place that shows a binding
    // (status panel, tooltips, help, settings, menus) goes through `shortcutText`.
    static QString displayString(quint32 keyCode, quint32 carbonModifiers);
    // The same format for a key already named: `carbonModifiers` as stored, `key` as shown.
    static QString shortcutText(quint32 carbonModifiers, const QString &key);

    // Replaces the layout that `keyName` asks; null brings back the built-in US layout.
    static void setKeyboardLayout(std::shared_ptr<const KeyboardLayout> layout);
    static std::shared_ptr<const KeyboardLayout> keyboardLayout();
};

ShortcutBinding defaultBinding(ShortcutAction action);

// Bindings keyed by action. Iteration follows the case order.
using ShortcutBindings = std::map<ShortcutAction, ShortcutBinding>;

} // namespace lumacast
