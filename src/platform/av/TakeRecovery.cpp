#include "platform/av/TakeRecovery.h"

#include "platform/av/MediaError.h"
#include "platform/av/MovieWriter.h"
#include "platform/av/TakeJournal.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace lumacast::av {

namespace {

constexpr std::int32_t kMovieTimescale = 1000;

MediaError cannotRecover(const QString &path, const QString &reason)
{
    return MediaError(MediaError::mediaDomain(), MediaError::CorruptMovie,
                      QStringLiteral("The take \u201C%1\u201D could not be recovered.").arg(QFileInfo(path).fileName()),
                      reason);
}

// The 16 bytes in front of the samples are 'wide' and 'mdat' as the muxer left them, or a 64-bit
// 'mdat' header an earlier, interrupted recovery wrote over both.
bool isMediaDataHeader(const QByteArray &h)
{
    return h.size() == 16 && ((h.mid(4, 4) == "wide" && h.mid(12, 4) == "mdat") || h.mid(4, 4) == "mdat");
}

// The samples of one track that the recovered movie keeps, in decode order.
struct KeptTrack {
    int index = -1;
    std::vector<TakeJournal::Sample> samples;
};

double presentationEnd(const TakeJournal::Sample &s, std::int32_t timescale)
{
    return double(s.decodeTime + s.compositionOffset + std::int64_t(s.duration)) / timescale;
}

// The journal's samples that lie wholly in `fileSize` bytes, cut at the end of the last whole video
// frame; `cut` receives that instant (seconds from the take's start).
std::vector<KeptTrack> keptSamples(const TakeJournal::Contents &j, std::int64_t fileSize, double &cut)
{
    std::vector<KeptTrack> tracks(std::size_t(j.tracks.size()));
    cut = 0;
    bool anyVideo = false;
    for (const TakeJournal::Sample &s : j.samples) {
        if (s.offset + std::int64_t(s.size) > fileSize)
            break; // written in file order: nothing after this one reached the disk whole
        tracks[std::size_t(s.track)].samples.push_back(s);
        if (j.tracks[s.track].mediaType == MediaType::Video) {
            anyVideo = true;
            cut = std::max(cut, presentationEnd(s, j.tracks[s.track].timescale));
        }
    }
    if (!anyVideo)
        return {};
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        tracks[t].index = int(t);
        if (j.tracks[qsizetype(t)].mediaType == MediaType::Video)
            continue;
        // Sound that starts after the last frame ends has nothing to accompany.
        auto &samples = tracks[t].samples;
        const std::int32_t scale = j.tracks[qsizetype(t)].timescale;
        const auto late = std::find_if(samples.begin(), samples.end(), [&](const TakeJournal::Sample &s) {
            return double(s.decodeTime + s.compositionOffset) / scale >= cut;
        });
        samples.erase(late, samples.end());
    }
    return tracks;
}

// Adds one track with its samples and an edit that shows it from the take's start to `cut`.
void writeTrack(MovieWriter &writer, const TakeJournal::Track &info, const std::vector<TakeJournal::Sample> &samples,
                double cut)
{
    WriterTrackSettings settings;
    settings.mediaType = info.mediaType;
    settings.mediaTimescale = info.timescale;
    if (info.mediaType == MediaType::Video)
        settings.naturalSize = QSizeF(info.width, info.height);
    const int track = writer.addTrack(settings);
    const auto format = FormatDescription::fromSampleEntry(info.sampleEntry, info.mediaType);
    if (!format)
        throw MediaError(MediaError::mediaDomain(), MediaError::CorruptMovie,
                         QStringLiteral("The take's journal could not be read."),
                         QStringLiteral("a sample description is cut off"));
    const int description = writer.addSampleDescription(track, *format);

    const std::int64_t firstDecode = samples.front().decodeTime;
    std::int64_t firstPresentation = std::numeric_limits<std::int64_t>::max();
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const TakeJournal::Sample &s = samples[i];
        SampleTiming timing;
        timing.decodeTime = s.decodeTime - firstDecode;
        timing.presentationTime = timing.decodeTime + s.compositionOffset;
        timing.duration = i + 1 < samples.size() ? std::uint32_t(samples[i + 1].decodeTime - s.decodeTime) : s.duration;
        timing.keyframe = s.keyframe;
        timing.descriptionIndex = description;
        writer.addSampleAt(track, s.offset, s.size, timing);
        firstPresentation = std::min(firstPresentation, s.decodeTime + s.compositionOffset);
    }
    // The take starts at presentation time 0: sound's encoder delay lies before it and is skipped,
    // a track that starts late waits in an empty edit.
    const std::int64_t shownFrom = std::max<std::int64_t>(0, firstPresentation);
    const double lead = double(shownFrom) / info.timescale;
    if (shownFrom > 0)
        writer.addEdit(track, EditEntry{std::llround(lead * kMovieTimescale), -1, 1.0});
    const double end = std::min(cut, presentationEnd(samples.back(), info.timescale));
    writer.addEdit(track, EditEntry{std::llround((end - lead) * kMovieTimescale), shownFrom - firstDecode, 1.0});
}

