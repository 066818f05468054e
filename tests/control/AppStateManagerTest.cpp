#include "StateManagerDoubles.h"

#include "capture/CaptureTargetPicker.h"
#include "control/AppState.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace lumacast {
namespace {

using testing::FakeMainWindow;
using testing::ManagerHarness;
using Kind = WebcamOverlayDecision::Kind;

constexpr AppState allStates[] = {AppState::idle, AppState::starting, AppState::recording, AppState::paused,
                                  AppState::reviewing};

TEST(AppStateRulesTest, MainWindowAndOverlayRulesOverEveryState)
{
    struct Row {
        AppState state;
        MainWindowAction window;
        WebcamOverlayDecision frontmost, behind, hiddenByUser;
    };
    // The overlay with a running camera: while the application is frontmost, while another one
    // is, and after the user hid it (application behind).
    const Row rows[] = {
        {AppState::idle, MainWindowAction::restore, {Kind::hide}, {Kind::show, true}, {Kind::show, true}},
        {AppState::starting, MainWindowAction::minimize, {Kind::show, true}, {Kind::show, true}, {Kind::hide}},
        {AppState::recording, MainWindowAction::minimize, {Kind::show, false}, {Kind::show, false}, {Kind::hide}},
        {AppState::paused, MainWindowAction::minimize, {Kind::show, false}, {Kind::show, false}, {Kind::hide}},
        {AppState::reviewing, MainWindowAction::restore, {Kind::hide}, {Kind::hide}, {Kind::hide}},
    };
    for (const Row &row : rows) {
        const QString name = app_state::caseName(row.state);
        EXPECT_EQ(mainWindowActionFor(row.state), row.window) << qPrintable(name);
        WebcamOverlayInputs in{row.state, true, true, true, false, true};
        EXPECT_EQ(webcamOverlayDecision(in), row.frontmost) << qPrintable(name);
        in.applicationActive = false;
        EXPECT_EQ(webcamOverlayDecision(in), row.behind) << qPrintable(name);
        in.userHidBlob = true;
        EXPECT_EQ(webcamOverlayDecision(in), row.hiddenByUser) << qPrintable(name);
        // Without a usable camera the panel is only ordered out, or let go once the webcam is off.
        EXPECT_EQ(webcamOverlayDecision({row.state, true, false, true, false, false}).kind, Kind::hide);
        EXPECT_EQ(webcamOverlayDecision({row.state, true, true, false, false, false}).kind, Kind::hide);
        EXPECT_EQ(webcamOverlayDecision({row.state, false, true, true, false, false}).kind, Kind::release);
    }
}

TEST(AppStateManagerTest, StateSetterLogsOncePerChangeAndMovesTheWindowOnce)
{
    ManagerHarness h;
    FakeMainWindow window;
    h.m().setMainWindow(&window);
    int changes = 0;
    QObject::connect(h.manager.get(), &AppStateManager::stateChanged, [&] { ++changes; });

    for (AppState state : {AppState::idle, AppState::starting, AppState::starting, AppState::recording,
                           AppState::paused, AppState::recording, AppState::reviewing, AppState::reviewing,
                           AppState::idle})
        h.m().setState(state);

    EXPECT_EQ(h.appLogLines(), QStringList({
                                   "[state] idle → starting",
                                   "[window] minimizing main window for recording",
                                   "[state] starting → recording",
                                   "[state] recording → paused",
                                   "[state] paused → recording",
                                   "[state] recording → reviewing",
                                   "[window] restoring main window",
                                   "[state] reviewing → idle",
                                   "[window] restoring main window",
                               }));
    EXPECT_EQ(changes, 6);
    EXPECT_EQ(window.minimizeCount, 1);
    EXPECT_EQ(window.restoreCount, 2);
    EXPECT_EQ(h.application->activateCount, 2);
}

TEST(AppStateManagerTest, MainWindowRuleLeavesHiddenWindowsAndOpensAMissingOne)
{
    struct Case {
        const char *name;
        bool registered, visible, minimized;
        QStringList windowLines; // after idle → starting → idle
        QStringList opened;
    };
    const Case cases[] = {
        {"hidden window", true, false, false, {"[window] restoring main window"}, {}},
        {"already minimized", true, true, true, {"[window] restoring main window"}, {}},
        {"no window", false, true, false, {"[window] main window ref missing — opening through the window actions"}, {"review"}},
    };
    for (const Case &c : cases) {
        ManagerHarness h;
        FakeMainWindow window;
        window.visible = c.visible;
        window.minimized = c.minimized;
        if (c.registered)
            h.m().setMainWindow(&window);
        QStringList opened;
        h.m().setWindowActions([&](const QString &id) { opened << id; }, {}, {});
        h.m().setState(AppState::starting);
        h.m().setState(AppState::idle);
        const QStringList lines = h.appLogLines().filter("[window]");
        EXPECT_EQ(lines, c.windowLines) << c.name;
        EXPECT_EQ(opened, c.opened) << c.name;
        EXPECT_EQ(window.minimizeCount, 0) << c.name;
    }
}

TEST(AppStateManagerTest, OverlayFollowsActivationWhileIdleAndStopsWhenObserversGo)
{
    ManagerHarness h;
    // The webcam switch is not built here; give the overlay rule what it reads.
    h.m().setWebcamEnabledValue(true);
    h.m().setCameraCapture(h.devices->makeCameraFeed());
    h.m().installAppActivationObservers();
    h.m().installAppActivationObservers(); // a second install adds nothing

    h.application->setActive(false);
    EXPECT_TRUE(h.webcamOverlay->onScreen);
    EXPECT_TRUE(h.webcamOverlay->interactive);
    h.application->setActive(true);
    EXPECT_FALSE(h.webcamOverlay->onScreen);
    EXPECT_TRUE(h.webcamOverlay->panel) << "hidden, not released";
    EXPECT_EQ(h.webcamOverlay->calls.count("orderOut"), 1);

    h.m().setState(AppState::recording);
    EXPECT_TRUE(h.webcamOverlay->onScreen);
    EXPECT_FALSE(h.webcamOverlay->interactive);
    h.m().updateWebcamOverlayVisibility(true); // a system video effect took the camera
    EXPECT_FALSE(h.webcamOverlay->onScreen);

    h.m().setState(AppState::idle);
    h.m().removeAppActivationObservers();
    h.m().updateWebcamOverlayVisibility(false);
    const qsizetype before = h.webcamOverlay->calls.size();
    h.application->setActive(false);
    EXPECT_EQ(h.webcamOverlay->calls.size(), before) << "no observer left";
}

TEST(AppStateManagerTest, HotKeysAnswerNothingUntilTheLastNestedAlertCloses)
{
    ManagerHarness h;
    h.adoptSessionWithTakes({1});
    const auto pressEndTake = [&h] {
        h.hotKeys->handlers.at(ShortcutAction::endTake)();
        QCoreApplication::sendPostedEvents();
    };
    h.alerts->answers = {0, 1};
    h.alerts->whileUp = [&] {
        h.alerts->whileUp = pressEndTake;
        h.m().presentAlert("Recovery issue", "3 recording(s)", AlertStyle::warning);
        // The inner alert has gone, the outer one is still up.
        pressEndTake();
    };
    const int chosen = h.m().runAlert({"Save recording before closing?", "", AlertStyle::informational, {"Save…", "Don’t Save"}});
    EXPECT_EQ(chosen, 1);
    ASSERT_EQ(h.alerts->shown.size(), 2u);
    EXPECT_EQ(h.alerts->shown[1], (AlertRequest{"Recovery issue", "3 recording(s)", AlertStyle::warning, {}}));
    EXPECT_EQ(h.m().state(), AppState::idle) << "no take may start behind an alert";

    pressEndTake();
    EXPECT_EQ(h.m().state(), AppState::starting) << "the keys act again once the last alert is gone";
}

TEST(AppStateManagerTest, SettingsLoadWithoutWritingBack)
{
    struct Case {
        QVariant shape;
        BlobShape expected;
    };
    for (const Case &c : {Case{QVariant(), BlobShape::round}, Case{QString("square"), BlobShape::square},
                          Case{QString("hexagon"), BlobShape::round}}) {
        ManagerHarness h;
        if (c.shape.isValid())
            h.preferences.defaults().setValue(preference_key::webcamBlobShape, c.shape);
        h.preferences.defaults().setValue(preference_key::selectedDisplayID, 0);
        h.preferences.defaults().sync();
        const QStringList keysBefore = h.preferences.defaults().allKeys();
        h.manager = std::make_unique<AppStateManager>(h.services(), false);
        EXPECT_EQ(h.m().webcamShape(), c.expected);
        EXPECT_FALSE(h.m().selectedDisplayID()) << "0 means none";
        EXPECT_TRUE(h.m().reopenLastDocument());
        EXPECT_DOUBLE_EQ(h.m().cursorHideDelay(), 2.0);
        EXPECT_EQ(h.preferences.defaults().allKeys(), keysBefore);
    }
}

// A picker that does nothing: only its identity matters here.
class InertPicker : public SharingPicker {
public:
    void setConfiguration(const SharingPickerConfiguration &) override {}
    void setMaximumStreamCount(int) override {}
    void addObserver(SharingPickerObserver *) override {}
    void removeObserver(SharingPickerObserver *) override {}
    void setActive(bool) override {}
    bool isActive() const override { return false; }
    void present() override {}
};

TEST(AppStateManagerTest, HoldsTheWindowPickerOnThePickerInstalledBeforeIt)
{
    SharingPicker &fallback = SharingPicker::shared();
    InertPicker installed, later;
    SharingPicker::installShared(installed);
    {
        ManagerHarness h;
        SharingPicker::installShared(later);
        EXPECT_EQ(&h.m().captureTargetPicker().picker(), &installed);
    }
    SharingPicker::installShared(fallback);
}

} // namespace
} // namespace lumacast
