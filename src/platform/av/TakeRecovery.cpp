#include "platform/av/TakeRecovery.h"

#include "model/LogCategories.h"
#include "platform/av/Asset.h"
#include "platform/av/MediaError.h"
#include "platform/av/MovieWriter.h"
#include "platform/av/TakeEncoder.h"
#include "platform/av/TakeJournal.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>

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

using Sample = TakeJournal::Sample;

// No step between two samples of a take's track is this long (a pause leaves no gap in the take's
// times), nor does a track start this late: such a step or start is a damaged record's.
constexpr double kLongestStep = 10.0;
// How long the last frame on disk may stand for the pictures a killed take had not written yet
// (seconds): a held picture is written again after the encoder's longest hold, and its sample
// reaches the file only when the next is encoded, a hold later.
constexpr double kLongestHeldPicture = 2.0 * TakeEncoder::kLongestHoldSeconds;
// A full disk's index needs little room: no more than this is ever set aside in memory.
constexpr std::int64_t kLargestSpare = std::int64_t(16) << 20;

// The samples of one track that the recovered movie keeps, in decode order, with the durations
// they are given.
struct KeptTrack {
    int index = -1;
    std::vector<Sample> samples;
    std::vector<std::uint32_t> durations;
};

// The longest subsequence of items 0..n-1, in order, in which each item starts at or after the end
// of the one before it (end > start for every item): where records contradict each other, the
// fewest are given up. O(n log n): `tails[k]` ends the chain of k + 1 items that ends earliest.
template<typename Start, typename End>
std::vector<std::size_t> longestChain(std::size_t n, Start start, End end)
{
    std::vector<std::size_t> tails;
    std::vector<std::ptrdiff_t> previous(n, -1);
    for (std::size_t i = 0; i < n; ++i) {
        const auto at = std::upper_bound(tails.begin(), tails.end(), start(i),
                                         [&](std::int64_t from, std::size_t tail) { return from < end(tail); });
        if (at != tails.begin())
            previous[i] = std::ptrdiff_t(*(at - 1));
        if (at == tails.end())
            tails.push_back(i);
        else if (end(i) < end(*at))
            *at = i;
    }
    std::vector<std::size_t> chain;
    for (std::ptrdiff_t i = tails.empty() ? -1 : std::ptrdiff_t(tails.back()); i >= 0; i = previous[std::size_t(i)])
        chain.push_back(std::size_t(i));
    std::reverse(chain.begin(), chain.end());
    return chain;
}

// One track's samples (file order, bytes agreeing) cut down to those whose times agree: rising
// decode times, no step longer than kLongestStep, starting near the take's start, and for
// video from its first key frame on. The last sample lasts no longer than the track's longest
// step (a second when it is alone).
KeptTrack timedSamples(int index, const TakeJournal::Track &info, const std::vector<Sample> &inFile)
{
    const std::int64_t scale = info.timescale;
    std::vector<Sample> samples;
    for (const Sample &s : inFile)
        if (std::abs(std::int64_t(s.compositionOffset)) <= scale)
            samples.push_back(s);
    std::vector<Sample> rising;
    for (const std::size_t i : longestChain(samples.size(), [&](std::size_t k) { return samples[k].decodeTime; },
                                            [&](std::size_t k) { return samples[k].decodeTime + 1; }))
        rising.push_back(samples[i]);

    // Runs split where a step is too long; the longest run that starts near the take's start.
    const std::int64_t longest = std::int64_t(kLongestStep) * scale;
    std::size_t bestFrom = 0, bestCount = 0;
    for (std::size_t from = 0; from < rising.size();) {
        std::size_t to = from + 1;
        while (to < rising.size() && rising[to].decodeTime - rising[to - 1].decodeTime <= longest)
            ++to;
        if (std::abs(rising[from].decodeTime) <= longest && to - from > bestCount)
            bestFrom = from, bestCount = to - from;
        from = to;
    }
    KeptTrack kept;
    kept.index = index;
    for (std::size_t i = bestFrom; i < bestFrom + bestCount; ++i)
        if (!kept.samples.empty() || info.mediaType != MediaType::Video || rising[i].keyframe)
            kept.samples.push_back(rising[i]);

    std::int64_t longestStep = 0;
    for (std::size_t i = 0; i + 1 < kept.samples.size(); ++i) {
        const std::int64_t step = kept.samples[i + 1].decodeTime - kept.samples[i].decodeTime;
        longestStep = std::max(longestStep, step);
        kept.durations.push_back(std::uint32_t(step));
    }
    if (!kept.samples.empty())
        kept.durations.push_back(
            std::uint32_t(std::min<std::int64_t>(kept.samples.back().duration, kept.samples.size() > 1 ? longestStep : scale)));
    return kept;
}

