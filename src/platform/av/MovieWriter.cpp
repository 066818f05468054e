#include "platform/av/MovieWriter.h"

#include "platform/av/MovieBoxes.h"
#include "platform/av/SoundDescription.h"

#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>

namespace lumacast::av {

namespace {

constexpr std::uint32_t kMax32 = std::numeric_limits<std::uint32_t>::max();

// Times and offsets come from files anyone may hand us: sums that do not fit are refused.
std::optional<std::int64_t> sum(std::int64_t a, std::int64_t b)
{
    std::int64_t out = 0;
    return __builtin_add_overflow(a, b, &out) ? std::nullopt : std::optional<std::int64_t>(out);
}

std::optional<std::int64_t> difference(std::int64_t a, std::int64_t b)
{
    std::int64_t out = 0;
    return __builtin_sub_overflow(a, b, &out) ? std::nullopt : std::optional<std::int64_t>(out);
}

std::optional<std::int64_t> product(std::int64_t a, std::int64_t b)
{
    std::int64_t out = 0;
    return __builtin_mul_overflow(a, b, &out) ? std::nullopt : std::optional<std::int64_t>(out);
}

MediaError timeOutOfRange(const QString &what)
{
    return MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                      QStringLiteral("The movie's times are out of range."), what);
}

} // namespace

struct MovieWriter::Track {
    WriterTrackSettings settings;
    QList<QByteArray> descriptions;
    std::vector<movie_boxes::SampleRow> samples;
    std::vector<movie_boxes::ChunkRow> chunks;
    QList<EditEntry> edits;
    std::int64_t mediaEnd = 0;
    // Where the bytes of the last sample end in the file (-1 before the first sample).
    std::int64_t lastSampleEnd = -1;
    std::int64_t earliestPresentation = std::numeric_limits<std::int64_t>::max();
};

MovieWriter::MovieWriter(QString path, std::int32_t movieTimescale)
    : m_path(std::move(path)), m_movieTimescale(movieTimescale > 0 ? movieTimescale : 600)
{
}

MovieWriter::~MovieWriter()
{
    if (m_open && !m_finished)
        cancel();
}

// Qt keeps no errno: a resource error is what it makes of a full disk.
QString MovieWriter::fileWriteFailure() const
{
    if (m_file.error() == QFileDevice::ResourceError)
        return writeFailureReason(m_path, ENOSPC);
    const QString reason = writeFailureReason(m_path, 0);
    return reason.startsWith(QLatin1String("The disk is full")) ? reason : m_file.errorString();
}

MediaError MovieWriter::writeError(const QString &reason) const
{
    return MediaError(MediaError::mediaDomain(), MediaError::WriteFailed,
                      QStringLiteral("The movie \u201C%1\u201D could not be written.").arg(QFileInfo(m_path).fileName()),
                      reason);
}

void MovieWriter::open()
{
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw writeError(fileWriteFailure());
    m_open = true;
    writeRaw(movie_boxes::ftyp());
    m_mdatStart = m_file.pos();
    // A 'wide' box reserves room to turn the mdat header into a 64-bit one on finish.
    writeRaw(movie_boxes::reservedMdatHeader());
}

void MovieWriter::openExisting(std::int64_t mediaDataStart, std::int64_t dataEnd)
{
    m_file.setFileName(m_path);
    if (!m_file.open(QIODevice::ReadWrite))
        throw writeError(fileWriteFailure());
    if (mediaDataStart < 0 || dataEnd < mediaDataStart + 16 || m_file.size() < dataEnd) {
        m_file.close();
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("The movie \u201C%1\u201D could not be finished.").arg(QFileInfo(m_path).fileName()),
                         QStringLiteral("its media data does not reach byte %1").arg(dataEnd));
    }
    m_keepFile = true;
    m_open = true;
    if (!m_file.resize(dataEnd) || !m_file.seek(dataEnd))
        throw writeError(fileWriteFailure());
    m_mdatStart = mediaDataStart;
    m_mdatBytes = dataEnd - mediaDataStart - 16;
}

