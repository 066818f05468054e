#include "store/HeldFile.h"

#include <QByteArray>
#include <QFile>

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace lumacast {

HeldFile::HeldFile(int fd) : m_fd(fd) {}

HeldFile::~HeldFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QString HeldFile::whereNowOf(int fd)
{
    struct stat held {};
    if (::fstat(fd, &held) != 0 || held.st_nlink == 0)
        return {};
    const QString now = pathOf(fd);
    struct stat there {};
    if (now.isEmpty() || ::lstat(QFile::encodeName(now).constData(), &there) != 0 || there.st_dev != held.st_dev
        || there.st_ino != held.st_ino)
        return {};
    return now;
}

bool HeldFile::removeNameOf(int fd)
{
    const QString now = whereNowOf(fd);
    return !now.isEmpty() && ::unlink(QFile::encodeName(now).constData()) == 0;
}

QString HeldFile::descriptorPath(int fd)
{
    return QStringLiteral("/proc/self/fd/%1").arg(fd);
}

QString HeldFile::pathOf(int fd)
{
    QByteArray target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(QFile::encodeName(descriptorPath(fd)).constData(), target.data(), target.size());
    if (length <= 0 || length >= target.size() || target.at(0) != '/')
        return {};
    target.truncate(length);
    if (target.endsWith(" (deleted)"))
        return {};
    return QFile::decodeName(target);
}

} // namespace lumacast
