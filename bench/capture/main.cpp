// capture-bench grab   [--frames N]
//     Per-frame cost of grabbing the 1920x1080 display: the plain grab, and the composited grab
//     that leaves one of our windows out (the repair path), over animated content.
// capture-bench record [--seconds S] [--cores 0,1]
//     Takes of 1920x1080 content at 60 fps through the screen recorder (`lumacast-media record`)
//     beside `ffmpeg -f x11grab` with libx264 at the same preset, frame rate and size (its rate
//     factor 23), and x11grab again with the take's own encoder settings (constant quantiser,
//     tune, profile, key frames, threads), all pinned to the same cores; once over animated
//     content and once over a still slide. Per side: frames shown and samples written (a still
//     picture is held by one sample), CPU per frame shown and per second of take, bit rate, peak
//     memory, CPU per frame thread by thread; the ratios, and the still slide's CPU per second of
//     take over the animated content's. Fails only when the recorder failed or wrote no frame.
// capture-bench wayland [--seconds S] [--rounds N] [--cores 0,1]
//     Inside the Wayland rig (tests/wayland/rig.sh): takes of animated 1920x1080 content through
//     the desktop's screen sharing (`lumacast-media record` takes that road in a Wayland session)
//     beside `gst-launch-1.0 pipewiresrc ! videoconvert ! x264enc` at the same preset on casts of
//     its own, and gst again with the take's own encoder settings (rate control, tune, threads)
//     for the cost of the roads alone; all pinned to the same cores, in rounds that alternate the
//     three, each cast on a fresh portal backend. Medians of CPU milliseconds per picture the
//     compositor delivered (for gst, which encodes every picture it is sent, per frame it
//     stored), their ratios, each round's figures, threads and bit rates; the frames the recorder
//     appended beside the pictures it received, and those PipeWire delivered that it skipped.
//     Fails when the ratio to gst is past its goal, when the recorder appended more frames than
//     the pictures it received and one a second (a picture the desktop did not replace is held,
//     not repeated), or when it skipped a picture.
// capture-bench animate [still]
//     (internal) a full-screen window repainted with moving content 60 times a second, or
//     painted once.
#include "capture/TakeWriter.h"
#include "platform/pipewire/ScreenCastPortal.h"
#include "platform/x11/X11Content.h"
#include "platform/x11/X11FrameSource.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QRasterWindow>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cmath>

#include <algorithm>
#include <optional>
#include <cstdio>
#include <functional>
#include <ctime>
#include <iostream>
#include <map>
#include <thread>
#include <unistd.h>

using namespace lumacast;

namespace {

class Animation : public QRasterWindow {
public:
    explicit Animation(bool moving)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            ++m_frame;
            update();
        });
        if (moving)
            m_timer.start(16);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter p(this);
        const int w = width(), h = height();
        p.fillRect(QRect(0, 0, w, h), QColor::fromHsv((m_frame * 2) % 360, 120, 200));
        for (int i = 0; i < 12; ++i) {
            const int x = (m_frame * (7 + i) + i * 150) % std::max(1, w - 200);
            const int y = (i * 90 + m_frame * 3) % std::max(1, h - 120);
            p.fillRect(x, y, 200, 120, QColor::fromHsv((i * 30 + m_frame) % 360, 255, 255));
        }
    }

private:
    QTimer m_timer;
    int m_frame = 0;
};

double threadCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

QString argValue(const QStringList &args, const QString &name, const QString &fallback)
{
    const int i = args.indexOf(name);
    return i >= 0 && i + 1 < args.size() ? args[i + 1] : fallback;
}

// `content`: "moving" (the default) or "still", a slide painted once.
QProcess *startAnimation(QObject *parent, const QString &content = QStringLiteral("moving"))
{
    auto *p = new QProcess(parent);
    p->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p->start(QCoreApplication::applicationFilePath(), {QStringLiteral("animate"), content});
    p->waitForStarted();
    QThread::msleep(800);
    return p;
}

struct GrabCost {
    double wallMs = 0;
    double cpuMs = 0;
};

