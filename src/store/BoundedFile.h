#pragma once

#include <QByteArray>
#include <QString>

namespace lumacast {

// Reads a small file the user or another program could have replaced with anything: a link, a
// FIFO, a device or a file of gigabytes. Only a regular file of at most `largest` bytes is read;
// nothing blocks and nothing larger is allocated. Throws FileSystemError (its system text is
// "Not a regular file", "File too large" or the system's own).
class BoundedFile {
public:
    // A link at `path` is refused, unless the file is the user's own (their settings, which a
    // dotfiles manager keeps as a link): then it is followed, and its target checked the same way.
    enum class Links { refuse, follow };

    static QByteArray read(const QString &path, qint64 largest, Links links = Links::refuse);
};

} // namespace lumacast
