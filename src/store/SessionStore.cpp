#include "store/SessionStore.h"

#include "model/LogCategories.h"
#include "store/AppLog.h"
#include "store/AtomicFile.h"
#include "store/BoundedFile.h"
#include "store/DiskSync.h"
#include "store/FileCopy.h"
#include "store/InFlightItem.h"
#include "store/PackageFolder.h"
#include "store/ScratchClaim.h"
#include "store/TakeLedger.h"
#include "threads/ThreadBridge.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace lumacast {

namespace {

QString systemText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

[[noreturn]] void throwErrno(const QString &operation, const QString &path, int code)
{
    throw FileSystemError(operation, path, code, systemText(code));
}

QString childPath(const QString &folder, const QString &name)
{
    return folder + QLatin1Char('/') + name;
}

// Left in a scratch folder while its Save As puts the package in place: the package's path and
// the recording's id, so that after a kill the next launch knows the recording as saved.
constexpr const char *kSavedAsName = ".lumacast-saved-as";

SessionStore::Rename &renameSeam()
{
    static SessionStore::Rename rename;
    return rename;
}

int renameItem(const QByteArray &from, const QByteArray &to, unsigned int flags)
{
    if (renameSeam())
        return renameSeam()(from.constData(), to.constData(), flags);
    return ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), flags);
}

// lstat: a symbolic link is an item of its own, whatever it points at (or whether it points
// anywhere).
std::optional<struct stat> itemStatus(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return status;
}

bool itemExists(const QString &path)
{
    return itemStatus(path).has_value();
}

// Removes a file, a symbolic link (not what it points at) or a whole folder.
bool removeItem(const QString &path)
{
    const auto status = itemStatus(path);
    if (!status)
        return errno == ENOENT;
    if (S_ISDIR(status->st_mode))
        return QDir(path).removeRecursively();
    return ::unlink(QFile::encodeName(path).constData()) == 0;
}

// A file a recording keeps for itself, not part of what it is made of: its history log, a take's
// journal.
bool isHousekeeping(const QString &relative)
{
    return relative == QLatin1String(PackageFolder::kHistoryLogName)
        || (relative.startsWith(QLatin1String(SessionStore::kTakesFolderName) + QLatin1Char('/'))
            && relative.endsWith(QLatin1String(".journal")));
}

// Copies a folder tree to a destination that must not exist yet, without the items whose paths
// relative to `source` are in `skipped`. Symbolic links are copied as links, so the copy never
// reads anything outside the source folder. A housekeeping file this user may not read
// (another's, made under a strict umask) is left out and its relative path added to `leftOut`.
void copyTree(const QString &source, const QString &destination, const QSet<QString> &skipped,
              QStringList &leftOut, const QString &relative = {})
{
    const QByteArray destinationName = QFile::encodeName(destination);
    if (::mkdir(destinationName.constData(), 0755) != 0)
        throwErrno(QStringLiteral("Create folder"), destination, errno);

    const QDir dir(source);
    if (!dir.exists())
        throwErrno(QStringLiteral("Copy"), source, ENOENT);
    const QStringList names = dir.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &name : names) {
        const QString item = relative.isEmpty() ? name : childPath(relative, name);
        if (skipped.contains(item))
            continue;
        const QString from = childPath(source, name);
        const QString to = childPath(destination, name);
        const auto status = itemStatus(from);
        if (!status)
            throwErrno(QStringLiteral("Copy"), from, errno);
        if (S_ISDIR(status->st_mode)) {
            copyTree(from, to, skipped, leftOut, item);
        } else if (S_ISLNK(status->st_mode)) {
            QByteArray target(PATH_MAX, '\0');
            const ssize_t length =
                ::readlink(QFile::encodeName(from).constData(), target.data(), target.size());
            if (length < 0)
                throwErrno(QStringLiteral("Copy"), from, errno);
            target.truncate(length);
            if (::symlink(target.constData(), QFile::encodeName(to).constData()) != 0)
                throwErrno(QStringLiteral("Copy"), to, errno);
        } else if (S_ISREG(status->st_mode)) {
            try {
                FileCopy::copy(from, to);
            } catch (const FileSystemError &error) {
                if (!isHousekeeping(item) || error.path() != from || (error.code() != EACCES && error.code() != EPERM))
                    throw;
                leftOut << item;
            }
        } else {
            throw FileSystemError(QStringLiteral("Copy"), from, 0,
                                  QStringLiteral("Not a file or a folder"));
        }
    }
}

