// The review player and pane on real takes: a take written by the take writer (a 440 Hz
// microphone tone and an 880 Hz system-audio tone), played into the rig's PulseAudio server and
// shown on its X server.
#include "capture/TakeTestSupport.h"
#include "ReviewDoubles.h"
#include "support/MonitorRecorder.h"
#include "support/WhiteFrameWatch.h"
#include "support/ToneAnalysis.h"

#include "platform/av/FilmstripGenerator.h"
#include "platform/av/MoviePlayer.h"
#include "review/PlayerPane.h"
#include "review/ReviewPlayback.h"
#include "review/TrimBar.h"
#include "review/VideoFrameView.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QScreen>
#include <QTest>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

using namespace lumacast;

namespace {

class ReviewPlayerRig : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new QTemporaryDir;
        path = QDir(dir->path()).filePath(QStringLiteral("take.mov"));
        taketest::SyntheticTake take;
        take.width = 320, take.height = 240, take.fps = 30, take.seconds = 4;
        take.systemAudio = true, take.systemToneHz = 880;
        writtenDuration = taketest::writeTake(path, take);
    }
    static void TearDownTestSuite() { delete dir; }

    void SetUp() override
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            GTEST_SKIP() << "needs the rig's X server and PulseAudio";
        ASSERT_TRUE(writtenDuration);
    }

    // Loads the take and waits until the player knows its duration.
    void load(av::MoviePlayer &player)
    {
        QSignalSpy loaded(&player, &av::Player::itemLoaded);
        player.replaceCurrentItem(path);
        ASSERT_TRUE(loaded.wait(5000));
        EXPECT_NEAR(loaded.at(0).at(1).toDouble(), *writtenDuration, 0.05);
        EXPECT_EQ(loaded.at(0).at(2).toInt(), 2);
    }

    void seekAndWait(av::MoviePlayer &player, double seconds)
    {
        bool done = false;
        player.seek(av::MediaTime::fromSeconds(seconds, 600), [&](bool) { done = true; });
        QElapsedTimer timer;
        timer.start();
        while (!done && timer.elapsed() < 5000)
            QTest::qWait(5);
        ASSERT_TRUE(done);
    }

    // An idle null sink renders seconds ahead and plays a new stream only after that block; a
    // listener at a short latency keeps it playing in real time, as a sound card does. The
    // player's clock follows the sound, so without one playback would wait for the block.
    static void listenToSpeaker(lumacast::testing::MonitorRecorder &listener)
    {
        ASSERT_TRUE(listener.start());
        QElapsedTimer timer;
        timer.start();
        while (listener.sampleCount() == 0 && timer.elapsed() < 5000)
            QTest::qWait(5);
        ASSERT_GT(listener.sampleCount(), 0) << "the speaker's monitor sends nothing";
        QTest::qWait(300);
    }

    static inline QTemporaryDir *dir = nullptr;
    static inline QString path;
    static inline std::optional<double> writtenDuration;
};

} // namespace

TEST_F(ReviewPlayerRig, SeeksExactlyAndStopsAtTheTrimEndWithinOneFrame)
{
    av::MoviePlayer player;
    load(player);
    // Frames are 1/30 s long: the picture shown is the one whose interval holds the time.
    const struct {
        double seek, frame;
    } seeks[] = {{1.0, 1.0}, {1.01, 1.0}, {1.0 - 1.0 / 600, 29.0 / 30}, {2.5, 2.5}};
    for (const auto &c : seeks) {
        seekAndWait(player, c.seek);
        EXPECT_EQ(player.currentFrameTime(), av::MediaTime::fromSeconds(c.frame, 30)) << c.seek;
        EXPECT_EQ(player.currentTime(), av::MediaTime::fromSeconds(c.seek, 600));
    }

    const av::MediaTime trimEnd = av::MediaTime::fromSeconds(2.0, 600);
    player.setForwardPlaybackEndTime(trimEnd);
    seekAndWait(player, 1.5);
    lumacast::testing::MonitorRecorder listener;
    ASSERT_NO_FATAL_FAILURE(listenToSpeaker(listener));
    QSignalSpy ended(&player, &av::Player::playedToEnd);
    QElapsedTimer clock;
    clock.start();
    player.play();
    ASSERT_TRUE(ended.wait(5000));
    const double wall = clock.elapsed() / 1000.0;
    EXPECT_EQ(player.currentTime(), trimEnd);
    EXPECT_FALSE(player.isPlaying());
    // The last picture of the kept range is shown, not the first one after it.
    EXPECT_EQ(player.currentFrameTime(), av::MediaTime::fromSeconds(2.0 - 1.0 / 30, 30));
    EXPECT_GE(wall, 0.5 - 1.0 / 30);
    EXPECT_LE(wall, 0.5 + 0.25) << "start-up plus the stop took too long";
}

