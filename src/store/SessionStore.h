#pragma once

#include "model/Error.h"
#include "model/Session.h"
#include "model/SessionManifest.h"

#include <QHash>
#include <QSet>
#include <QList>
#include <QString>
#include <QStringList>

#include <qcoro/qcorotask.h>

#include <functional>
#include <optional>

namespace lumacast {

// Where a session touches the disk as a document: "manifest.json", packages, the recovery of
// scratch sessions, the tail's working files, take copies for a duplicated scene and the check
// of every take's stored duration against its movie.
//
// A session's folder is its package when it has one, else its scratch folder; every operation
// reads and writes only there. Names taken from a manifest never lead outside the folder.
// Used on the main thread; `save` and `copyTakeFiles` act on their arguments and the disk alone,
// and copy files as `FileCopy` does, so the state manager runs them on a worker thread.
class SessionStore {
public:
    // The movie length in seconds, or nullopt when the file cannot be read as a movie. It may be
    // called on a worker thread.
    using DurationProbe = std::function<std::optional<double>(const QString &path)>;

    // A "manifest.json" that could not be read, or whose content is not a valid manifest.
    // Domain "Lumacast.SessionStore.ManifestError", code the case's position in `Kind`;
    // `underlying` is the text of the failure beneath.
    class ManifestError : public Error {
    public:
        enum class Kind { Unreadable, Corrupt };

        static ManifestError unreadable(const QString &path, const QString &underlying);
        static ManifestError corrupt(const QString &path, const QString &underlying);

        Kind kind() const { return m_kind; }
        const QString &path() const { return m_path; }
        const QString &underlying() const { return m_underlying; }

    private:
        ManifestError(Kind kind, const QString &path, const QString &underlying, QString message);

        Kind m_kind;
        QString m_path;
        QString m_underlying;
    };

    struct Recovery {
        QList<Session> sessions;  // in directory-listing order
        int failureCount = 0;     // folders whose manifest was unreadable or invalid
        QStringList saved;        // packages whose Save As a kill cut off once they were in place
    };

    struct DurationCheck {
        QStringList missing;    // take movies that are not there
        QStringList unreadable; // take movies that are there but cannot be read (cut off, garbage, empty, a folder)
        QStringList corrected;  // takes whose duration and trims were brought to their movie's
    };

    static constexpr const char *kManifestName = "manifest.json";
    static constexpr const char *kTakesFolderName = "takes";
    static constexpr const char *kPackageExtension = ".lumacast";
    static constexpr double kDurationTolerance = 0.1;

    explicit SessionStore(DurationProbe probe = {});

    // The package when there is one, else the scratch folder.
    static QString sessionFolder(const Session &session);
    static QString takesFolder(const Session &session);
    // "Lumacast/Sessions" under the user's cache folder (not created here).
    static QString scratchRoot();

    // Writes "manifest.json" into the session's folder atomically: an earlier manifest stays
    // whole when writing fails. The movies the manifest on the disk named, and those in
    // `stillHeld` (the undo history's, a take's or a tail's under way), that this one does not
    // name are listed in the folder's TakeLedger first. Throws JsonEncodeError or
    // FileSystemError.
    void writeManifest(const Session &session, const QSet<QString> &stillHeld = {}) const;

    // The movie file names of every take of every scene.
    static QSet<QString> takeFilenames(const Session &session);

    // The bytes of the "manifest.json" at `path`: only a regular file (not a link, pipe or
    // device) of at most kLargestManifest bytes, so that no manifest blocks or exhausts memory.
    // Every reader of a manifest comes through here. Any thread. Throws ManifestError
    // (Unreadable).
    static QByteArray readManifestFile(const QString &path);
    static constexpr qint64 kLargestManifest = 64 * 1024 * 1024;

    // Reads and validates the manifest of a session folder and builds its session: a scratch
    // folder as openSession(folder), a package as openSession(package, package), so that it is
    // worked on in place. Throws ManifestError.
    Session openSession(const QString &scratchURL,
                        const std::optional<QString> &bundleURL = std::nullopt) const;

    // Saves the session into the package at `destination` and returns it with `bundleURL` set
    // and clean. A recording at `destination` that is open here or in another program, or whose
    // lock cannot be checked, is refused with an Error before anything is touched. The package
    // holds what the recording is made of: not the folder's lock; its ledger lists the movies
    // that came along, that its manifest does not name and that are Lumacast's (the old ledger's,
    // those the old manifest names, those in `stillHeld`: the undo history's); a package's movie
    // none of these names stays where it is. A history log or take journal the user may not read
    // is left out, and the copy's history begins anew, saying so. The new package is assembled beside the destination and swapped in, so that an
    // item already there is replaced only by a whole package. A scratch session's folder is
    // removed afterwards; a session that already has a package keeps it (saving elsewhere
    // copies, and the copy becomes the folder worked on), and saving onto its own package only
    // writes the manifest. A destination inside
    // the session's folder, or one that holds it, is refused. Throws Error or FileSystemError;
    // a failure in the folder being assembled names the destination's path instead.
    Session save(const Session &session, const QString &destination, const QSet<QString> &stillHeld = {}) const;

    // Every session left in the scratch root; folders without a manifest, or that another
    // running program has open (ScratchClaim), are skipped, those whose manifest is unreadable
    // or invalid are counted, logged and left as they are. A folder whose Save As put its
    // package in place before a kill is removed, and the package listed in `saved`, once that
    // package holds every take and movie the folder holds; else the folder is offered as any.
    Recovery recoverSessions(const QString &scratchRoot) const;

    // Removes the scratch folders of recordings that were never saved and hold nothing (no
    // manifest, an empty "takes", at most the history log): New Recording cut off in its first
    // instant. Only real folders of this user named as scratch folders are, and none a running
    // program claims (ScratchClaim). Returns how many went; failures are logged.
    int removeEmptyScratchFolders(const QString &scratchRoot) const;

    // Copies each named take movie in `takesFolder` to a fresh name in the same folder and
    // returns old name -> new name, the copies on the disk, each listed in the TakeLedger of the
    // folder that holds `takesFolder` before it is made. On a failure the copies made so far
    // are removed and FileSystemError is thrown.
    QHash<QString, QString> copyTakeFiles(const QStringList &filenames,
                                          const QString &takesFolder) const;

    // Removes the tail's working files (".tail.mov", ".joining.mov") that no take refers to and
    // the folder's TakeLedger lists.
    void cleanupReservedFiles(const Session &session) const;

    // Brings each take's duration to its movie's when they differ by more than the tolerance,
    // clamping the trims, and clears a scene's check on a missing movie. A movie that is there
    // but cannot be read keeps its check: the user chose that take, and an export stops on it. The movies are read one
    // at a time off the main thread; `session` belongs to the caller until the task ends.
    QCoro::Task<DurationCheck> verifyTakeDurations(Session &session) const;
    // The same check run on the calling thread.
    DurationCheck verifyTakeDurationsNow(Session &session) const;

    // `kept`: movies of the "takes" folder no take names, left where they are.
    static QString integrityReport(const QStringList &missing, const QStringList &corrected,
                                   const QStringList &kept = {}, const QStringList &unreadable = {});

    // How a save renames (renameat2's arguments, the result and errno as it gives them); empty
    // for renameat2 itself. A test puts in a file system without exchange, or a kill.
    using Rename = std::function<int(const char *from, const char *to, unsigned int flags)>;
    static void setRename(Rename rename);

private:
    DurationProbe m_probe;
};

} // namespace lumacast
