#pragma once

#include <QString>

namespace lumacast {

class HeldFile;

// Copies a file the best way its file system offers: a clone where it has them (btrfs, XFS: the
// copy shares the original's blocks until one of them is written, made in an instant and taking
// no room), else the kernel's copy (copy_file_range: no trip through this process, done inside
// the file system or the storage where they can), else plain reads and writes. The copy gets the
// file mode of the folder it is made in (`PackageFolder::fileMode`), as every file Lumacast makes
// in a recording does; like the rest of a save, it is not synced here.
//
// Threads: any. A copy that is not a clone lasts as long as the disk needs, so the main thread
// hands it to a worker (threads/).
class FileCopy {
public:
    enum class Method { clone, kernelCopy, readWrite };

    // Copies the regular file `from` (a link is refused, never followed) to `to`, which must not
    // exist yet. A failure leaves nothing at `to`. Returns how the bytes were copied. Throws
    // FileSystemError.
    static Method copy(const QString &from, const QString &to);
    // The same for a file this process holds open, whether it has a name or not, read from its
    // start through a descriptor of the copy's own.
    static Method copy(const HeldFile &from, const QString &to);
};

} // namespace lumacast
