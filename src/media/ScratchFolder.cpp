#include "media/ScratchFolder.h"

#include "model/Error.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace lumacast {

namespace {

std::mutex g_mutex;
QSet<QString> &liveFolders()
{
    static QSet<QString> folders;
    return folders;
}

void forget(const QString &path)
{
    const std::lock_guard lock(g_mutex);
    liveFolders().remove(path);
}

} // namespace

ScratchFolder::ScratchFolder()
    : m_path(QDir(QDir::tempPath())
                 .filePath(QLatin1String(kPrefix) + QUuid::createUuid().toString(QUuid::WithoutBraces)))
{
    // Listed before it exists: a kill between the two leaves nothing the next launch misses.
    m_listed = std::make_unique<InFlightItem>(m_path);
    {
        const std::lock_guard lock(g_mutex);
        liveFolders().insert(m_path);
    }
    QDir().mkpath(QDir::tempPath());
    // The takes show the user's screen; the temporary folder is shared with other users.
    if (::mkdir(QFile::encodeName(m_path).constData(), 0700) != 0) {
        const int code = errno;
        forget(m_path);
        throw FileSystemError(QStringLiteral("create folder"), m_path, code, QString::fromLocal8Bit(std::strerror(code)));
    }
}

ScratchFolder::~ScratchFolder()
{
    InFlightItem::removeItem(m_path);
    forget(m_path);
}

bool ScratchFolder::anyLive()
{
    const std::lock_guard lock(g_mutex);
    return !liveFolders().isEmpty();
}

void ScratchFolder::removeAllLive()
{
    QSet<QString> folders;
    {
        const std::lock_guard lock(g_mutex);
        folders = liveFolders();
    }
    for (const QString &folder : std::as_const(folders))
        InFlightItem::removeItem(folder);
}

} // namespace lumacast
