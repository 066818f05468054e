// The overlays with a compositing manager (picom, started and stopped here) and without one,
// checked on screenshots: translucency, the countdown's growth and fade, rounded corners and the
// ring with the screen seen through it where a compositor runs; a legible countdown digit no
// larger than its own size where none does.
#include "OverlayTestSupport.h"

#include "capture/CameraCapture.h"

#include "overlays/CountdownOverlay.h"
#include "overlays/RecordingBorderWindow.h"
#include "overlays/RecordingStatusWindow.h"
#include "overlays/WebcamOverlayWindow.h"
#include "store/Preferences.h"
#include "support/TestEnvironment.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QVideoFrame>
#include <QVideoFrameFormat>
#include <QVideoSink>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;

namespace {

// picom on the rig's display for as long as the object lives.
class Compositor {
public:
    Compositor()
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(QStringLiteral("picom"), {QStringLiteral("--config"), QStringLiteral("/dev/null"),
                                                  QStringLiteral("--backend"), QStringLiteral("xrender")});
        m_process.waitForStarted(5000);
    }
    ~Compositor()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(3000))
            m_process.kill();
        m_process.waitForFinished(1000);
        spinUntil([] { return !OverlayPanel::compositingAvailable(); }, 3000);
    }
    bool running() { return spinUntil([] { return OverlayPanel::compositingAvailable(); }, 5000); }

private:
    QProcess m_process;
};

bool nearBackdrop(uint32_t rgb, int tolerance)
{
    const auto channel = [](uint32_t v, int shift) { return int((v >> shift) & 0xff); };
    for (int shift : {0, 8, 16})
        if (std::abs(channel(rgb, shift) - channel(Backdrop::kColour, shift)) > tolerance)
            return false;
    return true;
}

struct Marks {
    QRect bounds;   // everything that differs from the backdrop
    int white = 0;  // pure white pixels
    int blended = 0; // neither backdrop nor white: drawn translucently
    int strongest = 0; // the largest step from the backdrop in any channel
};

Marks marksOn(const QImage &shot)
{
    Marks marks;
    for (int y = 0; y < shot.height(); y += 2)
        for (int x = 0; x < shot.width(); x += 2) {
            const uint32_t rgb = rgbAt(shot, x, y);
            if (nearBackdrop(rgb, 6))
                continue;
            marks.bounds |= QRect(x, y, 2, 2);
            for (int shift : {0, 8, 16})
                marks.strongest = std::max(marks.strongest, std::abs(int((rgb >> shift) & 0xff)
                                                                     - int((Backdrop::kColour >> shift) & 0xff)));
            if (rgb == 0xffffff)
                ++marks.white;
            else
                ++marks.blended;
        }
    return marks;
}

class Roads : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            GTEST_SKIP() << "needs the rig's X server";
        if (GetParam()) {
            if (QStandardPaths::findExecutable(QStringLiteral("picom")).isEmpty())
                GTEST_SKIP() << "picom is not installed (scripts/dev.sh setup installs it)";
            compositor = std::make_unique<Compositor>();
            ASSERT_TRUE(compositor->running()) << "picom did not take the display";
        } else {
            ASSERT_FALSE(OverlayPanel::compositingAvailable()) << "a compositor runs on the rig's display";
        }
        backdrop.emplace();
        spinFor(150);
    }
    void TearDown() override
    {
        backdrop.reset();
        compositor.reset();
    }
    bool composited() const { return GetParam(); }
    std::unique_ptr<Compositor> compositor;
    std::optional<Backdrop> backdrop;
};

} // namespace

