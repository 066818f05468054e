#pragma once

#include <QString>
#include <QTemporaryDir>

namespace lumacast::testing {

// An ext4 file system of its own, in an image file loop-mounted for the life of the object.
// `powerCut()` copies the image as it stands, which is what the disk would hold had the power gone
// at that moment (what the file system has yet to write out is not in it), and mounts the copy,
// its journal replayed as at the next boot. Mounting needs root (and mkfs.ext4); where it is
// refused, `ready()` is false and `reason()` says why, for the test to skip with.
class LoopDisk {
public:
    explicit LoopDisk(int megabytes = 96);
    ~LoopDisk();
    LoopDisk(const LoopDisk &) = delete;
    LoopDisk &operator=(const LoopDisk &) = delete;

    bool ready() const { return m_mounted; }
    QString reason() const { return m_reason; }
    QString path() const { return m_dir.filePath(QStringLiteral("disk")); }

    // The mounted copy of the disk as a power cut now would leave it; empty when that failed
    // (`reason()` says why).
    QString powerCut();

private:
    bool mount(const QString &image, const QString &at);

    QTemporaryDir m_dir;
    bool m_mounted = false;
    bool m_cut = false;
    QString m_reason;
};

} // namespace lumacast::testing
