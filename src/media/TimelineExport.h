#pragma once

#include "media/TimelineExportClip.h"
#include "model/Session.h"

#include <QCoroTask>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// The preparation both editing-timeline exports share: the checked takes in timeline order, the
// package folder with its "media" copies, and one measured clip per checked take.
namespace lumacast::timeline_export {

// One checked take in timeline order, with the name the timeline shows for it.
struct Entry {
    QString name;
    Take take;
};

// What the media layer reads of a movie, before our own defaults are applied.
struct LoadedVideoTrack {
    double naturalWidth = 0;
    double naturalHeight = 0;
    // The preferred transform's linear part (a b / c d); a quarter turn swaps width and height.
    double a = 1, b = 0, c = 0, d = 1;
    double nominalFrameRate = 0;
};

struct LoadedAudioDescription {
    int channelsPerFrame = 0;
    double sampleRate = 0;
};

struct LoadedAudioTrack {
    // Absent when the track has no format description the layer can read as audio.
    std::optional<LoadedAudioDescription> description;
};

struct LoadedMovie {
    double duration = 0; // seconds
    QList<LoadedVideoTrack> videoTracks;
    QList<LoadedAudioTrack> audioTracks;
};

// Opens a movie and reads its tracks; throws the media layer's error when the movie cannot be
// opened or read. Called on a worker thread, so it must not touch main-thread objects.
using MovieLoader = std::function<LoadedMovie(const QString &moviePath)>;

// The facts a clip is built from, after the defaults for missing video or audio are applied.
struct MovieFacts {
    double fullDuration = 0;
    int width = 1920;
    int height = 1080;
    double fps = 60;
    QList<int> audioTrackChannels;
    int audioRate = 48000;

    friend bool operator==(const MovieFacts &, const MovieFacts &) = default;
};

MovieFacts movieFacts(const LoadedMovie &movie);

// The checked takes scene by scene, named "<scene> — <take>"; scenes without a checked take are
// skipped but still counted in the scene numbers.
QList<Entry> makeEntries(const Session &session);

// The trimmed range of a take inside a movie of `fullDuration` seconds, kept inside the movie.
struct ClipRange {
    double trimStart = 0;
    double trimmedDuration = 0;
};
ClipRange clipRange(double fullDuration, double takeTrimStart, double takeTrimEnd);

// Prepares the package folder `destination` (the chosen location itself): measures every checked
// take's movie, copies it into its "media" folder once and returns one clip per checked take,
// whose copies are named under `destination`. Without `buildFolder` an earlier export at
// `destination` is replaced first and the package is made in place; with one, `destination` is
// only checked and the media go into `buildFolder` (to be swapped in by the caller). A movie that
// holds no track that can be read is refused before anything is written (takeWithoutTracks,
// naming its entry). Throws TimelineExportError, FileSystemError or the loader's error
// (MediaError for a take that is a symbolic link).
QCoro::Task<QList<Clip>> prepare(Session session, QString destination, MovieLoader loader,
                                 QString buildFolder = QString());

// The name a package's document and timeline take from its location: the last path component as
// typed, but for a timeline document's extension at its end ("Talk.fcpxml" gives "Talk",
// "Demo v1.5" stays "Demo v1.5").
QString packageName(const QString &location);

// The file name of a package's document: `name` and `extension` (".fcpxml"), the name shortened
// when the two would not fit the file system's limit. A package name that fits the file system
// so fits it as the document's name too; the timeline keeps the name whole.
QString documentFileName(const QString &name, const QString &extension);

// Writes a finished document atomically in UTF-8; throws FileSystemError.
void writeDocument(const QString &path, const QString &text);

// One editing-timeline document format: its file extension (".fcpxml"), the name its log line
// gives it ("FCPXML") and how its text is built from the clips, titled `name`.
struct DocumentFormat {
    QString extension;
    QString logName;
    std::function<QString(const QList<Clip> &clips, const QString &name)> build;
};

// The package routine both writers share: prepares the package folder, builds the document and
// writes it as `documentFileName` (name, the format's extension) beside the "media" folder,
// then logs "<logName> export wrote <n> clips → <path>". Errors of either step reach the caller
// unchanged; a failed write leaves the copied media without a document.
QCoro::Task<void> writePackage(Session session, QString name, QString packageFolder,
                               MovieLoader loader, DocumentFormat format);

} // namespace lumacast::timeline_export
