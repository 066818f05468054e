#include "media/ScratchFolder.h"

#include "model/Error.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringList>
#include <QUuid>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <sys/stat.h>

namespace lumacast {

namespace {

std::mutex g_mutex;
// Never destroyed: an export's thread may still use it while the program's statics go.
QSet<ScratchFolder *> &liveFolders()
{
    static auto *folders = new QSet<ScratchFolder *>;
    return *folders;
}

void forget(ScratchFolder *folder)
{
    const std::lock_guard lock(g_mutex);
    liveFolders().remove(folder);
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
        liveFolders().insert(this);
    }
    QDir().mkpath(QDir::tempPath());
    // The takes show the user's screen; the temporary folder is shared with other users.
    if (::mkdir(QFile::encodeName(m_path).constData(), 0700) != 0) {
        const int code = errno;
        forget(this);
        throw FileSystemError(QStringLiteral("create folder"), m_path, code, QString::fromLocal8Bit(std::strerror(code)));
    }
}

ScratchFolder::~ScratchFolder()
{
    InFlightItem::removeItem(m_path);
    forget(this);
}

bool ScratchFolder::anyLive()
{
    const std::lock_guard lock(g_mutex);
    return !liveFolders().isEmpty();
}

void ScratchFolder::removeAllLive()
{
    QStringList paths;
    {
        const std::lock_guard lock(g_mutex);
        for (ScratchFolder *folder : std::as_const(liveFolders())) {
            folder->m_removedUnderfoot = true;
            paths.append(folder->m_path);
        }
    }
    for (const QString &path : std::as_const(paths))
        InFlightItem::removeItem(path);
}

} // namespace lumacast
