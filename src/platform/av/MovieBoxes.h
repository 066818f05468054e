#pragma once

// Internal to platform/av: the boxes MovieWriter puts around the samples of a QuickTime movie,
// one function per box, each returning the whole box (size and type included). Pure functions of
// their arguments, callable from any thread; none of them fails, as MovieWriter refuses what
// cannot be written before it gets here.

#include "platform/av/MovieStructure.h"
#include "platform/av/MovieWriter.h"

#include <QByteArray>
#include <QList>

#include <cstdint>
#include <span>

namespace lumacast::av::movie_boxes {

// One sample as the sample tables describe it; times in the track's media timescale.
struct SampleRow {
    std::uint32_t size;
    std::uint32_t duration;
    std::int32_t compositionOffset; // presentation time minus decode time
    bool sync;
};

// Samples lying back to back in the file, all of one sample description.
struct ChunkRow {
    std::int64_t offset; // in the file
    std::uint32_t sampleCount;
    std::uint32_t description; // 1-based
};

// What one 'trak' is written from. The spans and lists are borrowed for the call.
struct TrackContent {
    const WriterTrackSettings &settings;
    std::uint32_t trackID;
    std::int64_t duration;        // movie timescale
    std::int64_t mediaDuration;   // media timescale: where the last sample ends
    const QList<EditEntry> &edits; // at least one entry
    const QList<QByteArray> &descriptions;
    std::span<const SampleRow> samples; // at least one
    std::span<const ChunkRow> chunks;
};

// 'ftyp': the QuickTime brand.
QByteArray ftyp();

// The 16 bytes in front of the samples: a 'wide' box, then a media data header whose size
// `mdatHeader` fills in. Both are 16 bytes long and go to the same place in the file.
QByteArray reservedMdatHeader();
// For `sampleBytes` bytes of samples: 'wide' and an 8-byte 'mdat' header when the size fits 32
// bits, else a 16-byte 'mdat' header with a 64-bit size written over both.
QByteArray mdatHeader(std::int64_t sampleBytes);

// 'mvhd': the movie's timescale and `duration` in it; `nextTrackID` is one past the last track's.
QByteArray mvhd(std::int32_t timescale, std::int64_t duration, std::uint32_t nextTrackID);
// 'trak' with everything below it.
QByteArray trak(const TrackContent &track);
// A box of `type` holding `children` as they are ('moov', 'trak', 'mdia', ...).
QByteArray container(const char *type, const QByteArray &children);

} // namespace lumacast::av::movie_boxes
