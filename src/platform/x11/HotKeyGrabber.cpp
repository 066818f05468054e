#include "platform/x11/HotKeyGrabber.h"

#include "model/LogCategories.h"
#include "platform/x11/KeyNames.h"
#include "platform/x11/X11Connection.h"
#include "threads/ThreadBridge.h"

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>
// xkb.h names a field "explicit", a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>

#include <QByteArray>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <vector>

namespace lumacast::x11 {

namespace {

constexpr xcb_keysym_t kNumLockKeysym = 0xff7f;
constexpr uint8_t kBadAccess = 10;

// The modifier bits a grab is made for; buttons and the keyboard group are not part of it.
constexpr uint16_t kCoreModifierBits = 0xff;

template <class T> struct Freed {
    T *p;
    explicit Freed(T *value) : p(value) {}
    ~Freed() { std::free(p); }
    Freed(const Freed &) = delete;
    Freed &operator=(const Freed &) = delete;
    T *operator->() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

uint16_t x11Modifiers(quint32 carbonModifiers)
{
    uint16_t result = 0;
    if (carbonModifiers & carbon_modifier::command)
        result |= XCB_MOD_MASK_4;
    if (carbonModifiers & carbon_modifier::shift)
        result |= XCB_MOD_MASK_SHIFT;
    if (carbonModifiers & carbon_modifier::option)
        result |= XCB_MOD_MASK_1;
    if (carbonModifiers & carbon_modifier::control)
        result |= XCB_MOD_MASK_CONTROL;
    return result;
}

} // namespace

struct HotKeyGrabber::Private {
    struct Handler {
        HandlerProc proc = nullptr;
        void *userData = nullptr;
    };
    struct Registration {
        EventHotKeyID hotKeyID;
        xcb_keycode_t keycode = 0;
        uint16_t modifiers = 0;
        uint16_t numLockMask = 0;
        std::vector<uint16_t> variants; // the full modifier sets grabbed
    };

    xcb_connection_t *connection = nullptr;
    std::vector<xcb_window_t> roots;
    std::unique_ptr<QSocketNotifier> notifier;
    std::shared_ptr<XkbKeyboardLayout> layout;

    std::map<EventHandlerRef, Handler> handlers; // ascending refs: the newest is last
    std::map<EventHotKeyRef, Registration> registrations;
    quint64 nextRef = 1;
    std::map<xcb_keycode_t, xcb_timestamp_t> lastRelease;
    bool readScheduled = false;
    bool lossReported = false;
    std::optional<uint8_t> xkbEventBase; // the XKB extension's first event number, once it reports
    std::optional<uint8_t> lastLocks;    // the locks last announced, but Caps Lock

    // Asks the XKB extension for its notices of a new keymap, of the locked layout group
    // changing (a desktop's switch between the layouts of one keymap, which the core protocol
    // never announces) and of the locks. Without the extension the core mapping notices still
    // come.
    void watchKeyboard()
    {
        uint8_t base = 0;
        if (!xkb_x11_setup_xkb_extension(connection, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                         XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &base, nullptr))
            return;
        constexpr uint16_t wholeEvents = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
        xcb_xkb_select_events_details_t details = {};
        details.affectState = XCB_XKB_STATE_PART_GROUP_LOCK | XCB_XKB_STATE_PART_MODIFIER_LOCK;
        details.stateDetails = XCB_XKB_STATE_PART_GROUP_LOCK | XCB_XKB_STATE_PART_MODIFIER_LOCK;
        xcb_xkb_select_events_aux(connection, XCB_XKB_ID_USE_CORE_KBD,
                                  wholeEvents | XCB_XKB_EVENT_TYPE_STATE_NOTIFY, 0, wholeEvents, 0, 0, &details);
        xcb_flush(connection);
        xkbEventBase = base;
    }

    // True for the notices that name keys otherwise: a new keymap, another layout group, or a
    // lock other than Caps Lock turned on or off (Num Lock picks a level on some layouts).
    bool keyboardChanged(const xcb_generic_event_t *event)
    {
        const uint8_t type = event->response_type & 0x7f;
        if (type == XCB_MAPPING_NOTIFY)
            return reinterpret_cast<const xcb_mapping_notify_event_t *>(event)->request != XCB_MAPPING_POINTER;
        if (!xkbEventBase || type != *xkbEventBase)
            return false;
        // The XKB events share one number and tell their kind in the byte after it.
        const uint8_t kind = reinterpret_cast<const uint8_t *>(event)[1];
        if (kind == XCB_XKB_STATE_NOTIFY) {
            const auto *state = reinterpret_cast<const xcb_xkb_state_notify_event_t *>(event);
            const uint8_t locks = state->lockedMods & ~XCB_MOD_MASK_LOCK;
            const bool otherLocks = locks != lastLocks;
            lastLocks = locks;
            return otherLocks || (state->changed & XCB_XKB_STATE_PART_GROUP_LOCK);
        }
        return kind == XCB_XKB_NEW_KEYBOARD_NOTIFY || kind == XCB_XKB_MAP_NOTIFY;
    }

