#include "platform/av/TrackLayout.h"

#include "platform/av/AacTrackEncoder.h"
#include "platform/av/CutReencoder.h"

#include <QFileInfo>

#include <algorithm>
#include <map>
#include <optional>

namespace lumacast::av::detail {

namespace {

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

// A stretch of the composition track: [mediaStart, mediaEnd) of a source track's media (in its
// media timescale) shown from `targetStart` for `length`, or a gap (no source).
struct Piece {
    const CompositionSegment *segment = nullptr;
    const TrackStructure *ts = nullptr;
    std::int64_t mediaStart = 0, mediaEnd = 0;
    MediaTime targetStart, length;
    bool isGap() const { return !ts; }
    bool showsBlack() const { return isGap() && segment && segment->black; }
};

// The source track's edit list as stretches of its media; an empty edit gives a gap.
void mapThroughEdits(const CompositionSegment &segment, const TrackStructure &ts, std::uint32_t movieTimescale,
                     MediaTime &cursor, QList<Piece> &out)
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
    const MediaTimeRange &range = segment.sourceRange;
    MediaTime position = MediaTime::zero();
    const auto mediaScale = std::int32_t(ts.mediaTimescale);
    for (const EditEntry &e : edits) {
        const MediaTime editStart = position;
        const MediaTime editEnd = position + MediaTime(e.segmentDuration, std::int32_t(movieTimescale));
        position = editEnd;
        const MediaTime from = maximum(editStart, range.start);
        const MediaTime to = minimum(editEnd, range.end());
        if (!(to > from))
            continue;
        Piece piece;
        piece.segment = &segment;
        piece.targetStart = cursor;
        piece.length = to - from;
        cursor = cursor + piece.length;
        if (!e.isEmpty()) {
            if (e.rate != 1.0)
                throw MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                                 QStringLiteral("Edits played at another rate cannot be copied."));
            piece.ts = &ts;
            piece.mediaStart = e.mediaTime + ticks(from - editStart, mediaScale);
            piece.mediaEnd = e.mediaTime + ticks(to - editStart, mediaScale);
        }
        out.append(piece);
    }
    // A source whose edits end before the range does is silent (or still) for the rest.
    if (cursor < segment.target.end()) {
        out.append(Piece{&segment, nullptr, 0, 0, cursor, segment.target.end() - cursor});
        cursor = segment.target.end();
    }
}

