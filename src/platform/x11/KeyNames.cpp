#include "platform/x11/KeyNames.h"

#include "platform/x11/X11Connection.h"

#include <xcb/xcb.h>
// xkb.h names a field "explicit", a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <QByteArray>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace lumacast::x11 {

namespace {

struct KeyPosition {
    quint32 keyCode;
    const char *xkbName;
};

// Virtual key code -> XKB position name. The codes are the classic ANSI virtual key codes
// (letters, digits and punctuation by their US position; then the named keys), the names those
// of the xkeyboard-config "evdev" and "xfree86" keycode sets, which agree on them.
constexpr KeyPosition kPositions[] = {
    // Letters, home row first as the codes run.
    {0x00, "AC01"}, // A
    {0x01, "AC02"}, // S
    {0x02, "AC03"}, // D
    {0x03, "AC04"}, // F
    {0x04, "AC06"}, // H
    {0x05, "AC05"}, // G
    {0x06, "AB01"}, // Z
    {0x07, "AB02"}, // X
    {0x08, "AB03"}, // C
    {0x09, "AB04"}, // V
    {0x0A, "LSGT"}, // the extra key of ISO keyboards beside the left Shift
    {0x0B, "AB05"}, // B
    {0x0C, "AD01"}, // Q
    {0x0D, "AD02"}, // W
    {0x0E, "AD03"}, // E
    {0x0F, "AD04"}, // R
    {0x10, "AD06"}, // Y
    {0x11, "AD05"}, // T
    {0x12, "AE01"}, // 1
    {0x13, "AE02"}, // 2
    {0x14, "AE03"}, // 3
    {0x15, "AE04"}, // 4
    {0x16, "AE06"}, // 6
    {0x17, "AE05"}, // 5
    {0x18, "AE12"}, // =
    {0x19, "AE09"}, // 9
    {0x1A, "AE07"}, // 7
    {0x1B, "AE11"}, // -
    {0x1C, "AE08"}, // 8
    {0x1D, "AE10"}, // 0
    {0x1E, "AD12"}, // ]
    {0x1F, "AD09"}, // O
    {0x20, "AD07"}, // U
    {0x21, "AD11"}, // [
    {0x22, "AD08"}, // I
    {0x23, "AD10"}, // P
    {0x24, "RTRN"}, // Return
    {0x25, "AC09"}, // L
    {0x26, "AC07"}, // J
    {0x27, "AC11"}, // '
    {0x28, "AC08"}, // K
    {0x29, "AC10"}, // ;
    {0x2A, "BKSL"}, // backslash
    {0x2B, "AB08"}, // ,
    {0x2C, "AB10"}, // /
    {0x2D, "AB06"}, // N
    {0x2E, "AB07"}, // M
    {0x2F, "AB09"}, // .
    {0x30, "TAB"},  // Tab
    {0x31, "SPCE"}, // Space
    {0x32, "TLDE"}, // `
    {0x33, "BKSP"}, // Delete (backspace)
    {0x35, "ESC"},  // Escape
    // Modifier keys: listed so that a key recorder recognises them; never grabbed alone.
    {0x36, "RWIN"}, // right command (Super)
    {0x37, "LWIN"}, // command (Super)
    {0x38, "LFSH"}, // Shift
    {0x39, "CAPS"}, // Caps Lock
    {0x3A, "LALT"}, // option (Alt)
    {0x3B, "LCTL"}, // Control
    {0x3C, "RTSH"}, // right Shift
    {0x3D, "RALT"}, // right option
    {0x3E, "RCTL"}, // right Control
    // Keypad and the rest.
    {0x40, "FK17"},
    {0x41, "KPDL"}, // keypad .
    {0x43, "KPMU"}, // keypad *
    {0x45, "KPAD"}, // keypad +
    {0x47, "NMLK"}, // keypad Clear sits where Num Lock is
    {0x48, "VOL+"},
    {0x49, "VOL-"},
    {0x4A, "MUTE"},
    {0x4B, "KPDV"}, // keypad /
    {0x4C, "KPEN"}, // keypad Enter
    {0x4E, "KPSU"}, // keypad -
    {0x4F, "FK18"},
    {0x50, "FK19"},
    {0x51, "KPEQ"}, // keypad =
    {0x52, "KP0"},
    {0x53, "KP1"},
    {0x54, "KP2"},
    {0x55, "KP3"},
    {0x56, "KP4"},
    {0x57, "KP5"},
    {0x58, "KP6"},
    {0x59, "KP7"},
    {0x5A, "FK20"},
    {0x5B, "KP8"},
    {0x5C, "KP9"},
    {0x5D, "AE13"}, // the yen key of JIS keyboards, left of Backspace
    {0x5E, "AB11"}, // left of the right Shift: JIS ro, ABNT2 "/ ?"
    {0x60, "FK05"},
    {0x61, "FK06"},
    {0x62, "FK07"},
    {0x63, "FK03"},
    {0x64, "FK08"},
    {0x65, "FK09"},
    {0x67, "FK11"},
    {0x69, "FK13"},
    {0x6A, "FK16"},
    {0x6B, "FK14"},
    {0x6D, "FK10"},
    {0x6F, "FK12"},
    {0x71, "FK15"},
    {0x72, "INS"},  // Help sits where Insert is
    {0x73, "HOME"},
    {0x74, "PGUP"},
    {0x75, "DELE"}, // forward delete
    {0x76, "FK04"},
    {0x77, "END"},
    {0x78, "FK02"},
    {0x79, "PGDN"},
    {0x7A, "FK01"},
    {0x7B, "LEFT"},
    {0x7C, "RGHT"},
    {0x7D, "DOWN"},
    {0x7E, "UP"},
    // Keys the classic codes leave out.
    {key_code::f21, "FK21"},
    {key_code::f22, "FK22"},
    {key_code::f23, "FK23"},
    {key_code::f24, "FK24"},
    {key_code::printScreen, "PRSC"},
    {key_code::scrollLock, "SCLK"},
    {key_code::pause, "PAUS"},
    {key_code::menu, "COMP"},
};

constexpr auto kRefreshInterval = std::chrono::seconds(1);

} // namespace

