#include "store/DiskSync.h"

#include "model/Error.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace lumacast {

namespace {

std::mutex g_witnessMutex;
DiskSync::Witness &witness()
{
    static DiskSync::Witness w;
    return w;
}

void tell(const QString &path)
{
    const std::lock_guard lock(g_witnessMutex);
    if (witness())
        witness()(path);
}

int syncDescriptor(int fd, bool dataOnly)
{
    int result = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
    while (result != 0 && errno == EINTR)
        result = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
    return result;
}

// `flags` say what the item must be; a link is never opened.
void syncItem(const QString &path, int flags, bool dataOnly)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | flags);
    const auto fail = [&](int code) {
        throw FileSystemError(QStringLiteral("Sync"), path, code, QString::fromLocal8Bit(std::strerror(code)));
    };
    if (fd < 0)
        fail(errno);
    const int result = syncDescriptor(fd, dataOnly);
    const int code = errno;
    ::close(fd);
    // Some file systems keep no folder of their own to sync: their names are as safe as they get.
    if (result != 0 && !(flags & O_DIRECTORY && code == EINVAL))
        fail(code);
    tell(path);
}

} // namespace

void DiskSync::file(const QString &path)
{
    // The file's size is metadata fdatasync writes too; its times are not worth a wait.
    syncItem(path, O_NONBLOCK, true);
}

void DiskSync::descriptor(int fd, const QString &path)
{
    if (syncDescriptor(fd, true) != 0) {
        const int code = errno;
        throw FileSystemError(QStringLiteral("Sync"), path, code, QString::fromLocal8Bit(std::strerror(code)));
    }
    tell(path);
}

void DiskSync::folder(const QString &path)
{
    syncItem(path, O_DIRECTORY, false);
}

void DiskSync::tree(const QString &path)
{
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0) {
        const int code = errno;
        throw FileSystemError(QStringLiteral("Sync"), path, code, QString::fromLocal8Bit(std::strerror(code)));
    }
    if (S_ISREG(status.st_mode)) {
        file(path);
        return;
    }
    if (!S_ISDIR(status.st_mode))
        return;
    const QStringList names =
        QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QString &name : names)
        tree(path + QLatin1Char('/') + name);
    folder(path);
}

void DiskSync::setWitness(Witness w)
{
    const std::lock_guard lock(g_witnessMutex);
    witness() = std::move(w);
}

} // namespace lumacast