TEST_F(ReviewPlayerRig, MixesTheSystemTrackAtItsLevelWhilePlaying)
{
    av::MoviePlayer player;
    load(player);
    QProcess recorder;
    recorder.start(QStringLiteral("parec"), {QStringLiteral("--device=speaker.monitor"), QStringLiteral("--raw"),
                                             QStringLiteral("--format=float32le"), QStringLiteral("--rate=48000"),
                                             QStringLiteral("--channels=1"), QStringLiteral("--latency-msec=20")});
    QSignalSpy heard(&recorder, &QProcess::readyReadStandardOutput);
    ASSERT_TRUE(recorder.waitForStarted(5000));
    // While nothing plays, the rig's null sink mixes in blocks of up to two seconds: a recorder
    // that has just connected gets nothing until the block ends, and sound played meanwhile is
    // never recorded. Its first data shows the sink runs at the recorder's short latency.
    ASSERT_TRUE(recorder.bytesAvailable() > 0 || heard.wait(5000)) << "the speaker's monitor sends nothing";
    player.setAudioMix({1.0f, 0.25f});
    player.play();
    QTest::qWait(1800);
    player.setAudioMix({1.0f, 1.0f}); // live, without stopping
    QTest::qWait(1800);
    player.pause();
    QTest::qWait(300);
    recorder.terminate();
    recorder.waitForFinished(5000);
    const QByteArray raw = recorder.readAllStandardOutput();
    std::vector<float> samples(size_t(raw.size()) / sizeof(float));
    std::memcpy(samples.data(), raw.constData(), samples.size() * sizeof(float));

    // The ratio of the system tone to the microphone tone, window by window (a quarter second).
    std::vector<double> ratios;
    const size_t window = 12000;
    for (size_t at = 0; at + window <= samples.size(); at += window) {
        const std::vector<float> part(samples.begin() + long(at), samples.begin() + long(at + window));
        const double mic = lumacast::testing::toneAmplitude(part, 48000, 440);
        if (mic > 0.05)
            ratios.push_back(lumacast::testing::toneAmplitude(part, 48000, 880) / mic);
    }
    // 3.6 s were played: both levels must be well inside the recording.
    ASSERT_GE(ratios.size(), 10u) << "too little sound reached the speaker";
    EXPECT_NEAR(ratios[1], 0.25, 0.06);
    EXPECT_NEAR(ratios[ratios.size() - 2], 1.0, 0.15);
    // The new level holds from one sample on: only the window around the change mixes the two.
    EXPECT_LE(std::count_if(ratios.begin(), ratios.end(), [](double r) { return r > 0.31 && r < 0.85; }), 1);
}

