#include "platform/media/TakeEncoderProbe.h"

#include "platform/media/TakeEncoderSettings.h"

extern "C" {
#include <libavcodec/codec_desc.h>
#include <libavformat/avformat.h>
}

#include <QFile>

#include <optional>

namespace lumacast::media {

namespace {

uint32_t readU32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

uint64_t readU64(const uint8_t *p)
{
    return (uint64_t(readU32(p)) << 32) | readU32(p + 4);
}

struct Box {
    uint32_t type = 0;
    const uint8_t *payload = nullptr;
    uint64_t size = 0; // payload size
};

// The child boxes of a box payload; stops at the first malformed header.
std::vector<Box> children(const uint8_t *data, uint64_t size)
{
    std::vector<Box> boxes;
    uint64_t at = 0;
    while (at + 8 <= size) {
        uint64_t boxSize = readU32(data + at);
        const uint32_t type = readU32(data + at + 4);
        uint64_t header = 8;
        if (boxSize == 1) {
            if (at + 16 > size)
                break;
            boxSize = readU64(data + at + 8);
            header = 16;
        } else if (boxSize == 0) {
            boxSize = size - at;
        }
        if (boxSize < header || boxSize > size - at)
            break;
        boxes.push_back({type, data + at + header, boxSize - header});
        at += boxSize;
    }
    return boxes;
}

std::optional<Box> child(const Box &parent, uint32_t type)
{
    for (const Box &b : children(parent.payload, parent.size))
        if (b.type == type)
            return b;
    return std::nullopt;
}

// The sample-description count of every sound track, in track order; empty when the movie's
// index cannot be read (the counts are then taken as one each).
std::vector<int> soundTrackDescriptionCounts(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 fileSize = file.size();
    qint64 at = 0;
    while (at + 8 <= fileSize) {
        file.seek(at);
        const QByteArray header = file.read(16);
        if (header.size() < 8)
            return {};
        const auto *h = reinterpret_cast<const uint8_t *>(header.constData());
        uint64_t boxSize = readU32(h);
        const uint32_t type = readU32(h + 4);
        qint64 headerSize = 8;
        if (boxSize == 1 && header.size() >= 16) {
            boxSize = readU64(h + 8);
            headerSize = 16;
        } else if (boxSize == 0) {
            boxSize = uint64_t(fileSize - at);
        }
        if (boxSize < uint64_t(headerSize) || boxSize > uint64_t(fileSize - at))
            return {};
        if (type == fourCC("moov")) {
            if (boxSize > (uint64_t(1) << 30))
                return {};
            file.seek(at + headerSize);
            const QByteArray moov = file.read(qint64(boxSize) - headerSize);
            std::vector<int> counts;
            const auto *m = reinterpret_cast<const uint8_t *>(moov.constData());
            for (const Box &trak : children(m, uint64_t(moov.size()))) {
                if (trak.type != fourCC("trak"))
                    continue;
                const auto mdia = child(trak, fourCC("mdia"));
                if (!mdia)
                    continue;
                const auto hdlr = child(*mdia, fourCC("hdlr"));
                if (!hdlr || hdlr->size < 12 || readU32(hdlr->payload + 8) != fourCC("soun"))
                    continue;
                int count = 0;
                if (const auto minf = child(*mdia, fourCC("minf")))
                    if (const auto stbl = child(*minf, fourCC("stbl")))
                        if (const auto stsd = child(*stbl, fourCC("stsd")); stsd && stsd->size >= 8)
                            count = int(readU32(stsd->payload + 4));
                counts.push_back(count);
            }
            return counts;
        }
        at += qint64(boxSize);
    }
    return {};
}

uint32_t formatIDFor(const AVCodecParameters *par)
{
    switch (par->codec_id) {
    case AV_CODEC_ID_AAC:
        return kAudioFormatMPEG4AAC;
    case AV_CODEC_ID_MP3:
        return fourCC(".mp3");
    case AV_CODEC_ID_AC3:
        return fourCC("ac-3");
    case AV_CODEC_ID_EAC3:
        return fourCC("ec-3");
    case AV_CODEC_ID_ALAC:
        return fourCC("alac");
    case AV_CODEC_ID_OPUS:
        return fourCC("opus");
    case AV_CODEC_ID_FLAC:
        return fourCC("flac");
    default:
        break;
    }
    const AVCodecDescriptor *desc = avcodec_descriptor_get(par->codec_id);
    if (desc && desc->name && QByteArray(desc->name).startsWith("pcm_"))
        return kAudioFormatLinearPCM;
    // Otherwise the sample description's own code (FFmpeg keeps it little-endian).
    const uint32_t t = par->codec_tag;
    return ((t & 0xff) << 24) | (((t >> 8) & 0xff) << 16) | (((t >> 16) & 0xff) << 8) | (t >> 24);
}

} // namespace

std::vector<TakeAudioTrackFormat> readAudioTrackFormats(const QString &path)
{
    AVFormatContext *ctx = nullptr;
    const QByteArray local = path.toLocal8Bit();
    int rc = avformat_open_input(&ctx, local.constData(), nullptr, nullptr);
    if (rc < 0)
        throw EncoderError(QStringLiteral("Could not open %1: %2").arg(path, ffmpegErrorText(rc)),
                           rc);
    std::vector<int> counts = soundTrackDescriptionCounts(path);
    unsigned audioStreams = 0;
    for (unsigned i = 0; i < ctx->nb_streams; ++i)
        audioStreams += ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    // The index is read beside the demuxer only for its description counts; when the two do
    // not see the same sound tracks, one description each is the demuxer's own view.
    if (counts.size() != audioStreams)
        counts.clear();
    std::vector<TakeAudioTrackFormat> tracks;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        const AVCodecParameters *par = ctx->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        TakeAudioTrackFormat f;
        const size_t n = tracks.size();
        f.formatDescriptionCount = n < counts.size() ? counts[n] : 1;
        f.hasStreamDescription = par->codec_id != AV_CODEC_ID_NONE || par->codec_tag != 0;
        f.formatID = formatIDFor(par);
        f.sampleRate = par->sample_rate;
        f.channels = par->ch_layout.nb_channels;
        tracks.push_back(f);
    }
    avformat_close_input(&ctx);
    return tracks;
}

} // namespace lumacast::media
