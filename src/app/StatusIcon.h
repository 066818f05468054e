#pragma once

#include "control/AppState.h"

#include <QIcon>
#include <QImage>

namespace lumacast {

// The tray item's image, which shows the application state at a glance. Main thread (QPainter
// on images is safe elsewhere too, but the icon is only made there).
namespace status_icon {

// The application's artwork (a clapperboard), drawn at `side` pixels on transparency.
QImage artwork(int side);
// The artwork at 24 by 24 pixels: untinted while idle or starting; while recording, paused or
// reviewing its opaque pixels take the state's colour at alpha 0.6 (transparent pixels stay so).
QImage statusImage(AppState state);
// The same, as the tray item's icon.
QIcon statusIcon(AppState state);

} // namespace status_icon
} // namespace lumacast
