// The webcam blob on the rig's X server: the camera picture in its shape, drags from xdotool
// (XTEST), the zoom and the remembered placement and shape.
#include "OverlayTestSupport.h"

#include "capture/CameraCapture.h"
#include "overlays/WebcamOverlayWindow.h"
#include "support/TestEnvironment.h"

#include <QTemporaryDir>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoSink>

#include <gtest/gtest.h>

#include <cstring>

using namespace lumacast;
using namespace lumacast::testing;

namespace {

constexpr uint32_t kCameraColour = 0xd04080;

// What a camera would deliver: one frame of one colour into the preview sink.
void deliverFrame(CameraCapture &camera, uint32_t rgb)
{
    QVideoFrame frame(QVideoFrameFormat(QSize(640, 480), QVideoFrameFormat::Format_BGRX8888));
    ASSERT_TRUE(frame.map(QVideoFrame::WriteOnly));
    for (int y = 0; y < 480; ++y) {
        auto *row = reinterpret_cast<uint32_t *>(frame.bits(0) + y * frame.bytesPerLine(0));
        for (int x = 0; x < 640; ++x)
            row[x] = 0xff000000u | rgb; // B, G, R, X in memory
    }
    frame.unmap();
    camera.previewSink()->setVideoFrame(frame);
}

bool xdotool(const QStringList &args)
{
    const bool ok = runProcess("xdotool", args).ok();
    spinFor(120);
    return ok;
}

bool drag(QPoint from, QPoint to)
{
    const auto n = [](int v) { return QString::number(v); };
    return xdotool({"mousemove", n(from.x()), n(from.y())}) && xdotool({"mousedown", "1"})
        && xdotool({"mousemove", n(to.x()), n(to.y())}) && xdotool({"mouseup", "1"});
}

bool click(QPoint at)
{
    return xdotool({"mousemove", QString::number(at.x()), QString::number(at.y()), "click", "1"});
}

class WebcamOverlay : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs the rig's X server";
        preferences = std::make_unique<Preferences>(dir.filePath("Lumacast.json"));
        backdrop.emplace();
    }
    QTemporaryDir dir;
    std::unique_ptr<Preferences> preferences;
    std::optional<Backdrop> backdrop;
    WindowProperties properties;
    CameraCapture camera;
};

} // namespace

TEST_F(WebcamOverlay, ShowsTheCameraInItsShapeInTheCorner)
{
    WebcamOverlayWindow overlay(preferences.get());
    overlay.show(&camera, std::nullopt);
    ASSERT_TRUE(overlay.panel());
    deliverFrame(camera, kCameraColour);
    spinFor(200);

    // A fifth of 1920 wide, 24 from the right and bottom edges, round.
    const QRect blob(1512, 672, 384, 384);
    EXPECT_EQ(overlay.panel()->geometry(), blob);
    EXPECT_EQ(preferences->defaults().value("webcamBlobShape").toString(), "round");
    const auto id = overlay.windowID();
    ASSERT_TRUE(id);
    EXPECT_TRUE(properties.hasState(*id, "_NET_WM_STATE_STICKY"));
    EXPECT_TRUE(properties.acceptsFocus(*id)); // interactive

    QImage shot = grabScreen();
    keepShot(shot, "webcam-round");
    EXPECT_EQ(rgbAt(shot, blob.center().x(), blob.center().y()), kCameraColour);
    EXPECT_EQ(rgbAt(shot, blob.left() + 3, blob.center().y()), kCameraColour);
    EXPECT_EQ(rgbAt(shot, blob.left() + 4, blob.top() + 4), Backdrop::kColour);

    overlay.setShape(BlobShape::square);
    spinFor(150);
    shot = grabScreen();
    EXPECT_EQ(rgbAt(shot, blob.left() + 4, blob.top() + 4), kCameraColour);
    EXPECT_EQ(rgbAt(shot, blob.left() - 2, blob.top() + 4), Backdrop::kColour);
    EXPECT_EQ(preferences->defaults().value("webcamBlobShape").toString(), "square");

    // Ordered out and shown again: the same blob; released: a new one from the settings.
    overlay.orderOut();
    EXPECT_FALSE(overlay.isVisible());
    overlay.show(&camera, std::nullopt);
    EXPECT_EQ(overlay.windowID(), id);
    overlay.releasePanel();
    EXPECT_FALSE(overlay.windowID());
    overlay.show(&camera, std::nullopt);
    EXPECT_EQ(overlay.panel()->cornerRadius(), 0); // square, from the settings
}

