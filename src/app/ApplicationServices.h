#pragma once

#include "control/StateManagerServices.h"

#include <functional>
#include <memory>

namespace lumacast {

namespace x11 {
class HotKeyGrabber;
}

class BorderAdapter;
class DialogExportUserInterface;
class ExportCoordinator;
class GlobalKeyboardShortcuts;
class HotKeyBackend;
class PermissionAlertDialogs;
class QtApplicationService;
class StatusPanelAdapter;

// The state manager's collaborators for the shipped program: the system adapters of control/
// and the widget adapters of app/ and dialogs/, over the shared log, preferences and panel
// guard. Built on the main thread after the QApplication; `services` is handed to the manager,
// the rest stays here so the application can reach the adapters that need the manager later.
struct ApplicationServices {
    StateManagerServices services;

    std::shared_ptr<HotKeyBackend> hotKeyBackend;          // null without an X server
    // The hot keys' X connection, which hears of keyboard layout changes (`keyboardMappingChanged`).
    std::shared_ptr<x11::HotKeyGrabber> keyboard;
    std::shared_ptr<GlobalKeyboardShortcuts> shortcuts;    // the settings window's recorder uses it
    std::shared_ptr<QtApplicationService> application;
    std::shared_ptr<BorderAdapter> border;
    std::shared_ptr<StatusPanelAdapter> statusPanel;
    std::shared_ptr<DialogExportUserInterface> exportInterface;
    std::shared_ptr<PermissionAlertDialogs> permissionAlerts;
    // Where the updater's alerts go: the plain alerts until the application points it at the
    // state manager, whose alerts suspend the global hot keys while they are up.
    std::shared_ptr<std::function<int(const AlertRequest &)>> updaterAlerts;

    static ApplicationServices make();
};

} // namespace lumacast
