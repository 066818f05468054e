#include "platform/av/Composition.h"

#include "platform/av/MovieWriter.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

namespace lumacast::av {

namespace {

MediaError invalidArgument(const QString &description, const QString &reason = {})
{
    return MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument, description,
                      reason.isEmpty() ? std::nullopt : std::optional<QString>(reason));
}

std::int64_t ticks(const MediaTime &t, std::int32_t timescale)
{
    return t.convertScale(timescale).value;
}

// Rescales a tick count between timescales, rounding to nearest.
std::int64_t rescale(std::int64_t value, std::int64_t from, std::int64_t to)
{
    if (from == to)
        return value;
    const __int128 scaled = __int128(value) * to;
    const __int128 half = from / 2;
    return std::int64_t(scaled >= 0 ? (scaled + half) / from : -((-scaled + half) / from));
}

struct CopyOp {
    QString sourcePath;
    std::int64_t offset = 0;
    std::uint32_t size = 0;
    SampleTiming timing;
};

struct TrackPlan {
    int writerTrack = -1;
    std::int32_t mediaTimescale = 0;
    std::int64_t mediaEnd = 0;
    std::vector<CopyOp> ops;
};

} // namespace

int Composition::addTrack(MediaType type)
{
    m_tracks.append(Track{type, {}});
    return int(m_tracks.size()) - 1;
}

Composition::Track &Composition::checkedTrack(int track)
{
    if (track < 0 || track >= m_tracks.size())
        throw invalidArgument(QStringLiteral("The composition has no track %1.").arg(track));
    return m_tracks[track];
}

const Composition::Track &Composition::checkedTrack(int track) const
{
    return const_cast<Composition *>(this)->checkedTrack(track);
}

MediaType Composition::trackType(int track) const { return checkedTrack(track).type; }

const QList<CompositionSegment> &Composition::segments(int track) const
{
    return checkedTrack(track).segments;
}

MediaTime Composition::trackEnd(int track) const
{
    const Track &t = checkedTrack(track);
    return t.segments.isEmpty() ? MediaTime::zero() : t.segments.last().target.end();
}

MediaTime Composition::duration() const
{
    MediaTime longest = MediaTime::zero();
    for (int i = 0; i < m_tracks.size(); ++i)
        longest = maximum(longest, trackEnd(i));
    return longest;
}

void Composition::insertEmptyTimeRange(int track, const MediaTimeRange &range)
{
    Track &t = checkedTrack(track);
    if (!range.start.isNumeric() || !range.duration.isNumeric() || range.duration < MediaTime::zero())
        throw invalidArgument(QStringLiteral("An empty range needs a numeric start and duration."));
    const MediaTime end = trackEnd(track);
    if (range.start < end)
        throw invalidArgument(QStringLiteral("Stretches can only be added at the end of a composition track."));
    if (range.start > end)
        t.segments.append(CompositionSegment{nullptr, -1, {}, MediaTimeRange{end, range.start - end}});
    if (range.duration > MediaTime::zero())
        t.segments.append(CompositionSegment{nullptr, -1, {}, range});
}