TEST_P(Roads, CountdownDigitGrowsAndFadesOnlyWhereItCanAndStaysLegible)
{
    CountdownOverlay countdown(nullptr);
    QElapsedTimer clock;
    auto task = countdown.run(1, std::nullopt);
    clock.start();
    ASSERT_TRUE(countdown.windowID());
    spinUntil([&] { return clock.elapsed() >= 120; }, 1000);
    const QImage early = grabScreen();
    spinUntil([&] { return clock.elapsed() >= 380; }, 1000);
    const QImage later = grabScreen();
    keepShot(early, composited() ? "countdown-composited-early" : "countdown-bare-early");
    keepShot(later, composited() ? "countdown-composited-later" : "countdown-bare-later");
    const Marks first = marksOn(early);
    const Marks second = marksOn(later);
    const QPoint centre = early.rect().center();

    ASSERT_FALSE(first.bounds.isEmpty());
    EXPECT_LT((first.bounds.center() - centre).manhattanLength(), 200);
    const int digit = int(CountdownView::kDigitPixelSize);
    if (composited()) {
        // Half-transparent white over the screen, no opaque pixel; it then grows past its own
        // size while it fades.
        EXPECT_EQ(first.white, 0);
        EXPECT_GT(first.blended, 2000);
        EXPECT_GT(second.bounds.height(), first.bounds.height() * 3 / 2);
        EXPECT_LT(second.strongest, first.strongest * 2 / 3); // fading
        EXPECT_LE(first.bounds.height(), digit);
    } else {
        // Opaque white with its dark rim, at its own size for the whole second: nothing grows
        // and no outline cuts into the screen.
        EXPECT_GT(first.white, 2000);
        EXPECT_GT(first.blended, 200); // the rim
        EXPECT_LE(first.bounds.height(), digit);
        EXPECT_LE(first.bounds.width(), digit);
        EXPECT_EQ(second.bounds, first.bounds);
        EXPECT_EQ(second.white, first.white);
    }
    spinUntil([&] { return !countdown.isRunning(); }, 3000);
}

TEST_P(Roads, BorderRingAndStatusCardShowTheScreenWhereTheyShould)
{
    RecordingBorderWindow border;
    border.show(std::nullopt, CaptureTarget::wholeScreen(), OverlayState::recording);
    RecordingStatusWindow status;
    RecordingStatus card;
    card.state = OverlayState::recording;
    status.setStatus(card);
    status.show();
    ASSERT_TRUE(status.view());
    spinFor(250);
    const QImage shot = grabScreen();
    keepShot(shot, composited() ? "border-status-composited" : "border-status-bare");

    // The ring in the state's colour; the screen inside it untouched.
    for (QPoint p : {QPoint(0, 0), QPoint(4, 540), QPoint(1915, 300)})
        EXPECT_EQ(rgbAt(shot, p.x(), p.y()), 0xff3b30u) << p.x() << "," << p.y();
    for (QPoint p : {QPoint(5, 540), QPoint(960, 900), QPoint(1914, 1074)})
        EXPECT_EQ(rgbAt(shot, p.x(), p.y()), Backdrop::kColour) << p.x() << "," << p.y();

    // The card's rounded corner shows the screen; its body is dark, and translucent (tinted by
    // the green beneath) only where a compositor blends it.
    const QRect frame = status.view()->geometry();
    EXPECT_EQ(rgbAt(shot, frame.left() + 1, frame.top() + 1), Backdrop::kColour);
    const uint32_t body = rgbAt(shot, frame.left() + 4, frame.center().y());
    const int r = int(body >> 16) & 0xff, g = int(body >> 8) & 0xff;
    EXPECT_LT(g, 0x40);
    if (composited())
        EXPECT_GT(g, r) << std::hex << body;
    else
        EXPECT_EQ(body, 0x1c1c1eu);
    status.hide();
    border.hide();
    spinFor(100);
}

TEST_P(Roads, WebcamBlobShowsTheScreenRoundItsShape)
{
    QTemporaryDir dir;
    Preferences preferences(dir.filePath("Lumacast.json"));
    CameraCapture camera;
    WebcamOverlayWindow overlay(&preferences);
    overlay.show(&camera, std::nullopt);
    ASSERT_TRUE(overlay.panel());
    QVideoFrame frame(QVideoFrameFormat(QSize(64, 48), QVideoFrameFormat::Format_BGRX8888));
    ASSERT_TRUE(frame.map(QVideoFrame::WriteOnly));
    for (int y = 0; y < 48; ++y) {
        auto *row = reinterpret_cast<uint32_t *>(frame.bits(0) + y * frame.bytesPerLine(0));
        std::fill(row, row + 64, 0xffd04080u);
    }
    frame.unmap();
    camera.previewSink()->setVideoFrame(frame);
    spinFor(250);
    const QImage shot = grabScreen();
    keepShot(shot, composited() ? "webcam-composited" : "webcam-bare");

    // Round by default: the camera inside, the screen (never black) in the corners.
    const QRect blob = overlay.panel()->geometry();
    EXPECT_EQ(rgbAt(shot, blob.center().x(), blob.center().y()), 0xd04080u);
    for (QPoint corner : {blob.topLeft() + QPoint(4, 4), blob.bottomRight() - QPoint(4, 4)})
        EXPECT_EQ(rgbAt(shot, corner.x(), corner.y()), Backdrop::kColour) << corner.x() << "," << corner.y();
    overlay.releasePanel();
    spinFor(100);
}

INSTANTIATE_TEST_SUITE_P(Compositor, Roads, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "picom" : "none"; });