QString xkbKeyNameForKeyCode(quint32 keyCode)
{
    for (const KeyPosition &position : kPositions) {
        if (position.keyCode == keyCode)
            return QString::fromLatin1(position.xkbName);
    }
    return {};
}

std::optional<quint32> keyCodeForXkbKeyName(const QString &name)
{
    for (const KeyPosition &position : kPositions) {
        if (name == QLatin1String(position.xkbName))
            return position.keyCode;
    }
    return std::nullopt;
}

namespace {

QString typedText(xkb_state *state, xkb_keycode_t keycode)
{
    char buffer[64] = {};
    const int length = xkb_state_key_get_utf8(state, keycode, buffer, sizeof buffer);
    if (length <= 0)
        return QString();
    return QString::fromUtf8(buffer, std::min<int>(length, sizeof buffer - 1));
}

QString symbolName(xkb_state *state, xkb_keycode_t keycode)
{
    const xkb_keysym_t symbol = xkb_state_key_get_one_sym(state, keycode);
    char buffer[64] = {};
    if (symbol == XKB_KEY_NoSymbol || xkb_keysym_get_name(symbol, buffer, sizeof buffer) <= 0)
        return QString();
    return QString::fromLatin1(buffer);
}

bool isPrintable(const QString &text)
{
    return !text.isEmpty()
        && std::none_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// What a key types without and with Shift, and its symbol's name; empty where it has none.
struct KeyTexts {
    QString typed;
    QString shifted;
    QString symbol;
};

// The keypad's positions: "KP1", "KPDL", "KPEN" and the like.
bool isKeypadPosition(const char *xkbName)
{
    return xkbName && std::strncmp(xkbName, "KP", 2) == 0;
}

xkb_mod_mask_t modifierMask(xkb_keymap *keymap, const char *name, const char *fallback = nullptr)
{
    xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, name);
    if (index == XKB_MOD_INVALID && fallback)
        index = xkb_keymap_mod_get_index(keymap, fallback);
    return index == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t(1u) << index;
}

} // namespace

struct XkbKeyboardLayout::Private {
    // Null for a layout compiled from rule names, whose keymap never changes.
    xcb_connection_t *connection = nullptr;
    xkb_context *context = nullptr;
    int32_t deviceID = -1;

    mutable std::mutex mutex;
    mutable xkb_keymap *keymap = nullptr;
    mutable xkb_state *state = nullptr;   // the locks that are on but Caps Lock, the locked group
    mutable xkb_state *shifted = nullptr; // the same with Shift held
    mutable xkb_state *keypad = nullptr;  // the same with Num Lock on too, for the keypad
    mutable std::chrono::steady_clock::time_point fetchedAt;
    mutable std::array<std::optional<KeyTexts>, 0x100> described; // by virtual key code

    ~Private()
    {
        dropKeymap();
        if (context)
            xkb_context_unref(context);
        if (connection)
            xcb_disconnect(connection);
    }

    void dropKeymap() const
    {
        for (xkb_state **held : {&state, &shifted, &keypad}) {
            if (*held)
                xkb_state_unref(*held);
            *held = nullptr;
        }
        if (keymap)
            xkb_keymap_unref(keymap);
        keymap = nullptr;
        described.fill(std::nullopt);
    }

