// The whole road through the shipped program, driven from outside: keys and clicks through
// XTest, windows found on the X server, files read from the temporary home folder.
#include "AppDriver.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QRegularExpression>
#include <QThread>

#include <chrono>
#include <cmath>

using namespace std::chrono_literals;

namespace {

// Screenshots go next to the test program unless LUMACAST_ROAD_OUTPUT names a folder.
QString outputFolder()
{
    const QString chosen = qEnvironmentVariable("LUMACAST_ROAD_OUTPUT");
    return chosen.isEmpty() ? QStringLiteral(LUMACAST_BINARY_DIR "/tests/e2e/road-output") : chosen;
}

// The timestamp of the first log line holding `text` after `from`, in ms since the epoch.
std::optional<qint64> logTime(const QString &log, const QString &text, qsizetype from = 0)
{
    const qsizetype at = log.indexOf(text, from);
    if (at < 0)
        return std::nullopt;
    const qsizetype lineStart = log.lastIndexOf(QLatin1Char('\n'), at) + 1;
    const QDateTime stamp = QDateTime::fromString(log.mid(lineStart + 1, 23), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return stamp.isValid() ? std::optional(stamp.toMSecsSinceEpoch()) : std::nullopt;
}

struct Probe {
    QStringList streams; // codec types in track order
    double duration = 0; // seconds
};

Probe probe(const QString &movie)
{
    Probe result;
    const QString out = AppDriver::run(
        QStringLiteral("ffprobe"), {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                    QStringLiteral("stream=codec_type:format=duration"), QStringLiteral("-of"),
                                    QStringLiteral("default=nw=1"), movie});
    for (const QString &line : out.split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (line.startsWith(QLatin1String("codec_type=")))
            result.streams << line.section(QLatin1Char('='), 1);
        else if (line.startsWith(QLatin1String("duration=")))
            result.duration = line.section(QLatin1Char('='), 1).toDouble();
    }
    return result;
}

QList<QJsonObject> takesOf(const QJsonObject &manifest)
{
    QList<QJsonObject> takes;
    for (const QJsonValue &scene : manifest.value(QStringLiteral("scenes")).toArray())
        for (const QJsonValue &take : scene.toObject().value(QStringLiteral("takes")).toArray())
            takes << take.toObject();
    return takes;
}

class Road : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const QString missing = AppDriver::missingTools(); !missing.isEmpty())
            GTEST_SKIP() << "the road needs " << missing.toStdString();
        QDir(outputFolder()).removeRecursively();
        driver = std::make_unique<AppDriver>(outputFolder());
        ASSERT_TRUE(driver->startRig()) << "the tray host or the tone did not start";
    }

    // Runs one step; a failing step leaves a screenshot named after it, and the road stops there.
    bool step(const QString &name, const std::function<void()> &body)
    {
        if (HasFailure())
            return false;
        SCOPED_TRACE(name.toStdString());
        body();
        if (HasFailure()) {
            driver->screenshot(QStringLiteral("failed-") + name);
            ADD_FAILURE() << "the road stopped at " << name.toStdString() << "; screenshot and log in "
                          << outputFolder().toStdString() << "\n" << driver->logText().right(3000).toStdString();
            return false;
        }
        return true;
    }

    // Waits for the state change the log records, from `from` on.
    void expectState(const QString &change, qsizetype from, std::chrono::milliseconds timeout = 15s)
    {
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[state] ") + change, timeout, from))
            << "no state change " << change.toStdString();
    }

    // Presses `trigger`, waits through the countdown, records for `length`, ends the take with
    // the end-take hot key and waits for the review. Returns the log position before the trigger.
    qsizetype recordTake(const QString &trigger, std::chrono::milliseconds length)
    {
        const qsizetype mark = driver->logText().size();
        driver->key(trigger);
        expectState(QStringLiteral("starting → recording"), mark);
        QThread::msleep(static_cast<unsigned long>(length.count()));
        driver->key(QStringLiteral("super+shift+Return"));
        expectState(QStringLiteral("recording → reviewing"), mark);
        return mark;
    }

    // The manifest once it holds `count` takes (the save follows the filing by a moment).
    QList<QJsonObject> waitForTakes(const QString &session, qsizetype count)
    {
        QList<QJsonObject> takes;
        AppDriver::waitUntil([&] { return (takes = takesOf(driver->manifest(session))).size() == count; }, 10s);
        return takes;
    }

    std::unique_ptr<AppDriver> driver;
};

