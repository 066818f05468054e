// Joins a long 1920x1080 take with a tail through the lumacast-media driver and compares wall
// time and peak memory with `cp` of the joined movie's bytes and with ffmpeg's concat demuxer
// copying the same streams. A second, shorter take shows whether memory grows with length.
//
//   join-bench [--minutes N] [--short-minutes N] [--tail-seconds N] [--fps N] [--size WxH]
//              [--runs N] [--keep DIR]
// With --keep the generated movies stay in DIR and are reused by later runs.

#include "capture/AudioEncodingPlan.h"
#include "capture/TakeWriter.h"
#include "platform/av/Asset.h"
#include "platform/av/TakeEncoder.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace lumacast;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
    double minutes = 10;
    double shortMinutes = 1;
    double tailSeconds = 30;
    int fps = 30;
    int width = 1920, height = 1080;
    int runs = 3;
    QString keep;
};

// A desktop-like picture: a gradient with a square that moves, repainted only where it was.
class Painter {
public:
    Painter(int w, int h, int hue) : w(w), h(h), pixels(std::size_t(w) * h * 4)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                background(x, y, hue);
        m_hue = hue;
    }
    const std::uint8_t *frame(int i)
    {
        const int side = std::min(w, h) / 5;
        if (lastX >= 0)
            for (int y = lastY; y < lastY + side; ++y)
                for (int x = lastX; x < lastX + side; ++x)
                    background(x, y, m_hue);
        lastX = (i * 9) % (w - side);
        lastY = (i * 5) % (h - side);
        for (int y = lastY; y < lastY + side; ++y)
            for (int x = lastX; x < lastX + side; ++x) {
                std::uint8_t *p = &pixels[(std::size_t(y) * w + x) * 4];
                p[0] = std::uint8_t(i * 3), p[1] = 240, p[2] = std::uint8_t(255 - i), p[3] = 255;
            }
        // A strip of changing detail (a playing video, scrolling text): what keeps real screen
        // recordings at several megabits per second.
        const int strip = std::max(2, h / 24);
        for (int y = h - strip; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                noise ^= noise << 13, noise ^= noise >> 7, noise ^= noise << 17;
                std::uint8_t *p = &pixels[(std::size_t(y) * w + x) * 4];
                p[0] = std::uint8_t(noise), p[1] = std::uint8_t(noise >> 8), p[2] = std::uint8_t(noise >> 16);
            }
        return pixels.data();
    }

private:
    void background(int x, int y, int hue)
    {
        std::uint8_t *p = &pixels[(std::size_t(y) * w + x) * 4];
        p[0] = std::uint8_t(x * 255 / w), p[1] = std::uint8_t(y * 255 / h), p[2] = std::uint8_t(hue), p[3] = 255;
    }
    int w, h, m_hue = 0;
    std::vector<std::uint8_t> pixels;
    int lastX = -1, lastY = -1;
    std::uint64_t noise = 0x9E3779B97F4A7C15ull;
};

