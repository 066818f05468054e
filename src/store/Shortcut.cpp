#include "store/Shortcut.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <vector>

namespace lumacast {

namespace shortcut_action {

QString rawValue(ShortcutAction action)
{
    switch (action) {
    case ShortcutAction::startPause:
        return QStringLiteral("startPause");
    case ShortcutAction::endTake:
        return QStringLiteral("endTake");
    case ShortcutAction::nextScene:
        return QStringLiteral("nextScene");
    case ShortcutAction::retake:
        return QStringLiteral("retake");
    case ShortcutAction::toggleWebcamZoom:
        return QStringLiteral("toggleWebcamZoom");
    case ShortcutAction::toggleWebcamBlob:
        return QStringLiteral("toggleWebcamBlob");
    }
    return {};
}

std::optional<ShortcutAction> fromRawValue(const QString &raw)
{
    for (ShortcutAction action : allCases) {
        if (rawValue(action) == raw)
            return action;
    }
    return std::nullopt;
}

} // namespace shortcut_action

namespace {

// What each key of a US ANSI keyboard types without modifiers, by virtual key code. The codes
// number the physical positions of that keyboard (A is 0x00, S 0x01, ... Space 0x31); keys that
// type nothing printable are left out.
struct UsKey {
    quint32 code;
    char16_t character;
};
constexpr UsKey kUsKeys[] = {
    {0x00, u'a'}, {0x01, u's'}, {0x02, u'd'}, {0x03, u'f'},  {0x04, u'h'},  {0x05, u'g'},
    {0x06, u'z'}, {0x07, u'x'}, {0x08, u'c'}, {0x09, u'v'},  {0x0B, u'b'},
    {0x0C, u'q'}, {0x0D, u'w'}, {0x0E, u'e'}, {0x0F, u'r'},  {0x10, u'y'},  {0x11, u't'},
    {0x12, u'1'}, {0x13, u'2'}, {0x14, u'3'}, {0x15, u'4'},  {0x16, u'6'},  {0x17, u'5'},
    {0x18, u'='}, {0x19, u'9'}, {0x1A, u'7'}, {0x1B, u'-'},  {0x1C, u'8'},  {0x1D, u'0'},
    {0x1E, u']'}, {0x1F, u'o'}, {0x20, u'u'}, {0x21, u'['},  {0x22, u'i'},  {0x23, u'p'},
    {0x25, u'l'}, {0x26, u'j'}, {0x27, u'\''}, {0x28, u'k'}, {0x29, u';'},  {0x2A, u'\\'},
    {0x2B, u','}, {0x2C, u'/'}, {0x2D, u'n'}, {0x2E, u'm'},  {0x2F, u'.'},  {0x31, u' '},
    {0x32, u'`'}, {0x41, u'.'}, {0x43, u'*'}, {0x45, u'+'},  {0x4B, u'/'},  {0x4E, u'-'},
    {0x51, u'='}, {0x52, u'0'}, {0x53, u'1'}, {0x54, u'2'},  {0x55, u'3'},  {0x56, u'4'},
    {0x57, u'5'}, {0x58, u'6'}, {0x59, u'7'}, {0x5B, u'8'},  {0x5C, u'9'},
};

// Keys that type nothing a menu could show, by virtual key code: the name of their symbol in X,
// the Qt key of the menus, and the character the stored menu key equivalent holds for them
// (control characters where the key has one, else the private-use characters the classic menus
// give function, editing and arrow keys: stored files rely on them).
struct NamedKey {
    quint32 code;
    const char *symbol;
    Qt::Key qtKey;
    char16_t equivalent;
};
constexpr NamedKey kNamedKeys[] = {
    {key_code::returnKey, "Return", Qt::Key_Return, u'\r'},
    {key_code::tab, "Tab", Qt::Key_Tab, u'\t'},
    {key_code::space, "space", Qt::Key_Space, u' '},
    {key_code::deleteKey, "BackSpace", Qt::Key_Backspace, u'\b'},
    {key_code::escape, "Escape", Qt::Key_Escape, u'\x1b'},
    {0x4C, "KP_Enter", Qt::Key_Enter, u'\x03'},
    {0x75, "Delete", Qt::Key_Delete, u'\x7f'},
    {key_code::upArrow, "Up", Qt::Key_Up, 0xF700},
    {key_code::downArrow, "Down", Qt::Key_Down, 0xF701},
    {key_code::leftArrow, "Left", Qt::Key_Left, 0xF702},
    {key_code::rightArrow, "Right", Qt::Key_Right, 0xF703},
    {0x7A, "F1", Qt::Key_F1, 0xF704},
    {0x78, "F2", Qt::Key_F2, 0xF705},
    {0x63, "F3", Qt::Key_F3, 0xF706},
    {0x76, "F4", Qt::Key_F4, 0xF707},
    {0x60, "F5", Qt::Key_F5, 0xF708},
    {0x61, "F6", Qt::Key_F6, 0xF709},
    {0x62, "F7", Qt::Key_F7, 0xF70A},
    {0x64, "F8", Qt::Key_F8, 0xF70B},
    {0x65, "F9", Qt::Key_F9, 0xF70C},
    {0x6D, "F10", Qt::Key_F10, 0xF70D},
    {0x67, "F11", Qt::Key_F11, 0xF70E},
    {0x6F, "F12", Qt::Key_F12, 0xF70F},
    {0x69, "F13", Qt::Key_F13, 0xF710},
    {0x6B, "F14", Qt::Key_F14, 0xF711},
    {0x71, "F15", Qt::Key_F15, 0xF712},
    {0x6A, "F16", Qt::Key_F16, 0xF713},
    {0x40, "F17", Qt::Key_F17, 0xF714},
    {0x4F, "F18", Qt::Key_F18, 0xF715},
    {0x50, "F19", Qt::Key_F19, 0xF716},
    {0x5A, "F20", Qt::Key_F20, 0xF717},
    {key_code::f21, "F21", Qt::Key_F21, 0xF718},
    {key_code::f22, "F22", Qt::Key_F22, 0xF719},
    {key_code::f23, "F23", Qt::Key_F23, 0xF71A},
    {key_code::f24, "F24", Qt::Key_F24, 0xF71B},
    {0x72, "Insert", Qt::Key_Insert, 0xF727}, // where the classic keyboards have Help
    {0x73, "Home", Qt::Key_Home, 0xF729},
    {0x77, "End", Qt::Key_End, 0xF72B},
    {0x74, "Prior", Qt::Key_PageUp, 0xF72C},
    {0x79, "Next", Qt::Key_PageDown, 0xF72D},
    {key_code::printScreen, "Print", Qt::Key_Print, 0xF72E},
    {key_code::scrollLock, "Scroll_Lock", Qt::Key_ScrollLock, 0xF72F},
    {key_code::pause, "Pause", Qt::Key_Pause, 0xF730},
    {key_code::menu, "Menu", Qt::Key_Menu, 0xF735},
};

const NamedKey *namedKey(quint32 code)
{
    for (const NamedKey &key : kNamedKeys) {
        if (key.code == code)
            return &key;
    }
    return nullptr;
}

const NamedKey *namedKeyOfSymbol(const QString &symbol)
{
    for (const NamedKey &key : kNamedKeys) {
        if (symbol == QLatin1String(key.symbol))
            return &key;
    }
    return nullptr;
}

// The keys of the numeric keypad that type a character with Num Lock on, by virtual key code,
// with the Qt key they give with Num Lock off; the keypad's key types are the same in every
// layout.
struct KeypadKey {
    quint32 code;
    Qt::Key numLockOff;
};
constexpr KeypadKey kKeypadKeys[] = {
    {0x41, Qt::Key_Delete}, {0x43, Qt::Key_Asterisk}, {0x45, Qt::Key_Plus},   {0x4B, Qt::Key_Slash},
    {0x4E, Qt::Key_Minus},  {0x51, Qt::Key_Equal},    {0x52, Qt::Key_Insert}, {0x53, Qt::Key_End},
    {0x54, Qt::Key_Down},   {0x55, Qt::Key_PageDown}, {0x56, Qt::Key_Left},   {0x57, Qt::Key_Clear},
    {0x58, Qt::Key_Right},  {0x59, Qt::Key_Home},     {0x5B, Qt::Key_Up},     {0x5C, Qt::Key_PageUp},
};

const KeypadKey *keypadKey(quint32 code)
{
    for (const KeypadKey &key : kKeypadKeys) {
        if (key.code == code)
            return &key;
    }
    return nullptr;
}

// Dead keys type nothing by themselves: they go by the spacing accent they put on the next
// letter, and Qt numbers them in the order of their X symbols.
struct DeadKey {
    const char *symbol;
    char16_t accent;
};
constexpr DeadKey kDeadKeys[] = {
    {"dead_grave", u'`'},       {"dead_acute", 0x00B4},     {"dead_circumflex", u'^'},
    {"dead_tilde", u'~'},       {"dead_macron", 0x00AF},    {"dead_breve", 0x02D8},
    {"dead_abovedot", 0x02D9},  {"dead_diaeresis", 0x00A8}, {"dead_abovering", 0x02DA},
    {"dead_doubleacute", 0x02DD}, {"dead_caron", 0x02C7},   {"dead_cedilla", 0x00B8},
    {"dead_ogonek", 0x02DB},    {"dead_iota", 0x037A},
};

std::optional<std::size_t> deadKeyIndex(const QString &symbol)
{
    for (std::size_t i = 0; i < std::size(kDeadKeys); ++i) {
        if (symbol == QLatin1String(kDeadKeys[i].symbol))
            return i;
    }
    return std::nullopt;
}

// Symbols the function keys beyond F20 carry in the common keymaps, with Qt's keys for them.
struct SymbolKey {
    const char *symbol;
    Qt::Key qtKey;
};
constexpr SymbolKey kOtherSymbols[] = {
    {"XF86Tools", Qt::Key_Tools},          {"XF86Launch5", Qt::Key_Launch5},
    {"XF86Launch6", Qt::Key_Launch6},      {"XF86Launch7", Qt::Key_Launch7},
    {"XF86Launch8", Qt::Key_Launch8},      {"XF86Launch9", Qt::Key_Launch9},
    {"XF86AudioMicMute", Qt::Key_MicMute}, {"XF86TouchpadToggle", Qt::Key_TouchpadToggle},
    {"XF86TouchpadOn", Qt::Key_TouchpadOn}, {"XF86TouchpadOff", Qt::Key_TouchpadOff},
};

// The Qt key of a key that types nothing, from its symbol's name; Key_unknown when unknown.
Qt::Key qtKeyOfSymbol(const QString &symbol)
{
    if (const NamedKey *key = namedKeyOfSymbol(symbol))
        return key->qtKey;
    if (const auto dead = deadKeyIndex(symbol))
        return static_cast<Qt::Key>(Qt::Key_Dead_Grave + int(*dead));
    for (const SymbolKey &key : kOtherSymbols) {
        if (symbol == QLatin1String(key.symbol))
            return key.qtKey;
    }
    bool number = false;
    const int function = symbol.startsWith(QLatin1Char('F')) ? symbol.mid(1).toInt(&number) : 0;
    if (number && function >= 1 && function <= 35)
        return static_cast<Qt::Key>(Qt::Key_F1 + function - 1);
    return Qt::Key_unknown;
}

// What the key types, when a person could read it: a key whose only output is a control
// character (Enter on the keypad, Delete) has nothing readable.
std::optional<QString> readableText(quint32 keyCode)
{
    const std::optional<QString> text = ShortcutBinding::keyboardLayout()->characterForKeyCode(keyCode);
    const bool readable = text && !text->isEmpty()
        && std::none_of(text->cbegin(), text->cend(),
                        [](QChar c) { return c.category() == QChar::Other_Control; });
    return readable ? text : std::nullopt;
}

// Each letter changed on its own: "ß" has no one-letter capital and stays as it is, where
// QString's rules would make two letters of it.
QString eachLetterCased(const QString &text, bool upper)
{
    QString result;
    for (const char32_t c : text.toUcs4()) {
        const char32_t cased = upper ? QChar::toUpper(c) : QChar::toLower(c);
        result += QString::fromUcs4(&cased, 1);
    }
    return result;
}

// True when a letter's capital is that letter's alone: false for Turkish "ı" and Greek "ς",
// whose capitals "I" and "Σ" are also those of "i" and "σ".
bool ownCapital(char32_t c)
{
    return QChar::toLower(QChar::toUpper(c)) == c;
}

// What a key types as its name shows it: each letter in its own capital, except a letter that
// shares its capital with another, which keeps the case the layout gives it.
QString shownLetters(const QString &text)
{
    QString result;
    for (const char32_t c : text.toUcs4()) {
        const char32_t shown = ownCapital(c) ? QChar::toUpper(c) : c;
        result += QString::fromUcs4(&shown, 1);
    }
    return result;
}

// The capital the layout itself gives a one-letter key with Shift, where that capital is the
// letter's own: Turkish "i" is "İ", for "I" is the capital of the key that types "ı". Empty for
// other keys, or where Shift gives no capital of the letter ("ß" gives "?").
QString layoutCapital(quint32 keyCode, const QString &text)
{
    const QList<uint> letter = text.toUcs4();
    if (letter.size() != 1 || !QChar::isLetter(letter.front()))
        return {};
    const std::optional<QString> shifted = ShortcutBinding::keyboardLayout()->shiftedCharacterForKeyCode(keyCode);
    const QList<uint> capital = shifted ? shifted->toUcs4() : QList<uint>();
    if (capital.size() != 1 || capital.front() == letter.front() || !QChar::isUpper(capital.front()))
        return {};
    // Qt lowers "İ" to itself: a capital without a small letter of Qt's is taken at its word.
    const char32_t small = QChar::toLower(capital.front());
    if (small != letter.front() && small != capital.front())
        return {};
    return *shifted;
}

// The fixed names of the keys every layout has alike; empty for the other keys.
QString fixedKeyName(quint32 keyCode)
{
    switch (keyCode) {
    case key_code::returnKey:
        return QStringLiteral("Return");
    case key_code::tab:
        return QStringLiteral("Tab");
    case key_code::space:
        return QStringLiteral("Space");
    case key_code::deleteKey: // the key above Return, Backspace on these keyboards
        return QStringLiteral("Backspace");
    case key_code::escape:
        return QStringLiteral("Esc");
    case key_code::leftArrow:
        return QStringLiteral("Left");
    case key_code::rightArrow:
        return QStringLiteral("Right");
    case key_code::downArrow:
        return QStringLiteral("Down");
    case key_code::upArrow:
        return QStringLiteral("Up");
    default:
        return {};
    }
}

// The codes a key name is looked up among: every classic code and the ones numbered after them.
constexpr quint32 kLastKeyCode = key_code::menu;

// "F13" for the thirteenth function key: the function keys are named by where they sit, for
// keymaps give the ones beyond F12 other symbols ("XF86Tools"); empty for the other keys.
QString functionKeyName(quint32 keyCode)
{
    const NamedKey *key = namedKey(keyCode);
    if (!key || key->qtKey < Qt::Key_F1 || key->qtKey > Qt::Key_F35)
        return {};
    return QString::fromLatin1(key->symbol);
}

// A symbol name as desktops show it: "Prior" is "Page Up", and words are parted by spaces
// ("Scroll_Lock" is "Scroll Lock", "XF86AudioMute" "Audio Mute", without X's prefix).
QString shownSymbolName(QString symbol)
{
    if (symbol == QLatin1String("Prior"))
        return QStringLiteral("Page Up");
    if (symbol == QLatin1String("Next"))
        return QStringLiteral("Page Down");
    if (symbol.startsWith(QLatin1String("XF86")) && symbol.size() > 4) {
        QString words;
        for (const QChar c : QStringView(symbol).mid(4)) {
            if (c.isUpper() && !words.isEmpty() && !words.back().isUpper())
                words += QLatin1Char(' ');
            words += c;
        }
        return words;
    }
    return symbol.replace(QLatin1Char('_'), QLatin1Char(' '));
}

// Where a key sits, for telling apart keys that a layout makes alike: an alphanumeric key by its
// ISO 9995 position (row E the digits, D, C and B the letter rows from the top, B00 the extra key
// of ISO keyboards beside the left Shift), another key by what a US keyboard calls it.
struct KeyPlace {
    quint32 code;
    const char *label;
};
constexpr KeyPlace kPlaces[] = {
    {0x32, "E00"}, {0x12, "E01"}, {0x13, "E02"}, {0x14, "E03"}, {0x15, "E04"}, {0x17, "E05"},
    {0x16, "E06"}, {0x1A, "E07"}, {0x1C, "E08"}, {0x19, "E09"}, {0x1D, "E10"}, {0x1B, "E11"},
    {0x18, "E12"}, {0x0C, "D01"}, {0x0D, "D02"}, {0x0E, "D03"}, {0x0F, "D04"}, {0x11, "D05"},
    {0x10, "D06"}, {0x20, "D07"}, {0x22, "D08"}, {0x1F, "D09"}, {0x23, "D10"}, {0x21, "D11"},
    {0x1E, "D12"}, {0x2A, "D13"}, {0x00, "C01"}, {0x01, "C02"}, {0x02, "C03"}, {0x03, "C04"},
    {0x05, "C05"}, {0x04, "C06"}, {0x26, "C07"}, {0x28, "C08"}, {0x25, "C09"}, {0x29, "C10"},
    {0x27, "C11"}, {0x06, "B01"}, {0x07, "B02"}, {0x08, "B03"}, {0x09, "B04"}, {0x0B, "B05"},
    {0x2D, "B06"}, {0x2E, "B07"}, {0x2B, "B08"}, {0x2F, "B09"}, {0x2C, "B10"},
    // The keys only some keyboards have, after the others: where one of them types what a key
    // every keyboard has types too, it is the one told apart.
    {0x0A, "B00"}, {0x5D, "E13"}, {0x5E, "B11"},
    {0x36, "Right Super"}, {0x37, "Left Super"}, {0x38, "Left Shift"}, {0x39, "Caps Lock"},
    {0x3A, "Left Alt"}, {0x3B, "Left Ctrl"}, {0x3C, "Right Shift"}, {0x3D, "Right Alt"},
    {0x3E, "Right Ctrl"}, {0x47, "Num Lock"}, {0x48, "Volume Up"}, {0x49, "Volume Down"},
    {0x4A, "Mute"}, {0x41, "KP ."}, {0x43, "KP *"}, {0x45, "KP +"}, {0x4B, "KP /"},
    {0x4C, "KP Enter"}, {0x4E, "KP -"}, {0x51, "KP ="}, {0x52, "KP 0"}, {0x53, "KP 1"},
    {0x54, "KP 2"}, {0x55, "KP 3"}, {0x56, "KP 4"}, {0x57, "KP 5"}, {0x58, "KP 6"},
    {0x59, "KP 7"}, {0x5B, "KP 8"}, {0x5C, "KP 9"}, {0x72, "Insert"}, {0x73, "Home"},
    {0x74, "Page Up"}, {0x75, "Delete"}, {0x77, "End"}, {0x79, "Page Down"},
    {key_code::printScreen, "Print"}, {key_code::scrollLock, "Scroll Lock"},
    {key_code::pause, "Pause"}, {key_code::menu, "Menu"},
};

// The place of a key and its rank among keys named alike (the first keeps the name): the keys
// of fixed names and the function keys first, then in the order above.
std::pair<QString, std::size_t> placeOf(quint32 keyCode)
{
    if (const QString fixed = fixedKeyName(keyCode); !fixed.isEmpty())
        return {fixed, 0};
    if (const QString function = functionKeyName(keyCode); !function.isEmpty())
        return {function, 0};
    for (std::size_t i = 0; i < std::size(kPlaces); ++i) {
        if (kPlaces[i].code == keyCode)
            return {QString::fromLatin1(kPlaces[i].label), i + 1};
    }
    return {{}, std::size(kPlaces) + 1};
}

// The menus' key of a key named by its place, or of one Qt has no key for: a private-use
// character of its own, which no key types, so that the menus find the key's name again.
constexpr char32_t kOwnMenuKeys = 0xF0000;

// Every key's name in the current layout, read at once: a name tells a key from the others.
struct LayoutNames {
    // What the keys type, when readable; the keypad's keys and the keys of fixed names are left
    // out: their names never meet the others.
    std::array<std::optional<QString>, kLastKeyCode + 1> typed;
    std::array<QString, kLastKeyCode + 1> names; // empty for a key it cannot name
    std::array<bool, kLastKeyCode + 1> placed{}; // named by, or with, where the key sits

