#include "control/FolderFollower.h"

#include "control/AppStateManager.h"
#include "store/Preferences.h"
#include "store/ScratchClaim.h"
#include "store/SessionStore.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFileInfo>

namespace lumacast {

namespace {

// "“Talk.lumacast”", or "the unsaved recording".
QString displayName(const Session &session)
{
    return session.bundleURL ? QStringLiteral("“%1”").arg(QFileInfo(QDir::cleanPath(*session.bundleURL)).fileName())
                             : QStringLiteral("the unsaved recording");
}

QString capitalized(QString text)
{
    if (!text.isEmpty())
        text[0] = text.at(0).toUpper();
    return text;
}

QString counted(qsizetype count, const char *what)
{
    return QStringLiteral("%1 %2%3").arg(count).arg(QLatin1String(what)).arg(count == 1 ? "" : "s");
}

QString contents(const Session &session)
{
    qsizetype takes = 0;
    for (const RecordingScene &scene : session.scenes)
        takes += scene.takes.size();
    return counted(session.scenes.size(), "scene") + QStringLiteral(", ") + counted(takes, "take");
}

// `path` in `from` (the folder itself or an item in it) as it is named in `to`.
QString movedPath(const QString &path, const QString &from, const QString &to)
{
    if (path == from)
        return to;
    return path.startsWith(from + QLatin1Char('/')) ? to + path.mid(from.size()) : path;
}

} // namespace

FolderFollower::FolderFollower(AppStateManager &manager) : m(manager) {}

bool FolderFollower::isLost() const
{
    return m_lost && m.isCurrentSession(m_lost);
}

void FolderFollower::letGo()
{
    if (m.m_currentSession)
        m_lost = m.m_currentSession->id;
}

bool FolderFollower::follow()
{
    if (!m.m_currentSession || !m.m_scratchClaim)
        return true;
    if (isLost())
        return false;
    const ScratchClaim::Whereabouts where = m.m_scratchClaim->whereabouts();
    switch (where.place) {
    case ScratchClaim::Whereabouts::Place::unchanged:
        return true;
    case ScratchClaim::Whereabouts::Place::moved:
        moveTo(where.folder, where.inTrash, where.replaced);
        return true;
    case ScratchClaim::Whereabouts::Place::removed:
        reportLoss(where.replaced);
        return false;
    }
    return true;
}

void FolderFollower::moveTo(const QString &folder, bool inTrash, bool replaced)
{
    Session session = *m.m_currentSession;
    const QString from = SessionStore::sessionFolder(session);
    const QString name = displayName(session);
    session.scratchURL = movedPath(session.scratchURL, from, folder);
    if (session.bundleURL)
        session.bundleURL = folder;
    m.logApp(QStringLiteral("[app] the recording's folder moved — %1 is now %2").arg(from, folder));
    m.m_sessionLog.close();
    m.m_sessionLog.open(folder);
    m.m_sessionLog.append(QStringLiteral("followed — moved from ") + from);
    m.setCurrentSession(session); // claims it under its new path, and the title follows
    if (m.m_currentTakeURL)
        m.setCurrentTakeURL(movedPath(*m.m_currentTakeURL, from, folder));
    if (m.m_tailOperation) {
        TailOperation operation = *m.m_tailOperation;
        for (QString *path : {&operation.originalURL, &operation.tailURL, &operation.stagedOutputURL})
            *path = movedPath(*path, from, folder);
        m.setTailOperation(operation);
    }
    if (session.bundleURL && m.m_services.preferences->lastOpenedDocument() == from)
        m.m_services.preferences->setLastOpenedDocument(folder);
    if (inTrash && !(m_toldTrash && *m_toldTrash == session.id)) {
        tellOfTrash(QStringLiteral("Recording moved to the Trash"),
                    QStringLiteral("%1 was moved to the Trash while it was open.").arg(capitalized(name)), folder);
    } else if (replaced) {
        tellLater(QStringLiteral("Recording moved"),
                  QStringLiteral("%1 was moved to %2 while it was open, and another item now has its old name. "
                                 "Lumacast goes on saving the recording where it is now and leaves that item as it is.")
                      .arg(capitalized(name), folder));
    }
}

void FolderFollower::tellIfInTrash()
{
    if (!m.m_currentSession || !m.m_currentSession->bundleURL || !ScratchClaim::isInTrash(*m.m_currentSession->bundleURL))
        return;
    const QString folder = *m.m_currentSession->bundleURL;
    tellOfTrash(QStringLiteral("Recording in the Trash"),
                QStringLiteral("%1 is in the Trash.").arg(capitalized(displayName(*m.m_currentSession))), folder);
}

void FolderFollower::tellOfTrash(const QString &title, const QString &what, const QString &folder)
{
    m_toldTrash = m.m_currentSession->id;
    tellLater(title, what
                  + QStringLiteral(" Lumacast goes on saving it there (%1); emptying the Trash deletes it. To keep it, "
                                   "choose Save Recording As… or put it back.")
                        .arg(folder));
}

void FolderFollower::reportLoss(bool replaced)
{
    const Session &session = *m.m_currentSession;
    const QString folder = SessionStore::sessionFolder(session);
    m_lost = session.id;
    if (m.m_saveTask) {
        m.m_saveTask->cancel();
        m.m_saveTask.reset();
    }
    // Every save fails from now on; this is the one notice of it.
    m.m_autosaveFailed = true;
    m.logApp(QStringLiteral("[app] the recording's folder is gone — %1 (%2), nothing more is written there")
                 .arg(folder, replaced ? QStringLiteral("another item has its name") : QStringLiteral("removed")));
    const QString name = capitalized(displayName(session));
    const QString lost = QStringLiteral("The recording (%1) and its movies are no longer on the disk; what is on "
                                        "screen can no longer be saved.")
                             .arg(contents(session));
    if (replaced)
        tellLater(QStringLiteral("Recording replaced"),
                  QStringLiteral("%1 was replaced while it was open: another item now has its name (%2). Lumacast "
                                 "leaves it as it is and writes nothing into it.\n\n")
                          .arg(name, folder)
                      + lost);
    else
        tellLater(QStringLiteral("Recording deleted"),
                  QStringLiteral("%1 was deleted, or moved to another disk, while it was open (%2).\n\n")
                          .arg(name, folder)
                      + lost);
}

void FolderFollower::tellLater(const QString &title, const QString &text)
{
    const QPointer<AppStateManager> alive(&m);
    postToMainThread(alive, [alive, title, text] { alive->presentAlert(title, text, AlertStyle::warning); });
}

QString FolderFollower::goneText() const
{
    const QString name = m.m_currentSession ? displayName(*m.m_currentSession) : QStringLiteral("the recording");
    return capitalized(name) + QStringLiteral(" is no longer on the disk (it was deleted, moved to another disk or "
                                              "replaced while it was open): nothing more is written under its name.");
}

QString FolderFollower::whatQuitLoses() const
{
    if (!m.m_currentSession)
        return {};
    const Session &session = *m.m_currentSession;
    if (isLost())
        return QStringLiteral("Quit Without Saving closes what is on screen of %1 (%2), which is no longer on the disk.")
            .arg(displayName(session), contents(session));
    const QString last = m.m_undoActionName ? QStringLiteral(" (the last: “%1”)").arg(*m.m_undoActionName) : QString();
    return QStringLiteral("Quit Without Saving loses your changes to %1 since it was last saved%2; what is on the disk "
                          "stays as it was then.")
        .arg(displayName(session), last);
}

} // namespace lumacast
