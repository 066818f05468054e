#include "platform/av/MovieStructure.h"

#include <QFile>

#include <algorithm>
#include <limits>

namespace lumacast::av {

namespace {

// A bounds-checked big-endian cursor over box payloads. Reading past the end marks the cursor
// bad instead of touching memory it does not own.
class Cursor {
public:
    Cursor(const QByteArray &data, qsizetype begin = 0, qsizetype end = -1)
        : m_data(data), m_pos(begin), m_end(end < 0 ? data.size() : end)
    {
    }

    bool ok() const { return m_ok; }
    qsizetype pos() const { return m_pos; }
    qsizetype remaining() const { return m_end - m_pos; }

    std::uint64_t read(int bytes)
    {
        if (remaining() < bytes) {
            m_ok = false;
            m_pos = m_end;
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < bytes; ++i)
            v = (v << 8) | std::uint8_t(m_data[m_pos + i]);
        m_pos += bytes;
        return v;
    }
    std::uint8_t u8() { return std::uint8_t(read(1)); }
    std::uint16_t u16() { return std::uint16_t(read(2)); }
    std::uint32_t u32() { return std::uint32_t(read(4)); }
    std::uint64_t u64() { return read(8); }
    std::int32_t s32() { return std::int32_t(u32()); }
    // The first word of a full box: returns the version, passes over the 24 bits of flags.
    int versionAndFlags()
    {
        const int version = u8();
        skip(3);
        return version;
    }
    void skip(qsizetype n)
    {
        if (remaining() < n) {
            m_ok = false;
            m_pos = m_end;
            return;
        }
        m_pos += n;
    }
    QByteArray bytes(qsizetype n)
    {
        if (remaining() < n) {
            m_ok = false;
            m_pos = m_end;
            return {};
        }
        QByteArray out = m_data.mid(m_pos, n);
        m_pos += n;
        return out;
    }

private:
    const QByteArray &m_data;
    qsizetype m_pos;
    qsizetype m_end;
    bool m_ok = true;
};

// The one rule for every table: its entry count is read here and must fit the bytes left in its
// box at `entryBytes` each, so that no count a damaged file states can make us allocate or loop
// beyond what the file holds. A strict table throws; a lenient one is cut to what is there.
enum class Shortfall { Throw, Clip };

std::uint32_t tableCount(Cursor &c, qsizetype entryBytes, Shortfall shortfall, const QString &path,
                         const char *table);

struct Box {
    QByteArray type;
    qsizetype payloadBegin = 0;
    qsizetype end = 0;
};

// The child boxes inside [begin, end) of `data`. Malformed sizes end the list.
QList<Box> listBoxes(const QByteArray &data, qsizetype begin, qsizetype end)
{
    QList<Box> out;
    qsizetype pos = begin;
    while (end - pos >= 8) {
        Cursor c(data, pos, end);
        std::uint64_t size = c.u32();
        QByteArray type = c.bytes(4);
        qsizetype header = 8;
        if (size == 1) {
            size = c.u64();
            header = 16;
        } else if (size == 0) {
            size = std::uint64_t(end - pos);
        }
        if (!c.ok() || size < std::uint64_t(header) || std::uint64_t(end - pos) < size)
            break;
        out.append(Box{type, pos + header, pos + qsizetype(size)});
        pos += qsizetype(size);
    }
    return out;
}

const Box *findBox(const QList<Box> &list, const char *type)
{
    for (const Box &b : list)
        if (b.type == type)
            return &b;
    return nullptr;
}

double fixed16(std::uint32_t v) { return std::int32_t(v) / 65536.0; }

MediaError corrupt(const QString &path, const QString &reason)
{
    return MediaError(MediaError::mediaDomain(), MediaError::CorruptMovie,
                      QStringLiteral("The movie \u201C%1\u201D is damaged.").arg(path), reason);
}

// mvhd, tkhd and mdhd open alike: version and flags, creation and modification time, `Words`
// 32-bit words (the timescale; tkhd: the track ID and a reserved word), then the duration. Version 1
// widens both times and the duration to 64 bits.
std::uint32_t tableCount(Cursor &c, qsizetype entryBytes, Shortfall shortfall, const QString &path,
                         const char *table)
{
    const std::uint32_t count = c.u32();
    const qsizetype room = c.ok() ? c.remaining() / entryBytes : 0;
    if (!c.ok() || qsizetype(count) > room) {
        if (shortfall == Shortfall::Clip)
            return std::uint32_t(room);
        throw corrupt(path, QStringLiteral("%1 table is short").arg(QLatin1String(table)));
    }
    return count;
}

// A timescale is carried as a signed 32-bit count of units per second everywhere above this
// reader; a larger one would turn negative there.
std::uint32_t checkedTimescale(std::uint32_t timescale, const QString &path, const char *box)
{
    if (timescale > std::uint32_t(std::numeric_limits<std::int32_t>::max()))
        throw corrupt(path, QStringLiteral("%1 timescale %2 is out of range")
                                .arg(QLatin1String(box))
                                .arg(timescale));
    return timescale;
}

template <int Words> struct TimedHeader {
    std::array<std::uint32_t, Words> words{};
    std::int64_t duration = 0;
};

template <int Words> TimedHeader<Words> readTimedHeader(Cursor &c)
{
    TimedHeader<Words> header;
    const int version = c.versionAndFlags();
    c.skip(version == 1 ? 16 : 8); // creation and modification time
    for (std::uint32_t &word : header.words)
        word = c.u32();
    header.duration = version == 1 ? std::int64_t(c.u64()) : std::int64_t(c.u32());
    return header;
}

// 'stsd': every entry kept whole, its box header included.
void readSampleDescriptions(const QByteArray &moov, const Box &stsd, TrackStructure &track,
                            const QString &path)
{
    Cursor c(moov, stsd.payloadBegin, stsd.end);
    c.versionAndFlags();
    const std::uint32_t count = tableCount(c, 8, Shortfall::Clip, path, "sample description");
    const QList<Box> entries = listBoxes(moov, c.pos(), stsd.end);
    for (std::uint32_t i = 0; i < count && i < std::uint32_t(entries.size()); ++i) {
        const qsizetype start = entries[i].payloadBegin - 8;
        track.sampleEntries.append(moov.mid(start, entries[i].end - start));
    }
}

// 'stsz': one size for all samples, or one per sample.
QList<std::uint32_t> readSampleSizes(const QByteArray &moov, const Box &stsz, qint64 fileSize,
                                     const QString &path)
{
    Cursor c(moov, stsz.payloadBegin, stsz.end);
    c.versionAndFlags();
    const std::uint32_t fixed = c.u32();
    std::uint32_t count = 0;
    if (fixed == 0) {
        count = tableCount(c, 4, Shortfall::Throw, path, "sample size");
    } else {
        // One size for all: the samples themselves must fit in the file.
        count = c.u32();
        if (!c.ok() || qint64(count) > fileSize / qint64(fixed))
            throw corrupt(path, QStringLiteral("sample size table claims more than the file holds"));
    }
    QList<std::uint32_t> sizes;
    sizes.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i)
        sizes.append(fixed ? fixed : c.u32());
    return sizes;
}

// 'stz2': sizes packed in fields of 4, 8 or 16 bits.
QList<std::uint32_t> readCompactSampleSizes(const QByteArray &moov, const Box &stz2, const QString &path)
{
    Cursor c(moov, stz2.payloadBegin, stz2.end);
    c.versionAndFlags();
    c.skip(3); // reserved
    const int fieldSize = c.u8();
    if (fieldSize != 4 && fieldSize != 8 && fieldSize != 16)
        throw corrupt(path, QStringLiteral("compact sample size table has field size %1").arg(fieldSize));
    const std::uint32_t count = c.u32();
    if (!c.ok() || c.remaining() * 8 / fieldSize < count)
        throw corrupt(path, QStringLiteral("compact sample size table is short"));
    QList<std::uint32_t> sizes;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (fieldSize == 4) {
            const std::uint8_t byte = c.u8();
            sizes.append(byte >> 4);
            if (++i < count)
                sizes.append(byte & 0xF);
        } else {
            sizes.append(fieldSize == 8 ? c.u8() : c.u16());
        }
    }
    return sizes;
}

