#include "AppLog.h"

#include "model/Error.h"
#include "model/LogCategories.h"
#include "store/PackageFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace lumacast {

namespace {

constexpr qint64 kMaximumLogSize = 1000000;

// Opens an existing file for writing at its end. O_APPEND makes every write(2) land whole at the
// end of the file, so lines of concurrent writers never interleave even across processes.
int openExistingForAppending(const QString &path)
{
    const QByteArray native = QFile::encodeName(path);
    int fd;
    do {
        fd = ::open(native.constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

void createIfMissing(const QString &path)
{
    if (!QFileInfo::exists(path)) {
        QFile file(path);
        (void)file.open(QIODevice::WriteOnly);
    }
}

bool writeWhole(int fd, const QByteArray &bytes)
{
    const char *data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        left -= n;
    }
    return true;
}

} // namespace

QByteArray formatLogLine(const QDateTime &time, const QString &message)
{
    // The C locale formats with ASCII digits whatever the user's region is; only the time zone
    // follows the system.
    static const QLocale posix = QLocale::c();
    const QString stamp = posix.toString(time.toLocalTime(), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return (QLatin1Char('[') + stamp + QStringLiteral("] ") + message + QLatin1Char('\n')).toUtf8();
}

AppLog &AppLog::shared()
{
    // C++ guarantees a single, race-free initialisation of a function-local static.
    static AppLog instance(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    return instance;
}

AppLog::AppLog(const QString &libraryFolder)
{
    const QString folder = QDir(libraryFolder).filePath(QStringLiteral("Logs/Lumacast"));
    QDir().mkpath(folder);
    m_logPath = QDir(folder).filePath(QStringLiteral("app.log"));
    createIfMissing(m_logPath);
    const QFileInfo info(m_logPath);
    if (info.exists() && info.size() > kMaximumLogSize) {
        QFile file(m_logPath);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.close();
    }
    m_fd = openExistingForAppending(m_logPath);
    log(QStringLiteral("=== app launched ==="));
}

AppLog::~AppLog()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void AppLog::log(const QString &message)
{
    if (m_fd < 0)
        return;
    const QByteArray line = formatLogLine(QDateTime::currentDateTime(), message);
    std::lock_guard lock(m_mutex);
    writeWhole(m_fd, line);
}

SessionLogger::~SessionLogger()
{
    close();
}

void SessionLogger::open(const QString &folder)
{
    close();
    const QString path = QDir(folder).filePath(QString::fromLatin1(PackageFolder::kHistoryLogName));
    m_logPath = path;
    try {
        m_fd = PackageFolder::openForAppending(folder, QString::fromLatin1(PackageFolder::kHistoryLogName));
    } catch (const Error &error) {
        // A link or a FIFO put there after the recording was checked: the session goes on without
        // its history rather than writing outside the recording or waiting for a reader.
        qCCritical(log::persistence(), "history log not opened: %s",
                   qUtf8Printable(error.localizedDescription()));
        return;
    }
    append(QStringLiteral("session opened"));
}

void SessionLogger::close()
{
    if (m_fd >= 0) {
        append(QStringLiteral("session closed"));
        ::close(m_fd);
    }
    m_fd = -1;
    m_logPath.reset();
}

void SessionLogger::append(const QString &message)
{
    if (m_fd < 0)
        return;
    writeWhole(m_fd, formatLogLine(QDateTime::currentDateTime(), message));
}

void SessionLogger::appendTo(const QString &folder, const QString &message)
{
    int fd = -1;
    try {
        fd = PackageFolder::openForAppending(folder, QString::fromLatin1(PackageFolder::kHistoryLogName));
    } catch (const Error &error) {
        // The recording was moved, removed, or its log replaced by something that is not a file.
        qCWarning(log::persistence(), "history log line not written: %s",
                  qUtf8Printable(error.localizedDescription()));
        return;
    }
    writeWhole(fd, formatLogLine(QDateTime::currentDateTime(), message));
    ::close(fd);
}

} // namespace lumacast
