#include "control/Launch.h"

#include "control/AppStateManager.h"
#include "model/LogCategories.h"
#include "store/InFlightItem.h"
#include "store/Preferences.h"
#include "store/SessionStore.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFileInfo>

using namespace std::chrono_literals;

namespace lumacast {

namespace {

const char *flag(bool value)
{
    return value ? "true" : "false";
}

// The start screen and the tray list recovered recordings only while no recording is open: with
// the last document reopened, nothing else would tell that an unsaved one waits.
void tellOfRecoveredRecordings(AppStateManager &manager)
{
    const qsizetype count = manager.recoverableSessions().size();
    if (count == 0)
        return;
    if (count == 1) {
        manager.presentAlert(QStringLiteral("An unsaved recording was recovered"),
                             QStringLiteral("Lumacast stopped before a recording was saved. Resume or discard it "
                                            "from File ▸ Recover Recording."),
                             AlertStyle::informational);
        return;
    }
    manager.presentAlert(QStringLiteral("Unsaved recordings were recovered"),
                         QStringLiteral("Lumacast stopped before %1 recordings were saved. Resume or discard them "
                                        "from File ▸ Recover Recording.")
                             .arg(count),
                         AlertStyle::informational);
}

// Runs by itself once started; its frame frees itself when it ends. `command` keeps a second
// launch's recording waiting until this one is open.
QCoro::Task<> reopenTask(QPointer<AppStateManager> manager, QString url, bool activate,
                         [[maybe_unused]] InteractionGate::SharedHold command)
{
    const QString name = QFileInfo(url).fileName();
    QString failure;
    try {
        auto opening = manager->openSession(url, activate);
        co_await opening;
    } catch (const Error &error) {
        failure = error.localizedDescription();
    }
    if (!manager)
        co_return;
    AppLog &appLog = *manager->services().appLog;
    if (failure.isEmpty()) {
        appLog.log(QStringLiteral("[app] reopenLastDocument — opened ") + name);
        tellOfRecoveredRecordings(*manager);
        co_return;
    }
    appLog.log(QStringLiteral("[app] reopenLastDocument — FAILED: ") + failure);
    qCCritical(log::app(), "Failed to reopen last document: %s", qUtf8Printable(failure));
    // Otherwise the launch would end with the tray icon alone: no window and no word.
    manager->presentAlert(QStringLiteral("Couldn’t open recording"), failure, AlertStyle::warning);
    if (manager)
        manager->openReviewWindow(!activate);
}

} // namespace

Launch::Launch(AppStateManager &manager)
    : m(manager)
{
}

void Launch::startServices()
{
    // Now, before anything is opened (a document handed to the launch is opened from the event
    // loop): what a killed join, Save As or export left is litter, never a take or a recording.
    if (const int removed = InFlightItem::removeAbandoned())
        m.logApp(QStringLiteral("[app] init — removed %1 item(s) left by a killed save or export").arg(removed));
    UpdaterService &updater = *m.m_services.updater;
    if (updater.start()) // a failure leaves it unstarted, without a message
        updater.setAutomaticallyChecksForUpdates(m.m_automaticallyChecksForUpdates);
    m.refreshCameras();
    m.refreshMicrophones();
    const QPointer<AppStateManager> alive(&m);
    postToMainThread(alive, [alive] { alive->runLaunchTask(); });
}

QCoro::Task<> Launch::runLaunchTask()
{
    m.logApp(QStringLiteral("[app] init — starting launch flow"));
    const QPointer<AppStateManager> alive(&m);
    auto permissions = m.m_services.permissions->runLaunchFlow();
    co_await permissions; // silent; its answer is not needed here
    if (!alive)
        co_return;
    m.restoreGlobalShortcuts();
    scanRecoverableSessions();
    reopenLastDocumentAtLaunch();
    m.m_services.scheduler->schedule(1500ms, &m, [alive] {
        if (alive)
            alive->prewarmOpenPanel();
    });
    m.logApp(QStringLiteral("[app] init — ready (recoverable=%1)").arg(m.m_recoverableSessions.size()));
}

QString Launch::scratchFolderForDisplay()
{
    QString folder = QDir::cleanPath(SessionStore::scratchRoot());
    const QString home = QDir::cleanPath(QDir::homePath());
    if (folder.startsWith(home + QLatin1Char('/')))
        folder = QStringLiteral("~") + folder.mid(home.size());
    return folder + QLatin1Char('/');
}

void Launch::scanRecoverableSessions()
{
    const QString root = SessionStore::scratchRoot();
    if (root.isEmpty())
        return;
    if (const int removed = m.m_services.store->removeEmptyScratchFolders(root))
        m.logApp(QStringLiteral("[app] init — removed %1 recording(s) never saved that held nothing").arg(removed));
    const SessionStore::Recovery recovery = m.m_services.store->recoverSessions(root);
    m.setRecoverableSessions(recovery.sessions);
    // A Save As killed once its package was in place: that package is the last document.
    if (!recovery.saved.isEmpty()) {
        m.logApp(QStringLiteral("[app] init — %1 was saved before a kill").arg(QFileInfo(recovery.saved.last()).fileName()));
        m.m_services.preferences->setLastOpenedDocument(recovery.saved.last());
    }
    if (recovery.failureCount > 0)
        m.presentAlert(QStringLiteral("Recovery issue"),
                       QStringLiteral("%1 recording(s) could not be recovered because their manifest is corrupt. "
                                      "Check %2 for the raw .mov files.")
                           .arg(recovery.failureCount)
                           .arg(scratchFolderForDisplay()),
                       AlertStyle::warning);
}

void Launch::reopenLastDocumentAtLaunch()
{
    const std::optional<QString> url = m.m_services.preferences->lastOpenedDocument();
    const bool exists = url && QFileInfo::exists(*url);
    const bool hasSession = m.m_currentSession.has_value();
    m.logApp(QStringLiteral("[app] reopenLastDocument — evaluating (reopen=%1, url=%2, fileExists=%3, currentSession=%4)")
                 .arg(flag(m.m_reopenLastDocument), url ? QFileInfo(*url).fileName() : QStringLiteral("nil"),
                      flag(exists), flag(hasSession)));
    const bool requestedScreen = m.m_services.permissions->didRequestScreenThisLaunch();
    const QPointer<AppStateManager> alive(&m);
    if (m.m_reopenLastDocument && exists && !hasSession) {
        m.logApp(QStringLiteral("[app] reopenLastDocument — opening %1 (didRequestScreenThisLaunch=%2)")
                     .arg(QFileInfo(*url).fileName(), flag(requestedScreen)));
        // Not activated while the screen permission dialog of this launch may hold the focus.
        postToMainThread(alive, [alive, path = *url, requestedScreen,
                                 command = m.interactions().share(InteractionGate::Kind::working)] {
            reopenTask(alive, path, !requestedScreen, command);
        });
        return;
    }
    m.logApp(QStringLiteral("[app] reopenLastDocument — skipped; opening empty main window "
                            "(didRequestScreenThisLaunch=%1)")
                 .arg(flag(requestedScreen)));
    postToMainThread(alive, [alive, requestedScreen] { alive->openReviewWindow(requestedScreen); });
}

} // namespace lumacast
