#include "support/CloningDisk.h"

#include "support/TestEnvironment.h"

#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#include <sys/mount.h>

#include <algorithm>

namespace lumacast::testing {

namespace {

// filefrag is in sbin, which a normal user's PATH may lack.
QString filefragPath()
{
    const QString found = QStandardPaths::findExecutable(QStringLiteral("filefrag"));
    return !found.isEmpty()
        ? found
        : QStandardPaths::findExecutable(QStringLiteral("filefrag"), {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")});
}

} // namespace

CloningDisk::CloningDisk()
{
    if (filefragPath().isEmpty()) {
        m_reason = QStringLiteral("filefrag is not installed (package e2fsprogs): blocks shared cannot be read");
        return;
    }
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

std::optional<bool> CloningDisk::sharesAllBlocks(const QString &file, QString &fault)
{
    const QString program = filefragPath();
    if (program.isEmpty()) {
        fault = QStringLiteral("filefrag is not installed (package e2fsprogs)");
        return std::nullopt;
    }
    const ProcessResult run = runProcess(program, {QStringLiteral("-sv"), file});
    // One line an extent: "   0:   0..  1023:   3328..   4351:   1024:   last,shared,eof".
    const QStringList extents = QString::fromLocal8Bit(run.out)
                                    .split(QLatin1Char('\n'))
                                    .filter(QRegularExpression(QStringLiteral("^\\s*\\d+:")));
    if (!run.ok() || extents.isEmpty()) {
        fault = QStringLiteral("filefrag -sv %1 (exit %2) gave no extents: %3")
                    .arg(file)
                    .arg(run.exitCode)
                    .arg(QString::fromLocal8Bit(run.err + run.out).trimmed());
        return std::nullopt;
    }
    return std::all_of(extents.begin(), extents.end(), [](const QString &line) { return line.contains("shared"); });
}

} // namespace lumacast::testing