void Composition::insertTimeRange(int track, const MediaTimeRange &range,
                                  const std::shared_ptr<const Asset> &asset, int sourceTrack,
                                  const MediaTime &at)
{
    Track &t = checkedTrack(track);
    if (!asset || sourceTrack < 0 || sourceTrack >= asset->tracks().size())
        throw invalidArgument(QStringLiteral("The source track to insert does not exist."));
    const AssetTrack &source = asset->tracks()[sourceTrack];
    if (source.mediaType != t.type)
        throw invalidArgument(QStringLiteral("A %1 track cannot be inserted into a %2 track.")
                                  .arg(mediaTypeIdentifier(source.mediaType), mediaTypeIdentifier(t.type)));
    if (!range.start.isNumeric() || !range.duration.isNumeric() || !at.isNumeric())
        throw invalidArgument(QStringLiteral("The range to insert is not numeric."));
    const MediaTime start = maximum(range.start, source.timeRange.start);
    const MediaTime end = minimum(range.end(), source.timeRange.end());
    if (range.start < MediaTime::zero() || range.duration < MediaTime::zero()
        || range.start > source.timeRange.end())
        throw invalidArgument(QStringLiteral("The range to insert lies outside the source track."),
                              QStringLiteral("range %1+%2, track %3+%4")
                                  .arg(range.start.debugString(), range.duration.debugString(),
                                       source.timeRange.start.debugString(), source.timeRange.duration.debugString()));
    const MediaTime trackEndTime = trackEnd(track);
    if (at < trackEndTime)
        throw invalidArgument(QStringLiteral("Stretches can only be added at the end of a composition track."));
    if (!(end > start))
        return; // the source track has nothing in this range: the composition track stays empty there
    // A source track need not cover its movie's whole timeline (a take's sound often starts a
    // moment after its first frame): what it covers keeps its place within the range, and the
    // part it does not cover stays empty instead of pulling the rest forward.
    const MediaTime placedAt = at + (start - range.start);
    if (placedAt > trackEndTime)
        t.segments.append(CompositionSegment{nullptr, -1, {}, MediaTimeRange{trackEndTime, placedAt - trackEndTime}});
    t.segments.append(CompositionSegment{asset, sourceTrack, MediaTimeRange{start, end - start},
                                         MediaTimeRange{placedAt, end - start}});
}

namespace {

// A piece of a source track's media: [mediaStart, mediaEnd) in its media timescale, shown for
// `movieLength` of composition time; or an empty piece.
struct MediaPiece {
    bool empty = false;
    std::int64_t mediaStart = 0, mediaEnd = 0;
    MediaTime length;
};

// Maps a stretch of a source movie's timeline through the source track's edit list.
QList<MediaPiece> mapThroughEdits(const TrackStructure &ts, std::uint32_t movieTimescale,
                                  const MediaTimeRange &range)
{
    QList<EditEntry> edits = ts.edits;
    if (edits.isEmpty()) {
        std::int64_t first = 0;
        if (!ts.samples.isEmpty()) {
            first = ts.samples.front().presentationTime();
            for (const SampleRecord &s : ts.samples)
                first = std::min(first, s.presentationTime());
        }
        edits.append(EditEntry{ts.presentationDuration(movieTimescale), first, 1.0});
    }
    QList<MediaPiece> pieces;
    MediaTime position = MediaTime::zero();
    const auto movieScale = std::int32_t(movieTimescale);
    const auto mediaScale = std::int32_t(ts.mediaTimescale);
    for (const EditEntry &e : edits) {
        const MediaTime editStart = position;
        const MediaTime editEnd = position + MediaTime(e.segmentDuration, movieScale);
        position = editEnd;
        const MediaTime from = maximum(editStart, range.start);
        const MediaTime to = minimum(editEnd, range.end());
        if (!(to > from))
            continue;
        MediaPiece piece;
        piece.length = to - from;
        if (e.isEmpty()) {
            piece.empty = true;
        } else {
            if (e.rate != 1.0)
                throw MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                                 QStringLiteral("Edits played at another rate cannot be copied."));
            piece.mediaStart = e.mediaTime + ticks(from - editStart, mediaScale);
            piece.mediaEnd = e.mediaTime + ticks(to - editStart, mediaScale);
        }
        pieces.append(piece);
    }
    return pieces;
}

// The bytes of one source file that the movie's samples come from.
struct SourceStretch {
    QString path;
    std::int64_t begin = 0, end = 0;
    double firstUse = 0; // seconds into the movie of the earliest sample taken from it
};

