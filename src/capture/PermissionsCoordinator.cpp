#include "capture/PermissionsCoordinator.h"

#include "model/LogCategories.h"
#include "store/AppLog.h"

#include <qcoro/qcorotimer.h>

namespace lumacast {

using namespace std::chrono_literals;

namespace {

QString flag(bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); }

// The poll's time as a printed floating-point number: "0.5", "1.0", "20.0".
QString pollSeconds(int n) { return QString::number(n * 0.5, 'f', 1); }

constexpr int kRequestPolls = 40;
constexpr int kPostPreflightPolls = 6;
constexpr auto kPollInterval = 500ms;

} // namespace

const QString PermissionsCoordinator::kMicrophoneAlertTitle = QStringLiteral("Microphone access required");
const QString PermissionsCoordinator::kMicrophoneAlertMessage =
    QStringLiteral("Enable Microphone access for Lumacast in Settings → Privacy & Security, then try again.");
const QString PermissionsCoordinator::kSoundServerAlertTitle = QStringLiteral("The sound server is not running");
const QString PermissionsCoordinator::kSoundServerAlertMessage = QStringLiteral(
    "Lumacast records the microphone through the desktop's sound server (PipeWire or PulseAudio), which is not "
    "running. Start it again, or log out and back in, then try again.");
const QString PermissionsCoordinator::kOkButton = QStringLiteral("OK");
const QString PermissionsCoordinator::kScreenProblemAlertTitle = QStringLiteral("Screen Recording access problem");
const QString PermissionsCoordinator::kScreenProblemMessage =
    QStringLiteral("The X server reports that screen recording is available, but Lumacast could not enumerate "
                   "captureable displays.\n\nQuit and reopen Lumacast, then try again. If it keeps happening, "
                   "check in Settings → Displays that a display is connected and turned on.");
const QString PermissionsCoordinator::kScreenRequiredAlertTitle = QStringLiteral("Screen Recording access required");
const QString PermissionsCoordinator::kScreenRequiredMessage =
    QStringLiteral("Enable Screen Recording for Lumacast in Settings → Privacy & Security → Screen Recording. "
                   "If you just granted it, quit and reopen Lumacast.");
const QString PermissionsCoordinator::kOpenSettingsButton = QStringLiteral("Open Settings");
const QString PermissionsCoordinator::kCancelButton = QStringLiteral("Cancel");

PermissionsCoordinator::PermissionsCoordinator(std::shared_ptr<PermissionLayer> layer,
                                               std::shared_ptr<PermissionAlerts> alerts, Sleeper sleeper)
    : m_layer(std::move(layer)), m_alerts(std::move(alerts)), m_sleep(std::move(sleeper))
{
    if (!m_sleep)
        m_sleep = [](std::chrono::milliseconds duration) -> QCoro::Task<> { co_await QCoro::sleepFor(duration); };
}

void PermissionsCoordinator::log(const QString &message)
{
    AppLog::shared().log(QStringLiteral("[perms] ") + message);
    qCInfo(lumacast::log::permissions(), "%s", qUtf8Printable(message));
}

QCoro::Task<> PermissionsCoordinator::bringToFront()
{
    log(QStringLiteral("bringToFront — activating app so the permission dialog comes forward"));
    m_layer->activateApplication();
    co_await m_sleep(kPollInterval);
}

QCoro::Task<bool> PermissionsCoordinator::runLaunchFlow()
{
    if (m_launchFlowRan)
        co_return m_cachedContent.has_value();
    m_launchFlowRan = true;
    log(QStringLiteral("runLaunchFlow started"));
    co_await bringToFront();
    const bool granted = co_await ensureReadyToRecord(QStringLiteral("runLaunchFlow"), true);
    log(QStringLiteral("runLaunchFlow completed — granted=%1, cachedContent=%2")
            .arg(flag(granted), flag(m_cachedContent.has_value())));
    co_return granted;
}