// `path` with the working folder `staging` it may lie in named as the package `target` it
// becomes.
QString asChosen(const QString &path, const QString &staging, const QString &target)
{
    if (path == staging)
        return target;
    if (path.startsWith(staging + QLatin1Char('/')))
        return target + path.mid(staging.size());
    return path;
}

// Puts `replacement` at `destination`, where an item already stands, so that at every moment
// one of the two is whole under its own name. Afterwards `replacement` names the old item.
void exchangeItems(const QString &replacement, const QString &destination)
{
    const QByteArray from = QFile::encodeName(replacement);
    const QByteArray to = QFile::encodeName(destination);
    if (renameItem(from, to, RENAME_EXCHANGE) == 0)
        return;
    const int code = errno;
    if (code != EINVAL && code != ENOSYS && code != ENOTSUP)
        throwErrno(QStringLiteral("Replace"), destination, code);

    // A file system without atomic exchange (FAT, exFAT, many network and FUSE mounts): the old
    // item goes aside first, listed so that after a kill before the second rename the next
    // launch puts it back under its name (and removes the new one, listed as the save's).
    const QFileInfo info(destination);
    const QString aside = childPath(info.absolutePath(), InFlightItem::replacedName(info.fileName()));
    const QByteArray asideName = QFile::encodeName(aside);
    const InFlightItem listed(aside);
    if (renameItem(to, asideName, 0) != 0)
        throwErrno(QStringLiteral("Replace"), destination, errno);
    if (renameItem(from, to, 0) != 0) {
        const int moveCode = errno;
        renameItem(asideName, to, 0);
        throwErrno(QStringLiteral("Replace"), destination, moveCode);
    }
    if (renameItem(asideName, from, 0) != 0)
        removeItem(aside);
}

// The path as the file system resolves it, also for an item that does not exist yet (its
// parent folder must). Empty when the parent folder cannot be resolved.
QString resolvedPath(const QString &path)
{
    const QFileInfo info(path);
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (parent.isEmpty())
        return {};
    return parent == QLatin1String("/") ? parent + info.fileName()
                                        : childPath(parent, info.fileName());
}

bool isInside(const QString &path, const QString &folder)
{
    if (folder == QLatin1String("/"))
        return path != folder;
    return path.startsWith(folder + QLatin1Char('/'));
}

void writeManifestInto(const Session &session, const QString &folder)
{
    const QByteArray data = SessionManifest(session).toJson();
    const QString path = childPath(folder, QString::fromLatin1(SessionStore::kManifestName));
    AtomicFile::replace(path, data);
    // The new name too: a manifest that lived only in the cache would leave, after a power cut,
    // an older one beside movies that were since removed as no longer named.
    DiskSync::folder(folder);
}

void logSaved(const QString &folder)
{
    qCInfo(log::persistence(), "saved manifest to %s",
           qUtf8Printable(QFileInfo(QDir::cleanPath(folder)).fileName()));
}

// Unprobed: no probe to read it with; NotMovie: there, and not readable as a movie.
enum class ProbeState { Missing, Unprobed, NotMovie, Read };

struct ProbeOutcome {
    ProbeState state = ProbeState::Missing;
    double seconds = 0;
};

// The movie of each take, scene by scene, in order. Names that could lead outside the takes
// folder count as missing movies and are never touched.
QStringList takeMoviePaths(const Session &session)
{
    const QString folder = SessionStore::takesFolder(session);
    QStringList paths;
    for (const RecordingScene &scene : session.scenes) {
        for (const Take &take : scene.takes)
            paths << (Take::isSafeFilename(take.filename) ? childPath(folder, take.filename)
                                                          : QString());
    }
    return paths;
}

