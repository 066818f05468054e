// Feeds synthetic 1920x1080 BGRA frames at 60 fps and 48 kHz stereo audio through the take writer
// in real time, then encodes the same frames with the ffmpeg command-line tool (rawvideo in,
// libx264 with the same preset, .mov out) and prints both costs side by side.
//
//   takewriter-bench [--seconds N] [--size WxH] [--fps N] [--no-ffmpeg] [--no-journal] [--keep DIR]
//   taskset -c 0,1 takewriter-bench        (the two-core target)

#include "capture/TakeWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QStringList>
#include <QTemporaryDir>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <thread>
#include <vector>

using namespace lumacast;
using Clock = std::chrono::steady_clock;

namespace {

double cpuSeconds(const rusage &r)
{
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec)
         + double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

double processCpu()
{
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return cpuSeconds(r);
}

// A gradient with a moving square; only the square's old and new places are repainted.
class Painter {
public:
    Painter(int w, int h) : w(w), h(h), pixels(size_t(w) * h * 4)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                background(x, y);
    }
    const uint8_t *frame(int i)
    {
        const int side = std::min(w, h) / 5;
        if (lastX >= 0)
            for (int y = lastY; y < lastY + side; ++y)
                for (int x = lastX; x < lastX + side; ++x)
                    background(x, y);
        lastX = (i * 9) % (w - side);
        lastY = (i * 5) % (h - side);
        for (int y = lastY; y < lastY + side; ++y)
            for (int x = lastX; x < lastX + side; ++x) {
                uint8_t *p = &pixels[(size_t(y) * w + x) * 4];
                p[0] = uint8_t(i * 3), p[1] = 220, p[2] = 240, p[3] = 255;
            }
        return pixels.data();
    }
    int w, h;
    std::vector<uint8_t> pixels;

private:
    void background(int x, int y)
    {
        uint8_t *p = &pixels[(size_t(y) * w + x) * 4];
        p[0] = uint8_t(x * 255 / (w - 1)), p[1] = uint8_t(y * 255 / (h - 1)), p[2] = 80, p[3] = 255;
    }
    int lastX = -1, lastY = -1;
};

struct FfmpegRun {
    bool ok = false;
    double cpu = 0;
    double wall = 0;
};

