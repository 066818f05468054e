#pragma once

#include "control/AppStateManager.h"
#include "control/StateManagerServices.h"
#include "store/AppLog.h"
#include "store/FilePanelGuard.h"
#include "store/Preferences.h"
#include "store/SessionStore.h"

#include <QObject>
#include <QPointer>
#include <QTemporaryDir>

#include <qcoro/qcorosignal.h>

#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// Doubles of every collaborator of the state manager, and a harness that builds a manager on
// them with the real store, preferences and logs in a temporary folder. Main thread only.
namespace lumacast::testing {

// Virtual time for the clock and the scheduler: nothing runs until the test advances it.
class VirtualTime final : public Clock, public Scheduler {
public:
    VirtualTime();
    QDateTime now() const override { return m_now; }
    std::shared_ptr<ScheduledWork> schedule(std::chrono::milliseconds delay, QObject *context,
                                            std::function<void()> work) override;
    // Moves the time forward, running every due work at its own time, in time order.
    void advance(std::chrono::milliseconds by);
    int pendingCount() const;

private:
    struct Item;
    QDateTime m_now;
    std::vector<std::shared_ptr<Item>> m_items;
    quint64 m_sequence = 0;
};

// One asynchronous call whose completion the test decides. A call made while `preset` holds a
// value completes at once with it.
class Gate : public QObject {
    Q_OBJECT
public:
    bool open = false;
    void release()
    {
        open = true;
        emit released();
    }
signals:
    void released();
};

template <typename T> struct PendingCall {
    Gate gate;
    std::optional<T> value;
    std::exception_ptr error;
    void complete(T result)
    {
        value = std::move(result);
        gate.release();
    }
    void fail(std::exception_ptr failure)
    {
        error = std::move(failure);
        gate.release();
    }
};

template <typename T> class AsyncCalls {
public:
    std::optional<T> preset;
    std::deque<std::shared_ptr<PendingCall<T>>> pending;

    QCoro::Task<T> call()
    {
        if (preset)
            co_return *preset;
        auto slot = std::make_shared<PendingCall<T>>();
        pending.push_back(slot);
        if (!slot->gate.open)
            co_await qCoro(&slot->gate, &Gate::released);
        if (slot->error)
            std::rethrow_exception(slot->error);
        co_return *slot->value;
    }
    // Completes the oldest waiting call.
    void completeNext(T value)
    {
        auto slot = pending.front();
        pending.pop_front();
        slot->complete(std::move(value));
    }
};

class FakeRecorder final : public RecorderService {
public:
    QStringList calls;
    AsyncCalls<FilterAndConfiguration> filters;
    AsyncCalls<bool> starts; // false: throws
    AsyncCalls<std::optional<Recording>> stops;
    std::optional<uint32_t> displayID;
    // What each capture was asked for: system audio by filter, the audio plan by start.
    std::vector<bool> systemAudioRequests;
    std::vector<std::optional<AudioEncodingPlan>> plans;
    std::function<void(const Error &)> onStreamError;
    std::function<void(bool)> onVideoEffectChanged;
    // The screen-sharing road: the desktop is asked (`asks`, false: refused as `askRefusal`);
    // a cancel fails the ask under way unless `cancelIgnored` (a desktop that answers anyway).
    bool choosesScreen = false;
    AsyncCalls<bool> asks;
    Error askRefusal{QStringLiteral("Lumacast.ScreenCast"), 1, QStringLiteral("The desktop's screen sharing failed")};
    bool cancelIgnored = false;

