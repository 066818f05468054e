// The export coordinator over scripted save panels: the panel guard, remembered folders, the
// "Nothing to export" alert and the order of events.
#include "TimelineTestSupport.h"

#include "media/ExportCoordinator.h"
#include "media/ExportErrors.h"
#include "media/MovieExport.h"
#include "platform/av/MediaError.h"
#include "store/AppLog.h"
#include "store/DiskSync.h"
#include "store/Preferences.h"
#include "support/SessionRecords.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QCoroTimer>

#include <gtest/gtest.h>

#include <mutex>
#include <thread>

using namespace lumacast;
using namespace lumacast::testing;

namespace {

class ScriptedPanel : public FilePanel {
public:
    explicit ScriptedPanel(ExportPanelRequest request) : request(std::move(request)) {}

    void showPanel() override { ++shown; }
    void bringToFront() override { ++broughtToFront; }

    // The chosen path may lie outside the folder the panel was browsing (a full path typed).
    void answer(bool accepted, const QString &path)
    {
        emit finished(accepted, accepted ? QStringList{path} : QStringList{});
    }

    ExportPanelRequest request;
    int shown = 0;
    int broughtToFront = 0;
};

class ScriptedInterface : public ExportUserInterface {
public:
    FilePanel *makeSavePanel(const ExportPanelRequest &request) override
    {
        auto *panel = new ScriptedPanel(request);
        panels.append(panel);
        return panel;
    }
    void showNothingToExportAlert() override { ++alerts; }

    QList<QPointer<ScriptedPanel>> panels;
    int alerts = 0;
};

QString describe(const ExportEvent &event)
{
    switch (event.kind) {
    case ExportEvent::Kind::started: return QStringLiteral("started");
    case ExportEvent::Kind::progress: return QStringLiteral("progress %1").arg(event.fraction);
    case ExportEvent::Kind::succeeded: return QStringLiteral("succeeded ") + QFileInfo(event.location).fileName();
    case ExportEvent::Kind::failed: return QStringLiteral("failed ") + event.errorDescription();
    }
    return QString();
}

class Coordinator : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        preferences = std::make_unique<Preferences>(m_dir.filePath(QStringLiteral("settings.json")));
        appLog = std::make_unique<AppLog>(m_dir.filePath(QStringLiteral("library")));
        session = Session(m_dir.filePath(QStringLiteral("session")));
        const Take take = lumacast::testing::makeTrimmedTake(QStringLiteral("take.mov"), 2, 0, 2);
        session.scenes.first() = lumacast::testing::makeCheckedScene({take}, 0);

        work.exportMovie = [this](QList<timeline_export::Entry> takes, QString folder, QString destination,
                                  ExportWork::Progress progress) -> QCoro::Task<void> {
            movieCalls << QStringLiteral("%1 takes from %2 to %3")
                              .arg(takes.size())
                              .arg(QFileInfo(folder).fileName(), QFileInfo(destination).fileName());
            progress(0.5);
            progress(1);
            if (movieFails) {
                const av::MediaError cause(QStringLiteral("POSIX"), 28,
                                              QStringLiteral("No space left on device"));
                throw av::MediaError(av::MediaError::mediaDomain(),
                                        av::MediaError::WriteFailed, QStringLiteral("disk full"),
                                        std::nullopt, std::make_shared<const av::MediaError>(cause));
            }
            co_return;
        };
        work.writeFCPXMLPackage = [this](Session, QString name, QString folder) -> QCoro::Task<void> {
            packageCalls << QStringLiteral("fcpxml %1 in %2").arg(name, QFileInfo(folder).fileName());
            co_return;
        };
        work.writeFCP7Package = [this](Session, QString name, QString) -> QCoro::Task<void> {
            packageCalls << QStringLiteral("fcp7 ") + name;
            throw Error(QStringLiteral("Source media is missing: take.mov"));
            co_return;
        };
    }

    ExportCoordinator coordinator() { return ExportCoordinator(ui, *preferences, guard, work, *appLog); }

    ExportCoordinator::EventHandler recorder()
    {
        return [this](const ExportEvent &event) { events << describe(event); };
    }

    // Runs the event loop until the run has delivered its last event (or a few seconds pass).
    void settle()
    {
        QDeadlineTimer deadline(5000);
        while (!deadline.hasExpired()) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            if (!events.isEmpty()
                && (events.last().startsWith(QStringLiteral("succeeded"))
                    || events.last().startsWith(QStringLiteral("failed"))))
                break;
        }
        QCoreApplication::processEvents();
    }

    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    ScriptedInterface ui;
    std::unique_ptr<Preferences> preferences;
    std::unique_ptr<AppLog> appLog;
    FilePanelGuard guard;
    ExportWork work;
    Session session;
    QStringList events;
    QStringList movieCalls;
    QStringList packageCalls;
    bool movieFails = false;

