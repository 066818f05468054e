#include "store/ScratchClaim.h"

#include "model/LogCategories.h"
#include "store/HeldFile.h"
#include "store/PackageFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumacast {

namespace {

using Key = QPair<quint64, quint64>;

// This process's locks, by the lock file's device and inode: the claims share one descriptor
// (a second flock of this process on its own file would refuse itself).
struct Held {
    int fd = -1;
    int claims = 0;
};

QMutex &registryMutex()
{
    static QMutex mutex;
    return mutex;
}

QHash<Key, Held> &registry()
{
    static QHash<Key, Held> held;
    return held;
}

QByteArray lockPath(const QString &folder)
{
    return QFile::encodeName(folder + QLatin1Char('/') + QLatin1String(ScratchClaim::kFileName));
}

// The lock file, never through a link, only a regular file; -1 (errno set) otherwise. Read and
// write where it can be (an exclusive flock over NFS wants it), else read only (a recording on a
// read-only medium, another user's). One of this user's gets the folder's bits, whatever the
// umask or an older build made it with.
int openLock(const QString &folder, bool create, Key &key)
{
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(lockPath(folder).constData(), flags | O_RDWR | (create ? O_CREAT : 0), 0600);
    const int code = errno;
    if (fd < 0 && (errno == EROFS || errno == EACCES))
        fd = ::open(lockPath(folder).constData(), flags | O_RDONLY);
    if (fd < 0) {
        // Nothing there to read, and none could be made: why it could not be made.
        errno = errno == ENOENT && create ? code : errno;
        return -1;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    // Whoever may read the folder may read the lock, and so check it (flock works on a
    // descriptor opened for reading); a group that may write the folder may open it for writing
    // too (NFS lends flock only to such a descriptor).
    if (create)
        PackageFolder::applyFileMode(fd, folder); // a lock others cannot read is merely not seen by them
    key = {quint64(status.st_dev), quint64(status.st_ino)};
    return fd;
}

enum class Claim { none, here, elsewhere, unknown };

// Who holds the folder: `unknown` when its lock file cannot be looked at or locked (a link,
// another user's that only they may read, a file system without locks); `code` then says why.
Claim claimOf(const QString &folder, int &code)
{
    Key key;
    const int fd = openLock(folder, false, key);
    code = errno;
    if (fd < 0)
        return code == ENOENT ? Claim::none : Claim::unknown;
    const QMutexLocker lock(&registryMutex());
    if (registry().contains(key)) {
        ::close(fd);
        return Claim::here;
    }
    const int locked = ::flock(fd, LOCK_EX | LOCK_NB);
    code = errno;
    ::close(fd); // drops the probe's own lock
    if (locked == 0)
        return Claim::none;
    return code == EWOULDBLOCK ? Claim::elsewhere : Claim::unknown;
}

Claim claimOf(const QString &folder)
{
    int code = 0;
    return claimOf(folder, code);
}

QString displayName(const QString &folder)
{
    return QFileInfo(QDir::cleanPath(folder)).fileName();
}

bool sameItem(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The folder the lock file `key` lies in, held by a descriptor that follows it wherever it is
// renamed; -1 when the folder at the path is not the lock's any more.
int openFolder(const QString &folder, const Key &key)
{
    const int fd = ::open(QFile::encodeName(folder).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    struct stat lock {};
    if (fd >= 0
        && (::fstatat(fd, ScratchClaim::kFileName, &lock, AT_SYMLINK_NOFOLLOW) != 0
            || Key{quint64(lock.st_dev), quint64(lock.st_ino)} != key)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

ScratchClaim::ScratchClaim(const QString &folder) : m_folder(folder)
{
    Key key;
    const int fd = openLock(folder, true, key);
    if (fd < 0) {
        qCWarning(log::persistence(), "recording not claimed, no lock file: %s", qUtf8Printable(folder));
        return;
    }
    const QMutexLocker lock(&registryMutex());
    Held &held = registry()[key];
    if (held.claims > 0) {
        ::close(fd);
    } else if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        held.fd = fd;
    } else {
        ::close(fd);
        registry().remove(key);
        return;
    }
    ++held.claims;
    m_device = dev_t(key.first);
    m_inode = ino_t(key.second);
    m_held = true;
    m_folderFd = openFolder(folder, key);
}

ScratchClaim::~ScratchClaim()
{
    if (m_folderFd >= 0)
        ::close(m_folderFd);
    if (!m_held)
        return;
    const QMutexLocker lock(&registryMutex());
    const Key key{quint64(m_device), quint64(m_inode)};
    auto found = registry().find(key);
    if (found == registry().end())
        return;
    if (--found->claims == 0) {
        ::close(found->fd); // the kernel drops the lock with its last descriptor
        registry().erase(found);
    }
}

bool ScratchClaim::isClaimed(const QString &folder)
{
    return claimOf(folder) != Claim::none;
}

bool ScratchClaim::isClaimedElsewhere(const QString &folder)
{
    return claimOf(folder) == Claim::elsewhere;
}

QString ScratchClaim::lockProblem(const QString &folder)
{
    int code = 0;
    if (claimOf(folder, code) != Claim::unknown)
        return {};
    if (code == ELOOP)
        return QStringLiteral("it is a link");
    return code == EINVAL ? QStringLiteral("it is not a file") : QString::fromLocal8Bit(std::strerror(code));
}

QString ScratchClaim::openElsewhereMessage(const QString &folder)
{
    return QStringLiteral("“%1” is open in another Lumacast (on another display or another computer). "
                          "Close it there, then try again.")
        .arg(displayName(folder));
}

QString ScratchClaim::uncheckedMessage(const QString &folder, const QString &problem)
{
    return QStringLiteral("Lumacast can’t tell whether “%1” is open in another Lumacast: its lock (%2) can’t be "
                          "checked (%3). It was left as it is.")
        .arg(displayName(folder), QLatin1String(kFileName), problem);
}

std::optional<QString> ScratchClaim::refusalToReplace(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0 || !S_ISDIR(status.st_mode))
        return std::nullopt;
    int code = 0;
    switch (claimOf(path, code)) {
    case Claim::none: return std::nullopt;
    case Claim::here:
        return QStringLiteral("“%1” is the recording open in this Lumacast. Close it first, then try again.")
            .arg(displayName(path));
    case Claim::elsewhere: return openElsewhereMessage(path);
    case Claim::unknown: break;
    }
    return uncheckedMessage(path, lockProblem(path));
}

ScratchClaim::Whereabouts ScratchClaim::whereabouts() const
{
    Whereabouts where;
    where.folder = m_folder;
    struct stat held {};
    if (m_folderFd < 0 || ::fstat(m_folderFd, &held) != 0)
        return where;
    const QByteArray claimed = QFile::encodeName(m_folder);
    struct stat named {};
    if (::stat(claimed.constData(), &named) == 0 && sameItem(named, held))
        return where;
    where.replaced = ::lstat(claimed.constData(), &named) == 0;
    where.place = Whereabouts::Place::removed;
    where.folder.clear();
    const QString now = held.st_nlink > 0 ? HeldFile::pathOf(m_folderFd) : QString();
    struct stat there {};
    if (!now.isEmpty() && ::stat(QFile::encodeName(now).constData(), &there) == 0 && sameItem(there, held)) {
        where.place = Whereabouts::Place::moved;
        where.folder = now;
        where.inTrash = isInTrash(now);
    }
    return where;
}

bool ScratchClaim::isInTrash(const QString &path)
{
    const QString home = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (!home.isEmpty() && path.startsWith(home + QStringLiteral("/Trash/files/")))
        return true;
    static const QRegularExpression volume(QStringLiteral("/\\.Trash(-[0-9]+|/[0-9]+)/files/"));
    return volume.match(path).hasMatch();
}

} // namespace lumacast
