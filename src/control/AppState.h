#pragma once

#include <QColor>
#include <QString>
#include <QtGlobal>

namespace lumacast {

// Where the application stands with the take flow. One byte; the raw values are stable.
enum class AppState : quint8 {
    idle = 0,      // no take is being recorded or reviewed
    starting = 1,  // a take start is under way (permission check, countdown, capture start)
    recording = 2, // the capture runs
    paused = 3,    // the capture runs with the writer paused
    reviewing = 4, // the last take is open for review
};

namespace app_state {
// The case name ("idle", "starting", ...), as log lines print it.
QString caseName(AppState state);
// The menu-bar tint: gray, orange, red, yellow, blue.
QColor statusColor(AppState state);
// starting, recording or paused: a take is on its way and its capture must not be disturbed.
bool isCapturing(AppState state);
// recording or paused.
bool isRecording(AppState state);
} // namespace app_state

// What a change of state does to the review window (the main window).
enum class MainWindowAction {
    minimize, // starting, recording, paused: out of the way of the capture
    restore,  // idle, reviewing: back in front
};
MainWindowAction mainWindowActionFor(AppState state);

// What decides whether the webcam overlay is on screen.
struct WebcamOverlayInputs {
    AppState state = AppState::idle;
    bool webcamEnabled = false;
    bool cameraAvailable = true;   // false while a system video effect is active
    bool hasCameraCapture = false; // a camera runs
    bool userHidBlob = false;      // hidden by the user's show-or-hide shortcut during a take
    bool applicationActive = false; // this application is the frontmost one
};

struct WebcamOverlayDecision {
    enum class Kind {
        show,    // build the panel when needed and bring it up, with `interactive` applied
        hide,    // order the panel out; it stays in existence
        release, // order the panel out and let it go (the webcam is off)
    };
    Kind kind = Kind::hide;
    bool interactive = false; // only meaningful for `show`

    friend bool operator==(const WebcamOverlayDecision &, const WebcamOverlayDecision &) = default;
};

// The overlay rule: shown during a take unless the user hid it; hidden while reviewing; while
// idle shown only when another application is in front (so it never covers our own window).
WebcamOverlayDecision webcamOverlayDecision(const WebcamOverlayInputs &inputs);

} // namespace lumacast
