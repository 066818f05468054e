// How late the review player's sound is heard against its picture.
//
//   avsync-bench [--sink speaker|pipe] [--runs N] [--keep DIR]
//
// Plays a movie whose picture and sound carry marks at the same instants (a white frame and a
// 1 kHz burst at 1, 2 and 3 s) through MoviePlayer and prints, for every mark, when its burst is
// heard minus when its white frame is delivered by frameChanged (positive: the sound comes late),
// both on the steady clock, over three ways of starting: play from the start, play after a seek,
// resume after a pause.
//
// --sink speaker (default): the rig's null sink "speaker"; its monitor, recorded by parec at a
//     2 ms latency, is the listener. An idle null sink renders ahead and is rewound when a stream
//     starts, so it shows no device latency: this is the figure the rig test checks.
// --sink pipe: a device with a real buffer. The bench loads a pipe sink, makes it the default
//     output and drains its FIFO at 48 kHz on the steady clock, as a sound card's converter
//     would; the 16 KiB pipe holds about 85 ms, and a pipe cannot be rewound, so a new stream
//     is heard only after what the pipe already holds, as on hardware that cannot rewind.
//
// Run it in the rig: scripts/dev.sh rig build/bench/avsync/avsync-bench --sink pipe
#include "platform/av/MoviePlayer.h"
#include "platform/av/ProcessEnd.h"
#include "support/MonitorRecorder.h"
#include "support/WhiteFrameWatch.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using namespace lumacast;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int rate = 48000;
constexpr int movieSeconds = 4;

double secondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

QString pactl(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral("pactl"), args);
    process.waitForFinished(10000);
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

// A pipe sink made the default output, and a thread that plays its FIFO: every 2 ms it takes
// the samples that a converter running at 48 kHz since start() would have taken by then, and
// silence where the pipe has none.
class PipeDevice {
public:
    ~PipeDevice() { stop(); }

    bool start(const QString &dir)
    {
        const QString fifo = QDir(dir).filePath(QStringLiteral("avsync-pipe"));
        m_module = pactl({"load-module", "module-pipe-sink", "file=" + fifo, "sink_name=avsyncpipe", "format=float32le",
                          "rate=48000", "channels=1", "sink_properties=device.description=AvSyncPipe"});
        if (m_module.isEmpty())
            return false;
        pactl({"set-default-sink", "avsyncpipe"});
        m_fd = open(QFile::encodeName(fifo).constData(), O_RDONLY | O_NONBLOCK);
        if (m_fd < 0)
            return false;
        // Shrinking a pipe fails while it holds more than the new size: empty it first.
        char drain[65536];
        for (int attempt = 0; attempt < 1000; ++attempt) {
            while (::read(m_fd, drain, sizeof drain) > 0) {
            }
            if (fcntl(m_fd, F_SETPIPE_SZ, 16384) >= 0) {
                m_stop = false;
                m_origin = Clock::now();
                m_thread = std::thread([this] { play(); });
                return true;
            }
        }
        return false;
    }

    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (m_fd >= 0)
            close(m_fd), m_fd = -1;
        if (!m_module.isEmpty()) {
            pactl({"set-default-sink", "speaker"});
            pactl({"unload-module", m_module});
            m_module.clear();
        }
    }

    std::int64_t slotCount() const { return m_slots; }
    Clock::time_point slotTime(std::int64_t slot) const
    {
        return m_origin + std::chrono::nanoseconds(slot * 1'000'000'000 / rate);
    }
    std::vector<float> played() const
    {
        std::lock_guard lock(m_mutex);
        return m_played;
    }

private:
    void play()
    {
        std::vector<char> bytes;
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const std::int64_t due =
                std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - m_origin).count() * rate / 1'000'000'000;
            std::lock_guard lock(m_mutex);
            const std::int64_t wanted = due - std::int64_t(m_played.size());
            if (wanted <= 0)
                continue;
            const size_t want = size_t(wanted) * sizeof(float) - bytes.size();
            const size_t had = bytes.size();
            bytes.resize(had + want);
            const ssize_t n = ::read(m_fd, bytes.data() + had, want);
            bytes.resize(had + size_t(std::max<ssize_t>(n, 0)));
            const size_t whole = bytes.size() / sizeof(float);
            const size_t at = m_played.size();
            m_played.resize(at + whole);
            std::memcpy(m_played.data() + at, bytes.data(), whole * sizeof(float));
            bytes.erase(bytes.begin(), bytes.begin() + long(whole * sizeof(float)));
            // The pipe ran dry: the converter plays silence meanwhile.
            m_played.resize(size_t(due), 0.0f);
            m_slots = std::int64_t(m_played.size());
        }
    }

    QString m_module;
    int m_fd = -1;
    std::thread m_thread;
    std::atomic<bool> m_stop{true};
    Clock::time_point m_origin; // set before the thread starts
    mutable std::mutex m_mutex;
    std::vector<float> m_played;
    std::atomic<std::int64_t> m_slots{0};
};