void MovieWriter::writeRaw(const QByteArray &bytes)
{
    if (m_file.write(bytes) != bytes.size())
        throw writeError(fileWriteFailure());
}

MovieWriter::Track &MovieWriter::track(int index)
{
    if (index < 0 || index >= int(m_tracks.size()))
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("There is no track %1 in the movie being written.").arg(index));
    return *m_tracks[std::size_t(index)];
}

const MovieWriter::Track &MovieWriter::track(int index) const
{
    return const_cast<MovieWriter *>(this)->track(index);
}

int MovieWriter::addTrack(const WriterTrackSettings &settings)
{
    if (settings.mediaTimescale <= 0)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("A track needs a positive timescale."));
    auto t = std::make_unique<Track>();
    t->settings = settings;
    m_tracks.push_back(std::move(t));
    return int(m_tracks.size()) - 1;
}

int MovieWriter::addSampleDescription(int index, const FormatDescription &format)
{
    Track &t = track(index);
    // Sound descriptions go out in the version every player reads without complaint.
    const QByteArray entry = t.settings.mediaType == MediaType::Audio ? soundEntryVersion0(format.toSampleEntry())
                                                                      : format.toSampleEntry();
    if (entry.size() < 16)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("The format \u201C%1\u201D cannot be written to a movie.").arg(format.describe()));
    const int existing = int(t.descriptions.indexOf(entry));
    if (existing >= 0)
        return existing + 1;
    // Entries that differ only in what decoding ignores (an encoder's bit-rate note, a compressor
    // name) describe one format; switching descriptions for them would gain nothing.
    const auto incoming = FormatDescription::fromSampleEntry(entry, t.settings.mediaType);
    for (qsizetype i = 0; incoming && i < t.descriptions.size(); ++i) {
        const auto known = FormatDescription::fromSampleEntry(t.descriptions[i], t.settings.mediaType);
        if (known && known->mediaType != MediaType::Other && known->sameFormat(*incoming))
            return int(i) + 1;
    }
    t.descriptions.append(entry);
    return int(t.descriptions.size());
}

int MovieWriter::sampleDescriptionCount(int index) const
{
    return int(track(index).descriptions.size());
}

std::int64_t MovieWriter::mediaEnd(int index) const
{
    return track(index).mediaEnd;
}

void MovieWriter::appendSample(int index, const QByteArray &data, const SampleTiming &timing)
{
    appendSample(index, data.constData(), data.size(), timing);
}

MovieWriter::TrackEnd MovieWriter::endOf(const Track &t)
{
    return TrackEnd{!t.samples.empty(), t.mediaEnd, t.samples.empty() ? 0 : t.samples.back().duration};
}

void MovieWriter::checkSample(int index, const Track &t, const TrackEnd &end, qsizetype size,
                              const SampleTiming &timing) const
{
    auto invalid = [&](const QString &why) {
        return MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                          QStringLiteral("A sample of track %1 was refused.").arg(index + 1), why);
    };
    if (timing.descriptionIndex < 1 || timing.descriptionIndex > t.descriptions.size())
        throw invalid(QStringLiteral("sample description %1 does not exist").arg(timing.descriptionIndex));
    if (size < 0 || std::uint64_t(size) > kMax32)
        throw invalid(QStringLiteral("sample of %1 bytes").arg(size));
    if (!sum(timing.decodeTime, timing.duration))
        throw invalid(QStringLiteral("decode time %1 out of range").arg(timing.decodeTime));
    if (!end.hasSamples) {
        if (timing.decodeTime != 0)
            throw invalid(QStringLiteral("the first sample must decode at 0, not %1").arg(timing.decodeTime));
    } else if (timing.decodeTime < end.mediaEnd) {
        throw invalid(QStringLiteral("decode time %1 is before the end of the previous sample (%2)")
                          .arg(timing.decodeTime).arg(end.mediaEnd));
    } else if (const auto gap = difference(timing.decodeTime, end.mediaEnd);
               !gap || std::int64_t(end.lastDuration) + *gap > std::int64_t(kMax32)) {
        throw invalid(QStringLiteral("gap of %1 ticks before the sample").arg(gap.value_or(-1)));
    }
    const auto offset64 = difference(timing.presentationTime, timing.decodeTime);
    if (!offset64 || *offset64 > std::numeric_limits<std::int32_t>::max()
        || *offset64 < std::numeric_limits<std::int32_t>::min())
        throw invalid(QStringLiteral("composition offset of presentation time %1 out of range").arg(timing.presentationTime));
}

