#include "store/AtomicFile.h"

#include "model/Error.h"
#include "store/DiskSync.h"
#include "store/PackageFolder.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <sys/stat.h>

namespace lumacast {

void AtomicFile::replace(const QString &path, const QByteArray &data)
{
    // lstat: QSaveFile writes to where a link points.
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) == 0 && !S_ISREG(status.st_mode))
        throw FileSystemError(QStringLiteral("Write"), path, EINVAL, QStringLiteral("Not a regular file"));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        throw FileSystemError(QStringLiteral("Write"), path, 0, file.errorString());
    PackageFolder::applyFileMode(int(file.handle()), QFileInfo(path).absolutePath());
    if (file.write(data) != data.size()) {
        const QString reason = file.errorString();
        file.cancelWriting();
        throw FileSystemError(QStringLiteral("Write"), path, 0, reason);
    }
    // On the disk before the rename names it: a power cut leaves the old file or the whole new one.
    DiskSync::descriptor(int(file.handle()), path);
    if (!file.commit())
        throw FileSystemError(QStringLiteral("Write"), path, 0, file.errorString());
}

} // namespace lumacast