QList<ProbeOutcome> probeMovies(const QStringList &paths, const SessionStore::DurationProbe &probe)
{
    QList<ProbeOutcome> outcomes;
    outcomes.reserve(paths.size());
    for (const QString &path : paths) {
        ProbeOutcome outcome;
        if (!path.isEmpty() && QFileInfo::exists(path)) {
            outcome.state = probe ? ProbeState::NotMovie : ProbeState::Unprobed;
            // A folder, a FIFO or a device is no movie, and reading a FIFO would never end.
            if (probe && QFileInfo(path).isFile()) {
                const std::optional<double> seconds = probe(path);
                // A length that is not a finite, non-negative number is not a length.
                if (seconds && std::isfinite(*seconds) && *seconds >= 0) {
                    outcome.state = ProbeState::Read;
                    outcome.seconds = *seconds;
                }
            }
        }
        outcomes << outcome;
    }
    return outcomes;
}

SessionStore::DurationCheck applyMovieDurations(Session &session,
                                                const QList<ProbeOutcome> &outcomes)
{
    SessionStore::DurationCheck check;
    qsizetype index = 0;
    for (RecordingScene &scene : session.scenes) {
        for (Take &take : scene.takes) {
            const ProbeOutcome outcome =
                index < outcomes.size() ? outcomes[index] : ProbeOutcome{ProbeState::Unprobed};
            ++index;
            if (outcome.state == ProbeState::Missing) {
                check.missing << take.filename;
                continue;
            }
            if (outcome.state != ProbeState::Read) {
                qCCritical(log::persistence(), "Could not read duration for %s",
                           qUtf8Printable(take.filename));
                // Cut off, garbage, an empty file, a folder: there, so not missing, and said
                // rather than opened as if whole. The user's check stays; an export names it.
                if (outcome.state == ProbeState::NotMovie)
                    check.unreadable << take.filename;
                continue;
            }
            const double actual = outcome.seconds;
            if (!(std::abs(take.duration - actual) > SessionStore::kDurationTolerance))
                continue;
            const double start = std::min(take.trimStart, actual);
            const double end = std::min(take.trimEnd, actual);
            if (start >= end) {
                take.trimStart = 0;
                take.trimEnd = actual;
            } else {
                take.trimStart = start;
                take.trimEnd = end;
            }
            take.duration = actual;
            check.corrected << take.filename;
        }
        if (scene.selectedTakeID) {
            for (const Take &take : std::as_const(scene.takes)) {
                if (take.id == *scene.selectedTakeID) {
                    if (check.missing.contains(take.filename))
                        scene.selectedTakeID.reset();
                    break;
                }
            }
        }
    }
    return check;
}

} // namespace

SessionStore::ManifestError::ManifestError(Kind kind, const QString &path,
                                           const QString &underlying, QString message)
    : Error(QStringLiteral("Lumacast.SessionStore.ManifestError"), int(kind), std::move(message)),
      m_kind(kind), m_path(path), m_underlying(underlying)
{
}

SessionStore::ManifestError SessionStore::ManifestError::unreadable(const QString &path,
                                                                    const QString &underlying)
{
    return ManifestError(Kind::Unreadable, path, underlying,
                         QStringLiteral("Cannot read manifest.json at ") + path
                             + QStringLiteral("."));
}

SessionStore::ManifestError SessionStore::ManifestError::corrupt(const QString &path,
                                                                 const QString &underlying)
{
    return ManifestError(Kind::Corrupt, path, underlying,
                         QStringLiteral("manifest.json at ") + path
                             + QStringLiteral(" is corrupt or has an unsupported format.\n\n")
                             + underlying);
}

SessionStore::SessionStore(DurationProbe probe) : m_probe(std::move(probe)) {}

QString SessionStore::sessionFolder(const Session &session)
{
    return session.bundleURL ? *session.bundleURL : session.scratchURL;
}

QString SessionStore::takesFolder(const Session &session)
{
    return childPath(sessionFolder(session), QString::fromLatin1(kTakesFolderName));
}

