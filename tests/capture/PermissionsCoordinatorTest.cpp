// The permission flow over a doubled desktop layer: outcomes, alerts and log lines.
#include "capture/DesktopPermissionLayer.h"
#include "capture/PermissionsCoordinator.h"
#include "model/LogCategories.h"
#include "store/AppLog.h"
#include "support/LogCapture.h"

#include <QFile>

#include <gtest/gtest.h>

#include <deque>

using namespace lumacast;
using namespace std::chrono_literals;

namespace {

x11::ShareableContent contentWithDisplays(int count)
{
    x11::ShareableContent content;
    for (int i = 0; i < count; ++i)
        content.displays.push_back(x11::DisplayInfo{uint32_t(100 + i), QStringLiteral("DP-%1").arg(i), QRect(0, 0, 1920, 1080), i == 0});
    return content;
}

// One answer of the fake layer's listing; nothing stands for a failure.
using Listing = std::optional<x11::ShareableContent>;

class FakeLayer : public PermissionLayer {
public:
    MicrophoneAuthorization micStatus = MicrophoneAuthorization::authorized;
    bool micRequestAnswer = true;
    int micRequests = 0;
    // Answers in turn; the last one repeats.
    std::deque<bool> preflights{true};
    std::deque<Listing> listings{Listing{contentWithDisplays(1)}};
    int fetches = 0;
    int screenRequests = 0;
    int activations = 0;

    MicrophoneAuthorization microphoneAuthorization() override { return micStatus; }
    QCoro::Task<bool> requestMicrophoneAccess() override
    {
        ++micRequests;
        co_return micRequestAnswer;
    }
    bool screenCapturePreflight() override { return next(preflights); }
    bool requestScreenCaptureAccess() override
    {
        ++screenRequests;
        return false;
    }
    QCoro::Task<x11::ShareableContent> fetchShareableContent() override
    {
        ++fetches;
        const Listing listing = next(listings);
        if (!listing)
            throw Error(QStringLiteral("no X"));
        co_return *listing;
    }
    void activateApplication() override { ++activations; }

    static Listing failure() { return std::nullopt; }

private:
    template <typename T> static T next(std::deque<T> &answers)
    {
        T value = answers.front();
        if (answers.size() > 1)
            answers.pop_front();
        return value;
    }
};

class FakeAlerts : public PermissionAlerts {
public:
    struct Shown {
        QString title, message;
        QStringList buttons;
    };
    std::vector<Shown> shown;
    int answer = 1; // Cancel
    int settingsOpened = 0;

    int runModal(const QString &title, const QString &message, const QStringList &buttons) override
    {
        shown.push_back({title, message, buttons});
        return answer;
    }
    void openPrivacySettings() override { ++settingsOpened; }
};

class PermissionsFlow : public ::testing::Test {
protected:
    PermissionsCoordinator make()
    {
        return PermissionsCoordinator(layer, alerts, [this](std::chrono::milliseconds d) -> QCoro::Task<> {
            sleeps.push_back(d);
            co_return;
        });
    }
    bool contains(const QString &line) const { return permissionLog.texts().contains(line); }
    QStringList alertTitles() const
    {
        QStringList titles;
        for (const auto &a : alerts->shown)
            titles << a.title;
        return titles;
    }

    std::shared_ptr<FakeLayer> layer = std::make_shared<FakeLayer>();
    std::shared_ptr<FakeAlerts> alerts = std::make_shared<FakeAlerts>();
    std::vector<std::chrono::milliseconds> sleeps;
    // The "permissions" category of the unified log.
    lumacast::testing::LogCapture permissionLog{lumacast::log::permissions().categoryName()};
};

} // namespace