void syncToDisk(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 || ::fdatasync(fd) != 0) {
        const int error = errno;
        if (fd >= 0)
            ::close(fd);
        throw MediaError(MediaError::mediaDomain(), MediaError::WriteFailed,
                         QStringLiteral("The movie \u201C%1\u201D could not be written.").arg(QFileInfo(path).fileName()),
                         writeFailureReason(path, error));
    }
    ::close(fd);
}

} // namespace

bool TakeRecovery::hasIndex(const QString &moviePath)
{
    QFile file(moviePath);
    if (!QFileInfo(moviePath).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    const std::int64_t size = file.size();
    std::int64_t at = 0;
    while (at + 8 <= size && file.seek(at)) {
        const QByteArray header = file.read(16);
        if (header.size() < 8)
            return false;
        std::int64_t boxSize = qFromBigEndian<std::uint32_t>(header.constData());
        if (boxSize == 1 && header.size() == 16)
            boxSize = qFromBigEndian<std::int64_t>(header.constData() + 8);
        if (boxSize < 8 || boxSize > size - at)
            return false; // 0: the box runs to the end of the file, as an unfinished 'mdat' does
        if (header.mid(4, 4) == "moov")
            return true; // whole: an index cut off while it was written is none
        at += boxSize;
    }
    return false;
}

TakeRecovery::Result TakeRecovery::recover(const QString &moviePath, std::int64_t spareBytes)
{
    const QString journalPath = TakeJournal::pathFor(moviePath);
    Result result;
    if (hasIndex(moviePath)) {
        result.wasFinished = true;
        QFile::remove(journalPath);
        return result;
    }
    const TakeJournal::Contents journal = TakeJournal::read(journalPath);
    result.note = journal.note;
    result.samplesJournaled = qint64(journal.samples.size());

    QFile movie(moviePath);
    if (!QFileInfo(moviePath).isFile() || !movie.open(QIODevice::ReadOnly))
        throw cannotRecover(moviePath, QStringLiteral("the movie cannot be read"));
    const std::int64_t fileSize = movie.size();
    if (!movie.seek(journal.mediaDataStart) || !isMediaDataHeader(movie.read(16)))
        throw cannotRecover(moviePath, QStringLiteral("its media data is not where the journal says"));
    movie.close();

    double cut = 0;
    const std::vector<KeptTrack> tracks = keptSamples(journal, fileSize - std::max<std::int64_t>(spareBytes, 0), cut);
    if (tracks.empty())
        throw MediaError(MediaError::mediaDomain(), MediaError::NoFrame,
                         QStringLiteral("The take \u201C%1\u201D could not be recovered.").arg(QFileInfo(moviePath).fileName()),
                         QStringLiteral("no whole video frame reached the disk"));
    std::int64_t dataEnd = journal.mediaDataStart + 16;
    for (const KeptTrack &t : tracks)
        for (const TakeJournal::Sample &s : t.samples) {
            dataEnd = std::max(dataEnd, s.offset + std::int64_t(s.size));
            ++result.samplesKept;
        }

    MovieWriter writer(moviePath, kMovieTimescale);
    writer.openExisting(journal.mediaDataStart, dataEnd);
    for (const KeptTrack &t : tracks)
        if (!t.samples.empty())
            writeTrack(writer, journal.tracks[t.index], t.samples, cut);
    writer.finish();
    // The journal goes only once the finished movie is on the disk.
    syncToDisk(moviePath);
    QFile::remove(journalPath);
    result.seconds = cut;
    return result;
}

} // namespace lumacast::av
