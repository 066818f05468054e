#include "Commands.h"

#include "store/SessionStore.h"

#include <QDir>
#include <QFileInfo>

// Runs the launch-time recovery scan on "Lumacast/Sessions" under a caches folder: one line per
// recovered session (folder name, session id, scene count), then the number of failures.
static lumacast_media::CommandRegistration reg{
    "recover", "recover CACHES_FOLDER", [](const QStringList &args) {
        using namespace lumacast_media;
        if (args.size() != 1) {
            err(QStringLiteral("usage: lumacast-media recover CACHES_FOLDER"));
            return 2;
        }
        if (!QFileInfo(args[0]).isDir()) {
            err(QStringLiteral("recover: not a folder: ") + args[0]);
            return 1;
        }
        const QString root = QDir(args[0]).filePath(QStringLiteral("Lumacast/Sessions"));
        const lumacast::SessionStore store;
        const lumacast::SessionStore::Recovery recovery = store.recoverSessions(root);
        for (const lumacast::Session &session : recovery.sessions) {
            out(QStringLiteral("%1 %2 %3")
                    .arg(QFileInfo(session.scratchURL).fileName(),
                         session.id.toString(QUuid::WithoutBraces).toUpper())
                    .arg(session.scenes.size()));
        }
        out(QStringLiteral("failed: %1").arg(recovery.failureCount));
        return 0;
    }};
