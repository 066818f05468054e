// export-movie SESSION_FOLDER OUT.mov: exports the session's checked takes as one movie with the
// real exporter, as "Export Video…" does after its save panel. The exporter's log lines and the
// path taken (passthrough, mixdown, canvas) go to standard error with the progress.
#include "Commands.h"

#include "capture/TakeWriter.h"
#include "media/ExportErrors.h"
#include "media/MovieExport.h"
#include "media/TimelineExport.h"
#include "model/SessionManifest.h"

#include <QCoroTask>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <exception>

namespace {

using namespace lumacast;
using namespace lumacast_media;

QString g_path = QStringLiteral("passthrough");
QtMessageHandler g_previous = nullptr;

void exportLines(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category).endsWith(".export")) {
        if (message.startsWith(QLatin1String("mixed sizes")))
            g_path = QStringLiteral("canvas");
        else if (message.contains(QLatin1String("audio mixdown")) && g_path != QLatin1String("canvas"))
            g_path = QStringLiteral("mixdown");
        err(QStringLiteral("[export] ") + message);
        return;
    }
    if (g_previous)
        g_previous(type, context, message);
}

int exportMovieCommand(const QStringList &args)
{
    if (args.size() != 2) {
        err(QStringLiteral("usage: lumacast-media export-movie SESSION_FOLDER OUT.mov"));
        return 2;
    }
    const QString folder = QFileInfo(args[0]).absoluteFilePath();
    const QString destination = QFileInfo(args[1]).absoluteFilePath();
    g_previous = qInstallMessageHandler(exportLines);
    try {
        const Session session = SessionManifest::fromJson(readManifest(folder)).makeSession(folder);
        const QList<Take> takes = session.checkedTakes();
        if (takes.isEmpty()) {
            err(QStringLiteral("Nothing to export: no scenes have a selected take."));
            return 1;
        }
        session_exporter::MovieExportOptions options;
        options.videoSettings = TakeWriter::videoSettings;
        for (const timeline_export::Entry &entry : timeline_export::makeEntries(session))
            options.takeNames.insert(entry.take.id, entry.name);
        int lastPercent = -1;
        std::exception_ptr failure;
        auto run = [&]() -> QCoro::Task<> {
            try {
                QCoro::Task<void> work = session_exporter::exportMovie(
                    takes, QDir(folder).filePath(QStringLiteral("takes")), destination,
                    [&](double f) {
                        const int percent = int(std::floor(f * 100));
                        if (percent != lastPercent) {
                            lastPercent = percent;
                            err(QStringLiteral("progress %1%").arg(percent));
                        }
                    },
                    options);
                co_await work;
            } catch (...) {
                failure = std::current_exception();
            }
        };
        const InterruptWatch interrupts(exitRemovingWorkingFiles);
        QCoro::waitFor(run());
        if (failure) {
            err(QStringLiteral("export failed: ") + describeErrorChain(failure));
            return 1;
        }
        err(QStringLiteral("path: ") + g_path);
        out(destination);
        return 0;
    } catch (...) {
        err(describeErrorChain(std::current_exception()));
        return 1;
    }
}

const CommandRegistration reg{"export-movie", "export-movie SESSION_FOLDER OUT.mov", exportMovieCommand};

} // namespace
