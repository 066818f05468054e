// The recording border round one window of the X server in $DISPLAY, following it until the
// program is ended; prints the border's X window. For the overlay tests, which run it on screens
// of other ratios than their own.
#include "overlays/RecordingBorderWindow.h"

#include <QApplication>

#include <cstdio>

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    using namespace lumacast;
    const uint32_t window = argc > 1 ? QByteArray(argv[1]).toUInt(nullptr, 0) : 0;
    RecordingBorderWindow border;
    border.show(std::nullopt, CaptureTarget::custom(ContentFilter::forWindow(window, QRectF()), ContentStyle::Window),
                OverlayState::recording);
    std::printf("%u\n", unsigned(border.windowID().value_or(0)));
    std::fflush(stdout);
    return app.exec();
}
