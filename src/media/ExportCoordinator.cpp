#include "media/ExportCoordinator.h"

#include "media/ExportErrors.h"
#include "media/FCP7XMLWriter.h"
#include "media/FCPXMLWriter.h"
#include "media/TimelineExport.h"
#include "media/TimelineExportAsset.h"
#include "model/LogCategories.h"
#include "store/AppLog.h"
#include "store/Preferences.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

namespace lumacast {

namespace {

using EventHandler = ExportCoordinator::EventHandler;
using PackageWriter = std::function<QCoro::Task<void>(Session, QString, QString)>;

// One run's link to its caller. Once the run has delivered its outcome nothing more reaches the
// handler, so a progress report that was still on its way from an export thread can never
// arrive after "succeeded" or "failed".
class Run {
public:
    explicit Run(EventHandler handler) : m_handler(std::move(handler)) {}

    void deliver(const ExportEvent &event)
    {
        if (m_ended || !m_handler)
            return;
        if (event.kind == ExportEvent::Kind::succeeded || event.kind == ExportEvent::Kind::failed)
            m_ended = true;
        m_handler(event);
    }

    // Every event of a run goes through the one main-thread queue, so events reported from an
    // export thread and from the main thread reach the handler in the order they were reported.
    static void report(const std::shared_ptr<Run> &run, ExportEvent event)
    {
        postToMainThread([run, event = std::move(event)] { run->deliver(event); });
    }

