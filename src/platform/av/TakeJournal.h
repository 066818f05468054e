#pragma once

#include "platform/av/FormatDescription.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdint>
#include <vector>

namespace lumacast::av {

// The journal a take movie is written with: what its index would hold, kept beside the movie
// while it is written, so that a movie cut off by a crash or a power cut can be finished from it.
// The layout (little-endian) is described in the capture README. Written by `TakeJournalWriter` on
// the take encoder's thread; read by `TakeRecovery` on any thread.
class TakeJournal {
public:
    struct Track {
        MediaType mediaType = MediaType::Video;
        std::int32_t timescale = 0;
        int width = 0, height = 0;   // video: the display size
        QByteArray sampleEntry;      // the stsd entry as the movie writer writes it
    };
    // One sample as the muxer wrote it; times in its track's timescale.
    struct Sample {
        int track = 0;
        bool keyframe = false;
        std::uint32_t size = 0;
        std::int64_t offset = 0; // in the movie file
        std::int64_t decodeTime = 0;
        std::int32_t compositionOffset = 0; // presentation minus decode time
        std::uint32_t duration = 0;
    };
    struct Contents {
        std::int64_t mediaDataStart = 0; // where the 16 bytes of 'wide' and 'mdat' begin
        QByteArray note;                 // the owner's words: which session and scene
        QList<Track> tracks;
        // In file order: every record whose fields can describe a sample (a known track, a size,
        // an offset in the media data, times within bounds); whether it agrees with the movie and
        // with the other records is the recovery's to judge. A record cut off at the end, and
        // the zeros of an end never written, are left out.
        std::vector<Sample> samples;
        int damagedRecords = 0;          // records skipped because no sample has such fields
    };

    // The journal beside a movie.
    static QString pathFor(const QString &moviePath);

    // The bytes that open a journal; samples follow as `sampleRecord`s.
    static QByteArray header(std::int64_t mediaDataStart, const QByteArray &note, const QList<Track> &tracks);
    static constexpr int kSampleRecordSize = 32;
    static void appendSampleRecord(QByteArray &out, const Sample &sample);

    // Throws MediaError(CorruptMovie or ReadFailed) when the journal cannot be read (memory
    // included) or its header is cut off or out of bounds; damaged sample records are skipped.
    static Contents read(const QString &path);
    static Contents parse(const QByteArray &bytes);
};

} // namespace lumacast::av