TEST_F(WebcamOverlay, DragsMoveAndResizeWithinTheDisplayAndAreRemembered)
{
    preferences->defaults().setValue("webcamBlobShape", "square");
    WebcamOverlayWindow overlay(preferences.get());
    overlay.show(&camera, std::nullopt);
    spinFor(200);
    ASSERT_EQ(overlay.panel()->geometry(), QRect(1512, 672, 384, 384));

    // Dragged past the bottom-right corner: stops at the edges.
    ASSERT_TRUE(drag({1704, 864}, {1900, 1070}));
    EXPECT_EQ(overlay.panel()->geometry(), QRect(1536, 696, 384, 384));
    auto saved = preferences->webcamBlobPlacement();
    ASSERT_TRUE(saved);
    EXPECT_DOUBLE_EQ(saved->xFraction, 0.8);
    EXPECT_DOUBLE_EQ(saved->yFraction, 0.0);
    EXPECT_DOUBLE_EQ(saved->widthFraction, 0.2);

    // The rim dragged outwards enlarges the blob about its centre, pushed back inside.
    ASSERT_TRUE(drag({1541, 888}, {1441, 888}));
    QRect grown = overlay.panel()->geometry();
    EXPECT_NEAR(grown.width(), 589, 2);
    EXPECT_EQ(grown.width(), grown.height());
    EXPECT_EQ(grown.right() + 1, 1920);
    EXPECT_EQ(grown.bottom() + 1, 1080);
    saved = preferences->webcamBlobPlacement();
    ASSERT_TRUE(saved);
    EXPECT_NEAR(saved->widthFraction, 589.3 / 1920, 0.002);

    // Far outwards: no more than 0.6 of the display's width.
    ASSERT_TRUE(drag({grown.left() + 4, grown.center().y()}, {5, grown.center().y()}));
    EXPECT_EQ(overlay.panel()->width(), 1152);

    // A click zooms to the whole display and back to where the blob was.
    const QRect placed = overlay.panel()->geometry();
    ASSERT_TRUE(click(placed.center()));
    ASSERT_TRUE(spinUntil([&] { return !overlay.isAnimating(); }, 1000));
    EXPECT_EQ(overlay.mode(), BlobMode::full);
    EXPECT_EQ(overlay.panel()->geometry(), QGuiApplication::primaryScreen()->geometry());
    ASSERT_TRUE(click({960, 540}));
    ASSERT_TRUE(spinUntil([&] { return !overlay.isAnimating(); }, 1000));
    EXPECT_EQ(overlay.mode(), BlobMode::corner);
    EXPECT_EQ(overlay.panel()->geometry(), placed);

    // While recording it cannot be moved or focused: a drag is only a click, which zooms.
    overlay.setInteractive(false);
    spinFor(100);
    EXPECT_FALSE(properties.acceptsFocus(*overlay.windowID()));
    ASSERT_TRUE(drag(placed.center(), placed.center() - QPoint(300, 300)));
    ASSERT_TRUE(spinUntil([&] { return !overlay.isAnimating(); }, 1000));
    EXPECT_EQ(overlay.mode(), BlobMode::full);
    ASSERT_TRUE(click({960, 540}));
    ASSERT_TRUE(spinUntil([&] { return !overlay.isAnimating(); }, 1000));
    EXPECT_EQ(overlay.panel()->geometry(), placed);

    // A new overlay (the next run) puts the blob where it was left.
    WebcamOverlayWindow nextRun(preferences.get());
    nextRun.show(&camera, std::nullopt);
    EXPECT_EQ(nextRun.panel()->geometry(), placed);
}

TEST_F(WebcamOverlay, RaisesWithoutTakingTheKeyboardAndGivesItBackWhenRecordingStarts)
{
    // The program the user types into, and the keyboard focus as the X server has it.
    XcbTestWindows &x = backdrop->windows;
    xcb_window_t editor = x.solid(QRect(100, 100, 400, 300), 0x336699, 4343, QStringLiteral("editor"));
    const auto focusOn = [&x](xcb_window_t window) {
        xcb_set_input_focus(x.connection(), XCB_INPUT_FOCUS_POINTER_ROOT, window, XCB_CURRENT_TIME);
        x.sync();
    };
    const auto focus = [&x]() -> xcb_window_t {
        spinFor(150);
        auto *reply = xcb_get_input_focus_reply(x.connection(), xcb_get_input_focus(x.connection()), nullptr);
        const xcb_window_t window = reply ? reply->focus : XCB_NONE;
        std::free(reply);
        return window;
    };
    focusOn(editor);
    WebcamOverlayWindow overlay(preferences.get());
    const auto blob = [&overlay] { return xcb_window_t(*overlay.windowID()); };

    enum class Step { show, blobClicked, recordingStarts, recordingEnds, orderOut, editorClosed };
    struct Row {
        const char *name;
        Step step;
        const char *focusedExpected; // "editor", "blob" or "pointer root"
    };
    const Row rows[] = {
        {"shown in idle: raised, the editor keeps the keyboard", Step::show, "editor"},
        {"a click (as a window manager answers it) focuses the blob", Step::blobClicked, "blob"},
        {"a take starts: the keyboard goes back to the editor", Step::recordingStarts, "editor"},
        {"the take ends: interactive again, the editor keeps it", Step::recordingEnds, "editor"},
        {"clicked again, then hidden: back to the editor", Step::blobClicked, "blob"},
        {"", Step::orderOut, "editor"},
        {"shown, clicked, the editor closed, a take starts", Step::show, "editor"},
        {"", Step::blobClicked, "blob"},
        {"", Step::editorClosed, "blob"},
        {"", Step::recordingStarts, "pointer root"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        switch (row.step) {
        case Step::show: overlay.show(&camera, std::nullopt); break;
        case Step::blobClicked: focusOn(blob()); break;
        case Step::recordingStarts: overlay.setInteractive(false); break;
        case Step::recordingEnds: overlay.setInteractive(true); break;
        case Step::orderOut: overlay.orderOut(); break;
        case Step::editorClosed:
            x.destroy(editor);
            x.sync();
            break;
        }
        const xcb_window_t now = focus();
        const QString focused = now == blob() ? "blob"
            : now == editor                   ? "editor"
            : now == XCB_INPUT_FOCUS_POINTER_ROOT ? "pointer root"
                                              : QString::number(now);
        EXPECT_EQ(focused.toStdString(), row.focusedExpected);
        EXPECT_TRUE(overlay.windowID().has_value());
    }
    // Leave the focus as a fresh server has it for the tests after this one.
    focusOn(XCB_INPUT_FOCUS_POINTER_ROOT);
}