TEST_F(Road, WholeRoad)
{
    step(QStringLiteral("1-launch"), [&] {
        ASSERT_TRUE(driver->launch()) << "no tray icon appeared";
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] init — ready"), 15s));
        QThread::msleep(500);
        // Only the tray icon and the empty review window (the launch opens it when no document
        // reopens); no overlay.
        QStringList unexpected;
        for (const qulonglong window : driver->appWindows()) {
            const QString name = driver->windowName(window);
            if (name != QLatin1String("Lumacast") && name != QLatin1String("Review Take"))
                unexpected << QStringLiteral("\"%1\"").arg(name);
        }
        EXPECT_TRUE(unexpected.isEmpty()) << unexpected.join(QLatin1String(", ")).toStdString();
    });

    step(QStringLiteral("2-first-take"), [&] {
        const qsizetype mark = driver->logText().size();
        driver->keyTo(QStringLiteral("^Review Take$"), QStringLiteral("ctrl+n"));
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("starting countdown"), 10s, mark));
        QThread::msleep(700);
        driver->screenshot(QStringLiteral("countdown"));
        expectState(QStringLiteral("starting → recording"), mark);
        QThread::msleep(300);
        driver->screenshot(QStringLiteral("recording"));
        QThread::msleep(1500);
        driver->key(QStringLiteral("super+shift+space"));
        expectState(QStringLiteral("recording → paused"), mark, 5s);
        QThread::msleep(1000);
        driver->key(QStringLiteral("super+shift+space"));
        expectState(QStringLiteral("paused → recording"), mark, 5s);
        QThread::msleep(1500);
        driver->key(QStringLiteral("super+shift+Return"));
        expectState(QStringLiteral("recording → reviewing"), mark);
        ASSERT_TRUE(AppDriver::waitUntil([&] { return driver->findWindow(QStringLiteral("^Review Take$")).has_value(); }, 10s))
            << "the review window did not open";

        const QString log = driver->logText();
        const auto started = logTime(log, QStringLiteral("[state] starting → recording"), mark);
        const auto paused = logTime(log, QStringLiteral("[state] recording → paused"), mark);
        const auto resumed = logTime(log, QStringLiteral("[state] paused → recording"), mark);
        const auto ended = logTime(log, QStringLiteral("[state] recording → reviewing"), mark);
        ASSERT_TRUE(started && paused && resumed && ended);
        const double expected = double((*ended - *started) - (*resumed - *paused)) / 1000.0;

        const QString session = driver->scratchFolder();
        ASSERT_FALSE(session.isEmpty()) << "no scratch session";
        const auto takes = waitForTakes(session, 1);
        ASSERT_EQ(takes.size(), 1);
        const QString movie = session + QStringLiteral("/takes/") + takes[0].value(QStringLiteral("filename")).toString();
        const Probe probed = probe(movie);
        EXPECT_EQ(probed.streams, (QStringList{QStringLiteral("video"), QStringLiteral("audio")})) << movie.toStdString();
        EXPECT_NEAR(probed.duration, expected, 0.2) << movie.toStdString();
    });

    step(QStringLiteral("3-retake-and-next-scene"), [&] {
        // In review the end-take key approves and starts the next take; the retake key drops
        // the reviewed take; the next-scene key approves and starts a take in a new scene.
        recordTake(QStringLiteral("super+shift+Return"), 1500ms);
        const qsizetype mark = driver->logText().size();
        driver->key(QStringLiteral("super+shift+r"));
        expectState(QStringLiteral("reviewing → idle"), mark, 5s);
        recordTake(QStringLiteral("super+shift+Return"), 1500ms);
        recordTake(QStringLiteral("super+shift+n"), 1500ms);
        const QString session = driver->scratchFolder();
        const auto takes = waitForTakes(session, 3);
        EXPECT_EQ(takes.size(), 3);
        EXPECT_EQ(driver->manifest(session).value(QStringLiteral("scenes")).toArray().size(), 2);
        if (const auto review = driver->findWindow(QStringLiteral("^Review Take$")))
            driver->screenshot(QStringLiteral("review-window"), driver->geometry(*review));
    });

    step(QStringLiteral("7-recovery-after-kill"), [&] {
        const QString session = driver->scratchFolder();
        const qsizetype filed = waitForTakes(session, 3).size();
        const qsizetype mark = driver->logText().size();
        driver->key(QStringLiteral("super+shift+Return"));
        expectState(QStringLiteral("starting → recording"), mark);
        QThread::msleep(1500);
        driver->killHard();
        ASSERT_FALSE(driver->running());
        ASSERT_TRUE(driver->launch());
        ASSERT_TRUE(driver->waitForLog(QStringLiteral("[app] init — ready (recoverable=1)"), 15s, mark))
            << "the killed session is not offered for recovery";
        EXPECT_EQ(takesOf(driver->manifest(session)).size(), filed);
    });
}

} // namespace
