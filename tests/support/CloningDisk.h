#pragma once

#include <QString>
#include <QTemporaryDir>

#include <optional>

namespace lumacast::testing {

// A small btrfs file system, loop-mounted from an image in a temporary folder for the life of the
// object: a copy made there can be a clone. Needs root and mkfs.btrfs (btrfs-progs); where the
// mount is refused, or filefrag (e2fsprogs) that reads the blocks is missing, `reason()` says
// why, for the test to skip with.
class CloningDisk {
public:
    CloningDisk();
    ~CloningDisk();
    bool ready() const { return m_reason.isEmpty(); }
    QString reason() const { return m_reason; }
    QString path() const { return m_dir.filePath(QStringLiteral("mnt")); }

    // Whether the file has blocks and every one of them is shared with another file (filefrag);
    // nullopt, with `fault` saying why, when filefrag cannot run or its output cannot be read: a
    // fault of the rig, never an answer about the file.
    static std::optional<bool> sharesAllBlocks(const QString &file, QString &fault);

private:
    QTemporaryDir m_dir;
    QString m_reason;
};

} // namespace lumacast::testing