// Writes a take movie with the take writer's own encoder settings, as fast as the encoder goes
// (nothing is dropped: every append waits until the encoder has room).
bool writeMovie(const QString &path, const Options &o, double seconds, int hue)
{
    av::TakeEncoder encoder(path);
    const int video = encoder.addVideoTrack(TakeWriter::videoSettings(o.width, o.height));
    const auto mic = micAudioSettings(48000, 2, av::canApplyAudioSettings);
    if (!mic)
        return false;
    const int audio = encoder.addAudioTrack(*mic);
    if (!encoder.startWriting()) {
        std::fprintf(stderr, "%s\n", encoder.error() ? encoder.error()->what() : "the encoder failed");
        return false;
    }
    encoder.startSession(0, 1000000000);
    Painter painter(o.width, o.height, hue);
    const std::int64_t frames = std::llround(seconds * o.fps);
    const int chunk = 480;
    std::vector<float> samples(std::size_t(chunk) * 2);
    std::int64_t audioFrames = 0;
    const auto waitFor = [&](int track) {
        while (!encoder.isReadyForMoreMediaData(track)) {
            if (encoder.status() != av::TakeEncoder::Status::writing)
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        return true;
    };
    for (std::int64_t f = 0; f < frames; ++f) {
        const std::int64_t ns = f * 1000000000LL / o.fps;
        while (audioFrames * 1000000000LL / 48000 <= ns) {
            for (int i = 0; i < chunk; ++i)
                samples[std::size_t(i) * 2] = samples[std::size_t(i) * 2 + 1] =
                    0.2f * float(std::sin(2 * M_PI * 440 * double(audioFrames + i) / 48000));
            if (!waitFor(audio))
                return false;
            encoder.appendAudio(audio, samples.data(), chunk, av::TakeEncoder::SampleFormat::float32, 48000, 2,
                                audioFrames * 1000000000LL / 48000, 1000000000);
            audioFrames += chunk;
        }
        if (!waitFor(video))
            return false;
        encoder.appendVideo(video, painter.frame(int(f)), o.width, o.height, o.width * 4, ns, 1000000000);
        if (f % (o.fps * 60) == 0)
            std::fprintf(stderr, "  %s: %lld s written\n", qPrintable(QFileInfo(path).fileName()), (long long)(f / o.fps));
    }
    encoder.finishWriting();
    return encoder.status() == av::TakeEncoder::Status::completed;
}

struct Measure {
    double seconds = 0;
    long peakKiB = 0;
    int status = -1;
};

// A process's peak memory counts what it had before it started another program, so programs are
// started by a launcher forked while this one was still small. It reads one command per line
// (arguments separated by \x1f) and answers "seconds peakKiB status".
struct Launcher {
    int commands = -1;
    int answers = -1;
};

[[noreturn]] void launcherLoop(int in, int out)
{
    std::string line;
    char c;
    for (;;) {
        line.clear();
        while (read(in, &c, 1) == 1 && c != '\n')
            line += c;
        if (line.empty())
            _exit(0);
        std::vector<std::string> args;
        std::size_t from = 0;
        for (std::size_t at; (at = line.find('\x1f', from)) != std::string::npos; from = at + 1)
            args.push_back(line.substr(from, at - from));
        args.push_back(line.substr(from));
        std::vector<char *> argv;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        const auto start = Clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            if (!getenv("JOIN_BENCH_VERBOSE")) {
                std::freopen("/dev/null", "w", stdout);
                std::freopen("/dev/null", "w", stderr);
            }
            execvp(argv[0], argv.data());
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        char answer[96];
        const int n = std::snprintf(answer, sizeof answer, "%.6f %ld %d\n", seconds, usage.ru_maxrss,
                                    WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        if (write(out, answer, std::size_t(n)) != n)
            _exit(1);
    }
}

Launcher startLauncher()
{
    int toLauncher[2], fromLauncher[2];
    if (pipe(toLauncher) != 0 || pipe(fromLauncher) != 0)
        return {};
    if (fork() == 0) {
        close(toLauncher[1]);
        close(fromLauncher[0]);
        launcherLoop(toLauncher[0], fromLauncher[1]);
    }
    close(toLauncher[0]);
    close(fromLauncher[1]);
    return {toLauncher[1], fromLauncher[0]};
}

Launcher launcher;

// Runs a program to its end and reads its wall time and peak resident memory.
Measure run(const QStringList &command)
{
    QByteArray line = command.join(QChar(0x1f)).toLocal8Bit() + '\n';
    Measure m;
    if (write(launcher.commands, line.constData(), std::size_t(line.size())) != line.size())
        return m;
    std::string answer;
    char c;
    while (read(launcher.answers, &c, 1) == 1 && c != '\n')
        answer += c;
    std::sscanf(answer.c_str(), "%lf %ld %d", &m.seconds, &m.peakKiB, &m.status);
    return m;
}

// The run with the median wall time of several.
Measure median(const QStringList &command, int runs, const QString &removeBefore = {})
{
    std::vector<Measure> all;
    for (int i = 0; i < runs; ++i) {
        if (!removeBefore.isEmpty())
            QFile::remove(removeBefore);
        all.push_back(run(command));
    }
    std::sort(all.begin(), all.end(), [](const Measure &a, const Measure &b) { return a.seconds < b.seconds; });
    return all[all.size() / 2];
}

std::optional<Options> parse(const QStringList &args)
{
    Options o;
    for (int i = 0; i < args.size(); ++i) {
        const QString value = i + 1 < args.size() ? args[i + 1] : QString();
        bool ok = true;
        if (args[i] == "--minutes")
            o.minutes = value.toDouble(&ok), ++i;
        else if (args[i] == "--short-minutes")
            o.shortMinutes = value.toDouble(&ok), ++i;
        else if (args[i] == "--tail-seconds")
            o.tailSeconds = value.toDouble(&ok), ++i;
        else if (args[i] == "--fps")
            o.fps = value.toInt(&ok), ++i;
        else if (args[i] == "--runs")
            o.runs = value.toInt(&ok), ++i;
        else if (args[i] == "--keep")
            o.keep = value, ++i;
        else if (args[i] == "--size") {
            const QStringList parts = value.split('x');
            ok = parts.size() == 2;
            if (ok)
                o.width = parts[0].toInt(&ok), o.height = parts[1].toInt();
            ++i;
        } else
            ok = false;
        if (!ok || o.minutes <= 0 || o.shortMinutes <= 0 || o.tailSeconds <= 0 || o.fps <= 0 || o.runs <= 0)
            return std::nullopt;
    }
    return o;
}

} // namespace

int main(int argc, char **argv)
{
    launcher = startLauncher();
    QCoreApplication app(argc, argv);
    const auto parsed = parse(app.arguments().mid(1));
    if (!parsed) {
        std::fprintf(stderr, "usage: join-bench [--minutes N] [--short-minutes N] [--tail-seconds N] [--fps N] "
                             "[--size WxH] [--runs N] [--keep DIR]\n");
        return 2;
    }
    const Options o = *parsed;
    QTemporaryDir scratch;
    const QDir dir(o.keep.isEmpty() ? scratch.path() : o.keep);
    QDir().mkpath(dir.path());
    const QString tag = QStringLiteral("%1x%2-%3fps").arg(o.width).arg(o.height).arg(o.fps);
    const QString longTake = dir.filePath(QStringLiteral("take-%1-%2min.mov").arg(tag).arg(o.minutes));
    const QString shortTake = dir.filePath(QStringLiteral("take-%1-%2min.mov").arg(tag).arg(o.shortMinutes));
    const QString tail = dir.filePath(QStringLiteral("tail-%1-%2s.mov").arg(tag).arg(o.tailSeconds));
    for (const auto &[path, seconds, hue] : {std::tuple{longTake, o.minutes * 60, 64}, std::tuple{shortTake, o.shortMinutes * 60, 64},
                                             std::tuple{tail, o.tailSeconds, 192}}) {
        if (QFile::exists(path))
            continue;
        std::fprintf(stderr, "writing %s (%.0f s)\n", qPrintable(QFileInfo(path).fileName()), seconds);
        if (!writeMovie(path, o, seconds, hue)) {
            std::fprintf(stderr, "could not write %s\n", qPrintable(path));
            QFile::remove(path);
            return 1;
        }
    }

    const QString driver = QStringLiteral(LUMACAST_MEDIA_DRIVER);
    const auto joinOf = [&](const QString &take, const QString &out) {
        // Keep all but the last 20 seconds of the take.
        const double trimEnd = std::floor((av::Asset::open(take)->duration().seconds() - 20) * 600) / 600;
        return QStringList{driver, QStringLiteral("join"), take, QString::number(trimEnd, 'f', 4), tail, out};
    };
    const QString joined = dir.filePath(QStringLiteral("bench.joining.mov"));
    const QString joinedShort = dir.filePath(QStringLiteral("bench-short.joining.mov"));
    const QString copied = dir.filePath(QStringLiteral("bench-cp.mov"));
    const QString concatenated = dir.filePath(QStringLiteral("bench-concat.mov"));
    const QString list = dir.filePath(QStringLiteral("bench-concat.txt"));
    {
        const double trimEnd = std::floor((av::Asset::open(longTake)->duration().seconds() - 20) * 600) / 600;
        QFile f(list);
        if (!f.open(QIODevice::WriteOnly))
            return 1;
        f.write(QStringLiteral("file '%1'\noutpoint %2\nfile '%3'\n").arg(longTake).arg(trimEnd, 0, 'f', 4).arg(tail).toUtf8());
    }

    // Warm the page cache so that every contender reads from memory.
    run({QStringLiteral("cat"), longTake, shortTake, tail, QStringLiteral("--")});
    const Measure join = median(joinOf(longTake, joined), o.runs, joined);
    if (join.status != 0) {
        std::fprintf(stderr, "the join failed (status %d); JOIN_BENCH_VERBOSE=1 shows why\n", join.status);
        return 1;
    }
    const Measure joinShort = median(joinOf(shortTake, joinedShort), o.runs, joinedShort);
    const Measure cp = median({QStringLiteral("cp"), joined, copied}, o.runs, copied);
    const Measure ffmpeg = median({QStringLiteral("ffmpeg"), QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"),
                                   QStringLiteral("-f"), QStringLiteral("concat"), QStringLiteral("-safe"), QStringLiteral("0"),
                                   QStringLiteral("-i"), list, QStringLiteral("-map"), QStringLiteral("0"), QStringLiteral("-c"),
                                   QStringLiteral("copy"), concatenated},
                                  o.runs, concatenated);

    const double bytes = double(QFileInfo(joined).size());
    std::printf("join of a %.0f min %dx%d %d fps take (%.0f MB joined) with a %.0f s tail, median of %d runs\n", o.minutes,
                o.width, o.height, o.fps, bytes / 1e6, o.tailSeconds, o.runs);
    std::printf("  %-34s %8.3f s  %8ld KiB peak\n", "lumacast join (verified)", join.seconds, join.peakKiB);
    std::printf("  %-34s %8.3f s  %8ld KiB peak\n", "cp of the joined bytes", cp.seconds, cp.peakKiB);
    std::printf("  %-34s %8.3f s  %8ld KiB peak%s\n", "ffmpeg concat, stream copy", ffmpeg.seconds, ffmpeg.peakKiB,
                ffmpeg.status == 0 ? "" : "  (failed)");
    std::printf("  %-34s %8.3f s  %8ld KiB peak\n", qPrintable(QStringLiteral("lumacast join, %1 min take").arg(o.shortMinutes)),
                joinShort.seconds, joinShort.peakKiB);
    const Measure floor = run({QStringLiteral("true")});
    std::printf("  %-34s %8.3f s  %8ld KiB peak (the measuring floor)\n", "true", floor.seconds, floor.peakKiB);
    std::printf("ratios: join/cp %.2f (goal <= 1.5), join/ffmpeg %.2f (goal <= 1.0), peak memory %.0f min / %.0f min take %.2f\n",
                join.seconds / cp.seconds, join.seconds / ffmpeg.seconds, o.minutes, o.shortMinutes,
                double(join.peakKiB) / double(joinShort.peakKiB));
    for (const QString &f : {joined, joinedShort, copied, concatenated, list})
        QFile::remove(f);
    // A ratio against a failed run measures nothing.
    if (joinShort.status != 0 || cp.status != 0 || ffmpeg.status != 0) {
        std::fprintf(stderr, "a measured run failed: short join %d, cp %d, ffmpeg %d\n", joinShort.status, cp.status,
                     ffmpeg.status);
        return 1;
    }
    return 0;
}