QList<Piece> piecesOf(const Composition &composition, int track)
{
    QList<Piece> pieces;
    MediaTime cursor = MediaTime::zero();
    for (const CompositionSegment &segment : composition.segments(track)) {
        if (segment.target.start > cursor) {
            pieces.append(Piece{nullptr, nullptr, 0, 0, cursor, segment.target.start - cursor});
            cursor = segment.target.start;
        }
        if (segment.isEmpty()) {
            pieces.append(Piece{&segment, nullptr, 0, 0, cursor, segment.target.duration});
            cursor = cursor + segment.target.duration;
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
        mapThroughEdits(segment, *ts, movie->movieTimescale, cursor, pieces);
    }
    return pieces;
}

// Two frames of one source that land on one tick of the output timescale: the writer cannot
// keep both, and dropping one would shorten the movie silently.
MediaError inexactTiming(const Piece &piece)
{
    return MediaError(MediaError::mediaDomain(), MediaError::UnsupportedFormat,
                      QStringLiteral("The movie \u201C%1\u201D cannot be copied exactly.")
                          .arg(QFileInfo(piece.segment->asset->path()).fileName()),
                      QStringLiteral("two of its frames fall on one instant of the copy's timescale"));
}

MediaError damaged(const Piece &piece)
{
    return MediaError(MediaError::mediaDomain(), MediaError::CorruptMovie,
                      QStringLiteral("The movie \u201C%1\u201D is damaged.")
                          .arg(QFileInfo(piece.segment->asset->path()).fileName()),
                      QStringLiteral("a sample names a missing sample description"));
}

// The writer's description index for the source sample description `index` (1-based) of a piece.
class Descriptions {
public:
    Descriptions(MovieWriter &writer, int track, MediaType type) : m_writer(writer), m_track(track), m_type(type) {}

    FormatDescription format(const Piece &piece, std::uint32_t index) const
    {
        if (index < 1 || index > std::uint32_t(piece.ts->sampleEntries.size()))
            throw damaged(piece);
        FormatDescription f;
        f.mediaType = m_type;
        f.sampleEntry = piece.ts->sampleEntries[index - 1];
        return f;
    }

    // The description decoded (codec, parameter sets, rate and channels).
    FormatDescription parsed(const Piece &piece, std::uint32_t index) const
    {
        const auto f = FormatDescription::fromSampleEntry(format(piece, index).sampleEntry, m_type);
        if (!f)
            throw damaged(piece);
        return *f;
    }

    int writerIndex(const Piece &piece, std::uint32_t index)
    {
        const auto key = std::make_pair(piece.ts, index);
        auto found = m_known.find(key);
        if (found == m_known.end())
            found = m_known.emplace(key, m_writer.addSampleDescription(m_track, format(piece, index))).first;
        return found->second;
    }

    int add(const FormatDescription &format) { return m_writer.addSampleDescription(m_track, format); }

private:
    MovieWriter &m_writer;
    int m_track;
    MediaType m_type;
    std::map<std::pair<const TrackStructure *, std::uint32_t>, int> m_known;
};

CopyOp copied(const Piece &piece, const SampleRecord &s)
{
    CopyOp op;
    op.sourcePath = piece.segment->asset->path();
    op.offset = s.offset;
    op.size = s.size;
    op.timing.keyframe = s.sync;
    return op;
}

// The sample the black stretches of a video track show: one black key frame in the format of the
// track's first frames (so that it shares their description as a cut's frames do). None when
// the track has no frame to take the format from.
std::optional<CopyOp> blackPicture(const QList<Piece> &pieces, Descriptions &descriptions)
{
    for (const Piece &piece : pieces) {
        if (piece.isGap() || piece.ts->samples.isEmpty())
            continue;
        CutReencoder::Result made =
            CutReencoder(descriptions.parsed(piece, piece.ts->samples.front().descriptionIndex)).blackPicture();
        CopyOp op;
        op.data = std::make_shared<const QByteArray>(std::move(made.samples.front().first));
        op.size = std::uint32_t(op.data->size());
        op.timing.keyframe = true;
        op.timing.descriptionIndex = descriptions.add(made.format);
        return op;
    }
    return std::nullopt;
}

void layOutVideo(const QList<Piece> &pieces, const MediaTime &trackEnd, TrackPlan &plan, Descriptions &descriptions,
                 const SourceFiles &sourceFile)
{
    const std::int32_t outScale = plan.mediaTimescale;
    const bool anyBlack = std::any_of(pieces.begin(), pieces.end(), [](const Piece &p) { return p.showsBlack(); });
    const std::optional<CopyOp> black = anyBlack ? blackPicture(pieces, descriptions) : std::nullopt;
    for (const Piece &piece : pieces) {
        if (piece.showsBlack() && black) {
            CopyOp op = *black;
            const std::int64_t after = plan.ops.empty() ? 0 : plan.ops.back().timing.decodeTime + 1;
            op.timing.decodeTime = op.timing.presentationTime = std::max(ticks(piece.targetStart, outScale), after);
            plan.ops.push_back(std::move(op));
        }
        if (piece.isGap())
            continue; // any other gap: the frame before it stays on screen
        const QList<SampleRecord> &samples = piece.ts->samples;
        const std::int64_t srcScale = piece.ts->mediaTimescale;
        // The frames shown in the piece, in presentation order.
        std::vector<qsizetype> shown;
        for (qsizetype i = 0; i < samples.size(); ++i) {
            const std::int64_t pts = samples[i].presentationTime();
            if (pts < piece.mediaEnd && pts + std::int64_t(samples[i].duration) > piece.mediaStart)
                shown.push_back(i);
        }
        if (shown.empty())
            continue;
        std::stable_sort(shown.begin(), shown.end(), [&](qsizetype a, qsizetype b) {
            return samples[a].presentationTime() < samples[b].presentationTime();
        });
        // Frames up to the first key frame are re-encoded; a source that reorders frames (none
        // of ours) is re-encoded whole, as a copy of it would need frames it does not show.
        const bool reordered = !std::is_sorted(shown.begin(), shown.end());
        std::size_t copyFrom = 0;
        while (copyFrom < shown.size() && (reordered || !samples[shown[copyFrom]].sync))
            ++copyFrom;
        CutReencoder::Result fresh;
        int freshDescription = 0;
        if (copyFrom > 0) {
            const auto [low, high] = std::minmax_element(shown.begin(), shown.begin() + std::ptrdiff_t(copyFrom));
            qsizetype sync = *low;
            while (sync > 0 && !samples[sync].sync)
                --sync;
            const CutReencoder reencoder(descriptions.parsed(piece, samples[sync].descriptionIndex));
            fresh = reencoder.reencode(sourceFile(piece.segment->asset->path()), samples, sync, *high + 1,
                                       samples[shown.front()].presentationTime(),
                                       samples[shown[copyFrom - 1]].presentationTime() + 1);
            freshDescription = descriptions.add(fresh.format);
        }
        const std::int64_t start = ticks(piece.targetStart, outScale);
        const std::size_t firstOfPiece = plan.ops.size();
        for (std::size_t k = 0; k < shown.size(); ++k) {
            const SampleRecord &s = samples[shown[k]];
            const std::int64_t at = start + rescale(std::max<std::int64_t>(0, s.presentationTime() - piece.mediaStart),
                                                    srcScale, outScale);
            if (!plan.ops.empty() && at <= plan.ops.back().timing.decodeTime) {
                // At the start of a piece this is the frame of the piece before, rounded onto
                // the cut: it is shown for no time and goes. Inside a piece it is a real frame.
                if (plan.ops.size() > firstOfPiece)
                    throw inexactTiming(piece);
                continue;
            }
            CopyOp op = copied(piece, s);
            op.timing.decodeTime = op.timing.presentationTime = at;
            if (k < copyFrom) {
                auto &[bytes, key] = fresh.samples[k];
                op.data = std::make_shared<const QByteArray>(std::move(bytes));
                op.size = std::uint32_t(op.data->size());
                op.timing.keyframe = key;
                op.timing.descriptionIndex = freshDescription;
            } else {
                op.timing.descriptionIndex = descriptions.writerIndex(piece, s.descriptionIndex);
            }
            plan.ops.push_back(std::move(op));
        }
    }
    if (plan.ops.empty())
        return;
    // A track that starts with a gap shows its first frame from the start.
    plan.ops.front().timing.decodeTime = plan.ops.front().timing.presentationTime = 0;
    const std::int64_t end = std::max(ticks(trackEnd, outScale), plan.ops.back().timing.decodeTime + 1);
    for (std::size_t j = 0; j < plan.ops.size(); ++j) {
        const std::int64_t next = j + 1 < plan.ops.size() ? plan.ops[j + 1].timing.decodeTime : end;
        plan.ops[j].timing.duration = std::uint32_t(next - plan.ops[j].timing.decodeTime);
    }
    plan.mediaEnd = end;
}

// The index of the sample whose decode time is nearest `time`.
qsizetype nearestSample(const QList<SampleRecord> &samples, std::int64_t time)
{
    const auto it = std::lower_bound(samples.begin(), samples.end(), time,
                                     [](const SampleRecord &s, std::int64_t t) { return s.decodeTime < t; });
    qsizetype j = it - samples.begin();
    if (j > 0 && (j == samples.size() || time - samples[j - 1].decodeTime <= samples[j].decodeTime - time))
        --j;
    return j;
}

// Returns the edit's media time (the priming the track starts with).
std::int64_t layOutAudio(const QList<Piece> &pieces, TrackPlan &plan, Descriptions &descriptions)
{
    const std::int32_t outScale = plan.mediaTimescale;
    const Piece *firstSource = nullptr;
    for (const Piece &p : pieces)
        if (!p.isGap() && !p.ts->samples.isEmpty()) {
            firstSource = &p;
            break;
        }
    if (!firstSource)
        return 0;
    const std::uint32_t firstIndex = firstSource->ts->samples.front().descriptionIndex;
    const int silenceDescription = descriptions.writerIndex(*firstSource, firstIndex);
    std::shared_ptr<const QByteArray> silence;
    std::uint32_t silenceDuration = 0;

    std::optional<std::int64_t> edit;
    std::int64_t outEnd = 0;
    const std::int64_t trackEnd = ticks(pieces.back().targetStart + pieces.back().length, outScale);
    for (qsizetype p = 0; p < pieces.size(); ++p) {
        const Piece &piece = pieces[p];
        const std::int64_t targetStart = ticks(piece.targetStart, outScale);
        const std::int64_t targetEnd = ticks(piece.targetStart + piece.length, outScale);
        // Inside the track a frame goes in when most of it falls before the cut, which moves back
        // by a frame when a source follows: its first frame only primes the decoder for the
        // frame at the cut (for a take's start, that is the encoder's priming). The last piece
        // covers the end, which the edit then trims.
        const bool lastPiece = p + 1 == pieces.size();
        const bool silenceFollows = !lastPiece && (pieces[p + 1].isGap() || pieces[p + 1].ts->samples.isEmpty());
        std::int64_t cut = targetEnd;
        if (!lastPiece && !silenceFollows)
            cut -= rescale(pieces[p + 1].ts->samples.front().duration, pieces[p + 1].ts->mediaTimescale, outScale);
        const auto wanted = [&](std::uint32_t duration) {
            return lastPiece ? outEnd < *edit + targetEnd : outEnd + duration / 2 < *edit + cut;
        };
        if (piece.isGap() || piece.ts->samples.isEmpty()) {
            if (!edit)
                edit = 0;
            if (!silence) {
                const FormatDescription format = descriptions.parsed(*firstSource, firstIndex);
                AacTrackEncoder::Settings settings;
                settings.sampleRate = int(format.sampleRate);
                settings.channels = format.channels;
                silence = std::make_shared<const QByteArray>(AacTrackEncoder::silentFrame(settings));
                silenceDuration = std::uint32_t(rescale(1024, settings.sampleRate, outScale));
            }
            while (wanted(silenceDuration)) {
                CopyOp op;
                op.data = silence;
                op.size = std::uint32_t(silence->size());
                op.timing = SampleTiming{outEnd, outEnd, silenceDuration, true, silenceDescription};
                plan.ops.push_back(op);
                outEnd += silenceDuration;
            }
            continue;
        }
        const QList<SampleRecord> &samples = piece.ts->samples;
        const std::int64_t srcScale = piece.ts->mediaTimescale;
        qsizetype j;
        if (!edit) {
            // The track starts on the frame nearest the start, behind one frame that primes the
            // decoder and that the edit hides: a whole frame, as in the takes, since players
            // differ in what they make of an edit that starts inside a frame.
            const qsizetype atStart = nearestSample(samples, piece.mediaStart);
            j = std::max<qsizetype>(0, atStart - 1);
            edit = rescale(samples[atStart].decodeTime - samples[j].decodeTime, srcScale, outScale) - targetStart;
        } else {
            // Lands the frame at the cut where the cut is, give or take half a frame, behind the
            // frame that primes it.
            j = nearestSample(samples, piece.mediaStart + rescale(outEnd - *edit - targetStart, outScale, srcScale));
        }
        for (; j < samples.size(); ++j) {
            const SampleRecord &s = samples[j];
            const auto duration = std::uint32_t(rescale(s.duration, srcScale, outScale));
            // Before silence, a frame that holds any sound the source shows is kept (the silence
            // gives way to it), so that the end of a tail, say, is not swapped for silence when
            // its sound sits up to half a frame late; only a frame past the track's end goes.
            if (silenceFollows ? !(s.decodeTime < piece.mediaEnd && outEnd < *edit + trackEnd) : !wanted(duration))
                break;
            CopyOp op = copied(piece, s);
            op.timing = SampleTiming{outEnd, outEnd, duration, s.sync, descriptions.writerIndex(piece, s.descriptionIndex)};
            plan.ops.push_back(op);
            outEnd += duration;
        }
    }
    plan.mediaEnd = outEnd;
    return edit.value_or(0);
}

} // namespace

void layOutTrack(const Composition &composition, int track, TrackPlan &plan, MovieWriter &writer,
                 const SourceFiles &sourceFile)
{
    const QList<Piece> pieces = piecesOf(composition, track);
    const MediaTime trackEnd = composition.trackEnd(track);
    const MediaType type = composition.trackType(track);
    Descriptions descriptions(writer, plan.writerTrack, type);
    const std::int32_t movieScale = writer.movieTimescale();
    std::int64_t mediaTime = 0;
    if (type == MediaType::Audio)
        mediaTime = layOutAudio(pieces, plan, descriptions);
    else
        layOutVideo(pieces, trackEnd, plan, descriptions, sourceFile);
    if (plan.ops.empty())
        return;
    const std::int64_t shown = std::min(ticks(trackEnd, movieScale),
                                        rescale(plan.mediaEnd - mediaTime, plan.mediaTimescale, movieScale));
    writer.addEdit(plan.writerTrack, EditEntry{shown, mediaTime, 1.0});
}

} // namespace lumacast::av::detail
