#pragma once

#include "platform/x11/X11Content.h"

#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <optional>

namespace lumacast {

// The capture-authorization state of the microphone, numbered as the log prints it.
// `noSoundServer`: nobody refused anything, the sound server is not running.
enum class MicrophoneAuthorization { notDetermined = 0, restricted = 1, denied = 2, authorized = 3, noSoundServer = 4 };

// What the permissions coordinator asks of the desktop. All calls are made on the main thread.
class PermissionLayer {
public:
    virtual ~PermissionLayer() = default;

    virtual MicrophoneAuthorization microphoneAuthorization() = 0;
    // Asks the user (where the desktop can) and answers whether the microphone may be used.
    virtual QCoro::Task<bool> requestMicrophoneAccess() = 0;

    // The quick answer whether screen capture is allowed (the preflight).
    virtual bool screenCapturePreflight() = 0;
    // Asks for screen-capture access; the answer is only logged.
    virtual bool requestScreenCaptureAccess() = 0;
    // Lists displays, windows and applications on screen; the real test that capture works.
    // Throws an Error (its description is logged) when the content cannot be listed.
    virtual QCoro::Task<x11::ShareableContent> fetchShareableContent() = 0;

    // Brings the application forward so that a system dialog is not hidden behind other windows.
    virtual void activateApplication() = 0;
};

// The permission alerts, modal. Kept apart so that the flow runs without a screen in tests.
class PermissionAlerts {
public:
    virtual ~PermissionAlerts() = default;
    // Shows the alert and returns the index of the chosen button.
    virtual int runModal(const QString &title, const QString &message, const QStringList &buttons) = 0;
    // Opens the desktop settings at their privacy page.
    virtual void openPrivacySettings() = 0;
};

} // namespace lumacast
