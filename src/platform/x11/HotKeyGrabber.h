#pragma once

#include "store/GlobalKeyboardShortcuts.h"

#include <QObject>
#include <QString>

#include <memory>

namespace lumacast::x11 {

class XkbKeyboardLayout;

// System-wide hot keys on an X server: every registration is a passive grab of its key on each
// root window, with the modifiers mapped one to one (command -> Super/Mod4, control -> Control,
// option -> Alt/Mod1, shift -> Shift) and repeated with Caps Lock and Num Lock on, so a lock key
// does not disable the shortcut. A combination that another client has grabbed already is refused
// by the server, and that registration fails with eventHotKeyExistsErr.
//
// Key presses are read on the thread that created the grabber (the main thread) through a socket
// notifier on its own X connection; a held key's auto-repeat fires nothing more. The server's
// notices of a new keymap (a layout set with setxkbmap) and of another layout group (a desktop's
// switch between the layouts of one keymap) come on the same connection and are passed on as
// `keyboardMappingChanged`.
class HotKeyGrabber final : public QObject, public HotKeyBackend {
    Q_OBJECT
public:
    // Connects to the display named by DISPLAY (or `displayName`). Without a server every
    // operation fails, starting with installEventHandler.
    explicit HotKeyGrabber(const QString &displayName = {}, QObject *parent = nullptr);
    ~HotKeyGrabber() override;

    bool isConnected() const;

    int installEventHandler(HandlerProc proc, void *userData, EventHandlerRef *outRef) override;
    int removeEventHandler(EventHandlerRef ref) override;
    int registerEventHotKey(quint32 keyCode, quint32 modifiers, EventHotKeyID hotKeyID,
                            EventHotKeyRef *outRef) override;
    int unregisterEventHotKey(EventHotKeyRef ref) override;

signals:
    // The server's keyboard mapping changed: keys may be called otherwise now. The grabber's own
    // reading of the keymap is already dropped when this comes.
    void keyboardMappingChanged();

private:
    void readEvents();
    void scheduleRead();

    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace lumacast::x11