    bool desktopChoosesScreen() const override { return choosesScreen; }
    QCoro::Task<void> askForScreen(FilterAndConfiguration made) override;
    void cancelAskingForScreen() override;
    void releaseAskedScreen() override { calls << QStringLiteral("releaseAskedScreen"); }
    void prepareMicrophone(const std::optional<QString> &deviceID) override;
    void releasePreparedMicrophone() override { calls << QStringLiteral("releasePreparedMicrophone"); }
    QCoro::Task<FilterAndConfiguration> makeFilterAndConfiguration(std::optional<x11::ShareableContent>,
                                                                   std::optional<uint32_t>, std::optional<uint32_t>,
                                                                   bool, CaptureTarget) override;
    QCoro::Task<void> startRecording(QString outputURL, uint32_t, ContentFilterRef, StreamConfiguration,
                                     std::optional<AudioEncodingPlan>) override;
    void pause() override { calls << QStringLiteral("pause"); }
    void resume() override { calls << QStringLiteral("resume"); }
    QCoro::Task<std::optional<Recording>> stopRecording() override;
    std::optional<uint32_t> capturedDisplayID() const override { return displayID; }
    void setCursorAutoHide(bool enabled) override;
    void setCursorHideDelay(double seconds) override;
    void setCallbacks(std::function<void(const Error &)> streamError, std::function<void(bool)> videoEffect) override
    {
        onStreamError = std::move(streamError);
        onVideoEffectChanged = std::move(videoEffect);
    }
};

class FakePermissions final : public PermissionsService {
public:
    AsyncCalls<bool> launches;
    AsyncCalls<bool> checks;
    QStringList callers;
    std::optional<x11::ShareableContent> content;
    bool requestedScreen = false;

    QCoro::Task<bool> runLaunchFlow() override { return launches.call(); }
    QCoro::Task<bool> ensureReadyToRecord(QString caller, bool) override
    {
        callers << caller;
        return checks.call();
    }
    std::optional<x11::ShareableContent> cachedContent() const override { return content; }
    bool didRequestScreenThisLaunch() const override { return requestedScreen; }
};

class FakeCountdown final : public CountdownService {
public:
    AsyncCalls<bool> runs;
    std::vector<std::optional<uint32_t>> displays;
    std::function<void()> onCancel; // while watching for a cancel
    QCoro::Task<bool> run(int, std::optional<uint32_t> displayID) override
    {
        displays.push_back(displayID);
        return runs.call();
    }
    void watchForCancel(std::function<void()> cancel) override { onCancel = std::move(cancel); }
    void stopWatchingForCancel() override { onCancel = nullptr; }
    void cancel() override
    {
        while (!runs.pending.empty())
            runs.completeNext(false);
    }
};

// The border and the status panel: shown or not, and how often each was asked.
class FakePanel final : public BorderService, public StatusPanelService {
public:
    bool shown = false;
    int showCount = 0;
    int hideCount = 0;
    void show() override
    {
        shown = true;
        ++showCount;
    }
    void hide() override
    {
        shown = false;
        ++hideCount;
    }
};

class FakeWebcamOverlay final : public WebcamOverlayService {
public:
    bool interactive = true;
    bool panel = false;
    bool onScreen = false;
    QStringList calls; // "show", "orderOut", "release", "interactive=true"...
    std::optional<uint32_t> shownOnDisplay;
    BlobShape currentShape = BlobShape::round;