    bool usable() const { return connection && !xcb_connection_has_error(connection); }

    // The modifier bit Num Lock sets in key events (Mod2 on most keymaps); 0 when no key
    // produces Num_Lock.
    uint16_t numLockMask() const
    {
        xcb_key_symbols_t *symbols = xcb_key_symbols_alloc(connection);
        if (!symbols)
            return 0;
        xcb_keycode_t *numLockCodes = xcb_key_symbols_get_keycode(symbols, kNumLockKeysym);
        xcb_key_symbols_free(symbols);
        if (!numLockCodes)
            return 0;
        uint16_t mask = 0;
        Freed<xcb_get_modifier_mapping_reply_t> mapping(xcb_get_modifier_mapping_reply(
            connection, xcb_get_modifier_mapping(connection), nullptr));
        if (mapping) {
            const xcb_keycode_t *codes = xcb_get_modifier_mapping_keycodes(mapping.p);
            const int perModifier = mapping->keycodes_per_modifier;
            for (int modifier = 0; modifier < 8 && !mask; ++modifier) {
                for (int i = 0; i < perModifier && !mask; ++i) {
                    const xcb_keycode_t code = codes[modifier * perModifier + i];
                    for (const xcb_keycode_t *n = numLockCodes; code && *n != XCB_NO_SYMBOL; ++n) {
                        if (*n == code) {
                            mask = uint16_t(1u << modifier);
                            break;
                        }
                    }
                }
            }
        }
        std::free(numLockCodes);
        return mask;
    }

    void ungrab(const Registration &registration)
    {
        for (xcb_window_t root : roots) {
            for (uint16_t variant : registration.variants)
                xcb_ungrab_key(connection, registration.keycode, root, variant);
        }
        xcb_flush(connection);
    }
};

HotKeyGrabber::HotKeyGrabber(const QString &displayName, QObject *parent)
    : QObject(parent), d(std::make_unique<Private>())
{
    const QByteArray name = displayName.toLocal8Bit();
    ignoreBrokenPipes();
    d->connection = xcb_connect(displayName.isEmpty() ? nullptr : name.constData(), nullptr);
    if (!d->usable()) {
        qCWarning(log::shortcuts(), "no X display for global hot keys");
        return;
    }
    d->layout = XkbKeyboardLayout::connect(displayName);
    if (!d->layout)
        qCWarning(log::shortcuts(), "the X server's keyboard map is not readable");
    d->watchKeyboard();
    for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(d->connection)); it.rem;
         xcb_screen_next(&it))
        d->roots.push_back(it.data->root);
    d->notifier = std::make_unique<QSocketNotifier>(xcb_get_file_descriptor(d->connection),
                                                    QSocketNotifier::Read);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, &HotKeyGrabber::readEvents);
}

HotKeyGrabber::~HotKeyGrabber()
{
    if (d->connection) {
        if (d->usable()) {
            for (const auto &[ref, registration] : d->registrations)
                d->ungrab(registration);
        }
        d->notifier.reset();
        xcb_disconnect(d->connection);
    }
}

bool HotKeyGrabber::isConnected() const { return d->usable(); }

int HotKeyGrabber::installEventHandler(HandlerProc proc, void *userData, EventHandlerRef *outRef)
{
    if (!proc || !outRef)
        return hot_key_status::paramErr;
    if (!d->usable() || !d->layout)
        return hot_key_status::eventInternalErr;
    const EventHandlerRef ref = d->nextRef++;
    d->handlers[ref] = Private::Handler{proc, userData};
    *outRef = ref;
    return hot_key_status::noErr;
}

int HotKeyGrabber::removeEventHandler(EventHandlerRef ref)
{
    return d->handlers.erase(ref) ? hot_key_status::noErr : hot_key_status::paramErr;
}

