#include "media/ExportCoordinator.h"

#include "media/FCP7XMLWriter.h"
#include "media/FCPXMLWriter.h"
#include "media/TimelineExport.h"
#include "media/TimelineExportAsset.h"
#include "model/LogCategories.h"
#include "store/AppLog.h"
#include "store/Preferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QMetaObject>

namespace lumacast {

namespace {

using EventHandler = ExportCoordinator::EventHandler;

// Tasks "on the main thread" are posted to the event loop, never started inline, so a panel's
// completion has returned before the export begins.
void postToMainThread(std::function<void()> work)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::move(work), Qt::QueuedConnection);
}

QCoro::Task<> runMovieExport(ExportUserInterface *ui, ExportWork work, Session session,
                             QString destination, EventHandler handler)
{
    const QList<Take> takes = session.checkedTakes();
    if (takes.isEmpty()) {
        ui->showNothingToExportAlert();
        co_return;
    }
    qCInfo(log::exporting(), "export start \u2192 %s", qUtf8Printable(destination));
    handler(ExportEvent::started());
    const QString takesFolder =
        QDir(session.bundleURL.value_or(session.scratchURL)).filePath(QStringLiteral("takes"));
    std::exception_ptr failure;
    try {
        QCoro::Task<void> exported = work.exportMovie(
            takes, takesFolder, destination,
            [handler](double fraction) { handler(ExportEvent::progress(fraction)); });
        co_await exported;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        const QString chain = work.describeErrorChain(failure);
        qCCritical(log::exporting(), "export failed: %s", qUtf8Printable(chain));
        AppLog::shared().log(QStringLiteral("[export] export failed: ") + chain);
        handler(ExportEvent::failed(failure));
        co_return;
    }
    qCInfo(log::exporting(), "export ok");
    handler(ExportEvent::succeeded(destination));
}

QCoro::Task<> runPackageExport(std::function<QCoro::Task<void>(Session, QString, QString)> writer,
                               QString label, Session session, QString name, QString destination,
                               EventHandler handler)
{
    qCInfo(log::exporting(), "%s export start \u2192 %s", qUtf8Printable(label),
           qUtf8Printable(destination));
    handler(ExportEvent::started());
    std::exception_ptr failure;
    try {
        QCoro::Task<void> written = writer(std::move(session), name, destination);
        co_await written;
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        const ExportEvent event = ExportEvent::failed(failure);
        qCCritical(log::exporting(), "%s export failed: %s", qUtf8Printable(label),
                   qUtf8Printable(event.errorDescription()));
        handler(event);
        co_return;
    }
    qCInfo(log::exporting(), "%s export ok", qUtf8Printable(label));
    handler(ExportEvent::succeeded(destination));
}

} // namespace

QString ExportEvent::errorDescription() const
{
    if (!error)
        return QString();
    try {
        std::rethrow_exception(error);
    } catch (const Error &failure) {
        return failure.message();
    } catch (const std::exception &failure) {
        return QString::fromUtf8(failure.what());
    } catch (...) {
        return QStringLiteral("Unknown error");
    }
}

ExportWork ExportWork::withTimelineWriters()
{
    ExportWork work;
    work.writeFCPXMLPackage = [](Session session, QString name, QString folder) {
        return lumacast::writeFCPXMLPackage(std::move(session), std::move(name), std::move(folder),
                                            TimelineExport::assetLoader());
    };
    work.writeFCP7Package = [](Session session, QString name, QString folder) {
        return lumacast::writeFCP7Package(std::move(session), std::move(name), std::move(folder),
                                          TimelineExport::assetLoader());
    };
    work.describeErrorChain = [](std::exception_ptr error) {
        return ExportEvent::failed(std::move(error)).errorDescription();
    };
    return work;
}

ExportCoordinator::ExportCoordinator(ExportUserInterface &ui, Preferences &preferences,
                                     FilePanelGuard &guard, ExportWork work)
    : m_ui(ui)
    , m_preferences(preferences)
    , m_guard(guard)
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

void ExportCoordinator::storeDirectory(ExportSavePanel *panel)
{
    m_preferences.setLastExportDirectory(panel->directory());
}

void ExportCoordinator::exportVideo(const Session &session, EventHandler handler)
{
    ExportPanelRequest request;
    request.nameFieldText = defaultName() + QStringLiteral(".mov");
    request.directory = m_preferences.lastExportDirectory();
    request.moviesOnly = true;
    ExportSavePanel *panel = m_ui.makeSavePanel(request);
    m_guard.present(panel, [this, panel, session, handler](bool accepted,
                                                           const QStringList &selection) {
        panel->deleteLater();
        if (!accepted || selection.isEmpty())
            return;
        storeDirectory(panel);
        const QString destination = selection.first();
        postToMainThread([ui = &m_ui, work = m_work, session, destination, handler] {
            runMovieExport(ui, work, session, destination, handler);
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
        m_ui.showNothingToExportAlert();
        return;
    }
    ExportPanelRequest request;
    request.nameFieldText = defaultName();
    request.message = package == Package::fcpxml ? fcpxmlPanelMessage() : fcp7PanelMessage();
    request.directory = m_preferences.lastExportDirectory();
    ExportSavePanel *panel = m_ui.makeSavePanel(request);
    m_guard.present(panel, [this, panel, session, handler, package](bool accepted,
                                                                    const QStringList &selection) {
        panel->deleteLater();
        if (!accepted || selection.isEmpty())
            return;
        storeDirectory(panel);
        const QString destination = selection.first();
        const QString name = TimelineExport::packageName(destination);
        auto writer = package == Package::fcpxml ? m_work.writeFCPXMLPackage : m_work.writeFCP7Package;
        const QString label =
            package == Package::fcpxml ? QStringLiteral("FCPXML") : QStringLiteral("FCP7 XML");
        postToMainThread([writer, label, session, name, destination, handler] {
            runPackageExport(writer, label, session, name, destination, handler);
        });
    });
}

} // namespace lumacast