QCoro::Task<bool> PermissionsCoordinator::ensureReadyToRecord(QString caller, bool silent)
{
    log(QStringLiteral("ensureReadyToRecord — caller=%1, silent=%2, launchFlowRan=%3, hasCachedContent=%4")
            .arg(caller, flag(silent), flag(m_launchFlowRan), flag(m_cachedContent.has_value())));
    if (!co_await ensureMicrophone(silent)) {
        log(QStringLiteral("ensureReadyToRecord — mic FAILED (caller=%1)").arg(caller));
        co_return false;
    }
    const bool screen = co_await ensureScreen(caller, silent);
    if (screen)
        log(QStringLiteral("ensureReadyToRecord — all OK (caller=%1)").arg(caller));
    else
        log(QStringLiteral("ensureReadyToRecord — screen FAILED (caller=%1)").arg(caller));
    co_return screen;
}

QCoro::Task<bool> PermissionsCoordinator::ensureMicrophone(bool silent)
{
    const MicrophoneAuthorization status = m_layer->microphoneAuthorization();
    log(QStringLiteral("mic status = %1").arg(int(status)));
    switch (status) {
    case MicrophoneAuthorization::notDetermined: {
        log(QStringLiteral("mic — requesting access"));
        const bool granted = co_await m_layer->requestMicrophoneAccess();
        log(QStringLiteral("mic — request result: %1").arg(flag(granted)));
        co_return granted;
    }
    case MicrophoneAuthorization::authorized:
        co_return true;
    case MicrophoneAuthorization::restricted:
    case MicrophoneAuthorization::denied:
        break;
    case MicrophoneAuthorization::noSoundServer:
        // No setting can help here: the alert has nothing to open.
        log(silent ? QStringLiteral("mic — no sound server") : QStringLiteral("mic — no sound server, showing alert"));
        if (!silent) {
            AppLog::shared().log(QStringLiteral("[perms] showing alert: ") + kSoundServerAlertTitle);
            if (m_alerts)
                m_alerts->runModal(kSoundServerAlertTitle, kSoundServerAlertMessage, {kOkButton});
        }
        co_return false;
    }
    log(silent ? QStringLiteral("mic — denied") : QStringLiteral("mic — denied, showing alert"));
    if (!silent)
        showAlert(kMicrophoneAlertTitle, kMicrophoneAlertMessage);
    co_return false;
}

QCoro::Task<bool> PermissionsCoordinator::ensureScreen(QString caller, bool silent)
{
    log(QStringLiteral("ensureScreen — caller=%1, silent=%2").arg(caller, flag(silent)));
    const ScreenAccess access = co_await checkScreenAccess(caller);
    switch (access.kind) {
    case ScreenAccess::available:
        log(QStringLiteral("ensureScreen — access available, no dialog needed (caller=%1)").arg(caller));
        co_return true;
    case ScreenAccess::unavailable:
        log(QStringLiteral("ensureScreen — UNAVAILABLE (caller=%1): %2").arg(caller, access.message));
        if (!silent)
            showAlert(kScreenProblemAlertTitle, access.message);
        co_return false;
    case ScreenAccess::needsPermission:
        break;
    }
    log(QStringLiteral("ensureScreen — needs permission, entering requestScreenPermission (caller=%1, silent=%2)")
            .arg(caller, flag(silent)));
    co_return co_await requestScreenPermission(caller, silent);
}

QCoro::Task<PermissionsCoordinator::ScreenAccess> PermissionsCoordinator::checkScreenAccess(QString caller)
{
    const bool preflight = m_layer->screenCapturePreflight();
    log(QStringLiteral("checkScreenAccess — caller=%1, screenCapturePreflight=%2").arg(caller, flag(preflight)));
    const bool content = co_await fetchShareableContent(QStringLiteral("checkScreenAccess/") + caller);
    log(QStringLiteral("checkScreenAccess — fetchShareableContent=%1, screenCapturePreflight=%2").arg(flag(content), flag(preflight)));

    if (content) {
        if (!preflight)
            log(QStringLiteral("checkScreenAccess — ⚠️ fetchShareableContent OK but screenCapturePreflight=false"));
        co_return ScreenAccess{ScreenAccess::available, {}};
    }
    if (m_screenAccessConfirmedThisLaunch) {
        log(QStringLiteral("checkScreenAccess — fetchShareableContent failed but access was confirmed earlier this "
                           "launch → trusting (no re-prompt)"));
        co_return ScreenAccess{ScreenAccess::available, {}};
    }
    if (preflight) {
        log(QStringLiteral("checkScreenAccess — ⚠️ screenCapturePreflight=true but fetchShareableContent FAILED — the screen capture is broken"));
        co_return ScreenAccess{ScreenAccess::unavailable, kScreenProblemMessage};
    }
    log(QStringLiteral("checkScreenAccess — both screenCapturePreflight=false and fetchShareableContent=false → .needsPermission"));
    co_return ScreenAccess{ScreenAccess::needsPermission, {}};
}