// A movie with a white frame and a click together at 1 s and 2 s, played from the start with a
// pause between the marks: each click reaches the speaker's monitor with its picture, and the
// pause holds the playhead where it was.
TEST_F(ReviewPlayerRig, SoundIsHeardWithItsPictureAcrossAPause)
{
    using Clock = std::chrono::steady_clock;
    const QString marked = QDir(dir->path()).filePath(QStringLiteral("marks.mov"));
    ASSERT_EQ(lumacast::testing::makeMarkedMovie(marked, 3), QString());
    av::MoviePlayer player;
    std::vector<Clock::time_point> whites;
    lumacast::testing::watchWhiteFrames(player, whites);
    QSignalSpy loaded(&player, &av::Player::itemLoaded);
    player.replaceCurrentItem(marked);
    ASSERT_TRUE(loaded.wait(5000));
    lumacast::testing::MonitorRecorder listener;
    ASSERT_NO_FATAL_FAILURE(listenToSpeaker(listener));
    const std::int64_t settled = listener.sampleCount();

    QSignalSpy ended(&player, &av::Player::playedToEnd);
    player.play();
    QElapsedTimer timer;
    timer.start();
    while (player.currentTime().seconds() < 1.5 && timer.elapsed() < 5000)
        QTest::qWait(5);
    player.pause();
    const double pausedAt = player.currentTime().seconds();
    EXPECT_NEAR(pausedAt, 1.5, 0.1);
    QTest::qWait(300);
    EXPECT_EQ(player.currentTime().seconds(), pausedAt) << "the pause moved the playhead";
    player.play();
    ASSERT_TRUE(ended.wait(5000));
    QTest::qWait(200);
    listener.stop();

    const std::vector<std::int64_t> clicks = lumacast::testing::burstStarts(listener.samples(), settled);
    ASSERT_EQ(whites.size(), 2u);
    ASSERT_EQ(clicks.size(), 2u) << "the speaker did not hear both clicks";
    for (size_t i = 0; i < 2; ++i) {
        // Sound against picture here is a few milliseconds (a 5 ms clock tick, the sink's 2 ms
        // blocks). A clock that ran by the sound handed over (82 ms ahead of what is heard) or a
        // resume from the wrong place is off by far more.
        const double offset = std::chrono::duration<double>(listener.sampleTime(clicks[i], settled) - whites[i]).count();
        EXPECT_LT(std::fabs(offset), 0.06) << "mark " << i + 1 << ": sound minus picture " << offset << " s";
    }
}