// Nothing when the grab failed: a failed grab measures nothing.
std::optional<GrabCost> measureGrab(x11::CaptureConfig config, int frames)
{
    x11::FrameSource source(config);
    try {
        source.open();
        x11::Frame frame;
        for (int i = 0; i < 10; ++i)
            source.captureFrame(frame); // warm the buffers
        // Only grabs count: between two paintings of the animation the source hands on its last
        // frame again without asking the server.
        uint64_t lastPicture = frame.picture;
        frame = x11::Frame{};
        double wallNs = 0, cpuSeconds = 0;
        QElapsedTimer limit;
        limit.start();
        for (int grabbed = 0; grabbed < frames;) {
            if (limit.elapsed() > 60000) {
                std::cerr << "the animation stopped changing the screen\n";
                return std::nullopt;
            }
            QElapsedTimer wall;
            wall.start();
            const double cpu0 = threadCpuSeconds();
            source.captureFrame(frame);
            const double cpu = threadCpuSeconds() - cpu0;
            const qint64 ns = wall.nsecsElapsed();
            if (frame.picture != lastPicture) {
                lastPicture = frame.picture;
                wallNs += double(ns);
                cpuSeconds += cpu;
                ++grabbed;
            }
            frame = x11::Frame{}; // hand the buffer back
            QCoreApplication::processEvents();
        }
        return GrabCost{wallNs / 1e6 / frames, cpuSeconds * 1000 / frames};
    } catch (const x11::X11Error &error) {
        std::cerr << "grab failed: " << error.what() << "\n";
        return std::nullopt;
    }
}

int grab(const QStringList &args)
{
    const int frames = argValue(args, QStringLiteral("--frames"), QStringLiteral("300")).toInt();
    QProcess *animation = startAnimation(qApp);
    // One of our own windows over the animation, as the status panel is during a take.
    QRasterWindow panel;
    panel.setFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    panel.setGeometry(1500, 40, 360, 120);
    panel.show();
    for (int i = 0; i < 30; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(10);
    }
    const auto displays = x11::listDisplays();
    if (displays.empty()) {
        std::cerr << "no display\n";
        return 1;
    }
    x11::CaptureConfig plain;
    plain.displayId = displays.front().id;
    plain.showsCursor = true;
    x11::CaptureConfig composited = plain;
    composited.excludedPids = {uint32_t(QCoreApplication::applicationPid())};

    const std::optional<GrabCost> grabbedPlain = measureGrab(plain, frames);
    const std::optional<GrabCost> grabbedComposited = measureGrab(composited, frames);
    animation->kill();
    animation->waitForFinished();
    if (!grabbedPlain || !grabbedComposited)
        return 1;
    const GrabCost a = *grabbedPlain, b = *grabbedComposited;
    QJsonObject report{{QStringLiteral("frames"), frames},
                       {QStringLiteral("plainWallMsPerFrame"), a.wallMs},
                       {QStringLiteral("plainCpuMsPerFrame"), a.cpuMs},
                       {QStringLiteral("compositedWallMsPerFrame"), b.wallMs},
                       {QStringLiteral("compositedCpuMsPerFrame"), b.cpuMs},
                       {QStringLiteral("compositedOverPlainWall"), a.wallMs > 0 ? b.wallMs / a.wallMs : 0},
                       {QStringLiteral("goalCompositedOverPlain"), 1.2}};
    std::cout << QJsonDocument(report).toJson(QJsonDocument::Indented).constData();
    return 0;
}

struct ThreadCpu {
    QString name;
    double cpuSeconds = 0;
};

struct ChildRun {
    bool ok = false;
    int status = 0; // as wait4 gave it
    double cpuSeconds = 0;
    long peakRssKiB = 0;
    QByteArray out;
    QByteArray err;
    std::map<long, ThreadCpu> threads; // by thread id, as last sampled
};

// The CPU time of every thread of a running process and of the processes it started (a program
// run through taskset and timeout is their grandchild), from /proc. Threads that have exited are
// no longer listed: callers keep the last value they saw.
void sampleThreads(pid_t pid, std::map<long, ThreadCpu> &threads, int depth = 0)
{
    static const double ticksPerSecond = double(sysconf(_SC_CLK_TCK));
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(tasks.filePath(tid + QStringLiteral("/children")));
        if (depth < 4 && children.open(QIODevice::ReadOnly))
            for (const QByteArray &child : children.readAll().split(' '))
                if (child.trimmed().toInt() > 0)
                    sampleThreads(pid_t(child.trimmed().toInt()), threads, depth + 1);
        QFile stat(tasks.filePath(tid + QStringLiteral("/stat")));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // "tid (comm) state ...": the name may hold spaces and parentheses, so split at the last ')'.
        const int open = line.indexOf('('), close = line.lastIndexOf(')');
        if (open < 0 || close < open)
            continue;
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() < 13)
            continue;
        // After the state: utime and stime are the 12th and 13th fields.
        const double ticks = fields[11].toDouble() + fields[12].toDouble();
        threads[tid.toLong()] = ThreadCpu{QString::fromUtf8(line.mid(open + 1, close - open - 1)), ticks / ticksPerSecond};
    }
}

