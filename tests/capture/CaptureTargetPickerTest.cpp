// The capture target, the picker's outcomes and the window picker dialog.
#include "capture/CaptureTarget.h"
#include "capture/CaptureTargetPicker.h"
#include "capture/DisplayOption.h"

#include "support/XcbTestWindows.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

using namespace lumacast;

namespace {

// A stand-in for the desktop's sharing picker that records what is asked of it.
class RecordingPicker : public SharingPicker {
public:
    void setConfiguration(const SharingPickerConfiguration &c) override { calls.push_back("configure"); config = c; }
    void setMaximumStreamCount(int n) override { calls.push_back("max" + std::to_string(n)); }
    void addObserver(SharingPickerObserver *o) override { calls.push_back("add"); observers.push_back(o); }
    void removeObserver(SharingPickerObserver *o) override
    {
        calls.push_back("remove");
        observers.erase(std::remove(observers.begin(), observers.end(), o), observers.end());
    }
    void setActive(bool a) override { calls.push_back(a ? "active" : "inactive"); active = a; }
    bool isActive() const override { return active; }
    void present() override { calls.push_back("present"); }

    std::vector<std::string> calls;
    std::vector<SharingPickerObserver *> observers;
    SharingPickerConfiguration config;
    bool active = false;
};

void waitFor(const std::function<bool()> &done, int ms = 2000)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
}

TEST(CaptureTarget, WholeScreenByDefaultAndCustomSharesItsFilter)
{
    CaptureTarget target;
    EXPECT_TRUE(target.isWholeScreen());
    EXPECT_FALSE(target.isWindow());
    EXPECT_EQ(target.filter(), nullptr);

    auto filter = ContentFilter::forWindow(0x400007, QRectF(10, 20, 300, 200));
    const CaptureTarget picked = CaptureTarget::custom(filter, filter->style);
    const CaptureTarget copy = picked;
    EXPECT_EQ(picked.kind(), CaptureTarget::Kind::Custom);
    EXPECT_TRUE(copy.isWindow());
    EXPECT_EQ(copy.filter().get(), filter.get());
    EXPECT_EQ(copy.filter()->windowID(), 0x400007u);
    EXPECT_EQ(copy.filter()->contentRect, QRectF(10, 20, 300, 200));
    EXPECT_EQ(copy, picked);
    EXPECT_FALSE(copy == CaptureTarget::wholeScreen());
    EXPECT_TRUE(CaptureTarget::custom(nullptr, ContentStyle::Window).isWholeScreen());
}

TEST(DisplayOption, LabelNamesTheSizeInPixels)
{
    const DisplayOption d{7, QStringLiteral("HDMI-1"), 3024, 1964};
    EXPECT_EQ(d.label(), QStringLiteral("HDMI-1 \u2014 3024\u00d71964"));
    EXPECT_EQ(d, (DisplayOption{7, QStringLiteral("HDMI-1"), 3024, 1964}));
    EXPECT_FALSE(d == (DisplayOption{7, QStringLiteral("HDMI-1"), 3024, 1962}));
}

TEST(CaptureTargetPicker, PresentingFollowsTheWindowChoiceSequence)
{
    RecordingPicker fake;
    CaptureTargetPicker picker(fake);
    picker.present();
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"configure", "max1", "add", "active", "present"}));
    ASSERT_EQ(fake.config.allowedPickerModes.size(), 1u);
    EXPECT_EQ(fake.config.allowedPickerModes[0], SharingPickerMode::SingleWindow);
}

TEST(CaptureTargetPicker, PickReachesOnPickOnTheMainThreadThenDeactivates)
{
    RecordingPicker fake;
    CaptureTargetPicker picker(fake);
    ContentFilterRef got;
    QThread *gotOn = nullptr;
    picker.onPick = [&](ContentFilterRef f) {
        got = f;
        gotOn = QThread::currentThread();
        EXPECT_TRUE(fake.active); // the callback runs before the picker is taken down
    };
    picker.present();
    auto filter = ContentFilter::forWindow(42, QRectF(0, 0, 10, 10));
    std::thread platform([&] { picker.pickerDidUpdate(filter); });
    platform.join();
    EXPECT_EQ(got, nullptr); // not inline
    waitFor([&] { return got != nullptr; });
    EXPECT_EQ(got, filter);
    EXPECT_EQ(gotOn, QApplication::instance()->thread());
    EXPECT_FALSE(fake.active);
    EXPECT_TRUE(fake.observers.empty());
}

TEST(CaptureTargetPicker, CancelAndMissingCallbacksStillTakeThePickerDown)
{
    RecordingPicker fake;
    CaptureTargetPicker picker(fake);
    int picks = 0;
    picker.onPick = [&](ContentFilterRef) { ++picks; };
    picker.present();
    picker.pickerDidCancel(); // no onCancel set: dropped silently
    waitFor([&] { return !fake.active; });
    EXPECT_EQ(picks, 0);
    EXPECT_FALSE(fake.active);
    EXPECT_TRUE(fake.observers.empty());

    picker.onPick = nullptr;
    picker.present();
    picker.pickerDidUpdate(ContentFilter::forWindow(1, QRectF()));
    waitFor([&] { return !fake.active; });
    EXPECT_FALSE(fake.active);
    EXPECT_TRUE(fake.observers.empty());
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "add"), 2);
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "remove"), 2);
}

TEST(CaptureTargetPicker, StartFailureReachesOnError)
{
    RecordingPicker fake;
    CaptureTargetPicker picker(fake);
    QString message;
    bool cancelled = false;
    picker.onError = [&](const Error &e) { message = e.localizedDescription(); };
    picker.onCancel = [&] { cancelled = true; };
    picker.present();
    picker.pickerStartDidFail(Error(QStringLiteral("no windows today")));
    waitFor([&] { return !message.isEmpty(); });
    EXPECT_EQ(message, QStringLiteral("no windows today"));
    EXPECT_FALSE(cancelled);
    EXPECT_TRUE(fake.observers.empty());
}


} // namespace
