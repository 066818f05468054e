// The rig's seat has no keyboard or pointer of its own: this client lends it one of each through
// the compositor's virtual keyboard and pointer protocols, so that input goes the way a user's
// would (the compositor picks the window and the focus). It reads one command a line on stdin and
// answers "ok" once the compositor has taken it, or "error <why>":
//
//   click X Y            the pointer to X,Y of the 1920x1080 layout (in three small steps, as a hand
//                        moves it), then a left click
//   type TEXT            lower-case letters and spaces, key by key
//   keys MOD+...+KEY     a chord of xkb key names ("shift+super+space"), pressed and released
//
// It prints "ready" once both devices exist. The devices live as long as the client does: seat
// capabilities come and go with them, and clients drop their pointer when they go.
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <wayland-client.h>
#include <xkbcommon/xkbcommon.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kLeftButton = 0x110; // BTN_LEFT
constexpr uint32_t kWidth = 1920, kHeight = 1080;

struct Globals {
    wl_seat *seat = nullptr;
    zwp_virtual_keyboard_manager_v1 *keyboards = nullptr;
    zwlr_virtual_pointer_manager_v1 *pointers = nullptr;
};

void announce(void *data, wl_registry *registry, uint32_t name, const char *interface, uint32_t)
{
    auto *g = static_cast<Globals *>(data);
    if (!std::strcmp(interface, wl_seat_interface.name) && !g->seat)
        g->seat = static_cast<wl_seat *>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
    else if (!std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name))
        g->keyboards = static_cast<zwp_virtual_keyboard_manager_v1 *>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
    else if (!std::strcmp(interface, zwlr_virtual_pointer_manager_v1_interface.name))
        g->pointers = static_cast<zwlr_virtual_pointer_manager_v1 *>(
            wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface, 1));
}
void withdraw(void *, wl_registry *, uint32_t) {}
const wl_registry_listener registryListener{announce, withdraw};