// A take of a screen that stands still: one sample held a second, and a take that ends on one.
// A seek into the middle of a held sample shows its picture, and so does the filmstrip there;
// playing shows it for all of its second and goes on, sound and all, to the end without a stall.
TEST_F(ReviewPlayerRig, HeldPicturesShowForTheirWholeSampleAndPlayToTheEnd)
{
    taketest::SyntheticTake take;
    take.width = 320, take.height = 240, take.fps = 30, take.seconds = 3;
    take.holds = {{0.5, 1.5}, {2.0, 3.0}};
    const QString held = QDir(dir->path()).filePath(QStringLiteral("held.mov"));
    const std::optional<double> duration = taketest::writeTake(held, take);
    ASSERT_TRUE(duration);
    av::MoviePlayer player;
    QSignalSpy loaded(&player, &av::Player::itemLoaded);
    player.replaceCurrentItem(held);
    ASSERT_TRUE(loaded.wait(5000));
    // The held sample starts at frame 15 (grey 75) and 60 (grey 300 % 256).
    const struct {
        double seek, frame;
        int grey;
    } seeks[] = {{1.0, 0.5, 75}, {1.49, 0.5, 75}, {2.6, 2.0, 44}};
    for (const auto &c : seeks) {
        seekAndWait(player, c.seek);
        EXPECT_EQ(player.currentFrameTime(), av::MediaTime::fromSeconds(c.frame, 30)) << c.seek;
        const QImage shown = player.currentFrame();
        ASSERT_FALSE(shown.isNull()) << c.seek;
        EXPECT_NEAR(qGray(shown.pixel(shown.width() / 2, shown.height() / 2)), c.grey, 8) << c.seek;
    }

    seekAndWait(player, 0.3);
    lumacast::testing::MonitorRecorder listener;
    ASSERT_NO_FATAL_FAILURE(listenToSpeaker(listener));
    const std::int64_t settled = listener.sampleCount();
    QSignalSpy ended(&player, &av::Player::playedToEnd);
    QElapsedTimer clock;
    clock.start();
    player.play();
    std::vector<std::pair<double, double>> seen; // playhead, picture shown
    while (ended.isEmpty() && clock.elapsed() < 6000) {
        QTest::qWait(10);
        seen.emplace_back(player.currentTime().seconds(), player.currentFrameTime().seconds());
    }
    ASSERT_FALSE(ended.isEmpty());
    EXPECT_NEAR(clock.elapsed() / 1000.0, *duration - 0.3, 0.3) << "start-up plus the stop took too long";
    EXPECT_EQ(player.currentFrameTime(), av::MediaTime::fromSeconds(2.0 + 29.0 / 30, 30)) << "the take's last picture";
    for (const auto &[at, frame] : seen) {
        if ((at > 0.55 && at < 1.45) || (at > 2.05 && at < 2.9)) {
            EXPECT_EQ(frame, at < 2 ? 0.5 : 2.0) << "at " << at;
        }
    }
    QTest::qWait(200);
    listener.stop();

    // The filmstrip's pictures at 1.25 s and 2.25 s are the held ones shown there.
    QList<QImage> strip;
    bool complete = false;
    QObject context;
    av::FilmstripGenerator strips(held, *duration, 6, QSize(160, 160), &context, [&](QList<QImage> images, bool whole) {
        strip = std::move(images);
        complete = whole;
    });
    QElapsedTimer waited;
    waited.start();
    while (!complete && waited.elapsed() < 5000)
        QTest::qWait(10);
    ASSERT_EQ(strip.size(), 6);
    for (const auto &[index, grey] : {std::pair{2, 75}, std::pair{4, 44}})
        EXPECT_NEAR(qGray(strip[index].pixel(strip[index].width() / 2, strip[index].height() / 2)), grey, 8) << index;

    // The tone was heard from the seek to the end, in 10 ms windows.
    const std::vector<float> heard = listener.samples();
    int toneWindows = 0;
    for (std::size_t at = std::size_t(settled); at + 480 <= heard.size(); at += 480)
        toneWindows += lumacast::testing::toneAmplitude({heard.begin() + long(at), heard.begin() + long(at + 480)},
                                                        48000, 440) > 0.1;
    EXPECT_NEAR(toneWindows / 100.0, *duration - 0.3, 0.1);
}

TEST_F(ReviewPlayerRig, PaneShowsTheTakeWithSixteenThumbnails)
{
    av::MoviePlayer player;
    load(player);
    double trimStart = 0.5, trimEnd = 3.0;
    review::PlayerPaneInputs inputs;
    inputs.player = &player;
    inputs.trimStart = {[&] { return trimStart; }, [&](double v) { trimStart = v; }};
    inputs.trimEnd = {[&] { return trimEnd; }, [&](double v) { trimEnd = v; }};
    inputs.takeDuration = *writtenDuration;
    inputs.canRecordTail = true;
    review::PlayerPane pane;
    pane.resize(900, 520);
    pane.show();
    QSignalSpy thumbnails(pane.trimBar(), &review::TrimBar::thumbnailsChanged);
    pane.setInputs(inputs);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    ASSERT_TRUE(thumbnails.wait(10000));
    ASSERT_EQ(pane.trimBar()->thumbnails().size(), 16);
    for (const QImage &image : pane.trimBar()->thumbnails())
        EXPECT_TRUE(image.width() <= 160 && image.height() <= 160);
    seekAndWait(player, 1.0);
    QTest::qWait(100);
    EXPECT_EQ(pane.emptyStateTitle(), QString());
    const QString shot = QStringLiteral(LUMACAST_BINARY_DIR "/tests/review/player-pane.png");
    EXPECT_TRUE(pane.grab().save(shot));

    // A tail operation dims the bar and makes it ignore input; without a player the message shows.
    inputs.trimEditingEnabled = false;
    pane.setInputs(inputs);
    EXPECT_FALSE(pane.trimBar()->isEnabled());
    inputs.player = nullptr;
    inputs.showNoTakesMessage = true;
    pane.setInputs(inputs);
    EXPECT_EQ(pane.emptyStateTitle(), QStringLiteral("No takes yet"));
    EXPECT_FALSE(pane.trimBar()->isVisibleTo(&pane));
}

