#include "support/LoopDisk.h"

#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>

namespace lumacast::testing {

LoopDisk::LoopDisk(int megabytes)
{
    const QString image = m_dir.filePath(QStringLiteral("disk.img"));
    QFile file(image);
    if (!m_dir.isValid() || !file.open(QIODevice::WriteOnly) || !file.resize(qint64(megabytes) << 20)) {
        m_reason = QStringLiteral("no room for a disk image");
        return;
    }
    file.close();
    const ProcessResult made = runProcess(QStringLiteral("mkfs.ext4"), {"-q", "-F", image});
    if (!made.ok()) {
        m_reason = QStringLiteral("mkfs.ext4 made no file system: ") + QString::fromLocal8Bit(made.err).trimmed();
        return;
    }
    m_mounted = mount(image, path());
}

LoopDisk::~LoopDisk()
{
    // Lazily: a file still open somewhere must not leave the mount behind. A loop device made by
    // mount goes with its mount.
    if (m_cut)
        runProcess(QStringLiteral("umount"), {"-l", m_dir.filePath(QStringLiteral("cut"))});
    if (m_mounted)
        runProcess(QStringLiteral("umount"), {"-l", path()});
}

bool LoopDisk::mount(const QString &image, const QString &at)
{
    QDir().mkpath(at);
    const ProcessResult mounted = runProcess(QStringLiteral("mount"), {"-t", "ext4", "-o", "loop", image, at});
    if (!mounted.ok())
        m_reason = QStringLiteral("cannot loop-mount a disk image (needs root): ")
                 + QString::fromLocal8Bit(mounted.err).trimmed();
    return mounted.ok();
}

QString LoopDisk::powerCut()
{
    const QString copy = m_dir.filePath(QStringLiteral("cut.img"));
    // Read through the cache the loop device writes into: exactly what reached the device.
    if (!m_mounted || m_cut || !runProcess(QStringLiteral("cp"), {"--sparse=always", m_dir.filePath("disk.img"), copy}).ok()) {
        m_reason = QStringLiteral("the disk image could not be copied");
        return {};
    }
    m_cut = mount(copy, m_dir.filePath(QStringLiteral("cut")));
    return m_cut ? m_dir.filePath(QStringLiteral("cut")) : QString();
}

} // namespace lumacast::testing
