#include "StateManagerDoubles.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace lumacast {
namespace {

using testing::ManagerHarness;

// The settings file as written, so that a stored value's type is checked too.
QJsonObject storedSettings(ManagerHarness &h)
{
    h.preferences.defaults().sync();
    QFile file(h.preferences.filePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

DisplayOption display(uint32_t id) { return {id, QStringLiteral("Screen %1").arg(id), 1920, 1080}; }

TEST(CaptureDevicesTest, EachSettingStoresItsKeyPublishesAndPassesItOn)
{
    struct Row {
        const char *name;
        std::function<void(AppStateManager &)> change;
        const char *key;
        QJsonValue stored; // Undefined: the key is removed
        QString logLine;   // empty: none expected
        QString recorderCall;
    };
    const Row rows[] = {
        {"delay below", [](AppStateManager &m) { m.setCursorHideDelay(0.2); }, "cursorHideDelay", 0.5, {}, "setCursorHideDelay 0.5"},
        {"delay above", [](AppStateManager &m) { m.setCursorHideDelay(12); }, "cursorHideDelay", 10.0, {}, "setCursorHideDelay 10"},
        {"delay inside", [](AppStateManager &m) { m.setCursorHideDelay(3.25); }, "cursorHideDelay", 3.25, {}, "setCursorHideDelay 3.25"},
        {"hide cursor", [](AppStateManager &m) { m.setHideCursorWhenIdle(false); }, "hideCursorWhenIdle", false, {}, "setCursorAutoHide false"},
        {"updates", [](AppStateManager &m) { m.setAutomaticallyChecksForUpdates(false); }, "autoCheckForUpdates", false, {}, {}},
        {"display", [](AppStateManager &m) { m.selectDisplay(7); }, "selectedDisplayID", 7, "[rec] selected display set to 7", {}},
        {"no display", [](AppStateManager &m) { m.selectDisplay(std::nullopt); }, "selectedDisplayID", 0, "[rec] selected display set to 0", {}},
        {"microphone", [](AppStateManager &m) { m.selectMicrophone(QStringLiteral("mic-a")); }, "selectedMicrophoneID", "mic-a", "[rec] selected microphone set to mic-a", {}},
        {"default microphone", [](AppStateManager &m) { m.selectMicrophone(QStringLiteral("mic-a")); m.selectMicrophone(std::nullopt); }, "selectedMicrophoneID", QJsonValue::Undefined, "[rec] selected microphone set to System Default", {}},
        {"system audio", [](AppStateManager &m) { m.setCaptureSystemAudio(true); }, "captureSystemAudio", true, "[rec] capture system audio = true", {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ManagerHarness h;
        row.change(h.m());
        const QJsonObject stored = storedSettings(h);
        EXPECT_EQ(stored.value(QLatin1String(row.key)), row.stored);
        if (!row.logLine.isEmpty()) {
            EXPECT_EQ(h.appLogLines().last(), row.logLine);
        }
        if (!row.recorderCall.isEmpty()) {
            EXPECT_EQ(h.recorder->calls.last(), row.recorderCall);
        }
    }
    // The published delay is the one read back; the updater follows its flag.
    ManagerHarness h;
    h.m().setCursorHideDelay(0.2);
    h.m().setAutomaticallyChecksForUpdates(false);
    EXPECT_EQ(h.m().cursorHideDelay(), 0.5);
    EXPECT_EQ(h.updater->automaticChecks, false);
}

TEST(CaptureDevicesTest, DisplayRefreshKeepsAConnectedChoiceAndRepairsAMissingOne)
{
    struct Row {
        const char *name;
        std::optional<uint32_t> selected;
        std::vector<uint32_t> screens;
        std::optional<uint32_t> mainID;
        std::optional<uint32_t> expected;
        QJsonValue stored; // Undefined: nothing stored
    };
    const Row rows[] = {
        {"still connected, main changed", 2, {1, 2}, 1, 2, QJsonValue::Undefined},
        {"unplugged: the main screen", 9, {1, 2}, 2, 2, 2},
        {"unplugged, no main: the first", 9, {3, 4}, std::nullopt, 3, 3},
        {"nothing chosen yet", std::nullopt, {5}, 5, 5, 5},
        {"no screen at all", 9, {}, std::nullopt, std::nullopt, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ManagerHarness h;
        if (row.selected) {
            h.m().selectDisplay(row.selected);
            h.preferences.defaults().remove(QStringLiteral("selectedDisplayID"));
        }
        for (uint32_t id : row.screens)
            h.screens->displays.push_back(display(id));
        h.screens->mainID = row.mainID;
        h.screens->announceChange();
        EXPECT_EQ(h.m().availableDisplays(), h.screens->displays);
        EXPECT_EQ(h.m().selectedDisplayID(), row.expected);
        EXPECT_EQ(storedSettings(h).value(QLatin1String("selectedDisplayID")), row.stored);
    }
}

TEST(CaptureDevicesTest, LosingTheRecordedDisplayEndsTheTakeKeepingOthersRecording)
{
    ManagerHarness h;
    h.screens->displays = {display(1)};
    h.m().setState(AppState::recording);
    h.recorder->displayID = std::nullopt; // a window is recorded
    h.screens->announceChange();
    EXPECT_EQ(h.appLogLines().last(),
              "[app] screen params changed; captured display 0 still present — continuing recording");
    h.recorder->displayID = 4;
    h.screens->announceChange();
    EXPECT_EQ(h.appLogLines().last(), "[app] captured display 4 disconnected — stopping take");
    // Ended as a stream failure: one "Recording interrupted" alert naming the lost display.
    h.recorder->stops.preset = std::optional<RecorderService::Recording>{};
    for (int i = 0; i < 5 && h.alerts->shown.empty(); ++i)
        QCoreApplication::processEvents();
    ASSERT_EQ(h.alerts->shown.size(), 1u);
    EXPECT_EQ(h.alerts->shown.front().message, "Recording interrupted");
    EXPECT_EQ(h.alerts->shown.front().informativeText, "The display being recorded was disconnected.");
}

TEST(CaptureDevicesTest, DeviceChangeRefreshesBothListsAndRepairsOnlyWhatItMay)
{
    const QList<CameraOption> cameras = {{"cam-1", "Front"}, {"cam-2", "Desk"}};
    ManagerHarness h;
    h.devices->cameras = cameras;
    h.devices->microphones = {{"mic-a", "USB"}, {"mic-b", "Headset"}};
    h.m().selectMicrophone(QStringLiteral("mic-b"));
    h.m().storeSelectedCamera(QStringLiteral("cam-9")); // webcam off: kept although missing
    h.preferences.defaults().remove(QStringLiteral("selectedMicrophoneID"));
    h.devices->announceChange();
    EXPECT_EQ(h.m().availableCameras(), cameras);
    EXPECT_EQ(h.m().selectedCameraID(), "cam-9");
    EXPECT_EQ(h.m().selectedMicrophoneID(), "mic-b");
    EXPECT_FALSE(storedSettings(h).contains("selectedMicrophoneID")); // unchanged: nothing written
    EXPECT_EQ(h.appLogLines().last(), "[mic] refreshed: [USB, Headset]");

    // The sound server gone for a while (restarting): nothing is known of the microphones, and
    // the choice stays for when it answers again.
    h.devices->soundServerAnswers = false;
    h.devices->announceChange();
    EXPECT_TRUE(h.m().availableMicrophones().isEmpty());
    EXPECT_EQ(h.m().selectedMicrophoneID(), "mic-b");
    h.devices->soundServerAnswers = true;
    h.devices->announceChange();
    EXPECT_EQ(h.m().selectedMicrophoneID(), "mic-b");
    EXPECT_FALSE(storedSettings(h).contains("selectedMicrophoneID")); // nothing written meanwhile

    // The chosen microphone unplugged: the system default. With the webcam on, a missing camera
    // gives way to the first one, and the running camera follows.
    h.m().enableCamera(QStringLiteral("cam-2"));
    h.devices->microphones = {{"mic-a", "USB"}};
    h.devices->cameras = {cameras.first()};
    h.devices->announceChange();
    EXPECT_EQ(h.m().selectedMicrophoneID(), std::nullopt);
    EXPECT_EQ(h.m().selectedCameraID(), "cam-1");
    const QJsonObject stored = storedSettings(h);
    EXPECT_FALSE(stored.contains("selectedMicrophoneID"));
    EXPECT_EQ(stored.value("selectedCameraID"), "cam-1");
    EXPECT_EQ(h.m().cameraCapture()->deviceID(), "cam-1");
}

TEST(CaptureDevicesTest, WebcamSwitchFollowsTargetAndCameraAccess)
{
    struct Row {
        const char *name;
        bool windowTarget;
        CameraAuthorization authorization;
        std::optional<bool> accessAnswer; // for a request still to be answered
        bool enabled;
        QString alert; // empty: none
    };
    const Row rows[] = {
        {"window target", true, CameraAuthorization::authorized, std::nullopt, false, "Webcam unavailable"},
        {"authorized", false, CameraAuthorization::authorized, std::nullopt, true, {}},
        {"asked, granted", false, CameraAuthorization::notDetermined, true, true, {}},
        {"asked, refused", false, CameraAuthorization::notDetermined, false, false, "Camera access needed"},
        {"denied", false, CameraAuthorization::denied, std::nullopt, false, "Camera access needed"},
        {"restricted", false, CameraAuthorization::restricted, std::nullopt, false, "Camera access needed"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ManagerHarness h;
        if (row.windowTarget)
            h.m().setCaptureTarget(CaptureTarget::custom(ContentFilter::forWindow(42, {0, 0, 640, 480}), ContentStyle::Window));
        h.devices->authorization = row.authorization;
        h.alerts->answers = {0}; // "Open Settings" where there are buttons
        h.m().toggleWebcam(QStringLiteral("cam-1"));
        if (row.accessAnswer) {
            EXPECT_FALSE(h.m().webcamEnabled()); // nothing before the answer
            h.devices->accessRequests.completeNext(*row.accessAnswer);
            for (int i = 0; i < 3; ++i)
                QCoreApplication::processEvents();
        }
        EXPECT_EQ(h.m().webcamEnabled(), row.enabled);
        EXPECT_EQ(h.devices->feedsMade, row.enabled ? 1 : 0);
        EXPECT_EQ(h.m().selectedCameraID(), row.enabled ? std::optional<QString>("cam-1") : std::nullopt);
        EXPECT_EQ(h.alerts->shown.size(), row.alert.isEmpty() ? 0u : 1u);
        if (!row.alert.isEmpty()) {
            EXPECT_EQ(h.alerts->shown.front().message, row.alert);
        }
        EXPECT_EQ(h.application->privacySettingsOpened, row.alert == "Camera access needed" ? 1 : 0);
        if (row.enabled) {
            EXPECT_EQ(h.m().cameraCapture()->deviceID(), "cam-1");
            EXPECT_EQ(storedSettings(h).value("selectedCameraID"), "cam-1");
        }
    }
}

TEST(CaptureDevicesTest, PickingAWindowTurnsTheWebcamOffAndStopsTheCamera)
{
    ManagerHarness h;
    h.m().enableCamera(QStringLiteral("cam-1"));
    QPointer<CameraFeed> feed = h.m().cameraCapture();
    h.m().applyPickedContent(ContentFilter::forWindow(42, {0, 0, 640, 480}));
    EXPECT_TRUE(h.m().captureTarget().isWindow());
    EXPECT_FALSE(h.m().webcamEnabled());
    EXPECT_EQ(h.m().cameraCapture(), nullptr);
    ASSERT_EQ(h.alerts->shown.size(), 1u);
    EXPECT_EQ(h.alerts->shown.front(), (AlertRequest{"Webcam turned off", "Webcam available only when recording full screen.",
                                                      AlertStyle::informational, {}}));
    // Activation no longer brings the overlay back; the camera stops and goes once the loop runs.
    h.application->setActive(false);
    EXPECT_FALSE(h.webcamOverlay->hasPanel());
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(feed);
}

TEST(CaptureDevicesTest, AWindowPickedWhileATakeRunsIsNotApplied)
{
    ManagerHarness h;
    h.adoptSessionWithTakes({1});
    h.m().setState(AppState::recording);
    h.m().applyPickedContent(ContentFilter::forWindow(42, {0, 0, 640, 480}));
    EXPECT_TRUE(h.m().captureTarget().isWholeScreen());
    EXPECT_EQ(h.m().recordingNotice(), "Finish or discard the current take before choosing what to record.");
}

TEST(CaptureDevicesTest, WebcamHotKeysActOnlyDuringATake)
{
    struct Row {
        AppState state;
        bool zooms;
        bool hides;
    };
    const Row rows[] = {
        {AppState::idle, false, false},      {AppState::starting, false, false},
        {AppState::recording, true, true},   {AppState::paused, false, true},
        {AppState::reviewing, false, false},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(qPrintable(app_state::caseName(row.state)));
        ManagerHarness h;
        h.m().enableCamera(QStringLiteral("cam-1"));
        h.m().setState(row.state);
        h.webcamOverlay->calls.clear();
        h.m().toggleWebcamZoom();
        h.m().toggleWebcamBlob();
        EXPECT_EQ(h.webcamOverlay->calls.contains("toggleMode"), row.zooms);
        EXPECT_EQ(h.m().userHidBlob(), row.hides);
        if (row.hides) {
            EXPECT_EQ(h.webcamOverlay->calls.last(), "orderOut");
        }
    }
}

} // namespace
} // namespace lumacast
