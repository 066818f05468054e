#include "control/AppState.h"

#include <array>

namespace lumacast {

namespace app_state {

QString caseName(AppState state)
{
    switch (state) {
    case AppState::idle: return QStringLiteral("idle");
    case AppState::starting: return QStringLiteral("starting");
    case AppState::recording: return QStringLiteral("recording");
    case AppState::paused: return QStringLiteral("paused");
    case AppState::reviewing: return QStringLiteral("reviewing");
    }
    return QStringLiteral("idle");
}

QColor statusColor(AppState state)
{
    // The desktop's plain gray and its system orange, red, yellow and blue, by raw value.
    static const std::array<QColor, 5> tints = {
        QColor(128, 128, 128), QColor(255, 149, 0), QColor(255, 59, 48),
        QColor(255, 204, 0),   QColor(0, 122, 255),
    };
    const auto index = static_cast<size_t>(state);
    return index < tints.size() ? tints[index] : tints[0];
}

bool isCapturing(AppState state)
{
    return state == AppState::starting || state == AppState::recording || state == AppState::paused;
}

bool isRecording(AppState state)
{
    return state == AppState::recording || state == AppState::paused;
}

} // namespace app_state

MainWindowAction mainWindowActionFor(AppState state)
{
    return app_state::isCapturing(state) ? MainWindowAction::minimize : MainWindowAction::restore;
}

WebcamOverlayDecision webcamOverlayDecision(const WebcamOverlayInputs &in)
{
    using Kind = WebcamOverlayDecision::Kind;
    if (!(in.webcamEnabled && in.cameraAvailable && in.hasCameraCapture))
        return {in.webcamEnabled ? Kind::hide : Kind::release, false};

    bool hidden = false;
    switch (in.state) {
    case AppState::starting:
    case AppState::recording:
    case AppState::paused: hidden = in.userHidBlob; break;
    case AppState::reviewing: hidden = true; break;
    case AppState::idle: hidden = in.applicationActive; break;
    }
    if (hidden)
        return {Kind::hide, false};
    const bool interactive = in.state == AppState::idle || in.state == AppState::starting;
    return {Kind::show, interactive};
}

} // namespace lumacast
