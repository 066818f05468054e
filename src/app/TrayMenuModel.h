#pragma once

#include "app/MenuDescriptor.h"
#include "store/Shortcut.h"

#include <QKeySequence>
#include <QString>

#include <functional>
#include <optional>

namespace lumacast {

class AppStateManager;
class ShellCommands;
struct Session;
struct TailOperation;

// The tray menu: the recorder's remote control, switched on the application state. It reads
// the state manager's published state and calls its operations through ShellCommands; it keeps
// nothing between builds. Main thread only.
class TrayMenuModel {
public:
    struct Hooks {
        std::function<void()> quit;         // asks the application to quit (the delegate decides)
        std::function<void()> chooseWindow; // runs the window picker
    };

    TrayMenuModel(AppStateManager &manager, ShellCommands &commands, Hooks hooks);

    MenuItems build() const;
    // The capture choices of the idle menu: the display ("Record Screen", with two or more),
    // "Capture", "Webcam", "Microphone" and "Capture system audio". The application menus offer
    // the same on a desktop without a tray.
    MenuItems captureChoices() const;

    // "S2T3": the scene and take (counted from 1) a live tail operation replaces; absent when
    // either is no longer in the session.
    static std::optional<QString> tailTargetLabel(const std::optional<Session> &session,
                                                  const std::optional<TailOperation> &operation);
    // The key hint of a binding, or of the action's default binding when it has none: the key the
    // hot key fires on, in the current layout.
    static QKeySequence keyHint(const ShortcutBindings &bindings, ShortcutAction action);
    // The hint as the tray's D-Bus menu carries it: Qt sends a key's portable name there, which
    // is not always the name the application shows ("Tools" for F13, garbage for a dead key).
    // A key whose name Qt writes the same way (the key itself, the character it is named by,
    // "F13"); else no key at all, rather than another name.
    static QKeySequence exportedKeyHint(const QKeySequence &hint);
    // `items` with every key hint as `exportedKeyHint` makes it, submenus included.
    static MenuItems withExportedKeyHints(MenuItems items);
    // "Resume recording (1 scene)", "(3 scenes)", "(0 scenes)".
    static QString sceneCountText(qsizetype count);

private:
    MenuItems idleSection() const;
    MenuItems recordingSection() const;
    MenuItems pausedSection() const;
    MenuItem captureMenu() const;
    MenuItem webcamMenu() const;
    MenuItem microphoneMenu() const;
    MenuItem closeItem() const;
    int sceneNumber() const;

    AppStateManager &m_manager;
    ShellCommands &m_commands;
    Hooks m_hooks;
};

} // namespace lumacast