private:
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(Coordinator, SecondMoviePanelBringsTheFirstToTheFront)
{
    preferences->setLastExportDirectory(path(QStringLiteral("earlier")));
    ExportCoordinator exporter = coordinator();
    exporter.exportVideo(session, recorder());
    exporter.exportVideo(session, recorder());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    ASSERT_EQ(ui.panels.size(), 2);
    ASSERT_TRUE(ui.panels[0]);
    EXPECT_EQ(ui.panels[0]->shown, 1);
    EXPECT_EQ(ui.panels[0]->broughtToFront, 1);
    EXPECT_TRUE(ui.panels[1].isNull()); // dropped without being shown
    EXPECT_TRUE(guard.isPresenting());
    EXPECT_EQ(ui.panels[0]->request.nameFieldText,
              ExportCoordinator::defaultName(QDate::currentDate()) + QStringLiteral(".mov"));
    EXPECT_TRUE(ui.panels[0]->request.moviesOnly);
    EXPECT_EQ(ui.panels[0]->request.directory, path(QStringLiteral("earlier")));
    EXPECT_TRUE(events.isEmpty());

    ui.panels[0]->answer(true, path(QStringLiteral("out/Movie.mov")));
    EXPECT_FALSE(guard.isPresenting());
    EXPECT_TRUE(events.isEmpty()); // the task is posted, not run inside the panel's answer
    settle();
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"), QStringLiteral("progress 0.5"),
                                   QStringLiteral("progress 1"), QStringLiteral("succeeded Movie.mov")}));
    EXPECT_EQ(movieCalls, QStringList{QStringLiteral("1 takes from takes to Movie.mov")});
    EXPECT_EQ(preferences->lastExportDirectory(), path(QStringLiteral("out")));
}

TEST_F(Coordinator, CancelledPanelDeliversNothingAndKeepsTheFolder)
{
    preferences->setLastExportDirectory(path(QStringLiteral("earlier")));
    ExportCoordinator exporter = coordinator();
    exporter.exportFCPXML(session, recorder());
    ASSERT_EQ(ui.panels.size(), 1);
    EXPECT_EQ(ui.panels[0]->request.message, ExportCoordinator::fcpxmlPanelMessage());
    EXPECT_EQ(ui.panels[0]->request.nameFieldText, ExportCoordinator::defaultName());
    EXPECT_FALSE(ui.panels[0]->request.moviesOnly);
    ui.panels[0]->answer(false, path(QStringLiteral("elsewhere/x")));
    QCoreApplication::processEvents();
    EXPECT_TRUE(events.isEmpty());
    EXPECT_TRUE(packageCalls.isEmpty());
    EXPECT_EQ(preferences->lastExportDirectory(), path(QStringLiteral("earlier")));
    EXPECT_FALSE(guard.isPresenting());
}

TEST_F(Coordinator, NothingToExportAlertComesBeforeThePackagePanelAndAfterTheMoviePanel)
{
    session.scenes.first().selectedTakeID.reset();
    ExportCoordinator exporter = coordinator();
    exporter.exportFCP7XML(session, recorder());
    EXPECT_EQ(ui.alerts, 1);
    EXPECT_TRUE(ui.panels.isEmpty());

    exporter.exportVideo(session, recorder());
    ASSERT_EQ(ui.panels.size(), 1);
    EXPECT_EQ(ui.alerts, 1);
    ui.panels[0]->answer(true, path(QStringLiteral("out/Movie.mov")));
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    EXPECT_EQ(ui.alerts, 2);
    EXPECT_TRUE(events.isEmpty());
    EXPECT_TRUE(movieCalls.isEmpty());
}

TEST_F(Coordinator, PackageRunsNameThePackageAndReportTheOutcome)
{
    ExportCoordinator exporter = coordinator();
    exporter.exportFCPXML(session, recorder());
    // A dot is the name's own; only the document's extension is not.
    ui.panels[0]->answer(true, path(QStringLiteral("out/Talk v1.5")));
    settle();
    EXPECT_EQ(packageCalls, QStringList{QStringLiteral("fcpxml Talk v1.5 in Talk v1.5")});
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"), QStringLiteral("succeeded Talk v1.5")}));

    events.clear();
    exporter.exportFCP7XML(session, recorder());
    EXPECT_EQ(ui.panels[1]->request.message, ExportCoordinator::fcp7PanelMessage());
    ui.panels[1]->answer(true, path(QStringLiteral("out/Talk")));
    settle();
    EXPECT_EQ(packageCalls.last(), QStringLiteral("fcp7 Talk"));
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"),
                                   QStringLiteral("failed Source media is missing: take.mov")}));
    // Package failures go to the unified log only.
    EXPECT_FALSE(readText(appLog->logPath()).contains(QStringLiteral("[export]")));
}