QString SessionStore::scratchRoot()
{
    return childPath(QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation),
                     QStringLiteral("Lumacast/Sessions"));
}

QSet<QString> SessionStore::takeFilenames(const Session &session)
{
    QSet<QString> names;
    for (const RecordingScene &scene : session.scenes) {
        for (const Take &take : scene.takes)
            names.insert(take.filename);
    }
    return names;
}

namespace {

// The movies the manifest on the disk names; none when it is missing or cannot be read.
QSet<QString> namedOnDisk(const QString &folder)
{
    try {
        const QByteArray data = SessionStore::readManifestFile(childPath(folder, QString::fromLatin1(SessionStore::kManifestName)));
        return SessionStore::takeFilenames(SessionManifest::fromJson(data).makeSession(folder));
    } catch (const std::exception &) {
        return {};
    }
}

// The movies of `source` that are Lumacast's own beyond what the saved recording names: the
// ledger's, those the manifest there still names (an edit let go of them) and those `stillHeld`
// (a deleted take the undo history can bring back, into the copy). A ledger that cannot be read
// counts for none of its names.
QSet<QString> ownMovies(const QString &source, const QSet<QString> &stillHeld)
{
    return TakeLedger::read(source) | namedOnDisk(source) | stillHeld;
}

// Lists in the copy the movies of `own` that came along and that the copy's manifest does not
// name: the copy's ledger is started anew from them.
void copyLedger(const QString &copy, const QSet<QString> &named, const QSet<QString> &own)
{
    QSet<QString> leftovers;
    for (const QString &name : own) {
        if (!named.contains(name) && itemExists(childPath(childPath(copy, QLatin1String(SessionStore::kTakesFolderName)), name)))
            leftovers.insert(name);
    }
    if (!leftovers.isEmpty())
        TakeLedger::update(copy, leftovers, {}); // failure logged: the leftovers then merely stay
}

// A copy's history log that could not be read from `source` begins anew, saying so.
void startHistoryAnew(const QString &copy, const QString &source)
{
    const QString reason =
        QStringLiteral("the history of %1 is not readable by this user; this history begins here").arg(source);
    qCWarning(log::persistence(), "save as — %s", qUtf8Printable(reason));
    SessionLogger::appendTo(copy, QStringLiteral("save as — ") + reason);
}

// Copies what the recording `saved` is made of from `source` into `copy`: not the folder's lock,
// ledger or saved-as note. A package's movie nothing would name in the copy (not its manifest,
// nor `own`: a user's file, another's deleted take whose ledger this user may not read) stays
// where it is; a scratch folder's comes along, as that folder goes.
void copyRecording(const QString &source, const QString &copy, const Session &saved, const QSet<QString> &own,
                   bool sourceIsScratch)
{
    QSet<QString> skipped{QLatin1String(ScratchClaim::kFileName), QLatin1String(TakeLedger::kFileName),
                          QLatin1String(kSavedAsName)};
    const QString takes = QLatin1String(SessionStore::kTakesFolderName) + QLatin1Char('/');
    const QSet<QString> known = SessionStore::takeFilenames(saved) | own;
    for (const QString &name : sourceIsScratch ? QStringList() : PackageFolder::takeFiles(source)) {
        if (name.endsWith(QLatin1String(".mov")) && !known.contains(name)
            && !itemExists(childPath(source, takes + name + QLatin1String(".journal")))) {
            skipped << takes + name;
            qCInfo(log::persistence(), "save as — %s stays in %s, named by nothing in the copy", qUtf8Printable(name),
                   qUtf8Printable(source));
        }
    }
    QStringList leftOut;
    copyTree(source, copy, skipped, leftOut);
    for (const QString &item : std::as_const(leftOut)) {
        if (item == QLatin1String(PackageFolder::kHistoryLogName))
            startHistoryAnew(copy, source);
        else
            qCWarning(log::persistence(), "save as — %s left out, not readable by this user", qUtf8Printable(item));
    }
}

void noteSavedAs(const QString &note, const QString &package, const QUuid &id)
{
    AtomicFile::replace(note, QFile::encodeName(package) + '\n' + id.toByteArray(QUuid::WithoutBraces));
    DiskSync::folder(QFileInfo(note).absolutePath());
}

// Whether `package` holds every take the scratch folder's manifest names and every movie of its
// "takes" (but those its ledger lists: let go of), each as large as it is there. A manifest
// there that cannot be read holds what no package can be shown to hold.
bool holdsEverything(const QString &package, const Session &saved, const QString &folder)
{
    const QString manifest = childPath(folder, QString::fromLatin1(SessionStore::kManifestName));
    if (itemExists(manifest)) {
        try {
            const QSet<QString> takes =
                SessionStore::takeFilenames(SessionManifest::fromJson(SessionStore::readManifestFile(manifest)).makeSession(folder));
            if (!SessionStore::takeFilenames(saved).contains(takes))
                return false;
        } catch (const std::exception &) {
            return false;
        }
    }
    const QSet<QString> letGo = TakeLedger::read(folder);
    const QString takes = QString::fromLatin1(SessionStore::kTakesFolderName);
    for (const QString &name : PackageFolder::takeFiles(folder)) {
        const auto here = itemStatus(childPath(childPath(folder, takes), name));
        const auto there = itemStatus(childPath(childPath(package, takes), name));
        if (!letGo.contains(name) && here && !(there && S_ISREG(there->st_mode) && there->st_size == here->st_size))
            return false;
    }
    return true;
}

// The package a scratch folder's Save As put in place before a kill, read from its note: only
// when the package there is that recording and holds all the folder holds. A note that says
// otherwise (killed before the rename, a replace put back, an older copy of the package put
// there since) is dropped, and the folder is a leftover like any other.
std::optional<QString> settledSaveAs(const QString &folder)
{
    const QString note = childPath(folder, QLatin1String(kSavedAsName));
    try {
        const QList<QByteArray> lines = BoundedFile::read(note, 64 * 1024).split('\n');
        const QString package = QFile::decodeName(lines.value(0));
        const QUuid id = QUuid::fromString(QLatin1String(lines.value(1)));
        const QByteArray data =
            SessionStore::readManifestFile(childPath(package, QString::fromLatin1(SessionStore::kManifestName)));
        const Session saved = SessionManifest::fromJson(data).makeSession(package);
        if (!id.isNull() && QFileInfo(package).isAbsolute() && saved.id == id) {
            if (holdsEverything(package, saved, folder))
                return package;
            qCWarning(log::persistence(), "%s lacks takes or movies its scratch folder holds, which stays",
                      qUtf8Printable(QFileInfo(package).fileName()));
        }
    } catch (const std::exception &) {
    }
    QFile::remove(note);
    return std::nullopt;
}

} // namespace

