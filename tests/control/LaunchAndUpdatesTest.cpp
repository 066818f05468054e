#include "StateManagerDoubles.h"
#include "support/AwaitTask.h"

#include "control/Launch.h"
#include "control/NetworkUpdater.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <memory>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace lumacast {
namespace {

using testing::ManagerHarness;

// The duration check of an opened package runs off the main thread: wait for it, 5 s at most.
void pumpUntil(const std::function<bool()> &done)
{
    QElapsedTimer timer;
    timer.start();
    do
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    while (!done() && timer.elapsed() < 5000);
}

TEST(LaunchTest, ServicesOnAndOff)
{
    struct Row {
        const char *name;
        bool services;
        bool documentExists;
        bool requestedScreen;
        int corrupt;
        int recovered;         // unsaved sessions left in the scratch folder
        const char *decision;  // the reopen line after the evaluation
        const char *opened;    // "" none, "activating" or "quiet": how "review" was opened
        QStringList alerts;    // their messages
        bool killedSaveAs = false; // Last.lumacast is an unsaved recording's Save As, killed once in place
        bool olderPackage = false; // ... then an older copy of it, with one take of its three, put in its place
        bool trashed = false;      // Last.lumacast was followed into a Trash before the crash
    };
    const Row rows[] = {
        {"services off", false, true, false, 0, 0, "", "", {}},
        {"reopen after a permission request", true, true, true, 0, 0,
         "[app] reopenLastDocument — opening Last.lumacast (didRequestScreenThisLaunch=true)", "quiet", {}},
        {"last document deleted, three corrupt sessions", true, false, false, 3, 0,
         "[app] reopenLastDocument — skipped; opening empty main window (didRequestScreenThisLaunch=false)",
         "activating", {"Recovery issue"}},
        // The start screen lists it; no alert.
        {"last document deleted, one unsaved", true, false, false, 0, 1,
         "[app] reopenLastDocument — skipped; opening empty main window (didRequestScreenThisLaunch=false)",
         "activating", {}},
        {"reopened beside two unsaved and a corrupt one", true, true, false, 1, 2,
         "[app] reopenLastDocument — opening Last.lumacast (didRequestScreenThisLaunch=false)", "activating",
         {"Recovery issue", "Unsaved recordings were recovered"}},
        // Its scratch folder is not offered as well.
        {"a Save As killed once its package was in place", true, true, false, 0, 0,
         "[app] reopenLastDocument — opening Last.lumacast (didRequestScreenThisLaunch=false)", "activating", {}, true},
        // The scratch folder alone holds two of the takes: it stays, offered.
        {"Save As note, package lacks takes", true, true, false, 0, 0,
         "[app] reopenLastDocument — opening Last.lumacast (didRequestScreenThisLaunch=false)", "activating",
         {"An unsaved recording was recovered"}, true, true},
        {"reopened from a Trash after a crash", true, true, false, 0, 0,
         "[app] reopenLastDocument — opening Last.lumacast (didRequestScreenThisLaunch=false)", "activating",
         {"Recording in the Trash"}, false, false, true},
    };
    for (const Row &row : rows) {
        ManagerHarness h;
        h.adoptSessionWithTakes({1});
        const QString package = h.dir.filePath("Last.lumacast");
        testing::runTask(h.m().saveSession(package));
        if (!row.documentExists)
            QDir(package).removeRecursively();
        Session unsaved(SessionStore::scratchRoot() + "/" + QUuid::createUuid().toString(QUuid::WithoutBraces));
        QStringList leftFolders;
        if (row.killedSaveAs) {
            if (!row.olderPackage)
                h.preferences.setLastOpenedDocument(h.dir.filePath("Other.lumacast"));
            QDir().mkpath(unsaved.scratchURL + "/takes");
            for (int i = 1; row.olderPackage && i <= 3; ++i) {
                unsaved.scenes[0].takes << Take{QUuid::createUuid(), QStringLiteral("T%1.mov").arg(i), 1, h.time->now()};
                QFile movie(unsaved.scratchURL + QStringLiteral("/takes/T%1.mov").arg(i));
                ASSERT_TRUE(movie.open(QIODevice::WriteOnly) && movie.write(QByteArray(2048, 'm')) == 2048);
            }
            h.store->writeManifest(unsaved);
            h.m().forceCloseSession(true); // else its claim refuses the save
            const pid_t saving = ::fork();
            if (saving == 0) {
                SessionStore::setRename([](const char *from, const char *to, unsigned int flags) {
                    ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
                    return ::raise(SIGKILL);
                });
                try {
                    h.store->save(unsaved, package);
                } catch (...) {
                }
                ::_exit(0);
            }
            int status = 0;
            ::waitpid(saving, &status, 0);
            ASSERT_TRUE(WIFSIGNALED(status)) << "not killed in the save";
        }
        if (row.olderPackage) { // a backup or a sync tool's older version, the same recording
            Session older = unsaved;
            older.scenes[0].takes.resize(1);
            older.bundleURL = package;
            ASSERT_TRUE(QDir(package).removeRecursively() && QDir().mkpath(package + "/takes"));
            ASSERT_TRUE(QFile::copy(unsaved.scratchURL + "/takes/T1.mov", package + "/takes/T1.mov"));
            h.store->writeManifest(older);
            leftFolders << unsaved.scratchURL;
        }
        if (row.trashed) {
            const QString trash = h.dir.filePath(QStringLiteral(".Trash-%1/files").arg(::getuid()));
            h.m().forceCloseSession(true);
            ASSERT_TRUE(QDir().mkpath(trash) && QDir().rename(package, trash + "/Last.lumacast"));
            h.preferences.setLastOpenedDocument(trash + "/Last.lumacast");
        }
        for (int i = 0; i < row.corrupt; ++i) {
            const QString folder = SessionStore::scratchRoot() + QStringLiteral("/corrupt-%1").arg(i);
            QDir().mkpath(folder);
            QFile manifest(folder + "/manifest.json");
            ASSERT_TRUE(manifest.open(QIODevice::WriteOnly));
            manifest.write("not a manifest");
            leftFolders << folder;
        }
        for (int i = 0; i < row.recovered; ++i) {
            const Session unsaved(SessionStore::scratchRoot() + QStringLiteral("/unsaved-%1").arg(i));
            QDir().mkpath(unsaved.scratchURL);
            h.store->writeManifest(unsaved);
            leftFolders << unsaved.scratchURL;
        }
        h.devices->cameras = {CameraOption{"cam", "Camera"}};
        h.permissions->launches.preset = true;
        h.permissions->requestedScreen = row.requestedScreen;
        h.manager.reset();
        h.manager = std::make_unique<AppStateManager>(h.services(), row.services);
        QStringList opened;
        h.m().setWindowActions([&](const QString &id) { opened << "activating:" + id; },
                               [&](const QString &id) { opened << "quiet:" + id; }, {});
        h.clearLogs();
        pumpUntil([&] { return !row.services || h.appLogLines().filter("reopenLastDocument — opened").size()
                                                  + opened.size() > 0; });
        h.time->advance(1500ms);

        EXPECT_EQ(h.hotKeys->handlers.size(), 6u) << row.name;
        EXPECT_EQ(h.updater->started, row.services) << row.name;
        EXPECT_EQ(h.updater->automaticChecks, row.services ? std::optional(true) : std::nullopt) << row.name;
        EXPECT_EQ(h.m().availableCameras().size(), row.services ? 1 : 0) << row.name;
        EXPECT_EQ(h.hotKeys->registered.has_value(), row.services) << row.name;
        const QStringList lines = h.appLogLines();
        if (!row.services) {
            EXPECT_TRUE(lines.isEmpty()) << row.name;
            EXPECT_TRUE(opened.isEmpty()) << row.name;
            continue;
        }
        EXPECT_EQ(lines.first(), "[app] init — starting launch flow") << row.name;
        EXPECT_TRUE(lines.contains(QStringLiteral("[app] reopenLastDocument — evaluating (reopen=true, "
                                                  "url=Last.lumacast, fileExists=%1, currentSession=false)")
                                       .arg(row.documentExists ? "true" : "false")))
            << row.name;
        EXPECT_TRUE(lines.contains(row.decision)) << row.name;
        EXPECT_TRUE(lines.contains(QStringLiteral("[app] init — ready (recoverable=%1)")
                                       .arg(h.m().recoverableSessions().size())))
            << row.name;
        EXPECT_TRUE(lines.contains("[app] open panel pre-warmed")) << row.name;
        EXPECT_EQ(opened, QStringList{QStringLiteral("%1:review").arg(row.opened)}) << row.name;
        EXPECT_EQ(h.m().session().has_value(), row.documentExists) << row.name;
        if (row.killedSaveAs) {
            EXPECT_EQ(h.m().session() ? h.m().session()->id : QUuid(), unsaved.id);
            EXPECT_EQ(QFileInfo::exists(unsaved.scratchURL + "/takes/T3.mov"), row.olderPackage) << row.name;
            const QList<Session> offered = h.m().recoverableSessions();
            EXPECT_EQ(offered.isEmpty() ? 0 : offered[0].scenes[0].takes.size(), row.olderPackage ? 3 : 0) << row.name;
        }
        pumpUntil([&] { return h.alerts->shown.size() >= size_t(row.alerts.size()); });
        QStringList alerts;
        for (const AlertRequest &alert : h.alerts->shown)
            alerts << alert.message;
        EXPECT_EQ(alerts, row.alerts) << row.name;
        if (row.corrupt == 3) {
            EXPECT_EQ(h.alerts->shown[0].informativeText,
                      "3 recording(s) could not be recovered because their manifest is corrupt. Check "
                      "~/.cache/Lumacast/Sessions/ for the raw .mov files.")
                << row.name;
        }
        if (row.trashed && !h.alerts->shown.empty())
            EXPECT_TRUE(h.alerts->shown[0].informativeText.contains("is in the Trash. Lumacast goes on saving it there"));
        if (row.recovered == 2) {
            EXPECT_EQ(h.alerts->shown.back().informativeText,
                      "Lumacast stopped before 2 recordings were saved. Resume or discard them from File ▸ Recover "
                      "Recording.")
                << row.name;
        }
        for (const QString &folder : std::as_const(leftFolders))
            QDir(folder).removeRecursively();
    }
}

// The last document is still there by name but cannot be opened: the user is told and gets the
// start screen, not a launch that ends with the tray icon alone.
TEST(LaunchTest, ALastDocumentThatCannotBeReopenedSaysSoAndShowsTheStartScreen)
{
    const std::pair<const char *, std::function<void(const QString &)>> rows[] = {
        {"replaced by a file",
         [](const QString &package) {
             QDir(package).removeRecursively();
             QFile file(package);
             file.open(QIODevice::WriteOnly);
             file.write("not a package");
         }},
        {"manifest a FIFO",
         [](const QString &package) {
             QFile::remove(package + "/manifest.json");
             ::mkfifo(QFile::encodeName(package + "/manifest.json").constData(), 0600);
         }},
    };
    for (const auto &[name, spoil] : rows) {
        ManagerHarness h;
        h.adoptSessionWithTakes({1});
        const QString package = h.dir.filePath("Last.lumacast");
        testing::runTask(h.m().saveSession(package));
        spoil(package);
        h.permissions->launches.preset = true;
        h.manager.reset();
        h.manager = std::make_unique<AppStateManager>(h.services(), true);
        QStringList opened;
        h.m().setWindowActions([&](const QString &id) { opened << "activating:" + id; },
                               [&](const QString &id) { opened << "quiet:" + id; }, {});
        pumpUntil([&] { return !opened.isEmpty(); });
        EXPECT_EQ(opened, QStringList{"activating:review"}) << name;
        EXPECT_FALSE(h.m().session()) << name;
        ASSERT_EQ(h.alerts->shown.size(), 1u) << name;
        EXPECT_EQ(h.alerts->shown[0].message, "Couldn’t open recording") << name;
        EXPECT_TRUE(h.alerts->shown[0].informativeText.contains("Last.lumacast")) << name;
    }
}

TEST(ExportLaunchTest, RefusalsProgressAndResults)
{
    ManagerHarness h;
    QStringList revealed;
    h.m().setFileRevealer([&](const QString &path) { revealed << path; });
    h.adoptSessionWithTakes({1});
    h.m().exportFCPXML();
    EXPECT_TRUE(h.exporter->runs.empty()) << "an unsaved session is not exported";
    EXPECT_TRUE(h.historyLines().isEmpty());

    testing::runTask(h.m().saveSession(h.dir.filePath("Export.lumacast")));
    struct Row {
        void (AppStateManager::*start)();
        const char *kind;
        const char *label;
        bool succeed;
        int button; // of the result alert
    };
    const Row rows[] = {
        {&AppStateManager::exportVideo, "video", "Exporting Video…", true, 0},
        {&AppStateManager::exportFCPXML, "fcpxml", "Exporting to Final Cut Pro…", true, 1},
        {&AppStateManager::exportFCP7XML, "fcp7", "Exporting for Premiere…", false, 0},
    };
    for (const Row &row : rows) {
        h.exporter->runs.clear();
        h.alerts->shown.clear();
        revealed.clear();
        (h.m().*row.start)();
        ASSERT_EQ(h.exporter->runs.size(), 1u) << row.kind;
        EXPECT_EQ(h.exporter->runs[0].kind, row.kind);
        EXPECT_FALSE(h.m().isExporting()) << "exporting starts with the coordinator's started event";
        auto handler = h.exporter->runs[0].handler;
        handler(ExportEvent::started());
        handler(ExportEvent::progress(0.4));
        EXPECT_TRUE(h.m().isExporting());
        EXPECT_EQ(h.m().exportLabel(), row.label);
        EXPECT_DOUBLE_EQ(h.m().exportProgress(), 0.4);
        (h.m().*row.start)();
        EXPECT_EQ(h.exporter->runs.size(), 1u) << "a second export while one runs does nothing";
        h.alerts->answers.push_back(row.button);
        handler(row.succeed ? ExportEvent::succeeded(h.dir.filePath("Out.mov"))
                            : ExportEvent::failed(std::make_exception_ptr(Error("disk full"))));
        EXPECT_FALSE(h.m().isExporting());
        EXPECT_DOUBLE_EQ(h.m().exportProgress(), 0);
        ASSERT_EQ(h.alerts->shown.size(), 1u);
        EXPECT_EQ(h.alerts->shown[0].message, row.succeed ? "Export complete" : "Export failed");
        EXPECT_EQ(h.alerts->shown[0].informativeText, row.succeed ? "Out.mov" : "disk full");
        EXPECT_EQ(revealed.size(), row.succeed && row.button == 0 ? 1 : 0) << row.kind;
    }
    EXPECT_EQ(h.historyLines().filter("started").size(), 3);
}

// An export's result goes into the history of the recording it exported, whichever recording is
// open when it arrives: that one, another a second launch handed over meanwhile, or none.
TEST(ExportLaunchTest, TheResultGoesIntoTheExportedRecordingsHistory)
{
    enum class Meanwhile { nothing, handedOver, closed };
    const struct {
        const char *name;
        Meanwhile meanwhile;
        bool succeed;
        const char *line;
    } rows[] = {
        {"still open", Meanwhile::nothing, true, "export completed — Out.mov"},
        {"another handed over", Meanwhile::handedOver, true, "export completed — Out.mov"},
        {"another handed over, failed", Meanwhile::handedOver, false, "export failed — disk full"},
        {"closed", Meanwhile::closed, true, "export completed — Out.mov"},
    };
    // The package's export results, timestamps removed.
    const auto results = [](const QString &package) {
        QFile file(package + "/history.log");
        QStringList lines;
        if (file.open(QIODevice::ReadOnly))
            for (const QString &line : QString::fromUtf8(file.readAll()).split('\n'))
                if (line.contains("export completed") || line.contains("export failed"))
                    lines << line.section("] ", 1);
        return lines;
    };
    for (const auto &row : rows) {
        ManagerHarness h;
        const QString other = h.dir.filePath("Other.lumacast");
        const QString exported = h.dir.filePath("Exported.lumacast");
        h.adoptSessionWithTakes({1});
        testing::runTask(h.m().saveSession(other));
        h.m().forceCloseSession(true);
        h.adoptSessionWithTakes({1});
        testing::runTask(h.m().saveSession(exported));
        h.m().exportVideo();
        ASSERT_EQ(h.exporter->runs.size(), 1u) << row.name;
        auto handler = h.exporter->runs[0].handler;
        handler(ExportEvent::started());
        switch (row.meanwhile) {
        case Meanwhile::nothing: break;
        case Meanwhile::handedOver:
            h.m().guardedOpen(other);
            pumpUntil([&] { return h.m().session() && h.m().session()->bundleURL == other; });
            ASSERT_TRUE(h.m().session() && h.m().session()->bundleURL == other) << row.name;
            break;
        case Meanwhile::closed:
            h.m().forceCloseSession(true);
            ASSERT_FALSE(h.m().session()) << row.name;
            break;
        }
        h.alerts->answers.push_back(1);
        handler(row.succeed ? ExportEvent::succeeded(h.dir.filePath("Out.mov"))
                            : ExportEvent::failed(std::make_exception_ptr(Error("disk full"))));
        EXPECT_EQ(results(exported).join(" | ").toStdString(), row.line) << row.name;
        EXPECT_EQ(results(other).join(" | ").toStdString(), "") << row.name;
        EXPECT_EQ(h.alerts->shown.size(), 1u) << row.name;
    }
}

// Serves one HTTP answer to every request on 127.0.0.1: whole at once, after a delay, as an
// endless body, or a byte at a time.
class FeedServer : public QTcpServer {
public:
    enum class Mode { whole, delayed, endless, trickle };
    QByteArray status = "200 OK";
    QByteArray body;
    Mode mode = Mode::whole;
    FeedServer()
    {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *socket = nextPendingConnection()) {
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    if (!socket->readAll().contains("\r\n\r\n"))
                        return;
                    answer(socket);
                });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/feed.json").arg(serverPort())); }

private:
    void answer(QTcpSocket *socket)
    {
        const QByteArray length = mode == Mode::endless ? QByteArray() : "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        const QByteArray head = "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\n" + length
                                + "Connection: close\r\n\r\n";
        if (mode == Mode::whole) {
            socket->write(head + body);
            socket->disconnectFromHost();
            return;
        }
        if (mode == Mode::delayed) {
            QTimer::singleShot(500, socket, [socket, all = head + body] {
                socket->write(all);
                socket->disconnectFromHost();
            });
            return;
        }
        socket->write(head);
        auto *pump = new QTimer(socket);
        auto sent = std::make_shared<qsizetype>(0);
        connect(pump, &QTimer::timeout, socket, [this, socket, sent] {
            if (mode == Mode::endless) {
                socket->write(QByteArray(256 * 1024, ' '));
            } else if (*sent < body.size()) {
                socket->write(body.mid((*sent)++, 1));
            }
        });
        pump->start(mode == Mode::endless ? 5 : 300);
    }
};