// The stretch of each source that holds the samples the plans copy, in the order the movie
// first needs them; none when a stretch would carry much besides those samples (a few seconds
// taken from either end of a long movie), which a run-by-run copy leaves behind.
std::optional<std::vector<SourceStretch>> sourceStretches(const std::vector<TrackPlan> &plans)
{
    struct Extent {
        SourceStretch stretch;
        std::vector<std::pair<std::int64_t, std::int64_t>> pieces;
    };
    std::map<QString, Extent> extents;
    for (const TrackPlan &plan : plans)
        for (const CopyOp &op : plan.ops) {
            const double at = double(op.timing.decodeTime) / plan.mediaTimescale;
            const std::int64_t end = op.offset + std::int64_t(op.size);
            auto [it, added] = extents.try_emplace(op.sourcePath);
            SourceStretch &s = it->second.stretch;
            if (added) {
                s = SourceStretch{op.sourcePath, op.offset, end, at};
            } else {
                s.begin = std::min(s.begin, op.offset);
                s.end = std::max(s.end, end);
                s.firstUse = std::min(s.firstUse, at);
            }
            it->second.pieces.emplace_back(op.offset, end);
        }
    std::vector<SourceStretch> stretches;
    for (auto &[path, extent] : extents) {
        // Bytes some sample refers to, each counted once however many samples share it.
        auto &pieces = extent.pieces;
        std::sort(pieces.begin(), pieces.end());
        std::int64_t used = 0, coveredTo = extent.stretch.begin;
        for (const auto &[from, to] : pieces) {
            used += std::max<std::int64_t>(0, to - std::max(from, coveredTo));
            coveredTo = std::max(coveredTo, to);
        }
        const std::int64_t length = extent.stretch.end - extent.stretch.begin;
        if ((length - used) * 8 > length)
            return std::nullopt;
        stretches.push_back(extent.stretch);
    }
    std::stable_sort(stretches.begin(), stretches.end(),
                     [](const SourceStretch &a, const SourceStretch &b) { return a.firstUse < b.firstUse; });
    return stretches;
}

template<typename OpenSource, typename CheckCancelled>
void copyStretches(MovieWriter &writer, const std::vector<TrackPlan> &plans, const std::vector<SourceStretch> &stretches,
                   OpenSource &sourceFile, const CheckCancelled &checkCancelled,
                   const std::function<void(double)> &progress)
{
    // Pieces small enough for cancellation and progress to follow a long copy closely.
    constexpr std::int64_t kPiece = std::int64_t(64) << 20;
    std::int64_t total = 0;
    for (const SourceStretch &s : stretches)
        total += s.end - s.begin;
    writer.reserveSampleBytes(total);
    std::map<QString, std::int64_t> shift; // source offset to movie file position
    std::int64_t copied = 0;
    for (const SourceStretch &s : stretches) {
        QFile &file = sourceFile(s.path);
        std::int64_t base = -1;
        std::int64_t at = s.begin;
        do {
            checkCancelled();
            const std::int64_t length = std::min(kPiece, s.end - at);
            const std::int64_t position = writer.appendBytes(file, at, length);
            if (base < 0)
                base = position;
            at += length;
            copied += length;
            if (progress && total > 0)
                progress(double(copied) / double(total));
        } while (at < s.end);
        shift[s.path] = base - s.begin;
    }
    for (const TrackPlan &plan : plans)
        for (const CopyOp &op : plan.ops)
            writer.addSampleAt(plan.writerTrack, op.offset + shift.at(op.sourcePath), op.size, op.timing);
}

} // namespace

