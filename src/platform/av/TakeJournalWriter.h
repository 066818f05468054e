#pragma once

#include "platform/av/TakeJournal.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

struct AVIOContext;
struct AVPacket;

namespace lumacast::av {

// Keeps a take movie's journal while the muxer writes the movie: learns where each packet the
// muxer writes ends in the file and brings movie and journal to the disk on a thread of its own
// ("take sync") at least once a second, so that a slow disk never holds up encoding.
//
// Threads: everything but the sync thread's work runs on the encoder's thread (or on the owner's
// before that thread starts and after it ends). Failure: logged; the take goes on without it.
class TakeJournalWriter {
public:
    TakeJournalWriter() = default;
    ~TakeJournalWriter();
    TakeJournalWriter(const TakeJournalWriter &) = delete;
    TakeJournalWriter &operator=(const TakeJournalWriter &) = delete;

    // `outlivesFinish`: a finished movie keeps its journal, for its owner to remove.
    void configure(const QString &journalPath, const QByteArray &note, bool outlivesFinish = false);
    bool isConfigured() const { return !m_journalPath.isEmpty(); }
    bool isOpen() const { return m_journaling; }
    // The journal's descriptor while it is open (-1 otherwise): it reaches the journal wherever
    // its folder has gone since.
    int descriptor() const { return m_journalFd; }

    // Writes the header once the muxer has written the movie's own (the samples start at the
    // position of `movie` then) and starts the sync thread; `movieFd` is the movie's descriptor,
    // whose duplicate syncs it. A journal that cannot be written is logged and removed.
    void open(AVIOContext *movie, int movieFd, const QList<TakeJournal::Track> &tracks);
    // Before `packet` goes to the muxer: its record is made when the muxer lets go of its data.
    void wrap(AVPacket *packet);
    // Hands what was written since the last sync to the sync thread, when one is due or `force`d.
    void sync(bool force);
    // Waits until what was handed over is on the disk; a `finished` movie loses its journal once
    // the movie is on the disk too (unless it outlives the finish). The movie's context is not
    // touched afterwards.
    void close(bool finished);

private:
    struct WrittenPacket;
    static void packetWritten(void *opaque, uint8_t *data);
    void recordWritten(const WrittenPacket &packet);
    void runSync();
    void stopSync();

    QString m_journalPath;
    QByteArray m_note;
    bool m_outlivesFinish = false;
    AVIOContext *m_movie = nullptr;
    int m_journalFd = -1;      // set up before the sync thread starts, closed after it ends
    int m_movieSyncFd = -1;    // a second descriptor of the movie, for fdatasync
    bool m_journaling = false;
    int64_t m_writtenEnd = 0;  // where the last sample written ends in the movie
    QByteArray m_pending;      // records whose samples are not yet handed over
    std::chrono::steady_clock::time_point m_lastSync;
    std::thread m_syncThread;
    std::mutex m_syncMutex;
    std::condition_variable m_syncCondition;
    QByteArray m_syncRecords; // guarded by m_syncMutex
    bool m_syncRequested = false, m_syncStopping = false; // guarded by m_syncMutex
    std::atomic<bool> m_broken{false};
};

} // namespace lumacast::av
