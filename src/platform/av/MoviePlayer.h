#pragma once

#include "platform/av/AssetReader.h"
#include "platform/av/Player.h"

#include <QElapsedTimer>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <vector>

class QAudioSink;
class QIODevice;

namespace lumacast::av {

class Asset;
class PlaybackDecoder;

// The review player: decodes the movie with PlaybackDecoder on its own thread, shows pictures
// by a clock on the main thread and sends the mixed sound (every audio track at its volume,
// 48 kHz stereo float) to the default output through QAudioSink. With sound the clock is the
// sound the device reports as heard, so the picture waits for the device's latency; a silent
// movie, or one without a device, plays by the wall clock.
//
// Main thread only. The player owns its decoder runs (one at a time; a seek, a pause or the end
// of playback starts a new one, so that the sound always restarts exactly at the playhead) and
// joins each before it makes the next. Failures to open or decode arrive as itemFailed; a
// missing audio device leaves playback silent.
class MoviePlayer final : public Player {
    Q_OBJECT
public:
    explicit MoviePlayer(QObject *parent = nullptr);
    ~MoviePlayer() override;

    quint64 replaceCurrentItem(const QString &path) override;
    quint64 currentItem() const override { return m_item; }
    QString currentItemPath() const override { return m_path; }
    MediaTime itemDuration() const override { return m_duration; }
    void play() override;
    void pause() override;
    bool isPlaying() const override { return m_wantPlaying; }
    MediaTime currentTime() const override;
    void seek(const MediaTime &time, std::function<void(bool finished)> completion = {}) override;
    void setForwardPlaybackEndTime(const MediaTime &time) override { m_forwardEnd = time; }
    MediaTime forwardPlaybackEndTime() const override { return m_forwardEnd; }
    void setAudioMix(const QList<float> &volumes) override { m_volumes = volumes; }
    int addPeriodicTimeObserver(const MediaTime &interval,
                                std::function<void(const MediaTime &)> report) override;
    void removeTimeObserver(int token) override;
    QImage currentFrame() const override { return m_shown.image; }

    // The presentation time of the picture shown (invalid before the first).
    MediaTime currentFrameTime() const { return m_shown.presentationTime; }

private:
    struct AudioQueue {
        std::deque<float> samples; // interleaved stereo
        std::int64_t start = 0;    // 48 kHz tick of the first queued sample frame
        bool ended = false;
        std::int64_t availableUpTo() const;
    };

    void restartDecoding(const MediaTime &from, bool showFirstFrame);
    void stopDecoding();
    void opened(std::shared_ptr<const Asset> asset);
    void receiveVideo(DecodedVideoFrame frame);
    void receiveAudio(int ordinal, DecodedAudio block);
    void receiveEnd(int ordinal);
    void fail(const QString &message);
    void primed();
    bool readyToStart() const;
    // The running clock: the playhead while playing, before the end is applied.
    MediaTime clockTime() const;
    void tick();
    void startClock();
    void stopClock();
    void reachEnd();
    MediaTime endTime() const;
    void pushAudio();
    void finishSeek(bool finished);
    void runObservers(bool periodic);
    void reportTimeJump();
    AudioQueue &audioQueue(int ordinal);

    quint64 m_serials = 0;
    quint64 m_item = 0;
    quint64 m_run = 0; // decoder run whose results are accepted
    QString m_path;
    std::shared_ptr<const Asset> m_asset;
    MediaTime m_duration = MediaTime::invalid();
    int m_audioTrackCount = -1; // unknown until opened
    MediaTime m_forwardEnd = MediaTime::invalid();
    QList<float> m_volumes;

    bool m_wantPlaying = false;
    bool m_clockRunning = false;
    MediaTime m_time = MediaTime::zero(); // the playhead, or where the running clock started
    QElapsedTimer m_clock;
    // Microseconds since m_time on the running clock, the most yet reported: the sound's
    // estimate may step back a little and the playhead never does.
    mutable qint64 m_clockHigh = 0;
    QTimer m_tick;

    std::unique_ptr<PlaybackDecoder> m_decoder;
    bool m_primed = false;
    bool m_showFirstFrame = true;
    bool m_videoEnded = false;
    std::deque<DecodedVideoFrame> m_frames;
    DecodedVideoFrame m_shown{MediaTime::invalid(), MediaTime::invalid(), {}};
    std::vector<AudioQueue> m_audio;
    std::int64_t m_audioCursor = 0; // next 48 kHz tick to hand to the device

    std::function<void(bool)> m_seekCompletion;

    QAudioSink *m_sink = nullptr;
    QIODevice *m_sinkDevice = nullptr;

    // Periodic observers tick only while playing; a pause, a seek or the end tells them once.
    struct Observer {
        std::function<void(const MediaTime &)> report;
        std::unique_ptr<QTimer> timer;
    };
    std::map<int, Observer> m_observers;
    int m_nextToken = 1;
};

} // namespace lumacast::av