double presentationEnd(const KeptTrack &t, std::size_t i, std::int32_t timescale)
{
    const Sample &s = t.samples[i];
    return double(s.decodeTime + s.compositionOffset + std::int64_t(t.durations[i])) / timescale;
}

// A still picture is written once a second and its sample reaches the file only when the next
// one is encoded, so the sound of a take killed on a still screen goes on past the last frame
// on disk: that frame stays on screen as long as the sound, up to kLongestHeldPicture, rather
// than the sound being cut at it.
void holdLastPicture(const TakeJournal::Contents &j, std::vector<KeptTrack> &tracks, double &cut)
{
    double soundEnd = cut;
    KeptTrack *video = nullptr;
    for (KeptTrack &t : tracks) {
        if (t.samples.empty())
            continue;
        if (j.tracks[t.index].mediaType == MediaType::Video) {
            if (!video)
                video = &t;
            continue;
        }
        for (std::size_t i = 0; i < t.samples.size(); ++i)
            soundEnd = std::max(soundEnd, presentationEnd(t, i, j.tracks[t.index].timescale));
    }
    const double held = std::min(soundEnd, cut + kLongestHeldPicture) - cut;
    if (!video || held <= 0)
        return;
    const std::int32_t scale = j.tracks[video->index].timescale;
    // Extended from the frame shown last, which with reordered frames is not the last decoded.
    std::size_t last = 0;
    for (std::size_t i = 1; i < video->samples.size(); ++i)
        if (presentationEnd(*video, i, scale) > presentationEnd(*video, last, scale))
            last = i;
    const std::int64_t ticks = std::llround(held * scale);
    video->durations[last] = std::uint32_t(std::min<std::int64_t>(std::int64_t(video->durations[last]) + ticks, UINT32_MAX));
    cut = presentationEnd(*video, last, scale);
}

// The journal's samples that agree with the file (their bytes lie wholly in its first `fileSize`
// bytes, none overlapping another) and with each other, cut at the end of the last whole video
// frame; `cut` receives that instant (seconds from the take's start). Empty without a frame.
std::vector<KeptTrack> keptSamples(const TakeJournal::Contents &j, std::int64_t fileSize, double &cut)
{
    std::vector<Sample> whole;
    for (const Sample &s : j.samples)
        if (s.offset <= fileSize - std::int64_t(s.size))
            whole.push_back(s);
    std::vector<std::vector<Sample>> perTrack(std::size_t(j.tracks.size()));
    for (const std::size_t i : longestChain(whole.size(), [&](std::size_t k) { return whole[k].offset; },
                                            [&](std::size_t k) { return whole[k].offset + std::int64_t(whole[k].size); }))
        perTrack[std::size_t(whole[i].track)].push_back(whole[i]);

    std::vector<KeptTrack> tracks;
    cut = 0;
    bool anyVideo = false;
    for (int t = 0; t < int(perTrack.size()); ++t) {
        const TakeJournal::Track &info = j.tracks[t];
        tracks.push_back(timedSamples(t, info, perTrack[std::size_t(t)]));
        if (info.mediaType != MediaType::Video)
            continue;
        for (std::size_t i = 0; i < tracks.back().samples.size(); ++i) {
            anyVideo = true;
            cut = std::max(cut, presentationEnd(tracks.back(), i, info.timescale));
        }
    }
    if (!anyVideo)
        return {};
    holdLastPicture(j, tracks, cut);
    for (KeptTrack &t : tracks) {
        if (j.tracks[t.index].mediaType == MediaType::Video)
            continue;
        // Sound that starts after the last frame ends has nothing to accompany.
        const std::int32_t scale = j.tracks[t.index].timescale;
        std::size_t keep = 0;
        while (keep < t.samples.size()
               && double(t.samples[keep].decodeTime + t.samples[keep].compositionOffset) / scale < cut)
            ++keep;
        t.samples.resize(keep);
        t.durations.resize(keep);
    }
    return tracks;
}