void writePassthrough(const Composition &composition, const QString &path, const PassthroughOptions &options)
{
    MovieWriter writer(path, options.movieTimescale);
    const std::int32_t movieScale = writer.movieTimescale();
    std::vector<TrackPlan> plans(std::size_t(composition.trackCount()));
    std::int64_t totalBytes = 0;

    for (int c = 0; c < composition.trackCount(); ++c) {
        TrackPlan &plan = plans[std::size_t(c)];
        const QList<CompositionSegment> &segments = composition.segments(c);
        const CompositionSegment *firstSource = nullptr;
        for (const CompositionSegment &s : segments)
            if (!s.isEmpty()) {
                firstSource = &s;
                break;
            }
        if (!firstSource)
            continue;
        const AssetTrack &firstTrack = firstSource->asset->tracks()[firstSource->sourceTrack];
        WriterTrackSettings settings;
        settings.mediaType = composition.trackType(c);
        settings.mediaTimescale = firstTrack.naturalTimescale > 0 ? firstTrack.naturalTimescale : 600;
        settings.naturalSize = firstTrack.naturalSize;
        settings.preferredTransform = firstTrack.preferredTransform;
        plan.writerTrack = writer.addTrack(settings);
        plan.mediaTimescale = settings.mediaTimescale;
    }

    writer.open();
    for (int c = 0; c < composition.trackCount(); ++c) {
        TrackPlan &plan = plans[std::size_t(c)];
        if (plan.writerTrack < 0)
            continue;
        MediaTime cursor = MediaTime::zero();
        auto editLength = [&](const MediaTime &length) {
            // Edit lengths come from rounded boundaries so that rounding never accumulates.
            const std::int64_t d = ticks(cursor + length, movieScale) - ticks(cursor, movieScale);
            cursor = cursor + length;
            return d;
        };
        std::map<std::pair<const Asset *, std::uint32_t>, int> descriptionMap;

        for (const CompositionSegment &segment : composition.segments(c)) {
            if (segment.isEmpty()) {
                writer.addEdit(plan.writerTrack, EditEntry{editLength(segment.target.duration), -1, 1.0});
                continue;
            }
            const AssetTrack &source = segment.asset->tracks()[segment.sourceTrack];
            const TrackStructure *ts = segment.asset->trackStructure(source);
            const MovieStructure *movie = segment.asset->structure();
            if (!ts || !movie)
                throw MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                                 QStringLiteral("The movie \u201C%1\u201D cannot be copied without re-encoding.")
                                     .arg(QFileInfo(segment.asset->path()).fileName()),
                                 QStringLiteral("only QuickTime and MP4 movies can be passed through"));
            const bool preRoll = !source.formatDescriptions.isEmpty()
                              && source.formatDescriptions.first().codecName == QLatin1String("aac");

            for (const MediaPiece &piece : mapThroughEdits(*ts, movie->movieTimescale, segment.sourceRange)) {
                if (piece.empty) {
                    writer.addEdit(plan.writerTrack, EditEntry{editLength(piece.length), -1, 1.0});
                    continue;
                }
                const QList<SampleRecord> &samples = ts->samples;
                // The samples shown in the piece, then back to the sync sample they depend on.
                qsizetype first = -1, last = -1;
                for (qsizetype i = 0; i < samples.size(); ++i) {
                    const std::int64_t pts = samples[i].presentationTime();
                    if (pts < piece.mediaEnd && pts + std::int64_t(samples[i].duration) > piece.mediaStart) {
                        if (first < 0)
                            first = i;
                        last = i;
                    } else if (pts < piece.mediaEnd && first >= 0) {
                        last = std::max(last, i);
                    }
                }
                if (first < 0) {
                    // No sample is shown here (a stretch past the media's end): show nothing.
                    writer.addEdit(plan.writerTrack, EditEntry{editLength(piece.length), -1, 1.0});
                    continue;
                }
                qsizetype k = first;
                while (k > 0 && !samples[k].sync)
                    --k;
                if (preRoll && k > 0)
                    --k;

                const std::int64_t base = samples[k].decodeTime;
                const std::int64_t outStart = plan.mediaEnd;
                const std::int64_t srcScale = ts->mediaTimescale;
                for (qsizetype i = k; i <= last; ++i) {
                    const SampleRecord &s = samples[i];
                    const auto key = std::make_pair(segment.asset.get(), (std::uint32_t(source.index) << 16) | s.descriptionIndex);
                    auto found = descriptionMap.find(key);
                    if (found == descriptionMap.end()) {
                        if (s.descriptionIndex < 1 || s.descriptionIndex > std::uint32_t(ts->sampleEntries.size()))
                            throw MediaError(MediaError::mediaDomain(), MediaError::CorruptMovie,
                                             QStringLiteral("The movie \u201C%1\u201D is damaged.")
                                                 .arg(QFileInfo(segment.asset->path()).fileName()),
                                             QStringLiteral("a sample names a missing sample description"));
                        FormatDescription f;
                        f.mediaType = source.mediaType;
                        f.sampleEntry = ts->sampleEntries[s.descriptionIndex - 1];
                        found = descriptionMap.emplace(key, writer.addSampleDescription(plan.writerTrack, f)).first;
                    }
                    CopyOp op;
                    op.sourcePath = segment.asset->path();
                    op.offset = s.offset;
                    op.size = s.size;
                    const std::int64_t dts = outStart + rescale(s.decodeTime - base, srcScale, plan.mediaTimescale);
                    const std::int64_t next = outStart + rescale(s.decodeTime + s.duration - base, srcScale, plan.mediaTimescale);
                    op.timing.decodeTime = dts;
                    op.timing.duration = std::uint32_t(std::max<std::int64_t>(0, next - dts));
                    op.timing.presentationTime = dts + rescale(s.compositionOffset, srcScale, plan.mediaTimescale);
                    op.timing.keyframe = s.sync;
                    op.timing.descriptionIndex = found->second;
                    plan.ops.push_back(op);
                    plan.mediaEnd = next;
                    totalBytes += s.size;
                }
                const std::int64_t mediaTime = outStart + rescale(piece.mediaStart - base, srcScale, plan.mediaTimescale);
                writer.addEdit(plan.writerTrack, EditEntry{editLength(piece.length), mediaTime, 1.0});
            }
        }
    }

    std::map<QString, std::unique_ptr<QFile>> sources;
    auto sourceFile = [&](const QString &sourcePath) -> QFile & {
        auto &file = sources[sourcePath];
        if (!file) {
            file = std::make_unique<QFile>(sourcePath);
            if (!file->open(QIODevice::ReadOnly))
                throw MediaError(MediaError::mediaDomain(), MediaError::ReadFailed,
                                 QStringLiteral("The movie \u201C%1\u201D could not be read.")
                                     .arg(QFileInfo(sourcePath).fileName()),
                                 file->errorString());
        }
        return *file;
    };
    const auto checkCancelled = [&] {
        if (options.cancelled && options.cancelled->load())
            throw MediaError(MediaError::mediaDomain(), MediaError::Cancelled,
                             QStringLiteral("The movie was not written because the operation was cancelled."));
    };

    if (options.copySourceStretches) {
        if (const auto stretches = sourceStretches(plans)) {
            copyStretches(writer, plans, *stretches, sourceFile, checkCancelled, options.progress);
            if (options.appendTracks)
                options.appendTracks(writer);
            writer.finish();
            if (options.progress)
                options.progress(1.0);
            return;
        }
    }

    // Interleave the tracks in half-second runs so that players read the file front to back.
    // Within a run, samples that lie back to back in one source go over in one copy.
    writer.reserveSampleBytes(totalBytes);
    std::vector<std::size_t> next(plans.size(), 0);
    std::int64_t written = 0;
    std::vector<CopiedSample> batch;
    auto seconds = [&](std::size_t p) {
        const TrackPlan &plan = plans[p];
        return double(plan.ops[next[p]].timing.decodeTime) / plan.mediaTimescale;
    };
    for (;;) {
        std::size_t chosen = plans.size();
        for (std::size_t p = 0; p < plans.size(); ++p)
            if (next[p] < plans[p].ops.size() && (chosen == plans.size() || seconds(p) < seconds(chosen)))
                chosen = p;
        if (chosen == plans.size())
            break;
        const double runEnd = seconds(chosen) + 0.5;
        TrackPlan &plan = plans[chosen];
        while (next[chosen] < plan.ops.size() && seconds(chosen) < runEnd) {
            checkCancelled();
            const CopyOp &first = plan.ops[next[chosen]];
            batch.clear();
            std::int64_t contiguousEnd = first.offset;
            while (next[chosen] < plan.ops.size() && seconds(chosen) < runEnd) {
                const CopyOp &op = plan.ops[next[chosen]];
                if (op.offset != contiguousEnd || op.sourcePath != first.sourcePath)
                    break;
                batch.push_back(CopiedSample{op.size, op.timing});
                contiguousEnd += op.size;
                ++next[chosen];
            }
            writer.appendSamples(plan.writerTrack, sourceFile(first.sourcePath), first.offset, batch);
            written += contiguousEnd - first.offset;
            if (options.progress && totalBytes > 0)
                options.progress(double(written) / double(totalBytes));
        }
    }
    if (options.appendTracks)
        options.appendTracks(writer);
    writer.finish();
    if (options.progress)
        options.progress(1.0);
}

} // namespace lumacast::av
