#pragma once

#include <QString>
#include <QTemporaryDir>

namespace lumacast::testing {

// A small btrfs file system of its own, loop-mounted from an image in a temporary folder for the
// life of the object: a copy made there can be a clone, sharing its original's blocks. Needs
// root, a loop device and mkfs.btrfs (btrfs-progs); where one is missing, `ready()` is false and
// `reason()` says why, for the test to skip with.
class CloningDisk {
public:
    CloningDisk();
    ~CloningDisk();
    CloningDisk(const CloningDisk &) = delete;
    CloningDisk &operator=(const CloningDisk &) = delete;

    bool ready() const { return m_mounted; }
    QString reason() const { return m_reason; }
    QString path() const { return m_dir.filePath(QStringLiteral("mnt")); }

    // Whether the file has blocks and every one of them is shared with another file (FIEMAP).
    static bool sharesAllBlocks(const QString &file);

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    QString m_reason;
};

} // namespace lumacast::testing
