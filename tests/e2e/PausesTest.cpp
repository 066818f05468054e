// A take of the shipped program paused by the hot key and by its tray menu, over moving pictures:
// the picture after each resume must follow the one before the pause by a frame interval, not by
// a tick that players and muxers take for a step back.
#include "support/AppDriver.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QProcess>
#include <QThread>

#include <chrono>

using namespace std::chrono_literals;

TEST(Pauses, AHotKeyAndTheTrayMenuPauseATakeThatDecodesWithoutAnError)
{
    if (const QString missing = AppDriver::missingTools({"xdotool", "openbox", "trayer", "ffmpeg", "ffprobe", "ffplay",
                                                          "dbus-daemon"});
        !missing.isEmpty())
        GTEST_SKIP() << "the test needs " << missing.toStdString();
    AppDriver driver(QStringLiteral(LUMACAST_BINARY_DIR "/tests/e2e/pauses-output"));
    ASSERT_TRUE(driver.startRig());
    // Moving pictures beside the program's windows, so that the first picture after a resume is
    // a new one rather than a still one held on.
    QProcess animation;
    animation.start(QStringLiteral("ffplay"),
                    {QStringLiteral("-loglevel"), QStringLiteral("quiet"), QStringLiteral("-f"), QStringLiteral("lavfi"),
                     QStringLiteral("-i"), QStringLiteral("testsrc2=size=320x240:rate=60"), QStringLiteral("-left"),
                     QStringLiteral("600"), QStringLiteral("-top"), QStringLiteral("400"), QStringLiteral("-noborder")});
    struct Stop {
        QProcess &process;
        ~Stop()
        {
            process.kill();
            process.waitForFinished(3000);
        }
    } stopAnimation{animation};
    ASSERT_TRUE(driver.launch());
    ASSERT_TRUE(driver.waitForLog(QStringLiteral("[app] init — ready"), 15s));
    const std::optional<QRect> icon = driver.trayIcon();
    ASSERT_TRUE(icon);
    const qsizetype mark = driver.logText().size();
    driver.keyTo(QStringLiteral("^Review Take$"), QStringLiteral("ctrl+n"));
    ASSERT_TRUE(driver.waitForLog(QStringLiteral("[state] starting → recording"), 20s, mark));

    for (int pause = 0; pause < 10; ++pause) {
        QThread::msleep(400);
        const qsizetype from = driver.logText().size();
        const bool byMenu = pause % 2 == 1;
        if (byMenu)
            ASSERT_TRUE(driver.openPopup(icon->center())) << "the tray menu did not open";
        else
            driver.key(QStringLiteral("super+shift+space"));
        ASSERT_TRUE(driver.waitForLog(QStringLiteral("[state] recording → paused"), 5s, from)) << "pause " << pause;
        QThread::msleep(300);
        driver.key(byMenu ? QStringLiteral("Escape") : QStringLiteral("super+shift+space"));
        ASSERT_TRUE(driver.waitForLog(QStringLiteral("[state] paused → recording"), 5s, from)) << "resume " << pause;
    }
    QThread::msleep(400);
    driver.key(QStringLiteral("super+shift+Return"));
    ASSERT_TRUE(driver.waitForLog(QStringLiteral("[state] recording → reviewing"), 20s, mark));

    QString movie;
    ASSERT_TRUE(AppDriver::waitUntil(
        [&] {
            const QJsonArray scenes = driver.manifest(driver.scratchFolder()).value(QStringLiteral("scenes")).toArray();
            const QJsonArray takes = scenes.first().toObject().value(QStringLiteral("takes")).toArray();
            if (!takes.isEmpty())
                movie = driver.scratchFolder() + QStringLiteral("/takes/")
                      + takes.first().toObject().value(QStringLiteral("filename")).toString();
            return !movie.isEmpty();
        },
        10s));
    // The pictures carry their capture instants, which a loaded machine spreads unevenly. ffmpeg
    // by default rounds them to the frame rate it guesses, where a late picture and the next one
    // meet and it complains of a step back; decoded on the movie's own ticks, it complains only
    // of what is in the file.
    QProcess decode;
    decode.start(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-i"), movie,
                                            QStringLiteral("-enc_time_base:v"), QStringLiteral("1:60000"),
                                            QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-")});
    ASSERT_TRUE(decode.waitForFinished(30000));
    EXPECT_EQ(decode.exitCode(), 0);
    EXPECT_EQ(decode.readAllStandardError().trimmed().toStdString(), "") << movie.toStdString();
    // Picture times in ticks of 1/60000 s: none closer to the one before than a millisecond. The
    // fault this guards against put the first picture after a resume one tick after the one
    // before; a grab that runs late on a loaded machine comes a few milliseconds before the next.
    const QStringList times = AppDriver::run(QStringLiteral("ffprobe"),
                                             {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-select_streams"),
                                              QStringLiteral("v:0"), QStringLiteral("-show_entries"), QStringLiteral("packet=pts"),
                                              QStringLiteral("-of"), QStringLiteral("csv=p=0"), movie})
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    EXPECT_GT(times.size(), 100);
    for (qsizetype i = 1; i < times.size(); ++i)
        EXPECT_GE(times[i].toLongLong() - times[i - 1].toLongLong(), 60) << "picture " << i << " of " << movie.toStdString();
    if (HasFailure())
        driver.keepEvidence(QStringLiteral("failed"));
}