    // Fetches the keymap, the locked group and the locks when the cached ones are stale. Caller
    // holds the mutex. False when the server no longer answers.
    bool refresh() const
    {
        const auto now = std::chrono::steady_clock::now();
        if (keymap && state && (!connection || now - fetchedAt < kRefreshInterval))
            return true;
        dropKeymap();
        if (!connection || xcb_connection_has_error(connection))
            return false;
        // Nothing is selected on this connection, but the server still sends some notices
        // (mapping changes); they would only pile up.
        while (xcb_generic_event_t *event = xcb_poll_for_event(connection))
            std::free(event);
        keymap = xkb_x11_keymap_new_from_device(context, connection, deviceID,
                                                XKB_KEYMAP_COMPILE_NO_FLAGS);
        if (!keymap)
            return false;
        xkb_state *live = xkb_x11_state_new_from_device(keymap, connection, deviceID);
        if (!live) {
            dropKeymap();
            return false;
        }
        // A group switch held or latched right now is not the layout in use.
        const xkb_layout_index_t group = xkb_state_serialize_layout(live, XKB_STATE_LAYOUT_LOCKED);
        const xkb_mod_mask_t locked = xkb_state_serialize_mods(live, XKB_STATE_MODS_LOCKED);
        xkb_state_unref(live);
        if (!makeStates(locked, group)) {
            dropKeymap();
            return false;
        }
        fetchedAt = now;
        return true;
    }

    // Names follow the locks that are on (Num Lock picks a level on some layouts' main keys),
    // but Caps Lock, which changes only the case a name shows in capitals anyway.
    bool makeStates(xkb_mod_mask_t locked, xkb_layout_index_t group) const
    {
        state = xkb_state_new(keymap);
        shifted = xkb_state_new(keymap);
        keypad = xkb_state_new(keymap);
        if (!state || !shifted || !keypad)
            return false;
        locked &= ~modifierMask(keymap, XKB_MOD_NAME_CAPS);
        const xkb_mod_mask_t numLock = modifierMask(keymap, "NumLock", XKB_MOD_NAME_NUM);
        xkb_state_update_mask(state, 0, 0, locked, 0, 0, group);
        xkb_state_update_mask(shifted, modifierMask(keymap, XKB_MOD_NAME_SHIFT), 0, locked, 0, 0, group);
        xkb_state_update_mask(keypad, 0, 0, locked | numLock, 0, 0, group);
        return true;
    }

    // What the key at a virtual key code's position types and is, read once per keymap: no
    // value when the server no longer answers; empty texts for a position the keymap lacks.
    std::optional<KeyTexts> describe(quint32 keyCode) const
    {
        std::lock_guard lock(mutex);
        if (!refresh())
            return std::nullopt;
        if (keyCode >= described.size())
            return KeyTexts{};
        std::optional<KeyTexts> &texts = described[keyCode];
        if (!texts) {
            texts.emplace();
            if (const std::optional<xkb_keycode_t> keycode = keycodeFor(keyCode)) {
                // A keypad key that types no character at the locks that are on (KP_End with Num
                // Lock off) is read as with Num Lock on, where it types its digit; on layouts
                // whose Num Lock picks another level of every key (Neo) it already does.
                const bool onKeypad = isKeypadPosition(xkb_keymap_key_get_name(keymap, *keycode));
                xkb_state *in = onKeypad && !isPrintable(typedText(state, *keycode)) ? keypad : state;
                texts->typed = typedText(in, *keycode);
                texts->shifted = typedText(shifted, *keycode);
                texts->symbol = symbolName(in, *keycode);
            }
        }
        return texts;
    }

    std::optional<xkb_keycode_t> keycodeFor(quint32 keyCode) const
    {
        const QString name = xkbKeyNameForKeyCode(keyCode);
        if (name.isEmpty())
            return std::nullopt;
        const xkb_keycode_t keycode = xkb_keymap_key_by_name(keymap, name.toLatin1().constData());
        if (keycode == XKB_KEYCODE_INVALID)
            return std::nullopt;
        return keycode;
    }
};

std::shared_ptr<XkbKeyboardLayout> XkbKeyboardLayout::connect(const QString &displayName)
{
    auto d = std::make_unique<Private>();
    const QByteArray name = displayName.toLocal8Bit();
    ignoreBrokenPipes();
    d->connection = xcb_connect(displayName.isEmpty() ? nullptr : name.constData(), nullptr);
    if (!d->connection || xcb_connection_has_error(d->connection))
        return nullptr;
    if (!xkb_x11_setup_xkb_extension(d->connection, XKB_X11_MIN_MAJOR_XKB_VERSION,
                                     XKB_X11_MIN_MINOR_XKB_VERSION,
                                     XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr,
                                     nullptr, nullptr))
        return nullptr;
    d->deviceID = xkb_x11_get_core_keyboard_device_id(d->connection);
    if (d->deviceID < 0)
        return nullptr;
    d->context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (!d->context)
        return nullptr;
    {
        std::lock_guard lock(d->mutex);
        if (!d->refresh())
            return nullptr;
    }
    return std::shared_ptr<XkbKeyboardLayout>(new XkbKeyboardLayout(std::move(d)));
}