// 'co64' (64-bit) or 'stco' (32-bit): where each chunk starts in the file.
QList<std::int64_t> readChunkOffsets(const QByteArray &moov, const Box &box, bool wide, const QString &path)
{
    Cursor c(moov, box.payloadBegin, box.end);
    c.versionAndFlags();
    const std::uint32_t count = tableCount(c, wide ? 8 : 4, Shortfall::Throw, path, "chunk offset");
    QList<std::int64_t> offsets;
    for (std::uint32_t i = 0; i < count; ++i)
        offsets.append(wide ? std::int64_t(c.u64()) : std::int64_t(c.u32()));
    return offsets;
}

// One entry of 'stsc': from `firstChunk` (1-based) on, until the next entry's, every chunk holds
// `samplesPerChunk` samples of sample description `description`.
struct ChunkRun {
    std::uint32_t firstChunk, samplesPerChunk, description;
};

QList<ChunkRun> readSampleToChunk(const QByteArray &moov, const Box &stsc, const QString &path)
{
    Cursor c(moov, stsc.payloadBegin, stsc.end);
    c.versionAndFlags();
    const std::uint32_t count = tableCount(c, 12, Shortfall::Throw, path, "sample-to-chunk");
    QList<ChunkRun> runs;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t first = c.u32(), per = c.u32(), desc = c.u32();
        runs.append(ChunkRun{first, per, desc});
    }
    return runs;
}

