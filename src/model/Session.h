#pragma once

#include "model/Error.h"

#include <QDateTime>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUuid>

#include <optional>

namespace lumacast {

// One recorded movie of a scene. Identity is `id`; equality compares every field.
struct Take {
    QUuid id;
    QString filename;    // the movie's name inside the session folder's "takes" folder
    double duration = 0; // seconds
    QDateTime recordedAt;
    std::optional<QString> name;
    double trimStart = 0; // seconds; start of the kept range
    double trimEnd = 0;   // seconds; end of the kept range (== duration keeps the whole take)
    std::optional<double> playheadPosition;

    bool operator==(const Take &) const = default;

    // True only for an existing regular file of more than 1024 bytes; every failure (missing
    // file, unreadable attributes, a path that cannot name a file) gives false.
    static bool isUsableFile(const QString &path);

    // True for a name that can only ever denote an entry directly inside the "takes" folder:
    // valid Unicode, not empty, no "/", no "..", no NUL or other control character. Paths to
    // take movies are only ever built from names that pass this test; any other name counts as
    // a missing movie.
    static bool isSafeFilename(const QString &filename);

    // Brings both trims into 0...duration; when the start is then not below the end the whole
    // take is kept (0 and duration).
    void clampTrims();

    // The record's own JSON object (trims required, "name" and "playheadPosition" optional).
    // `fromJson` throws JsonDecodeError.
    QJsonObject toJson() const;
    static Take fromJson(const QJsonObject &object);
};

// One scene: its takes in recording order and at most one checked take.
struct RecordingScene {
    QUuid id;
    std::optional<QString> name; // absent: shown as "Scene " and its position counted from 1
    QList<Take> takes;
    std::optional<QUuid> selectedTakeID;

    bool operator==(const RecordingScene &) const = default;

    // Removes every take with this id; a check on it is cleared.
    void removeTake(const QUuid &takeID);

    // A copy of this scene (at `sourceIndex` in its session) with fresh ids, file names mapped
    // through `renamedFiles` (old name -> new name) where it has them, the name followed by
    // " (copy)", and the check on the copy of the checked take.
    RecordingScene duplicateScene(qsizetype sourceIndex,
                                  const QHash<QString, QString> &renamedFiles) const;

    QJsonObject toJson() const;
    static RecordingScene fromJson(const QJsonObject &object); // throws JsonDecodeError
};

// The whole document, held by value. No equality and no coding of its own: it is stored
// through SessionManifest.
struct Session {
    QUuid id;
    QDateTime createdAt;
    QList<RecordingScene> scenes;
    QString scratchURL;               // the session's working folder
    std::optional<QString> bundleURL; // the saved ".lumacast" package
    qsizetype currentSceneIndex = 0;  // the scene new takes go to
    bool isDirty = false;

    // An empty value, for code that fills every field itself (the manifest conversion).
    Session() = default;
    // A new session for a scratch folder: fresh id, created now, one empty scene.
    explicit Session(const QString &scratchURL);

    // Creates "Lumacast/Sessions/<UPPER-CASE UUID>/takes" under the user's cache folder and
    // returns the UUID folder. Throws FileSystemError; folders made before a failure stay.
    static QString makeScratchFolder();

    // Removes a scene. A session of fewer than two scenes is left untouched; otherwise the
    // session becomes dirty, even when no scene matched, and the current scene stays the same
    // scene where it still exists.
    void removeScene(const QUuid &sceneID);

    // Scene by scene, the first take whose id is the scene's selectedTakeID.
    QList<Take> checkedTakes() const;
    // Sum of trimEnd - trimStart over the checked takes, in seconds.
    double checkedDuration() const;

    bool hasBundle() const { return bundleURL.has_value(); }

    // Removes the package folder when there is one, else the scratch folder. Throws
    // FileSystemError.
    void discardStorage() const;
};

} // namespace lumacast
