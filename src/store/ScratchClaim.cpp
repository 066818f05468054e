#include "store/ScratchClaim.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace lumacast {

namespace {

int openFolder(const QString &folder)
{
    return ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

ScratchClaim::ScratchClaim(const QString &folder) : m_fd(openFolder(folder))
{
    if (m_fd >= 0 && ::flock(m_fd, LOCK_SH | LOCK_NB) != 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

ScratchClaim::~ScratchClaim()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool ScratchClaim::isClaimed(const QString &folder)
{
    const int fd = openFolder(folder);
    if (fd < 0)
        return true;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd); // drops the probe's own lock
    return !free;
}

} // namespace lumacast
