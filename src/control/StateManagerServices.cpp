#include "control/StateManagerServices.h"

namespace lumacast {

bool StateManagerServices::isComplete() const
{
    return recorder && store && hotKeys && countdown && permissions && exporter && statusPanel && border
        && webcamOverlay && updater && alerts && filePanels && application && screens && devices && clock
        && scheduler && appLog && preferences && filePanelGuard;
}

} // namespace lumacast