    bool isInteractive() const override { return interactive; }
    void setInteractive(bool value) override;
    void show(CameraFeed &feed, std::optional<uint32_t> displayID) override;
    bool hasPanel() const override { return panel; }
    void orderOut() override;
    void releasePanel() override;
    std::optional<uint32_t> windowNumber() const override { return panel ? std::optional<uint32_t>(77) : std::nullopt; }
    void toggleMode() override { calls << QStringLiteral("toggleMode"); }
    BlobShape shape() const override { return currentShape; }
    void setShape(BlobShape shape) override { currentShape = shape; }
};

class FakeHotKeys final : public HotKeyService {
public:
    std::map<ShortcutAction, std::function<void()>> handlers;
    std::optional<ShortcutBindings> registered; // absent while nothing is registered
    QStringList calls;
    void setHandlers(std::map<ShortcutAction, std::function<void()>> table) override { handlers = std::move(table); }
    void installHotKeys(const ShortcutBindings &bindings) override
    {
        calls << QStringLiteral("install");
        registered = bindings;
    }
    void unregisterAllHotKeys() override
    {
        calls << QStringLiteral("unregister");
        registered.reset();
    }
};

class FakeAlerts final : public AlertService {
public:
    std::vector<AlertRequest> shown;
    std::deque<int> answers;          // the chosen buttons, in order; the default when none is left
    // Runs once, while the next alert is up (the tray stays live under a modal alert).
    std::function<void()> whileUp;
    int runModal(const AlertRequest &request) override;
};

class FakeFilePanel final : public FilePanel {
    Q_OBJECT
public:
    using FilePanel::FilePanel;
    QString kind; // "open" or "save"
    QString nameFieldText;
    int showCount = 0;
    void showPanel() override { ++showCount; }
    void bringToFront() override {}
    void answer(bool accepted, const QStringList &selection) { emit finished(accepted, selection); }
};

class FakeFilePanels final : public FilePanelService {
public:
    QList<QPointer<FakeFilePanel>> made;
    FilePanel *makeOpenPanel() override;
    FilePanel *makeSavePanel(const QString &nameFieldText) override;
};

class FakeMainWindow final : public MainWindowHandle {
    Q_OBJECT
public:
    bool visible = true;
    bool minimized = false;
    int minimizeCount = 0;
    int restoreCount = 0;
    bool isVisible() const override { return visible; }
    bool isMinimized() const override { return minimized; }
    void minimize() override
    {
        minimized = true;
        ++minimizeCount;
    }
    void restore() override
    {
        minimized = false;
        ++restoreCount;
    }
};

class FakeApplication final : public ApplicationService {
    Q_OBJECT
public:
    bool active = false;
    int activateCount = 0;
    int regularCount = 0;
    std::vector<bool> terminationReplies;
    int privacySettingsOpened = 0;
    bool isActive() const override { return active; }
    void openCameraPrivacySettings() override { ++privacySettingsOpened; }
    void activateIgnoringOtherApps() override { ++activateCount; }
    void becomeRegularApplication() override { ++regularCount; }
    void replyToTermination(bool terminate) override { terminationReplies.push_back(terminate); }
    // Moves the application to the front or behind, announcing it as the desktop does.
    void setActive(bool value)
    {
        active = value;
        if (value)
            emit becameActive();
        else
            emit resignedActive();
    }
};

class FakeScreens final : public ScreenService {
    Q_OBJECT
public:
    std::vector<DisplayOption> displays;
    std::optional<uint32_t> mainID;
    std::vector<DisplayOption> availableDisplays() const override { return displays; }
    std::optional<uint32_t> mainDisplayID() const override { return mainID; }
    void announceChange() { emit screensChanged(); }
};

class FakeCameraFeed final : public CameraFeed {
    Q_OBJECT
public:
    std::optional<QString> device;
    bool running = false;
    void start(const QString &cameraID) override
    {
        device = cameraID;
        running = true;
    }
    void stop() override
    {
        device.reset();
        running = false;
    }
    std::optional<QString> deviceID() const override { return device; }
    bool isRunning() const override { return running; }
};

class FakeDevices final : public DeviceService {
    Q_OBJECT
public:
    QList<CameraOption> cameras;
    QList<MicOption> microphones;
    CameraAuthorization authorization = CameraAuthorization::authorized;
    AsyncCalls<bool> accessRequests;
    int feedsMade = 0;
    QList<CameraOption> availableCameras() const override { return cameras; }
    QList<MicOption> availableMicrophones() const override { return microphones; }
    bool soundServerAnswers = true;
    std::optional<QList<MicOption>> listedMicrophones() const override
    {
        return soundServerAnswers ? std::optional(microphones) : std::nullopt;
    }
    std::optional<QString> defaultMicrophone;
    std::optional<QString> defaultMicrophoneName() const override { return defaultMicrophone; }
    CameraAuthorization cameraAuthorization() const override { return authorization; }
    QCoro::Task<bool> requestCameraAccess() override { return accessRequests.call(); }
    std::unique_ptr<CameraFeed> makeCameraFeed() override
    {
        ++feedsMade;
        return std::make_unique<FakeCameraFeed>();
    }
    void announceChange() { emit devicesChanged(); }
};

class FakeUpdater final : public UpdaterService {
public:
    bool startResult = true;
    bool started = false;
    bool canCheck = false;
    std::optional<bool> automaticChecks;
    int checks = 0;
    bool start() override
    {
        started = startResult;
        return startResult;
    }
    void setAutomaticallyChecksForUpdates(bool enabled) override { automaticChecks = enabled; }
    bool canCheckForUpdates() const override { return canCheck; }
    void checkForUpdates() override { ++checks; }
};

class FakeExporter final : public ExportService {
public:
    struct Run {
        QString kind; // "video", "fcpxml", "fcp7"
        Session session;
        EventHandler handler;
    };
    std::vector<Run> runs;
    void exportVideo(const Session &session, EventHandler handler) override { runs.push_back({QStringLiteral("video"), session, std::move(handler)}); }
    void exportFCPXML(const Session &session, EventHandler handler) override { runs.push_back({QStringLiteral("fcpxml"), session, std::move(handler)}); }
    void exportFCP7XML(const Session &session, EventHandler handler) override { runs.push_back({QStringLiteral("fcp7"), session, std::move(handler)}); }
};

// A manager on doubles, with the real store, preferences and logs in a temporary folder.
class ManagerHarness {
public:
    ManagerHarness();
    ~ManagerHarness();