// Runs a program to the end and reads its CPU time and peak memory from the kernel. Spawned
// and reaped here rather than through QProcess, which reaps its children itself.
ChildRun runMeasured(const QString &program, const QStringList &args)
{
    ChildRun r;
    QTemporaryDir dir;
    const QByteArray outPath = dir.filePath(QStringLiteral("out")).toLocal8Bit();
    const QByteArray errPath = dir.filePath(QStringLiteral("err")).toLocal8Bit();
    std::vector<QByteArray> storage{program.toLocal8Bit()};
    for (const QString &a : args)
        storage.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (auto &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        return r;
    int status = 0;
    rusage usage{};
    for (;;) {
        const pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid || (done < 0 && errno != EINTR))
            break;
        if (done == 0) {
            sampleThreads(pid, r.threads);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    r.status = status;
    r.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    r.peakRssKiB = usage.ru_maxrss;
    QFile out(QString::fromLocal8Bit(outPath)), err(QString::fromLocal8Bit(errPath));
    if (out.open(QIODevice::ReadOnly))
        r.out = out.readAll();
    if (err.open(QIODevice::ReadOnly))
        r.err = err.readAll().right(4000);
    return r;
}

QString probeVideo(const QStringList &args, const QString &movie)
{
    QProcess p;
    p.start(QStringLiteral("ffprobe"), QStringList{QStringLiteral("-v"), QStringLiteral("error"),
                                                   QStringLiteral("-select_streams"), QStringLiteral("v:0")}
                                           + args + QStringList{QStringLiteral("-of"), QStringLiteral("csv=p=0"), movie});
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput().trimmed());
}

// Samples the video track holds: a still picture is held by one sample, not repeated.
int countSamples(const QString &movie)
{
    return probeVideo({QStringLiteral("-count_packets"), QStringLiteral("-show_entries"),
                       QStringLiteral("stream=nb_read_packets")},
                      movie)
        .toInt();
}

// Frames at 60 a second that the video track shows: its duration, whatever the samples.
int countFrames(const QString &movie)
{
    const double seconds = probeVideo({QStringLiteral("-show_entries"), QStringLiteral("stream=duration")}, movie).toDouble();
    return int(std::lround(seconds * 60));
}

// The video track's bit rate in megabits a second: how much the encoder had to write is part
// of what it costs, so two encoders compared at one preset should be near each other.
double videoMegabitsPerSecond(const QString &movie)
{
    QProcess p;
    p.start(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                                        QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                                        QStringLiteral("stream=bit_rate"), QStringLiteral("-of"),
                                        QStringLiteral("csv=p=0"), movie});
    p.waitForFinished(60000);
    return p.readAllStandardOutput().trimmed().toDouble() / 1e6;
}

// Where the CPU went: milliseconds per frame of each thread that used at least 1% of the run's
// CPU, busiest first, named "name/tid" (threads inherit their creator's name, so a name alone
// can stand for several). Sampled ten times a second: the last tenth of a thread's life is missed.
QJsonArray threadReport(const ChildRun &run, int frames)
{
    std::vector<std::pair<long, ThreadCpu>> sorted(run.threads.begin(), run.threads.end());
    std::sort(sorted.begin(), sorted.end(),
              [](const auto &a, const auto &b) { return a.second.cpuSeconds > b.second.cpuSeconds; });
    QJsonArray result;
    for (const auto &[tid, t] : sorted) {
        if (frames <= 0 || t.cpuSeconds < run.cpuSeconds * 0.01)
            break;
        result.append(QJsonObject{{QStringLiteral("thread"), QStringLiteral("%1/%2").arg(t.name).arg(tid)},
                                  {QStringLiteral("ms"), std::round(t.cpuSeconds * 1e6 / frames) / 1000}});
    }
    return result;
}

