// Feeds arbitrary bytes, as a movie file, through what opening a take does: the box reader
// (every table of the movie box) and the asset loader above it (libavformat's view joined to
// the boxes). Either may refuse the file with a MediaError; nothing else may happen.
#include "platform/av/Asset.h"
#include "platform/av/MovieStructure.h"

#include <QByteArray>
#include <QFile>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {

// One scratch file per process, on a memory-backed folder when there is one.
const QString &scratchPath()
{
    static const QString path = [] {
        const QString folder = QFile::exists(QStringLiteral("/dev/shm")) ? QStringLiteral("/dev/shm")
                                                                          : QStringLiteral("/tmp");
        return folder + QStringLiteral("/lumacast-fuzz-movie-%1.mov").arg(::getpid());
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    av_log_set_level(AV_LOG_QUIET);
    std::atexit([] { QFile::remove(scratchPath()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace lumacast::av;
    {
        QFile file(scratchPath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            std::abort();
        file.write(reinterpret_cast<const char *>(data), qint64(size));
    }
    try {
        const MovieStructure movie = readMovieStructure(scratchPath());
        // What the reader hands on must be as bounded as the file it came from.
        for (const TrackStructure &track : movie.tracks) {
            if (track.mediaTimescale == 0 || track.mediaTimescale > 0x7FFFFFFFu)
                std::abort();
            if (std::uint64_t(track.samples.size()) > 2 * std::uint64_t(size)) // 4-bit sizes: two a byte
                std::abort();
        }
    } catch (const MediaError &) {
    }
    try {
        const auto asset = Asset::open(scratchPath());
        for (const AssetTrack &track : asset->tracks())
            if (track.naturalTimescale < 0)
                std::abort();
        if (asset->duration().timescale < 0)
            std::abort();
    } catch (const MediaError &) {
    }
    return 0;
}