// Adds one track with its samples and an edit that shows it from the take's start to `cut`.
void writeTrack(MovieWriter &writer, const TakeJournal::Track &info, const KeptTrack &kept, double cut)
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

    const std::vector<Sample> &samples = kept.samples;
    const std::int64_t firstDecode = samples.front().decodeTime;
    std::int64_t firstPresentation = std::numeric_limits<std::int64_t>::max();
    double shownUntil = 0; // with reordered frames the last decoded is not the last shown

    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Sample &s = samples[i];
        SampleTiming timing;
        timing.decodeTime = s.decodeTime - firstDecode;
        timing.presentationTime = timing.decodeTime + s.compositionOffset;
        timing.duration = kept.durations[i];
        timing.keyframe = s.keyframe;
        timing.descriptionIndex = description;
        writer.addSampleAt(track, s.offset, s.size, timing);
        firstPresentation = std::min(firstPresentation, s.decodeTime + s.compositionOffset);
        shownUntil = std::max(shownUntil, presentationEnd(kept, i, info.timescale));
    }
    // The take starts at presentation time 0: sound's encoder delay lies before it and is skipped,
    // a track that starts late waits in an empty edit.
    const std::int64_t shownFrom = std::max<std::int64_t>(0, firstPresentation);
    const double lead = double(shownFrom) / info.timescale;
    if (shownFrom > 0)
        writer.addEdit(track, EditEntry{std::llround(lead * kMovieTimescale), -1, 1.0});
    const double end = std::min(cut, shownUntil);
    writer.addEdit(track, EditEntry{std::max<std::int64_t>(0, std::llround((end - lead) * kMovieTimescale)),
                                    shownFrom - firstDecode, 1.0});
}

// What finishing changes in a movie: the 16 bytes in front of its samples and the bytes past what
// it keeps (those a full disk's index needs), held so that a result that does not read back
// whole can be undone.
struct Untouched {
    std::int64_t mediaDataStart = 0;
    QByteArray mediaDataHeader;
    std::int64_t keptEnd = 0;
    QByteArray tail;
};

// Puts the movie back as it was found; the error that led here is the one reported.
void restore(const QString &path, const Untouched &before)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite) || !file.resize(before.keptEnd) || !file.seek(before.keptEnd)
        || file.write(before.tail) != before.tail.size() || !file.seek(before.mediaDataStart)
        || file.write(before.mediaDataHeader) != before.mediaDataHeader.size() || !file.flush())
        qCCritical(log::writer(), "recovery: %s could not be put back as it was: %s",
                   qUtf8Printable(QFileInfo(path).fileName()), qUtf8Printable(file.errorString()));
}

// Reads what finishing the movie changes: the 16 bytes in front of its samples, and its last
// `spareBytes` (at most kLargestSpare), left out so that a full disk has room for the index.
Untouched untouched(const QString &path, std::int64_t mediaDataStart, std::int64_t spareBytes)
{
    QFile movie(path);
    if (!QFileInfo(path).isFile() || !movie.open(QIODevice::ReadOnly))
        throw cannotRecover(path, QStringLiteral("the movie cannot be read"));
    Untouched before;
    before.mediaDataStart = mediaDataStart;
    if (movie.seek(mediaDataStart))
        before.mediaDataHeader = movie.read(16);
    if (!isMediaDataHeader(before.mediaDataHeader))
        throw cannotRecover(path, QStringLiteral("its media data is not where the journal says"));
    const std::int64_t size = movie.size();
    before.keptEnd = size - std::clamp<std::int64_t>(spareBytes, 0, std::min(kLargestSpare, size - mediaDataStart - 16));
    if (movie.seek(before.keptEnd))
        before.tail = movie.read(size - before.keptEnd);
    if (before.tail.size() != size - before.keptEnd)
        throw cannotRecover(path, QStringLiteral("the movie cannot be read"));
    return before;
}

