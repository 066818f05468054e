// Takes through the desktop's screen sharing, run inside the headless Wayland rig (rig.sh): sway,
// PipeWire, the wlroots portal backend and the real portal frontend. The driver records as the
// application does; a native Wayland client shows a counter the takes are read back by.
#include "platform/pipewire/ScreenCastPortal.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <optional>
#include <set>
#include <vector>

using namespace lumacast;

namespace {

const QString kDriver = QStringLiteral(LUMACAST_BINARY_DIR "/bench/lumacast-media/lumacast-media");
constexpr int kStepMs = 50;
constexpr int kBeepAt = 40;

QString env(const char *name)
{
    return qEnvironmentVariable(name);
}

QByteArray run(const QString &program, const QStringList &args, int timeoutMs = 60000)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(timeoutMs);
    return p.readAllStandardOutput();
}

// The counter client on screen until the object goes.
class CounterClient {
public:
    explicit CounterClient(int stepMs = kStepMs, int beepAt = kBeepAt, bool xwayland = false)
    {
        QStringList args{QStringLiteral("--step-ms"), QString::number(stepMs), QStringLiteral("--beep-at"),
                         QString::number(beepAt)};
        if (xwayland) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("DISPLAY"), env("LUMACAST_WAYLAND_XDISPLAY"));
            m_process.setProcessEnvironment(environment);
            args << QStringLiteral("--x11");
        }
        m_process.start(QStringLiteral(LUMACAST_WAYLAND_COUNTER), args);
        for (int i = 0; i < 100 && !m_process.readAllStandardOutput().contains("ready"); ++i)
            m_process.waitForReadyRead(100);
    }
    ~CounterClient()
    {
        m_process.kill();
        m_process.waitForFinished(3000);
    }

private:
    QProcess m_process;
};

struct Take {
    int exitCode = -1;
    QJsonObject report;
    QString errors;
};

// The driver with settings of its own (no restore token from another test's take).
Take record(const QString &path, double seconds, int fps, std::function<void()> during = {})
{
    QProcess p;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), QFileInfo(path).absolutePath() + QStringLiteral("/config"));
    p.setProcessEnvironment(environment);
    p.start(kDriver, {QStringLiteral("record"), path, QStringLiteral("--seconds"), QString::number(seconds),
                      QStringLiteral("--fps"), QString::number(fps), QStringLiteral("--mic"), QStringLiteral("mic")});
    if (during)
        during();
    p.waitForFinished(int(seconds * 1000) + 60000);
    Take take;
    take.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    take.errors = QString::fromUtf8(p.readAllStandardError());
    const QByteArray out = p.readAllStandardOutput().trimmed();
    take.report = QJsonDocument::fromJson(out.mid(out.lastIndexOf('\n') + 1)).object();
    return take;
}

struct Picture {
    double time = 0; // seconds on the movie's timeline
    int counter = 0;
};

// Every stored frame of the take, its time and the counter it shows.
std::vector<Picture> readPictures(const QString &path)
{
    // One line a frame; frames with side data add an empty line and a trailing comma.
    std::vector<double> times;
    const QByteArray listing =
        run(QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                                        QStringLiteral("v:0"), QStringLiteral("-show_entries"),
                                        QStringLiteral("frame=best_effort_timestamp_time"), QStringLiteral("-of"),
                                        QStringLiteral("csv=p=0"), path});
    for (const QByteArray &line : listing.split('\n')) {
        if (!line.trimmed().isEmpty())
            times.push_back(line.split(',').front().toDouble());
    }
    // The band of squares, a quarter of its size: 480x100 grey pixels a frame.
    const QByteArray grey = run(QStringLiteral("ffmpeg"),
                                {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                                 QStringLiteral("-map"), QStringLiteral("0:v:0"), QStringLiteral("-fps_mode"),
                                 QStringLiteral("passthrough"), QStringLiteral("-vf"),
                                 QStringLiteral("crop=1920:400:0:0,scale=480:100"), QStringLiteral("-f"),
                                 QStringLiteral("rawvideo"), QStringLiteral("-pix_fmt"), QStringLiteral("gray"),
                                 QStringLiteral("pipe:")});
    const int frameBytes = 480 * 100;
    std::vector<Picture> pictures;
    for (int f = 0; (f + 1) * frameBytes <= grey.size(); ++f) {
        Picture picture;
        picture.time = size_t(f) < times.size() ? times[size_t(f)] : -1;
        for (int bit = 0; bit < 12; ++bit) {
            const uchar v = uchar(grey[f * frameBytes + 65 * 480 + 40 + 35 * bit]);
            picture.counter = (picture.counter << 1) | (v > 128 ? 1 : 0);
        }
        pictures.push_back(picture);
    }
    return pictures;
}