// Gives each sample its offset, size and description: samples fill the chunks in order, back to back.
void placeSamples(const QList<std::uint32_t> &sizes, const QList<std::int64_t> &chunkOffsets,
                  const QList<ChunkRun> &runs, TrackStructure &track, const QString &path)
{
    const qsizetype sampleCount = sizes.size();
    track.samples.resize(sampleCount);
    qsizetype sample = 0;
    for (qsizetype r = 0; r < runs.size() && sample < sampleCount; ++r) {
        const std::uint32_t first = runs[r].firstChunk;
        const std::uint32_t last = r + 1 < runs.size() ? runs[r + 1].firstChunk
                                                       : std::uint32_t(chunkOffsets.size()) + 1;
        if (first == 0 || last < first || runs[r].samplesPerChunk == 0)
            throw corrupt(path, QStringLiteral("sample-to-chunk table is inconsistent"));
        for (std::uint32_t chunk = first; chunk < last && sample < sampleCount; ++chunk) {
            if (chunk > std::uint32_t(chunkOffsets.size()))
                throw corrupt(path, QStringLiteral("sample-to-chunk table names a missing chunk"));
            std::int64_t offset = chunkOffsets[chunk - 1];
            for (std::uint32_t k = 0; k < runs[r].samplesPerChunk && sample < sampleCount; ++k) {
                SampleRecord &s = track.samples[sample++];
                s.offset = offset;
                s.size = sizes[sample - 1];
                s.descriptionIndex = runs[r].description;
                offset += s.size;
            }
        }
    }
    if (sample < sampleCount)
        throw corrupt(path, QStringLiteral("chunks hold fewer samples than the size table"));
}

// 'stts': decode times and durations, as runs of equal durations.
void readTimeToSample(const QByteArray &moov, const Box &stts, TrackStructure &track, const QString &path)
{
    Cursor c(moov, stts.payloadBegin, stts.end);
    c.versionAndFlags();
    const std::uint32_t count = tableCount(c, 8, Shortfall::Throw, path, "time-to-sample");
    const qsizetype sampleCount = track.samples.size();
    std::int64_t time = 0;
    qsizetype i = 0;
    for (std::uint32_t e = 0; e < count && c.ok(); ++e) {
        const std::uint32_t n = c.u32(), delta = c.u32();
        for (std::uint32_t k = 0; k < n && i < sampleCount; ++k, ++i) {
            track.samples[i].decodeTime = time;
            track.samples[i].duration = delta;
            time += delta;
        }
    }
    if (!c.ok() || i < sampleCount)
        throw corrupt(path, QStringLiteral("time-to-sample table is short"));
}

// 'ctts': composition offsets, as runs. A short table leaves the later samples at 0.
void readCompositionOffsets(const QByteArray &moov, const Box &ctts, TrackStructure &track,
                            const QString &path)
{
    Cursor c(moov, ctts.payloadBegin, ctts.end);
    c.versionAndFlags(); // version 1 only says the offsets may be negative: they are read as signed either way
    const std::uint32_t count = tableCount(c, 8, Shortfall::Clip, path, "composition offset");
    const qsizetype sampleCount = track.samples.size();
    qsizetype i = 0;
    for (std::uint32_t e = 0; e < count && c.ok(); ++e) {
        const std::uint32_t n = c.u32();
        const std::int32_t offset = c.s32();
        for (std::uint32_t k = 0; k < n && i < sampleCount; ++k, ++i)
            track.samples[i].compositionOffset = offset;
    }
}

// 'stss': the sync samples by 1-based number; every other sample is not one.
void readSyncSamples(const QByteArray &moov, const Box &stss, TrackStructure &track,
                     const QString &path)
{
    for (SampleRecord &s : track.samples)
        s.sync = false;
    Cursor c(moov, stss.payloadBegin, stss.end);
    c.versionAndFlags();
    const std::uint32_t count = tableCount(c, 4, Shortfall::Clip, path, "sync sample");
    for (std::uint32_t e = 0; e < count && c.ok(); ++e) {
        const std::uint32_t number = c.u32();
        if (number >= 1 && number <= std::uint32_t(track.samples.size()))
            track.samples[number - 1].sync = true;
    }
}

