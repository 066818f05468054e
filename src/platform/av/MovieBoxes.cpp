#include "platform/av/MovieBoxes.h"

#include <QtEndian>

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <utility>
#include <vector>

namespace lumacast::av::movie_boxes {

namespace {

constexpr std::uint32_t kMax32 = std::numeric_limits<std::uint32_t>::max();

// The payload of one box, big-endian; `box` puts the size and type in front.
class BoxBuilder {
public:
    void u8(std::uint8_t v) { m_data.append(char(v)); }
    void u16(std::uint16_t v) { append<quint16>(v); }
    void u32(std::uint32_t v) { append<quint32>(v); }
    void u64(std::uint64_t v) { append<quint64>(v); }
    void s32(std::int32_t v) { append<quint32>(std::uint32_t(v)); }
    void fourcc(const char *code) { m_data.append(code, 4); }
    void bytes(const QByteArray &b) { m_data.append(b); }
    void zeros(int n) { m_data.append(QByteArray(n, '\0')); }
    void fixed16(double v) { s32(std::int32_t(std::lround(v * 65536.0))); }
    // The first word of a full box: one byte of version, 24 bits of flags.
    void versionAndFlags(std::uint8_t version, std::uint32_t flags)
    {
        u8(version);
        u8(std::uint8_t(flags >> 16));
        u16(std::uint16_t(flags));
    }
    // A transformation matrix [a b u; c d v; tx ty w]: u, v and w are 2.30 fixed point, the rest 16.16.
    void matrix(double a, double b, double c, double d, double tx, double ty)
    {
        fixed16(a);
        fixed16(b);
        u32(0); // u
        fixed16(c);
        fixed16(d);
        u32(0); // v
        fixed16(tx);
        fixed16(ty);
        u32(0x40000000); // w: 1.0
    }
    QByteArray box(const char *type) const
    {
        QByteArray out;
        char size[4];
        qToBigEndian<quint32>(quint32(m_data.size() + 8), size);
        out.append(size, 4);
        out.append(type, 4);
        out.append(m_data);
        return out;
    }
    const QByteArray &data() const { return m_data; }

private:
    template <typename T> void append(T v)
    {
        char b[sizeof(T)];
        qToBigEndian<T>(v, b);
        m_data.append(b, sizeof(T));
    }
    QByteArray m_data;
};

// mvhd, tkhd and mdhd open alike: version and flags, creation and modification time, the words
// in `between` (the timescale; tkhd: the track ID and a reserved word), then the duration.
// Version 1 widens both times and the duration to 64 bits; it is used only when the duration
// needs it. Creation and modification times are left at 0: a take's file times tell them.
void timedHeader(BoxBuilder &b, std::uint32_t flags, std::initializer_list<std::uint32_t> between,
                 std::int64_t duration)
{
    const bool wide = std::uint64_t(duration) > kMax32;
    b.versionAndFlags(wide ? 1 : 0, flags);
    if (wide) {
        b.u64(0); // creation time
        b.u64(0); // modification time
    } else {
        b.u32(0); // creation time
        b.u32(0); // modification time
    }
    for (std::uint32_t word : between)
        b.u32(word);
    if (wide)
        b.u64(std::uint64_t(duration)); // duration
    else
        b.u32(std::uint32_t(duration)); // duration
}

QByteArray tkhd(const TrackContent &t)
{
    const WriterTrackSettings &s = t.settings;
    const bool isVideo = s.mediaType == MediaType::Video;
    const bool isAudio = s.mediaType == MediaType::Audio;
    BoxBuilder b;
    // Flags: in poster | in preview | in movie, and enabled when the track is.
    timedHeader(b, s.enabled ? 0x000F : 0x000E, {t.trackID, 0 /* reserved */}, t.duration);
    b.zeros(8);                      // reserved
    b.u16(0);                        // layer
    b.u16(isAudio ? 1 : 0);          // alternate group
    b.u16(isAudio ? 0x0100 : 0);     // volume, 8.8 fixed point
    b.u16(0);                        // reserved
    const AffineTransform &m = s.preferredTransform;
    b.matrix(m.a, m.b, m.c, m.d, m.tx, m.ty);
    b.fixed16(isVideo ? s.naturalSize.width() : 0);  // track width
    b.fixed16(isVideo ? s.naturalSize.height() : 0); // track height
    return b.box("tkhd");
}

QByteArray elst(const QList<EditEntry> &edits)
{
    bool wide = false;
    for (const EditEntry &e : edits)
        wide = wide || std::uint64_t(e.segmentDuration) > kMax32 || e.mediaTime > std::numeric_limits<std::int32_t>::max();
    BoxBuilder b;
    b.versionAndFlags(wide ? 1 : 0, 0);
    b.u32(std::uint32_t(edits.size())); // number of entries
    for (const EditEntry &e : edits) {
        if (wide) {
            b.u64(std::uint64_t(e.segmentDuration)); // track duration, movie timescale
            b.u64(std::uint64_t(e.mediaTime));       // media time, -1 for an empty edit
        } else {
            b.u32(std::uint32_t(e.segmentDuration));
            b.s32(std::int32_t(e.mediaTime));
        }
        b.fixed16(e.rate); // media rate
    }
    return b.box("elst");
}

QByteArray mdhd(std::int32_t timescale, std::int64_t duration)
{
    BoxBuilder b;
    timedHeader(b, 0, {std::uint32_t(timescale)}, duration);
    b.u16(0x55C4); // language: "und", packed ISO 639-2/T
    b.u16(0);      // quality
    return b.box("mdhd");
}

QByteArray hdlr(const char *componentType, const char *componentSubtype, const QByteArray &name)
{
    BoxBuilder b;
    b.versionAndFlags(0, 0);
    b.fourcc(componentType);
    b.fourcc(componentSubtype);
    b.zeros(12);                           // component manufacturer, flags, flags mask
    b.u8(std::uint8_t(name.size()));       // component name, a Pascal string
    b.bytes(name);
    return b.box("hdlr");
}

QByteArray vmhd()
{
    BoxBuilder b;
    b.versionAndFlags(0, 1); // flag 1: no lean ahead
    b.u16(0);                // graphics mode: copy
    b.zeros(6);              // opcolor
    return b.box("vmhd");
}

QByteArray smhd()
{
    BoxBuilder b;
    b.versionAndFlags(0, 0);
    b.u16(0); // balance
    b.u16(0); // reserved
    return b.box("smhd");
}

QByteArray dinf()
{
    BoxBuilder alis;
    alis.versionAndFlags(0, 1); // flag 1: the media is in this file
    BoxBuilder dref;
    dref.versionAndFlags(0, 0);
    dref.u32(1); // number of entries
    dref.bytes(alis.box("alis"));
    return container("dinf", dref.box("dref"));
}

QByteArray stsd(const QList<QByteArray> &descriptions)
{
    BoxBuilder b;
    b.versionAndFlags(0, 0);
    b.u32(std::uint32_t(descriptions.size())); // number of entries
    for (const QByteArray &entry : descriptions)
        b.bytes(entry);
    return b.box("stsd");
}

// Runs of equal values, as (count, value): what stts and ctts store.
template <typename T, typename Field> std::vector<std::pair<std::uint32_t, T>> runsOf(std::span<const SampleRow> samples, Field field)
{
    std::vector<std::pair<std::uint32_t, T>> runs;
    for (const SampleRow &s : samples) {
        const T value = field(s);
        if (!runs.empty() && runs.back().second == value)
            runs.back().first++;
        else
            runs.push_back({1, value});
    }
    return runs;
}

QByteArray stts(std::span<const SampleRow> samples)
{
    const auto runs = runsOf<std::uint32_t>(samples, [](const SampleRow &s) { return s.duration; });
    BoxBuilder b;
    b.versionAndFlags(0, 0);
    b.u32(std::uint32_t(runs.size())); // number of entries
    for (const auto &[count, duration] : runs) {
        b.u32(count);    // sample count
        b.u32(duration); // sample duration
    }
    return b.box("stts");
}

// Empty when every sample is presented as it is decoded.
QByteArray ctts(std::span<const SampleRow> samples)
{
    const auto runs = runsOf<std::int32_t>(samples, [](const SampleRow &s) { return s.compositionOffset; });
    if (std::all_of(runs.begin(), runs.end(), [](const auto &run) { return run.second == 0; }))
        return {};
    const bool negative = std::any_of(runs.begin(), runs.end(), [](const auto &run) { return run.second < 0; });
    BoxBuilder b;
    b.versionAndFlags(negative ? 1 : 0, 0); // version 1: signed offsets
    b.u32(std::uint32_t(runs.size()));      // number of entries
    for (const auto &[count, offset] : runs) {
        b.u32(count);  // sample count
        b.s32(offset); // composition offset
    }
    return b.box("ctts");
}

// Empty when every sample is a sync sample.
QByteArray stss(std::span<const SampleRow> samples)
{
    QList<std::uint32_t> numbers;
    for (std::size_t i = 0; i < samples.size(); ++i)
        if (samples[i].sync)
            numbers.append(std::uint32_t(i + 1));
    if (std::size_t(numbers.size()) == samples.size())
        return {};
    BoxBuilder b;
    b.versionAndFlags(0, 0);
    b.u32(std::uint32_t(numbers.size())); // number of entries
    for (std::uint32_t n : numbers)
        b.u32(n); // sample number, 1-based
    return b.box("stss");
}

QByteArray stsc(std::span<const ChunkRow> chunks)
{
    // A run of chunks alike is one entry naming its first chunk.
    QList<std::array<std::uint32_t, 3>> runs;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        const ChunkRow &c = chunks[i];
        if (!runs.isEmpty() && runs.last()[1] == c.sampleCount && runs.last()[2] == c.description)
            continue;
        runs.append({std::uint32_t(i + 1), c.sampleCount, c.description});
    }
    BoxBuilder b;
    b.versionAndFlags(0, 0);
    b.u32(std::uint32_t(runs.size())); // number of entries
    for (const auto &[firstChunk, samplesPerChunk, description] : runs) {
        b.u32(firstChunk);      // first chunk, 1-based
        b.u32(samplesPerChunk); // samples per chunk
        b.u32(description);     // sample description ID
    }
    return b.box("stsc");
}

QByteArray stsz(std::span<const SampleRow> samples)
{
    const bool sameSize = std::all_of(samples.begin(), samples.end(),
                                      [&](const SampleRow &s) { return s.size == samples.front().size; });
    BoxBuilder b;
    b.versionAndFlags(0, 0);
    b.u32(sameSize ? samples.front().size : 0); // sample size; 0: each sample's follows
    b.u32(std::uint32_t(samples.size()));       // number of entries
    if (!sameSize)
        for (const SampleRow &s : samples)
            b.u32(s.size);
    return b.box("stsz");
}

// 64-bit chunk offsets throughout: a file past 4 GB needs them, and readers take them as well.
QByteArray co64(std::span<const ChunkRow> chunks)
{
    BoxBuilder b;
    b.versionAndFlags(0, 0);
    b.u32(std::uint32_t(chunks.size())); // number of entries
    for (const ChunkRow &c : chunks)
        b.u64(std::uint64_t(c.offset)); // chunk offset
    return b.box("co64");
}

QByteArray stbl(const TrackContent &t)
{
    QByteArray children = stsd(t.descriptions);
    children.append(stts(t.samples));
    children.append(ctts(t.samples));
    children.append(stss(t.samples));
    children.append(stsc(t.chunks));
    children.append(stsz(t.samples));
    children.append(co64(t.chunks));
    return container("stbl", children);
}

QByteArray minf(const TrackContent &t)
{
    QByteArray children;
    if (t.settings.mediaType == MediaType::Video)
        children.append(vmhd());
    else if (t.settings.mediaType == MediaType::Audio)
        children.append(smhd());
    children.append(hdlr("dhlr", "alis", "DataHandler"));
    children.append(dinf());
    children.append(stbl(t));
    return container("minf", children);
}

QByteArray mdia(const TrackContent &t)
{
    const MediaType type = t.settings.mediaType;
    QByteArray children = mdhd(t.settings.mediaTimescale, t.mediaDuration);
    children.append(type == MediaType::Video   ? hdlr("mhlr", "vide", "VideoHandler")
                    : type == MediaType::Audio ? hdlr("mhlr", "soun", "SoundHandler")
                                               : hdlr("mhlr", "data", "DataHandler"));
    children.append(minf(t));
    return container("mdia", children);
}

} // namespace

