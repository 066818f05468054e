#include "media/WorkingItem.h"

#include "media/ScratchFolder.h"
#include "model/Error.h"
#include "store/DiskSync.h"
#include "store/ScratchClaim.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QUuid>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace lumacast {

namespace {

std::mutex g_mutex;
QSet<QString> &liveItems()
{
    static QSet<QString> items;
    return items;
}

[[noreturn]] void throwErrno(const QString &path, int code)
{
    throw FileSystemError(QStringLiteral("Replace"), path, code,
                          QString::fromLocal8Bit(std::strerror(code)));
}

} // namespace

WorkingItem::WorkingItem(const QString &destination, const QString &suffix)
    : m_destination(QDir::cleanPath(QFileInfo(destination).absoluteFilePath()))
{
    m_path = QFileInfo(m_destination).absolutePath() + QLatin1Char('/')
        + QLatin1String(kPrefix) + QString::number(::getpid()) + QLatin1Char('-')
        + QUuid::createUuid().toString(QUuid::WithoutBraces) + suffix;
    m_listed = std::make_unique<InFlightItem>(m_path);
    const std::lock_guard lock(g_mutex);
    liveItems().insert(m_path);
}

WorkingItem::~WorkingItem()
{
    if (!m_committed)
        InFlightItem::removeItem(m_path);
    const std::lock_guard lock(g_mutex);
    liveItems().remove(m_path);
}

void WorkingItem::commit()
{
    // Whole on the disk before its name says it is there, and under that name on the disk before
    // anyone is told (a manifest naming it, "Export complete").
    DiskSync::tree(m_path);
    const QByteArray from = QFile::encodeName(m_path);
    const QByteArray to = QFile::encodeName(m_destination);
    struct stat status {};
    const bool occupied = ::lstat(to.constData(), &status) == 0;
    const bool folder = occupied && S_ISDIR(status.st_mode);
    // A recording open here or in another program is never replaced; another folder is held
    // until it is gone, so that no program opens it meanwhile.
    const auto replaceable = [this] {
        if (const std::optional<QString> refusal = ScratchClaim::refusalToReplace(m_destination))
            throw FileSystemError(QStringLiteral("Replace"), m_destination, EBUSY, *refusal);
    };
    replaceable();
    const std::unique_ptr<ScratchClaim> replaced = folder ? std::make_unique<ScratchClaim>(m_destination) : nullptr;
    if (replaced && !replaced->isHeld())
        replaceable();
    // A file (or nothing) at the destination: rename replaces it in one step. A folder: exchange
    // the two, then remove the old one under the working name.
    if (!folder && ::rename(from.constData(), to.constData()) != 0)
        throwErrno(m_destination, errno);
    if (folder && ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE) != 0)
        throwErrno(m_destination, errno);
    m_committed = true;
    if (folder)
        InFlightItem::removeItem(m_path);
    DiskSync::folder(QFileInfo(m_destination).absolutePath());
}

void WorkingItem::removeStale(const QString &folder)
{
    const QStringList names =
        QDir(folder).entryList({QLatin1String(kPrefix) + QLatin1Char('*')},
                               QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        bool ok = false;
        const qint64 pid = name.mid(qsizetype(std::strlen(kPrefix))).section(QLatin1Char('-'), 0, 0).toLongLong(&ok);
        if (!ok || pid <= 0 || pid == ::getpid())
            continue;
        if (::kill(pid_t(pid), 0) == 0 || errno != ESRCH)
            continue;  // its process still runs (or is not ours to ask)
        InFlightItem::removeItem(QDir(folder).filePath(name));
    }
}

void WorkingItem::removeAllNow()
{
    // Work still running on other threads can create an item's file, or add entries to an item's
    // folder, after a first removal (a second working movie, a media copy into a package, a
    // re-encoded take). The program exits right after this, so sweep the folders that held items
    // for this process's names, and the scratch folders, a few times over a short while instead
    // of once; with none of them there, no export or join is under way and nothing is swept.
    QSet<QString> folders;
    {
        const std::lock_guard lock(g_mutex);
        for (const QString &path : std::as_const(liveItems()))
            folders.insert(QFileInfo(path).absolutePath());
    }
    if (folders.isEmpty() && !ScratchFolder::anyLive())
        return;
    const QString ours = QLatin1String(kPrefix) + QString::number(::getpid()) + QLatin1String("-*");
    for (int pass = 0; pass < 30; ++pass) {
        {
            const std::lock_guard lock(g_mutex);
            for (const QString &path : std::as_const(liveItems()))
                folders.insert(QFileInfo(path).absolutePath());
        }
        for (const QString &folder : std::as_const(folders)) {
            const QStringList names = QDir(folder).entryList({ours}, QDir::AllEntries | QDir::Hidden | QDir::System);
            for (const QString &name : names)
                InFlightItem::removeItem(QDir(folder).filePath(name));
        }
        ScratchFolder::removeAllLive();
        ::usleep(10000);
    }
}

} // namespace lumacast
