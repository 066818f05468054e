#pragma once

#include "platform/av/Asset.h"
#include "platform/av/MediaError.h"
#include "platform/av/MediaTime.h"

#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

namespace lumacast::av {

class MovieWriter;

// One stretch of a composition track: a range of a source track's presentation timeline placed
// at `target`, or an empty stretch (no asset) that plays nothing.
struct CompositionSegment {
    std::shared_ptr<const Asset> asset;
    int sourceTrack = -1;      // index into asset->tracks()
    MediaTimeRange sourceRange; // on the source movie's timeline
    MediaTimeRange target;      // on the composition's timeline
    // An empty stretch put there on purpose (insertEmptyTimeRange) shows black on a video track;
    // one left before a source that starts late holds the picture before it.
    bool black = false;
    bool isEmpty() const { return !asset; }
};

// An edit of source movies: tracks of stretches laid end to end. Nothing is read or decoded
// until the composition is written; `writePassthrough` then copies the compressed samples.
class Composition {
public:
    int addTrack(MediaType type);
    int trackCount() const { return int(m_tracks.size()); }
    MediaType trackType(int track) const;
    const QList<CompositionSegment> &segments(int track) const;
    // The end of the track's last stretch.
    MediaTime trackEnd(int track) const;
    // The end of the longest track.
    MediaTime duration() const;

    // Places `range` of the source track at `at`, which must not lie before the track's end; a
    // gap before `at` becomes an empty stretch. The range is clipped to the source track's own
    // time range, and what the source covers keeps its place within the range: a track that
    // starts late (or not at all within the range) leaves that part empty. Throws
    // MediaError(InvalidArgument) for a bad track, a range that starts before 0 or after the
    // source track's end, or a media type that differs from the composition track's.
    void insertTimeRange(int track, const MediaTimeRange &range,
                         const std::shared_ptr<const Asset> &asset, int sourceTrack, const MediaTime &at);
    // Appends an empty stretch that shows black (or places it at `range.start`, leaving any gap
    // before it as insertTimeRange does).
    void insertEmptyTimeRange(int track, const MediaTimeRange &range);

private:
    struct Track {
        MediaType type;
        QList<CompositionSegment> segments;
    };
    Track &checkedTrack(int track);
    const Track &checkedTrack(int track) const;
    QList<Track> m_tracks;
};

struct PassthroughOptions {
    std::int32_t movieTimescale = 600;
    // Called with the fraction of sample bytes written so far (0 to 1), on the writing thread.
    std::function<void(double)> progress;
    // Checked between samples; when set the write stops with MediaError(Cancelled).
    const std::atomic<bool> *cancelled = nullptr;
    // Copies the stretch of each source file that holds the samples it gives, in one piece,
    // instead of the samples run by run, and lays the sources one after the other rather than
    // interleaving the tracks anew: every sample stays a byte-exact copy and the sources' own
    // interleaving carries over. Used only where the stretches hold little else (bytes no sample
    // refers to are copied too); otherwise samples are copied run by run as without it.
    bool copySourceStretches = false;
    // Called after the copied samples are written and before the movie is finished, to add
    // tracks of new samples (a re-encoded audio mix beside passed-through video). They follow
    // the copied tracks in the movie.
    std::function<void(MovieWriter &)> appendTracks;
};

// Writes the composition as a QuickTime movie, copying the compressed samples, laid out so that
// every player shows the same: each track has at most one edit (the AAC priming) and no sample
// that it hides. Video holds exactly the frames shown; a stretch that starts off a key frame is
// re-encoded, with the settings takes of its size are recorded with, up to its next key frame
// and copied from there on, so cuts stay frame-accurate; a black empty stretch is one black key
// frame encoded with those settings, and a gap before a late source holds the frame before it.
// Sound is copied in whole AAC frames, each cut placed within half a frame, and a stretch
// without sound is filled with encoded silence.
// Sources must be QuickTime/MP4 files without frame reordering. Composition tracks without
// samples are left out. Throws MediaError; a partly written file is removed.
void writePassthrough(const Composition &composition, const QString &path,
                      const PassthroughOptions &options = {});

} // namespace lumacast::av
