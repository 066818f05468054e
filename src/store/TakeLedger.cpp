#include "store/TakeLedger.h"

#include "model/LogCategories.h"
#include "model/Session.h"
#include "store/AtomicFile.h"
#include "store/BoundedFile.h"
#include "store/DiskSync.h"
#include "model/Error.h"

#include <QFile>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <algorithm>

namespace lumacast {

namespace {

// A name a line, at most 255 bytes each: room for far more takes than a recording holds.
constexpr qint64 kLargestLedger = 4 * 1024 * 1024;

QMutex &ledgerMutex()
{
    static QMutex mutex;
    return mutex;
}

QString ledgerPath(const QString &folder)
{
    return folder + QLatin1Char('/') + QLatin1String(TakeLedger::kFileName);
}

QSet<QString> readUnlocked(const QString &folder)
{
    const QString path = ledgerPath(folder);
    QByteArray data;
    try {
        data = BoundedFile::read(path, kLargestLedger);
    } catch (const FileSystemError &error) {
        if (error.code() != ENOENT)
            qCWarning(log::persistence(), "take ledger unreadable, nothing in it counts: %s",
                      qUtf8Printable(error.localizedDescription()));
        return {};
    }
    QSet<QString> names;
    for (const QByteArray &line : data.split('\n')) {
        const QString name = QString::fromUtf8(line);
        if (Take::isSafeFilename(name))
            names.insert(name);
    }
    return names;
}

void writeUnlocked(const QString &folder, const QSet<QString> &names)
{
    const QString path = ledgerPath(folder);
    QStringList sorted(names.begin(), names.end());
    std::sort(sorted.begin(), sorted.end());
    const QByteArray data = sorted.isEmpty() ? QByteArray() : (sorted.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
    AtomicFile::replace(path, data);
    DiskSync::folder(folder);
}

} // namespace

QSet<QString> TakeLedger::read(const QString &folder)
{
    const QMutexLocker lock(&ledgerMutex());
    return readUnlocked(folder);
}

bool TakeLedger::update(const QString &folder, const QSet<QString> &add, const QSet<QString> &drop)
{
    const QMutexLocker lock(&ledgerMutex());
    const QSet<QString> before = readUnlocked(folder);
    QSet<QString> after = before;
    for (const QString &name : add) {
        if (Take::isSafeFilename(name))
            after.insert(name);
    }
    after.subtract(drop);
    if (after == before)
        return true;
    try {
        writeUnlocked(folder, after);
        return true;
    } catch (const Error &error) {
        qCWarning(log::persistence(), "take ledger not written: %s", qUtf8Printable(error.localizedDescription()));
        return false;
    }
}

} // namespace lumacast
