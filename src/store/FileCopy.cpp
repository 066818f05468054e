#include "store/FileCopy.h"

#include "model/Error.h"
#include "store/HeldFile.h"
#include "store/PackageFolder.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace lumacast {

namespace {

struct Descriptor {
    int fd = -1;
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

[[noreturn]] void fail(const QString &path, int code)
{
    throw FileSystemError(QStringLiteral("Copy"), path, code, QString::fromLocal8Bit(std::strerror(code)));
}

// copy_file_range cannot copy between these two files (another file system on a kernel before
// 5.19, a file system that does not take part, a kernel without it): the bytes go through here.
bool kernelCopyRefused(int code)
{
    return code == EXDEV || code == EINVAL || code == ENOSYS || code == EOPNOTSUPP || code == ENOTSUP;
}

// A write failure names the copy being made (a full disk); any other the file copied.
[[noreturn]] void failCopying(const QString &from, const QString &to, int code)
{
    fail(code == ENOSPC || code == EDQUOT || code == EFBIG ? to : from, code);
}

// Whatever is left from the files' offsets on, through a buffer. True when there was any.
bool readAndWrite(int in, int out, const QString &from, const QString &to)
{
    std::vector<char> buffer(std::size_t(1) << 20);
    bool copied = false;
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n == 0)
            return copied;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(from, errno);
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(out, buffer.data() + done, std::size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                failCopying(from, to, w < 0 ? errno : ENOSPC);
            done += w;
        }
        copied = true;
    }
}

FileCopy::Method copyBytes(int in, int out, const QString &from, const QString &to)
{
    if (::ioctl(out, FICLONE, in) == 0)
        return FileCopy::Method::clone;
    for (;;) {
        // A gigabyte at a time: the call returns between steps, so it never holds the file for long.
        const ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, std::size_t(1) << 30, 0);
        if (n > 0)
            continue;
        if (n == 0)
            break;
        const int code = errno;
        if (code == EINTR)
            continue;
        if (kernelCopyRefused(code))
            break;
        failCopying(from, to, code);
    }
    // Some file systems end a kernel copy early, or take no part at all.
    return readAndWrite(in, out, from, to) ? FileCopy::Method::readWrite : FileCopy::Method::kernelCopy;
}

// Copies the regular file open as `source` (named `from` in errors) to `to`.
FileCopy::Method copyOpen(const Descriptor &source, const QString &from, const QString &to)
{
    struct stat status {};
    if (::fstat(source.fd, &status) != 0)
        fail(from, errno);
    if (!S_ISREG(status.st_mode))
        throw FileSystemError(QStringLiteral("Copy"), from, EINVAL, QStringLiteral("Not a regular file"));
    const QByteArray toName = QFile::encodeName(to);
    Descriptor target{::open(toName.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600)};
    if (target.fd < 0)
        fail(to, errno);
    try {
        const FileCopy::Method method = copyBytes(source.fd, target.fd, from, to);
        if (!PackageFolder::applyFileMode(target.fd, QFileInfo(to).absolutePath()))
            fail(to, errno);
        // A file system that writes back only now (NFS) reports its failure here.
        if (::close(std::exchange(target.fd, -1)) != 0)
            fail(to, errno);
        return method;
    } catch (...) {
        ::unlink(toName.constData());
        throw;
    }
}

} // namespace

FileCopy::Method FileCopy::copy(const QString &from, const QString &to)
{
    // Not blocking on a FIFO that stands where a file was.
    Descriptor source{::open(QFile::encodeName(from).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
    if (source.fd < 0)
        fail(from, errno);
    return copyOpen(source, from, to);
}

FileCopy::Method FileCopy::copy(const HeldFile &from, const QString &to)
{
    // A descriptor of its own: the copy reads from the start, whoever else reads the file.
    const QString now = from.whereNow();
    const QString name = now.isEmpty() ? from.reach() : now;
    Descriptor source{::open(QFile::encodeName(from.reach()).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    if (source.fd < 0)
        fail(name, errno);
    return copyOpen(source, name, to);
}

} // namespace lumacast
