#include "platform/av/Composition.h"

#include "platform/av/MovieWriter.h"
#include "platform/av/TrackLayout.h"

#include <QFile>
#include <QFileInfo>

#include <limits>
#include <numeric>

#include <algorithm>
#include <cmath>
#include <list>
#include <map>
#include <optional>

namespace lumacast::av {

namespace {

MediaError invalidArgument(const QString &description, const QString &reason = {})
{
    return MediaError(MediaError::mediaDomain(), MediaError::InvalidArgument, description,
                      reason.isEmpty() ? std::nullopt : std::optional<QString>(reason));
}

using detail::CopyOp;
using detail::TrackPlan;

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
        t.segments.append(CompositionSegment{nullptr, -1, {}, range, true});
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
            if (op.generated())
                continue;
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
    std::int64_t total = 0, generated = 0;
    for (const SourceStretch &s : stretches)
        total += s.end - s.begin;
    for (const TrackPlan &plan : plans)
        for (const CopyOp &op : plan.ops)
            if (op.generated())
                generated += op.size;
    writer.reserveSampleBytes(total + generated);
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
    // Samples made here (a re-encoded cut, silence) follow the copied stretches.
    for (const TrackPlan &plan : plans)
        for (const CopyOp &op : plan.ops) {
            if (op.generated())
                writer.appendSample(plan.writerTrack, *op.data, op.timing);
            else
                writer.addSampleAt(plan.writerTrack, op.offset + shift.at(op.sourcePath), op.size, op.timing);
        }
}


// One copy of samples that lie back to back in one source: `plan` says whose each is.
struct SourceRun {
    std::vector<std::pair<std::size_t, const CopyOp *>> samples;
    std::int64_t begin = 0, end = 0;
};

// Copies a run in one go. A run of one track's samples goes in as appendSamples puts it (each
// sample checked before a byte is copied); a run of several tracks' samples, as the source
// interleaved them, is copied whole and the samples are placed inside it.
void copySourceRun(MovieWriter &writer, const std::vector<TrackPlan> &plans, QFile &source, const SourceRun &run)
{
    const std::size_t track = run.samples.front().first;
    const bool oneTrack = std::all_of(run.samples.begin(), run.samples.end(),
                                      [&](const auto &sample) { return sample.first == track; });
    if (oneTrack) {
        std::vector<CopiedSample> batch;
        batch.reserve(run.samples.size());
        for (const auto &[plan, op] : run.samples)
            batch.push_back(CopiedSample{op->size, op->timing});
        writer.appendSamples(plans[track].writerTrack, source, run.begin, batch);
        return;
    }
    const std::int64_t position = writer.appendBytes(source, run.begin, run.end - run.begin);
    for (const auto &[plan, op] : run.samples)
        writer.addSampleAt(plans[plan].writerTrack, position + (op->offset - run.begin), op->size, op->timing);
}

// Interleaves the tracks in half-second runs so that players read the file front to back.
// Samples of any track that lie back to back in one source (a take's own interleaved picture and
// sound) go over in one copy of at most 64 MiB: one system call where a sample each would cost
// thousands. Only bytes some sample refers to are copied: what a cut or a left-out track holds
// between them never reaches the movie.
template<typename OpenSource, typename CheckCancelled>
void copyInterleaved(MovieWriter &writer, std::vector<TrackPlan> &plans, OpenSource &sourceFile,
                     const CheckCancelled &checkCancelled, const std::function<void(double)> &progress,
                     std::int64_t totalBytes)
{
    constexpr std::int64_t kRunAtMost = std::int64_t(64) << 20;
    writer.reserveSampleBytes(totalBytes);
    std::vector<std::size_t> next(plans.size(), 0);
    std::int64_t written = 0;
    auto seconds = [&](std::size_t p) {
        const TrackPlan &plan = plans[p];
        return double(plan.ops[next[p]].timing.decodeTime) / plan.mediaTimescale;
    };
    // The track whose next sample lies in `source` just before `run` (or just after it) and
    // within the half second, if one does.
    auto adjoining = [&](const SourceRun &run, const QString &source, double runEnd, bool before) {
        for (std::size_t p = 0; p < plans.size(); ++p) {
            if (next[p] >= plans[p].ops.size() || seconds(p) >= runEnd)
                continue;
            const CopyOp &op = plans[p].ops[next[p]];
            const bool adjoins = before ? op.offset + std::int64_t(op.size) == run.begin : op.offset == run.end;
            if (!op.generated() && adjoins && op.sourcePath == source)
                return p;
        }
        return plans.size();
    };
    SourceRun run;
    for (;;) {
        std::size_t chosen = plans.size();
        for (std::size_t p = 0; p < plans.size(); ++p)
            if (next[p] < plans[p].ops.size() && (chosen == plans.size() || seconds(p) < seconds(chosen)))
                chosen = p;
        if (chosen == plans.size())
            break;
        const double runEnd = seconds(chosen) + 0.5;
        while (next[chosen] < plans[chosen].ops.size() && seconds(chosen) < runEnd) {
            checkCancelled();
            const CopyOp &first = plans[chosen].ops[next[chosen]];
            if (first.generated()) {
                writer.appendSample(plans[chosen].writerTrack, *first.data, first.timing);
                written += first.size;
                ++next[chosen];
                continue;
            }
            run.samples.clear();
            run.begin = run.end = first.offset;
            // Other tracks' samples just before it in the source go first, as the source has them:
            // one each, so that every track's samples stay in their order.
            std::vector<bool> before(plans.size(), false);
            before[chosen] = true;
            for (std::size_t p = adjoining(run, first.sourcePath, runEnd, true); p < plans.size() && !before[p];
                 p = adjoining(run, first.sourcePath, runEnd, true)) {
                const CopyOp &op = plans[p].ops[next[p]++];
                run.samples.emplace(run.samples.begin(), p, &op);
                run.begin -= op.size;
                before[p] = true;
            }
            for (std::size_t p = chosen; p < plans.size() && run.end - run.begin < kRunAtMost;
                 p = adjoining(run, first.sourcePath, runEnd, false)) {
                const CopyOp &op = plans[p].ops[next[p]++];
                run.samples.emplace_back(p, &op);
                run.end += op.size;
            }
            copySourceRun(writer, plans, sourceFile(first.sourcePath), run);
            written += run.end - run.begin;
            if (progress && totalBytes > 0)
                progress(double(written) / double(totalBytes));
        }
    }
}

} // namespace

