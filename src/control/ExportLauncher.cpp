#include "control/ExportLauncher.h"

#include "control/AppStateManager.h"
#include "control/FileManagerReveal.h"
#include "control/NetworkUpdater.h"
#include "store/AppLog.h"
#include "store/SessionStore.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>

namespace lumacast {

namespace {

struct ExportRow {
    const char *logPrefix;
    const char *label;
};

ExportRow rowFor(ExportLauncher::Kind kind)
{
    switch (kind) {
    case ExportLauncher::Kind::video:
        return {"export started — ", "Exporting Video…"};
    case ExportLauncher::Kind::fcpxml:
        return {"FCPXML export started — ", "Exporting to Final Cut Pro…"};
    case ExportLauncher::Kind::fcp7xml:
        return {"FCP7 XML export started — ", "Exporting for Premiere…"};
    }
    return {"", ""};
}


} // namespace

ExportLauncher::ExportLauncher(AppStateManager &manager)
    : m(manager)
{
    // The file manager and the opener answer later; the manager, which owns this launcher, may
    // be gone by then.
    m_reveal = [this, alive = QPointer<AppStateManager>(&manager)](const QString &path) {
        FileManagerReveal(QDBusConnection::sessionBus(), {}, [this, alive, path](const QString &folder) {
            if (alive)
                showRevealFailed(path, folder);
        }).reveal(path);
    };
}

void ExportLauncher::showRevealFailed(const QString &path, const QString &folder)
{
    m.m_sessionLog.append(QStringLiteral("show in file manager failed — no file manager, no folder opener"));
    m.presentAlert(QStringLiteral("Can't show the file"),
                   QStringLiteral("No file manager answered and no application opens folders on this desktop. "
                                  "“%1” is in %2.")
                       .arg(QFileInfo(path).fileName(), folder),
                   AlertStyle::warning);
}

void ExportLauncher::startExport(Kind kind)
{
    if (m.m_tailOperation || !m.m_currentSession || !m.m_currentSession->hasBundle() || m.m_isExporting)
        return;
    const ExportRow row = rowFor(kind);
    m.m_sessionLog.append(QString::fromUtf8(row.logPrefix) + QString::number(checkedTakeCount(m.m_currentSession))
                          + QStringLiteral(" takes"));
    const QPointer<AppStateManager> alive(&m);
    const QString label = QString::fromUtf8(row.label);
    const Session session = *m.m_currentSession;
    // The result belongs to this recording, even when a hand-over or Open replaced it meanwhile.
    const QString folder = SessionStore::sessionFolder(session);
    auto handler = [alive, label, folder](const ExportEvent &event) {
        if (alive)
            alive->handleExportResult(event, label, folder);
    };
    ExportService &exporter = *m.m_services.exporter;
    switch (kind) {
    case Kind::video:
        exporter.exportVideo(session, handler);
        break;
    case Kind::fcpxml:
        exporter.exportFCPXML(session, handler);
        break;
    case Kind::fcp7xml:
        exporter.exportFCP7XML(session, handler);
        break;
    }
}

void ExportLauncher::appendToHistoryOf(const QString &folder, const QString &line)
{
    if (m.m_currentSession && QDir::cleanPath(SessionStore::sessionFolder(*m.m_currentSession)) == QDir::cleanPath(folder))
        m.m_sessionLog.append(line);
    else
        SessionLogger::appendTo(folder, line);
}

void ExportLauncher::handleExportResult(const ExportEvent &event, const QString &label, const QString &exportedFolder)
{
    switch (event.kind) {
    case ExportEvent::Kind::started:
        m.setExportLabel(label);
        m.setExportProgress(0);
        m.setIsExporting(true);
        break;
    case ExportEvent::Kind::progress:
        m.setExportProgress(event.fraction);
        break;
    case ExportEvent::Kind::succeeded:
        appendToHistoryOf(exportedFolder, QStringLiteral("export completed — ") + QFileInfo(event.location).fileName());
        m.setIsExporting(false);
        m.setExportProgress(0);
        showExportComplete(event.location);
        break;
    case ExportEvent::Kind::failed: {
        const QString description = event.errorDescription();
        appendToHistoryOf(exportedFolder, QStringLiteral("export failed — ") + description);
        m.setIsExporting(false);
        m.setExportProgress(0);
        m.presentAlert(QStringLiteral("Export failed"), description, AlertStyle::warning);
        break;
    }
    }
}

void ExportLauncher::showExportComplete(const QString &location)
{
    const int chosen = m.runAlert(AlertRequest{QStringLiteral("Export complete"), QFileInfo(location).fileName(),
                                               AlertStyle::informational,
                                               {QStringLiteral("Show in File Manager"), QStringLiteral("OK")}});
    if (chosen == 0 && m_reveal)
        m_reveal(location);
}

void ExportLauncher::checkForUpdates()
{
    m.m_services.application->becomeRegularApplication();
    m.m_services.application->activateIgnoringOtherApps();
    UpdaterService &updater = *m.m_services.updater;
    if (updater.canCheckForUpdates()) {
        updater.checkForUpdates();
        return;
    }
    m.presentAlert(QStringLiteral("Can't check for updates"),
                   QStringLiteral("The update feed is not configured. Set a valid %1 in Lumacast's build "
                                  "configuration.")
                       .arg(QString::fromUtf8(NetworkUpdater::kFeedSetting)),
                   AlertStyle::warning);
}

} // namespace lumacast