// One program recording the screen in `record`, and what it measured.
struct RecordSide {
    QString name;
    ChildRun run;
    int frames = 0;  // shown, at 60 a second
    int samples = 0; // written
    double cpuPerFrame = 0;
    double cpuPerSecond = 0; // CPU seconds per second of the take it wrote
    double mbitPerSecond = 0;
};

RecordSide recordWith(const QString &name, const QString &program, const QStringList &args, const QString &cores,
                      const QString &movie)
{
    RecordSide side;
    side.name = name;
    side.run = runMeasured(QStringLiteral("taskset"), QStringList{QStringLiteral("-c"), cores, program} + args);
    if (!side.run.ok) {
        std::cerr << name.toStdString() << " failed: " << side.run.err.constData() << "\n";
        return side;
    }
    side.frames = countFrames(movie);
    side.samples = countSamples(movie);
    if (side.frames > 0) {
        side.cpuPerFrame = side.run.cpuSeconds / side.frames;
        side.cpuPerSecond = side.run.cpuSeconds / (side.frames / 60.0);
        side.mbitPerSecond = videoMegabitsPerSecond(movie);
    }
    return side;
}

QJsonObject sideReport(const RecordSide &side)
{
    return QJsonObject{{QStringLiteral("ok"), side.run.ok},
                       {QStringLiteral("frames"), side.frames},
                       {QStringLiteral("samples"), side.samples},
                       {QStringLiteral("cpuSeconds"), side.run.cpuSeconds},
                       {QStringLiteral("cpuMsPerFrame"), std::round(side.cpuPerFrame * 1e6) / 1000},
                       {QStringLiteral("cpuSecondsPerSecondOfTake"), std::round(side.cpuPerSecond * 1000) / 1000},
                       {QStringLiteral("videoMbitPerSecond"), side.mbitPerSecond},
                       {QStringLiteral("peakRssKiB"), double(side.run.peakRssKiB)},
                       {QStringLiteral("threadMsPerFrame"), threadReport(side.run, side.frames)}};
}

// The recorder, ffmpeg's x11grab at the preset alone (its rate factor 23), and x11grab with the
// take's own encoder settings, one after another over the same screen content.
std::vector<RecordSide> recordCase(const QString &content, double seconds, const QString &cores, const QDir &dir)
{
    QProcess *screen = startAnimation(qApp, content);
    const av::VideoSettings take = TakeWriter::videoSettings(1920, 1080);
    const QStringList x11grab{QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-y"), QStringLiteral("-f"),
                              QStringLiteral("x11grab"), QStringLiteral("-framerate"), QStringLiteral("60"),
                              QStringLiteral("-video_size"), QStringLiteral("1920x1080"), QStringLiteral("-i"),
                              qEnvironmentVariable("DISPLAY"), QStringLiteral("-t"), QString::number(seconds),
                              QStringLiteral("-c:v"), QStringLiteral("libx264"), QStringLiteral("-preset"), take.preset,
                              QStringLiteral("-pix_fmt"), QStringLiteral("yuv420p")};
    const QStringList takeSettings{QStringLiteral("-tune"), take.tune, QStringLiteral("-profile:v"), take.profile,
                                   QStringLiteral("-qp"), QString::number(take.quantizer), QStringLiteral("-g"),
                                   QString::number(take.keyFrameInterval), QStringLiteral("-bf"),
                                   QString::number(take.maxBFrames), QStringLiteral("-threads"),
                                   QString::number(take.threads)};
    std::vector<RecordSide> sides;
    const QString ours = dir.filePath(content + QStringLiteral("-recorder.mov"));
    sides.push_back(recordWith(QStringLiteral("recorder"), QStringLiteral(LUMACAST_MEDIA_PATH),
                               {QStringLiteral("record"), ours, QStringLiteral("--seconds"), QString::number(seconds)},
                               cores, ours));
    const QString plain = dir.filePath(content + QStringLiteral("-x11grab.mov"));
    sides.push_back(recordWith(QStringLiteral("ffmpeg"), QStringLiteral("ffmpeg"), x11grab + QStringList{plain}, cores, plain));
    const QString same = dir.filePath(content + QStringLiteral("-x11grab-take.mov"));
    sides.push_back(recordWith(QStringLiteral("ffmpegTakeSettings"), QStringLiteral("ffmpeg"),
                               x11grab + takeSettings + QStringList{same}, cores, same));
    screen->kill();
    screen->waitForFinished();
    return sides;
}