void SessionStore::setRename(Rename rename)
{
    renameSeam() = std::move(rename);
}

void SessionStore::writeManifest(const Session &session, const QSet<QString> &stillHeld) const
{
    const QString folder = sessionFolder(session);
    const QSet<QString> named = takeFilenames(session);
    // What the manifest on the disk names and this one no longer does is Lumacast's to delete
    // once nothing holds it: listed before the manifest stops naming it. A movie that was never
    // named (put back, renamed by a sync tool) is not.
    const QSet<QString> released = (namedOnDisk(folder) | stillHeld) - named;
    TakeLedger::update(folder, released, named);
    writeManifestInto(session, folder);
    logSaved(folder);
}

QByteArray SessionStore::readManifestFile(const QString &path)
{
    try {
        return BoundedFile::read(path, kLargestManifest);
    } catch (const FileSystemError &error) {
        throw ManifestError::unreadable(path, error.systemText());
    }
}

Session SessionStore::openSession(const QString &scratchURL,
                                  const std::optional<QString> &bundleURL) const
{
    const QString folder = bundleURL ? *bundleURL : scratchURL;
    const QString path = childPath(folder, QString::fromLatin1(kManifestName));

    const QByteArray data = readManifestFile(path);
    // Before anything in the folder is written to, listed or deleted.
    PackageFolder::checkItems(folder);

    try {
        return SessionManifest::fromJson(data).makeSession(scratchURL, bundleURL);
    } catch (const Error &error) {
        throw ManifestError::corrupt(path, error.localizedDescription());
    } catch (const std::exception &error) {
        throw ManifestError::corrupt(path, QString::fromUtf8(error.what()));
    }
}

