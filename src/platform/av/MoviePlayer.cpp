#include "platform/av/MoviePlayer.h"

#include "platform/av/Asset.h"
#include "platform/av/PlaybackDecoder.h"
#include "threads/ThreadBridge.h"

#include <QAudioFormat>
#include <QAudioSink>
#include <QMediaDevices>

#include <algorithm>
#include <limits>

namespace lumacast::av {

namespace {

constexpr int tickMs = 5;
constexpr int sampleRate = PlaybackDecoder::sampleRate;
// Sound wanted in hand before the clock starts, so that the device does not starve at once.
constexpr std::int64_t startupAudio = sampleRate / 10;
// The device's buffer: how far ahead of the playhead sound is handed over (and how late a
// change of the mix is heard).
constexpr int sinkBufferBytes = sampleRate / 8 * PlaybackDecoder::channels * int(sizeof(float));

// The sound clock is trusted only this far behind the wall clock: a device that stalls longer
// (or a server that went away) no longer holds the picture back.
constexpr qint64 maxSoundLagUs = 500'000;

std::int64_t toTicks(const MediaTime &time)
{
    return time.isNumeric() ? time.convertScale(sampleRate).value : 0;
}

} // namespace

std::int64_t MoviePlayer::AudioQueue::availableUpTo() const
{
    if (ended)
        return std::numeric_limits<std::int64_t>::max();
    return start + std::int64_t(samples.size() / PlaybackDecoder::channels);
}

MoviePlayer::MoviePlayer(QObject *parent) : Player(parent)
{
    m_tick.setTimerType(Qt::PreciseTimer);
    m_tick.setInterval(tickMs);
    connect(&m_tick, &QTimer::timeout, this, &MoviePlayer::tick);
}

MoviePlayer::~MoviePlayer()
{
    stopDecoding();
    if (m_sink)
        m_sink->stop();
}

quint64 MoviePlayer::replaceCurrentItem(const QString &path)
{
    finishSeek(false);
    stopClock();
    m_item = path.isEmpty() ? 0 : ++m_serials;
    m_path = path;
    m_asset.reset();
    m_duration = MediaTime::invalid();
    m_audioTrackCount = -1;
    m_forwardEnd = MediaTime::invalid();
    m_volumes.clear();
    m_time = MediaTime::zero();
    reportTimeJump();
    if (m_item == 0) {
        stopDecoding();
        m_shown = {MediaTime::invalid(), MediaTime::invalid(), {}};
        emit frameChanged();
        return 0;
    }
    restartDecoding(MediaTime::zero(), true);
    return m_item;
}

void MoviePlayer::play()
{
    if (m_item == 0)
        return;
    m_wantPlaying = true;
    m_tick.start();
    runObservers(true);
    if (!m_clockRunning && readyToStart())
        startClock();
}

void MoviePlayer::pause()
{
    const bool wasPlaying = m_wantPlaying;
    m_wantPlaying = false;
    m_tick.stop();
    runObservers(false);
    if (wasPlaying)
        reportTimeJump();
    if (!m_clockRunning)
        return;
    stopClock(); // keeps the playhead where the clock got to
    restartDecoding(m_time, false);
}

MediaTime MoviePlayer::currentTime() const
{
    if (!m_clockRunning)
        return m_time;
    return minimum(clockTime(), endTime());
}

MediaTime MoviePlayer::clockTime() const
{
    const qint64 wallUs = m_clock.nsecsElapsed() / 1000;
    qint64 elapsedUs = wallUs;
    if (m_sinkDevice && m_sink->state() != QAudio::StoppedState) {
        // What the listener has heard, the device's latency taken off, so that a picture is
        // shown when its sound is heard rather than when the sound is handed over. Until the
        // server knows its latency it reports sound read as heard: never run ahead of the wall
        // clock by more than a device's drift.
        elapsedUs = std::clamp(m_sink->processedUSecs(), wallUs - maxSoundLagUs, wallUs + wallUs / 1000);
    }
    m_clockHigh = std::max(m_clockHigh, elapsedUs);
    return m_time + MediaTime(m_clockHigh, 1000000);
}

void MoviePlayer::seek(const MediaTime &time, std::function<void(bool)> completion)
{
    finishSeek(false);
    if (m_item == 0 || !time.isNumeric()) {
        if (completion)
            QMetaObject::invokeMethod(this, [completion] { completion(false); }, Qt::QueuedConnection);
        return;
    }
    MediaTime target = maximum(MediaTime::zero(), time);
    if (m_duration.isNumeric())
        target = minimum(target, m_duration);
    stopClock();
    m_time = target;
    m_seekCompletion = std::move(completion);
    restartDecoding(target, true);
    reportTimeJump();
}

int MoviePlayer::addPeriodicTimeObserver(const MediaTime &interval, std::function<void(const MediaTime &)> report)
{
    const int token = m_nextToken++;
    Observer &observer = m_observers[token];
    observer.report = std::move(report);
    observer.timer = std::make_unique<QTimer>();
    observer.timer->setInterval(std::max(1, int(interval.seconds() * 1000 + 0.5)));
    connect(observer.timer.get(), &QTimer::timeout, this, [this, token] {
        // The end is reached before the time is told: an observer never hears a playing
        // player at or past its end, so it cannot stop playback there ahead of the end report.
        if (m_clockRunning && clockTime() + MediaTime(1, sampleRate) > endTime()) {
            reachEnd(); // which tells every observer
            return;
        }
        const auto found = m_observers.find(token);
        if (found != m_observers.end())
            found->second.report(currentTime());
    });
    if (m_wantPlaying)
        observer.timer->start();
    return token;
}

void MoviePlayer::removeTimeObserver(int token)
{
    m_observers.erase(token);
}

void MoviePlayer::runObservers(bool periodic)
{
    for (auto &[token, observer] : m_observers) {
        if (periodic && !observer.timer->isActive())
            observer.timer->start();
        else if (!periodic)
            observer.timer->stop();
    }
}

void MoviePlayer::reportTimeJump()
{
    // Told once, on the next turn of the loop: the observers may change the player.
    QMetaObject::invokeMethod(
        this,
        [this] {
            std::vector<int> tokens;
            for (const auto &[token, observer] : m_observers)
                tokens.push_back(token);
            for (int token : tokens) {
                const auto found = m_observers.find(token);
                if (found != m_observers.end())
                    found->second.report(currentTime());
            }
        },
        Qt::QueuedConnection);
}

void MoviePlayer::stopDecoding()
{
    // Joins the thread; results it already posted carry an old run number and are dropped.
    m_decoder.reset();
    ++m_run;
}

void MoviePlayer::restartDecoding(const MediaTime &from, bool showFirstFrame)
{
    stopDecoding();
    m_primed = false;
    m_showFirstFrame = showFirstFrame;
    m_videoEnded = false;
    m_frames.clear();
    m_audio.clear();
    m_audioCursor = toTicks(from);

    // The decoder calls these on its own thread; what they carry is dropped when the player is
    // gone or has started another run by the time the main thread gets to it.
    const quint64 run = m_run;
    const QPointer<MoviePlayer> self(this);
    const auto post = [this, self, run](auto &&fn) {
        postToMainThread(self, [this, run, fn = std::make_shared<std::decay_t<decltype(fn)>>(std::move(fn))] {
            if (run == m_run)
                (*fn)();
        });
    };
    PlaybackDecoder::Output output;
    output.opened = [this, post](std::shared_ptr<const Asset> asset) { post([this, asset] { opened(asset); }); };
    output.video = [this, post](DecodedVideoFrame frame) {
        post([this, frame = std::move(frame)]() mutable { receiveVideo(std::move(frame)); });
    };
    output.audio = [this, post](int ordinal, DecodedAudio block) {
        post([this, ordinal, block = std::move(block)]() mutable { receiveAudio(ordinal, std::move(block)); });
    };
    output.ended = [this, post](int ordinal) { post([this, ordinal] { receiveEnd(ordinal); }); };
    output.failed = [this, post](QString message) { post([this, message] { fail(message); }); };
    m_decoder = std::make_unique<PlaybackDecoder>(m_path, m_asset, from, std::move(output));
    if (m_wantPlaying)
        m_tick.start();
}

void MoviePlayer::opened(std::shared_ptr<const Asset> asset)
{
    m_asset = std::move(asset);
    m_duration = m_asset->duration();
    m_audioTrackCount = int(m_asset->tracks(MediaType::Audio).size());
    emit itemLoaded(m_item, m_duration.seconds(), m_audioTrackCount);
}

MoviePlayer::AudioQueue &MoviePlayer::audioQueue(int ordinal)
{
    if (int(m_audio.size()) <= ordinal)
        m_audio.resize(size_t(ordinal) + 1);
    return m_audio[size_t(ordinal)];
}

void MoviePlayer::receiveVideo(DecodedVideoFrame frame)
{
    if (!m_primed) {
        // The first picture of a run is the one at the playhead.
        if (m_showFirstFrame) {
            m_shown = std::move(frame);
            m_decoder->videoConsumed();
            emit frameChanged();
        } else {
            m_frames.push_back(std::move(frame));
        }
        primed();
        return;
    }
    m_frames.push_back(std::move(frame));
}

void MoviePlayer::receiveAudio(int ordinal, DecodedAudio block)
{
    AudioQueue &queue = audioQueue(ordinal);
    const std::int64_t at = block.presentationTime.value;
    if (queue.samples.empty())
        queue.start = at;
    // A gap in a track is heard as silence.
    for (std::int64_t t = queue.availableUpTo(); t < at; ++t)
        queue.samples.insert(queue.samples.end(), PlaybackDecoder::channels, 0.0f);
    const float *samples = reinterpret_cast<const float *>(block.samples.constData());
    queue.samples.insert(queue.samples.end(), samples, samples + block.frameCount * PlaybackDecoder::channels);
}

void MoviePlayer::receiveEnd(int ordinal)
{
    if (ordinal >= 0) {
        audioQueue(ordinal).ended = true;
        return;
    }
    m_videoEnded = true;
    if (!m_primed)
        primed();
}

void MoviePlayer::fail(const QString &message)
{
    m_wantPlaying = false;
    m_tick.stop();
    runObservers(false);
    stopClock();
    finishSeek(false);
    emit itemFailed(m_item, message);
}

void MoviePlayer::primed()
{
    m_primed = true;
    finishSeek(true);
    if (m_wantPlaying && !m_clockRunning && readyToStart())
        startClock();
}

bool MoviePlayer::readyToStart() const
{
    if (!m_primed || m_audioTrackCount < 0)
        return false;
    for (int i = 0; i < m_audioTrackCount; ++i) {
        if (i >= int(m_audio.size()) || m_audio[size_t(i)].availableUpTo() < m_audioCursor + startupAudio)
            return false;
    }
    return true;
}

MediaTime MoviePlayer::endTime() const
{
    const MediaTime natural = m_duration.isNumeric() ? m_duration : MediaTime::positiveInfinity();
    return m_forwardEnd.isNumeric() ? minimum(m_forwardEnd, natural) : natural;
}

void MoviePlayer::startClock()
{
    if (currentTime() >= endTime()) {
        reachEnd();
        return;
    }
    m_clock.restart();
    m_clockHigh = 0;
    m_clockRunning = true;
    if (m_audioTrackCount > 0) {
        if (!m_sink) {
            QAudioFormat format;
            format.setSampleRate(sampleRate);
            format.setChannelCount(PlaybackDecoder::channels);
            format.setSampleFormat(QAudioFormat::Float);
            m_sink = new QAudioSink(QMediaDevices::defaultAudioOutput(), format, this);
            m_sink->setBufferSize(sinkBufferBytes);
        }
        m_sinkDevice = m_sink->start();
    }
    pushAudio();
}

void MoviePlayer::stopClock()
{
    if (m_clockRunning)
        m_time = currentTime();
    m_clockRunning = false;
    if (m_sinkDevice) {
        m_sink->reset();
        m_sink->stop();
        m_sinkDevice = nullptr;
    }
}

void MoviePlayer::tick()
{
    if (!m_clockRunning) {
        if (m_wantPlaying && readyToStart())
            startClock();
        return;
    }
    const MediaTime now = clockTime();
    // The sound clock counts whole microseconds of whole 48 kHz samples: within a sample of the
    // end is the end.
    if (now + MediaTime(1, sampleRate) > endTime()) {
        reachEnd();
        return;
    }
    bool changed = false;
    while (!m_frames.empty() && m_frames.front().presentationTime <= now) {
        m_shown = std::move(m_frames.front());
        m_frames.pop_front();
        m_decoder->videoConsumed();
        changed = true;
    }
    if (changed)
        emit frameChanged();
    pushAudio();
}

void MoviePlayer::reachEnd()
{
    const MediaTime end = endTime();
    stopClock();
    m_time = end;
    m_wantPlaying = false;
    m_tick.stop();
    runObservers(false);
    reportTimeJump();
    // The last picture of the played range: one that starts at the end lies outside it.
    bool changed = false;
    while (!m_frames.empty() && m_frames.front().presentationTime < end) {
        m_shown = std::move(m_frames.front());
        m_frames.pop_front();
        changed = true;
    }
    if (changed)
        emit frameChanged();
    restartDecoding(end, false);
    const quint64 item = m_item;
    QMetaObject::invokeMethod(this, [this, item] { emit playedToEnd(item); }, Qt::QueuedConnection);
}

void MoviePlayer::pushAudio()
{
    if (!m_sinkDevice)
        return;
    constexpr int channels = PlaybackDecoder::channels;
    const std::int64_t room = m_sink->bytesFree() / qint64(channels * sizeof(float));
    std::int64_t until = m_audioCursor + room;
    if (endTime().isNumeric())
        until = std::min(until, toTicks(endTime()));
    for (int i = 0; i < std::max(0, m_audioTrackCount); ++i)
        until = std::min(until, audioQueue(i).availableUpTo());
    if (until <= m_audioCursor)
        return;

    std::vector<float> mixed(size_t(until - m_audioCursor) * channels, 0.0f);
    for (int i = 0; i < int(m_audio.size()); ++i) {
        AudioQueue &queue = m_audio[size_t(i)];
        const float volume = i < m_volumes.size() ? m_volumes[i] : 1.0f;
        // Sound before the cursor (a track that starts earlier) is dropped unheard.
        while (queue.start < m_audioCursor && !queue.samples.empty()) {
            queue.samples.erase(queue.samples.begin(), queue.samples.begin() + channels);
            ++queue.start;
        }
        for (std::int64_t t = std::max(queue.start, m_audioCursor); t < until && !queue.samples.empty(); ++t) {
            float *out = &mixed[size_t(t - m_audioCursor) * channels];
            for (int c = 0; c < channels; ++c)
                out[c] += volume * queue.samples[size_t(c)];
            queue.samples.erase(queue.samples.begin(), queue.samples.begin() + channels);
            ++queue.start;
        }
    }
    m_sinkDevice->write(reinterpret_cast<const char *>(mixed.data()), qint64(mixed.size() * sizeof(float)));
    m_audioCursor = until;
    m_decoder->audioConsumedUpTo(m_audioCursor);
}

void MoviePlayer::finishSeek(bool finished)
{
    if (!m_seekCompletion)
        return;
    auto completion = std::move(m_seekCompletion);
    m_seekCompletion = nullptr;
    QMetaObject::invokeMethod(this, [completion, finished] { completion(finished); }, Qt::QueuedConnection);
}

} // namespace lumacast::av
