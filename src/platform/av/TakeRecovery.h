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

    // Keeps every sample whose bytes are wholly in the file, up to the end of the last whole
    // video frame; sound is cut at the same instant. On success the movie is finished and on
    // the disk, and the journal is removed. Throws MediaError when the journal cannot be read,
    // NoFrame when no whole video frame reached the disk, or the movie cannot be finished; the
    // movie and the journal then stay where they are.
    // `spareBytes`: samples within that many bytes of the file's end are left out too, so that a
    // full disk has room for the index.
    static Result recover(const QString &moviePath, std::int64_t spareBytes = 0);
};

} // namespace lumacast::av
