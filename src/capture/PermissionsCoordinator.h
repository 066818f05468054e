#pragma once

#include "capture/PermissionLayer.h"

#include <QString>

#include <qcoro/qcorotask.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace lumacast {

// Makes sure the microphone and the screen may be captured before anything is recorded. Lives on
// the main thread for the whole run; every step is logged under "[perms] ".
class PermissionsCoordinator {
public:
    struct ScreenAccess {
        enum Kind { available, needsPermission, unavailable };
        Kind kind = needsPermission;
        QString message; // for `unavailable`
    };

    // Waits in the request polling; replaceable so that tests need not sit through the waits.
    using Sleeper = std::function<QCoro::Task<>(std::chrono::milliseconds)>;

    PermissionsCoordinator(std::shared_ptr<PermissionLayer> layer, std::shared_ptr<PermissionAlerts> alerts,
                           Sleeper sleeper = {});

    QCoro::Task<bool> runLaunchFlow();
    QCoro::Task<bool> ensureReadyToRecord(QString caller, bool silent);
    QCoro::Task<bool> ensureScreen(QString caller, bool silent);
    QCoro::Task<ScreenAccess> checkScreenAccess(QString caller);
    QCoro::Task<bool> requestScreenPermission(QString caller, bool silent);
    QCoro::Task<bool> ensureMicrophone(bool silent);
    QCoro::Task<bool> fetchShareableContent(QString via);
    void showAlert(const QString &title, const QString &message);
    void log(const QString &message);

    // The last listing that found at least one display.
    const std::optional<x11::ShareableContent> &cachedContent() const { return m_cachedContent; }
    bool launchFlowRan() const { return m_launchFlowRan; }
    bool screenAccessConfirmedThisLaunch() const { return m_screenAccessConfirmedThisLaunch; }
    bool didRequestScreenThisLaunch() const { return m_didRequestScreenThisLaunch; }

    static const QString kMicrophoneAlertTitle;
    static const QString kMicrophoneAlertMessage;
    static const QString kSoundServerAlertTitle;
    static const QString kSoundServerAlertMessage;
    static const QString kOkButton;
    static const QString kScreenProblemAlertTitle;
    static const QString kScreenProblemMessage;
    static const QString kScreenRequiredAlertTitle;
    static const QString kScreenRequiredMessage;
    static const QString kOpenSettingsButton;
    static const QString kCancelButton;

private:
    QCoro::Task<> bringToFront();

    std::shared_ptr<PermissionLayer> m_layer;
    std::shared_ptr<PermissionAlerts> m_alerts;
    Sleeper m_sleep;

    std::optional<x11::ShareableContent> m_cachedContent;
    bool m_launchFlowRan = false;
    bool m_screenAccessConfirmedThisLaunch = false;
    bool m_didRequestScreenThisLaunch = false;
};

} // namespace lumacast