QJsonObject caseReport(const std::vector<RecordSide> &sides)
{
    QJsonObject report;
    for (const RecordSide &side : sides)
        report.insert(side.name, sideReport(side));
    const double ours = sides[0].cpuPerFrame;
    auto ratio = [&](const RecordSide &theirs) { return theirs.cpuPerFrame > 0 ? ours / theirs.cpuPerFrame : 0; };
    report.insert(QStringLiteral("cpuPerFrameRatio"), ratio(sides[1]));
    report.insert(QStringLiteral("cpuPerFrameRatioToTakeSettings"), ratio(sides[2]));
    return report;
}

int record(const QStringList &args)
{
#ifndef LUMACAST_MEDIA_PATH
    std::cerr << "built without the lumacast-media driver\n";
    return 1;
#else
    const double seconds = argValue(args, QStringLiteral("--seconds"), QStringLiteral("20")).toDouble();
    const QString cores = argValue(args, QStringLiteral("--cores"), QStringLiteral("0,1"));
    QTemporaryDir dir;
    const av::VideoSettings take = TakeWriter::videoSettings(1920, 1080);
    const std::vector<RecordSide> moving = recordCase(QStringLiteral("moving"), seconds, cores, QDir(dir.path()));
    const std::vector<RecordSide> still = recordCase(QStringLiteral("still"), seconds, cores, QDir(dir.path()));
    const double stillOverMoving =
        moving[0].cpuPerSecond > 0 ? still[0].cpuPerSecond / moving[0].cpuPerSecond : 0;
    const double theirsStillOverMoving =
        moving[1].cpuPerSecond > 0 ? still[1].cpuPerSecond / moving[1].cpuPerSecond : 0;
    QJsonObject report{{QStringLiteral("seconds"), seconds},
                       {QStringLiteral("cores"), cores},
                       {QStringLiteral("preset"), take.preset},
                       {QStringLiteral("quantizer"), take.quantizer},
                       {QStringLiteral("framesExpected"), int(seconds * 60)},
                       {QStringLiteral("moving"), caseReport(moving)},
                       {QStringLiteral("goalCpuPerFrameRatio"), 0.6},
                       {QStringLiteral("still"), caseReport(still)},
                       {QStringLiteral("recorderStillOverMovingCpuPerSecond"), stillOverMoving},
                       {QStringLiteral("ffmpegStillOverMovingCpuPerSecond"), theirsStillOverMoving},
                       {QStringLiteral("goalRecorderStillOverMoving"), 0.3},
                       {QStringLiteral("recorderReport"), QJsonDocument::fromJson(moving[0].run.out.trimmed()).object()}};
    std::cout << QJsonDocument(report).toJson(QJsonDocument::Indented).constData();
    // Only the recorder's own work decides: a take that failed or stored nothing measured nothing.
    // ffmpeg failing leaves its figures empty.
    return moving[0].frames > 0 && still[0].frames > 0 ? 0 : 1;
#endif
}

// The rig's portal backend (xdg-desktop-portal-wlr 0.7) now and then streams nothing to a cast
// opened right after another closed, or crashes tearing one down, whoever opened either. So
// every cast here gets a backend of its own, started as the rig starts it; the rig's own is
// stopped before the first. Runs on the main thread; the backend goes with this object.
class PortalBackend {
public:
    ~PortalBackend() { stop(); }

    bool restart()
    {
        stop();
        m_process.setStandardOutputFile(QProcess::nullDevice());
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(qEnvironmentVariable("LUMACAST_WAYLAND_PORTAL_BACKEND"),
                        {QStringLiteral("-r"), QStringLiteral("-c"),
                         QDir(qEnvironmentVariable("XDG_CONFIG_HOME")).filePath(QStringLiteral("xdg-desktop-portal-wlr/config"))});
        return waitForName(true);
    }

private:
    static bool waitForName(bool registered)
    {
        for (int i = 0; i < 100; ++i) {
            if (QDBusConnection::sessionBus().interface()->isServiceRegistered(name()).value() == registered)
                return true;
            QThread::msleep(100);
        }
        return false;
    }
    static QString name() { return QStringLiteral("org.freedesktop.impl.portal.desktop.wlr"); }

    void stop()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(3000);
        } else if (const int rigs = qEnvironmentVariableIntValue("LUMACAST_WAYLAND_BACKEND_PID"); rigs > 0) {
            ::kill(rigs, SIGTERM);
            qputenv("LUMACAST_WAYLAND_BACKEND_PID", "0");
        }
        waitForName(false);
    }

    QProcess m_process;
};

