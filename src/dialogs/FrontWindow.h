#pragma once

class QWidget;

namespace lumacast {

// A question's window brought back before the user, for a command that waits for its answer:
// the window, and every window it stands over, restored when minimized (the window manager
// minimizes a dialog together with its window), then raised and given the keyboard. A window on
// another workspace is activated there, as the window manager does it. Main thread only.
class FrontWindow {
public:
    static void bring(QWidget *window);
};

} // namespace lumacast