    LayoutNames()
    {
        for (quint32 code = 0; code <= kLastKeyCode; ++code) {
            if (!ShortcutBinding::isKeypadKey(code) && fixedKeyName(code).isEmpty() && functionKeyName(code).isEmpty())
                typed[code] = readableText(code);
        }
        std::map<QString, std::vector<quint32>> alike;
        for (quint32 code = 0; code <= kLastKeyCode; ++code) {
            names[code] = ownName(code, this);
            // A key the layout has but names not is called by its place; where the layout does
            // not answer at all, it stays nameless.
            if (names[code].isEmpty() && ShortcutBinding::keyboardLayout()->characterForKeyCode(code)) {
                names[code] = placeOf(code).first;
                placed[code] = !names[code].isEmpty();
            }
            if (!names[code].isEmpty())
                alike[names[code]].push_back(code);
        }
        for (auto &[name, codes] : alike) {
            if (codes.size() < 2)
                continue;
            std::stable_sort(codes.begin(), codes.end(),
                             [](quint32 a, quint32 b) { return placeOf(a).second < placeOf(b).second; });
            for (auto code = codes.begin() + 1; code != codes.end(); ++code) {
                names[*code] += QStringLiteral(" (") + placeOf(*code).first + QLatin1Char(')');
                placed[*code] = true;
            }
        }
    }