TEST_F(Coordinator, FailedMovieExportWritesTheChainToTheApplicationLog)
{
    movieFails = true;
    ExportCoordinator exporter = coordinator();
    exporter.exportVideo(session, recorder());
    ui.panels[0]->answer(true, path(QStringLiteral("out/Movie.mov")));
    settle();
    EXPECT_EQ(events.last(), QStringLiteral("failed disk full"));
    const QString written = readText(appLog->logPath());
    EXPECT_TRUE(written.contains(QStringLiteral(
        "[export] export failed: Lumacast.Media 5: disk full \u27F5 POSIX 28: No space left on device")))
        << written.toStdString();
}

TEST_F(Coordinator, RealWritersProduceThePackage)
{
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("session/takes"))));
    ASSERT_TRUE(makeMovie(path(QStringLiteral("session/takes/take.mov")),
                          {QStringLiteral("320x240"), QStringLiteral("30"), 2, {2}, 48000}));
    ExportCoordinator exporter(ui, *preferences, guard, ExportWork::withTimelineWriters());
    // The package's copies and its name are on the disk before the export is called complete.
    std::mutex syncing;
    QStringList synced, syncedByTheOutcome; // the first on the package's own thread
    DiskSync::setWitness([&](const QString &item) {
        const std::lock_guard lock(syncing);
        if (item.endsWith(QLatin1String("/media/take.mov")) || item == path(QStringLiteral("out")))
            synced << QFileInfo(item).fileName();
    });
    exporter.exportFCPXML(session, [&, record = recorder()](const ExportEvent &event) {
        {
            const std::lock_guard lock(syncing);
            syncedByTheOutcome = synced;
        }
        record(event);
    });
    ui.panels[0]->answer(true, path(QStringLiteral("out/Lumacast-Talk")));
    settle();
    DiskSync::setWitness({});
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"), QStringLiteral("succeeded Lumacast-Talk")}));
    EXPECT_EQ(syncedByTheOutcome, (QStringList{"take.mov", "out"}));
    EXPECT_TRUE(validatesAgainstFCPXMLDTD(path(QStringLiteral("out/Lumacast-Talk/Lumacast-Talk.fcpxml"))));
}