// The whole picture shows, fitted and letterboxed, above the trim bar at every size of the pane:
// 640x372 is what the review window gives it at its default 900x420.
TEST_F(ReviewPlayerRig, WholePictureShowsAboveTheTrimBarAtEverySize)
{
    av::MoviePlayer player;
    load(player);
    double trimStart = 0.0, trimEnd = 3.0;
    review::PlayerPaneInputs inputs;
    inputs.player = &player;
    inputs.trimStart = {[&] { return trimStart; }, [&](double v) { trimStart = v; }};
    inputs.trimEnd = {[&] { return trimEnd; }, [&](double v) { trimEnd = v; }};
    inputs.takeDuration = *writtenDuration;
    // In a window whose own minimum size wins over its layout's, as the review window's does.
    QWidget window;
    window.setWindowFlags(Qt::FramelessWindowHint);
    window.setMinimumSize(100, 100);
    auto *column = new QVBoxLayout(&window);
    column->setContentsMargins(0, 0, 0, 0);
    auto *paneInWindow = new review::PlayerPane(&window);
    column->addWidget(paneInWindow);
    review::PlayerPane &pane = *paneInWindow;
    pane.setInputs(inputs);
    window.resize(640, 372);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    seekAndWait(player, 1.0); // frame 30: every pixel 150

    const QSize sizes[] = {{640, 372}, {640, 300}, {1280, 720}, {500, 900}};
    for (const QSize &size : sizes) {
        SCOPED_TRACE(::testing::Message() << size.width() << "x" << size.height());
        window.resize(size);
        QTest::qWait(150);
        const review::VideoFrameView *view = pane.videoView();
        const QRect picture = view->pictureRect().translated(view->mapTo(&pane, QPoint()));
        const QRect shown = QRect(view->mapTo(&pane, QPoint()), view->size());
        const int barTop = pane.trimBar()->parentWidget()->mapTo(&pane, QPoint()).y();
        ASSERT_FALSE(picture.isEmpty());
        ASSERT_EQ(pane.size(), size);
        EXPECT_TRUE(pane.rect().contains(picture));
        EXPECT_LE(picture.bottom(), barTop - 1);
        EXPECT_LE(shown.bottom(), barTop - 1); // the view itself is not under the bar
        EXPECT_NEAR(picture.width() * 3, picture.height() * 4, 8); // 320x240 keeps its shape
        EXPECT_TRUE(picture.width() >= shown.width() - 1 || picture.height() >= shown.height() - 1);

        // On the X server's screen: the picture's top and bottom rows, not the bar's colour.
        const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
        const QPoint origin = pane.mapToGlobal(QPoint());
        for (const int y : {picture.top() + 1, picture.bottom() - 1}) {
            const QColor c = screen.pixelColor(origin + QPoint(picture.center().x(), y));
            EXPECT_NEAR(c.red(), 150, 12) << "row " << y;
            EXPECT_NEAR(c.blue(), 150, 12) << "row " << y;
        }
    }
}

namespace {

// Counts the events of some types an object receives.
class EventCounter : public QObject {
public:
    EventCounter(QObject *watched, std::initializer_list<QEvent::Type> types) : m_types(types)
    {
        watched->installEventFilter(this);
    }
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (std::find(m_types.begin(), m_types.end(), event->type()) != m_types.end())
            ++count;
        return false;
    }

private:
    std::vector<QEvent::Type> m_types;
};

} // namespace

