// The window picker dialog: the shared sharing picker on X11.
#include "capture/CaptureTargetPicker.h"
#include "dialogs/PickerDialog.h"

#include "support/XcbTestWindows.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <functional>

using namespace lumacast;

namespace {

void waitFor(const std::function<bool()> &done, int ms = 2000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

class WindowPicker : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs an X server (DISPLAY)";
    }
};

TEST_F(WindowPicker, ListsForeignWindowsAndPicksOne)
{
    lumacast::testing::XcbTestWindows windows;
    const xcb_window_t foreignWindow = windows.solid(QRect(120, 80, 400, 300), 0x3366cc, std::nullopt,
                                                     QStringLiteral("Quarterly report"), QStringLiteral("Spreadsheet"));
    WindowSharingPicker shared;
    CaptureTargetPicker picker(shared);
    ContentFilterRef picked;
    picker.onPick = [&](ContentFilterRef f) { picked = f; };
    picker.present();
    ASSERT_NE(shared.dialog(), nullptr);
    EXPECT_TRUE(shared.dialog()->isVisible());
    EXPECT_TRUE(shared.isActive());

    const auto &listed = shared.dialog()->windows();
    auto it = std::find_if(listed.begin(), listed.end(), [&](const x11::WindowInfo &w) { return w.id == foreignWindow; });
    ASSERT_NE(it, listed.end());
    EXPECT_EQ(it->title, QStringLiteral("Quarterly report"));
    EXPECT_EQ(it->applicationName, QStringLiteral("Spreadsheet"));
    // Our own windows (the dialog itself) are never offered.
    const auto own = uint32_t(QCoreApplication::applicationPid());
    EXPECT_TRUE(std::none_of(listed.begin(), listed.end(), [&](const x11::WindowInfo &w) { return w.pid == own; }));

    shared.dialog()->selectWindow(foreignWindow);
    shared.dialog()->accept();
    waitFor([&] { return picked != nullptr; });
    ASSERT_NE(picked, nullptr);
    EXPECT_EQ(picked->style, ContentStyle::Window);
    EXPECT_EQ(picked->windowID(), foreignWindow);
    EXPECT_EQ(picked->contentRect, QRectF(120, 80, 400, 300));
    EXPECT_FALSE(shared.isActive());
    EXPECT_TRUE(shared.observers().empty());
}

TEST_F(WindowPicker, CancelLeavesNothingPicked)
{
    WindowSharingPicker shared;
    CaptureTargetPicker picker(shared);
    int picks = 0;
    bool cancelled = false;
    picker.onPick = [&](ContentFilterRef) { ++picks; };
    picker.onCancel = [&] { cancelled = true; };
    picker.present();
    ASSERT_NE(shared.dialog(), nullptr);
    shared.dialog()->reject();
    waitFor([&] { return cancelled; });
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(picks, 0);
    EXPECT_FALSE(shared.isActive());
    EXPECT_TRUE(shared.observers().empty());
}

} // namespace
