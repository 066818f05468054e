#include "app/ApplicationServices.h"

#include "app/OverlayAdapters.h"
#include "app/ShellAdapters.h"
#include "capture/DesktopPermissionLayer.h"
#include "capture/PermissionsCoordinator.h"
#include "capture/ScreenRecorder.h"
#include "control/NetworkUpdater.h"
#include "control/SystemServices.h"
#include "dialogs/ApplicationExport.h"
#include "dialogs/DocumentFilePanels.h"
#include "dialogs/ExportDialogs.h"
#include "app/settings/SettingsWindow.h"
#include "app/settings/ShortcutRow.h"
#include "capture/CaptureRoad.h"
#include "dialogs/MessageBoxAlerts.h"
#include "dialogs/PermissionAlertDialogs.h"
#include "platform/av/MovieProbe.h"
#include "platform/pipewire/GnomeKeyBindings.h"
#include "platform/pipewire/PortalHotKeys.h"
#include "platform/x11/HotKeyGrabber.h"
#include "platform/x11/KeyNames.h"
#include "store/AppLog.h"
#include "store/FilePanelGuard.h"
#include "store/InteractionGate.h"
#include "store/GlobalKeyboardShortcuts.h"
#include "store/Preferences.h"
#include "store/SessionStore.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QDesktopServices>
#include <QVersionNumber>

