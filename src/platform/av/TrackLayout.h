#pragma once

// Internal to platform/av: how writePassthrough lays out the samples of one composition track so
// that every player shows the same thing. Players differ in how they honour edit lists (some end
// a stream at a second edit, some ignore all but the first, some show what an edit hides), so a
// track is laid out with at most one edit, for the AAC priming, and no hidden sample:
// - video: exactly the frames shown, each placed at its time in the composition; a stretch that
//   starts off a key frame is re-encoded up to the next key frame (CutReencoder) and copied from
//   there on; a black empty stretch is one black key frame, any other gap holds the frame
//   before it;
// - audio: whole AAC frames, chosen at each cut so that the sound stays within half a frame of
//   the picture; a gap is filled with encoded silence, which gives way to the whole frame the
//   sound before it ends in.
// Runs on the writing thread; throws MediaError.

#include "platform/av/Composition.h"
#include "platform/av/MovieWriter.h"

#include <QFile>

#include <functional>
#include <memory>
#include <vector>

namespace lumacast::av::detail {

// One sample of the movie to write: bytes copied from a source file, or bytes made here.
struct CopyOp {
    QString sourcePath;
    std::int64_t offset = 0;
    std::uint32_t size = 0;
    SampleTiming timing;
    std::shared_ptr<const QByteArray> data; // set for re-encoded frames and silence
    bool generated() const { return bool(data); }
};

struct TrackPlan {
    int writerTrack = -1;
    std::int32_t mediaTimescale = 0;
    std::int64_t mediaEnd = 0;
    std::vector<CopyOp> ops;
};

using SourceFiles = std::function<QFile &(const QString &path)>;

// Fills `plan` for composition track `track` and adds its sample descriptions and its one edit to
// the writer (whose track is plan.writerTrack).
void layOutTrack(const Composition &composition, int track, TrackPlan &plan, MovieWriter &writer,
                 const SourceFiles &sourceFile);

} // namespace lumacast::av::detail