void readSampleTables(const QByteArray &moov, const Box &stbl, qint64 fileSize,
                      TrackStructure &track, const QString &path)
{
    const QList<Box> children = listBoxes(moov, stbl.payloadBegin, stbl.end);
    if (const Box *stsd = findBox(children, "stsd"))
        readSampleDescriptions(moov, *stsd, track, path);

    QList<std::uint32_t> sizes;
    if (const Box *stsz = findBox(children, "stsz"))
        sizes = readSampleSizes(moov, *stsz, fileSize, path);
    else if (const Box *stz2 = findBox(children, "stz2"))
        sizes = readCompactSampleSizes(moov, *stz2, path);
    if (sizes.isEmpty())
        return;

    QList<std::int64_t> chunkOffsets;
    if (const Box *co64 = findBox(children, "co64"))
        chunkOffsets = readChunkOffsets(moov, *co64, true, path);
    else if (const Box *stco = findBox(children, "stco"))
        chunkOffsets = readChunkOffsets(moov, *stco, false, path);
    QList<ChunkRun> runs;
    if (const Box *stsc = findBox(children, "stsc"))
        runs = readSampleToChunk(moov, *stsc, path);
    if (chunkOffsets.isEmpty() || runs.isEmpty())
        throw corrupt(path, QStringLiteral("track %1 has samples but no chunks").arg(track.trackID));
    placeSamples(sizes, chunkOffsets, runs, track, path);

    if (const Box *stts = findBox(children, "stts"))
        readTimeToSample(moov, *stts, track, path);
    if (const Box *ctts = findBox(children, "ctts"))
        readCompositionOffsets(moov, *ctts, track, path);
    if (const Box *stss = findBox(children, "stss"))
        readSyncSamples(moov, *stss, track, path);
}

// 'tkhd': the track ID, its duration in the movie timescale, its matrix and size.
void readTrackHeader(const QByteArray &moov, const Box &tkhd, TrackStructure &track)
{
    Cursor c(moov, tkhd.payloadBegin, tkhd.end);
    const auto header = readTimedHeader<2>(c); // track ID, reserved
    track.trackID = header.words[0];
    track.headerDuration = header.duration;
    c.skip(8 + 2 + 2 + 2 + 2); // reserved, layer, alternate group, volume, reserved
    track.matrix.a = fixed16(c.u32());
    track.matrix.b = fixed16(c.u32());
    c.skip(4); // u
    track.matrix.c = fixed16(c.u32());
    track.matrix.d = fixed16(c.u32());
    c.skip(4); // v
    track.matrix.tx = fixed16(c.u32());
    track.matrix.ty = fixed16(c.u32());
    c.skip(4); // w
    track.width = fixed16(c.u32());
    track.height = fixed16(c.u32());
}

// 'elst': the entries read whole; a short table ends at the last complete one.
void readEditList(const QByteArray &moov, const Box &elst, TrackStructure &track,
                  const QString &path)
{
    Cursor c(moov, elst.payloadBegin, elst.end);
    const int version = c.versionAndFlags();
    const std::uint32_t count =
        tableCount(c, version == 1 ? 20 : 12, Shortfall::Clip, path, "edit list");
    for (std::uint32_t i = 0; i < count && c.ok(); ++i) {
        EditEntry e;
        if (version == 1) {
            e.segmentDuration = std::int64_t(c.u64());
            e.mediaTime = std::int64_t(c.u64());
        } else {
            e.segmentDuration = c.u32();
            e.mediaTime = c.s32();
        }
        e.rate = fixed16(c.u32());
        if (c.ok())
            track.edits.append(e);
    }
}

// 'mdhd': the media timescale and the media's duration in it.
void readMediaHeader(const QByteArray &moov, const Box &mdhd, TrackStructure &track,
                     const QString &path)
{
    Cursor c(moov, mdhd.payloadBegin, mdhd.end);
    const auto header = readTimedHeader<1>(c); // time scale
    track.mediaTimescale = checkedTimescale(header.words[0], path, "mdhd");
    track.mediaDuration = header.duration;
}

// 'hdlr': the component subtype ("vide", "soun", ...).
void readHandler(const QByteArray &moov, const Box &hdlr, TrackStructure &track)
{
    Cursor c(moov, hdlr.payloadBegin, hdlr.end);
    c.versionAndFlags();
    c.skip(4); // component type
    track.handlerType = c.bytes(4);
}

