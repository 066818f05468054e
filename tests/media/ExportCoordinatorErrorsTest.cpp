// The exporter's shared pieces: error texts, the one-line error chain, the failure log line, the
// silent removal and the progress poll.
#include "media/ExportErrors.h"
#include "media/TimelineExportClip.h"
#include "platform/av/MediaError.h"
#include "store/AppLog.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using namespace lumacast;
using av::MediaError;
using session_exporter::ExportError;

namespace {

const QString kArrow = QStringLiteral(" \u27F5 ");

MediaError nested(int depth)
{
    MediaError error(QStringLiteral("FFmpeg"), -depth, QStringLiteral("level %1").arg(depth));
    for (int level = depth - 1; level >= 1; --level) {
        error = MediaError(MediaError::mediaDomain(), level, QStringLiteral("level %1").arg(level),
                           std::nullopt, std::make_shared<const MediaError>(error));
    }
    return error;
}

QString readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

TEST(ExportErrorChain, DescribesMediaErrorsOutermostFirstUpToFiveParts)
{
    const MediaError single(QStringLiteral("D"), 7, QStringLiteral("Cannot open"),
                            QStringLiteral("No such file"));
    EXPECT_EQ(describeErrorChain(single), QStringLiteral("D 7: Cannot open \u2014 No such file"));

    const MediaError inner(QStringLiteral("E"), 11, QStringLiteral("Read failed"));
    const MediaError outer(QStringLiteral("D"), 3, QStringLiteral("Export failed"),
                           QStringLiteral("The source broke"),
                           std::make_shared<const MediaError>(inner));
    EXPECT_EQ(describeErrorChain(std::make_exception_ptr(outer)),
              QStringLiteral("D 3: Export failed \u2014 The source broke") + kArrow
                  + QStringLiteral("E 11: Read failed"));

    const QString seven = describeErrorChain(nested(7));
    EXPECT_EQ(seven.split(kArrow).size(), 5) << seven.toStdString();
    EXPECT_TRUE(seven.startsWith(QStringLiteral("Lumacast.Media 1: level 1")));
    EXPECT_TRUE(seven.endsWith(QStringLiteral("Lumacast.Media 5: level 5")));
}

TEST(ExportErrorChain, OtherErrorsReadAsOnePartOfTheirOwnDomain)
{
    EXPECT_EQ(describeErrorChain(ExportError(ExportError::Code::cannotCreateExportSession)),
              QStringLiteral("Lumacast.SessionExporter.ExportError 1: Could not create export session"));
    EXPECT_EQ(describeErrorChain(timeline_export::TimelineExportError::noSelectedTakes()).section(':', 0, 0),
              QStringLiteral("Lumacast.TimelineExport.ExportError 2"));
    const FileSystemError files(QStringLiteral("Copy"), QStringLiteral("/x/take.mov"), 28,
                                QStringLiteral("No space left on device"));
    EXPECT_EQ(describeErrorChain(files), QStringLiteral("POSIX 28: ") + files.message());
    EXPECT_EQ(describeErrorChain(std::make_exception_ptr(std::runtime_error("boom"))),
              QStringLiteral("std.exception 0: boom"));
    EXPECT_EQ(describeErrorChain(std::make_exception_ptr(42)), QStringLiteral("unknown 0: Unknown error"));
    EXPECT_EQ(describeErrorChain(std::exception_ptr()), QStringLiteral("no error object"));

    EXPECT_EQ(errorDescription(std::make_exception_ptr(files)), files.message());
    EXPECT_EQ(errorDescription(std::make_exception_ptr(42)), QStringLiteral("Unknown error"));
}

TEST(ExportErrorChain, ExporterErrorsCompareByCaseAndCarryTheirTexts)
{
    const ExportError track(ExportError::Code::cannotCreateTrack);
    EXPECT_EQ(track.message(), QStringLiteral("Could not create composition track"));
    EXPECT_EQ(ExportError(ExportError::Code::exportFailed).message(), QStringLiteral("Export failed"));
    EXPECT_EQ(track, ExportError(ExportError::Code::cannotCreateTrack));
    EXPECT_FALSE(track == ExportError(ExportError::Code::exportFailed));
    EXPECT_EQ(qHash(track), qHash(ExportError(ExportError::Code::cannotCreateTrack)));
}

TEST(ExportFailureLog, WritesTheStepAndReturnsTheErrorToThrow)
{
    QTemporaryDir library;
    AppLog log(library.path());

    const std::exception_ptr none = session_exporter::logFailure(QStringLiteral("reader.startReading"),
                                                                nullptr, log);
    try {
        std::rethrow_exception(none);
    } catch (const ExportError &error) {
        EXPECT_EQ(error.kind(), ExportError::Code::exportFailed);
    } catch (...) {
        ADD_FAILURE() << "logFailure without an error must give exportFailed";
    }

    const auto given = std::make_exception_ptr(
        MediaError(QStringLiteral("FFmpeg"), -5, QStringLiteral("Write failed"), QStringLiteral("I/O error")));
    EXPECT_EQ(session_exporter::logFailure(QStringLiteral("writer.finish"), given, log), given);

    const QStringList lines = readAll(log.logPath())
                                  .split('\n', Qt::SkipEmptyParts)
                                  .filter(QStringLiteral("[export]"));
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(
        "] [export] FAILED at reader.startReading: no error object")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(
        "] [export] FAILED at writer.finish: FFmpeg -5: Write failed \u2014 I/O error")));
}