// When the microphone track first carries the tone, in seconds on the movie's timeline.
std::optional<double> toneOnset(const QString &path)
{
    const double start = run(QStringLiteral("ffprobe"),
                             {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                              QStringLiteral("a:0"), QStringLiteral("-show_entries"), QStringLiteral("stream=start_time"),
                              QStringLiteral("-of"), QStringLiteral("csv=p=0"), path})
                             .trimmed()
                             .toDouble();
    const QByteArray pcm = run(QStringLiteral("ffmpeg"),
                               {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), path,
                                QStringLiteral("-map"), QStringLiteral("0:a:0"), QStringLiteral("-ac"), QStringLiteral("1"),
                                QStringLiteral("-ar"), QStringLiteral("48000"), QStringLiteral("-f"),
                                QStringLiteral("f32le"), QStringLiteral("pipe:")});
    const auto *samples = reinterpret_cast<const float *>(pcm.constData());
    const qsizetype count = pcm.size() / qsizetype(sizeof(float));
    for (qsizetype i = 0; i < count; ++i) {
        if (std::fabs(samples[i]) > 0.1f)
            return start + double(i) / 48000;
    }
    return std::nullopt;
}

bool hasBusName(const QString &name)
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(name).value();
}

// The wlroots portal backend, run by the test in place of the rig's with a configuration of its
// own; the rig's (no chooser) comes back when it goes.
class Backend {
public:
    Backend(const QString &binary, const QString &config)
    {
        replaceRunning();
        m_dir.reset(new QTemporaryDir);
        QFile file(m_dir->filePath(QStringLiteral("config")));
        file.open(QIODevice::WriteOnly);
        file.write(config.toUtf8());
        file.close();
        start(binary, file.fileName());
    }
    ~Backend()
    {
        replaceRunning();
        start(env("LUMACAST_WAYLAND_PORTAL_BACKEND"),
              QDir(env("XDG_CONFIG_HOME")).filePath(QStringLiteral("xdg-desktop-portal-wlr/config")));
    }

    static QString chooserConfig(const QString &command)
    {
        return QStringLiteral("[screencast]\nmax_fps=60\nchooser_type=simple\nchooser_cmd=%1\n").arg(command);
    }

private:
    static inline QProcess *s_running = nullptr;

    static void replaceRunning()
    {
        if (s_running) {
            s_running->kill();
            s_running->waitForFinished(3000);
            delete s_running;
            s_running = nullptr;
        } else if (const int rigs = env("LUMACAST_WAYLAND_BACKEND_PID").toInt(); rigs > 0) {
            ::kill(rigs, SIGTERM); // the rig's own, started for this run
            qputenv("LUMACAST_WAYLAND_BACKEND_PID", "0");
        }
        for (int i = 0; i < 50 && hasBusName(QStringLiteral("org.freedesktop.impl.portal.desktop.wlr")); ++i)
            QThread::msleep(100);
    }

    static void start(const QString &binary, const QString &config)
    {
        s_running = new QProcess;
        s_running->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        s_running->start(binary, {QStringLiteral("-r"), QStringLiteral("-c"), config});
        for (int i = 0; i < 100 && !hasBusName(QStringLiteral("org.freedesktop.impl.portal.desktop.wlr")); ++i)
            QThread::msleep(100);
    }

    std::unique_ptr<QTemporaryDir> m_dir;
};