void MovieWriter::recordSample(int index, Track &t, std::int64_t position, std::uint32_t size, const SampleTiming &timing,
                               bool continuesChunk)
{
    // A decode time beyond the previous sample's end lengthens that sample to meet it.
    if (!t.samples.empty() && timing.decodeTime > t.mediaEnd)
        t.samples.back().duration += std::uint32_t(timing.decodeTime - t.mediaEnd);
    const auto description = std::uint32_t(timing.descriptionIndex);
    if (continuesChunk && !t.chunks.empty() && t.chunks.back().description == description) {
        t.chunks.back().sampleCount++;
    } else {
        t.chunks.push_back({position, 1, description});
    }
    m_lastTrack = index;
    m_lastChunkEnd = position + size;
    t.lastSampleEnd = position + size;
    t.samples.push_back({size, timing.duration, std::int32_t(timing.presentationTime - timing.decodeTime), timing.keyframe});
    t.mediaEnd = timing.decodeTime + timing.duration;
    t.earliestPresentation = std::min(t.earliestPresentation, timing.presentationTime);
}

void MovieWriter::appendSample(int index, const char *data, qsizetype size, const SampleTiming &timing)
{
    if (!m_open || m_finished)
        throw writeError(QStringLiteral("the writer is not open"));
    Track &t = track(index);
    checkSample(index, t, endOf(t), size, timing);

    const std::int64_t position = m_file.pos();
    if (m_file.write(data, size) != size)
        throw writeError(fileWriteFailure());
    m_mdatBytes += size;
    recordSample(index, t, position, std::uint32_t(size), timing, m_lastTrack == index && m_lastChunkEnd == position);
}

void MovieWriter::appendSamples(int index, QFile &source, std::int64_t sourceOffset,
                                std::span<const CopiedSample> samples)
{
    if (!m_open || m_finished)
        throw writeError(QStringLiteral("the writer is not open"));
    Track &t = track(index);
    // Every sample is checked before a byte is copied, so that a refusal leaves the movie as it was.
    TrackEnd end = endOf(t);
    std::int64_t length = 0;
    for (const CopiedSample &s : samples) {
        checkSample(index, t, end, qsizetype(s.size), s.timing);
        end = TrackEnd{true, s.timing.decodeTime + s.timing.duration, s.timing.duration};
        length += s.size;
    }
    if (samples.empty())
        return;
    std::int64_t at = copyRun(source, sourceOffset, length);
    for (const CopiedSample &s : samples) {
        recordSample(index, t, at, s.size, s.timing, m_lastTrack == index && m_lastChunkEnd == at);
        at += s.size;
    }
}

std::int64_t MovieWriter::appendBytes(QFile &source, std::int64_t sourceOffset, std::int64_t length)
{
    if (!m_open || m_finished)
        throw writeError(QStringLiteral("the writer is not open"));
    if (length < 0)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("A negative number of bytes cannot be copied."));
    const std::int64_t position = copyRun(source, sourceOffset, length);
    // Whatever follows starts a chunk of its own: these bytes are no sample's continuation.
    m_lastTrack = -1;
    m_lastChunkEnd = -1;
    return position;
}