// gst-launch recording a cast of its own into `movie` for `seconds`, pinned to `cores`.
// gstreamer cannot ask the portal itself: the cast is opened here and its PipeWire connection
// handed down to gst-launch, which inherits the descriptor.
ChildRun runGstOnce(const QString &cores, double seconds, const QStringList &encoderOptions, const QString &h264Caps,
                    const QString &movie)
{
    ChildRun run;
    try {
        pipewire::ScreenCastPortal portal;
        const pipewire::CastStream cast = portal.start({});
        QStringList args{QStringLiteral("-c"), cores, QStringLiteral("timeout"), QStringLiteral("-s"),
                         QStringLiteral("INT"), QString::number(seconds), QStringLiteral("gst-launch-1.0"),
                         QStringLiteral("-q"), QStringLiteral("-e"), QStringLiteral("pipewiresrc"),
                         QStringLiteral("fd=%1").arg(cast.pipeWireFd), QStringLiteral("path=%1").arg(cast.nodeId),
                         QStringLiteral("do-timestamp=true"), QStringLiteral("!"), QStringLiteral("videoconvert"),
                         QStringLiteral("!"), QStringLiteral("video/x-raw,format=I420"), QStringLiteral("!"),
                         QStringLiteral("x264enc")};
        args << encoderOptions;
        if (!h264Caps.isEmpty())
            args << QStringLiteral("!") << QStringLiteral("video/x-h264") + h264Caps;
        args << QStringLiteral("!") << QStringLiteral("mp4mux") << QStringLiteral("!") << QStringLiteral("filesink")
             << QStringLiteral("location=%1").arg(movie);
        run = runMeasured(QStringLiteral("taskset"), args);
        run.ok = QFile::exists(movie); // timeout's own status is 124 when it had to stop gst
    } catch (const std::exception &e) {
        std::cerr << "the bench's own cast did not start: " << e.what() << "\n";
    }
    return run;
}

// One side of the comparison: how it records, and what each round of it measured.
struct Side {
    QString name;
    bool recorder = false; // counts the pictures the compositor delivered, not the frames stored
    std::function<ChildRun(const QString &movie)> run;
    std::vector<double> cpuPerFrame; // seconds per picture delivered (ours) or frame stored (gst)
    std::vector<double> pictures;    // what each round's CPU was divided by
    std::vector<double> shown;       // each round's movie's duration at 60 frames a second
    std::vector<double> appended;    // ours: the frames each round appended
    ChildRun last;
    int lastFrames = 0;
    int lastCount = 0; // what the last round's CPU was divided by
    QString lastMovie;
    double skipped = 0;
    QJsonObject lastReport;
};

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

QJsonArray rounded(const std::vector<double> &values, double scale)
{
    QJsonArray result;
    for (double v : values)
        result.append(std::round(v * scale * 1000) / 1000);
    return result;
}

// One round of one side, on a fresh backend. A cast that stored nothing is made again: ours once
// more, a comparison side twice more (gst-launch now and then stores no frame of a cast that
// runs, which says nothing of our work).
bool measureRound(Side &side, PortalBackend &backend, const QString &movie)
{
    const int attempts = side.recorder ? 2 : 3;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (!backend.restart()) {
            std::cerr << "the portal backend did not come back\n";
            return false;
        }
        QFile::remove(movie);
        side.last = side.run(movie);
        side.lastFrames = side.last.ok ? countFrames(movie) : 0;
        if (side.lastFrames > 0)
            break;
        std::cerr << side.name.toStdString() << " stored no frame (exit status " << WEXITSTATUS(side.last.status)
                  << "): " << side.last.err.constData() << "\n";
    }
    if (side.lastFrames <= 0)
        return false;
    side.lastMovie = movie;
    // Per picture the compositor delivered is like for like: gst encodes and stores every picture
    // it is sent, however few (its movie's duration at 60 a second would count the pictures the
    // compositor did not send when it sends fewer); the recorder holds a picture that is not
    // replaced, so that its take stores fewer frames than it was sent.
    double frames = countSamples(movie);
    if (side.recorder) {
        side.lastReport = QJsonDocument::fromJson(side.last.out.trimmed()).object();
        frames = side.lastReport.value(QStringLiteral("picturesReceived")).toDouble();
        side.skipped += side.lastReport.value(QStringLiteral("picturesSkipped")).toDouble();
        side.appended.push_back(side.lastReport.value(QStringLiteral("framesAppended")).toDouble());
    }
    if (frames <= 0)
        return false;
    side.lastCount = int(frames);
    side.pictures.push_back(frames);
    side.shown.push_back(side.lastFrames);
    side.cpuPerFrame.push_back(side.last.cpuSeconds / frames);
    return true;
}