    QTemporaryDir dir;
    AppLog appLog;
    Preferences preferences;
    FilePanelGuard guard;
    std::shared_ptr<FakeRecorder> recorder = std::make_shared<FakeRecorder>();
    std::shared_ptr<SessionStore> store = std::make_shared<SessionStore>();
    std::shared_ptr<FakeHotKeys> hotKeys = std::make_shared<FakeHotKeys>();
    std::shared_ptr<FakeCountdown> countdown = std::make_shared<FakeCountdown>();
    std::shared_ptr<FakePermissions> permissions = std::make_shared<FakePermissions>();
    std::shared_ptr<FakeExporter> exporter = std::make_shared<FakeExporter>();
    std::shared_ptr<FakePanel> statusPanel = std::make_shared<FakePanel>();
    std::shared_ptr<FakePanel> border = std::make_shared<FakePanel>();
    std::shared_ptr<FakeWebcamOverlay> webcamOverlay = std::make_shared<FakeWebcamOverlay>();
    std::shared_ptr<FakeUpdater> updater = std::make_shared<FakeUpdater>();
    std::shared_ptr<FakeAlerts> alerts = std::make_shared<FakeAlerts>();
    std::shared_ptr<FakeFilePanels> filePanels = std::make_shared<FakeFilePanels>();
    std::shared_ptr<FakeApplication> application = std::make_shared<FakeApplication>();
    std::shared_ptr<FakeScreens> screens = std::make_shared<FakeScreens>();
    std::shared_ptr<FakeDevices> devices = std::make_shared<FakeDevices>();
    std::shared_ptr<VirtualTime> time = std::make_shared<VirtualTime>();
    std::unique_ptr<AppStateManager> manager;

    StateManagerServices services();
    AppStateManager &m() { return *manager; }

    // A scratch session folder with a "takes" folder; its history log is opened there.
    Session newSession();
    // Puts a session with one take file per entry (scene by scene) in place and opens its
    // history log; returns it.
    Session adoptSessionWithTakes(const QList<int> &takesPerScene);
    QString takesFolder() const;
    // Creates a file of `size` bytes in the session's "takes" folder.
    void writeTakeFile(const QString &name, qint64 size = 2048) const;
    bool takeFileExists(const QString &name) const;

    // Lines of the application log and of the session's history log, timestamps removed,
    // "=== app launched ===", "session opened" and "session closed" left out.
    QStringList appLogLines() const;
    QStringList historyLines() const;
    void clearLogs();
};

} // namespace lumacast::testing
