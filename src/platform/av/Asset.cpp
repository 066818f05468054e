#include "platform/av/Asset.h"

#include "platform/av/FfmpegVersions.h"
#include "platform/av/SequenceParameterSet.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <QFileInfo>

#include <cmath>
#include <memory>

namespace lumacast::av {

AffineTransform AffineTransform::rotation(double degrees)
{
    const double r = degrees * M_PI / 180.0;
    double cs = std::cos(r), sn = std::sin(r);
    // Exact values for the quarter turns keep equality comparisons meaningful.
    auto snap = [](double v) { return std::abs(v) < 1e-12 ? 0.0 : std::abs(std::abs(v) - 1) < 1e-12 ? std::copysign(1.0, v) : v; };
    cs = snap(cs);
    sn = snap(sn);
    return {cs, sn, -sn, cs, 0, 0};
}

AffineTransform AffineTransform::concatenating(const AffineTransform &n) const
{
    return {a * n.a + b * n.c,         a * n.b + b * n.d,
            c * n.a + d * n.c,         c * n.b + d * n.d,
            tx * n.a + ty * n.c + n.tx, tx * n.b + ty * n.d + n.ty};
}

QRectF AffineTransform::mapRect(const QRectF &r) const
{
    const QPointF p[4] = {map(r.topLeft()), map(r.topRight()), map(r.bottomLeft()), map(r.bottomRight())};
    double minX = p[0].x(), maxX = p[0].x(), minY = p[0].y(), maxY = p[0].y();
    for (const QPointF &q : p) {
        minX = std::min(minX, q.x());
        maxX = std::max(maxX, q.x());
        minY = std::min(minY, q.y());
        maxY = std::max(maxY, q.y());
    }
    return QRectF(minX, minY, maxX - minX, maxY - minY);
}

namespace {

struct FormatCloser {
    void operator()(AVFormatContext *c) const { avformat_close_input(&c); }
};

MediaType typeOfHandler(const QByteArray &handler)
{
    if (handler == "vide")
        return MediaType::Video;
    if (handler == "soun")
        return MediaType::Audio;
    return MediaType::Other;
}

MediaType typeOfStream(const AVStream *s)
{
    switch (s->codecpar->codec_type) {
    case AVMEDIA_TYPE_VIDEO: return MediaType::Video;
    case AVMEDIA_TYPE_AUDIO: return MediaType::Audio;
    default: return MediaType::Other;
    }
}

// A format description from libavformat's view of a stream, for containers we do not read
// ourselves.
FormatDescription describeStream(const AVStream *s)
{
    FormatDescription f;
    const AVCodecParameters *p = s->codecpar;
    f.mediaType = typeOfStream(s);
    f.codecName = QString::fromLatin1(avcodec_get_name(p->codec_id));
    f.codecTag = QByteArray(reinterpret_cast<const char *>(&p->codec_tag), 4);
    f.formatID = p->codec_id == AV_CODEC_ID_AAC ? kFormatAAC : 0;
    if (f.mediaType == MediaType::Video) {
        f.width = p->width;
        f.height = p->height;
        f.parameterSets = QByteArray(reinterpret_cast<const char *>(p->extradata), p->extradata_size);
        if (p->color_primaries != AVCOL_PRI_UNSPECIFIED || p->color_trc != AVCOL_TRC_UNSPECIFIED
            || p->color_space != AVCOL_SPC_UNSPECIFIED)
            f.color = ColorTags{int(p->color_primaries), int(p->color_trc), int(p->color_space),
                                p->color_range == AVCOL_RANGE_JPEG};
        if (p->sample_aspect_ratio.num > 0)
            f.pixelAspect = std::pair<int, int>(p->sample_aspect_ratio.num, p->sample_aspect_ratio.den);
    } else if (f.mediaType == MediaType::Audio) {
        f.sampleRate = p->sample_rate;
        f.channels = p->ch_layout.nb_channels;
        if (p->codec_id == AV_CODEC_ID_AAC)
            f.audioSpecificConfig = QByteArray(reinterpret_cast<const char *>(p->extradata), p->extradata_size);
        if (p->codec_id >= AV_CODEC_ID_FIRST_AUDIO && p->codec_id < AV_CODEC_ID_ADPCM_IMA_QT) {
            f.formatID = kFormatLinearPCM;
            f.bitsPerSample = p->bits_per_coded_sample;
        }
        f.averageBitRate = p->bit_rate;
    }
    return f;
}

// Samples per second of media, unless the stream states a fixed rate that its samples come at
// no more often than: then the samples are pictures held on screen for several frames, and the
// stated rate is the track's. A stated rate below the samples' own is not believed.
double nominalFrameRate(const TrackStructure &track, const QList<FormatDescription> &formats)
{
    if (track.mediaDuration <= 0)
        return 0;
    const double average = double(track.samples.size()) * track.mediaTimescale / double(track.mediaDuration);
    if (formats.isEmpty() || formats.first().codecName != QLatin1String("h264"))
        return average;
    const auto sps = SequenceParameterSet::fromAvcC(formats.first().parameterSets);
    if (!sps || !sps->fixedFrameRate || average > *sps->fixedFrameRate * 1.01)
        return average;
    return *sps->fixedFrameRate;
}

MediaError openError(const QString &path, const QString &reason, int code = MediaError::CannotOpen)
{
    return MediaError(MediaError::mediaDomain(), code,
                      QStringLiteral("The movie \u201C%1\u201D could not be opened.").arg(QFileInfo(path).fileName()),
                      reason);
}

} // namespace

QList<AssetTrack> Asset::tracks(MediaType type) const
{
    QList<AssetTrack> out;
    for (const AssetTrack &t : m_tracks)
        if (t.mediaType == type)
            out.append(t);
    return out;
}

const TrackStructure *Asset::trackStructure(const AssetTrack &track) const
{
    if (!m_structure || track.index < 0 || track.index >= m_structure->tracks.size())
        return nullptr;
    return &m_structure->tracks[track.index];
}

std::shared_ptr<const Asset> Asset::open(const QString &path)
{
    QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        throw openError(path, QStringLiteral("No such file."));
    if (!info.isFile() || !info.isReadable())
        throw openError(path, QStringLiteral("The file is not readable."));

    auto asset = std::shared_ptr<Asset>(new Asset);
    asset->m_path = path;

    // libavformat gives stream indices for decoding and the view of containers we do not parse.
    AVFormatContext *raw = nullptr;
    const QByteArray encoded = path.toUtf8();
    const int opened = avformat_open_input(&raw, encoded.constData(), nullptr, nullptr);
    std::unique_ptr<AVFormatContext, FormatCloser> context(raw);
    if (isOpenFileLimit(opened))
        throw openFileLimitError(path, opened);
    if (opened < 0)
        throw MediaError::fromAv(opened, QStringLiteral("libavformat cannot read the file"))
            .wrapped(MediaError::UnsupportedFormat,
                     QStringLiteral("The movie \u201C%1\u201D could not be opened.").arg(info.fileName()));
    // A QuickTime movie's own boxes say all its tracks are (read below); only another container
    // needs its first frames decoded to tell its streams, which costs as much as a passthrough
    // export's whole copy of a short take.
    const bool isQuickTime = QByteArray(context->iformat->name).contains("mov");
    if (!isQuickTime) {
        const int found = avformat_find_stream_info(context.get(), nullptr);
        if (found < 0)
            throw MediaError::fromAv(found, QStringLiteral("libavformat cannot read the streams"))
                .wrapped(MediaError::CorruptMovie,
                         QStringLiteral("The movie \u201C%1\u201D could not be opened.").arg(info.fileName()));
    }
    if (isQuickTime) {
        asset->m_structure = readMovieStructure(path);
        const MovieStructure &movie = *asset->m_structure;
        std::int64_t longest = 0;
        for (int i = 0; i < movie.tracks.size(); ++i) {
            const TrackStructure &ts = movie.tracks[i];
            AssetTrack t;
            t.index = i;
            t.trackID = ts.trackID;
            t.mediaType = typeOfHandler(ts.handlerType);
            t.naturalTimescale = std::int32_t(ts.mediaTimescale);
            for (const QByteArray &entry : ts.sampleEntries)
                if (auto f = FormatDescription::fromSampleEntry(entry, t.mediaType))
                    t.formatDescriptions.append(*f);
            t.preferredTransform = {ts.matrix.a, ts.matrix.b, ts.matrix.c, ts.matrix.d, ts.matrix.tx, ts.matrix.ty};
            if (t.mediaType == MediaType::Video) {
                if (ts.width > 0 && ts.height > 0)
                    t.naturalSize = QSizeF(ts.width, ts.height);
                else if (!t.formatDescriptions.isEmpty())
                    t.naturalSize = QSizeF(t.formatDescriptions.first().width, t.formatDescriptions.first().height);
                t.nominalFrameRate = nominalFrameRate(ts, t.formatDescriptions);
            }
            std::int64_t leadingEmpty = 0;
            for (const EditEntry &e : ts.edits) {
                if (!e.isEmpty())
                    break;
                leadingEmpty += e.segmentDuration;
            }
            const std::int64_t total = ts.presentationDuration(movie.movieTimescale);
            const auto scale = std::int32_t(movie.movieTimescale);
            t.timeRange = MediaTimeRange{MediaTime(leadingEmpty, scale),
                                         MediaTime(std::max<std::int64_t>(0, total - leadingEmpty), scale)};
            longest = std::max(longest, total);
            for (unsigned s = 0; s < context->nb_streams; ++s)
                if (std::uint32_t(context->streams[s]->id) == ts.trackID)
                    t.streamIndex = int(s);
            asset->m_tracks.append(t);
        }
        asset->m_duration = MediaTime(longest, std::int32_t(movie.movieTimescale));
        return asset;
    }

    for (unsigned s = 0; s < context->nb_streams; ++s) {
        const AVStream *stream = context->streams[s];
        AssetTrack t;
        t.index = int(s);
        t.trackID = std::uint32_t(stream->id > 0 ? stream->id : int(s) + 1);
        t.mediaType = typeOfStream(stream);
        t.streamIndex = int(s);
        t.formatDescriptions.append(describeStream(stream));
        t.naturalTimescale = stream->time_base.den;
        if (t.mediaType == MediaType::Video) {
            t.naturalSize = QSizeF(stream->codecpar->width, stream->codecpar->height);
            const AVRational rate = stream->avg_frame_rate.num ? stream->avg_frame_rate : stream->r_frame_rate;
            t.nominalFrameRate = rate.den ? av_q2d(rate) : 0;
            // The display matrix has the layout of a movie track matrix (16.16 fixed point).
            if (const uint8_t *side = detail::streamDisplayMatrix(stream)) {
                const auto *m = reinterpret_cast<const int32_t *>(side);
                t.preferredTransform = {m[0] / 65536.0, m[1] / 65536.0, m[3] / 65536.0,
                                        m[4] / 65536.0, m[6] / 65536.0, m[7] / 65536.0};
            }
        }
        const MediaTime start = stream->start_time == AV_NOPTS_VALUE
            ? MediaTime::zero() : MediaTime(stream->start_time, stream->time_base.den) * stream->time_base.num;
        const MediaTime length = stream->duration == AV_NOPTS_VALUE
            ? MediaTime::zero() : MediaTime(stream->duration, stream->time_base.den) * stream->time_base.num;
        t.timeRange = MediaTimeRange{start, length};
        asset->m_duration = maximum(asset->m_duration, t.timeRange.end());
        asset->m_tracks.append(t);
    }
    if (asset->m_duration == MediaTime::zero() && context->duration != AV_NOPTS_VALUE && context->duration > 0)
        asset->m_duration = MediaTime(context->duration, AV_TIME_BASE);
    return asset;
}

} // namespace lumacast::av