void MovieWriter::addSampleAt(int index, std::int64_t position, std::uint32_t size, const SampleTiming &timing)
{
    if (!m_open || m_finished)
        throw writeError(QStringLiteral("the writer is not open"));
    Track &t = track(index);
    checkSample(index, t, endOf(t), qsizetype(size), timing);
    const std::int64_t dataStart = m_mdatStart + 16;
    const std::int64_t dataEnd = dataStart + m_mdatBytes;
    if (position < dataStart || position > dataEnd || std::int64_t(size) > dataEnd - position)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("A sample of track %1 was refused.").arg(index + 1),
                         QStringLiteral("%1 bytes at %2 lie outside the media data written so far").arg(size).arg(position));
    recordSample(index, t, position, size, timing, t.lastSampleEnd == position);
}

void MovieWriter::reserveSampleBytes(std::int64_t bytes)
{
    if (!m_open || m_finished || bytes <= 0 || !m_file.flush())
        return;
    // Only a hint: a file system without it (or without room) shows up in the writes themselves.
    (void)::fallocate(m_file.handle(), FALLOC_FL_KEEP_SIZE, m_file.pos(), bytes);
}

std::int64_t MovieWriter::copyRun(QFile &source, std::int64_t sourceOffset, std::int64_t length)
{
    if (!source.isOpen() || source.handle() < 0)
        throw MediaError(MediaError::mediaDomain(), MediaError::ReadFailed,
                         QStringLiteral("The movie \u201C%1\u201D could not be read.").arg(QFileInfo(source.fileName()).fileName()),
                         QStringLiteral("the file is not open"));
    if (sourceOffset < 0)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("Samples cannot be copied from a negative offset."));

    // Bytes still buffered for the file go first; the copy writes behind them.
    if (!m_file.flush())
        throw writeError(fileWriteFailure());
    const std::int64_t position = m_file.pos();
    try {
        copyFrom(source, sourceOffset, position, length);
        if (!m_file.seek(position + length))
            throw writeError(fileWriteFailure());
    } catch (...) {
        // Whatever part of the run arrived is cut off again, so that the next sample follows the last one recorded.
        m_file.resize(position);
        m_file.seek(position);
        throw;
    }
    m_mdatBytes += length;
    return position;
}

void MovieWriter::copyFrom(QFile &source, std::int64_t sourceOffset, std::int64_t position, std::int64_t length)
{
    const int in = source.handle();
    const int out = m_file.handle();
    const auto readError = [&](const QString &reason) {
        return MediaError(MediaError::mediaDomain(), MediaError::ReadFailed,
                          QStringLiteral("The movie \u201C%1\u201D could not be read.").arg(QFileInfo(source.fileName()).fileName()),
                          reason);
    };
    const auto systemError = [](int error) { return QString::fromLocal8Bit(std::strerror(error)); };
    const QString pastEnd = QStringLiteral("a sample lies beyond the end of the file");

    while (length > 0) {
        if (m_kernelCopy) {
            loff_t from = sourceOffset, to = position;
            const ssize_t n = ::copy_file_range(in, &from, out, &to, std::size_t(std::min<std::int64_t>(length, 1 << 30)), 0);
            if (n > 0) {
                sourceOffset += n, position += n, length -= n;
                continue;
            }
            if (n == 0)
                throw readError(pastEnd);
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error == EXDEV || error == ENOSYS || error == EINVAL || error == EOPNOTSUPP) {
                m_kernelCopy = false;
                continue;
            }
            if (error == ENOSPC || error == EDQUOT || error == EFBIG)
                throw writeError(writeFailureReason(m_path, error));
            throw readError(systemError(error));
        }
        if (m_copyBuffer.isEmpty())
            m_copyBuffer.resize(1 << 20);
        const ssize_t n = ::pread(in, m_copyBuffer.data(), std::size_t(std::min<std::int64_t>(length, m_copyBuffer.size())), sourceOffset);
        if (n == 0)
            throw readError(pastEnd);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw readError(systemError(errno));
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::pwrite(out, m_copyBuffer.constData() + done, std::size_t(n - done), position + done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                throw writeError(writeFailureReason(m_path, w < 0 ? errno : ENOSPC));
            done += w;
        }
        sourceOffset += n, position += n, length -= n;
    }
}