namespace {

// The source movies open at once: the few read last. A composition may hold more takes than a
// process may have files open (a course of a thousand scenes), and the samples are read take
// after take, so a movie read once is seldom read again after the next few. A file handed out
// stays open until the next call, which is all its callers need.
class OpenSources {
public:
    QFile &file(const QString &path)
    {
        const auto found = std::find_if(m_files.begin(), m_files.end(),
                                         [&](const auto &open) { return open.first == path; });
        if (found != m_files.end()) {
            m_files.splice(m_files.begin(), m_files, found);
            return *m_files.front().second;
        }
        if (m_files.size() >= kOpenAtMost)
            m_files.pop_back();
        auto file = std::make_unique<QFile>(path);
        openForReading(*file, MediaError::ReadFailed,
                       QStringLiteral("The movie \u201C%1\u201D could not be read.").arg(QFileInfo(path).fileName()));
        m_files.emplace_front(path, std::move(file));
        return *m_files.front().second;
    }

private:
    static constexpr std::size_t kOpenAtMost = 8;
    std::list<std::pair<QString, std::unique_ptr<QFile>>> m_files; // the last read first
};

// The timescale every source frame time of a video track can be written in exactly: the least
// common multiple of the sources' timescales. Throws MediaError(UnsupportedFormat) when that does
// not fit a timescale, rather than rounding frames onto one another.
std::int32_t commonTimescale(const QList<CompositionSegment> &segments, std::int32_t first)
{
    std::int64_t common = first;
    for (const CompositionSegment &s : segments) {
        if (s.isEmpty())
            continue;
        const std::int64_t scale = s.asset->tracks()[s.sourceTrack].naturalTimescale;
        if (scale <= 0)
            continue;
        common = std::lcm(common, scale);
        if (common > std::numeric_limits<std::int32_t>::max())
            throw MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                             QStringLiteral("The movie \u201C%1\u201D cannot be copied exactly.")
                                 .arg(QFileInfo(s.asset->path()).fileName()),
                             QStringLiteral("its video timescale %1 has no common timescale with the other movies")
                                 .arg(scale));
    }
    return std::int32_t(common);
}

} // namespace

void writePassthrough(const Composition &composition, const QString &path, const PassthroughOptions &options)
{
    MovieWriter writer(path, options.movieTimescale);
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
        if (settings.mediaType == MediaType::Video)
            settings.mediaTimescale = commonTimescale(segments, settings.mediaTimescale);
        settings.naturalSize = firstTrack.naturalSize;
        settings.preferredTransform = firstTrack.preferredTransform;
        plan.writerTrack = writer.addTrack(settings);
        plan.mediaTimescale = settings.mediaTimescale;
    }

    OpenSources sources;
    auto sourceFile = [&](const QString &sourcePath) -> QFile & { return sources.file(sourcePath); };
    writer.open();
    const detail::SourceFiles files = sourceFile;
    for (int c = 0; c < composition.trackCount(); ++c) {
        TrackPlan &plan = plans[std::size_t(c)];
        if (plan.writerTrack < 0)
            continue;
        detail::layOutTrack(composition, c, plan, writer, files);
        for (const CopyOp &op : plan.ops)
            totalBytes += op.size;
    }

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

    copyInterleaved(writer, plans, sourceFile, checkCancelled, options.progress, totalBytes);
    if (options.appendTracks)
        options.appendTracks(writer);
    writer.finish();
    if (options.progress)
        options.progress(1.0);
}

} // namespace lumacast::av
