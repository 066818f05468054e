#pragma once

#include <QString>

#include <functional>

namespace lumacast {

// Brings what the program wrote to the disk itself, not merely to the kernel's cache, so that a
// power cut cannot leave a file that something else already names (a manifest, "Export
// complete") empty or missing. A file is on the disk once its bytes are; a name made or changed
// by a rename is on the disk once the folder that holds it is.
//
// Blocking, and slow for a large file written just now: call it off the main thread where the
// file may be large. Any thread. Failure: throws FileSystemError naming the item; a file system
// that cannot sync a folder at all (EINVAL) is no failure.
class DiskSync {
public:
    static void file(const QString &path);
    static void folder(const QString &path);
    // The bytes written through `fd`, an open file not yet named where it belongs (an atomic
    // write's temporary file); `path` is what it will be named, in errors and to the witness.
    static void descriptor(int fd, const QString &path);
    // Every regular file and folder inside `path`, and `path` itself (a file or a folder). Links
    // are neither followed nor synced.
    static void tree(const QString &path);

    // Told of every item once it is on the disk, on the thread that synced it. For tests, which
    // see in which order things reached the disk; empty to stop.
    using Witness = std::function<void(const QString &path)>;
    static void setWitness(Witness witness);
};

} // namespace lumacast