    // The exporter's progress callback: may be called from any thread.
    static ExportWork::Progress progressReporter(const std::shared_ptr<Run> &run)
    {
        return [run](double fraction) { report(run, ExportEvent::progress(fraction)); };
    }

private:
    EventHandler m_handler;
    bool m_ended = false;
};

// Shows the panel through the guard. On an answer with a location the guard has already been
// released; the chosen location's folder is remembered (not the one the panel was browsing,
// which a full path typed into the name differs from) and the location handed on. A cancelled
// panel, or one that went away without answering, ends the run here.
void presentSavePanel(ExportUserInterface *ui, Preferences *preferences, FilePanelGuard *guard,
                      const ExportPanelRequest &request, std::function<void(QString)> onChosen)
{
    FilePanel *panel = ui->makeSavePanel(request);
    if (!panel)
        return;
    // A panel nobody owns would outlive an answer that never comes (the application quitting
    // with it up): the guard, which outlives every panel it presents, owns it until then.
    if (!panel->parent())
        panel->setParent(guard);
    QPointer<FilePanel> held(panel);
    guard->present(panel, [preferences, held, onChosen = std::move(onChosen)](
                              bool accepted, const QStringList &selection) {
        const bool chosen = accepted && !selection.isEmpty() && !selection.first().isEmpty();
        if (chosen)
            preferences->setLastExportDirectory(QFileInfo(selection.first()).absolutePath());
        if (held)
            held->deleteLater();
        if (chosen)
            onChosen(selection.first());
    });
}

QCoro::Task<> runMovieExport(ExportUserInterface *ui, AppLog *appLog, ExportWork work,
                             Session session, QString destination, std::shared_ptr<Run> run)
{
    const QList<timeline_export::Entry> takes = timeline_export::makeEntries(session);
    if (takes.isEmpty()) {
        ui->showNothingToExportAlert();
        co_return;
    }
    qCInfo(log::exporting(), "export start \u2192 %s", qUtf8Printable(destination));
    Run::report(run, ExportEvent::started());
    const QString takesFolder =
        QDir(session.bundleURL.value_or(session.scratchURL)).filePath(QStringLiteral("takes"));
    std::exception_ptr failure;
    try {
        if (!work.exportMovie)
            throw Error(QStringLiteral("The movie export is not available."));
        co_await work.exportMovie(takes, takesFolder, destination, Run::progressReporter(run));
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        const QString chain = describeErrorChain(failure);
        qCCritical(log::exporting(), "export failed: %s", qUtf8Printable(chain));
        appLog->log(QStringLiteral("[export] export failed: ") + chain);
        Run::report(run, ExportEvent::failed(failure));
        co_return;
    }
    qCInfo(log::exporting(), "export ok");
    Run::report(run, ExportEvent::succeeded(destination));
}

QCoro::Task<> runPackageExport(PackageWriter writer, QString label, Session session, QString name,
                               QString destination, std::shared_ptr<Run> run)
{
    qCInfo(log::exporting(), "%s export start \u2192 %s", qUtf8Printable(label),
           qUtf8Printable(destination));
    Run::report(run, ExportEvent::started());
    std::exception_ptr failure;
    try {
        if (!writer)
            throw Error(QStringLiteral("The %1 export is not available.").arg(label));
        co_await writer(std::move(session), name, destination);
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        qCCritical(log::exporting(), "%s export failed: %s", qUtf8Printable(label),
                   qUtf8Printable(errorDescription(failure)));
        Run::report(run, ExportEvent::failed(failure));
        co_return;
    }
    qCInfo(log::exporting(), "%s export ok", qUtf8Printable(label));
    Run::report(run, ExportEvent::succeeded(destination));
}

} // namespace

QString ExportEvent::errorDescription() const
{
    return lumacast::errorDescription(error);
}

ExportWork ExportWork::withTimelineWriters(MovieExport exportMovie)
{
    ExportWork work;
    work.exportMovie = std::move(exportMovie);
    work.writeFCPXMLPackage = [](Session session, QString name, QString folder) {
        return lumacast::writeFCPXMLPackage(std::move(session), std::move(name), std::move(folder),
                                            timeline_export::assetLoader());
    };
    work.writeFCP7Package = [](Session session, QString name, QString folder) {
        return lumacast::writeFCP7Package(std::move(session), std::move(name), std::move(folder),
                                          timeline_export::assetLoader());
    };
    return work;
}

ExportCoordinator::ExportCoordinator(ExportUserInterface &ui, Preferences &preferences,
                                     FilePanelGuard &guard, ExportWork work)
    : ExportCoordinator(ui, preferences, guard, std::move(work), AppLog::shared())
{
}

ExportCoordinator::ExportCoordinator(ExportUserInterface &ui, Preferences &preferences,
                                     FilePanelGuard &guard, ExportWork work, AppLog &appLog)
    : m_ui(&ui)
    , m_preferences(&preferences)
    , m_guard(&guard)
    , m_appLog(&appLog)
    , m_work(std::move(work))
{
}

QString ExportCoordinator::defaultName(const QDate &date)
{
    return QStringLiteral("Lumacast-") + date.toString(QStringLiteral("yyyy-MM-dd"));
}

const QString &ExportCoordinator::fcpxmlPanelMessage()
{
    static const QString message = QStringLiteral(
        "Choose where to create the Final Cut Pro / DaVinci Resolve package (a folder with the "
        ".fcpxml and copied media). Resolve imports this; Premiere needs the separate Premiere "
        "export.");
    return message;
}

const QString &ExportCoordinator::fcp7PanelMessage()
{
    static const QString message = QStringLiteral(
        "Choose where to create the Premiere package (a folder with the .xml and copied media). "
        "For DaVinci Resolve, use Export to Final Cut Pro / Resolve instead.");
    return message;
}

void ExportCoordinator::exportVideo(const Session &session, EventHandler handler)
{
    ExportPanelRequest request;
    request.nameFieldText = defaultName() + QStringLiteral(".mov");
    request.directory = m_preferences->lastExportDirectory();
    request.moviesOnly = true;
    // The run captures copies, never the coordinator.
    presentSavePanel(m_ui, m_preferences, m_guard, request,
                     [ui = m_ui, appLog = m_appLog, work = m_work, session,
                      handler = std::move(handler)](const QString &destination) {
                         auto run = std::make_shared<Run>(handler);
                         postToMainThread([ui, appLog, work, session, destination, run] {
                             runMovieExport(ui, appLog, work, session, destination, run);
                         });
                     });
}

void ExportCoordinator::exportFCPXML(const Session &session, EventHandler handler)
{
    exportPackage(session, std::move(handler), Package::fcpxml);
}

void ExportCoordinator::exportFCP7XML(const Session &session, EventHandler handler)
{
    exportPackage(session, std::move(handler), Package::fcp7);
}

void ExportCoordinator::exportPackage(const Session &session, EventHandler handler,
                                      Package package)
{
    if (session.checkedTakes().isEmpty()) {
        m_ui->showNothingToExportAlert();
        return;
    }
    ExportPanelRequest request;
    request.nameFieldText = defaultName();
    request.message = package == Package::fcpxml ? fcpxmlPanelMessage() : fcp7PanelMessage();
    request.directory = m_preferences->lastExportDirectory();
    PackageWriter writer =
        package == Package::fcpxml ? m_work.writeFCPXMLPackage : m_work.writeFCP7Package;
    const QString label =
        package == Package::fcpxml ? QStringLiteral("FCPXML") : QStringLiteral("FCP7 XML");
    presentSavePanel(m_ui, m_preferences, m_guard, request,
                     [writer, label, session, handler = std::move(handler)](const QString &destination) {
                         const QString name = timeline_export::packageName(destination);
                         auto run = std::make_shared<Run>(handler);
                         postToMainThread([writer, label, session, name, destination, run] {
                             runPackageExport(writer, label, session, name, destination, run);
                         });
                     });
}

} // namespace lumacast
