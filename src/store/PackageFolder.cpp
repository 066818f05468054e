#include "store/PackageFolder.h"

#include "model/Error.h"
#include "store/SessionStore.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace lumacast {

namespace {

const QString kNotRegular = QStringLiteral("Not a regular file");

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd;
};

QString itemPath(const QString &folder, const QString &name)
{
    return folder + QLatin1Char('/') + name;
}

[[noreturn]] void refuse(const QString &path, int code, const QString &text)
{
    throw FileSystemError(QStringLiteral("Open"), path, code, text);
}

int openFolder(const QString &folder)
{
    int fd;
    do {
        fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// The folder's own "takes", never through a link; -1 when there is no such folder.
int openTakes(int folder)
{
    if (folder < 0)
        return -1;
    return ::openat(folder, SessionStore::kTakesFolderName,
                    O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The item itself, a link as a link; nullopt when it is not there.
std::optional<struct stat> itemStatus(int folder, const QByteArray &name)
{
    struct stat status {};
    if (::fstatat(folder, name.constData(), &status, AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return status;
}

// Each entry of an open folder with its own status. Takes over `fd`.
template<typename Visit>
void forEachEntry(int fd, Visit visit)
{
    DIR *listing = ::fdopendir(fd);
    if (!listing) {
        ::close(fd);
        return;
    }
    while (const dirent *entry = ::readdir(listing)) {
        const QByteArray name(entry->d_name);
        if (name == "." || name == "..")
            continue;
        if (const auto status = itemStatus(::dirfd(listing), name))
            visit(QFile::decodeName(name), *status);
    }
    ::closedir(listing);
}

} // namespace

mode_t PackageFolder::fileMode(const QString &folder)
{
    struct stat status {};
    if (::stat(QFile::encodeName(folder).constData(), &status) != 0)
        return 0644;
    return S_IRUSR | S_IWUSR | (status.st_mode & (S_IRGRP | S_IWGRP | S_IROTH));
}

bool PackageFolder::applyFileMode(int fd, const QString &folder)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return false;
    const mode_t wanted = fileMode(folder);
    if (status.st_uid != ::geteuid() || (status.st_mode & 07777) == wanted)
        return true;
    return ::fchmod(fd, wanted) == 0;
}

bool PackageFolder::applyFileMode(const QString &path)
{
    const Descriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0)
        return false;
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        errno = EINVAL;
        return false;
    }
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return applyFileMode(file.get(), slash < 0 ? QStringLiteral(".") : slash == 0 ? QStringLiteral("/") : path.left(slash));
}

void PackageFolder::checkItems(const QString &folder)
{
    const Descriptor root(openFolder(folder));
    if (root.get() < 0)
        return;  // the manifest's reader reports a folder that is not there
    const QByteArray log(kHistoryLogName);
    if (const auto status = itemStatus(root.get(), log); status && !S_ISREG(status->st_mode))
        refuse(itemPath(folder, QString::fromLatin1(log)), EINVAL, kNotRegular);

    const QString takes = itemPath(folder, QString::fromLatin1(SessionStore::kTakesFolderName));
    const auto takesStatus = itemStatus(root.get(), SessionStore::kTakesFolderName);
    if (!takesStatus)
        return;
    if (!S_ISDIR(takesStatus->st_mode))
        refuse(takes, ENOTDIR, QStringLiteral("Not a folder"));
    const int fd = openTakes(root.get());
    if (fd < 0)
        refuse(takes, errno, QString::fromLocal8Bit(std::strerror(errno)));
    QString stray;
    forEachEntry(fd, [&](const QString &name, const struct stat &status) {
        if (stray.isEmpty() && !S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode))
            stray = name;
    });
    if (!stray.isEmpty())
        refuse(itemPath(takes, stray), EINVAL, kNotRegular);
}

int PackageFolder::openForAppending(const QString &folder, const QString &name)
{
    const QString path = itemPath(folder, name);
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        refuse(path, EINVAL, kNotRegular);
    const Descriptor root(openFolder(folder));
    if (root.get() < 0)
        refuse(path, errno, QString::fromLocal8Bit(std::strerror(errno)));
    const QByteArray native = QFile::encodeName(name);
    // Checked before opening, so that no device is opened at all; checked again on the open
    // descriptor, in case the item was swapped in between.
    if (const auto status = itemStatus(root.get(), native); status && !S_ISREG(status->st_mode))
        refuse(path, EINVAL, kNotRegular);
    int fd;
    do {
        fd = ::openat(root.get(), native.constData(),
                      O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int code = errno;
        // A link (ELOOP) or a FIFO nobody reads (ENXIO).
        if (code == ELOOP || code == ENXIO)
            refuse(path, code, kNotRegular);
        refuse(path, code, QString::fromLocal8Bit(std::strerror(code)));
    }
    Descriptor opened(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        refuse(path, EINVAL, kNotRegular);
    applyFileMode(fd, folder); // a log others cannot read merely stays this user's
    return opened.release();
}

QStringList PackageFolder::takeFiles(const QString &folder)
{
    const Descriptor root(openFolder(folder));
    QStringList names;
    const int fd = openTakes(root.get());
    if (fd < 0)
        return names;
    forEachEntry(fd, [&](const QString &name, const struct stat &status) {
        if (S_ISREG(status.st_mode))
            names << name;
    });
    return names;
}

bool PackageFolder::removeTakeFile(const QString &folder, const QString &name)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/'))) {
        errno = EINVAL;
        return false;
    }
    const Descriptor root(openFolder(folder));
    const Descriptor takes(openTakes(root.get()));
    if (takes.get() < 0)
        return false;
    const QByteArray native = QFile::encodeName(name);
    const auto status = itemStatus(takes.get(), native);
    if (!status)
        return false;
    if (!S_ISREG(status->st_mode)) {
        errno = EISDIR;
        return false;
    }
    // A link swapped in after the check is removed itself, never what it points at.
    return ::unlinkat(takes.get(), native.constData(), 0) == 0;
}

} // namespace lumacast