int HotKeyGrabber::registerEventHotKey(quint32 keyCode, quint32 modifiers, EventHotKeyID hotKeyID,
                                       EventHotKeyRef *outRef)
{
    if (!outRef)
        return hot_key_status::paramErr;
    if (!d->usable() || !d->layout)
        return hot_key_status::eventInternalErr;
    const std::optional<quint32> keycode = d->layout->x11KeycodeForKeyCode(keyCode);
    if (!keycode || *keycode > 255)
        return hot_key_status::eventHotKeyInvalidErr;

    Private::Registration registration;
    registration.hotKeyID = hotKeyID;
    registration.keycode = xcb_keycode_t(*keycode);
    registration.modifiers = x11Modifiers(modifiers);
    for (const auto &[ref, existing] : d->registrations) {
        if (existing.keycode == registration.keycode && existing.modifiers == registration.modifiers)
            return hot_key_status::eventHotKeyExistsErr;
    }
    // A lock key that is on adds its bit to every key event, and a passive grab matches its
    // modifiers exactly: grab each combination of the two locks as well.
    registration.numLockMask = d->numLockMask() & ~registration.modifiers;
    const uint16_t lock = XCB_MOD_MASK_LOCK & ~registration.modifiers;
    for (uint16_t extra : {uint16_t(0), lock, registration.numLockMask,
                           uint16_t(lock | registration.numLockMask)}) {
        const uint16_t variant = registration.modifiers | extra;
        if (std::find(registration.variants.begin(), registration.variants.end(), variant)
            == registration.variants.end())
            registration.variants.push_back(variant);
    }

    std::vector<std::pair<xcb_window_t, uint16_t>> grabbed;
    std::vector<std::pair<std::pair<xcb_window_t, uint16_t>, xcb_void_cookie_t>> cookies;
    for (xcb_window_t root : d->roots) {
        for (uint16_t variant : registration.variants) {
            cookies.push_back({{root, variant},
                               xcb_grab_key_checked(d->connection, 0, root, variant,
                                                    registration.keycode, XCB_GRAB_MODE_ASYNC,
                                                    XCB_GRAB_MODE_ASYNC)});
        }
    }
    int status = hot_key_status::noErr;
    for (const auto &[grab, cookie] : cookies) {
        Freed<xcb_generic_error_t> error(xcb_request_check(d->connection, cookie));
        if (!error) {
            grabbed.push_back(grab);
        } else if (status == hot_key_status::noErr) {
            status = error->error_code == kBadAccess ? hot_key_status::eventHotKeyExistsErr
                                                     : hot_key_status::eventHotKeyInvalidErr;
        }
    }
    // Checking the requests may have read events off the socket into the queue.
    scheduleRead();
    if (status != hot_key_status::noErr) {
        // All or nothing: a half-grabbed combination would work only with some lock keys on.
        for (const auto &[root, variant] : grabbed)
            xcb_ungrab_key(d->connection, registration.keycode, root, variant);
        xcb_flush(d->connection);
        return status;
    }
    if (!d->usable())
        return hot_key_status::eventInternalErr;
    const EventHotKeyRef ref = d->nextRef++;
    d->registrations.emplace(ref, std::move(registration));
    *outRef = ref;
    return hot_key_status::noErr;
}

int HotKeyGrabber::unregisterEventHotKey(EventHotKeyRef ref)
{
    const auto found = d->registrations.find(ref);
    if (found == d->registrations.end())
        return hot_key_status::paramErr;
    if (d->usable())
        d->ungrab(found->second);
    d->registrations.erase(found);
    return hot_key_status::noErr;
}

void HotKeyGrabber::scheduleRead()
{
    if (d->readScheduled)
        return;
    d->readScheduled = true;
    postToMainThread(QPointer<HotKeyGrabber>(this), [this] {
        d->readScheduled = false;
        readEvents();
    });
}

void HotKeyGrabber::readEvents()
{
    if (!d->connection)
        return;
    QPointer<HotKeyGrabber> alive(this);
    while (alive && d->usable()) {
        xcb_generic_event_t *raw = xcb_poll_for_event(d->connection);
        if (!raw)
            break;
        Freed<xcb_generic_event_t> event(raw);
        const uint8_t type = event->response_type & 0x7f;
        if (d->keyboardChanged(event.p)) {
            if (d->layout)
                d->layout->reload();
            emit keyboardMappingChanged();
            continue;
        }
        if (type == XCB_KEY_RELEASE) {
            const auto *release = reinterpret_cast<const xcb_key_release_event_t *>(event.p);
            d->lastRelease[release->detail] = release->time;
            continue;
        }
        if (type != XCB_KEY_PRESS)
            continue;
        const auto *press = reinterpret_cast<const xcb_key_press_event_t *>(event.p);
        // Auto-repeat sends a release and a press with the same time stamp; a real second press
        // always comes later than the release before it.
        const auto released = d->lastRelease.find(press->detail);
        if (released != d->lastRelease.end() && released->second == press->time)
            continue;

        std::optional<EventHotKeyID> hotKeyID;
        for (const auto &[ref, registration] : d->registrations) {
            const uint16_t held = press->state & kCoreModifierBits
                & ~uint16_t(XCB_MOD_MASK_LOCK | registration.numLockMask);
            if (registration.keycode == press->detail && held == registration.modifiers) {
                hotKeyID = registration.hotKeyID;
                break;
            }
        }
        if (!hotKeyID)
            continue;
        // Newest handler first; a handler may remove handlers (its own included) while it runs.
        std::vector<EventHandlerRef> order;
        for (auto it = d->handlers.rbegin(); it != d->handlers.rend(); ++it)
            order.push_back(it->first);
        const HotKeyEvent hotKeyEvent{hotKeyID};
        for (EventHandlerRef ref : order) {
            if (!alive)
                return;
            const auto handler = d->handlers.find(ref);
            if (handler == d->handlers.end())
                continue;
            const Private::Handler target = handler->second;
            if (target.proc(&hotKeyEvent, target.userData) != hot_key_status::eventNotHandledErr)
                break;
        }
    }
    if (alive && d->connection && xcb_connection_has_error(d->connection) && !d->lossReported) {
        d->lossReported = true;
        if (d->notifier)
            d->notifier->setEnabled(false);
        qCWarning(log::shortcuts(), "the X connection for global hot keys was lost");
    }
}

} // namespace lumacast::x11
