#include "support/FullDisk.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumacast::testing {

FullDisk::FullDisk(int kilobytes)
{
    if (!m_dir.isValid()) {
        m_reason = QStringLiteral("no temporary folder to mount on");
        return;
    }
    const QByteArray options = "size=" + QByteArray::number(kilobytes) + "k,mode=0777";
    if (::mount("tmpfs", QFile::encodeName(m_dir.path()).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                options.constData())
        != 0) {
        m_reason = QStringLiteral("cannot mount a small tmpfs to fill (needs root): %1")
                       .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_mounted = true;
}

FullDisk::~FullDisk()
{
    if (m_mounted)
        ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
}

void FullDisk::fill(qint64 leave)
{
    const QByteArray name = QFile::encodeName(m_dir.path() + QStringLiteral("/.filler"));
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    const QByteArray block(4096, 'x');
    while (::write(fd, block.constData(), size_t(block.size())) > 0) {
    }
    // The last partial page.
    while (::write(fd, block.constData(), 1) > 0) {
    }
    if (leave > 0) {
        struct stat status {};
        ::fstat(fd, &status);
        const qint64 pages = (leave + 4095) / 4096;
        ::ftruncate(fd, std::max<qint64>(0, (status.st_size / 4096 - pages) * 4096));
    }
    ::close(fd);
}

bool FullDisk::makeReadOnly()
{
    return m_mounted
        && ::mount(nullptr, QFile::encodeName(m_dir.path()).constData(), nullptr,
                   MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NODEV, nullptr)
        == 0;
}

} // namespace lumacast::testing