std::shared_ptr<XkbKeyboardLayout> XkbKeyboardLayout::compile(const QString &model, const QString &layout,
                                                             const QString &variant, const QString &options)
{
    auto d = std::make_unique<Private>();
    d->context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (!d->context)
        return nullptr;
    xkb_context_set_log_level(d->context, XKB_LOG_LEVEL_CRITICAL);
    const QByteArray names[] = {model.toUtf8(), layout.toUtf8(), variant.toUtf8(), options.toUtf8()};
    const xkb_rule_names rules{"evdev", names[0].constData(), names[1].constData(), names[2].constData(),
                               names[3].constData()};
    std::lock_guard lock(d->mutex);
    d->keymap = xkb_keymap_new_from_names(d->context, &rules, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (!d->keymap || !d->makeStates(0, 0))
        return nullptr;
    return std::shared_ptr<XkbKeyboardLayout>(new XkbKeyboardLayout(std::move(d)));
}

XkbKeyboardLayout::XkbKeyboardLayout(std::unique_ptr<Private> p) : d(std::move(p)) {}

XkbKeyboardLayout::~XkbKeyboardLayout() = default;

std::optional<QString> XkbKeyboardLayout::characterForKeyCode(quint32 keyCode) const
{
    const std::optional<KeyTexts> texts = d->describe(keyCode);
    return texts ? std::optional(texts->typed) : std::nullopt;
}

std::optional<QString> XkbKeyboardLayout::shiftedCharacterForKeyCode(quint32 keyCode) const
{
    const std::optional<KeyTexts> texts = d->describe(keyCode);
    return texts ? std::optional(texts->shifted) : std::nullopt;
}

std::optional<QString> XkbKeyboardLayout::keySymbolName(quint32 keyCode) const
{
    const std::optional<KeyTexts> texts = d->describe(keyCode);
    return texts ? std::optional(texts->symbol) : std::nullopt;
}

XkbKeyboardLayout::Unbindable XkbKeyboardLayout::unbindable(quint32 eventState) const
{
    std::lock_guard lock(d->mutex);
    Unbindable result;
    if (!d->refresh())
        return result;
    // Num Lock's modifier as the keymap sets it; every modifier is one of the eight real ones.
    xkb_state *numLock = xkb_state_new(d->keymap);
    if (numLock) {
        xkb_state_update_mask(numLock, 0, 0, modifierMask(d->keymap, "NumLock", XKB_MOD_NAME_NUM), 0, 0, 0);
        result.modifiers = xkb_state_serialize_mods(numLock, XKB_STATE_MODS_LOCKED) & 0xff;
        xkb_state_unref(numLock);
    }
    constexpr quint32 kBindable = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1
        | XCB_MOD_MASK_4;
    result.modifiers = eventState & 0xff & ~(kBindable | result.modifiers);
    if (d->connection) {
        const xcb_xkb_get_state_cookie_t cookie = xcb_xkb_get_state(d->connection, xcb_xkb_id_t(d->deviceID));
        if (xcb_xkb_get_state_reply_t *reply = xcb_xkb_get_state_reply(d->connection, cookie, nullptr)) {
            result.groupSwitch = ((eventState >> 13) & 0x3) != reply->lockedGroup;
            std::free(reply);
        }
    }
    return result;
}

void XkbKeyboardLayout::reload() const
{
    std::lock_guard lock(d->mutex);
    d->dropKeymap();
}

std::optional<quint32> XkbKeyboardLayout::x11KeycodeForKeyCode(quint32 keyCode) const
{
    std::lock_guard lock(d->mutex);
    if (!d->refresh())
        return std::nullopt;
    const std::optional<xkb_keycode_t> keycode = d->keycodeFor(keyCode);
    if (!keycode)
        return std::nullopt;
    return *keycode;
}

std::optional<quint32> XkbKeyboardLayout::keyCodeForX11Keycode(quint32 x11Keycode) const
{
    std::lock_guard lock(d->mutex);
    if (!d->refresh())
        return std::nullopt;
    // Asking by position name resolves the keymap's aliases (a keymap may call the Super key
    // "LMTA" and alias "LWIN" to it).
    for (const KeyPosition &position : kPositions) {
        if (xkb_keymap_key_by_name(d->keymap, position.xkbName) == x11Keycode)
            return position.keyCode;
    }
    return std::nullopt;
}

} // namespace lumacast::x11
