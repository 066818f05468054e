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
#include "dialogs/MessageBoxAlerts.h"
#include "dialogs/PermissionAlertDialogs.h"
#include "platform/av/MovieProbe.h"
#include "platform/x11/HotKeyGrabber.h"
#include "store/AppLog.h"
#include "store/FilePanelGuard.h"
#include "store/GlobalKeyboardShortcuts.h"
#include "store/Preferences.h"
#include "store/SessionStore.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QVersionNumber>

namespace lumacast {

ApplicationServices ApplicationServices::make()
{
    ApplicationServices app;
    StateManagerServices &s = app.services;

    auto grabber = std::make_shared<x11::HotKeyGrabber>();
    if (grabber->isConnected())
        app.hotKeyBackend = grabber;
    else
        AppLog::shared().log(QStringLiteral("[app] no X display for global shortcuts — hot keys are off"));
    // Without a connection every registration fails and is logged; the rest keeps working.
    app.shortcuts = std::make_shared<GlobalKeyboardShortcuts>(grabber);

    app.application = std::make_shared<QtApplicationService>();
    app.border = std::make_shared<BorderAdapter>();
    app.statusPanel = std::make_shared<StatusPanelAdapter>();
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
        NetworkUpdater::feedFromPreferences(Preferences::shared()),
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
    return app;
}

} // namespace lumacast