Session SessionStore::save(const Session &session, const QString &destination, const QSet<QString> &stillHeld) const
{
    const QString source = sessionFolder(session);
    const QString target = QDir::cleanPath(QFileInfo(destination).absoluteFilePath());
    const QString resolvedSource = QFileInfo(source).canonicalFilePath();
    if (resolvedSource.isEmpty() || !QFileInfo(resolvedSource).isDir())
        throwErrno(QStringLiteral("Save"), source, ENOENT);
    const QString resolvedTarget = resolvedPath(target);
    if (resolvedTarget.isEmpty())
        throwErrno(QStringLiteral("Save"), QFileInfo(target).absolutePath(), ENOENT);

    Session result = session;
    result.bundleURL = target;
    result.isDirty = false;

    // Saving onto the package being worked on: the takes are already in place.
    if (resolvedTarget == resolvedSource) {
        writeManifest(result);
        return result;
    }
    if (isInside(resolvedTarget, resolvedSource))
        throw Error(QStringLiteral("The recording can't be saved inside its own folder (")
                    + target + QStringLiteral(")."));
    if (isInside(resolvedSource, resolvedTarget))
        throw Error(QStringLiteral("The recording can't replace a folder that contains it (")
                    + target + QStringLiteral(")."));

    // A recording open here or in another program (or one whose lock cannot be checked) is
    // never replaced; one that is not is held until it is gone, so that none opens it meanwhile.
    const auto replaceable = [&target] {
        if (const std::optional<QString> refusal = ScratchClaim::refusalToReplace(target))
            throw Error(*refusal);
    };
    replaceable();
    const auto status = itemStatus(target);
    const std::unique_ptr<ScratchClaim> replaced =
        status && S_ISDIR(status->st_mode) ? std::make_unique<ScratchClaim>(target) : nullptr;
    if (replaced && !replaced->isHeld())
        replaceable();

    const bool sourceIsScratch =
        !session.bundleURL && !source.endsWith(QLatin1String(kPackageExtension));
    // The new package is assembled beside the destination, complete with its manifest, and only
    // then put in place; until that moment the destination is untouched.
    const QFileInfo targetInfo(target);
    const QString staging =
        childPath(targetInfo.absolutePath(), InFlightItem::savingName(targetInfo.fileName()));
    const QString savedAs = childPath(source, QLatin1String(kSavedAsName));
    // Listed while it exists, so that a launch after a kill removes it.
    const InFlightItem listed(staging);
    try {
        // The ledger's names count only for the movies that came along.
        const QSet<QString> own = ownMovies(source, stillHeld);
        copyRecording(source, staging, result, own, sourceIsScratch);
        // The movies are on the disk before the manifest that names them, and the package is
        // under its name before the scratch folder goes.
        DiskSync::tree(staging);
        copyLedger(staging, takeFilenames(result), own);
        writeManifestInto(result, staging);
        if (sourceIsScratch)
            noteSavedAs(savedAs, target, result.id);
        const bool replacing = itemExists(target);
        if (replacing) {
            exchangeItems(staging, target);
        } else if (renameItem(QFile::encodeName(staging), QFile::encodeName(target), 0) != 0) {
            throwErrno(QStringLiteral("Save"), target, errno);
        }
        DiskSync::folder(targetInfo.absolutePath());
        if (replacing && !removeItem(staging))
            qCCritical(log::persistence(), "could not remove replaced item %s", qUtf8Printable(staging));
    } catch (const FileSystemError &error) {
        removeItem(staging);
        if (sourceIsScratch)
            removeItem(savedAs);
        // The working folder is hidden and gone by now: the user is told of the package chosen.
        throw FileSystemError(error.operation(), asChosen(error.path(), staging, target), error.code(),
                              error.systemText());
    } catch (...) {
        removeItem(staging);
        if (sourceIsScratch)
            removeItem(savedAs);
        throw;
    }
    logSaved(target);

    // A scratch folder has served its purpose once its package exists. A package the session was
    // opened from stays as it was: the copy is now the one worked on.
    if (sourceIsScratch) {
        // The manifest first: a kill partway through leaves no recording to offer again.
        QFile::remove(childPath(source, QString::fromLatin1(kManifestName)));
        if (!removeItem(source)) {
            qCCritical(log::persistence(), "could not remove scratch after save: %s",
                       qUtf8Printable(QStringLiteral("Could not remove ") + source));
        }
    } else {
        result.scratchURL = target;
    }
    return result;
}

