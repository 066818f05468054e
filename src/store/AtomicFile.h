#pragma once

#include <QByteArray>
#include <QString>

namespace lumacast {

// Puts a whole new file in place of `path` in one rename, or leaves what was there: a manifest,
// a ledger. The bytes go out unbuffered, so a full disk fails the write itself; buffered, they
// would reach the disk only inside commit(), which ignores that failure and puts an empty file
// in place. An item at `path` that is not a regular file (a link, a folder) is never written
// through. The new file gets its folder's file mode (`PackageFolder::fileMode`), whatever the
// umask or the file it replaces. The bytes are on the disk before the rename; the new name is
// once the caller syncs the folder (`DiskSync::folder`).
//
// Any thread. Failure: throws FileSystemError naming `path`.
class AtomicFile {
public:
    static void replace(const QString &path, const QByteArray &data);
};

} // namespace lumacast