    QString name(quint32 keyCode) const
    {
        const QString named = keyCode <= kLastKeyCode ? names[keyCode] : ownName(keyCode, nullptr);
        return named.isEmpty() ? QStringLiteral("?") : named;
    }

    // What the key types with Shift, when another key types what it types without (the yen and
    // ro keys of a JIS keyboard both type "\"); empty otherwise, or when Shift changes nothing.
    QString shiftedWhenShared(quint32 keyCode) const
    {
        if (keyCode > kLastKeyCode || !typed[keyCode])
            return {};
        bool shared = false;
        for (quint32 code = 0; code <= kLastKeyCode && !shared; ++code)
            shared = code != keyCode && typed[code] == typed[keyCode];
        if (!shared)
            return {};
        const std::optional<QString> shifted = ShortcutBinding::keyboardLayout()->shiftedCharacterForKeyCode(keyCode);
        const bool readable = shifted && !shifted->isEmpty() && *shifted != *typed[keyCode]
            && std::none_of(shifted->cbegin(), shifted->cend(),
                            [](QChar c) { return c.category() == QChar::Other_Control; });
        return readable ? *shifted : QString();
    }

    Qt::Key menuKey(quint32 keyCode) const
    {
        const Qt::Key reported = ShortcutBinding::qtKeyForKeyCode(keyCode);
        if (keyCode > kLastKeyCode)
            return reported;
        if (placed[keyCode] || (reported == Qt::Key_unknown && !names[keyCode].isEmpty()))
            return static_cast<Qt::Key>(kOwnMenuKeys + keyCode);
        if (!typed[keyCode])
            return reported;
        if (const QString shifted = shiftedWhenShared(keyCode); !shifted.isEmpty())
            return static_cast<Qt::Key>(shifted.toUcs4().constFirst());
        const char32_t first = typed[keyCode]->toUcs4().constFirst();
        return ownCapital(first) ? reported : static_cast<Qt::Key>(first);
    }

