#pragma once

#include <QString>
#include <QTemporaryDir>

namespace lumacast::testing {

// A small tmpfs of its own, mounted for the life of the object, that `fill()` fills to the last
// byte: writes then fail with ENOSPC as on a real full disk. Mounting needs root (or a user
// namespace that allows it); where it is refused, `ready()` is false and `reason()` says why, for
// the test to skip with.
class FullDisk {
public:
    explicit FullDisk(int kilobytes = 512);
    ~FullDisk();
    FullDisk(const FullDisk &) = delete;
    FullDisk &operator=(const FullDisk &) = delete;

    bool ready() const { return m_mounted; }
    QString reason() const { return m_reason; }
    QString path() const { return m_dir.path(); }

    // Takes every free byte but `leave` (rounded to whole pages: tmpfs gives a file at least
    // one). Files created before stay as they are; new files can still be created (tmpfs counts
    // inodes apart) but not written beyond what was left.
    void fill(qint64 leave = 0);
    // Mounts it again read-only: nothing can be made or changed in it any more.
    bool makeReadOnly();

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
    QString m_reason;
};

} // namespace lumacast::testing
