#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace lumacast {

// The items of a recording's folder (a package or a scratch folder) as the program reaches them.
// A recording comes from anyone, so none of its own items may lead out of it: each is reached
// with openat from the folder, never through a symbolic link, and its type is checked before it
// is used. The folder itself may be reached through a link (the user chose it). Any thread.
class PackageFolder {
public:
    static constexpr const char *kHistoryLogName = "history.log";

    // The permission bits of every file Lumacast makes in `folder` (a recording's folder or its
    // "takes"), whatever the umask: read and write for its owner, and the folder's own read bits
    // and its group's write bit, so that whoever may read the recording may read each of its
    // files and a team that shares the folder may write them. 0644 when the folder cannot be
    // looked at.
    static mode_t fileMode(const QString &folder);
    // Gives the open file `fd`, which lies in `folder`, that mode when this user owns it (the
    // owner alone may change it); false (errno set) when the mode could not be set.
    static bool applyFileMode(int fd, const QString &folder);
    // The same for the file at `path`, never through a link, and only a regular file.
    static bool applyFileMode(const QString &path);

    // Refuses a folder whose "history.log" is anything but a regular file, whose "takes" is
    // anything but a folder, or whose "takes" holds a link, a FIFO, a socket or a device.
    // Missing items are fine. Throws FileSystemError naming the item.
    static void checkItems(const QString &folder);

    // Opens the regular file `name` directly inside `folder` for appending, creating it when
    // missing (with the folder's file mode); never blocks on a FIFO. Returns a descriptor the caller closes. Throws
    // FileSystemError naming the file.
    static int openForAppending(const QString &folder, const QString &name);

    // The regular files directly inside the folder's own "takes" folder, unsorted; none when
    // "takes" is missing, a link or not a folder.
    static QStringList takeFiles(const QString &folder);

    // Deletes `name` from the folder's own "takes" folder when it is a regular file there; a
    // link, a folder or anything behind a linked "takes" stays. False when nothing was deleted
    // (errno says why).
    static bool removeTakeFile(const QString &folder, const QString &name);
};

} // namespace lumacast
