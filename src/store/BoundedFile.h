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
    static QByteArray read(const QString &path, qint64 largest);
};

} // namespace lumacast
