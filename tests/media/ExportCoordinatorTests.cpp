// The export coordinator over scripted save panels: the panel guard, remembered folders, the
// "Nothing to export" alert and the order of events.
#include "TimelineTestSupport.h"

#include "media/ExportCoordinator.h"
#include "store/AppLog.h"
#include "store/Preferences.h"
#include "support/TestEnvironment.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;

namespace {

class ScriptedPanel : public ExportSavePanel {
public:
    explicit ScriptedPanel(ExportPanelRequest request) : request(std::move(request)) {}

    void showPanel() override { ++shown; }
    void bringToFront() override { ++broughtToFront; }
    std::optional<QString> directory() const override { return folder; }

    void answer(bool accepted, const QString &path)
    {
        folder = QFileInfo(path).absolutePath();
        emit finished(accepted, accepted ? QStringList{path} : QStringList{});
    }

    ExportPanelRequest request;
    std::optional<QString> folder;
    int shown = 0;
    int broughtToFront = 0;
};

class ScriptedInterface : public ExportUserInterface {
public:
    ExportSavePanel *makeSavePanel(const ExportPanelRequest &request) override
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
        session = Session(m_dir.filePath(QStringLiteral("session")));
        Take take;
        take.id = QUuid::createUuid();
        take.filename = QStringLiteral("take.mov");
        take.duration = 2;
        take.trimEnd = 2;
        session.scenes.first().takes = {take};
        session.scenes.first().selectedTakeID = take.id;

        work.exportMovie = [this](QList<Take> takes, QString folder, QString destination,
                                  ExportWork::Progress progress) -> QCoro::Task<void> {
            movieCalls << QStringLiteral("%1 takes from %2 to %3")
                              .arg(takes.size())
                              .arg(QFileInfo(folder).fileName(), QFileInfo(destination).fileName());
            progress(0.5);
            progress(1);
            if (movieFails)
                throw Error(QStringLiteral("disk full"));
            co_return;
        };
        work.describeErrorChain = [](std::exception_ptr) { return QStringLiteral("chain text"); };
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

    ExportCoordinator coordinator() { return ExportCoordinator(ui, *preferences, guard, work); }

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
    ui.panels[0]->answer(true, path(QStringLiteral("out/Talk.pkg")));
    settle();
    EXPECT_EQ(packageCalls, QStringList{QStringLiteral("fcpxml Talk in Talk.pkg")});
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"), QStringLiteral("succeeded Talk.pkg")}));

    events.clear();
    exporter.exportFCP7XML(session, recorder());
    EXPECT_EQ(ui.panels[1]->request.message, ExportCoordinator::fcp7PanelMessage());
    ui.panels[1]->answer(true, path(QStringLiteral("out/Talk")));
    settle();
    EXPECT_EQ(packageCalls.last(), QStringLiteral("fcp7 Talk"));
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"),
                                   QStringLiteral("failed Source media is missing: take.mov")}));
}

TEST_F(Coordinator, FailedMovieExportWritesTheChainToTheApplicationLog)
{
    TemporaryHome home; // the shared application log is made here, on first use
    movieFails = true;
    ExportCoordinator exporter = coordinator();
    exporter.exportVideo(session, recorder());
    ui.panels[0]->answer(true, path(QStringLiteral("out/Movie.mov")));
    settle();
    EXPECT_EQ(events.last(), QStringLiteral("failed disk full"));
    const QString written = readText(AppLog::shared().logPath());
    EXPECT_TRUE(written.contains(QStringLiteral("[export] export failed: chain text")))
        << written.toStdString();
}

TEST_F(Coordinator, RealWritersProduceThePackage)
{
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("session/takes"))));
    ASSERT_TRUE(makeMovie(path(QStringLiteral("session/takes/take.mov")),
                          {QStringLiteral("320x240"), QStringLiteral("30"), 2, {2}, 48000}));
    ExportCoordinator exporter(ui, *preferences, guard, ExportWork::withTimelineWriters());
    exporter.exportFCPXML(session, recorder());
    ui.panels[0]->answer(true, path(QStringLiteral("out/Lumacast-Talk")));
    settle();
    EXPECT_EQ(events, (QStringList{QStringLiteral("started"), QStringLiteral("succeeded Lumacast-Talk")}));
    EXPECT_TRUE(validatesAgainstFCPXMLDTD(path(QStringLiteral("out/Lumacast-Talk/Lumacast-Talk.fcpxml"))));
}