// Our median over a comparison side's, null where that side measured no round.
QJsonValue ratioTo(double ours, const Side &theirs)
{
    const double their = median(theirs.cpuPerFrame);
    return their > 0 ? QJsonValue(ours / their) : QJsonValue(QJsonValue::Null);
}

int wayland(const QStringList &args)
{
#ifndef LUMACAST_MEDIA_PATH
    std::cerr << "built without the lumacast-media driver\n";
    return 1;
#else
    const double seconds = argValue(args, QStringLiteral("--seconds"), QStringLiteral("15")).toDouble();
    const int rounds = std::max(1, argValue(args, QStringLiteral("--rounds"), QStringLiteral("3")).toInt());
    const QString cores = argValue(args, QStringLiteral("--cores"), QStringLiteral("0,1"));
    if (qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") || qEnvironmentVariableIsEmpty("LUMACAST_WAYLAND_PORTAL_BACKEND")) {
        std::cerr << "run inside the Wayland rig: tests/wayland/rig.sh build/bench/capture/capture-bench wayland\n";
        return 1;
    }
    QTemporaryDir dir;
    QProcess *animation = startAnimation(qApp);
    QThread::msleep(1000); // the window mapped and painting before any cast starts
    const av::VideoSettings take = TakeWriter::videoSettings(1920, 1080);

    // The recorder; gst-launch at the preset alone (x264enc's own rate control and threads); gst
    // again with the take's encoder settings, so that what remains between those two is the
    // road's own.
    std::vector<Side> sides(3);
    sides[0].name = QStringLiteral("recorder");
    sides[0].recorder = true;
    sides[0].run = [&](const QString &movie) {
        return runMeasured(QStringLiteral("taskset"),
                           {QStringLiteral("-c"), cores, QStringLiteral(LUMACAST_MEDIA_PATH), QStringLiteral("record"),
                            movie, QStringLiteral("--seconds"), QString::number(seconds), QStringLiteral("--fps"),
                            QStringLiteral("60")});
    };
    sides[1].name = QStringLiteral("gst");
    sides[1].run = [&](const QString &movie) {
        return runGstOnce(cores, seconds, {QStringLiteral("speed-preset=%1").arg(take.preset)}, {}, movie);
    };
    sides[2].name = QStringLiteral("gstTakeSettings");
    sides[2].run = [&](const QString &movie) {
        return runGstOnce(cores, seconds,
                          {QStringLiteral("speed-preset=%1").arg(take.preset), QStringLiteral("tune=%1").arg(take.tune),
                           QStringLiteral("pass=quant"), QStringLiteral("quantizer=%1").arg(take.quantizer),
                           QStringLiteral("key-int-max=%1").arg(take.keyFrameInterval),
                           QStringLiteral("bframes=%1").arg(take.maxBFrames),
                           QStringLiteral("threads=%1").arg(take.threads)},
                          QStringLiteral(",profile=%1").arg(take.profile), movie);
    };

    // Rounds alternate the sides, each starting with the next one, and the figures are medians:
    // the same work costs noticeably more or less from one minute to the next on a shared
    // machine, and the compositor and the animated client are not pinned to the bench's cores.
    PortalBackend backend;
    bool measured = true; // our own side: a round it could not record ends the bench
    for (int round = 0; round < rounds && measured; ++round)
        for (size_t i = 0; i < sides.size() && measured; ++i) {
            Side &side = sides[(round + i) % sides.size()];
            const QString extension = side.recorder ? QStringLiteral("mov") : QStringLiteral("mp4"); // gst's mp4mux
            const QString movie = dir.filePath(QStringLiteral("%1-%2.%3").arg(side.name).arg(round).arg(extension));
            if (measureRound(side, backend, movie))
                continue;
            if (side.recorder)
                measured = false;
            else
                std::cerr << side.name.toStdString() << ": round " << round << " is missing from the comparison\n";
        }
    animation->kill();
    animation->waitForFinished();
    if (!measured)
        return 1;

    const double ours = median(sides[0].cpuPerFrame);
    QJsonArray missing; // comparison sides that measured no round at all
    for (const Side &side : sides)
        if (side.cpuPerFrame.empty())
            missing.append(side.name);
    // A picture the desktop did not replace is held: the take appends it again only when the
    // writer writes it anew, once a second, and at a pause or the end.
    bool appendsRepeats = false;
    for (size_t i = 0; i < sides[0].appended.size(); ++i)
        appendsRepeats = appendsRepeats || sides[0].appended[i] > sides[0].pictures[i] + seconds;
    constexpr double goal = 0.7;
    const QJsonValue ratio = ratioTo(ours, sides[1]);
    QJsonObject report{{QStringLiteral("seconds"), seconds},
                       {QStringLiteral("rounds"), rounds},
                       {QStringLiteral("cores"), cores},
                       {QStringLiteral("preset"), take.preset},
                       {QStringLiteral("cpuPerPictureRatio"), ratio},
                       {QStringLiteral("goalCpuPerPictureRatio"), goal},
                       {QStringLiteral("cpuPerPictureRatioToTakeSettings"), ratioTo(ours, sides[2])},
                       {QStringLiteral("missingSides"), missing},
                       {QStringLiteral("recorderFramesAppendedRounds"), rounded(sides[0].appended, 1)},
                       {QStringLiteral("recorderAppendsRepeats"), appendsRepeats},
                       {QStringLiteral("recorderPicturesSkipped"), sides[0].skipped},
                       {QStringLiteral("recorderPeakRssKiB"), double(sides[0].last.peakRssKiB)},
                       {QStringLiteral("recorderReport"), sides[0].lastReport}};
    for (const Side &side : sides) {
        report.insert(side.name + QStringLiteral("MsPerFrameRounds"), rounded(side.cpuPerFrame, 1000));
        report.insert(side.name + QStringLiteral("PicturesRounds"), rounded(side.pictures, 1));
        report.insert(side.name + QStringLiteral("FramesShownRounds"), rounded(side.shown, 1));
        if (side.cpuPerFrame.empty())
            continue;
        report.insert(side.name + QStringLiteral("MsPerFrameMedian"), std::round(median(side.cpuPerFrame) * 1e6) / 1000);
        report.insert(side.name + QStringLiteral("VideoMbitPerSecond"), videoMegabitsPerSecond(side.lastMovie));
        report.insert(side.name + QStringLiteral("ThreadMsPerFrame"), threadReport(side.last, side.lastCount));
    }
    std::cout << QJsonDocument(report).toJson(QJsonDocument::Indented).constData();
    // Our work failed when the recorder lost pictures the compositor delivered, repeated pictures
    // it should have held, or (above) stored nothing; or when it cost more than its goal, which
    // without gst's figure cannot be told.
    if (ratio.isNull())
        std::cerr << "no gst round measured: the ratio to its goal is unknown\n";
    else if (ratio.toDouble() > goal)
        std::cerr << "the recorder's CPU per picture is " << ratio.toDouble() << " of gst's, past its goal of " << goal
                  << "\n";
    if (appendsRepeats)
        std::cerr << "the recorder appended more frames than the pictures it received and one a second\n";
    return sides[0].skipped > 0 || appendsRepeats || ratio.isNull() || ratio.toDouble() > goal ? 1 : 0;
#endif
}

} // namespace

int main(int argc, char **argv)
{
    // Inside the Wayland rig the bench and its animated window are Wayland clients.
    if (argc > 1 && qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && !qEnvironmentVariableIsSet("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "wayland");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    const QString mode = args.value(0);
    if (mode == QLatin1String("animate")) {
        Animation window(args.value(1) != QLatin1String("still"));
        window.setFlags(Qt::FramelessWindowHint);
        window.setGeometry(0, 0, 1920, 1080);
        window.show();
        return app.exec();
    }
    if (mode == QLatin1String("grab"))
        return grab(args);
    if (mode == QLatin1String("record"))
        return record(args);
    if (mode == QLatin1String("wayland"))
        return wayland(args);
    std::cerr << "usage: capture-bench grab [--frames N] | record [--seconds S] [--cores LIST] | wayland [--seconds S] [--cores LIST]\n";
    return 2;
}