    // The key's name before it is told apart from keys named alike; empty for a key that types
    // nothing and has no symbol. `layout` gives what keys type with Shift where two keys type
    // the same; without it (a key code beyond the others) nothing is compared.
    static QString ownName(quint32 keyCode, const LayoutNames *layout)
    {
        if (const QString fixed = fixedKeyName(keyCode); !fixed.isEmpty())
            return fixed;
        if (const QString function = functionKeyName(keyCode); !function.isEmpty())
            return function;
        if (const std::optional<QString> text = readableText(keyCode)) {
            if (ShortcutBinding::isKeypadKey(keyCode))
                return QStringLiteral("KP ") + shownLetters(*text);
            if (const QString capital = layoutCapital(keyCode, *text); !capital.isEmpty())
                return capital;
            return shownLetters(*text) + (layout ? layout->shiftedWhenShared(keyCode) : QString());
        }
        const std::optional<QString> symbol = ShortcutBinding::keySymbolName(keyCode);
        if (!symbol || *symbol == QLatin1String("VoidSymbol"))
            return {};
        if (const auto dead = deadKeyIndex(*symbol))
            return QString(QChar(kDeadKeys[*dead].accent));
        return shownSymbolName(*symbol);
    }
};

struct LayoutSlot {
    std::mutex mutex;
    std::shared_ptr<const KeyboardLayout> layout;
};

LayoutSlot &layoutSlot()
{
    static LayoutSlot slot;
    return slot;
}

std::optional<quint32> readUInt32(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double number = value.toDouble();
    if (!std::isfinite(number) || number < 0 || number > std::numeric_limits<quint32>::max()
        || std::floor(number) != number)
        return std::nullopt;
    return static_cast<quint32>(number);
}

} // namespace

std::optional<QString> UsKeyboardLayout::characterForKeyCode(quint32 keyCode) const
{
    for (const UsKey &key : kUsKeys) {
        if (key.code == keyCode)
            return QString(QChar(key.character));
    }
    return QString();
}

QJsonObject ShortcutBinding::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("carbonKeyCode"), static_cast<qint64>(carbonKeyCode));
    object.insert(QStringLiteral("carbonModifiers"), static_cast<qint64>(carbonModifiers));
    object.insert(QStringLiteral("keyEquivalent"), keyEquivalent);
    object.insert(QStringLiteral("eventModifiers"), static_cast<qint64>(eventModifiers));
    return object;
}

