#include "support/CloningDisk.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <cstdint>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>
#include <vector>

namespace lumacast::testing {

namespace {

// The program's complaint, or empty when it ran and succeeded.
QString run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return program + QStringLiteral(" did not finish");
    }
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return {};
    return program + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
}

} // namespace

CloningDisk::CloningDisk()
{
    if (::geteuid() != 0) {
        m_reason = QStringLiteral("mounting a btrfs image needs root");
        return;
    }
    if (QStandardPaths::findExecutable(QStringLiteral("mkfs.btrfs")).isEmpty()) {
        m_reason = QStringLiteral("mkfs.btrfs is not installed (btrfs-progs)");
        return;
    }
    const QString image = m_dir.filePath(QStringLiteral("btrfs.img"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(qint64(160) << 20)) {
        m_reason = QStringLiteral("no room for a btrfs image");
        return;
    }
    file.close();
    QDir().mkpath(path());
    m_reason = run(QStringLiteral("mkfs.btrfs"), {QStringLiteral("-q"), image});
    if (m_reason.isEmpty())
        m_reason = run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, path()});
    m_mounted = m_reason.isEmpty();
}

CloningDisk::~CloningDisk()
{
    // The loop device goes with the last use of the file system.
    if (m_mounted)
        ::umount2(QFile::encodeName(path()).constData(), MNT_DETACH);
}

bool CloningDisk::sharesAllBlocks(const QString &file)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    constexpr unsigned kExtents = 64;
    std::vector<std::uint64_t> buffer((sizeof(fiemap) + kExtents * sizeof(fiemap_extent)) / sizeof(std::uint64_t) + 1);
    auto *map = reinterpret_cast<fiemap *>(buffer.data());
    map->fm_length = FIEMAP_MAX_OFFSET;
    map->fm_flags = FIEMAP_FLAG_SYNC;
    map->fm_extent_count = kExtents;
    const bool mapped = ::ioctl(fd, FS_IOC_FIEMAP, map) == 0;
    ::close(fd);
    if (!mapped || map->fm_mapped_extents == 0)
        return false;
    for (unsigned i = 0; i < map->fm_mapped_extents; ++i)
        if (!(map->fm_extents[i].fe_flags & FIEMAP_EXTENT_SHARED))
            return false;
    return true;
}

} // namespace lumacast::testing
