#include "store/BoundedFile.h"

#include "model/Error.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumacast {

namespace {

[[noreturn]] void fail(const QString &path, int code, const QString &text)
{
    throw FileSystemError(QStringLiteral("Read"), path, code, text);
}

[[noreturn]] void failErrno(const QString &path, int code)
{
    fail(path, code, QString::fromLocal8Bit(std::strerror(code)));
}

class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() { ::close(m_fd); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

} // namespace

QByteArray BoundedFile::read(const QString &path, qint64 largest, Links links)
{
    // Opened without blocking (a FIFO would otherwise wait for a writer forever), and without
    // following a link unless asked; the type and size are checked on the open descriptor, so
    // nothing can be swapped in between the check and the read.
    const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | (links == Links::refuse ? O_NOFOLLOW : 0);
    const int fd = ::open(QFile::encodeName(path).constData(), flags);
    if (fd < 0) {
        const int code = errno;
        if (code == ELOOP)
            fail(path, code, QStringLiteral("Not a regular file"));
        failErrno(path, code);
    }
    const Descriptor descriptor(fd);
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        failErrno(path, errno);
    if (!S_ISREG(status.st_mode))
        fail(path, EINVAL, QStringLiteral("Not a regular file"));
    if (status.st_size > largest)
        fail(path, EFBIG, QStringLiteral("File too large"));

    QByteArray data(qsizetype(status.st_size), Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < data.size()) {
        const ssize_t count = ::read(fd, data.data() + filled, size_t(data.size() - filled));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            failErrno(path, errno);
        if (count == 0)
            break;  // shrunk while read: what is there is what we decode
        filled += count;
    }
    data.truncate(filled);
    return data;
}

} // namespace lumacast
