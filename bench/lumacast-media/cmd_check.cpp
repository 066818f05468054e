#include "Commands.h"

#include "platform/av/MovieProbe.h"
#include "store/SessionStore.h"

#include <QDir>
#include <QFileInfo>

// What a document open does to a session folder before it is shown: the tail's abandoned
// working files are removed and every take's duration is checked against its movie. Prints the
// integrity report, or nothing when all is well. The manifest itself is not rewritten.
static lumacast_media::CommandRegistration reg{
    "check", "check FOLDER", [](const QStringList &args) {
        using namespace lumacast_media;
        if (args.size() != 1) {
            err(QStringLiteral("usage: lumacast-media check FOLDER"));
            return 2;
        }
        const QString folder = QDir::cleanPath(QFileInfo(args[0]).absoluteFilePath());
        const lumacast::SessionStore store(&lumacast::av::movieDurationSeconds);
        try {
            const bool isPackage =
                folder.endsWith(QLatin1String(lumacast::SessionStore::kPackageExtension));
            lumacast::Session session = isPackage ? store.openSession(folder, folder)
                                                  : store.openSession(folder);
            store.cleanupReservedFiles(session);
            const auto check = store.verifyTakeDurationsNow(session);
            const QString report =
                lumacast::SessionStore::integrityReport(check.missing, check.corrected, {}, check.unreadable);
            if (!report.isEmpty())
                out(report);
        } catch (const lumacast::Error &error) {
            err(QStringLiteral("check: ") + error.message());
            return 1;
        }
        return 0;
    }};
