#include "support/CloningDisk.h"

#include "support/TestEnvironment.h"

#include <QFile>
#include <QRegularExpression>

#include <sys/mount.h>

#include <algorithm>

namespace lumacast::testing {

CloningDisk::CloningDisk()
{
    // A sparse image: btrfs wants a little over 100 MiB.
    const ProcessResult mounted = runProcess(
        QStringLiteral("sh"),
        {QStringLiteral("-c"),
         QStringLiteral("[ \"$(id -u)\" = 0 ] || { echo 'needs root' >&2; exit 1; }; mkdir -p \"$2\" && "
                        "truncate -s 160M \"$1\" && mkfs.btrfs -q \"$1\" && mount -o loop \"$1\" \"$2\""),
         QStringLiteral("sh"), m_dir.filePath(QStringLiteral("btrfs.img")), path()});
    if (!mounted.ok())
        m_reason = QStringLiteral("cannot mount a btrfs image: ") + QString::fromLocal8Bit(mounted.err).trimmed();
}

CloningDisk::~CloningDisk()
{
    // The loop device goes with the file system's last use.
    if (ready())
        ::umount2(QFile::encodeName(path()).constData(), MNT_DETACH);
}

bool CloningDisk::sharesAllBlocks(const QString &file)
{
    // One line an extent: "   0:   0..  1023:   3328..   4351:   1024:   last,shared,eof".
    const QStringList extents =
        QString::fromLocal8Bit(runProcess(QStringLiteral("filefrag"), {QStringLiteral("-sv"), file}).out)
            .split(QLatin1Char('\n'))
            .filter(QRegularExpression(QStringLiteral("^\\s*\\d+:")));
    return !extents.isEmpty()
        && std::all_of(extents.begin(), extents.end(), [](const QString &line) { return line.contains("shared"); });
}

} // namespace lumacast::testing
