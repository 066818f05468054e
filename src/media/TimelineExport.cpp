#include "media/TimelineExport.h"

#include "media/ConcatenationComposition.h"
#include "media/ExportErrors.h"
#include "media/WorkingItem.h"
#include "store/FileName.h"
#include "model/LogCategories.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <memory>
#include <system_error>

namespace lumacast::timeline_export {

namespace fs = std::filesystem;

namespace {

fs::path toPath(const QString &path)
{
    return fs::path(path.toStdString());
}

[[noreturn]] void throwFileSystem(const QString &operation, const QString &path,
                                  const std::error_code &code)
{
    throw FileSystemError(operation, path, code.value(), QString::fromStdString(code.message()));
}

QString sessionTakesFolder(const Session &session)
{
    return QDir(session.bundleURL.value_or(session.scratchURL)).filePath(QStringLiteral("takes"));
}

bool isInside(const QString &path, const QString &folder)
{
    const QString canonicalPath = QFileInfo(path).canonicalFilePath();
    const QString canonicalFolder = QFileInfo(folder).canonicalFilePath();
    if (canonicalPath.isEmpty() || canonicalFolder.isEmpty())
        return false;
    return canonicalPath == canonicalFolder
        || canonicalPath.startsWith(canonicalFolder + QLatin1Char('/'))
        || canonicalFolder == QLatin1String("/");
}

// Step 3 of the package folder: only an earlier export (a real folder holding "media") is
// replaced. A symbolic link is never followed into someone else's folder, and a folder that
// holds the session being exported is never removed: that would delete the very recordings
// the export is about to copy.
// Returns whether an earlier export stands there (to be replaced); throws when what stands
// there may not be.
bool checkDestination(const QString &destination, const QString &sessionFolder)
{
    std::error_code code;
    const fs::path path = toPath(destination);
    const fs::file_status status = fs::symlink_status(path, code);
    if (code && code != std::errc::no_such_file_or_directory)
        throwFileSystem(QStringLiteral("Inspect"), destination, code);
    if (!fs::exists(status))
        return false;
    const bool earlierExport = fs::is_directory(status)
        && fs::exists(fs::symlink_status(path / "media", code));
    if (!earlierExport) {
        throw TimelineExportError::destinationNotReplaceable(
            QDir::cleanPath(destination).section(QLatin1Char('/'), -1));
    }
    if (isInside(sessionFolder, destination)) {
        throw TimelineExportError::destinationHoldsSession(
            QDir::cleanPath(destination).section(QLatin1Char('/'), -1));
    }
    return true;
}

void clearDestination(const QString &destination, const QString &sessionFolder)
{
    if (!checkDestination(destination, sessionFolder))
        return;
    std::error_code code;
    fs::remove_all(toPath(destination), code);
    if (code)
        throwFileSystem(QStringLiteral("Remove"), destination, code);
}

// Each checked take's movie measured where it lies, by file name, before anything is written: a
// movie that holds no track that can be read, or cannot be read as a movie at all, refuses the
// export, naming its take. A movie that is
// missing, a link or no file is left to the copy, which says so in its turn.
QHash<QString, MovieFacts> measureMovies(const QList<Entry> &entries, const QString &takesFolder,
                                         const MovieLoader &loader)
{
    QHash<QString, MovieFacts> measured;
    for (const Entry &entry : entries) {
        const QString &filename = entry.take.filename;
        const QFileInfo source(QDir(takesFolder).filePath(filename));
        if (measured.contains(filename) || !Take::isSafeFilename(filename) || source.isSymLink() || !source.isFile())
            continue;
        LoadedMovie movie;
        try {
            movie = loader(source.filePath());
        } catch (const Error &error) {
            if (!session_exporter::isDamagedMovie(error))
                throw;
            throw TimelineExportError::takeWithoutTracks(entry.name);
        }
        if (movie.videoTracks.isEmpty() && movie.audioTracks.isEmpty())
            throw TimelineExportError::takeWithoutTracks(entry.name);
        measured.insert(filename, movieFacts(movie));
    }
    return measured;
}

} // namespace

MovieFacts movieFacts(const LoadedMovie &movie)
{
    MovieFacts facts;
    facts.fullDuration = movie.duration;
    if (!movie.videoTracks.isEmpty()) {
        const LoadedVideoTrack &video = movie.videoTracks.first();
        // The transformed size, so a portrait recording reports its upright size.
        const double width = video.naturalWidth * video.a + video.naturalHeight * video.c;
        const double height = video.naturalWidth * video.b + video.naturalHeight * video.d;
        facts.width = int(roundedToInt64(std::abs(width)).value_or(0));
        facts.height = int(roundedToInt64(std::abs(height)).value_or(0));
        facts.fps = video.nominalFrameRate > 0 ? video.nominalFrameRate : 60;
    }
    for (const LoadedAudioTrack &track : movie.audioTracks) {
        int channels = 2;
        if (track.description) {
            if (track.description->channelsPerFrame != 0)
                channels = track.description->channelsPerFrame;
            const double rate = track.description->sampleRate;
            if (std::isfinite(rate) && rate >= 1 && rate < 2147483648.0)
                facts.audioRate = int(rate);
        }
        facts.audioTrackChannels.append(channels);
    }
    return facts;
}

QList<Entry> makeEntries(const Session &session)
{
    QList<Entry> entries;
    for (qsizetype i = 0; i < session.scenes.size(); ++i) {
        const RecordingScene &scene = session.scenes[i];
        if (!scene.selectedTakeID)
            continue;
        for (qsizetype j = 0; j < scene.takes.size(); ++j) {
            const Take &take = scene.takes[j];
            if (take.id != *scene.selectedTakeID)
                continue;
            const QString scenePart =
                scene.name.value_or(QStringLiteral("Scene ") + QString::number(i + 1));
            const QString takePart =
                take.name.value_or(QStringLiteral("Take ") + QString::number(j + 1));
            entries.append(Entry{scenePart + QStringLiteral(" \u2014 ") + takePart, take});
            break;
        }
    }
    return entries;
}

ClipRange clipRange(double fullDuration, double takeTrimStart, double takeTrimEnd)
{
    // A session value that was never validated can carry a negative start or an end before its
    // start; neither may turn into a negative time in a document.
    ClipRange range;
    range.trimStart = std::max(0.0, std::min(fullDuration, takeTrimStart));
    const double wanted = takeTrimEnd - takeTrimStart;
    range.trimmedDuration = range.trimStart + wanted > fullDuration
        ? fullDuration - range.trimStart
        : wanted;
    range.trimmedDuration = std::max(0.0, range.trimmedDuration);
    return range;
}

QCoro::Task<QList<Clip>> prepare(Session session, QString destination, MovieLoader loader,
                                 QString buildFolder)
{
    const QList<Entry> entries = makeEntries(session);
    if (entries.isEmpty())
        throw TimelineExportError::noSelectedTakes();
    // The clips name their copies by absolute location.
    destination = QDir::cleanPath(QDir::current().absoluteFilePath(destination));

    const bool aside = !buildFolder.isEmpty();
    const QString finalMediaFolder = QDir(destination).filePath(QStringLiteral("media"));
    const QString mediaFolder =
        aside ? QDir(buildFolder).filePath(QStringLiteral("media")) : finalMediaFolder;
    // Callables and tasks are named locals: GCC 12 destroys some temporaries of a co_await
    // expression twice.
    const QString takesFolder = sessionTakesFolder(session);
    auto measureAll = [entries, takesFolder, loader] { return measureMovies(entries, takesFolder, loader); };
    QCoro::Task<QHash<QString, MovieFacts>> measuring = runInBackground("package media", std::move(measureAll));
    const QHash<QString, MovieFacts> measured = co_await measuring;

    const QString sessionFolder = session.bundleURL.value_or(session.scratchURL);
    auto makeFolder = [destination, mediaFolder, sessionFolder, aside] {
        if (aside)
            checkDestination(destination, sessionFolder);
        else
            clearDestination(destination, sessionFolder);
        std::error_code code;
        fs::create_directories(toPath(mediaFolder), code);
        if (code)
            throwFileSystem(QStringLiteral("Create folder"), mediaFolder, code);
        return true;
    };
    QCoro::Task<bool> folderMade = runInBackground("package folder", std::move(makeFolder));
    co_await folderMade;

    // Two checked takes may share one movie (a duplicated scene keeps its file names): the
    // movie is copied once and every clip that uses it refers to that copy.
    QSet<QString> copied;
    QList<Clip> clips;
    for (const Entry &entry : entries) {
        const QString filename = entry.take.filename;
        const QString copy = QDir(mediaFolder).filePath(filename);
        const QString finalCopy = QDir(finalMediaFolder).filePath(filename);
        if (!copied.contains(filename)) {
            const QString source = QDir(takesFolder).filePath(filename);
            auto copyMovie = [filename, source, copy, takesFolder, take = entry.take] {
                std::error_code code;
                if (!Take::isSafeFilename(filename)
                    || !fs::exists(fs::symlink_status(toPath(source), code)))
                    throw TimelineExportError::missingSource(filename);
                session_exporter::takeMoviePath(takesFolder, take);  // refuses a linked take
                fs::copy_file(toPath(source), toPath(copy), code);
                if (code)
                    throwFileSystem(QStringLiteral("Copy"), source, code);
            };
            QCoro::Task<void> copying = runInBackground("package media", std::move(copyMovie));
            co_await copying;
            copied.insert(filename);
        }
        const MovieFacts facts = measured.value(filename);

        const ClipRange range =
            clipRange(facts.fullDuration, entry.take.trimStart, entry.take.trimEnd);
        Clip clip;
        clip.name = entry.name;
        clip.filename = filename;
        clip.copiedURL = finalCopy;
        clip.fullDuration = facts.fullDuration;
        clip.trimStart = range.trimStart;
        clip.trimmedDuration = range.trimmedDuration;
        clip.width = facts.width;
        clip.height = facts.height;
        clip.fps = facts.fps;
        clip.audioTrackChannels = facts.audioTrackChannels;
        clip.audioRate = facts.audioRate;
        clips.append(clip);
    }
    co_return clips;
}

QString packageName(const QString &location)
{
    const QString last = QDir::cleanPath(location).section(QLatin1Char('/'), -1);
    // Any other dot is part of the name ("Demo v1.5").
    for (const QLatin1String extension : {QLatin1String(".fcpxml"), QLatin1String(".xml")}) {
        if (last.size() > extension.size() && last.endsWith(extension, Qt::CaseInsensitive))
            return last.left(last.size() - extension.size());
    }
    return last;
}

QString documentFileName(const QString &name, const QString &extension)
{
    return file_name::shortened(name, file_name::kLongest - QFile::encodeName(extension).size()) + extension;
}

void writeDocument(const QString &path, const QString &text)
{
    QSaveFile file(path);
    // Unbuffered: a full disk must fail the write, not vanish inside commit().
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw FileSystemError(QStringLiteral("Write"), path, 0, file.errorString());
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit())
        throw FileSystemError(QStringLiteral("Write"), path, 0, file.errorString());
}

