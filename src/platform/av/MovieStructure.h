#pragma once

#include "platform/av/MediaError.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>

namespace lumacast::av {

// The layout of a QuickTime or ISO base media file as its boxes state it, read without
// interpretation by a codec library: the edit lists, every sample description entry and the full
// sample tables. libavformat hides two things passthrough copying needs: which sample
// description each sample uses, and the edit list as written.

// One edit: `segmentDuration` in the movie timescale; `mediaTime` in the track's media
// timescale, -1 for an empty edit; `rate` normally 1.
struct EditEntry {
    std::int64_t segmentDuration = 0;
    std::int64_t mediaTime = 0;
    double rate = 1.0;
    bool isEmpty() const { return mediaTime < 0; }
    friend bool operator==(const EditEntry &, const EditEntry &) = default;
};

// One stored sample in decode order. Times are in the track's media timescale.
struct SampleRecord {
    std::int64_t offset = 0;          // in the file
    std::uint32_t size = 0;
    std::int64_t decodeTime = 0;
    std::uint32_t duration = 0;
    std::int32_t compositionOffset = 0; // presentation time = decodeTime + compositionOffset
    bool sync = true;
    std::uint32_t descriptionIndex = 1; // 1-based, into the track's sample descriptions
    std::int64_t presentationTime() const { return decodeTime + compositionOffset; }
};

// The matrix of a track header: [a b u; c d v; tx ty w], with a, b, c, d, tx, ty as doubles.
struct TrackMatrix {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
    friend bool operator==(const TrackMatrix &, const TrackMatrix &) = default;
};

struct TrackStructure {
    std::uint32_t trackID = 0;
    QByteArray handlerType; // "vide", "soun", ...
    std::uint32_t mediaTimescale = 0;
    std::int64_t mediaDuration = 0;
    std::int64_t headerDuration = 0; // tkhd, in the movie timescale
    TrackMatrix matrix;
    double width = 0, height = 0;    // tkhd, in pixels
    QList<EditEntry> edits;          // empty when the track has no edit list
    QList<QByteArray> sampleEntries; // whole stsd entries, box header included
    QList<SampleRecord> samples;

    // The presentation length in the movie timescale: the sum of the edits, or the media
    // duration converted when there is no edit list.
    std::int64_t presentationDuration(std::uint32_t movieTimescale) const;
};

struct MovieStructure {
    QByteArray majorBrand;
    std::uint32_t movieTimescale = 0;
    std::int64_t movieDuration = 0;
    QList<TrackStructure> tracks;
};

// Reads the structure of a QuickTime/MP4 file. Throws MediaError (CannotOpen when the file
// cannot be read, CorruptMovie when it holds no readable movie box or a table is inconsistent).
MovieStructure readMovieStructure(const QString &path);

namespace boxes {
// The child boxes of a sample entry start after its fixed fields; returns each (type, payload).
QList<std::pair<QByteArray, QByteArray>> childBoxes(const QByteArray &data, int from);
} // namespace boxes

} // namespace lumacast::av