// A paused review window does nothing: its player tells no time and its trim bar neither paints
// nor restyles; while playing, the tail control is not restyled per tick either. Counted, not
// timed.
TEST_F(ReviewPlayerRig, APausedReviewCostsNothingAndTicksRestyleNothing)
{
    av::MoviePlayer player;
    load(player);
    double trimStart = 0.0, trimEnd = 3.0;
    review::PlayerPaneInputs inputs;
    inputs.player = &player;
    inputs.trimStart = {[&] { return trimStart; }, [&](double v) { trimStart = v; }};
    inputs.trimEnd = {[&] { return trimEnd; }, [&](double v) { trimEnd = v; }};
    inputs.takeDuration = *writtenDuration;
    inputs.canRecordTail = true;
    review::PlayerPane pane;
    pane.resize(900, 520);
    pane.show();
    QSignalSpy thumbnails(pane.trimBar(), &review::TrimBar::thumbnailsChanged);
    pane.setInputs(inputs);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    ASSERT_TRUE(thumbnails.wait(10000));
    auto *tail = pane.trimBar()->findChild<QPushButton *>();
    ASSERT_TRUE(tail && tail->isVisible());
    int reports = 0;
    const int token = player.addPeriodicTimeObserver(av::MediaTime(30, 600), [&](const av::MediaTime &) { ++reports; });
    QTest::qWait(300); // the thumbnails and the first pictures settle

    EventCounter paints(pane.trimBar(), {QEvent::Paint});
    EventCounter restyles(tail, {QEvent::StyleChange, QEvent::Polish});
    reports = 0;
    QTest::qWait(600);
    EXPECT_EQ(reports, 0) << "a paused player tells the time";
    EXPECT_EQ(paints.count, 0) << "the trim bar paints while nothing moves";

    lumacast::testing::MonitorRecorder listener;
    ASSERT_NO_FATAL_FAILURE(listenToSpeaker(listener));
    player.play();
    QTest::qWait(600);
    player.pause();
    EXPECT_GT(reports, 5) << "the observer stopped while playing";
    EXPECT_GT(paints.count, 5);
    EXPECT_EQ(restyles.count, 0) << "the tail control is restyled per tick";
    QTest::qWait(100);
    reports = 0;
    QTest::qWait(300);
    EXPECT_EQ(reports, 0);
    player.removeTimeObserver(token);
}

// Playback reaching the trim end of a checked take goes on with the next checked take every
// time, with the trim bar's observer running beside the player's own end check. The end sits on
// the 1/600 s grid, where the bar once paused first about one end in ten.
TEST_F(ReviewPlayerRig, ContinuousPlaybackNeverStopsAtATrimEnd)
{
    QTemporaryDir sessionDir;
    QDir(sessionDir.path()).mkpath(QStringLiteral("takes"));
    Session session;
    session.scratchURL = sessionDir.path();
    for (const char *name : {"a.mov", "b.mov"}) {
        ASSERT_TRUE(QFile::copy(path, QDir(sessionDir.path()).filePath(QStringLiteral("takes/") + name)));
        RecordingScene scene;
        scene.id = QUuid::createUuid();
        Take take;
        take.id = QUuid::createUuid();
        take.filename = QString::fromLatin1(name);
        take.duration = *writtenDuration;
        take.trimEnd = name[0] == 'a' ? 1.0 : *writtenDuration;
        scene.takes.append(take);
        scene.selectedTakeID = take.id;
        session.scenes.append(scene);
    }
    reviewtest::HostDouble host;
    host.session = session;
    review::ReviewPlayback playback(host);
    review::PlayerPane pane;
    pane.resize(900, 520);
    QObject::connect(&playback, &review::ReviewPlayback::changed, &pane,
                     [&] { pane.setInputs(playback.paneInputs(false)); });
    pane.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    lumacast::testing::MonitorRecorder listener;
    ASSERT_NO_FATAL_FAILURE(listenToSpeaker(listener));

    const Take first = session.scenes[0].takes[0], second = session.scenes[1].takes[0];
    const QString firstPath = QDir(sessionDir.path()).filePath(QStringLiteral("takes/a.mov"));
    int stopped = 0;
    const int runs = 30;
    for (int run = 0; run < runs; ++run) {
        playback.loadPreview(firstPath, first.id, false);
        ASSERT_EQ(playback.previewingTakeID(), first.id);
        auto *player = static_cast<av::MoviePlayer *>(playback.player());
        QElapsedTimer timer;
        timer.start();
        while (!player->itemDuration().isNumeric() && timer.elapsed() < 5000)
            QTest::qWait(5);
        // A run starts anywhere in the bar's 50 ms observer period.
        seekAndWait(*player, 0.85 + 0.001 * run);
        player->play();
        timer.restart();
        while (playback.previewingTakeID() == first.id && player->isPlaying() && timer.elapsed() < 3000)
            QTest::qWait(1);
        QTest::qWait(20);
        if (playback.previewingTakeID() != second.id)
            ++stopped;
        player->pause();
    }
    EXPECT_EQ(stopped, 0) << "of " << runs << " ends";
}

