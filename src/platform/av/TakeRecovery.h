#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace lumacast::av {

// Finishes a take movie that a crash or a power cut left without its index, from the journal
// written beside it (TakeJournal), with the movie writer's own boxes. Synchronous; any thread.
class TakeRecovery {
public:
    struct Result {
        bool wasFinished = false; // the movie already had its index: only the journal went
        double seconds = 0;       // the recovered take's length
        QByteArray note;          // the journal's note (which session and scene)
        qint64 samplesKept = 0;
        qint64 samplesJournaled = 0;
    };

    // Whether the movie at `path` has a top-level 'moov' (a file that cannot be read has none).
    static bool hasIndex(const QString &moviePath);

    // Keeps the journal's samples that agree with the movie and with each other: bytes wholly in
    // the file and overlapping no other sample's, decode times rising within a track by steps a
    // take has, video from its first key frame; the last kept frame is held over up to two
    // seconds of sound past it and sound is cut at its end, and a last sample lasts no longer
    // than its track's longest step. Bytes no kept sample refers to stay in the media data; only
    // the index is added. The finished movie must read back whole through Asset, else it is put
    // back as it was. On success it is on the disk and the journal is removed. Throws MediaError
    // when the journal cannot be read, CorruptMovie when no kept frame remains of a damaged
    // journal or the result does not read back, NoFrame when the journal is whole and no video
    // frame reached the disk, or the movie cannot be finished (memory included); the movie and
    // the journal then stay as they were.
    // `spareBytes` (at most 16 MiB): the file's last that many bytes are left out of the movie,
    // so that a full disk has room for the index; they are written back if finishing fails.
    // `keepJournal`: the journal stays beside the finished movie (and, for a movie that had its
    // index already, its note is read), for an owner that removes it once it names the take.
    static Result recover(const QString &moviePath, std::int64_t spareBytes = 0, bool keepJournal = false);

private:
    static Result finish(const QString &moviePath, std::int64_t spareBytes, bool keepJournal);
};

} // namespace lumacast::av