QByteArray container(const char *type, const QByteArray &children)
{
    BoxBuilder b;
    b.bytes(children);
    return b.box(type);
}

QByteArray ftyp()
{
    BoxBuilder b;
    b.fourcc("qt  ");    // major brand
    b.u32(0x00000200);   // minor version
    b.fourcc("qt  ");    // compatible brands
    return b.box("ftyp");
}

QByteArray reservedMdatHeader()
{
    BoxBuilder b;
    b.u32(8);
    b.fourcc("wide");
    b.u32(0); // size: 0 reads as "to the end of the file" until finish writes the real one
    b.fourcc("mdat");
    return b.data();
}

QByteArray mdatHeader(std::int64_t sampleBytes)
{
    BoxBuilder b;
    const std::uint64_t size = std::uint64_t(sampleBytes) + 8;
    if (size <= kMax32) {
        // An empty 'wide' box, kept for the 64-bit size a longer movie would need.
        b.u32(8);
        b.fourcc("wide");
        b.u32(std::uint32_t(size)); // size
        b.fourcc("mdat");
    } else {
        b.u32(1);                            // size: the 64-bit one follows
        b.fourcc("mdat");
        b.u64(std::uint64_t(sampleBytes) + 16); // size
    }
    return b.data();
}

QByteArray mvhd(std::int32_t timescale, std::int64_t duration, std::uint32_t nextTrackID)
{
    BoxBuilder b;
    timedHeader(b, 0, {std::uint32_t(timescale)}, duration);
    b.u32(0x00010000); // preferred rate, 16.16
    b.u16(0x0100);     // preferred volume, 8.8
    b.zeros(10);       // reserved
    b.matrix(1, 0, 0, 1, 0, 0);
    b.zeros(24);       // preview time and duration, poster time, selection time and duration, current time
    b.u32(nextTrackID); // next track ID
    return b.box("mvhd");
}

QByteArray trak(const TrackContent &t)
{
    QByteArray children = tkhd(t);
    children.append(container("edts", elst(t.edits)));
    children.append(mdia(t));
    return container("trak", children);
}

} // namespace lumacast::av::movie_boxes
