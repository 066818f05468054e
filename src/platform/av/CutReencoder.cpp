#include "platform/av/CutReencoder.h"

#include "platform/av/FfmpegVersions.h"
#include "platform/av/H264EncoderSetup.h"
#include "platform/av/TakeEncoderSettings.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/dict.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include <memory>

namespace lumacast::av {

using detail::annexBUnits;
using detail::avcC;

namespace {

MediaError unsupported(const QString &reason)
{
    return MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                      QStringLiteral("Video could not be encoded to match its take."), reason);
}

MediaError decodeFailed(const QString &reason)
{
    return MediaError(MediaError::mediaDomain(), MediaError::DecodeFailed,
                      QStringLiteral("The frames at a cut could not be decoded."), reason);
}

struct CodecDeleter {
    void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket *p) const { av_packet_free(&p); }
};
struct ScalerDeleter {
    void operator()(SwsContext *s) const { sws_freeContext(s); }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using ScalerPtr = std::unique_ptr<SwsContext, ScalerDeleter>;

// The SPS and PPS units of an avcC record, and the size of its NAL length fields.
struct AvcConfig {
    int lengthSize = 4;
    QList<QByteArray> units;
};

std::optional<AvcConfig> parseAvcC(const QByteArray &record)
{
    const auto *p = reinterpret_cast<const std::uint8_t *>(record.constData());
    const qsizetype n = record.size();
    if (n < 7 || p[0] != 1)
        return std::nullopt;
    AvcConfig config;
    config.lengthSize = (p[4] & 3) + 1;
    qsizetype pos = 5;
    for (int list = 0; list < 2; ++list) {
        if (pos >= n)
            return std::nullopt;
        const int count = list == 0 ? (p[pos] & 0x1F) : p[pos];
        ++pos;
        for (int i = 0; i < count; ++i) {
            if (pos + 2 > n)
                return std::nullopt;
            const int length = (p[pos] << 8) | p[pos + 1];
            pos += 2;
            if (pos + length > n)
                return std::nullopt;
            config.units.append(record.mid(pos, length));
            pos += length;
        }
    }
    return config;
}

QByteArray lengthPrefixed(const QList<QByteArray> &units, int lengthSize)
{
    QByteArray out;
    for (const QByteArray &unit : units) {
        const int type = unit.isEmpty() ? 0 : (std::uint8_t(unit[0]) & 0x1F);
        if (type == 7 || type == 8 || type == 9)
            continue; // parameter sets live in the sample description; access unit delimiters are noise
        for (int b = lengthSize - 1; b >= 0; --b)
            out.append(char((unit.size() >> (8 * b)) & 0xFF));
        out.append(unit);
    }
    return out;
}

CodecPtr openDecoder(const QByteArray &avcC)
{
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    if (!codec)
        throw unsupported(QStringLiteral("no H.264 decoder"));
    CodecPtr c(avcodec_alloc_context3(codec));
    c->extradata = static_cast<std::uint8_t *>(av_mallocz(avcC.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    memcpy(c->extradata, avcC.constData(), avcC.size());
    c->extradata_size = int(avcC.size());
    if (const int rc = avcodec_open2(c.get(), codec, nullptr); rc < 0)
        throw decodeFailed(ffmpegErrorText(rc));
    return c;
}

CodecPtr openEncoder(int width, int height)
{
    // The encoder writes 4:2:0, whose chroma covers pixels in pairs: libx264 refuses an odd side
    // (a movie made elsewhere in 4:4:4 may have one), and leaks what it set up when it does.
    if (width % 2 != 0 || height % 2 != 0)
        throw unsupported(QStringLiteral("a picture of %1 \u00D7 %2 pixels has an odd side, which 4:2:0 H.264 cannot hold")
                              .arg(width)
                              .arg(height));
    detail::quietenEncoderLogging();
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        throw unsupported(QStringLiteral("the H.264 encoder (libx264) is not available"));
    VideoSettings settings;
    try {
        settings = videoSettingsForFrame(width, height);
    } catch (const EncoderError &e) {
        throw unsupported(e.description());
    }
    CodecPtr c(avcodec_alloc_context3(codec));
    AVDictionary *options = nullptr;
    detail::configureH264(c.get(), settings, width, height, &options);
    const int rc = avcodec_open2(c.get(), codec, &options);
    av_dict_free(&options);
    if (rc < 0)
        throw unsupported(ffmpegErrorText(rc));
    return c;
}

// The source's H.264 configuration, which what is encoded here must match.
AvcConfig sourceConfig(const FormatDescription &format)
{
    if (format.codecName != QLatin1String("h264"))
        throw unsupported(QStringLiteral("only H.264 video is encoded to match"));
    const auto config = parseAvcC(format.parameterSets);
    if (!config)
        throw unsupported(QStringLiteral("the movie's H.264 configuration cannot be read"));
    return *config;
}

// The encoder for pictures of `width` x `height`, set up as takes of that size are recorded.
// Where its parameter sets are not the source's, `format` becomes the description of what it
// makes.
CodecPtr openMatchingEncoder(int width, int height, const AvcConfig &source, FormatDescription &format)
{
    CodecPtr encoder = openEncoder(width, height);
    const QList<QByteArray> made = annexBUnits(encoder->extradata, encoder->extradata_size);
    if (made != source.units) {
        format.sampleEntry.clear();
        format.parameterSets = avcC(made);
        format.color = encoder->color_primaries == AVCOL_PRI_BT709 ? std::optional<ColorTags>(ColorTags{1, 1, 1, false})
                                                                   : std::nullopt;
    }
    return encoder;
}

// Hands `picture` to the encoder (none: drains it) and appends the samples it gives, each with
// its NAL units length-prefixed as the source's are.
void encodeInto(AVCodecContext *encoder, AVFrame *picture, AVPacket *packet, int lengthSize,
                std::vector<std::pair<QByteArray, bool>> &out)
{
    if (const int rc = avcodec_send_frame(encoder, picture); rc < 0)
        throw unsupported(ffmpegErrorText(rc));
    for (;;) {
        const int rc = avcodec_receive_packet(encoder, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return;
        if (rc < 0)
            throw unsupported(ffmpegErrorText(rc));
        const QList<QByteArray> units = annexBUnits(packet->data, packet->size);
        out.emplace_back(lengthPrefixed(units, lengthSize), (packet->flags & AV_PKT_FLAG_KEY) != 0);
        av_packet_unref(packet);
    }
}

// The decoded `picture` as the encoder takes it: itself when its pixel format is the encoder's,
// else `converted`, filled with its pixels in the encoder's format (a 4:4:4 or 4:2:2 movie made
// elsewhere). Handed over unconverted, such frames are refused by FFmpeg 7 and were encoded from
// misread planes before.
AVFrame *inEncoderFormat(AVFrame *picture, const AVCodecContext &encoder, ScalerPtr &scaler, AVFrame *converted)
{
    if (picture->format == encoder.pix_fmt && picture->width == encoder.width && picture->height == encoder.height)
        return picture;
    const auto from = AVPixelFormat(picture->format);
    scaler.reset(sws_getCachedContext(scaler.release(), picture->width, picture->height, from, encoder.width,
                                      encoder.height, encoder.pix_fmt, SWS_BICUBIC, nullptr, nullptr, nullptr));
    if (!scaler) {
        const char *name = av_get_pix_fmt_name(from);
        throw unsupported(QStringLiteral("frames in the pixel format %1 cannot be converted for the encoder")
                              .arg(QString::fromLatin1(name ? name : "unknown")));
    }
    av_frame_unref(converted);
    converted->format = encoder.pix_fmt;
    converted->width = encoder.width;
    converted->height = encoder.height;
    if (const int rc = av_frame_get_buffer(converted, 0); rc < 0)
        throw unsupported(ffmpegErrorText(rc));
    av_frame_copy_props(converted, picture);
    // Into a frame FFmpeg allocated and padded for its format, which the converter writes into.
    if (const int rc = sws_scale(scaler.get(), picture->data, picture->linesize, 0, picture->height, converted->data,
                                 converted->linesize);
        rc < 0)
        throw unsupported(ffmpegErrorText(rc));
    return converted;
}

} // namespace

CutReencoder::CutReencoder(const FormatDescription &format) : m_format(format) {}

CutReencoder::Result CutReencoder::reencode(QFile &source, const QList<SampleRecord> &samples, qsizetype decodeFrom,
                                            qsizetype decodeTo, std::int64_t showFrom, std::int64_t showTo) const
{
    const AvcConfig config = sourceConfig(m_format);
    if (decodeFrom < 0 || decodeFrom >= decodeTo || decodeTo > samples.size() || showFrom >= showTo)
        throw decodeFailed(QStringLiteral("no such stretch of samples"));
    qsizetype expected = 0;
    for (qsizetype i = decodeFrom; i < decodeTo; ++i)
        expected += samples[i].presentationTime() >= showFrom && samples[i].presentationTime() < showTo;

    CodecPtr decoder = openDecoder(m_format.parameterSets);
    CodecPtr encoder;
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    FramePtr converted(av_frame_alloc());
    ScalerPtr scaler;
    Result result{{}, m_format};
    std::vector<std::pair<QByteArray, bool>> &out = result.samples;
    std::int64_t encodedPts = 0;
    bool leading = true;

    auto encode = [&](AVFrame *picture) {
        if (picture) {
            if (!encoder)
                encoder = openMatchingEncoder(picture->width, picture->height, config, result.format);
            picture = inEncoderFormat(picture, *encoder, scaler, converted.get());
            picture->pts = encodedPts;
            encodedPts += encoder->time_base.den / std::max(1, encoder->framerate.num);
            picture->pict_type = leading ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
            leading = false;
        }
        if (encoder)
            encodeInto(encoder.get(), picture, packet.get(), config.lengthSize, out);
    };
    auto receiveFrames = [&] {
        for (;;) {
            const int rc = avcodec_receive_frame(decoder.get(), frame.get());
            if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
                return;
            if (rc < 0)
                throw decodeFailed(ffmpegErrorText(rc));
            // Frames before the cut only feed the decoder.
            if (frame->pts >= showFrom && frame->pts < showTo) {
                frame->pict_type = AV_PICTURE_TYPE_NONE;
                detail::clearKeyFrame(frame.get());
                encode(frame.get());
            }
            av_frame_unref(frame.get());
        }
    };

    QByteArray bytes;
    for (qsizetype i = decodeFrom; i < decodeTo; ++i) {
        const SampleRecord &s = samples[i];
        bytes.resize(qsizetype(s.size) + AV_INPUT_BUFFER_PADDING_SIZE);
        bytes.fill('\0');
        if (!source.seek(s.offset) || source.read(bytes.data(), s.size) != qint64(s.size))
            throw decodeFailed(QStringLiteral("a sample lies beyond the end of the file"));
        av_packet_unref(packet.get());
        packet->data = reinterpret_cast<std::uint8_t *>(bytes.data());
        packet->size = int(s.size);
        packet->pts = s.presentationTime();
        packet->dts = s.decodeTime;
        packet->flags = s.sync ? AV_PKT_FLAG_KEY : 0;
        const int rc = avcodec_send_packet(decoder.get(), packet.get());
        packet->data = nullptr;
        packet->size = 0;
        if (rc < 0)
            throw decodeFailed(ffmpegErrorText(rc));
        receiveFrames();
    }
    avcodec_send_packet(decoder.get(), nullptr);
    receiveFrames();
    encode(nullptr);
    if (qsizetype(out.size()) != expected || out.empty())
        throw decodeFailed(QStringLiteral("%1 of %2 frames came back").arg(out.size()).arg(expected));
    if (!out.front().second)
        throw unsupported(QStringLiteral("the re-encoded stretch does not start on a key frame"));
    return result;
}

CutReencoder::Result CutReencoder::blackPicture() const
{
    const AvcConfig config = sourceConfig(m_format);
    Result result{{}, m_format};
    const CodecPtr encoder = openMatchingEncoder(m_format.width, m_format.height, config, result.format);
    const FramePtr picture(av_frame_alloc());
    picture->format = encoder->pix_fmt;
    picture->width = encoder->width;
    picture->height = encoder->height;
    if (const int rc = av_frame_get_buffer(picture.get(), 0); rc < 0)
        throw unsupported(ffmpegErrorText(rc));
    const ptrdiff_t linesizes[4] = {picture->linesize[0], picture->linesize[1], picture->linesize[2], picture->linesize[3]};
    if (const int rc = av_image_fill_black(picture->data, linesizes, encoder->pix_fmt, encoder->color_range,
                                           picture->width, picture->height);
        rc < 0)
        throw unsupported(ffmpegErrorText(rc));
    picture->pts = 0;
    picture->pict_type = AV_PICTURE_TYPE_I;
    const PacketPtr packet(av_packet_alloc());
    encodeInto(encoder.get(), picture.get(), packet.get(), config.lengthSize, result.samples);
    encodeInto(encoder.get(), nullptr, packet.get(), config.lengthSize, result.samples);
    if (result.samples.size() != 1 || !result.samples.front().second)
        throw unsupported(QStringLiteral("the black picture did not come out as one key frame"));
    return result;
}

namespace detail {

// The NAL units of an Annex B byte stream (start codes and the zero bytes before them removed).
QList<QByteArray> annexBUnits(const std::uint8_t *data, qsizetype size)
{
    QList<QByteArray> units;
    qsizetype start = -1;
    qsizetype i = 0;
    auto close = [&](qsizetype end) {
        if (start < 0)  // bytes before the first start code belong to no unit
            return;
        while (end > start && data[end - 1] == 0)
            --end;
        if (end > start)
            units.append(QByteArray(reinterpret_cast<const char *>(data + start), end - start));
    };
    while (i + 3 <= size) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            close(i);
            i += 3;
            start = i;
        } else {
            ++i;
        }
    }
    if (start >= 0)
        close(size);
    return units;
}

// An avcC record for one SPS and one PPS, laid out as the movies we record carry it.
QByteArray avcC(const QList<QByteArray> &units)
{
    QByteArray sps, pps;
    for (const QByteArray &u : units) {
        const int type = u.isEmpty() ? 0 : (std::uint8_t(u[0]) & 0x1F);
        if (type == 7 && sps.isEmpty())
            sps = u;
        else if (type == 8 && pps.isEmpty())
            pps = u;
    }
    if (sps.size() < 4 || pps.isEmpty())
        throw MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                         QStringLiteral("The H.264 parameter sets are incomplete."),
                         QStringLiteral("the encoder gave no parameter sets"));
    QByteArray out;
    out.append(char(1));
    out.append(sps.mid(1, 3));
    out.append(char(0xFF)); // four-byte NAL lengths
    out.append(char(0xE1));
    out.append(char(sps.size() >> 8)).append(char(sps.size() & 0xFF)).append(sps);
    out.append(char(1));
    out.append(char(pps.size() >> 8)).append(char(pps.size() & 0xFF)).append(pps);
    const int profile = std::uint8_t(sps[1]);
    if (profile == 100 || profile == 110 || profile == 122 || profile == 144)
        out.append(char(0xFD)).append(char(0xF8)).append(char(0xF8)).append(char(0)); // 4:2:0, 8 bits
    return out;
}

} // namespace detail

} // namespace lumacast::av