QCoro::Task<void> writePackage(Session session, QString name, QString packageFolder,
                               MovieLoader loader, DocumentFormat format)
{
    // The package is built beside its location and swapped in whole: a failure (or a kill,
    // through the working item's name) leaves an earlier package as it was and nothing else.
    const QString destination = QDir::cleanPath(QDir::current().absoluteFilePath(packageFolder));
    WorkingItem::removeStale(QFileInfo(destination).absolutePath());
    const auto staging = std::make_shared<WorkingItem>(destination);
    // A named task: GCC 12 mishandles some temporaries of a co_await expression.
    QCoro::Task<QList<Clip>> prepared =
        prepare(std::move(session), destination, std::move(loader), staging->path());
    const QList<Clip> clips = co_await prepared;
    const QString document = documentFileName(name, format.extension);
    writeDocument(QDir(staging->path()).filePath(document), format.build(clips, name));
    // The media copies reach the disk here: a wait of its own, off the main thread.
    auto committing = runInBackground("package commit", [staging] { staging->commit(); });
    co_await std::move(committing);
    const QString path = QDir(destination).filePath(document);
    qCInfo(log::exporting(), "%s export wrote %ld clips \u2192 %s", qUtf8Printable(format.logName),
           long(clips.size()), qUtf8Printable(path));
}

} // namespace lumacast::timeline_export
