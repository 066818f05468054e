#pragma once

#include "capture/PermissionLayer.h"

namespace lumacast {

// The permission layer of an X11 desktop with a PulseAudio (or PipeWire) sound server. There is
// no permission database: the microphone may be used when the sound server answers, the screen
// may be captured when the X display answers with at least one display.
class DesktopPermissionLayer : public PermissionLayer {
public:
    MicrophoneAuthorization microphoneAuthorization() override;
    QCoro::Task<bool> requestMicrophoneAccess() override;
    bool screenCapturePreflight() override;
    bool requestScreenCaptureAccess() override;
    QCoro::Task<x11::ShareableContent> fetchShareableContent() override;
    void activateApplication() override;
};

// Opens the desktop's settings at their privacy page; false when no settings application starts.
bool openDesktopPrivacySettings();

} // namespace lumacast
