#pragma once

class QVBoxLayout;
class QWidget;

namespace lumacast {

// Fills `window` with one frameless scroll area that scrolls vertically only, and returns the
// layout of the page inside it (margins of `margin` pixels on every side, `spacing` pixels
// between items); `parentWidget()` of that layout is the page to create the content in. The
// window owns everything made here. Main thread only; call once, before the window has a layout.
QVBoxLayout *addScrollingPage(QWidget *window, int margin, int spacing);

} // namespace lumacast
