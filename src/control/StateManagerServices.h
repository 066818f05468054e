#pragma once

#include "control/CaptureServices.h"
#include "control/OverlayServices.h"
#include "control/Scheduler.h"
#include "control/ShellServices.h"

#include <memory>

namespace lumacast {

class AppLog;
class FilePanelGuard;
class InteractionGate;
class Preferences;
class SessionStore;

// Every collaborator of the state manager, handed in whole at construction. The manager keeps
// the shared pointers for its whole life; the plain pointers name shared instances that outlive
// it. None may be null but `interactions`. The shipped program fills it from
// control/SystemServices.h and the user interface's adapters; tests fill it with doubles and real
// stores on temporary folders.
struct StateManagerServices {
    std::shared_ptr<RecorderService> recorder;
    std::shared_ptr<SessionStore> store;
    std::shared_ptr<HotKeyService> hotKeys;
    std::shared_ptr<CountdownService> countdown;
    std::shared_ptr<PermissionsService> permissions;
    std::shared_ptr<ExportService> exporter;
    std::shared_ptr<StatusPanelService> statusPanel;
    std::shared_ptr<BorderService> border;
    std::shared_ptr<WebcamOverlayService> webcamOverlay;
    std::shared_ptr<UpdaterService> updater;
    std::shared_ptr<AlertService> alerts;
    std::shared_ptr<FilePanelService> filePanels;
    std::shared_ptr<ApplicationService> application;
    std::shared_ptr<ScreenService> screens;
    std::shared_ptr<DeviceService> devices;
    std::shared_ptr<Clock> clock;
    std::shared_ptr<Scheduler> scheduler;

    AppLog *appLog = nullptr;
    Preferences *preferences = nullptr;
    FilePanelGuard *filePanelGuard = nullptr;
    // What the user is being asked, and the commands that wait for the answer; may be null: the
    // manager then keeps a gate of its own (tests).
    InteractionGate *interactions = nullptr;

    // True when every member is set.
    bool isComplete() const;
};

} // namespace lumacast
