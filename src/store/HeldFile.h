#pragma once

#include <QString>

namespace lumacast {

// A file this process holds open for reading: it stays whole and readable through the
// descriptor wherever it is renamed or moved on its file system, and after its last name is
// gone (its folder deleted, or moved to another disk, which copies and deletes), until the
// object goes. Never changes once made; any thread.
class HeldFile {
public:
    // Takes over `fd`, a descriptor of a regular file.
    explicit HeldFile(int fd);
    ~HeldFile();
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;

    int descriptor() const { return m_fd; }
    // A path that reaches the file through the descriptor, for calls that take a path; valid
    // while the object lives. Opening it opens the file held, whatever its name is now.
    QString reach() const { return descriptorPath(m_fd); }
    // Where the file is now; empty once it has no name.
    QString whereNow() const { return whereNowOf(m_fd); }
    // Removes the file's name where it is now, and only a name that is still this file's: what
    // stands there instead (put back by the user, made by another program) stays.
    bool removeName() const { return removeNameOf(m_fd); }

    // The same for any descriptor of a regular file.
    static QString whereNowOf(int fd);
    static bool removeNameOf(int fd);

    // "/proc/self/fd/<fd>": what one of this process's descriptors reaches, as a path.
    static QString descriptorPath(int fd);
    // The path the kernel knows a descriptor's item by now; empty once the item has been removed.
    static QString pathOf(int fd);

private:
    int m_fd = -1;
};

} // namespace lumacast
