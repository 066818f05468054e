// Feeds arbitrary bytes, as a take movie cut off by a crash and its journal, through what opening a
// recording does with them: the journal reader and the recovery. The input is a 32-bit
// little-endian journal length, the journal, then the movie. Recovery may refuse with a
// MediaError, and then the movie must be byte for byte as it was; or it finishes the movie, which
// must then read back through our own reader and keep every byte of its samples.
#include "platform/av/Asset.h"
#include "platform/av/TakeJournal.h"
#include "platform/av/TakeRecovery.h"

#include <QByteArray>
#include <QFile>
#include <QtEndian>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {

const QString &scratchPath()
{
    static const QString path = [] {
        const QString folder = QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm")
                                                                          : QStringLiteral("/tmp");
        return folder + QStringLiteral("/lumacast-fuzz-recovery-%1.mov").arg(::getpid());
    }();
    return path;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        std::abort();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        std::abort();
    return file.readAll();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    av_log_set_level(AV_LOG_QUIET);
    scratchPath(); // made before the handler is registered, so that it outlives it
    std::atexit([] {
        QFile::remove(scratchPath());
        QFile::remove(lumacast::av::TakeJournal::pathFor(scratchPath()));
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace lumacast::av;
    if (size < 4)
        return 0;
    const QByteArray input = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype journalSize = std::min<qsizetype>(qFromLittleEndian<std::uint32_t>(data), input.size() - 4);
    const QByteArray journal = input.mid(4, journalSize);
    const QByteArray movie = input.mid(4 + journalSize);
    writeFile(scratchPath(), movie);
    writeFile(TakeJournal::pathFor(scratchPath()), journal);

    std::int64_t mediaDataStart = -1;
    try {
        mediaDataStart = TakeJournal::parse(journal).mediaDataStart;
    } catch (const MediaError &) {
    }
    try {
        const TakeRecovery::Result result = TakeRecovery::recover(scratchPath());
        if (result.wasFinished)
            return 0;
        if (!std::isfinite(result.seconds) || result.seconds <= 0 || mediaDataStart < 0)
            std::abort();
        const QByteArray finished = readFile(scratchPath());
        const qsizetype samplesFrom = qsizetype(mediaDataStart) + 16;
        if (finished.left(qsizetype(mediaDataStart)) != movie.left(qsizetype(mediaDataStart))
            || finished.mid(samplesFrom, movie.size() - samplesFrom) != movie.mid(samplesFrom))
            std::abort();
        if (std::abs(Asset::open(scratchPath())->duration().seconds() - result.seconds) > 0.01)
            std::abort();
    } catch (const MediaError &) {
        if (readFile(scratchPath()) != movie)
            std::abort();
    }
    return 0;
}