void MovieWriter::addEdit(int index, const EditEntry &edit)
{
    if (edit.segmentDuration < 0)
        throw MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument,
                         QStringLiteral("An edit cannot have a negative duration."));
    Track &t = track(index);
    std::int64_t total = edit.segmentDuration;
    for (const EditEntry &e : t.edits)
        if (const auto longer = sum(total, e.segmentDuration))
            total = *longer;
        else
            throw timeOutOfRange(QStringLiteral("the edits of track %1 last too long").arg(index + 1));
    // Adjacent edits that continue each other are one edit.
    if (!t.edits.isEmpty()) {
        EditEntry &last = t.edits.last();
        if (last.rate == edit.rate && last.isEmpty() && edit.isEmpty()) {
            last.segmentDuration += edit.segmentDuration;
            return;
        }
        // Two edits that show consecutive media are one edit. Besides being smaller, this
        // matters to readers: libavformat duplicates a sample at every edit boundary, which
        // throws off its tracking of which sample description is current.
        const auto shownTicks = product(last.segmentDuration, t.settings.mediaTimescale);
        const auto shownEnd = shownTicks ? sum(last.mediaTime, *shownTicks / m_movieTimescale) : std::nullopt;
        if (!last.isEmpty() && !edit.isEmpty() && last.rate == 1.0 && edit.rate == 1.0 && shownEnd
            && *shownTicks % m_movieTimescale == 0 && *shownEnd == edit.mediaTime) {
            last.segmentDuration += edit.segmentDuration;
            return;
        }
    }
    if (edit.segmentDuration == 0)
        return;
    t.edits.append(edit);
}

void MovieWriter::cancel()
{
    if (m_file.isOpen())
        m_file.close();
    if (m_open && !m_finished && !m_keepFile)
        QFile::remove(m_path);
    m_open = false;
}

QByteArray MovieWriter::trackBox(const Track &t, std::uint32_t trackID, std::int64_t duration) const
{
    // Without edits given, the whole media from its first presentation time.
    QList<EditEntry> edits = t.edits;
    if (edits.isEmpty())
        edits.append(EditEntry{duration, t.earliestPresentation == std::numeric_limits<std::int64_t>::max() ? 0 : t.earliestPresentation, 1.0});
    return movie_boxes::trak({t.settings, trackID, duration, t.mediaEnd, edits, t.descriptions, t.samples, t.chunks});
}

void MovieWriter::finish()
{
    if (!m_open || m_finished)
        throw writeError(QStringLiteral("the writer is not open"));
    try {
        // Close the media data box.
        const std::int64_t end = m_file.pos();
        m_file.seek(m_mdatStart);
        writeRaw(movie_boxes::mdatHeader(m_mdatBytes));
        m_file.seek(end);

        // Tracks without samples are left out; they would have nothing to describe them.
        struct Written { const Track *track; std::uint32_t id; std::int64_t duration; };
        std::vector<Written> written;
        std::int64_t movieDuration = 0;
        for (const auto &t : m_tracks) {
            if (t->samples.empty())
                continue;
            std::int64_t duration = 0;
            if (t->edits.isEmpty()) {
                duration = std::int64_t(std::llround(double(t->mediaEnd) * m_movieTimescale / t->settings.mediaTimescale));
            } else {
                for (const EditEntry &e : t->edits)
                    duration += e.segmentDuration;
            }
            written.push_back({t.get(), std::uint32_t(written.size() + 1), duration});
            movieDuration = std::max(movieDuration, duration);
        }
        QByteArray moov = movie_boxes::mvhd(m_movieTimescale, movieDuration, std::uint32_t(written.size() + 1));
        for (const Written &w : written)
            moov.append(trackBox(*w.track, w.id, w.duration));
        writeRaw(movie_boxes::container("moov", moov));
        if (!m_file.flush())
            throw writeError(fileWriteFailure());
        m_file.close();
        m_finished = true;
        m_open = false;
    } catch (...) {
        cancel();
        throw;
    }
}

} // namespace lumacast::av