namespace lumacast {

namespace {

// The keys the desktop keeps, each with the action's title and the desktop's shortcut:
// "Start / Pause: Shift+Super+Space (switch-input-source-backward)".
QStringList keysTheDesktopKeeps(const ShortcutBindings &bindings, const DesktopKeyHolder &desktopKeys)
{
    QStringList kept;
    for (const auto &[action, binding] : bindings) {
        if (const auto holder = desktopKeys ? desktopKeys(binding.carbonKeyCode, binding.carbonModifiers) : std::nullopt)
            kept << QStringLiteral("%1: %2 (%3)").arg(
                ShortcutRow::title(action), ShortcutBinding::displayString(binding.carbonKeyCode, binding.carbonModifiers),
                *holder);
    }
    return kept;
}

// Settings shows the note and the log keeps it, once for each change.
void tellShortcutsNote(const QString &note)
{
    if (note == SettingsWindow::shortcutsNote())
        return;
    AppLog::shared().log(QStringLiteral("[app] ") + note);
    SettingsWindow::setShortcutsNote(note);
}

// In a Wayland session XWayland sees a key only while one of its windows has the keyboard. The
// desktop portal's global shortcuts work everywhere, where the desktop offers them and binds them;
// the keys it does not bind stay with the XWayland grabs, and Settings says which keys work where.
// The keys the desktop keeps for itself (`desktopKeys`) reach neither and are named apart.
// `noteAfterInstall` is set to what tells the note when the bindings change.
std::shared_ptr<HotKeyBackend> waylandHotKeys(const std::shared_ptr<HotKeyBackend> &xwaylandGrabs,
                                              const DesktopKeyHolder &desktopKeys,
                                              std::function<void(const ShortcutBindings &)> &noteAfterInstall)
{
    if (!pipewire::PortalHotKeys::isOffered()) {
        noteAfterInstall = [desktopKeys](const ShortcutBindings &bindings) {
            const QStringList kept = keysTheDesktopKeeps(bindings, desktopKeys);
            QString note = QStringLiteral("This desktop offers no global shortcuts to applications: the shortcuts work "
                                          "only while a Lumacast window has the keyboard");
            note += kept.isEmpty() ? QStringLiteral(".")
                                   : QStringLiteral(", but for the keys the desktop keeps.\n")
                    + pipewire::GnomeKeyBindings::keptKeysNote(kept);
            tellShortcutsNote(note);
        };
        return xwaylandGrabs;
    }
    // Registrations are numbered from 1 in the order of the actions, as the shortcuts install them.
    const auto describe = [](quint32 id) {
        const auto &actions = shortcut_action::allCases;
        if (id < 1 || id > actions.size())
            return pipewire::PortalHotKeys::Shortcut{QStringLiteral("shortcut%1").arg(id), QString()};
        const ShortcutAction action = actions[id - 1];
        return pipewire::PortalHotKeys::Shortcut{shortcut_action::rawValue(action), ShortcutRow::title(action)};
    };
    // The portal names us by our .desktop file, as desktops name launched programs.
    auto portal = std::make_shared<pipewire::PortalHotKeys>(describe, QGuiApplication::desktopFileName(), xwaylandGrabs);
    portal->setDesktopKeys(desktopKeys);
    std::weak_ptr<pipewire::PortalHotKeys> weak = portal;
    portal->onBound = [weak](const QString &) {
        if (const auto keys = weak.lock())
            tellShortcutsNote(keys->summary());
    };
    AppLog::shared().log(QStringLiteral("[app] global shortcuts go through the desktop portal"));
    return portal;
}

} // namespace

ApplicationServices ApplicationServices::make()
{
    ApplicationServices app;
    StateManagerServices &s = app.services;

    auto grabber = std::make_shared<x11::HotKeyGrabber>();
    // Keys are named as the user's layout has them, from the server's keymap ("F5", "Page Up",
    // "Ü"); without one the names are those of a US keyboard.
    // A new layout is read at once when the server announces it.
    if (auto layout = grabber->isConnected() ? x11::XkbKeyboardLayout::connect() : nullptr) {
        QObject::connect(grabber.get(), &x11::HotKeyGrabber::keyboardMappingChanged, grabber.get(),
                         [layout] { layout->reload(); });
        ShortcutBinding::setKeyboardLayout(std::move(layout));
    }
    app.keyboard = grabber;
    if (grabber->isConnected())
        app.hotKeyBackend = grabber;
    else
        AppLog::shared().log(QStringLiteral("[app] no X display for global shortcuts — hot keys are off"));
    std::shared_ptr<HotKeyBackend> globalKeys = grabber;
    DesktopKeyHolder desktopKeys;
    std::function<void(const ShortcutBindings &)> noteAfterInstall;
    if (captureRoadForSession() == CaptureRoad::ScreenCastPortal) {
        // GNOME's own keys, as its settings hold them at launch.
        auto gnomeKeys = std::make_shared<const pipewire::GnomeKeyBindings>(pipewire::GnomeKeyBindings::read());
        if (!gnomeKeys->isEmpty())
            desktopKeys = [gnomeKeys](quint32 keyCode, quint32 modifiers) { return gnomeKeys->holder(keyCode, modifiers); };
        globalKeys = waylandHotKeys(grabber, desktopKeys, noteAfterInstall);
    }
    // Without a connection every registration fails and is logged; the rest keeps working.
    app.shortcuts = std::make_shared<GlobalKeyboardShortcuts>(globalKeys);
    app.shortcuts->onInstalled = noteAfterInstall;

    app.application = std::make_shared<QtApplicationService>();
    app.border = std::make_shared<BorderAdapter>();
    app.statusPanel = std::make_shared<StatusPanelAdapter>(desktopKeys);
    app.exportInterface = std::make_shared<DialogExportUserInterface>();
    app.permissionAlerts = std::make_shared<PermissionAlertDialogs>();

    s.recorder = std::make_shared<ScreenRecorderService>(std::make_shared<ScreenRecorder>());
    s.store = std::make_shared<SessionStore>(&av::movieDurationSeconds);
    s.hotKeys = std::make_shared<GlobalHotKeyService>(app.shortcuts);
    s.countdown = std::make_shared<CountdownAdapter>(app.hotKeyBackend);
    s.permissions = std::make_shared<CoordinatorPermissionsService>(std::make_shared<PermissionsCoordinator>(
        std::make_shared<DesktopPermissionLayer>(), app.permissionAlerts));
    s.exporter = std::make_shared<CoordinatorExportService>(
        std::shared_ptr<ExportCoordinator>(makeApplicationExportCoordinator(*app.exportInterface)));
    s.statusPanel = app.statusPanel;
    s.border = app.border;
    s.webcamOverlay = std::make_shared<WebcamOverlayAdapter>(&Preferences::shared());
    s.alerts = std::make_shared<MessageBoxAlerts>();
    app.updaterAlerts = std::make_shared<std::function<int(const AlertRequest &)>>(
        [alerts = s.alerts](const AlertRequest &request) { return alerts->runModal(request); });
    s.updater = std::make_shared<NetworkUpdater>(
        NetworkUpdater::feedFromConfiguration(QStringLiteral(LUMACAST_UPDATE_FEED_URL)),
        QVersionNumber::fromString(QCoreApplication::applicationVersion()),
        [route = app.updaterAlerts](const AlertRequest &request) { return (*route)(request); },
        [](const QUrl &download) { QDesktopServices::openUrl(download); });
    s.filePanels = std::make_shared<DocumentFilePanels>();
    s.application = app.application;
    s.screens = std::make_shared<X11ScreenService>();
    s.devices = std::make_shared<SystemDeviceService>();
    s.clock = std::make_shared<SystemClock>();
    s.scheduler = std::make_shared<TimerScheduler>();
    s.appLog = &AppLog::shared();
    s.preferences = &Preferences::shared();
    s.filePanelGuard = &FilePanelGuard::shared();
    s.interactions = &InteractionGate::shared();
    return app;
}

} // namespace lumacast
