#include "StateManagerDoubles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <utility>

namespace lumacast::testing {

// ---- Virtual time ----------------------------------------------------------------------------

struct VirtualTime::Item final : ScheduledWork {
    QDateTime due;
    quint64 sequence = 0;
    QPointer<QObject> context;
    std::function<void()> work;
    bool cancelled = false;
    bool ran = false;
    void cancel() override { cancelled = true; }
    bool isPending() const override { return !cancelled && !ran && context; }
};

VirtualTime::VirtualTime() : m_now(QDateTime(QDate(2026, 1, 5), QTime(9, 0))) {}

std::shared_ptr<ScheduledWork> VirtualTime::schedule(std::chrono::milliseconds delay, QObject *context,
                                                     std::function<void()> work)
{
    auto item = std::make_shared<Item>();
    item->due = m_now.addMSecs(delay.count());
    item->sequence = m_sequence++;
    item->context = context;
    item->work = std::move(work);
    m_items.push_back(item);
    return item;
}

void VirtualTime::advance(std::chrono::milliseconds by)
{
    const QDateTime target = m_now.addMSecs(by.count());
    for (;;) {
        std::erase_if(m_items, [](const auto &item) { return !item->isPending(); });
        auto next = std::min_element(m_items.begin(), m_items.end(), [](const auto &a, const auto &b) {
            return a->due != b->due ? a->due < b->due : a->sequence < b->sequence;
        });
        if (next == m_items.end() || (*next)->due > target)
            break;
        std::shared_ptr<Item> item = *next;
        m_now = item->due;
        item->ran = true;
        item->work();
    }
    m_now = target;
}

int VirtualTime::pendingCount() const
{
    return static_cast<int>(std::count_if(m_items.begin(), m_items.end(), [](const auto &item) { return item->isPending(); }));
}

// ---- Recorder and overlays -----------------------------------------------------------------------

void FakeRecorder::prepareMicrophone(const std::optional<QString> &deviceID)
{
    calls << QStringLiteral("prepareMicrophone ") + deviceID.value_or(QStringLiteral("default"));
}

QCoro::Task<void> FakeRecorder::askForScreen(FilterAndConfiguration)
{
    calls << QStringLiteral("askForScreen");
    auto asked = asks.call();
    if (!co_await asked)
        throw askRefusal;
}

void FakeRecorder::cancelAskingForScreen()
{
    calls << QStringLiteral("cancelAskingForScreen");
    askRefusal = Error(QStringLiteral("Lumacast.ScreenCast"), 0, QStringLiteral("Recording was cancelled"));
    if (!cancelIgnored && !asks.pending.empty())
        asks.completeNext(false);
}

QCoro::Task<RecorderService::FilterAndConfiguration> FakeRecorder::makeFilterAndConfiguration(
    std::optional<x11::ShareableContent>, std::optional<uint32_t>, std::optional<uint32_t>, bool captureSystemAudio,
    CaptureTarget)
{
    calls << QStringLiteral("makeFilterAndConfiguration");
    systemAudioRequests.push_back(captureSystemAudio);
    auto made = filters.call();
    co_return co_await made;
}

QCoro::Task<void> FakeRecorder::startRecording(QString outputURL, uint32_t, ContentFilterRef, StreamConfiguration,
                                               std::optional<AudioEncodingPlan> plan)
{
    calls << QStringLiteral("startRecording ") + QFileInfo(outputURL).fileName();
    plans.push_back(std::move(plan));
    // Awaited through a variable: GCC 12 mishandles a temporary task awaited inside a condition.
    auto started = starts.call();
    if (!co_await started)
        throw Error(QStringLiteral("The capture could not start."));
}

QCoro::Task<std::optional<RecorderService::Recording>> FakeRecorder::stopRecording()
{
    calls << QStringLiteral("stopRecording");
    auto stopped = stops.call();
    co_return co_await stopped;
}

void FakeRecorder::setCursorAutoHide(bool enabled)
{
    calls << QStringLiteral("setCursorAutoHide %1").arg(enabled ? "true" : "false");
}

void FakeRecorder::setCursorHideDelay(double seconds)
{
    calls << QStringLiteral("setCursorHideDelay %1").arg(seconds);
}

void FakeWebcamOverlay::setInteractive(bool value)
{
    interactive = value;
    calls << QStringLiteral("interactive=%1").arg(value ? "true" : "false");
}

void FakeWebcamOverlay::show(CameraFeed &, std::optional<uint32_t> displayID)
{
    panel = true;
    onScreen = true;
    shownOnDisplay = displayID;
    calls << QStringLiteral("show");
}

void FakeWebcamOverlay::orderOut()
{
    onScreen = false;
    calls << QStringLiteral("orderOut");
}

void FakeWebcamOverlay::releasePanel()
{
    onScreen = false;
    panel = false;
    calls << QStringLiteral("release");
}

int FakeAlerts::runModal(const AlertRequest &request)
{
    shown.push_back(request);
    if (whileUp)
        std::exchange(whileUp, {})();
    if (answers.empty())
        return request.defaultButton; // Return pressed
    const int answer = answers.front();
    answers.pop_front();
    return answer;
}

FilePanel *FakeFilePanels::makeOpenPanel()
{
    auto *panel = new FakeFilePanel;
    panel->kind = QStringLiteral("open");
    made.append(panel);
    return panel;
}

FilePanel *FakeFilePanels::makeSavePanel(const QString &nameFieldText)
{
    auto *panel = new FakeFilePanel;
    panel->kind = QStringLiteral("save");
    panel->nameFieldText = nameFieldText;
    made.append(panel);
    return panel;
}

// ---- Harness ---------------------------------------------------------------------------------------

ManagerHarness::ManagerHarness()
    : appLog(dir.filePath(QStringLiteral("Library"))),
      preferences(dir.filePath(QStringLiteral("Lumacast.json")))
{
    manager = std::make_unique<AppStateManager>(services(), false);
}

ManagerHarness::~ManagerHarness()
{
    manager.reset();
}

StateManagerServices ManagerHarness::services()
{
    StateManagerServices s;
    s.recorder = recorder;
    s.store = store;
    s.hotKeys = hotKeys;
    s.countdown = countdown;
    s.permissions = permissions;
    s.exporter = exporter;
    s.statusPanel = statusPanel;
    s.border = border;
    s.webcamOverlay = webcamOverlay;
    s.updater = updater;
    s.alerts = alerts;
    s.filePanels = filePanels;
    s.application = application;
    s.screens = screens;
    s.devices = devices;
    s.clock = time;
    s.scheduler = time;
    s.appLog = &appLog;
    s.preferences = &preferences;
    s.filePanelGuard = &guard;
    return s;
}

Session ManagerHarness::newSession()
{
    const QString folder = dir.filePath(QStringLiteral("Sessions/") + QUuid::createUuid().toString(QUuid::WithoutBraces));
    QDir().mkpath(QDir(folder).filePath(QStringLiteral("takes")));
    return Session(folder);
}

Session ManagerHarness::adoptSessionWithTakes(const QList<int> &takesPerScene)
{
    Session session = newSession();
    session.scenes.clear();
    int counter = 0;
    for (int count : takesPerScene) {
        RecordingScene scene;
        scene.id = QUuid::createUuid();
        for (int i = 0; i < count; ++i) {
            Take take;
            take.id = QUuid::createUuid();
            take.filename = QStringLiteral("take%1.mov").arg(++counter);
            take.duration = 10;
            take.trimEnd = 10;
            take.recordedAt = time->now();
            scene.takes.append(take);
        }
        session.scenes.append(scene);
    }
    manager->replaceCurrentSession(session);
    for (const RecordingScene &scene : session.scenes) {
        for (const Take &take : scene.takes)
            writeTakeFile(take.filename);
    }
    manager->sessionLog().open(session.scratchURL);
    return session;
}

QString ManagerHarness::takesFolder() const
{
    return SessionStore::takesFolder(*manager->session());
}

void ManagerHarness::writeTakeFile(const QString &name, qint64 size) const
{
    QFile file(QDir(takesFolder()).filePath(name));
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(size, 'x'));
}

bool ManagerHarness::takeFileExists(const QString &name) const
{
    return QFileInfo::exists(QDir(takesFolder()).filePath(name));
}

namespace {

QStringList readLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression stamp(QStringLiteral("^\\[[^\\]]*\\] "));
    static const QStringList skipped = {QStringLiteral("=== app launched ==="), QStringLiteral("session opened"),
                                        QStringLiteral("session closed")};
    QStringList lines;
    for (const QString &line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        QString text = line;
        text.remove(stamp);
        if (!skipped.contains(text))
            lines << text;
    }
    return lines;
}

} // namespace

QStringList ManagerHarness::appLogLines() const
{
    return readLines(appLog.logPath());
}

QStringList ManagerHarness::historyLines() const
{
    const auto path = manager->sessionLog().logPath();
    return path ? readLines(*path) : QStringList{};
}

void ManagerHarness::clearLogs()
{
    QFile(appLog.logPath()).resize(0);
    if (const auto path = manager->sessionLog().logPath())
        QFile(*path).resize(0);
}

} // namespace lumacast::testing