QByteArray ShortcutBinding::toJsonBytes() const
{
    const QByteArray equivalent =
        QJsonDocument(QJsonArray{keyEquivalent}).toJson(QJsonDocument::Compact);
    return "{\"carbonKeyCode\":" + QByteArray::number(carbonKeyCode) + ",\"carbonModifiers\":"
        + QByteArray::number(carbonModifiers) + ",\"keyEquivalent\":"
        + equivalent.mid(1, equivalent.size() - 2) + ",\"eventModifiers\":"
        + QByteArray::number(eventModifiers) + "}";
}

std::optional<ShortcutBinding> ShortcutBinding::fromJson(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject object = value.toObject();
    const auto keyCode = readUInt32(object.value(QStringLiteral("carbonKeyCode")));
    const auto modifiers = readUInt32(object.value(QStringLiteral("carbonModifiers")));
    const QJsonValue equivalent = object.value(QStringLiteral("keyEquivalent"));
    const auto eventModifiers = readUInt32(object.value(QStringLiteral("eventModifiers")));
    if (!keyCode || !modifiers || !equivalent.isString() || !eventModifiers)
        return std::nullopt;
    return ShortcutBinding{*keyCode, *modifiers, equivalent.toString(), *eventModifiers};
}

Qt::Key ShortcutBinding::menuKeyEquivalent() const
{
    return menuKeyForKeyCode(carbonKeyCode);
}

