#include "platform/av/TakeJournal.h"

#include "platform/av/MediaError.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <algorithm>
#include <new>

namespace lumacast::av {

namespace {

constexpr char kMagic[8] = {'L', 'C', 'T', 'J', 'R', 'N', 'L', '1'};
constexpr char kSampleKind = 'S';
constexpr std::uint8_t kKeyframe = 1;
// A journal is a few hundred bytes of header and 32 bytes a sample: an hour at 60 fps with two
// sound tracks is under 20 MB. Anything far larger is not one of ours.
constexpr qint64 kLargestJournal = qint64(256) << 20;
// Bounds no take of ours comes near, so that sums of offsets, sizes and times cannot overflow.
constexpr std::int32_t kLargestTimescale = 1'000'000;
constexpr std::int64_t kLargestOffset = std::int64_t(1) << 50;
constexpr std::int64_t kLargestTime = std::int64_t(1) << 50; // ticks: 35 years at the largest timescale
constexpr std::uint32_t kLargestSample = 256u << 20;

template<typename T> void put(QByteArray &out, T value)
{
    char bytes[sizeof(T)];
    qToLittleEndian(value, bytes);
    out.append(bytes, sizeof(T));
}

MediaError corrupt(const QString &reason)
{
    return MediaError(MediaError::mediaDomain(), MediaError::CorruptMovie,
                      QStringLiteral("The take's journal could not be read."), reason);
}

// Reads fields front to back; every read past the end throws.
class Reader {
public:
    explicit Reader(const QByteArray &bytes) : m_bytes(bytes) {}
    template<typename T> T get()
    {
        need(sizeof(T));
        const T value = qFromLittleEndian<T>(m_bytes.constData() + m_pos);
        m_pos += qsizetype(sizeof(T));
        return value;
    }
    QByteArray bytes(qsizetype n)
    {
        need(n);
        const QByteArray out = m_bytes.mid(m_pos, n);
        m_pos += n;
        return out;
    }
    qsizetype left() const { return m_bytes.size() - m_pos; }
    const char *here() const { return m_bytes.constData() + m_pos; }
    void skip(qsizetype n) { m_pos += n; }

private:
    void need(qsizetype n) const
    {
        if (n < 0 || left() < n)
            throw corrupt(QStringLiteral("the header is cut off"));
    }
    QByteArray m_bytes; // shared, not copied
    qsizetype m_pos = 0;
};

} // namespace

QString TakeJournal::pathFor(const QString &moviePath)
{
    return moviePath + QStringLiteral(".journal");
}

QByteArray TakeJournal::header(std::int64_t mediaDataStart, const QByteArray &note, const QList<Track> &tracks)
{
    QByteArray out(kMagic, sizeof kMagic);
    put<std::int64_t>(out, mediaDataStart);
    put<std::uint32_t>(out, std::uint32_t(note.size()));
    out.append(note);
    put<std::uint8_t>(out, std::uint8_t(tracks.size()));
    for (const Track &t : tracks) {
        put<std::uint8_t>(out, t.mediaType == MediaType::Video ? 0 : 1);
        put<std::int32_t>(out, t.timescale);
        put<std::int32_t>(out, t.width);
        put<std::int32_t>(out, t.height);
        put<std::uint32_t>(out, std::uint32_t(t.sampleEntry.size()));
        out.append(t.sampleEntry);
    }
    return out;
}

void TakeJournal::appendSampleRecord(QByteArray &out, const Sample &s)
{
    put<char>(out, kSampleKind);
    put<std::uint8_t>(out, std::uint8_t(s.track));
    put<std::uint8_t>(out, s.keyframe ? kKeyframe : 0);
    put<std::uint8_t>(out, 0);
    put<std::uint32_t>(out, s.size);
    put<std::int64_t>(out, s.offset);
    put<std::int64_t>(out, s.decodeTime);
    put<std::int32_t>(out, s.compositionOffset);
    put<std::uint32_t>(out, s.duration);
}

TakeJournal::Contents TakeJournal::parse(const QByteArray &bytes)
{
    Reader in(bytes);
    if (in.bytes(sizeof kMagic) != QByteArray(kMagic, sizeof kMagic))
        throw corrupt(QStringLiteral("it is not a take journal"));
    Contents c;
    c.mediaDataStart = in.get<std::int64_t>();
    c.note = in.bytes(in.get<std::uint32_t>());
    const int trackCount = in.get<std::uint8_t>();
    for (int i = 0; i < trackCount; ++i) {
        Track t;
        const int type = in.get<std::uint8_t>();
        t.mediaType = type == 0 ? MediaType::Video : MediaType::Audio;
        t.timescale = in.get<std::int32_t>();
        t.width = in.get<std::int32_t>();
        t.height = in.get<std::int32_t>();
        t.sampleEntry = in.bytes(in.get<std::uint32_t>());
        if (type > 1 || t.timescale <= 0 || t.timescale > kLargestTimescale)
            throw corrupt(QStringLiteral("track %1 is not described").arg(i + 1));
        c.tracks.append(t);
    }
    if (c.mediaDataStart < 0 || c.mediaDataStart > kLargestOffset || c.tracks.isEmpty())
        throw corrupt(QStringLiteral("the header describes no movie"));

    // A power cut can leave the last record cut off or the file's end unwritten (zeros). A record
    // whose fields cannot describe a sample is skipped and counted, and reading goes on: whether
    // the rest agree with the movie and with each other is for the recovery to judge. The kind
    // byte alone does not decide: a record whose other fields hold is a sample with a damaged byte.
    c.samples.reserve(std::size_t(in.left() / kSampleRecordSize));
    static const QByteArray unwritten(kSampleRecordSize, '\0');
    while (in.left() >= kSampleRecordSize) {
        const QByteArray raw = QByteArray::fromRawData(in.here(), kSampleRecordSize);
        in.skip(kSampleRecordSize);
        Reader record(raw);
        Sample s;
        record.get<char>();
        s.track = record.get<std::uint8_t>();
        const std::uint8_t flags = record.get<std::uint8_t>();
        record.get<std::uint8_t>();
        s.keyframe = flags & kKeyframe;
        s.size = record.get<std::uint32_t>();
        s.offset = record.get<std::int64_t>();
        s.decodeTime = record.get<std::int64_t>();
        s.compositionOffset = record.get<std::int32_t>();
        s.duration = record.get<std::uint32_t>();
        if (raw == unwritten)
            continue;
        const bool plausible = s.track < c.tracks.size() && s.size > 0 && s.size <= kLargestSample
            && s.offset >= c.mediaDataStart + 16 && s.offset <= kLargestOffset && s.decodeTime >= -kLargestTime
            && s.decodeTime <= kLargestTime;
        if (plausible)
            c.samples.push_back(s);
        else
            ++c.damagedRecords;
    }
    return c;
}

TakeJournal::Contents TakeJournal::read(const QString &path)
{
    // Checked before opening: opening a FIFO for reading would wait for a writer.
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > kLargestJournal)
        throw corrupt(QStringLiteral("it is not a journal file of a sensible size"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw MediaError(MediaError::mediaDomain(), MediaError::ReadFailed,
                         QStringLiteral("The take's journal could not be read."), file.errorString());
    // Room for what the file holds, not for the largest journal: a read asks for all of it at once.
    try {
        const QByteArray bytes = file.read(std::min(file.size(), kLargestJournal));
        return parse(bytes);
    } catch (const std::bad_alloc &) {
        throw MediaError(MediaError::mediaDomain(), MediaError::ReadFailed,
                         QStringLiteral("The take's journal could not be read."),
                         QStringLiteral("there is not enough memory for its %1 bytes").arg(info.size()));
    }
}

} // namespace lumacast::av
