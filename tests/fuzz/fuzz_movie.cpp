// Feeds arbitrary bytes, as a movie file, through what opening a take does: the box reader
// (every table of the movie box), the asset loader above it (libavformat's view joined to
// the boxes), and the first pictures of its video decoded and converted into images as the
// filmstrip and the player convert them. Each may refuse the file with a MediaError; nothing
// else may happen.
#include "platform/av/Asset.h"
#include "platform/av/MovieStructure.h"
#include "platform/av/PictureConverter.h"
#include "platform/av/StreamDecoder.h"

#include <QByteArray>
#include <QFile>
#include <QImage>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>
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

// The first few pictures of the movie's first video track, converted as the filmstrip and the
// player convert them: an image of the picture's size in the converter's layout. The converter
// is not instrumented: each picture is also converted into a buffer of that layout followed by
// marker bytes, which must stay as they were, whatever format and size the movie gives.
void convertFirstPictures(const lumacast::av::Asset &asset)
{
    using namespace lumacast::av;
    const QList<AssetTrack> video = asset.tracks(MediaType::Video);
    if (video.isEmpty() || video.first().streamIndex < 0)
        return;
    detail::StreamDecoder decoder(asset.path(), video.first().streamIndex);
    detail::PictureConverter converter;
    for (int i = 0; i < 3; ++i) {
        const AVFrame *frame = decoder.nextFrame();
        if (!frame)
            return;
        try {
            const QImage image = decoder.toImage(frame);
            const detail::ImageLayout layout = detail::ImageLayout::of(frame->width, frame->height);
            if (image.width() != frame->width || image.height() != frame->height || image.bytesPerLine() != layout.stride)
                std::abort();
            constexpr std::uint8_t kMarker = 0xA5;
            constexpr qsizetype kGuard = 256;
            std::vector<std::uint8_t> pixels(std::size_t(layout.bytes + kGuard), kMarker);
            converter.convert(frame, pixels.data(), layout.stride);
            for (qsizetype at = layout.bytes; at < layout.bytes + kGuard; ++at)
                if (pixels[std::size_t(at)] != kMarker)
                    std::abort();
        } catch (const MediaError &) {
        }
    }
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
        convertFirstPictures(*asset);
    } catch (const MediaError &) {
    }
    return 0;
}
