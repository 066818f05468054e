// What a whole-screen take sees of the overlays: the recorder's own filter, applied by the
// capture layer to one frame of the rig's X server.
#include "OverlayTestSupport.h"

#include "capture/CameraCapture.h"
#include "capture/ScreenRecorder.h"
#include "overlays/CountdownOverlay.h"
#include "overlays/RecordingBorderWindow.h"
#include "overlays/RecordingStatusWindow.h"
#include "overlays/WebcamOverlayWindow.h"
#include "platform/x11/X11FrameSource.h"
#include "support/AwaitTask.h"

#include <QTemporaryDir>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoSink>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;

TEST(OverlayCapture, WholeScreenFramesKeepOnlyTheWebcamOverlay)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        GTEST_SKIP() << "needs the rig's X server";
    Backdrop backdrop;
    QTemporaryDir dir;
    Preferences preferences(dir.filePath("Lumacast.json"));

    CameraCapture camera;
    QVideoFrame picture(QVideoFrameFormat(QSize(64, 48), QVideoFrameFormat::Format_BGRX8888));
    ASSERT_TRUE(picture.map(QVideoFrame::WriteOnly));
    for (int y = 0; y < 48; ++y)
        std::fill_n(reinterpret_cast<uint32_t *>(picture.bits(0) + y * picture.bytesPerLine(0)), 64, 0xff2050e0u);
    picture.unmap();
    camera.previewSink()->setVideoFrame(picture);

    RecordingBorderWindow border;
    border.show(std::nullopt, CaptureTarget::wholeScreen(), OverlayState::recording);
    RecordingStatusWindow status;
    status.show();
    WebcamOverlayWindow webcam(&preferences);
    webcam.show(&camera, std::nullopt);
    webcam.setInteractive(false);
    CountdownOverlay countdown(nullptr);
    auto running = countdown.run(1, std::nullopt);
    spinFor(300);
    ASSERT_TRUE(countdown.isRunning());

    const QRect card = status.view()->geometry();
    const QRect blob = webcam.panel()->geometry();
    const QImage screen = grabScreen();
    keepShot(screen, "capture-screen");
    ASSERT_EQ(rgbAt(screen, 2, 540), 0xff3b30u);
    ASSERT_EQ(rgbAt(screen, card.left() + 4, card.center().y()), 0x1c1c1eu);
    ASSERT_EQ(rgbAt(screen, 960, 540), 0xffffffu);

    ScreenRecorder recorder(false, 2.0);
    const auto made = runTask(recorder.makeFilterAndConfiguration(std::nullopt, std::nullopt, webcam.windowID(), false,
                                                                  CaptureTarget::wholeScreen()));
    ASSERT_TRUE(made.filter);
    EXPECT_EQ(made.filter->exceptingWindows, std::vector<uint32_t>{*webcam.windowID()});
    x11::CaptureConfig config;
    config.displayId = made.displayID;
    config.showsCursor = false;
    config.excludedPids = made.filter->excludedApplications;
    config.exceptedWindows = made.filter->exceptingWindows;
    x11::FrameSource source(config);
    ASSERT_NO_THROW(source.open());
    ASSERT_TRUE(source.isComposited());
    x11::Frame frame;
    ASSERT_NO_THROW(source.captureFrame(frame));

    keepShot(QImage(frame.data, frame.width, frame.height, frame.stride, QImage::Format_RGB32), "capture-frame");
    const auto at = [&](int x, int y) { return pixelAt(frame.data, frame.stride, x, y); };
    EXPECT_EQ(at(2, 540), Backdrop::kColour);                              // border left out
    EXPECT_EQ(at(card.left() + 4, card.center().y()), Backdrop::kColour);  // status card left out
    EXPECT_EQ(at(960, 540), Backdrop::kColour);                            // countdown left out
    EXPECT_EQ(at(blob.center().x(), blob.center().y()), 0x2050e0u);        // the webcam kept
    EXPECT_EQ(at(blob.left() + 4, blob.top() + 4), Backdrop::kColour);     // in its round shape

    runTask(std::move(running));
}
