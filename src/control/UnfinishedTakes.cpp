#include "control/UnfinishedTakes.h"

#include "control/AppStateManager.h"
#include "control/TakeRecording.h"
#include "model/LogCategories.h"
#include "platform/av/MediaError.h"
#include "platform/av/MovieProbe.h"
#include "platform/av/TakeJournal.h"
#include "platform/av/TakeRecovery.h"
#include "store/DiskSync.h"
#include "store/PackageFolder.h"
#include "store/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

namespace lumacast {

namespace {

constexpr char kNoteKind[] = "lumacast-take";

QUuid noteValue(const QByteArray &note, const QByteArray &key)
{
    for (const QByteArray &line : note.split('\n'))
        if (line.startsWith(key + '='))
            return QUuid::fromString(QString::fromUtf8(line.mid(key.size() + 1)));
    return {};
}

} // namespace

UnfinishedTakes::UnfinishedTakes(AppStateManager &manager) : m(manager) {}

QByteArray UnfinishedTakes::journalNote(const Session &session, const QUuid &sceneID)
{
    return QByteArray(kNoteKind) + "\nsession=" + session.id.toString(QUuid::WithoutBraces).toUtf8()
         + "\nscene=" + sceneID.toString(QUuid::WithoutBraces).toUtf8() + '\n';
}

bool UnfinishedTakes::hasJournal(const QString &moviePath)
{
    return QFileInfo::exists(av::TakeJournal::pathFor(moviePath));
}

std::optional<UnfinishedTakes::Found> UnfinishedTakes::finishFromJournal(const QString &path, bool filed)
{
    const QString name = QFileInfo(path).fileName();
    try {
        // The journal stays until a manifest names the take: a crash before then finds it again.
        const av::TakeRecovery::Result result = av::TakeRecovery::recover(path, 0, true);
        if (result.wasFinished) {
            // Finished, and no manifest named it yet: a take like any other.
            const auto duration = av::movieDurationSeconds(path);
            if (!duration || *duration <= 0)
                return std::nullopt;
            if (!filed)
                m.logApp(QStringLiteral("[app] take %1 was never filed — filed back").arg(name));
            return Found{TakeRecording::newTake(path, *duration, QFileInfo(path).lastModified()),
                         noteValue(result.note, "scene")};
        }
        m.logApp(QStringLiteral("[app] take %1 finished from its journal — %2 of %3 samples, %4 s")
                     .arg(name)
                     .arg(result.samplesKept)
                     .arg(result.samplesJournaled)
                     .arg(result.seconds, 0, 'f', 2));
        return Found{TakeRecording::newTake(path, result.seconds, QFileInfo(path).lastModified()),
                     noteValue(result.note, "scene")};
    } catch (const Error &error) {
        if (error.domain() == av::MediaError::mediaDomain() && error.code() == av::MediaError::NoFrame) {
            giveUp(name, filed);
            return std::nullopt;
        }
        // Nothing is deleted: the movie and its journal stay for another try, or for the user.
        m.logApp(QStringLiteral("[app] take %1 could not be recovered, left as it is: %2")
                     .arg(name, describeErrorChain(error)));
        m_keptAsTheyAre.append(name);
        return std::nullopt;
    }
}

void UnfinishedTakes::giveUp(const QString &name, bool filed)
{
    // Never started, or killed before a whole frame reached the disk: there is nothing to
    // recover. The journal goes and, unless the manifest names it, the movie with it; the movie
    // only once its journal is gone, so that a movie is never left with half its story.
    const QString folder = SessionStore::sessionFolder(*m.m_currentSession);
    const bool journalGone = PackageFolder::removeTakeFile(folder, av::TakeJournal::pathFor(name));
    if (journalGone && !filed && PackageFolder::removeTakeFile(folder, name)) {
        m.logApp(QStringLiteral("[app] take %1 held no whole frame — given up and removed").arg(name));
        return;
    }
    m.logApp(QStringLiteral("[app] take %1 held no whole frame — given up").arg(name));
}

void UnfinishedTakes::releaseJournals(const Session &written)
{
    const QString folder = SessionStore::sessionFolder(written);
    const QDir takes(SessionStore::takesFolder(written));
    QSet<QString> named;
    for (const RecordingScene &scene : written.scenes)
        for (const Take &take : scene.takes)
            named.insert(take.filename);
    const QStringList entries = PackageFolder::takeFiles(folder);
    const QSet<QString> regularFiles(entries.begin(), entries.end());
    const QString suffix = av::TakeJournal::pathFor(QString());
    bool removed = false;
    for (const QString &entry : entries) {
        if (!entry.endsWith(suffix))
            continue;
        const QString movie = entry.chopped(suffix.size());
        // A movie its journal has yet to finish keeps it for another try.
        if (named.contains(movie) && regularFiles.contains(movie) && av::TakeRecovery::hasIndex(takes.filePath(movie)))
            removed = PackageFolder::removeTakeFile(folder, entry) || removed;
    }
    // Gone on the disk before a later manifest stops naming the take (an undo, a join): a journal
    // a power cut brought back would file it again.
    if (removed) {
        try {
            DiskSync::folder(takes.path());
        } catch (const Error &error) {
            qCWarning(log::persistence(), "%s", qUtf8Printable(error.localizedDescription()));
        }
    }
}

void UnfinishedTakes::recover()
{
    if (!m.m_currentSession)
        return;
    const Session &session = *m.m_currentSession;
    const QDir takes(SessionStore::takesFolder(session));
    QSet<QString> filed;
    for (const RecordingScene &scene : session.scenes)
        for (const Take &take : scene.takes)
            filed.insert(take.filename);

    QList<Found> found;
    m_keptAsTheyAre.clear();
    // Regular files of the recording's own "takes" only: recovery writes into what it finds,
    // and removes what holds nothing.
    QStringList entries = PackageFolder::takeFiles(SessionStore::sessionFolder(session));
    entries.sort();
    const QSet<QString> regularFiles(entries.begin(), entries.end());
    for (const QString &entry : std::as_const(entries)) {
        // A tail is never a take of its own: one cut off is removed as any tail is.
        if (QFileInfo(entry).suffix() != QLatin1String("mov") || !Take::isSafeFilename(entry)
            || entry.endsWith(QLatin1String(".tail.mov")) || entry.endsWith(QLatin1String(".joining.mov")))
            continue;
        const QString path = takes.filePath(entry);
        // Only a take's journal says a movie was recorded as a take: a movie without one (a copy,
        // a working movie, anything else the program wrote) is never filed as a take.
        if (!hasJournal(path))
            continue;
        if (!regularFiles.contains(av::TakeJournal::pathFor(entry))) {
            // A journal that is not a regular file of the folder's own (a link, say) is never
            // read: what it says could remove the movie. Both stay as they are.
            m.logApp(QStringLiteral("[app] take %1 left as it is: its journal is not a file").arg(entry));
            m_keptAsTheyAre.append(entry);
            continue;
        }
        const bool named = filed.contains(entry);
        const std::optional<Found> take = finishFromJournal(path, named);
        if (take && !named)
            found.append(*take);
    }
    // The manifest read from the disk names these: their journals have done their work.
    releaseJournals(session);
    if (!found.isEmpty())
        file(found);
    else if (!m_keptAsTheyAre.isEmpty())
        m.presentAlert(m_keptAsTheyAre.size() == 1 ? QStringLiteral("A take could not be recovered")
                                                   : QStringLiteral("Takes could not be recovered"),
                       keptText(), AlertStyle::warning);
}

QString UnfinishedTakes::keptText() const
{
    if (m_keptAsTheyAre.size() == 1)
        return QStringLiteral("Lumacast stopped while a take was being recorded, and the take \u201C%1\u201D could not "
                              "be finished from its journal. The movie and its journal were kept in the recording's "
                              "\u201Ctakes\u201D folder.")
            .arg(m_keptAsTheyAre.first());
    return QStringLiteral("%1 takes (%2) could not be finished from their journals. Their movies and journals were "
                          "kept in the recording's \u201Ctakes\u201D folder.")
        .arg(m_keptAsTheyAre.size())
        .arg(m_keptAsTheyAre.join(QStringLiteral(", ")));
}

void UnfinishedTakes::file(const QList<Found> &found)
{
    m.checkpoint(found.size() == 1 ? QStringLiteral("Recover Take") : QStringLiteral("Recover Takes"));
    Session session = *m.m_currentSession;
    double seconds = 0;
    for (const Found &f : found) {
        qsizetype index = -1;
        for (qsizetype i = 0; i < session.scenes.size(); ++i)
            if (!f.sceneID.isNull() && session.scenes[i].id == f.sceneID)
                index = i;
        RecordingScene &scene = index >= 0 ? session.scenes[index] : TakeRecording::sceneForNewTake(session);
        scene.takes.append(f.take);
        seconds += f.take.duration;
        m.m_sessionLog.append(QStringLiteral("take recovered after a crash — %1 duration=%2s")
                                  .arg(f.take.filename)
                                  .arg(f.take.duration, 0, 'f', 1));
    }
    session.isDirty = true;
    m.setCurrentSession(session);
    m.scheduleSave();
    const QString text =
        found.size() == 1
            ? QStringLiteral("Lumacast stopped while a take was being recorded. The take was recovered up to its "
                             "last second (%1 s) and added to its scene.")
                  .arg(seconds, 0, 'f', 1)
            : QStringLiteral("Lumacast stopped while takes were being recorded. %1 takes were recovered (%2 s in "
                             "all) and added to their scenes.")
                  .arg(found.size())
                  .arg(seconds, 0, 'f', 1);
    // One alert: what could not be finished is told with what was.
    m.presentAlert(found.size() == 1 ? QStringLiteral("A take was recovered") : QStringLiteral("Takes were recovered"),
                   m_keptAsTheyAre.isEmpty() ? text : text + QLatin1Char(' ') + keptText(),
                   m_keptAsTheyAre.isEmpty() ? AlertStyle::informational : AlertStyle::warning);
}

} // namespace lumacast