QKeyCombination ShortcutBinding::menuKey() const
{
    Qt::KeyboardModifiers modifiers = menuModifiers() & ~Qt::KeypadModifier;
    if (isKeypadKey(carbonKeyCode))
        modifiers |= Qt::KeypadModifier;
    return QKeyCombination(modifiers, menuKeyEquivalent());
}

Qt::KeyboardModifiers ShortcutBinding::menuModifiers() const
{
    Qt::KeyboardModifiers result;
    if (eventModifiers & event_modifier::shift)
        result |= Qt::ShiftModifier;
    if (eventModifiers & event_modifier::control)
        result |= Qt::ControlModifier;
    if (eventModifiers & event_modifier::option)
        result |= Qt::AltModifier;
    if (eventModifiers & event_modifier::command)
        result |= Qt::MetaModifier;
    if (eventModifiers & event_modifier::numericPad)
        result |= Qt::KeypadModifier;
    return result;
}

QString ShortcutBinding::keyName(quint32 keyCode)
{
    return LayoutNames().name(keyCode);
}

std::map<quint32, QString> ShortcutBinding::keyNames()
{
    const LayoutNames layout;
    std::map<quint32, QString> names;
    for (quint32 code = 0; code <= kLastKeyCode; ++code) {
        if (!layout.names[code].isEmpty())
            names.emplace(code, layout.names[code]);
    }
    return names;
}