FfmpegRun runFfmpeg(const QString &out, int w, int h, int fps, int frames)
{
    FfmpegRun result;
    int fds[2];
    if (pipe(fds) != 0)
        return result;
    const QByteArray size = QByteArray::number(w) + 'x' + QByteArray::number(h);
    const QByteArray rate = QByteArray::number(fps);
    const QByteArray outPath = out.toLocal8Bit();
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[0], 0);
        close(fds[0]);
        close(fds[1]);
        execlp("ffmpeg", "ffmpeg", "-hide_banner", "-loglevel", "error", "-y", "-f", "rawvideo",
               "-pix_fmt", "bgra", "-s", size.constData(), "-r", rate.constData(), "-i", "-",
               "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", outPath.constData(),
               (char *)nullptr);
        _exit(127);
    }
    close(fds[0]);
    Painter painter(w, h);
    const size_t bytes = painter.pixels.size();
    bool writing = true;
    for (int i = 0; i < frames && writing; ++i) {
        const uint8_t *p = painter.frame(i);
        size_t done = 0;
        while (done < bytes) {
            const ssize_t n = write(fds[1], p + done, bytes - done);
            if (n <= 0) {
                writing = false;
                break;
            }
            done += size_t(n);
        }
    }
    close(fds[1]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    result.wall = std::chrono::duration<double>(Clock::now() - start).count();
    result.cpu = cpuSeconds(usage);
    result.ok = writing && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return result;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    std::signal(SIGPIPE, SIG_IGN);
    int width = 1920, height = 1080, fps = 60;
    double seconds = 30;
    bool withFfmpeg = true;
    bool journal = true;
    QString keep;
    const QStringList args = app.arguments().mid(1);
    for (int i = 0; i < args.size(); ++i) {
        const QString a = args[i];
        const QString v = i + 1 < args.size() ? args[i + 1] : QString();
        if (a == QLatin1String("--seconds"))
            seconds = v.toDouble(), ++i;
        else if (a == QLatin1String("--fps"))
            fps = v.toInt(), ++i;
        else if (a == QLatin1String("--size"))
            width = v.section(QLatin1Char('x'), 0, 0).toInt(), height = v.section(QLatin1Char('x'), 1, 1).toInt(), ++i;
        else if (a == QLatin1String("--no-ffmpeg"))
            withFfmpeg = false;
        else if (a == QLatin1String("--no-journal"))
            journal = false;
        else if (a == QLatin1String("--keep"))
            keep = v, ++i;
        else {
            std::fprintf(stderr, "usage: takewriter-bench [--seconds N] [--size WxH] [--fps N] [--no-ffmpeg] [--no-journal] [--keep DIR]\n");
            return 2;
        }
    }
    if (seconds <= 0 || fps <= 0 || width < 16 || height < 16) {
        std::fprintf(stderr, "takewriter-bench: bad arguments\n");
        return 2;
    }
    QTemporaryDir tmp;
    const QDir dir(keep.isEmpty() ? tmp.path() : keep);
    const QString takePath = dir.filePath(QStringLiteral("bench-take.mov"));
    const QString ffmpegPath = dir.filePath(QStringLiteral("bench-ffmpeg.mov"));
    QFile::remove(takePath);

    const int frames = int(std::lround(seconds * fps));
    Painter painter(width, height);
    std::vector<float> audio(480 * 2);
    for (size_t i = 0; i < audio.size(); ++i)
        audio[i] = 0.2f * float(std::sin(double(i / 2) * 2 * M_PI * 440 / 48000));

    TakeWriter writer(takePath);
    writer.keepsJournal = journal; // off: the writer as it was before takes kept a journal
    try {
        writer.setUp(width, height, 48000, 2, false);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "set-up failed: %s\n", e.what());
        return 1;
    }

    // Painting the synthetic frames is not the writer's cost: it is measured apart and taken off.
    double paintCpu = 0;
    const double cpuStart = processCpu();
    const auto wallStart = Clock::now();
    const int64_t base = 7000LL * 1000000000LL;
    int64_t audioFrames = 0;
    for (int i = 0; i < frames; ++i) {
        const int64_t frameNs = int64_t(i) * 1000000000LL / fps;
        // Audio in 10 ms buffers up to this frame's time, as a microphone delivers it.
        while (audioFrames * 1000000000LL / 48000 <= frameNs) {
            writer.appendMicAudio({audio.data(), 480, AudioBuffer::Format::float32, 48000, 2,
                                   SampleTime::fromNanoseconds(base + audioFrames * 1000000000LL / 48000)});
            audioFrames += 480;
        }
        std::this_thread::sleep_until(wallStart + std::chrono::nanoseconds(frameNs));
        const double p0 = processCpu();
        const uint8_t *pixels = painter.frame(i);
        paintCpu += processCpu() - p0;
        writer.appendVideo({pixels, width, height, width * 4, SampleTime::fromNanoseconds(base + frameNs)});
    }
    const auto fedAt = Clock::now();
    const auto duration = writer.finish();
    const auto doneAt = Clock::now();
    const double writerCpu = processCpu() - cpuStart - paintCpu;
    rusage self{};
    getrusage(RUSAGE_SELF, &self);
    const double wall = std::chrono::duration<double>(doneAt - wallStart).count();
    const double drain = std::chrono::duration<double>(doneAt - fedAt).count();

    std::printf("take writer: %dx%d @ %d fps, %.1f s, %d frames, 48 kHz stereo audio\n", width, height, fps,
                seconds, frames);
    std::printf("  frames dropped        %llu\n", (unsigned long long)writer.droppedVideoFrames());
    std::printf("  CPU per frame         %.3f ms\n", writerCpu / frames * 1e3);
    std::printf("  cores busy            %.2f\n", writerCpu / wall);
    std::printf("  drain after last frame %.3f s\n", drain);
    std::printf("  realtime factor       %.3f (media time / wall time incl. drain)\n", seconds / wall);
    std::printf("  peak memory           %.1f MB\n", double(self.ru_maxrss) / 1024.0);
    std::printf("  movie duration        %.3f s\n", duration.value_or(-1));

    double ratio = 0;
    bool ffmpegFailed = false;
    if (withFfmpeg) {
        const FfmpegRun ff = runFfmpeg(ffmpegPath, width, height, fps, frames);
        ffmpegFailed = !ff.ok;
        if (!ff.ok) {
            std::printf("ffmpeg command line: failed\n");
        } else {
            ratio = writerCpu / ff.cpu;
            std::printf("ffmpeg command line (rawvideo bgra -> libx264 ultrafast, swscale):\n");
            std::printf("  CPU per frame         %.3f ms\n", ff.cpu / frames * 1e3);
            std::printf("  realtime factor       %.3f (as fast as it goes)\n", seconds / ff.wall);
            std::printf("take writer CPU / ffmpeg CPU: %.2f (goal: at most 0.6)\n", ratio);
        }
    }
    std::printf("{\"frames\":%d,\"dropped\":%llu,\"cpuPerFrameMs\":%.4f,\"peakMB\":%.1f,\"ratio\":%.3f}\n", frames,
                (unsigned long long)writer.droppedVideoFrames(), writerCpu / frames * 1e3,
                double(self.ru_maxrss) / 1024.0, ratio);
    return duration && !ffmpegFailed ? 0 : 1;
}