SessionStore::Recovery SessionStore::recoverSessions(const QString &scratchRoot) const
{
    Recovery recovery;
    const QDir root(scratchRoot);
    if (!root.exists())
        return recovery;
    const QStringList entries = root.entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    for (const QString &entry : entries) {
        const QString folder = childPath(root.absolutePath(), entry);
        const bool noted = itemExists(childPath(folder, QLatin1String(kSavedAsName)));
        if (!noted && !itemExists(childPath(folder, QString::fromLatin1(kManifestName))))
            continue;
        // Another Lumacast (another display, another machine on this home) has it open.
        if (ScratchClaim::isClaimed(folder)) {
            qCInfo(log::persistence(), "not offered for recovery, open in another Lumacast: %s", qUtf8Printable(entry));
            continue;
        }
        // Saved, and killed before the scratch folder went: the package is the recording.
        if (const std::optional<QString> package = noted ? settledSaveAs(folder) : std::nullopt) {
            recovery.saved << *package;
            if (!removeItem(folder))
                qCCritical(log::persistence(), "could not remove %s, saved before a kill", qUtf8Printable(entry));
            qCInfo(log::persistence(), "%s was saved as %s before a kill", qUtf8Printable(entry),
                   qUtf8Printable(QFileInfo(*package).fileName()));
            continue;
        }
        if (!itemExists(childPath(folder, QString::fromLatin1(kManifestName))))
            continue;
        try {
            recovery.sessions << openSession(folder);
        } catch (const ManifestError &error) {
            ++recovery.failureCount;
            qCCritical(log::persistence(), "failed to recover session %s: %s",
                       qUtf8Printable(entry), qUtf8Printable(error.localizedDescription()));
        }
    }
    return recovery;
}

namespace {

// Nothing but an empty "takes" and the history log: nothing was ever recorded or saved there.
bool holdsNothingRecorded(const QString &folder)
{
    const QDir::Filters everything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
    for (const QString &name : QDir(folder).entryList(everything)) {
        const auto status = itemStatus(childPath(folder, name));
        const bool emptyTakes = name == QLatin1String(SessionStore::kTakesFolderName) && status
            && S_ISDIR(status->st_mode) && QDir(childPath(folder, name)).isEmpty(everything);
        const bool own = (name == QLatin1String(PackageFolder::kHistoryLogName) || name == QLatin1String(ScratchClaim::kFileName)
                          || name == QLatin1String(TakeLedger::kFileName))
            && status && S_ISREG(status->st_mode);
        if (!emptyTakes && !own)
            return false;
    }
    return true;
}

} // namespace

int SessionStore::removeEmptyScratchFolders(const QString &scratchRoot) const
{
    int removed = 0;
    const QStringList entries =
        QDir(scratchRoot).entryList(QDir::Dirs | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        const QString folder = childPath(scratchRoot, entry);
        const auto status = itemStatus(folder);
        const bool scratchName = entry.size() == 36 && !QUuid::fromString(entry).isNull();
        if (!scratchName || !status || !S_ISDIR(status->st_mode) || status->st_uid != ::geteuid()
            || itemExists(childPath(folder, QString::fromLatin1(kManifestName))) || !holdsNothingRecorded(folder)
            || ScratchClaim::isClaimed(folder))
            continue;
        if (removeItem(folder)) {
            ++removed;
            qCInfo(log::persistence(), "removed %s, a recording never saved that holds nothing", qUtf8Printable(entry));
        } else {
            qCCritical(log::persistence(), "could not remove %s, a recording that holds nothing",
                       qUtf8Printable(entry));
        }
    }
    return removed;
}

