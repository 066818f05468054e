#include "Commands.h"

#include "media/FCP7XMLWriter.h"
#include "media/FCPXMLWriter.h"
#include "media/TimelineExportAsset.h"
#include "model/SessionManifest.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <exception>

// export-fcpxml / export-fcp7 SESSION_FOLDER OUT_PACKAGE: writes an editing-timeline package of
// the session's checked takes, exactly as the Export menu does after its save panel.
namespace {

using namespace lumacast;
using namespace lumacast_media;

enum class Kind { fcpxml, fcp7 };

int exportTimeline(const QStringList &args, Kind kind)
{
    const QString command = kind == Kind::fcpxml ? QStringLiteral("export-fcpxml")
                                                 : QStringLiteral("export-fcp7");
    if (args.size() != 2) {
        err(QStringLiteral("usage: lumacast-media %1 SESSION_FOLDER OUT_PACKAGE").arg(command));
        return 2;
    }
    const QString folder = QFileInfo(args[0]).absoluteFilePath();
    const QString package = QDir::cleanPath(QFileInfo(args[1]).absoluteFilePath());

    try {
        const Session session = SessionManifest::fromJson(readManifest(folder)).makeSession(folder);
        const QString name = timeline_export::packageName(package);
        std::exception_ptr failure;
        auto run = [&]() -> QCoro::Task<> {
            try {
                QCoro::Task<void> work = kind == Kind::fcpxml
                    ? writeFCPXMLPackage(session, name, package, timeline_export::assetLoader())
                    : writeFCP7Package(session, name, package, timeline_export::assetLoader());
                co_await work;
            } catch (...) {
                failure = std::current_exception();
            }
        };
        const InterruptWatch interrupts(exitRemovingWorkingFiles);
        QCoro::waitFor(run());
        if (failure)
            std::rethrow_exception(failure);
        out(QDir(package).filePath(timeline_export::documentFileName(
            name, kind == Kind::fcpxml ? QStringLiteral(".fcpxml") : QStringLiteral(".xml"))));
        return 0;
    } catch (const Error &error) {
        err(error.message());
        return 1;
    }
}

const CommandRegistration fcpxml{"export-fcpxml", "export-fcpxml SESSION_FOLDER OUT_PACKAGE",
                                 [](const QStringList &a) { return exportTimeline(a, Kind::fcpxml); }};
const CommandRegistration fcp7{"export-fcp7", "export-fcp7 SESSION_FOLDER OUT_PACKAGE",
                               [](const QStringList &a) { return exportTimeline(a, Kind::fcp7); }};

} // namespace
