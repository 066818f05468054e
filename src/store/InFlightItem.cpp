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

const QString kReplacedTail = QStringLiteral(".replaced-");

// The name of the item that an item moved aside by a replace stood under; empty for any other.
QString replacedOriginal(const QString &name)
{
    static const QRegularExpression replaced(QStringLiteral("^\\.(.+)\\.replaced-") + QLatin1String(kUuidPattern)
                                             + QLatin1Char('$'));
    return replaced.match(name).captured(1);
}

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

// Whether an abandoned item goes. One a replace moved aside stays when nothing stands under its
// name (the replace was killed before the new item took it): it goes back there, or, where
// that fails, stays where it is.
bool goes(const QString &item)
{
    const QFileInfo info(item);
    const QString original = replacedOriginal(info.fileName());
    if (original.isEmpty())
        return true;
    const QByteArray from = QFile::encodeName(item);
    const QByteArray to = QFile::encodeName(info.absolutePath() + QLatin1Char('/') + original);
    struct stat status {};
    if (::lstat(to.constData(), &status) == 0)
        return true;
    if (errno != ENOENT)
        return false;
    int moved = ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
    if (moved != 0 && (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP))
        moved = ::rename(from.constData(), to.constData()); // nothing there a moment ago
    if (moved == 0)
        qCInfo(log::persistence(), "put %s back, its replace was killed halfway", to.constData());
    else
        qCCritical(log::persistence(), "could not put %s back: %s", to.constData(), std::strerror(errno));
    return false;
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
        || isScratchFolderName(name) || !replacedOriginal(name).isEmpty();
}

QString InFlightItem::replacedName(const QString &name)
{
    return QLatin1Char('.') + name + kReplacedTail + QUuid::createUuid().toString(QUuid::WithoutBraces);
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
                if (goes(item)) {
                    removeItem(item);
                    qCInfo(log::persistence(), "removed %s, left by a process that was killed", qUtf8Printable(item));
                }
                ++removed;
            }
        }
        ::unlink(QFile::encodeName(entry).constData());
        ::close(fd);
    }
    return removed;
}

} // namespace lumacast
