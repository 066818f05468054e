#pragma once

#include "platform/av/TakeEncoderSettings.h"
#include "platform/av/TakeJournalWriter.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

struct AVFormatContext;
struct AVFrame;
struct AVPacket;

namespace lumacast::av {

// Writes one take movie in real time: an H.264 video track and AAC audio tracks in a QuickTime
// file. Appends are made on the capture thread and return at once: a video frame is converted
// to 4:2:0 on the spot (the caller's buffer may be reused right after) and queued, and encoding
// and muxing run on a thread of the encoder's own behind a bounded queue. A track whose queue is
// full is "not ready": the caller drops the sample instead of waiting.
//
// A frame that repeats the picture before it is not encoded: that picture's sample lasts longer
// (a variable frame rate), and is written anew only after a second's hold and at the end. The
// stream still states the nominal rate as its fixed frame rate, which is what readers take as
// the track's rate.
//
// Times handed in are (value, timescale) pairs on the capture clock; the movie's timeline starts
// at the session start time, and what lies before it is left out.
class TakeEncoder {
public:
    enum class Status { unknown = 0, writing = 1, completed = 2, failed = 3, cancelled = 4 };
    enum class SampleFormat { float32, int16 };

    // Refuses (EncoderError) when a file already exists at `path`, so that nothing is
    // overwritten; nothing is written before `startWriting`.
    explicit TakeEncoder(const QString &path);
    ~TakeEncoder();
    TakeEncoder(const TakeEncoder &) = delete;
    TakeEncoder &operator=(const TakeEncoder &) = delete;

    QString path() const { return m_path; }
    // The movie's descriptor once `startWriting` made it (-1 before), open as long as the
    // encoder: it reaches the movie wherever its name has gone since.
    int movieDescriptor() const { return m_movieFd; }
    // The journal's, once `startWriting` opened it (-1 without a journal).
    int journalDescriptor() const { return m_journal.descriptor(); }

    // Keeps a journal at `journalPath` while the movie is written (TakeJournal), opening with
    // `note`: the movie and the journal reach the disk at least once a second, so that a crash
    // or a power cut leaves a movie that TakeRecovery can finish. When the movie is finished the
    // journal is removed, unless `outlivesFinish` (its owner removes it once its own records name
    // the take); otherwise it stays. Call before `startWriting`. A journal that cannot be written
    // is logged and given up; the take goes on without it.
    void keepJournal(const QString &journalPath, const QByteArray &note, bool outlivesFinish = false);

    // Tracks are added before `startWriting`, in movie order. Each returns the track index.
    int addVideoTrack(const VideoSettings &settings);
    bool canAddAudioTrack(const AudioSettings &settings) const;
    int addAudioTrack(const AudioSettings &settings);

    // Opens the encoders and the file and writes the header; false (with the status failed and
    // `error()` set) when any of it fails.
    bool startWriting();
    void startSession(int64_t value, int32_t timescale);

    // Set-up refusals are thrown as EncoderError; a failure once writing has begun (on the
    // encoder's thread) turns the status to failed and is kept here, the first one only.
    Status status() const { return m_status.load(); }
    std::optional<EncoderError> error() const;

    bool isReadyForMoreMediaData(int track) const;
    // False when the sample was not taken (not writing, not ready, or not a track of that kind).
    // `picture` is the source's number for the pixels (0: none): a frame with the number of the
    // frame queued just before it shows the same pixels, which are then held, not converted or
    // encoded again.
    bool appendVideo(int track, const uint8_t *bgra, int width, int height, int stride,
                     int64_t value, int32_t timescale, uint64_t picture = 0);
    bool appendAudio(int track, const void *interleaved, int frames, SampleFormat format,
                     int sampleRate, int channels, int64_t value, int32_t timescale);

    // Drains the queue, flushes the encoders, writes the movie's index and closes the file.
    // Blocks until done; the status is completed or failed afterwards.
    void finishWriting();

    static constexpr int kVideoQueueCapacity = 16;
    // A picture that does not change is held on screen rather than encoded again, but written
    // anew at least this often (seconds): a movie cut short by a crash then ends at most about
    // this much before its sound, and a player seeking into a long still stretch finds a frame.
    static constexpr int kLongestHoldSeconds = 1;
    static constexpr int kAudioQueueCapacity = 256;

private:
    struct Track;
    struct Item;

    void fail(const QString &description);
    bool queueRepeat(int track, int64_t pts);
    void run();
    void process(Item &item);
    void encodeVideo(Track &track, AVFrame *frame);
    void encodeAudio(Track &track, Item &item);
    bool encodeWholeFrames(Track &track);
    void appendSilence(Track &track, int64_t frames);
    void drainPackets(Track &track, bool flushing);
    void flushAll();
    void closeFile(bool writeTrailer);
    // Builds the journal's track descriptions once the encoders are open; on the caller's
    // thread, before the encoder's starts.
    void openJournal();

    QString m_path;
    int m_movieFd = -1;
    AVFormatContext *m_format = nullptr;
    std::vector<std::unique_ptr<Track>> m_tracks;
    std::atomic<Status> m_status{Status::unknown};
    mutable std::mutex m_errorMutex;
    std::optional<EncoderError> m_error;

    bool m_sessionStarted = false;
    int64_t m_sessionValue = 0;
    int32_t m_sessionTimescale = 1;

    mutable std::mutex m_queueMutex;
    std::condition_variable m_queueCondition;
    std::deque<Item> m_queue;
    std::vector<AVFrame *> m_freeFrames;
    int m_queuedVideo = 0;
    int m_queuedAudio = 0;
    bool m_ending = false;
    std::thread m_thread;
    bool m_fileOpen = false;

    // Packets the muxer still holds when the destructor frees the context call back into it,
    // closed by then.
    TakeJournalWriter m_journal;
};

} // namespace lumacast::av