QCoro::Task<bool> PermissionsCoordinator::fetchShareableContent(QString via)
{
    std::optional<x11::ShareableContent> content;
    try {
        content = co_await m_layer->fetchShareableContent();
    } catch (const Error &error) {
        log(QStringLiteral("fetchShareableContent FAILED (via %1): %2").arg(via, error.message()));
        co_return false;
    }
    if (content->displays.empty()) {
        log(QStringLiteral("fetchShareableContent returned 0 displays (via %1)").arg(via));
        co_return false;
    }
    m_cachedContent = std::move(content);
    m_screenAccessConfirmedThisLaunch = true;
    co_return true;
}

QCoro::Task<bool> PermissionsCoordinator::requestScreenPermission(QString caller, bool silent)
{
    if (m_didRequestScreenThisLaunch) {
        log(QStringLiteral("requestScreenPermission — already asked this launch, NOT re-prompting (caller=%1, silent=%2)")
                .arg(caller, flag(silent)));
        if (!silent)
            showAlert(kScreenRequiredAlertTitle, kScreenRequiredMessage);
        co_return false;
    }
    m_didRequestScreenThisLaunch = true;
    log(QStringLiteral("requestScreenPermission — caller=%1, silent=%2, calling requestScreenCaptureAccess")
            .arg(caller, flag(silent)));
    co_await bringToFront();
    const bool answer = m_layer->requestScreenCaptureAccess();
    log(QStringLiteral("requestScreenCaptureAccess returned %1 — now polling").arg(flag(answer)));

    bool preflightTurnedTrue = false;
    for (int n = 1; n <= kRequestPolls; ++n) {
        if (co_await fetchShareableContent(QStringLiteral("requestScreenPermission/poll-%1").arg(n))) {
            log(QStringLiteral("requestScreenPermission — fetchShareableContent OK after poll %1 (%2s)").arg(n).arg(pollSeconds(n)));
            co_return true;
        }
        if (m_layer->screenCapturePreflight()) {
            log(QStringLiteral("requestScreenPermission — screenCapturePreflight OK after poll %1 (%2s)").arg(n).arg(pollSeconds(n)));
            preflightTurnedTrue = true;
            break;
        }
        log(QStringLiteral("requestScreenPermission — poll %1: preflight=false, SC=false").arg(n));
        co_await m_sleep(kPollInterval);
    }

    if (preflightTurnedTrue) {
        for (int j = 1; j <= kPostPreflightPolls; ++j) {
            co_await m_sleep(kPollInterval);
            if (co_await fetchShareableContent(QStringLiteral("requestScreenPermission/post-preflight-%1").arg(j))) {
                log(QStringLiteral("requestScreenPermission — fetchShareableContent OK after post-preflight poll %1").arg(j));
                co_return true;
            }
        }
        log(QStringLiteral("requestScreenPermission — screenCapturePreflight=true but fetchShareableContent never caught up, trusting preflight"));
        co_return true;
    }

    log(QStringLiteral("requestScreenPermission — polling ended with no access (caller=%1, silent=%2)")
            .arg(caller, flag(silent)));
    if (!silent)
        showAlert(kScreenRequiredAlertTitle, kScreenRequiredMessage);
    co_return false;
}

void PermissionsCoordinator::showAlert(const QString &title, const QString &message)
{
    AppLog::shared().log(QStringLiteral("[perms] showing alert: ") + title);
    qCInfo(lumacast::log::permissions(), "showing alert: %s", qUtf8Printable(title));
    if (!m_alerts)
        return;
    // Both alerts open the same privacy page, not one permission's sub-page.
    if (m_alerts->runModal(title, message, {kOpenSettingsButton, kCancelButton}) == 0)
        m_alerts->openPrivacySettings();
}

} // namespace lumacast
