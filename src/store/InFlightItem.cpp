#include "store/InFlightItem.h"

#include "model/LogCategories.h"
#include "store/FileName.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace lumacast {

namespace {

// A journal entry is a path; nothing near a megabyte.
constexpr qsizetype kLargestEntry = 64 * 1024;

constexpr char kUuidPattern[] = "[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}";

bool isScratchFolderName(const QString &name)
{
    static const QRegularExpression scratch(QStringLiteral("^LumacastExport-") + QLatin1String(kUuidPattern)
                                            + QLatin1Char('$'));
    return scratch.match(name).hasMatch();
}

// Whether a listed item may be removed. A scratch folder lies in the temporary folder, which other
// users share: only a real folder (not a link) of this user counts as one.
bool isRemovable(const QString &item)
{
    const QString name = QFileInfo(item).fileName();
    if (!InFlightItem::isWorkingItemName(name))
        return false;
    if (!isScratchFolderName(name))
        return true;
    struct stat status {};
    return ::lstat(QFile::encodeName(item).constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == ::geteuid();
}

QByteArray readEntry(int fd)
{
    QByteArray data(kLargestEntry, Qt::Uninitialized);
    qsizetype filled = 0;
    while (filled < data.size()) {
        const ssize_t count = ::read(fd, data.data() + filled, size_t(data.size() - filled));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        filled += count;
    }
    data.truncate(filled);
    return data;
}

} // namespace

void InFlightItem::removeItem(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status {};
    if (::lstat(name.constData(), &status) != 0)
        return;
    if (S_ISDIR(status.st_mode))
        QDir(path).removeRecursively(); // never follows links inside
    else
        ::unlink(name.constData());
}

QString InFlightItem::journalFolder()
{
    const QString caches = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation);
    return caches.isEmpty() ? QString() : caches + QStringLiteral("/Lumacast/InFlight");
}

bool InFlightItem::isWorkingItemName(const QString &name)
{
    // ".lumacast-work-<pid>-<uuid>…" (exports, joins), ".<name>.saving-<uuid>" (Save As) and
    // "LumacastExport-<uuid>" (the movie export's scratch folder).
    static const QRegularExpression saving(QStringLiteral("^\\..+\\.saving-") + QLatin1String(kUuidPattern)
                                           + QLatin1Char('$'));
    return name.startsWith(QLatin1String(".lumacast-work-")) || saving.match(name).hasMatch()
        || isScratchFolderName(name);
}

QString InFlightItem::savingName(const QString &packageName)
{
    const QString uuid = QUuid::createUuid().toString(QUuid::WithoutBraces);
    const QString tail = QStringLiteral(".saving-") + uuid;
    return QLatin1Char('.') + file_name::shortened(packageName, file_name::kLongest - 1 - tail.size()) + tail;
}

InFlightItem::InFlightItem(const QString &path)
{
    const QString folder = journalFolder();
    if (folder.isEmpty() || !QDir().mkpath(folder)) {
        qCWarning(log::persistence(), "cannot list %s in the in-flight journal", qUtf8Printable(path));
        return;
    }
    const QString entry = folder + QLatin1Char('/') + QUuid::createUuid().toString(QUuid::WithoutBraces);
    const int fd = ::open(QFile::encodeName(entry).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        qCWarning(log::persistence(), "cannot list %s in the in-flight journal: %s", qUtf8Printable(path),
                  std::strerror(errno));
        return;
    }
    // Locked before the path is written: a launch never reads a half-written entry as abandoned.
    const QByteArray bytes = QFile::encodeName(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    if (::flock(fd, LOCK_EX) != 0 || ::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size()) {
        ::close(fd);
        ::unlink(QFile::encodeName(entry).constData());
        qCWarning(log::persistence(), "cannot list %s in the in-flight journal", qUtf8Printable(path));
        return;
    }
    m_entry = entry;
    m_fd = fd;
}

InFlightItem::~InFlightItem()
{
    if (m_fd < 0)
        return;
    ::unlink(QFile::encodeName(m_entry).constData());
    ::close(m_fd);
}

int InFlightItem::removeAbandoned()
{
    const QString folder = journalFolder();
    if (folder.isEmpty())
        return 0;
    int removed = 0;
    const QStringList entries = QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : entries) {
        const QString entry = folder + QLatin1Char('/') + name;
        const int fd = ::open(QFile::encodeName(entry).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat status {};
        // A writer still holds its lock: its item is being written.
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            continue;
        }
        const QString item = QFile::decodeName(readEntry(fd));
        // Empty: made a moment ago by a writer that has not locked it yet, or by one killed in
        // that moment; only the second grows old.
        if (item.isEmpty() && QFileInfo(entry).lastModified().secsTo(QDateTime::currentDateTime()) < 60) {
            ::close(fd);
            continue;
        }
        if (!item.isEmpty() && QFileInfo(item).isAbsolute() && isRemovable(item)) {
            if (QFileInfo::exists(item) || QFileInfo(item).isSymLink()) {
                removeItem(item);
                ++removed;
                qCInfo(log::persistence(), "removed %s, left by a process that was killed", qUtf8Printable(item));
            }
        }
        ::unlink(QFile::encodeName(entry).constData());
        ::close(fd);
    }
    return removed;
}

} // namespace lumacast