// Where the bursts lie in the movie's own decoded sound (ffmpeg honours the edit list): a check
// that the marks are where they are meant to be, AAC priming included.
std::vector<double> decodedBursts(const QString &path)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"), {"-v", "error", "-i", path, "-f", "f32le", "-ac", "1", "-ar", "48000", "-"});
    ffmpeg.waitForFinished(60000);
    const QByteArray raw = ffmpeg.readAllStandardOutput();
    std::vector<float> samples(size_t(raw.size()) / sizeof(float));
    std::memcpy(samples.data(), raw.constData(), samples.size() * sizeof(float));
    std::vector<double> result;
    for (std::int64_t start : testing::burstStarts(samples, 0))
        result.push_back(double(start) / rate);
    return result;
}

bool waitFor(const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

void wait(int ms)
{
    waitFor([] { return false; }, ms);
}

enum class Start { FromTheStart, AfterASeek, AfterAPause };

const char *startName(Start start)
{
    switch (start) {
    case Start::FromTheStart: return "play from 0";
    case Start::AfterASeek: return "seek to 1.5, play";
    case Start::AfterAPause: return "pause at 1.5, resume";
    }
    return "";
}

// What the listener heard, and when it heard sample i.
struct Listener {
    std::function<std::vector<float>()> samples;
    std::function<Clock::time_point(std::int64_t)> time;
};

// When each white frame was delivered, from one playing of the movie.
std::optional<std::vector<Clock::time_point>> play(const QString &path, Start start)
{
    av::MoviePlayer player;
    std::vector<Clock::time_point> whites;
    lumacast::testing::watchWhiteFrames(player, whites);
    bool loaded = false, ended = false, sought = false;
    QObject::connect(&player, &av::Player::itemLoaded, [&] { loaded = true; });
    QObject::connect(&player, &av::Player::playedToEnd, [&] { ended = true; });
    player.replaceCurrentItem(path);
    if (!waitFor([&] { return loaded; }, 5000))
        return std::nullopt;
    player.seek(av::MediaTime::fromSeconds(start == Start::AfterASeek ? 1.5 : 0.0, 600), [&](bool) { sought = true; });
    if (!waitFor([&] { return sought; }, 5000))
        return std::nullopt;
    wait(200);
    player.play();
    if (start == Start::AfterAPause) {
        waitFor([&] { return player.currentTime().seconds() >= 1.5; }, 5000);
        player.pause();
        wait(500);
        player.play();
    }
    if (!waitFor([&] { return ended; }, 10000))
        return std::nullopt;
    wait(300);
    return whites;
}

// Sound minus picture for every white frame that has a burst heard within half a second.
std::vector<double> offsets(const std::vector<Clock::time_point> &whites, const Listener &listener, std::int64_t from)
{
    const std::vector<std::int64_t> heard = testing::burstStarts(listener.samples(), from);
    std::vector<double> result;
    for (const auto &white : whites) {
        double best = 1e9;
        for (std::int64_t at : heard) {
            const double offset = secondsBetween(white, listener.time(at));
            if (std::fabs(offset) < std::fabs(best))
                best = offset;
        }
        if (std::fabs(best) < 0.5)
            result.push_back(best);
    }
    if (result.size() != whites.size() || heard.size() != whites.size())
        std::fprintf(stderr, "  %zu white frames, %zu bursts heard, %zu paired\n", whites.size(), heard.size(),
                     result.size());
    return result;
}

int measure(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int runs = 3;
    QString sink = QStringLiteral("speaker");
    QString keep;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--runs")
            runs = std::max(1, args[i + 1].toInt());
        else if (args[i] == "--sink")
            sink = args[i + 1];
        else if (args[i] == "--keep")
            keep = args[i + 1];
    }
    QTemporaryDir scratch;
    const QString dir = keep.isEmpty() ? scratch.path() : keep;
    QDir().mkpath(dir);
    const QString path = QDir(dir).filePath(QStringLiteral("avsync-marks.mov"));
    if (!QFile::exists(path)) {
        const QString error = testing::makeMarkedMovie(path, movieSeconds);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    std::printf("movie: bursts decoded at");
    for (double at : decodedBursts(path))
        std::printf(" %.4f", at);
    std::printf(" s, white frames at 1, 2, 3 s; sink %s\n", qPrintable(sink));

    // The pipe device plays for the whole run; the speaker's monitor is recorded per playing.
    PipeDevice pipe;
    if (sink == "pipe" && !pipe.start(scratch.path())) {
        std::fprintf(stderr, "the pipe sink did not start\n");
        return 1;
    }
    std::vector<double> all;
    for (Start start : {Start::FromTheStart, Start::AfterASeek, Start::AfterAPause}) {
        std::vector<double> figures;
        for (int run = 0; run < runs; ++run) {
            testing::MonitorRecorder recorder;
            Listener listener;
            std::int64_t from = 0;
            if (sink == "pipe") {
                listener = {[&] { return pipe.played(); },
                            [&](std::int64_t slot) { return pipe.slotTime(slot); }};
                wait(300);
                from = pipe.slotCount();
            } else {
                if (!recorder.start()) {
                    std::fprintf(stderr, "parec did not start\n");
                    return 1;
                }
                // An idle null sink's monitor says nothing until its long block ends; after its
                // first data the sink runs at the recorder's short latency.
                if (!waitFor([&] { return recorder.sampleCount() > 0; }, 5000)) {
                    std::fprintf(stderr, "speaker.monitor sends nothing\n");
                    return 1;
                }
                wait(400);
                from = recorder.sampleCount();
                listener = {[&] { return recorder.samples(); },
                            [&, from](std::int64_t at) { return recorder.sampleTime(at, from); }};
            }
            const auto whites = play(path, start);
            if (!whites) {
                std::fprintf(stderr, "%s: the player did not load, seek or end\n", startName(start));
                return 1;
            }
            recorder.stop();
            const std::vector<double> heard = offsets(*whites, listener, from);
            figures.insert(figures.end(), heard.begin(), heard.end());
        }
        std::printf("%-22s", startName(start));
        for (double offset : figures)
            std::printf(" %+6.1f", offset * 1000);
        std::printf("  ms\n");
        all.insert(all.end(), figures.begin(), figures.end());
    }
    if (all.empty())
        return 1;
    std::sort(all.begin(), all.end());
    double sum = 0;
    for (double offset : all)
        sum += offset;
    std::printf("sound minus picture over %zu marks: median %+.1f ms, mean %+.1f ms, range %+.1f .. %+.1f ms\n",
                all.size(), all[all.size() / 2] * 1000, sum / double(all.size()) * 1000, all.front() * 1000,
                all.back() * 1000);
    return 0;
}

} // namespace

// Ends as the program does: the player's sound device must not turn a measured run into a failure
// at exit.
int main(int argc, char **argv)
{
    ProcessEnd::leave(measure(argc, argv));
}
