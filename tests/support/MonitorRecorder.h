#pragma once

// Records what a PulseAudio source (the rig's "speaker.monitor") hears, each sample with the time
// it arrived on the steady clock, for measuring sound against pictures. Also the marked movie
// such measurements play: white frames and 1 kHz bursts at the same instants.
#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

extern char **environ;

namespace lumacast::testing {

// `parec` on one source, mono float at 48 kHz, read by a thread of its own that notes after
// every read when it returned and how many samples had come by then. Made, started and stopped
// on one thread; sampleCount() from any.
class MonitorRecorder {
public:
    static constexpr int rate = 48000;

    MonitorRecorder() = default;
    MonitorRecorder(const MonitorRecorder &) = delete;
    MonitorRecorder &operator=(const MonitorRecorder &) = delete;
    ~MonitorRecorder() { stop(); }

    // A short latency keeps the null sink behind the source rendering in short blocks, so that
    // a sample reaches the monitor about when the sink's clock plays it.
    bool start(const QByteArray &source = "speaker.monitor", int latencyMs = 2)
    {
        int fds[2];
        if (pipe(fds) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const QByteArray device = "--device=" + source;
        const QByteArray latency = "--latency-msec=" + QByteArray::number(latencyMs);
        const char *argv[] = {"parec", device.constData(), "--raw", "--format=float32le", "--rate=48000",
                              "--channels=1", latency.constData(), nullptr};
        const int r = posix_spawnp(&m_pid, "parec", &actions, nullptr, const_cast<char **>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        if (r != 0) {
            close(fds[0]);
            m_pid = -1;
            return false;
        }
        m_fd = fds[0];
        m_thread = std::thread([this] { read(); });
        return true;
    }

    void stop()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            if (m_thread.joinable())
                m_thread.join();
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
        if (m_fd >= 0) {
            close(m_fd);
            m_fd = -1;
        }
    }

    std::int64_t sampleCount() const { return m_count; }

    std::vector<float> samples() const
    {
        std::lock_guard lock(m_mutex);
        return m_samples;
    }

    // When sample `index` reached the monitor. No sample arrives before it was made, so the
    // reads that were least delayed fix the sample clock against the steady clock. Reads up to
    // sample `settled` are left out: an idle null sink hands out seconds of sound at once.
    std::chrono::steady_clock::time_point sampleTime(std::int64_t index, std::int64_t settled) const
    {
        std::lock_guard lock(m_mutex);
        auto origin = std::chrono::steady_clock::time_point::max();
        for (const auto &[at, count] : m_arrivals) {
            if (count > settled)
                origin = std::min(origin, at - toDuration(count));
        }
        return origin + toDuration(index);
    }

private:
    static std::chrono::nanoseconds toDuration(std::int64_t samples)
    {
        return std::chrono::nanoseconds(samples * 1'000'000'000 / rate);
    }

    void read()
    {
        char buffer[4096];
        std::vector<char> partial;
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                return;
            const auto now = std::chrono::steady_clock::now();
            partial.insert(partial.end(), buffer, buffer + n);
            const size_t whole = partial.size() / sizeof(float);
            std::lock_guard lock(m_mutex);
            const size_t at = m_samples.size();
            m_samples.resize(at + whole);
            std::memcpy(m_samples.data() + at, partial.data(), whole * sizeof(float));
            partial.erase(partial.begin(), partial.begin() + long(whole * sizeof(float)));
            m_arrivals.emplace_back(now, std::int64_t(m_samples.size()));
            m_count = std::int64_t(m_samples.size());
        }
    }

    pid_t m_pid = -1;
    int m_fd = -1;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::vector<float> m_samples;
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::int64_t>> m_arrivals;
    std::atomic<std::int64_t> m_count{0};
};

// Where bursts begin: the first sample above `threshold` after at least 0.3 s below it.
inline std::vector<std::int64_t> burstStarts(const std::vector<float> &samples, std::int64_t from,
                                             int rate = MonitorRecorder::rate, float threshold = 0.2f)
{
    std::vector<std::int64_t> starts;
    std::int64_t quietSince = from;
    for (std::int64_t i = from; i < std::int64_t(samples.size()); ++i) {
        if (std::fabs(samples[size_t(i)]) < threshold)
            continue;
        if (i - quietSince >= rate * 3 / 10)
            starts.push_back(i);
        quietSince = i;
    }
    return starts;
}

// A `seconds` long 320x240 movie at 30 fps (H.264, one AAC track at 48 kHz) that is black and
// silent except at each whole second from 1 s on: there one white frame and a 50 ms 1 kHz burst
// at half scale begin together. Returns ffmpeg's complaint, empty on success.
inline QString makeMarkedMovie(const QString &path, int seconds = 4)
{
    QString frames;
    for (int mark = 1; mark < seconds; ++mark)
        frames += QStringLiteral("%1eq(n,%2)").arg(frames.isEmpty() ? "" : "+").arg(mark * 30);
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 {"-y", "-v", "error", "-f", "lavfi", "-i", QStringLiteral("color=c=black:s=320x240:r=30:d=%1").arg(seconds),
                  "-f", "lavfi", "-i",
                  QStringLiteral("aevalsrc='0.5*sin(2*PI*1000*t)*gte(t,1)*lt(mod(t,1),0.05)':s=48000:d=%1").arg(seconds),
                  "-vf", QStringLiteral("drawbox=c=white:t=fill:enable='%1'").arg(frames), "-c:v", "libx264",
                  "-pix_fmt", "yuv420p", "-g", "30", "-bf", "0", "-c:a", "aac", "-b:a", "128k", "-shortest", path});
    if (!ffmpeg.waitForFinished(60000) || ffmpeg.exitStatus() != QProcess::NormalExit || ffmpeg.exitCode() != 0)
        return QStringLiteral("ffmpeg failed: ") + QString::fromLocal8Bit(ffmpeg.readAllStandardError());
    return {};
}

} // namespace lumacast::testing
