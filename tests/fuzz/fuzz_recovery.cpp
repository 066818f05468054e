// Feeds arbitrary bytes, as a take movie a crash cut off and its journal (a 32-bit little-endian
// journal length, the journal, the movie), through the journal reader and the recovery. A refusal
// must be a MediaError that leaves the movie byte for byte; a finished movie must read back
// through our own reader as long as recovery said, its samples' bytes untouched.
#include "platform/av/Asset.h"
#include "platform/av/TakeJournal.h"
#include "platform/av/TakeRecovery.h"

#include <QFile>
#include <QtEndian>

#include <cmath>
#include <cstdlib>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

using namespace lumacast::av;

namespace {

// On a memory-backed folder where there is one: recovery syncs what it finishes.
const QString kMovie = QStringLiteral("%1/lumacast-fuzz-recovery-%2.mov")
                           .arg(QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm") : QStringLiteral("/tmp"))
                           .arg(::getpid());

QByteArray bytesOf(const QString &path, const QByteArray *replacement = nullptr)
{
    QFile file(path);
    if (!file.open(replacement ? QIODevice::WriteOnly | QIODevice::Truncate : QIODevice::ReadOnly))
        std::abort();
    return replacement ? (file.write(*replacement), *replacement) : file.readAll();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    av_log_set_level(AV_LOG_QUIET);
    std::atexit([] { QFile::remove(kMovie), QFile::remove(TakeJournal::pathFor(kMovie)); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype length = size < 4 ? 0 : std::min<qsizetype>(qFromLittleEndian<std::uint32_t>(data), input.size() - 4);
    const QByteArray journal = input.mid(4, length), movie = input.mid(4 + length);
    bytesOf(kMovie, &movie);
    bytesOf(TakeJournal::pathFor(kMovie), &journal);
    try {
        const TakeRecovery::Result result = TakeRecovery::recover(kMovie);
        const qsizetype samplesFrom = qsizetype(TakeJournal::parse(journal).mediaDataStart) + 16;
        const QByteArray finished = bytesOf(kMovie);
        if (!result.wasFinished
            && (finished.left(samplesFrom - 16) != movie.left(samplesFrom - 16)
                || finished.mid(samplesFrom, movie.size() - samplesFrom) != movie.mid(samplesFrom)
                || std::abs(Asset::open(kMovie)->duration().seconds() - result.seconds) > 0.01))
            std::abort();
    } catch (const MediaError &) {
        if (bytesOf(kMovie) != movie)
            std::abort();
    }
    return 0;
}