class Keyboard {
public:
    Keyboard(wl_display *display, zwp_virtual_keyboard_v1 *device) : m_display(display), m_device(device)
    {
        m_context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
        const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
        m_keymap = xkb_keymap_new_from_names(m_context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
        m_state = xkb_state_new(m_keymap);
    }
    bool ready() const { return m_state != nullptr; }

    // The compositor maps the keymap from a file it is handed, NUL included.
    bool sendKeymap()
    {
        char *text = xkb_keymap_get_as_string(m_keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
        const size_t size = std::strlen(text) + 1;
        const int fd = memfd_create("lumacast-keymap", MFD_CLOEXEC);
        const bool written = fd >= 0 && write(fd, text, size) == ssize_t(size);
        std::free(text);
        if (written)
            zwp_virtual_keyboard_v1_keymap(m_device, XKB_KEYMAP_FORMAT_TEXT_V1, fd, uint32_t(size));
        if (fd >= 0)
            close(fd);
        return written;
    }

    // The first key whose unshifted symbol is `symbol`; 0 when none is.
    xkb_keycode_t keycodeOf(xkb_keysym_t symbol) const
    {
        for (xkb_keycode_t code = xkb_keymap_min_keycode(m_keymap); code <= xkb_keymap_max_keycode(m_keymap); ++code) {
            const xkb_keysym_t *symbols = nullptr;
            const int n = xkb_keymap_key_get_syms_by_level(m_keymap, code, 0, 0, &symbols);
            for (int i = 0; i < n; ++i)
                if (symbols[i] == symbol)
                    return code;
        }
        return 0;
    }

    // The virtual keyboard does not track modifiers itself: each change is sent after its key.
    void key(xkb_keycode_t code, bool down)
    {
        zwp_virtual_keyboard_v1_key(m_device, m_time++, code - 8, down ? 1 : 0);
        xkb_state_update_key(m_state, code, down ? XKB_KEY_DOWN : XKB_KEY_UP);
        zwp_virtual_keyboard_v1_modifiers(m_device, xkb_state_serialize_mods(m_state, XKB_STATE_MODS_DEPRESSED),
                                          xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LATCHED),
                                          xkb_state_serialize_mods(m_state, XKB_STATE_MODS_LOCKED),
                                          xkb_state_serialize_layout(m_state, XKB_STATE_LAYOUT_EFFECTIVE));
        wl_display_roundtrip(m_display);
        usleep(20000);
    }

    bool chord(const std::vector<xkb_keycode_t> &codes)
    {
        for (xkb_keycode_t code : codes)
            if (code == 0)
                return false;
        for (xkb_keycode_t code : codes)
            key(code, true);
        for (auto it = codes.rbegin(); it != codes.rend(); ++it)
            key(*it, false);
        return true;
    }

private:
    wl_display *m_display;
    zwp_virtual_keyboard_v1 *m_device;
    xkb_context *m_context = nullptr;
    xkb_keymap *m_keymap = nullptr;
    xkb_state *m_state = nullptr;
    uint32_t m_time = 1;
};

xkb_keysym_t namedSymbol(std::string name)
{
    if (name == "shift" || name == "super" || name == "control" || name == "alt")
        name = name == "control" ? "Control_L" : name == "alt" ? "Alt_L" : std::string(1, char(std::toupper(name[0]))) + name.substr(1) + "_L";
    return xkb_keysym_from_name(name.c_str(), XKB_KEYSYM_CASE_INSENSITIVE);
}

std::string run(const std::string &line, wl_display *display, Keyboard &keyboard, zwlr_virtual_pointer_v1 *pointer)
{
    std::istringstream in(line);
    std::string verb;
    in >> verb;
    if (verb == "click") {
        uint32_t x = 0, y = 0;
        if (!(in >> x >> y) || x >= kWidth || y >= kHeight)
            return "error click wants X Y inside the layout";
        // A hand's pointer arrives in steps: the last step moves within the window clicked.
        for (uint32_t step : {2u, 1u, 0u}) {
            zwlr_virtual_pointer_v1_motion_absolute(pointer, 1, x >= step ? x - step : x + step, y, kWidth, kHeight);
            zwlr_virtual_pointer_v1_frame(pointer);
            wl_display_roundtrip(display);
            usleep(20000);
        }
        for (uint32_t state : {1u, 0u}) {
            zwlr_virtual_pointer_v1_button(pointer, 2, kLeftButton, state);
            zwlr_virtual_pointer_v1_frame(pointer);
            wl_display_roundtrip(display);
            usleep(30000);
        }
        return "ok";
    }
    if (verb == "type") {
        std::string text;
        std::getline(in >> std::ws, text);
        for (char c : text) {
            const xkb_keycode_t code = keyboard.keycodeOf(xkb_utf32_to_keysym(uint32_t(c)));
            if (!keyboard.chord({code}))
                return std::string("error no key types '") + c + "'";
        }
        return "ok";
    }
    if (verb == "keys") {
        std::string chordText;
        in >> chordText;
        std::vector<xkb_keycode_t> codes;
        std::istringstream names(chordText);
        for (std::string name; std::getline(names, name, '+');)
            codes.push_back(keyboard.keycodeOf(namedSymbol(name)));
        return keyboard.chord(codes) ? "ok" : "error unknown key in " + chordText;
    }
    return "error unknown command " + verb;
}

} // namespace

int main()
{
    wl_display *display = wl_display_connect(nullptr);
    if (!display) {
        std::fprintf(stderr, "no Wayland display\n");
        return 1;
    }
    Globals globals;
    wl_registry_add_listener(wl_display_get_registry(display), &registryListener, &globals);
    wl_display_roundtrip(display);
    if (!globals.seat || !globals.keyboards || !globals.pointers) {
        std::fprintf(stderr, "the compositor offers no seat, virtual keyboard or virtual pointer\n");
        return 1;
    }
    auto *pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(globals.pointers, globals.seat);
    Keyboard keyboard(display, zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(globals.keyboards, globals.seat));
    if (!keyboard.ready() || !keyboard.sendKeymap()) {
        std::fprintf(stderr, "could not make a us keymap\n");
        return 1;
    }
    wl_display_roundtrip(display);
    std::cout << "ready" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        if (!line.empty())
            std::cout << run(line, display, keyboard, pointer) << std::endl;
    }
    wl_display_disconnect(display);
    return 0;
}