class ScreenCast : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (env("WAYLAND_DISPLAY").isEmpty())
            GTEST_SKIP() << "not inside the Wayland rig (run through tests/wayland/rig.sh)";
        ASSERT_TRUE(m_dir.isValid());
    }
    QString file(const QString &name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

// A native client's counter, read back frame by frame: no change the compositor showed is
// missing, the pictures move forward in time at the take's rate or faster, and the tone the
// client plays as it shows its 40th count is heard with it.
TEST_F(ScreenCast, TakeOfANativeClientHasEveryCountInOrderAndItsSound)
{
    CounterClient client;
    const Take take = record(file(QStringLiteral("counter.mov")), 4, 30);
    ASSERT_EQ(take.exitCode, 0) << qPrintable(take.errors);
    EXPECT_EQ(take.report.value(QStringLiteral("road")).toString().contains(QStringLiteral("Wayland")), true);

    const std::vector<Picture> pictures = readPictures(file(QStringLiteral("counter.mov")));
    ASSERT_GT(pictures.size(), 100u); // 4 s at 30 frames a second at least
    for (size_t i = 1; i < pictures.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_GE(pictures[i].counter, pictures[i - 1].counter);
        EXPECT_LE(pictures[i].counter, pictures[i - 1].counter + 1) << "a count shown on screen is missing";
        EXPECT_GT(pictures[i].time, pictures[i - 1].time);
        EXPECT_LT(pictures[i].time - pictures[i - 1].time, 0.1); // three frames at most, on a loaded machine
    }
    const int counts = pictures.back().counter - pictures.front().counter;
    EXPECT_NEAR(counts, 4000 / kStepMs, 20);

    const auto shown = std::find_if(pictures.begin(), pictures.end(), [](const Picture &p) { return p.counter >= kBeepAt; });
    const std::optional<double> heard = toneOnset(file(QStringLiteral("counter.mov")));
    ASSERT_NE(shown, pictures.end());
    ASSERT_TRUE(heard.has_value()) << "the tone is not in the take";
    EXPECT_NEAR(*heard, shown->time, 0.2) << "picture and sound drift apart";
}

// An X11 window of XWayland is in the cast too, and its pixels (which carry alpha 0) come out.
TEST_F(ScreenCast, TakeOfAnXWaylandWindowHasItsCounts)
{
    if (env("LUMACAST_WAYLAND_XDISPLAY").isEmpty())
        GTEST_SKIP() << "sway runs without XWayland here (the xwayland package is missing)";
    CounterClient client(kStepMs, -1, true);
    const Take take = record(file(QStringLiteral("xwayland.mov")), 3, 30);
    ASSERT_EQ(take.exitCode, 0) << qPrintable(take.errors);
    const std::vector<Picture> pictures = readPictures(file(QStringLiteral("xwayland.mov")));
    ASSERT_GT(pictures.size(), 60u);
    EXPECT_NEAR(pictures.back().counter - pictures.front().counter, 3000 / kStepMs, 15);
    // XWayland may merge two of the client's paints into one picture of its own, so a count can
    // be missing on screen already; the take may not go backwards or lose many.
    std::set<int> seen;
    for (size_t i = 0; i < pictures.size(); ++i) {
        seen.insert(pictures[i].counter);
        if (i > 0) {
            EXPECT_GE(pictures[i].counter, pictures[i - 1].counter) << "at frame " << i;
        }
    }
    EXPECT_GE(double(seen.size()), 0.9 * (pictures.back().counter - pictures.front().counter + 1));
}

// The compositor sends nothing while nothing changes: the take still runs at its rate.
TEST_F(ScreenCast, StillScreenStillMakesATakeAtItsRate)
{
    CounterClient client(60000, -1);
    const Take take = record(file(QStringLiteral("still.mov")), 3, 30);
    ASSERT_EQ(take.exitCode, 0) << qPrintable(take.errors);
    const std::vector<Picture> pictures = readPictures(file(QStringLiteral("still.mov")));
    EXPECT_GE(pictures.size(), size_t(3 * 30 * 0.85));
    EXPECT_NEAR(take.report.value(QStringLiteral("duration")).toDouble(), 3.0, 0.3);
    for (size_t i = 1; i < pictures.size(); ++i)
        EXPECT_LT(pictures[i].time - pictures[i - 1].time, 0.1) << "at frame " << i;
}

// The desktop's chooser dismissed, and the desktop failing to share: no take, and a message
// that speaks of the desktop's screen sharing.
TEST_F(ScreenCast, DismissedAndFailedChooserMakeNoTakeAndSaySo)
{
    {
        Backend dismissing(env("LUMACAST_WAYLAND_PORTAL_BACKEND"), Backend::chooserConfig(QStringLiteral("false")));
        pipewire::ScreenCastPortal portal;
        try {
            portal.start({});
            ADD_FAILURE() << "a dismissed chooser started a cast";
        } catch (const pipewire::PortalError &e) {
            EXPECT_EQ(e.kind(), pipewire::PortalError::Kind::cancelled) << qPrintable(e.message());
            EXPECT_TRUE(e.message().contains(QStringLiteral("screen sharing"))) << qPrintable(e.message());
        }
        const Take take = record(file(QStringLiteral("dismissed.mov")), 1, 30);
        EXPECT_NE(take.exitCode, 0);
        EXPECT_TRUE(take.errors.contains(QStringLiteral("desktop's screen sharing"))) << qPrintable(take.errors);
        EXPECT_FALSE(QFile::exists(file(QStringLiteral("dismissed.mov"))));
    }
    // Debian 12's own backend cannot cast without a GPU: the portal reports the request failed.
    const QString debians = QStringLiteral("/usr/libexec/xdg-desktop-portal-wlr");
    if (debians == env("LUMACAST_WAYLAND_PORTAL_BACKEND"))
        GTEST_SKIP() << "this release's backend casts without a GPU, so it cannot be made to fail here";
    Backend failing(debians, QStringLiteral("[screencast]\nchooser_type=none\noutput_name=HEADLESS-1\n"));
    pipewire::ScreenCastPortal portal;
    try {
        portal.start({});
        ADD_FAILURE() << "a failing backend started a cast";
    } catch (const pipewire::PortalError &e) {
        EXPECT_EQ(e.kind(), pipewire::PortalError::Kind::failed) << qPrintable(e.message());
        EXPECT_TRUE(e.message().contains(QStringLiteral("screen sharing"))) << qPrintable(e.message());
    }
}

// A token the desktop does not know asks the chooser once and gives a new token; the new token
// then brings the same choice back without the chooser.
TEST_F(ScreenCast, RestoreTokenAsksOnceThenNotAgain)
{
    const QString asked = file(QStringLiteral("asked"));
    Backend counting(env("LUMACAST_WAYLAND_PORTAL_BACKEND"),
                     Backend::chooserConfig(QStringLiteral("sh -c 'echo >>%1; echo HEADLESS-1'").arg(asked)));
    const auto timesAsked = [&] {
        QFile f(asked);
        return f.open(QIODevice::ReadOnly) ? int(f.readAll().count('\n')) : 0;
    };
    pipewire::CastRequest request;
    request.restoreToken = QStringLiteral("a-token-this-desktop-never-gave");
    std::optional<QString> token;
    {
        pipewire::ScreenCastPortal portal;
        const pipewire::CastStream stream = portal.start(request);
        EXPECT_GT(stream.nodeId, 0u);
        EXPECT_EQ(timesAsked(), 1);
        token = stream.restoreToken;
    }
    ASSERT_TRUE(token.has_value());
    EXPECT_NE(*token, *request.restoreToken);
    request.restoreToken = token;
    pipewire::ScreenCastPortal again;
    const pipewire::CastStream restored = again.start(request);
    EXPECT_GT(restored.nodeId, 0u);
    EXPECT_EQ(timesAsked(), 1) << "the chooser was asked although the choice was restored";
}

// PipeWire, then the compositor, going away mid-take: the driver reports the stream error and
// the take so far is kept as a playable movie. Each takes part of the rig down, so each runs in
// a rig of its own (see CMakeLists.txt).
void expectKeptAfterLosing(const QString &path, const char *pidVariable)
{
    const int pid = env(pidVariable).toInt();
    ASSERT_GT(pid, 0) << pidVariable << " not set by the rig";
    CounterClient client;
    const Take take = record(path, 6, 30, [pid] {
        QThread::msleep(2500);
        ::kill(pid, SIGKILL);
    });
    EXPECT_NE(take.exitCode, 0);
    EXPECT_TRUE(take.errors.contains(QStringLiteral("stream error"))) << qPrintable(take.errors);
    ASSERT_TRUE(QFile::exists(path)) << qPrintable(take.errors);
    const std::vector<Picture> pictures = readPictures(path);
    EXPECT_GT(pictures.size(), 30u) << "the take so far was not kept";
    ASSERT_FALSE(pictures.empty());
    EXPECT_GT(pictures.back().time, 1.0);
}

TEST_F(ScreenCast, LastPipeWireGoingAwayKeepsTheTakeSoFar)
{
    expectKeptAfterLosing(file(QStringLiteral("pipewire-gone.mov")), "LUMACAST_WAYLAND_PIPEWIRE_PID");
}

TEST_F(ScreenCast, LastCompositorGoingAwayKeepsTheTakeSoFar)
{
    expectKeptAfterLosing(file(QStringLiteral("compositor-gone.mov")), "LUMACAST_WAYLAND_SWAY_PID");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