std::optional<QString> ShortcutBinding::keySymbolName(quint32 keyCode)
{
    const std::optional<QString> symbol = keyboardLayout()->keySymbolName(keyCode);
    if (symbol && !symbol->isEmpty())
        return symbol;
    if (const NamedKey *key = namedKey(keyCode))
        return QString::fromLatin1(key->symbol);
    return std::nullopt;
}

std::optional<QString> ShortcutBinding::keyEquivalentForKeyCode(quint32 keyCode)
{
    if (const NamedKey *key = namedKey(keyCode))
        return QString(QChar(key->equivalent));
    return std::nullopt;
}

QString ShortcutBinding::keyEquivalentForKey(quint32 keyCode)
{
    if (const std::optional<QString> named = keyEquivalentForKeyCode(keyCode))
        return *named;
    if (const std::optional<QString> text = readableText(keyCode))
        return eachLetterCased(*text, false);
    if (const std::optional<QString> symbol = keySymbolName(keyCode)) {
        if (const auto dead = deadKeyIndex(*symbol))
            return QString(QChar(kDeadKeys[*dead].accent));
    }
    return QStringLiteral("?");
}

Qt::Key ShortcutBinding::qtKeyForKeyCode(quint32 keyCode)
{
    const NamedKey *named = namedKey(keyCode);
    if (named && !fixedKeyName(keyCode).isEmpty())
        return named->qtKey;
    if (const std::optional<QString> text = readableText(keyCode)) {
        // As Qt makes a key of what the key types: a digit of any script is the digit's key, any
        // other character its capital.
        const QChar first = text->front();
        if (first.isDigit() && first.digitValue() >= 0)
            return static_cast<Qt::Key>(Qt::Key_0 + first.digitValue());
        return static_cast<Qt::Key>(QChar::toUpper(text->toUcs4().constFirst()));
    }
    if (const std::optional<QString> symbol = keySymbolName(keyCode)) {
        if (const Qt::Key key = qtKeyOfSymbol(*symbol); key != Qt::Key_unknown)
            return key;
    }
    return named ? named->qtKey : Qt::Key_unknown;
}

Qt::Key ShortcutBinding::menuKeyForKeyCode(quint32 keyCode)
{
    return LayoutNames().menuKey(keyCode);
}

bool ShortcutBinding::isKeypadKey(quint32 keyCode)
{
    return keypadKey(keyCode) != nullptr;
}

std::optional<quint32> ShortcutBinding::keyCodeForMenuKey(Qt::Key qtKey)
{
    for (const NamedKey &key : kNamedKeys) {
        if (key.qtKey == qtKey)
            return key.code;
    }
    return std::nullopt;
}