TrackStructure readTrack(const QByteArray &moov, const Box &trak, qint64 fileSize,
                         const QString &path)
{
    TrackStructure track;
    const QList<Box> children = listBoxes(moov, trak.payloadBegin, trak.end);
    if (const Box *tkhd = findBox(children, "tkhd"))
        readTrackHeader(moov, *tkhd, track);
    if (const Box *edts = findBox(children, "edts")) {
        const QList<Box> edtsChildren = listBoxes(moov, edts->payloadBegin, edts->end);
        if (const Box *elst = findBox(edtsChildren, "elst"))
            readEditList(moov, *elst, track, path);
    }
    if (const Box *mdia = findBox(children, "mdia")) {
        const QList<Box> mdiaChildren = listBoxes(moov, mdia->payloadBegin, mdia->end);
        if (const Box *mdhd = findBox(mdiaChildren, "mdhd"))
            readMediaHeader(moov, *mdhd, track, path);
        if (const Box *hdlr = findBox(mdiaChildren, "hdlr"))
            readHandler(moov, *hdlr, track);
        if (const Box *minf = findBox(mdiaChildren, "minf")) {
            const QList<Box> minfChildren = listBoxes(moov, minf->payloadBegin, minf->end);
            if (const Box *stbl = findBox(minfChildren, "stbl"))
                readSampleTables(moov, *stbl, fileSize, track, path);
        }
    }
    if (track.mediaTimescale == 0)
        throw corrupt(path, QStringLiteral("track %1 has no media timescale").arg(track.trackID));
    return track;
}

} // namespace

std::int64_t TrackStructure::presentationDuration(std::uint32_t movieTimescale) const
{
    if (!edits.isEmpty()) {
        std::int64_t total = 0;
        for (const EditEntry &e : edits)
            total += e.segmentDuration;
        return total;
    }
    if (mediaTimescale == 0)
        return 0;
    return std::int64_t((__int128(mediaDuration) * movieTimescale + mediaTimescale / 2) / mediaTimescale);
}

MovieStructure readMovieStructure(const QString &path)
{
    QFile file(path);
    openForReading(file, MediaError::CannotOpen, QStringLiteral("The movie \u201C%1\u201D could not be opened.").arg(path));
    MovieStructure movie;
    QByteArray moov;
    const qint64 fileSize = file.size();
    qint64 pos = 0;
    while (fileSize - pos >= 8) {
        file.seek(pos);
        const QByteArray header = file.read(16);
        if (header.size() < 8)
            break;
        Cursor c(header);
        std::uint64_t size = c.u32();
        const QByteArray type = c.bytes(4);
        qint64 headerSize = 8;
        if (size == 1) {
            size = c.u64();
            headerSize = 16;
            if (!c.ok())
                break;
        } else if (size == 0) {
            size = std::uint64_t(fileSize - pos);
        }
        if (size < std::uint64_t(headerSize) || size > std::uint64_t(fileSize - pos))
            break;
        if (type == "ftyp") {
            movie.majorBrand = file.read(4);
        } else if (type == "moov") {
            if (size > 512ull * 1024 * 1024)
                throw corrupt(path, QStringLiteral("the movie box is implausibly large"));
            file.seek(pos + headerSize);
            moov = file.read(qint64(size) - headerSize);
        }
        pos += qint64(size);
    }
    if (moov.isEmpty())
        throw corrupt(path, QStringLiteral("no movie box"));

    const QList<Box> children = listBoxes(moov, 0, moov.size());
    if (const Box *mvhd = findBox(children, "mvhd")) {
        Cursor c(moov, mvhd->payloadBegin, mvhd->end);
        const auto header = readTimedHeader<1>(c); // time scale
        movie.movieTimescale = checkedTimescale(header.words[0], path, "mvhd");
        movie.movieDuration = header.duration;
    }
    if (movie.movieTimescale == 0)
        throw corrupt(path, QStringLiteral("no movie header"));
    for (const Box &b : children)
        if (b.type == "trak")
            movie.tracks.append(readTrack(moov, b, fileSize, path));
    return movie;
}

namespace boxes {

QList<std::pair<QByteArray, QByteArray>> childBoxes(const QByteArray &data, int from)
{
    QList<std::pair<QByteArray, QByteArray>> out;
    for (const Box &b : listBoxes(data, from, data.size()))
        out.append({b.type, data.mid(b.payloadBegin, b.end - b.payloadBegin)});
    return out;
}

} // namespace boxes

} // namespace lumacast::av
