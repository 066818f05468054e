#pragma once

#include "capture/AudioEncodingPlan.h"
#include "capture/PauseTimeline.h"
#include "platform/av/TakeEncoderSettings.h"

#include <QCoro/QCoroTask>
#include <QString>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace lumacast {

namespace av {
class TakeEncoder;
}
class HeldFile;

// One screen frame as capture delivers it: 32-bit BGRA pixels (blue first in memory), valid
// only for the duration of the call that hands it over.
struct VideoFrame {
    const uint8_t *bgra = nullptr;
    int width = 0;
    int height = 0;
    int stride = 0; // bytes per row; negative for a bottom-up image
    SampleTime timestamp; // monotonic capture time
    // The source's number for these pixels, 0 when it numbers none: a frame with the number of
    // the frame before it repeats that picture, which is held on screen rather than converted
    // and encoded again.
    uint64_t picture = 0;
};

// One buffer of interleaved audio samples, valid only for the duration of the call.
struct AudioBuffer {
    enum class Format { float32, int16 };
    const void *samples = nullptr;
    int frameCount = 0; // samples per channel
    Format format = Format::float32;
    int sampleRate = 0;
    int channels = 0;
    SampleTime timestamp; // monotonic capture time of the first sample
};

// The take writer's own set-up failures: domain "Lumacast.WriterError", code the case's position
// in `Kind`, and the case's name as the description (they carry no text of their own).
class WriterError : public Error {
public:
    enum class Kind { noSettingsAssistant, noValidAudioSettings };
    explicit WriterError(Kind kind)
        : Error(QStringLiteral("Lumacast.WriterError"), int(kind),
                kind == Kind::noSettingsAssistant ? QStringLiteral("noSettingsAssistant")
                                                  : QStringLiteral("noValidAudioSettings")),
          m_kind(kind)
    {
    }
    Kind kind() const { return m_kind; }
    friend bool operator==(const WriterError &a, const WriterError &b) { return a.m_kind == b.m_kind; }

private:
    Kind m_kind;
};

// Writes one take movie while it is recorded: video, then the microphone's AAC track, then an
// optional system-audio AAC track. Every sample is re-timed through the take's pause timeline,
// the movie starts at the first video frame, and samples the encoder cannot take in real time
// are dropped rather than waited for.
//
// All appends, `isPaused` and `pauseTimeline` belong to the recorder's sample queue; the writer
// has no lock of its own.
class TakeWriter {
public:
    explicit TakeWriter(const QString &outputPath);
    ~TakeWriter();
    TakeWriter(const TakeWriter &) = delete;
    TakeWriter &operator=(const TakeWriter &) = delete;

    // Throws av::EncoderError, WriterError or (with a plan) AudioPlanError; on a throw the
    // writer stays as it was.
    void setUp(int width, int height, double micSampleRate, int micChannels,
               bool captureSystemAudio, const std::optional<AudioEncodingPlan> &plan = std::nullopt);

    void appendVideo(const VideoFrame &frame);
    void appendMicAudio(const AudioBuffer &buffer);
    void appendSystemAudio(const AudioBuffer &buffer);

    // Finishes the movie and returns its duration in seconds; nothing when no usable take was
    // produced (the file is then removed) or when the writer was already finished. Blocks
    // until the encoder has drained. When the encoder failed while recording (a full disk),
    // what reached the movie before the failure is finished from the journal and kept: the
    // duration is then returned and `finishFailure` still says what went wrong.
    std::optional<double> finish();
    // After a finish that gave no take: the encoder's error, when it gave one. Kept after the
    // encoder and the file are gone; read on the thread that called finish.
    std::optional<av::EncoderError> finishFailure() const { return m_finishFailure; }
    // The same on a thread of its own; the writer must outlive the task.
    QCoro::Task<std::optional<double>> finishAsync();

    // The video output settings for a frame size; the one source of them for takes and for
    // re-encoded exports. Throws av::EncoderError for a size no encoder can take.
    static av::VideoSettings videoSettings(int width, int height);

    // Whether the take keeps a journal beside its movie (TakeJournal) so that a crash loses at
    // most its last second, the words the journal opens with (which session and scene the take
    // is for), and whether the journal stays when the take is finished: the journal is then what
    // tells a recovery that the movie was recorded as a take, until the owner's records name it
    // and the owner removes it. Set before `setUp`.
    bool keepsJournal = true;
    QByteArray journalNote;
    bool journalOutlivesFinish = false;

    QString outputPath() const { return m_outputPath; }
    // Where the movie is now: its folder may be renamed or moved on its disk while it is written,
    // and the writer finishes it there. Empty once it has no name any more (its folder deleted,
    // or moved to another disk); `outputPath` before the movie is made.
    QString moviePath() const;
    // The movie, held open from the moment it is made: whole and readable after its last name
    // is gone. Nothing before the first picture. Read once `finish` has returned.
    std::shared_ptr<const HeldFile> heldMovie() const { return m_movie; }
    bool hasSystemAudioTrack() const { return m_systemTrack >= 0; }
    bool isSetUp() const { return bool(m_writer); }
    quint64 droppedVideoFrames() const { return m_droppedVideoFrames; }
    // Whether a frame appended now would reach the encoder rather than be dropped as busy. For
    // feeders that may wait (tests, benchmarks); the capture never does.
    bool isReadyForVideo() const;

    bool isPaused = false;
    PauseTimeline pauseTimeline;
    // The capture-clock moments of the latest pause and resume, set with `isPaused`. A sample is
    // judged by when it was captured, not by when it reaches the queue: audio arrives up to its
    // latency late, and a buffer captured while paused that arrives after the resume would
    // otherwise put paused sound into the movie. Without them (a feeder that sets only the flags)
    // the first sample after a resume stands for its moment. Sound of the last picture before a
    // pause is kept up to the timeline's seam also when it arrives after the pause.
    SampleTime pausedAt;
    SampleTime resumedAt;
    bool wasCapturedWhilePaused(const SampleTime &captured) const;
    // Called on the sample queue when the encoder cannot start or fails while recording, at
    // most once per take, with the encoder's error when it gave one.
    std::function<void(const std::optional<av::EncoderError> &)> onWriterFailed;

private:
    void appendAudio(const AudioBuffer &buffer, int track, SoundPlace &place);
    std::optional<av::EncoderError> currentError() const;
    std::optional<double> keepWhatWasWritten();
    void holdMovie();
    void removeMovie();
    long statusNumber() const;

    QString m_outputPath;
    std::unique_ptr<av::TakeEncoder> m_writer;
    std::shared_ptr<const HeldFile> m_movie; // set on the sample queue with the first picture
    std::unique_ptr<const HeldFile> m_journal; // the movie's journal, made with it, when it has one
    int m_videoTrack = -1;
    int m_micTrack = -1;
    int m_systemTrack = -1;
    bool m_sessionStarted = false;
    bool m_startFailed = false;
    bool m_didFinish = false;
    SampleTime m_lastVideoAdjPTS;
    SampleTime m_frameInterval; // at the movie's nominal rate
    SoundPlace m_mic;
    SoundPlace m_system;
    quint64 m_droppedVideoFrames = 0;
    std::optional<av::EncoderError> m_finishFailure;
};

} // namespace lumacast