std::optional<QString> ShortcutBinding::nameOfMenuKey(QKeyCombination menuKey)
{
    const Qt::Key wanted = menuKey.key();
    if (wanted == Qt::Key_unknown)
        return std::nullopt;
    // A keypad key is looked for on the keypad first; a menu key of the keypad that no keypad
    // key gives is still the key that gives it elsewhere.
    const bool keypad = menuKey.keyboardModifiers().testFlag(Qt::KeypadModifier);
    const LayoutNames names;
    for (const bool onKeypad : {keypad, !keypad}) {
        for (quint32 code = 0; code <= kLastKeyCode; ++code) {
            if (isKeypadKey(code) == onKeypad && names.menuKey(code) == wanted)
                return names.name(code);
        }
    }
    return std::nullopt;
}

QList<QKeyCombination> ShortcutBinding::firingKeys(QKeyCombination menuKey)
{
    const Qt::KeyboardModifiers modifiers = menuKey.keyboardModifiers();
    if (!modifiers.testFlag(Qt::KeypadModifier)) {
        const LayoutNames texts;
        for (quint32 code = 0; code <= kLastKeyCode; ++code) {
            if (isKeypadKey(code) || texts.menuKey(code) != menuKey.key())
                continue;
            const Qt::Key reported = qtKeyForKeyCode(code);
            if (reported != menuKey.key() && reported != Qt::Key_unknown)
                return {menuKey, QKeyCombination(modifiers, reported)};
            break;
        }
        return {menuKey};
    }
    const Qt::KeyboardModifiers held = modifiers & ~Qt::KeypadModifier;
    QList<QKeyCombination> keys{QKeyCombination(held, menuKey.key())};
    for (const KeypadKey &key : kKeypadKeys) {
        if (qtKeyForKeyCode(key.code) == menuKey.key() && key.numLockOff != menuKey.key()) {
            keys << QKeyCombination(held, key.numLockOff);
            break;
        }
    }
    return keys;
}

QString ShortcutBinding::displayString(quint32 keyCode, quint32 carbonModifiers)
{
    return shortcutText(carbonModifiers, keyName(keyCode));
}

QString ShortcutBinding::shortcutText(quint32 carbonModifiers, const QString &key)
{
    // GTK's order and words, which the other desktops' settings read the same way; the command
    // bit is the Super key the hot keys grab.
    QStringList parts;
    if (carbonModifiers & carbon_modifier::shift)
        parts << QStringLiteral("Shift");
    if (carbonModifiers & carbon_modifier::control)
        parts << QStringLiteral("Ctrl");
    if (carbonModifiers & carbon_modifier::option)
        parts << QStringLiteral("Alt");
    if (carbonModifiers & carbon_modifier::command)
        parts << QStringLiteral("Super");
    if (!key.isEmpty())
        parts << key;
    return parts.join(QLatin1Char('+'));
}

void ShortcutBinding::setKeyboardLayout(std::shared_ptr<const KeyboardLayout> layout)
{
    LayoutSlot &slot = layoutSlot();
    std::lock_guard lock(slot.mutex);
    slot.layout = std::move(layout);
}

std::shared_ptr<const KeyboardLayout> ShortcutBinding::keyboardLayout()
{
    LayoutSlot &slot = layoutSlot();
    std::lock_guard lock(slot.mutex);
    if (!slot.layout)
        slot.layout = std::make_shared<UsKeyboardLayout>();
    return slot.layout;
}

ShortcutBinding defaultBinding(ShortcutAction action)
{
    constexpr quint32 modifiers = carbon_modifier::command | carbon_modifier::shift;
    constexpr quint32 menuModifiers = event_modifier::command | event_modifier::shift;
    switch (action) {
    case ShortcutAction::startPause:
        return {key_code::space, modifiers, QStringLiteral(" "), menuModifiers};
    case ShortcutAction::endTake:
        return {key_code::returnKey, modifiers, QStringLiteral("\r"), menuModifiers};
    case ShortcutAction::nextScene:
        return {45, modifiers, QStringLiteral("n"), menuModifiers};
    case ShortcutAction::retake:
        return {15, modifiers, QStringLiteral("r"), menuModifiers};
    case ShortcutAction::toggleWebcamZoom:
        return {3, modifiers, QStringLiteral("f"), menuModifiers};
    case ShortcutAction::toggleWebcamBlob:
        return {13, modifiers, QStringLiteral("w"), menuModifiers};
    }
    return {};
}

} // namespace lumacast