// Runs one check to its end (20 s at most) and returns how long it took.
qint64 runCheck(NetworkUpdater &updater, const std::function<void()> &start)
{
    QEventLoop loop;
    QObject::connect(&updater, &NetworkUpdater::checkFinished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    start();
    loop.exec();
    return timer.elapsed();
}

TEST(UpdaterTest, ReadsALocalFeedAndSaysWhetherANewerVersionExists)
{
    struct Row {
        const char *name;
        QByteArray status;
        QByteArray body;
        NetworkUpdater::Result::Kind kind;
        const char *alert;
    };
    const Row rows[] = {
        {"newer", "200 OK", R"({"version": "1.10.0", "url": "https://example.org/lumacast"})",
         NetworkUpdater::Result::Kind::updateAvailable, "A new version of Lumacast is available"},
        {"same", "200 OK", R"({"version": "1.9"})", NetworkUpdater::Result::Kind::upToDate, "You’re up to date"},
        {"older", "200 OK", R"({"version": "1.2.3"})", NetworkUpdater::Result::Kind::upToDate, "You’re up to date"},
        {"no version", "200 OK", R"({"name": "x"})", NetworkUpdater::Result::Kind::failed, "Update check failed"},
        {"not found", "404 Not Found", "", NetworkUpdater::Result::Kind::failed, "Update check failed"},
    };
    for (const Row &row : rows) {
        FeedServer server;
        ASSERT_TRUE(server.isListening());
        server.status = row.status;
        server.body = row.body;
        std::vector<AlertRequest> alerts;
        NetworkUpdater updater(server.url(), QVersionNumber(1, 9, 0),
                               [&](const AlertRequest &r) { alerts.push_back(r); return -1; }, {});
        ASSERT_TRUE(updater.canCheckForUpdates());
        QEventLoop loop;
        QObject::connect(&updater, &NetworkUpdater::checkFinished, &loop, &QEventLoop::quit);
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        updater.checkForUpdates();
        updater.checkForUpdates(); // ignored while the first runs
        loop.exec();
        ASSERT_TRUE(updater.lastResult()) << row.name;
        EXPECT_EQ(updater.lastResult()->kind, row.kind) << row.name;
        ASSERT_EQ(alerts.size(), 1u) << row.name;
        EXPECT_EQ(alerts[0].message, row.alert) << row.name;
    }
}

// A feed is untrusted (anyone on an http path to it can write it): its text is never a link,
// only an http(s) "url" is opened, and only when the user picks "Download"; an endless or
// trickling body ends the check within its limits.
TEST(UpdaterTest, AHostileFeedCannotOpenAnythingNorHoldTheCheck)
{
    struct Row {
        const char *name;
        FeedServer::Mode mode;
        QByteArray body;
        int chosen;               // the button the user picks
        QStringList buttons;      // of the alert
        QStringList opened;       // addresses handed to the browser
        const char *alert;
    };
    const QByteArray huge = R"({"version": "2.0", "url": "https://example.org/)" + QByteArray(200 * 1024, 'a') + R"("})";
    const Row rows[] = {
        {"file link", FeedServer::Mode::whole, R"({"version": "2.0", "url": "file:///etc/passwd"})", 0, {}, {},
         "A new version of Lumacast is available"},
        {"rich text", FeedServer::Mode::whole,
         R"({"version": "2.0", "url": "<a href='file:///etc/passwd'>here</a>"})", 0, {}, {},
         "A new version of Lumacast is available"},
        {"download chosen", FeedServer::Mode::whole, R"({"version": "2.0", "url": "https://example.org/get"})", 0,
         {"Download", "Later"}, {"https://example.org/get"}, "A new version of Lumacast is available"},
        {"later chosen", FeedServer::Mode::whole, R"({"version": "2.0", "url": "https://example.org/get"})", 1,
         {"Download", "Later"}, {}, "A new version of Lumacast is available"},
        {"huge", FeedServer::Mode::whole, huge, 0, {}, {}, "Update check failed"},
        {"endless", FeedServer::Mode::endless, "", 0, {}, {}, "Update check failed"},
        {"trickle", FeedServer::Mode::trickle, R"({"version": "2.0"})", 0, {}, {}, "Update check failed"},
    };
    for (const Row &row : rows) {
        FeedServer server;
        ASSERT_TRUE(server.isListening());
        server.mode = row.mode;
        server.body = row.body;
        std::vector<AlertRequest> alerts;
        QStringList opened;
        NetworkUpdater updater(
            server.url(), QVersionNumber(1, 9, 0),
            [&](const AlertRequest &r) { alerts.push_back(r); return row.chosen; },
            [&](const QUrl &url) { opened << url.toString(); });
        updater.setCheckTimeLimit(2000);
        const qint64 took = runCheck(updater, [&] { updater.checkForUpdates(); });
        EXPECT_LT(took, 5000) << row.name;
        ASSERT_EQ(alerts.size(), 1u) << row.name;
        EXPECT_EQ(alerts[0].message, row.alert) << row.name;
        EXPECT_EQ(alerts[0].buttons, row.buttons) << row.name;
        EXPECT_FALSE(alerts[0].informativeText.contains("file:")) << row.name;
        EXPECT_LT(alerts[0].informativeText.size(), 1000) << row.name;
        EXPECT_EQ(opened, row.opened) << row.name;
    }
}

// The launch's automatic check is still under way when the user asks: the user gets an answer
// when it ends, not silence.
TEST(UpdaterTest, AskingDuringTheLaunchCheckIsStillAnswered)
{
    FeedServer server;
    ASSERT_TRUE(server.isListening());
    server.mode = FeedServer::Mode::delayed;
    server.body = R"({"version": "1.9"})";
    std::vector<AlertRequest> alerts;
    NetworkUpdater updater(server.url(), QVersionNumber(1, 9, 0),
                           [&](const AlertRequest &r) { alerts.push_back(r); return -1; }, {});
    updater.start();
    runCheck(updater, [&] {
        updater.setAutomaticallyChecksForUpdates(true);
        ASSERT_TRUE(updater.isChecking());
        updater.checkForUpdates();
    });
    ASSERT_EQ(alerts.size(), 1u);
    EXPECT_EQ(alerts[0].message, "You’re up to date");
}

TEST(UpdaterTest, WithoutAFeedTheCheckSaysSo)
{
    ManagerHarness h;
    for (const char *configured : {"", "  ", "ftp://example.org/feed", "not a url", "https:///feed.json"})
        EXPECT_FALSE(NetworkUpdater::feedFromConfiguration(configured)) << configured;
    EXPECT_EQ(NetworkUpdater::feedFromConfiguration(" https://example.org/feed.json"),
              QUrl("https://example.org/feed.json"));

    h.updater->canCheck = false;
    h.m().checkForUpdates();
    ASSERT_EQ(h.alerts->shown.size(), 1u);
    EXPECT_EQ(h.alerts->shown[0].message, "Can't check for updates");
    EXPECT_EQ(h.alerts->shown[0].informativeText,
              "The update feed is not configured. Set a valid LUMACAST_UPDATE_FEED_URL in Lumacast's build "
              "configuration.");
    EXPECT_EQ(h.updater->checks, 0);
    h.updater->canCheck = true;
    h.m().checkForUpdates();
    EXPECT_EQ(h.updater->checks, 1);
    EXPECT_EQ(h.application->regularCount, 2);
}

} // namespace
} // namespace lumacast