TEST(ExportRemoveIfPresent, RemovesFilesAndFoldersButNeverThroughALink)
{
    QTemporaryDir dir;
    session_exporter::removeIfPresent(std::nullopt);
    session_exporter::removeIfPresent(dir.filePath(QStringLiteral("missing.mov")));

    const QString file = dir.filePath(QStringLiteral("part.mov"));
    QFile(file).open(QIODevice::WriteOnly);
    session_exporter::removeIfPresent(file);
    EXPECT_FALSE(QFile::exists(file));

    const QString scratch = dir.filePath(QStringLiteral("LumacastExport-1/inner"));
    ASSERT_TRUE(QDir().mkpath(scratch));
    QFile(scratch + QStringLiteral("/a.mov")).open(QIODevice::WriteOnly);
    session_exporter::removeIfPresent(dir.filePath(QStringLiteral("LumacastExport-1")));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("LumacastExport-1"))));

    const QString kept = dir.filePath(QStringLiteral("kept"));
    ASSERT_TRUE(QDir().mkpath(kept));
    QFile(kept + QStringLiteral("/take.mov")).open(QIODevice::WriteOnly);
    const QString link = dir.filePath(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(kept, link));
    session_exporter::removeIfPresent(link);
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(QFile::exists(kept + QStringLiteral("/take.mov")));
}

TEST(ExportProgressPoll, ReportsOnTheLoopAfterAPeriodAndNeverAfterStop)
{
    double fraction = 0.25;
    QList<double> reports;
    session_exporter::ExportProgressPoll poll([&] { return fraction; },
                                             [&](double value) { reports << value; });
    QElapsedTimer clock;
    clock.start();
    poll.start();
    QDeadlineTimer deadline(3000);
    while (reports.isEmpty() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
    ASSERT_FALSE(reports.isEmpty());
    EXPECT_GE(clock.elapsed(), 90) << "the first report waits one period";
    EXPECT_EQ(reports.first(), 0.25);

    fraction = 0.75;
    while (reports.last() != 0.75 && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_EQ(reports.last(), 0.75);

    poll.stop();
    const qsizetype count = reports.size();
    QDeadlineTimer quiet(350);
    while (!quiet.hasExpired())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(reports.size(), count);
    EXPECT_FALSE(poll.isRunning());
}

} // namespace