// Why no frame was kept. Given up (NoFrame) only when the journal is whole and says that no frame
// reached the disk; a damaged one may describe frames that did, and the movie stays for the user.
MediaError noFrame(const QString &path, const TakeJournal::Contents &journal, std::int64_t fileSize)
{
    const bool frameOnDisk = std::any_of(journal.samples.begin(), journal.samples.end(), [&](const Sample &s) {
        return journal.tracks[s.track].mediaType == MediaType::Video && s.offset <= fileSize - std::int64_t(s.size);
    });
    if (journal.damagedRecords > 0 || frameOnDisk)
        return cannotRecover(path, QStringLiteral("its journal describes no whole video frame that agrees with the movie"));
    return MediaError(MediaError::mediaDomain(), MediaError::NoFrame,
                      QStringLiteral("The take \u201C%1\u201D could not be recovered.").arg(QFileInfo(path).fileName()),
                      QStringLiteral("no whole video frame reached the disk"));
}

// The finished movie, read back by our own reader, holds what was written: every kept sample,
// no longer than the cut.
void verify(const QString &path, const std::vector<KeptTrack> &tracks, double cut)
{
    const auto asset = Asset::open(path);
    const MovieStructure *structure = asset->structure();
    QList<qsizetype> counts;
    for (const KeptTrack &t : tracks)
        if (!t.samples.empty())
            counts.append(qsizetype(t.samples.size()));
    QList<qsizetype> read;
    for (const TrackStructure &t : structure ? structure->tracks : QList<TrackStructure>{})
        read.append(t.samples.size());
    const double seconds = asset->duration().seconds();
    if (read != counts || !(seconds > 0) || seconds > cut + 0.001)
        throw cannotRecover(path, QStringLiteral("the finished movie does not read back as it was written"));
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

TakeRecovery::Result TakeRecovery::recover(const QString &moviePath, std::int64_t spareBytes, bool keepJournal)
{
    // A journal of a quarter gigabyte asks for several times that while its records are sorted out.
    try {
        return finish(moviePath, spareBytes, keepJournal);
    } catch (const std::bad_alloc &) {
        throw cannotRecover(moviePath, QStringLiteral("there is not enough memory"));
    }
}

TakeRecovery::Result TakeRecovery::finish(const QString &moviePath, std::int64_t spareBytes, bool keepJournal)
{
    const QString journalPath = TakeJournal::pathFor(moviePath);
    Result result;
    if (hasIndex(moviePath)) {
        result.wasFinished = true;
        if (!keepJournal) {
            QFile::remove(journalPath);
            return result;
        }
        try {
            result.note = TakeJournal::read(journalPath).note;
        } catch (const MediaError &) {
            // The movie is whole; only where it was recorded for is not known.
        }
        return result;
    }
    const TakeJournal::Contents journal = TakeJournal::read(journalPath);
    result.note = journal.note;
    result.samplesJournaled = qint64(journal.samples.size()) + journal.damagedRecords;

    const Untouched before = untouched(moviePath, journal.mediaDataStart, spareBytes);
    double cut = 0;
    const std::vector<KeptTrack> tracks = keptSamples(journal, before.keptEnd, cut);
    if (tracks.empty())
        throw noFrame(moviePath, journal, before.keptEnd + before.tail.size());
    for (const KeptTrack &t : tracks)
        result.samplesKept += qint64(t.samples.size());

    // Bytes no kept sample refers to stay in the media data: only the index is added, after them.
    try {
        MovieWriter writer(moviePath, kMovieTimescale);
        writer.openExisting(journal.mediaDataStart, before.keptEnd);
        for (const KeptTrack &t : tracks)
            if (!t.samples.empty())
                writeTrack(writer, journal.tracks[t.index], t, cut);
        writer.finish();
        verify(moviePath, tracks, cut);
    } catch (...) {
        restore(moviePath, before);
        throw;
    }
    // The journal goes only once the finished movie is on the disk.
    syncToDisk(moviePath);
    if (!keepJournal)
        QFile::remove(journalPath);
    result.seconds = cut;
    return result;
}

} // namespace lumacast::av