QHash<QString, QString> SessionStore::copyTakeFiles(const QStringList &filenames,
                                                    const QString &takesFolder) const
{
    QHash<QString, QString> renamed;
    QStringList copies;
    QSet<QString> listed;
    // The recording's folder, where the ledger lists each copy before it is made.
    const QString folder = QFileInfo(takesFolder).absolutePath();
    try {
        for (const QString &name : filenames) {
            const QString source = childPath(takesFolder, name);
            if (!Take::isSafeFilename(name))
                throw FileSystemError(QStringLiteral("Copy"), source, EINVAL,
                                      QStringLiteral("Not a take file name"));
            const QString newName =
                QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".mov");
            const QString destination = childPath(takesFolder, newName);
            listed.insert(newName);
            TakeLedger::update(folder, {newName}, {});
            FileCopy::copy(source, destination);
            copies << destination;
            renamed.insert(name, newName);
            DiskSync::file(destination); // the manifest names the copies next
        }
        DiskSync::folder(takesFolder);
    } catch (...) {
        for (const QString &copy : std::as_const(copies))
            QFile::remove(copy);
        TakeLedger::update(folder, {}, listed);
        throw;
    }
    return renamed;
}

void SessionStore::cleanupReservedFiles(const Session &session) const
{
    const QSet<QString> referenced = takeFilenames(session);
    const QString folder = sessionFolder(session);
    // Only the working movies a tail of Lumacast's listed: a user's "x.tail.mov" stays.
    const QSet<QString> ours = TakeLedger::read(folder);
    QSet<QString> removed;
    for (const QString &name : PackageFolder::takeFiles(folder)) {
        if (!name.endsWith(QLatin1String(".tail.mov")) && !name.endsWith(QLatin1String(".joining.mov")))
            continue;
        if (referenced.contains(name) || !ours.contains(name))
            continue;
        if (PackageFolder::removeTakeFile(folder, name)) {
            removed.insert(name);
            qCInfo(log::persistence(), "reserved cleanup — removed %s", qUtf8Printable(name));
        } else {
            const int code = errno;
            qCCritical(log::persistence(), "reserved cleanup failed for %s: %s",
                       qUtf8Printable(name), qUtf8Printable(systemText(code)));
        }
    }
    TakeLedger::update(folder, {}, removed);
}

QCoro::Task<SessionStore::DurationCheck> SessionStore::verifyTakeDurations(Session &session) const
{
    const QStringList paths = takeMoviePaths(session);
    // The movies are read on a worker thread, one after the other; the session is changed only
    // here, on the caller's thread, once they are all read.
    auto probing =
        runInBackground("take durations", [paths, probe = m_probe] { return probeMovies(paths, probe); });
    const QList<ProbeOutcome> outcomes = co_await probing;
    co_return applyMovieDurations(session, outcomes);
}

SessionStore::DurationCheck SessionStore::verifyTakeDurationsNow(Session &session) const
{
    return applyMovieDurations(session, probeMovies(takeMoviePaths(session), m_probe));
}

QString SessionStore::integrityReport(const QStringList &missing, const QStringList &corrected, const QStringList &kept,
                                     const QStringList &unreadable)
{
    QStringList sections;
    if (!missing.isEmpty())
        sections << QStringLiteral("Missing files:\n") + missing.join(QLatin1Char('\n'));
    if (!unreadable.isEmpty())
        sections << QStringLiteral("Unreadable files (there, but damaged or no movie):\n")
                + unreadable.join(QLatin1Char('\n'));
    if (!corrected.isEmpty())
        sections << QStringLiteral("Duration corrected for:\n") + corrected.join(QLatin1Char('\n'));
    if (!kept.isEmpty())
        sections << QStringLiteral("Kept in the takes folder, used by no take:\n") + kept.join(QLatin1Char('\n'));
    return sections.join(QStringLiteral("\n\n"));
}

} // namespace lumacast
