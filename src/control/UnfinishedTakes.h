#pragma once

#include "model/Session.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QUuid>

namespace lumacast {

class AppStateManager;

// Takes a crash or a power cut cut off, found when a recording is opened or resumed: a take
// movie without its index but with its journal is finished from the journal and filed into the
// scene it was recorded for; a finished take movie whose journal is still there (no manifest
// named it yet: its take ended just before the crash) is filed back likewise. A movie without a
// journal is never filed: the journal is what says it was recorded as a take, and it stays until
// a manifest on the disk names the take (`releaseJournals`). Each is whole-take trimmed, written to
// the history log, one undo step together, and one alert tells the user, also of any movie its
// journal could not finish, which is kept as it is with its journal. A movie that holds nothing
// (its whole journal says no frame reached the disk: a take that never started) is removed with
// its journal unless the manifest names it; only regular files directly in the recording's own
// "takes" are read or removed, never anything through a link. Works on the manager's fields;
// main thread only.
class UnfinishedTakes {
public:
    explicit UnfinishedTakes(AppStateManager &manager);

    // What a take's journal opens with: the session and the scene it is recorded for.
    static QByteArray journalNote(const Session &session, const QUuid &sceneID);
    // Whether the orphan clean-up must leave the movie: its journal is there, so it has not yet
    // been recovered, named by a manifest or given up.
    static bool hasJournal(const QString &moviePath);
    // Removes the journals of the finished takes `written` names, once its manifest is on the
    // disk. Regular files of the recording's own "takes" only.
    static void releaseJournals(const Session &written);

    // Looks through the current session's takes folder and files back what it can finish.
    void recover();

private:
    struct Found {
        Take take;
        QUuid sceneID;
    };
    // `filed`: the manifest names the movie, which then stays whatever its journal says.
    std::optional<Found> finishFromJournal(const QString &path, bool filed);
    void giveUp(const QString &name, bool filed);
    void file(const QList<Found> &found);
    QString keptText() const;

    AppStateManager &m;
    QStringList m_keptAsTheyAre; // movies whose journal could not finish them, this look
};

} // namespace lumacast