// Thumbnails: a cancelled run hands over what it had; a run a hide cancelled starts again when
// the bar is shown, so the previous take's pictures never stay under the new take.
TEST_F(ReviewPlayerRig, ThumbnailRunsCancelledKeepTheirPicturesAndRestartAfterAHide)
{
    {
        QObject context;
        int calls = 0;
        bool wasComplete = true;
        qsizetype gathered = -1;
        {
            av::FilmstripGenerator run(path, *writtenDuration, 16, QSize(160, 160), &context,
                                       [&](QList<QImage> images, bool complete) {
                                           ++calls, wasComplete = complete, gathered = images.size();
                                       });
            QTest::qWait(30);
        }
        QTest::qWait(50);
        ASSERT_EQ(calls, 1) << "a cancelled run handed over nothing";
        EXPECT_FALSE(wasComplete);
        EXPECT_LT(gathered, 16);
    }

    const QString other = QDir(dir->path()).filePath(QStringLiteral("other.mov"));
    if (!QFile::exists(other)) {
        ASSERT_EQ(lumacast::testing::makeMarkedMovie(other, 3), QString());
    }
    av::MoviePlayer player;
    load(player);
    double trimStart = 0, trimEnd = *writtenDuration;
    review::PlayerPaneInputs inputs;
    inputs.player = &player;
    inputs.trimStart = {[&] { return trimStart; }, [&](double v) { trimStart = v; }};
    inputs.trimEnd = {[&] { return trimEnd; }, [&](double v) { trimEnd = v; }};
    inputs.takeDuration = *writtenDuration;
    review::PlayerPane pane;
    pane.resize(900, 520);
    pane.show();
    QSignalSpy thumbnails(pane.trimBar(), &review::TrimBar::thumbnailsChanged);
    pane.setInputs(inputs);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    ASSERT_TRUE(thumbnails.wait(10000));
    const QList<QImage> firstTake = pane.trimBar()->thumbnails();
    ASSERT_EQ(firstTake.size(), 16);

    // The next take comes in and the window hides at once.
    QSignalSpy loaded(&player, &av::Player::itemLoaded);
    player.replaceCurrentItem(other);
    ASSERT_TRUE(loaded.wait(5000));
    inputs.takeDuration = 3;
    trimEnd = 3;
    pane.setInputs(inputs);
    pane.hide();
    QTest::qWait(100);
    EXPECT_NE(pane.trimBar()->thumbnails().value(0), firstTake.value(0)) << "the old take's strip under the new one";
    pane.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&pane));
    QElapsedTimer timer;
    timer.start();
    while (pane.trimBar()->thumbnails().size() < 16 && timer.elapsed() < 10000)
        QTest::qWait(20);
    ASSERT_EQ(pane.trimBar()->thumbnails().size(), 16) << "the cancelled run was not started again";
    EXPECT_NE(pane.trimBar()->thumbnails().value(0), firstTake.value(0));
}
