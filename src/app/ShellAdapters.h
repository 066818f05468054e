#pragma once

#include "control/ShellServices.h"

#include <QPointer>
#include <QWidget>

#include <functional>

namespace lumacast {

// The application as a whole on QGuiApplication: its activation follows the application state
// (a window of ours has the focus), activating raises the most recent window of ours.
class QtApplicationService final : public ApplicationService {
    Q_OBJECT
public:
    explicit QtApplicationService(QObject *parent = nullptr);

    bool isActive() const override;
    void activateIgnoringOtherApps() override;
    // A tray application on this desktop is in the task switcher as soon as it shows a window.
    void becomeRegularApplication() override {}
    void replyToTermination(bool terminate) override;
    // Camera access is never withheld on this desktop, so there is no settings page to open.
    void openCameraPrivacySettings() override {}

    // Carries out the answer to a termination left pending; set by the application.
    std::function<void(bool)> terminationHandler;
};

} // namespace lumacast