// A checked take whose movie is damaged past reading any track, or cut off before its index, is
// refused by all three real exports before anything is written, each failure naming the take as
// the outline shows it.
TEST_F(Coordinator, EveryExportRefusesATakeWithoutAReadableTrackByName)
{
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("session/takes"))));
    ASSERT_TRUE(makeMovie(path(QStringLiteral("session/takes/take.mov")),
                          {QStringLiteral("320x240"), QStringLiteral("30"), 1, {2}, 48000}));
    QFile good(path(QStringLiteral("session/takes/take.mov")));
    ASSERT_TRUE(good.open(QIODevice::ReadOnly));
    const QByteArray bytes = good.readAll();
    ASSERT_GT(bytes.size(), 16 * 1024);
    session.scenes.append(makeCheckedScene({makeTrimmedTake(QStringLiteral("damaged.mov"), 1, 0, 1)}, 0));
    const QString refusal = QStringLiteral("The take \u201CScene 2 \u2014 Take 1\u201D can\u2019t be exported: its movie "
                                           "is damaged, and no picture or sound in it can be read.");
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("out"))));
    session_exporter::MovieExportOptions options;
    options.systemAudioMixLevel = [] { return 1.0; };
    ExportCoordinator exporter(ui, *preferences, guard, session_exporter::movieExportWork(options), *appLog);
    struct Row {
        void (ExportCoordinator::*start)(const Session &, ExportCoordinator::EventHandler);
        QString destination;
        QString domain; // and code, as the error chain names them
    };
    const Row rows[] = {
        {&ExportCoordinator::exportVideo, QStringLiteral("Movie.mov"), QStringLiteral("Lumacast.SessionExporter.ExportError 3")},
        {&ExportCoordinator::exportFCPXML, QStringLiteral("Talk"), QStringLiteral("Lumacast.TimelineExport.ExportError 5")},
        {&ExportCoordinator::exportFCP7XML, QStringLiteral("Premiere"), QStringLiteral("Lumacast.TimelineExport.ExportError 5")},
    };
    for (const QByteArray &damage : {QByteArray(bytes).replace("trak", "free"), bytes.left(16 * 1024)})
    for (const Row &row : rows) {
        SCOPED_TRACE((row.destination + (damage.size() == 16 * 1024 ? " cut off" : " no track")).toStdString());
        QFile damaged(path(QStringLiteral("session/takes/damaged.mov")));
        ASSERT_TRUE(damaged.open(QIODevice::WriteOnly | QIODevice::Truncate) && damaged.write(damage) == damage.size());
        damaged.close();
        events.clear();
        QString chain;
        (exporter.*row.start)(session, [&](const ExportEvent &event) {
            events << describe(event);
            chain = describeErrorChain(event.error);
        });
        ui.panels.last()->answer(true, path(QStringLiteral("out/") + row.destination));
        settle();
        EXPECT_EQ(events.join(u'|').toStdString(), ("started|failed " + refusal).toStdString());
        EXPECT_EQ(chain.toStdString(), (row.domain + QStringLiteral(": ") + refusal).toStdString());
        EXPECT_TRUE(QDir(path(QStringLiteral("out"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
    }
}

TEST_F(Coordinator, PanelThatGoesAwayUnansweredEndsTheRunQuietly)
{
    preferences->setLastExportDirectory(path(QStringLiteral("earlier")));
    ExportCoordinator exporter = coordinator();
    exporter.exportVideo(session, recorder());
    ASSERT_EQ(ui.panels.size(), 1);
    delete ui.panels[0].data(); // its window went away with its parent, say
    QCoreApplication::processEvents();
    EXPECT_FALSE(guard.isPresenting());
    EXPECT_TRUE(events.isEmpty());
    EXPECT_EQ(preferences->lastExportDirectory(), path(QStringLiteral("earlier")));

    exporter.exportVideo(session, recorder());
    ASSERT_EQ(ui.panels.size(), 2);
    ASSERT_TRUE(ui.panels[1]);
    EXPECT_EQ(ui.panels[1]->shown, 1);
}

TEST_F(Coordinator, RunOutlivesTheCoordinatorThatStartedIt)
{
    {
        ExportCoordinator exporter = coordinator();
        exporter.exportFCPXML(session, recorder());
    }
    ASSERT_EQ(ui.panels.size(), 1);
    ui.panels[0]->answer(true, path(QStringLiteral("out/Talk")));
    settle();
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"), QStringLiteral("succeeded Talk")}));
    EXPECT_EQ(preferences->lastExportDirectory(), path(QStringLiteral("out")));
}

TEST_F(Coordinator, ProgressFromAnExportThreadArrivesOnTheMainThreadAndNeverAfterTheOutcome)
{
    ExportWork::Progress kept;
    work.exportMovie = [&kept](QList<timeline_export::Entry>, QString, QString,
                               ExportWork::Progress progress) -> QCoro::Task<void> {
        kept = progress;
        std::thread pump([progress] { progress(0.25); });
        pump.join();
        QTimer later;
        later.setSingleShot(true);
        later.start(30);
        co_await later; // lets the report posted from the pump thread arrive first
        progress(0.5);
    };
    QList<QThread *> threads;
    ExportCoordinator exporter = coordinator();
    exporter.exportVideo(session, [&](const ExportEvent &event) {
        threads << QThread::currentThread();
        events << describe(event);
    });
    ui.panels[0]->answer(true, path(QStringLiteral("out/Movie.mov")));
    settle();
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"), QStringLiteral("progress 0.25"),
                                   QStringLiteral("progress 0.5"),
                                   QStringLiteral("succeeded Movie.mov")}));
    for (QThread *thread : threads)
        EXPECT_EQ(thread, QCoreApplication::instance()->thread());

    ASSERT_TRUE(kept);
    kept(0.9);
    std::thread late([&kept] { kept(0.95); });
    late.join();
    QCoreApplication::processEvents();
    EXPECT_EQ(events.size(), 4) << events.join(QStringLiteral(", ")).toStdString();
}

TEST_F(Coordinator, MovieExportWithoutAnExporterFailsWithAClearMessage)
{
    ExportCoordinator exporter(ui, *preferences, guard, ExportWork::withTimelineWriters(), *appLog);
    exporter.exportVideo(session, recorder());
    ui.panels[0]->answer(true, path(QStringLiteral("out/Movie.mov")));
    settle();
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"),
                                   QStringLiteral("failed The movie export is not available.")}));
}