TEST_F(PermissionsFlow, LaunchFlowLogsEveryStepAndRunsOnce)
{
    auto coordinator = make();
    EXPECT_TRUE(QCoro::waitFor(coordinator.runLaunchFlow()));
    ASSERT_TRUE(coordinator.cachedContent().has_value());
    EXPECT_EQ(coordinator.cachedContent()->displays.size(), 1u);
    EXPECT_TRUE(coordinator.screenAccessConfirmedThisLaunch());
    EXPECT_EQ(layer->activations, 1);
    EXPECT_EQ(sleeps, (std::vector<std::chrono::milliseconds>{500ms}));

    const QStringList expected{
        "runLaunchFlow started",
        "bringToFront — activating app so the permission dialog comes forward",
        "ensureReadyToRecord — caller=runLaunchFlow, silent=true, launchFlowRan=true, hasCachedContent=false",
        "mic status = 3",
        "ensureScreen — caller=runLaunchFlow, silent=true",
        "checkScreenAccess — caller=runLaunchFlow, screenCapturePreflight=true",
        "checkScreenAccess — fetchShareableContent=true, screenCapturePreflight=true",
        "ensureScreen — access available, no dialog needed (caller=runLaunchFlow)",
        "ensureReadyToRecord — all OK (caller=runLaunchFlow)",
        "runLaunchFlow completed — granted=true, cachedContent=true",
    };
    EXPECT_EQ(permissionLog.texts(), expected);

    // The same lines reach the application log, tagged.
    QFile appLog(AppLog::shared().logPath());
    ASSERT_TRUE(appLog.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(appLog.readAll());
    EXPECT_TRUE(text.contains("] [perms] runLaunchFlow started\n"));
    EXPECT_TRUE(text.contains("] [perms] runLaunchFlow completed — granted=true, cachedContent=true\n"));

    // A second run does nothing but answer whether content is cached.
    permissionLog.clear();
    layer->listings = {FakeLayer::failure()};
    EXPECT_TRUE(QCoro::waitFor(coordinator.runLaunchFlow()));
    EXPECT_TRUE(permissionLog.texts().isEmpty());
    EXPECT_EQ(layer->fetches, 1);
}

TEST_F(PermissionsFlow, SecondLaunchFlowWithoutContentAnswersFalse)
{
    layer->preflights = {false};
    layer->listings = {FakeLayer::failure()};
    auto coordinator = make();
    EXPECT_FALSE(QCoro::waitFor(coordinator.runLaunchFlow()));
    EXPECT_TRUE(alerts->shown.empty()); // the launch is silent whatever happens
    EXPECT_TRUE(contains("runLaunchFlow completed — granted=false, cachedContent=false"));
    EXPECT_FALSE(QCoro::waitFor(coordinator.runLaunchFlow()));
}

TEST_F(PermissionsFlow, MicrophoneOutcomes)
{
    {
        // Denied: only the microphone alert, and the screen is never looked at.
        layer->micStatus = MicrophoneAuthorization::denied;
        auto coordinator = make();
        EXPECT_FALSE(QCoro::waitFor(coordinator.ensureReadyToRecord("startRecording", false)));
        EXPECT_EQ(alertTitles(), QStringList{"Microphone access required"});
        EXPECT_EQ(alerts->shown[0].message,
                  "Enable Microphone access for Lumacast in Settings → Privacy & Security, then try again.");
        EXPECT_EQ(alerts->shown[0].buttons, (QStringList{"Open Settings", "Cancel"}));
        EXPECT_EQ(layer->fetches, 0);
        EXPECT_TRUE(contains("mic status = 2"));
        EXPECT_TRUE(contains("mic — denied, showing alert"));
        EXPECT_TRUE(contains("showing alert: Microphone access required"));
        EXPECT_TRUE(contains("ensureReadyToRecord — mic FAILED (caller=startRecording)"));
    }
    {
        // No sound server: said as it is, with nothing to open in the settings.
        alerts->shown.clear();
        permissionLog.clear();
        layer->micStatus = MicrophoneAuthorization::noSoundServer;
        alerts->answer = 0; // the first button, whatever it is
        auto coordinator = make();
        EXPECT_FALSE(QCoro::waitFor(coordinator.ensureReadyToRecord("startRecording", false)));
        EXPECT_EQ(alertTitles(), QStringList{"The sound server is not running"});
        EXPECT_TRUE(alerts->shown[0].message.contains("sound server")) << qPrintable(alerts->shown[0].message);
        EXPECT_FALSE(alerts->shown[0].message.contains("Privacy")) << qPrintable(alerts->shown[0].message);
        EXPECT_EQ(alerts->shown[0].buttons, QStringList{"OK"});
        EXPECT_EQ(alerts->settingsOpened, 0);
        EXPECT_EQ(layer->fetches, 0);
        alerts->answer = 1;
    }
    {
        alerts->shown.clear();
        permissionLog.clear();
        layer->micStatus = MicrophoneAuthorization::restricted;
        auto coordinator = make();
        EXPECT_FALSE(QCoro::waitFor(coordinator.ensureReadyToRecord("recordTail", true)));
        EXPECT_TRUE(alerts->shown.empty());
        EXPECT_TRUE(contains("mic status = 1"));
        EXPECT_TRUE(contains("mic — denied"));
    }
    {
        // Not yet decided: the request's answer is the result, and a refusal shows nothing.
        permissionLog.clear();
        layer->micStatus = MicrophoneAuthorization::notDetermined;
        layer->micRequestAnswer = false;
        auto coordinator = make();
        EXPECT_FALSE(QCoro::waitFor(coordinator.ensureReadyToRecord("startRecording", false)));
        EXPECT_TRUE(alerts->shown.empty());
        EXPECT_EQ(layer->micRequests, 1);
        EXPECT_TRUE(contains("mic — requesting access"));
        EXPECT_TRUE(contains("mic — request result: false"));
        layer->micRequestAnswer = true;
        EXPECT_TRUE(QCoro::waitFor(coordinator.ensureMicrophone(false)));
        EXPECT_TRUE(contains("mic — request result: true"));
    }
}

TEST_F(PermissionsFlow, ScreenCheckDecisionTable)
{
    struct Row {
        bool listed;
        bool confirmedEarlier;
        bool preflight;
        PermissionsCoordinator::ScreenAccess::Kind outcome;
        const char *line; // nullptr: no decision line
    };
    const Row rows[] = {
        {true, false, true, PermissionsCoordinator::ScreenAccess::available, nullptr},
        {true, false, false, PermissionsCoordinator::ScreenAccess::available,
         "checkScreenAccess — ⚠️ fetchShareableContent OK but screenCapturePreflight=false"},
        {false, true, false, PermissionsCoordinator::ScreenAccess::available,
         "checkScreenAccess — fetchShareableContent failed but access was confirmed earlier this launch → trusting (no re-prompt)"},
        {false, true, true, PermissionsCoordinator::ScreenAccess::available,
         "checkScreenAccess — fetchShareableContent failed but access was confirmed earlier this launch → trusting (no re-prompt)"},
        {false, false, true, PermissionsCoordinator::ScreenAccess::unavailable,
         "checkScreenAccess — ⚠️ screenCapturePreflight=true but fetchShareableContent FAILED — the screen capture is broken"},
        {false, false, false, PermissionsCoordinator::ScreenAccess::needsPermission,
         "checkScreenAccess — both screenCapturePreflight=false and fetchShareableContent=false → .needsPermission"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(::testing::Message() << "listed=" << row.listed << " confirmed=" << row.confirmedEarlier
                                          << " preflight=" << row.preflight);
        layer = std::make_shared<FakeLayer>();
        auto coordinator = make();
        if (row.confirmedEarlier) {
            ASSERT_TRUE(QCoro::waitFor(coordinator.fetchShareableContent("setup")));
        }
        layer->preflights = {row.preflight};
        layer->listings = {row.listed ? Listing{contentWithDisplays(2)} : FakeLayer::failure()};
        permissionLog.clear();
        const auto access = QCoro::waitFor(coordinator.checkScreenAccess("startRecording"));
        EXPECT_EQ(access.kind, row.outcome);
        const QString pre = row.preflight ? "true" : "false";
        QStringList expected{"checkScreenAccess — caller=startRecording, screenCapturePreflight=" + pre};
        if (!row.listed)
            expected << "fetchShareableContent FAILED (via checkScreenAccess/startRecording): no X";
        expected << QString("checkScreenAccess — fetchShareableContent=%1, screenCapturePreflight=%2").arg(row.listed ? "true" : "false", pre);
        if (row.line)
            expected << row.line;
        EXPECT_EQ(permissionLog.texts(), expected);
        if (row.outcome == PermissionsCoordinator::ScreenAccess::unavailable) {
            EXPECT_EQ(access.message, PermissionsCoordinator::kScreenProblemMessage);
        }
    }
}

TEST_F(PermissionsFlow, UnavailableScreenShowsTheProblemAlertUnlessSilent)
{
    layer->listings = {FakeLayer::failure()};
    auto coordinator = make();
    EXPECT_FALSE(QCoro::waitFor(coordinator.ensureScreen("startRecording", true)));
    EXPECT_TRUE(alerts->shown.empty());
    alerts->answer = 0; // "Open Settings"
    EXPECT_FALSE(QCoro::waitFor(coordinator.ensureReadyToRecord("startRecording", false)));
    EXPECT_EQ(alertTitles(), QStringList{"Screen Recording access problem"});
    EXPECT_EQ(alerts->settingsOpened, 1);
    EXPECT_TRUE(contains("ensureScreen — UNAVAILABLE (caller=startRecording): " + PermissionsCoordinator::kScreenProblemMessage));
    EXPECT_TRUE(contains("ensureReadyToRecord — screen FAILED (caller=startRecording)"));
    EXPECT_EQ(layer->screenRequests, 0);
}

TEST_F(PermissionsFlow, GrantDuringPollingSucceedsAtTheFirstGoodListing)
{
    layer->preflights = {false};
    layer->listings = {FakeLayer::failure(), FakeLayer::failure(), FakeLayer::failure(), FakeLayer::failure(),
                       Listing{contentWithDisplays(1)}};
    auto coordinator = make();
    EXPECT_TRUE(QCoro::waitFor(coordinator.ensureScreen("startRecording", false)));
    EXPECT_TRUE(alerts->shown.empty());
    EXPECT_TRUE(coordinator.cachedContent().has_value());
    EXPECT_TRUE(coordinator.didRequestScreenThisLaunch());
    EXPECT_EQ(layer->screenRequests, 1);
    EXPECT_EQ(layer->activations, 1);
    // One listing in the check, then polls 1 to 4: the fourth lists.
    EXPECT_EQ(layer->fetches, 5);
    EXPECT_EQ(sleeps.size(), 1u + 3u);
    EXPECT_TRUE(contains("ensureScreen — needs permission, entering requestScreenPermission (caller=startRecording, silent=false)"));
    EXPECT_TRUE(contains("requestScreenPermission — caller=startRecording, silent=false, calling requestScreenCaptureAccess"));
    EXPECT_TRUE(contains("requestScreenCaptureAccess returned false — now polling"));
    EXPECT_TRUE(contains("fetchShareableContent FAILED (via requestScreenPermission/poll-1): no X"));
    EXPECT_TRUE(contains("requestScreenPermission — poll 3: preflight=false, SC=false"));
    EXPECT_TRUE(contains("requestScreenPermission — fetchShareableContent OK after poll 4 (2.0s)"));
}

TEST_F(PermissionsFlow, PreflightWithoutListingIsTrustedAfterSixMoreAttempts)
{
    layer->preflights = {false, false, true};
    layer->listings = {FakeLayer::failure()};
    auto coordinator = make();
    EXPECT_TRUE(QCoro::waitFor(coordinator.ensureScreen("recordTail", false)));
    EXPECT_FALSE(coordinator.cachedContent().has_value());
    EXPECT_TRUE(alerts->shown.empty());
    // bringToFront, after poll 1, then six post-preflight waits.
    EXPECT_EQ(sleeps.size(), 1u + 1u + 6u);
    EXPECT_TRUE(contains("requestScreenPermission — screenCapturePreflight OK after poll 2 (1.0s)"));
    EXPECT_TRUE(contains("fetchShareableContent FAILED (via requestScreenPermission/post-preflight-6): no X"));
    EXPECT_TRUE(contains("requestScreenPermission — screenCapturePreflight=true but fetchShareableContent never caught up, trusting preflight"));
}

TEST_F(PermissionsFlow, NoAccessAfterFortyPollsAndNoSecondPrompt)
{
    layer->preflights = {false};
    layer->listings = {FakeLayer::failure()};
    auto coordinator = make();
    EXPECT_FALSE(QCoro::waitFor(coordinator.ensureScreen("startRecording", true)));
    EXPECT_TRUE(alerts->shown.empty());
    EXPECT_EQ(sleeps.size(), 1u + 40u);
    EXPECT_TRUE(contains("requestScreenPermission — poll 40: preflight=false, SC=false"));
    EXPECT_TRUE(contains("requestScreenPermission — polling ended with no access (caller=startRecording, silent=true)"));

    // Asked once this launch: never again, only the alert.
    permissionLog.clear();
    EXPECT_FALSE(QCoro::waitFor(coordinator.ensureScreen("startRecording", false)));
    EXPECT_EQ(layer->screenRequests, 1);
    EXPECT_EQ(alertTitles(), QStringList{"Screen Recording access required"});
    EXPECT_EQ(alerts->shown[0].message, PermissionsCoordinator::kScreenRequiredMessage);
    EXPECT_EQ(alerts->settingsOpened, 0);
    EXPECT_TRUE(contains("requestScreenPermission — already asked this launch, NOT re-prompting (caller=startRecording, silent=false)"));
}

TEST_F(PermissionsFlow, FortyFailedPollsShowTheRequiredAlertWhenNotSilent)
{
    layer->preflights = {false};
    layer->listings = {FakeLayer::failure()};
    auto coordinator = make();
    EXPECT_FALSE(QCoro::waitFor(coordinator.ensureReadyToRecord("startRecording", false)));
    EXPECT_EQ(alertTitles(), QStringList{"Screen Recording access required"});
    EXPECT_TRUE(contains("showing alert: Screen Recording access required"));
}

TEST_F(PermissionsFlow, ListingWithoutDisplaysIsAFailureAndKeepsTheCache)
{
    auto coordinator = make();
    ASSERT_TRUE(QCoro::waitFor(coordinator.fetchShareableContent("first")));
    ASSERT_EQ(coordinator.cachedContent()->displays.size(), 1u);
    layer->listings = {Listing{contentWithDisplays(0)}};
    EXPECT_FALSE(QCoro::waitFor(coordinator.fetchShareableContent("second")));
    EXPECT_TRUE(contains("fetchShareableContent returned 0 displays (via second)"));
    EXPECT_EQ(coordinator.cachedContent()->displays.size(), 1u);
}

TEST(DesktopPermissionLayer, GrantsWhatTheRigsServersAnswer)
{
    DesktopPermissionLayer layer;
    EXPECT_EQ(layer.microphoneAuthorization(), MicrophoneAuthorization::authorized);
    EXPECT_TRUE(layer.screenCapturePreflight());
    std::optional<x11::ShareableContent> listing;
    ASSERT_NO_THROW(listing = QCoro::waitFor(layer.fetchShareableContent()));
    EXPECT_FALSE(listing->displays.empty());

    // The whole flow, silent, as at launch.
    PermissionsCoordinator coordinator(std::make_shared<DesktopPermissionLayer>(), nullptr,
                                       [](std::chrono::milliseconds) -> QCoro::Task<> { co_return; });
    EXPECT_TRUE(QCoro::waitFor(coordinator.runLaunchFlow()));
    EXPECT_TRUE(coordinator.cachedContent().has_value());
}

TEST(DesktopPermissionLayer, RefusesWhenTheServersDoNotAnswer)
{
    const QByteArray display = qgetenv("DISPLAY");
    const QByteArray pulse = qgetenv("PULSE_SERVER");
    qputenv("DISPLAY", ":9999");
    qputenv("PULSE_SERVER", "unix:/nonexistent/lumacast-no-server");
    DesktopPermissionLayer layer;
    EXPECT_EQ(layer.microphoneAuthorization(), MicrophoneAuthorization::noSoundServer);
    EXPECT_FALSE(layer.screenCapturePreflight());
    // Caught inside a coroutine: QCoro::waitFor never returns from a task that ends in an exception.
    auto failureText = [&layer]() -> QCoro::Task<QString> {
        try {
            co_await layer.fetchShareableContent();
        } catch (const Error &error) {
            co_return error.message();
        }
        co_return QString();
    };
    EXPECT_FALSE(QCoro::waitFor(failureText()).isEmpty());
    qputenv("DISPLAY", display);
    if (pulse.isEmpty())
        qunsetenv("PULSE_SERVER");
    else
        qputenv("PULSE_SERVER", pulse);
}
