#include "store/ScratchClaim.h"

#include "model/LogCategories.h"

#include <QFile>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
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
// read-only medium).
int openLock(const QString &folder, bool create, Key &key)
{
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::open(lockPath(folder).constData(), flags | O_RDWR | (create ? O_CREAT : 0), 0600);
    if (fd < 0 && (errno == EROFS || errno == EACCES))
        fd = ::open(lockPath(folder).constData(), flags | O_RDONLY);
    if (fd < 0)
        return -1;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    key = {quint64(status.st_dev), quint64(status.st_ino)};
    return fd;
}

enum class Claim { none, here, elsewhere, unknown };

// Who holds the folder: `unknown` when its lock file cannot be looked at or locked (a link, a
// file system without locks).
Claim claimOf(const QString &folder)
{
    Key key;
    const int fd = openLock(folder, false, key);
    if (fd < 0)
        return errno == ENOENT ? Claim::none : Claim::unknown;
    const QMutexLocker lock(&registryMutex());
    if (registry().contains(key)) {
        ::close(fd);
        return Claim::here;
    }
    const int locked = ::flock(fd, LOCK_EX | LOCK_NB);
    const int code = errno;
    ::close(fd); // drops the probe's own lock
    if (locked == 0)
        return Claim::none;
    return code == EWOULDBLOCK ? Claim::elsewhere : Claim::unknown;
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
}

ScratchClaim::~ScratchClaim()
{
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

} // namespace lumacast
