// The X server dies in the middle of a take: the shipped program must finish and file the take
// before it goes, as it does for a quit.
#include "support/AppDriver.h"
#include "support/OwnDisplay.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QThread>

#include <chrono>
#include <csignal>

using namespace std::chrono_literals;

TEST(DisplayLoss, ATakeUnderWayIsFinishedAndFiledBeforeTheProgramEnds)
{
    if (const QString missing = AppDriver::missingTools(); !missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    OwnDisplay display;
    if (display.name().isEmpty())
        GTEST_SKIP() << "Xvfb could not start a display of its own";
    const DisplayInUse onIt(display.name());

    AppDriver driver(QStringLiteral(LUMACAST_BINARY_DIR "/tests/e2e/display-loss-output"));
    ASSERT_TRUE(driver.startRig());
    ASSERT_TRUE(driver.launch());
    ASSERT_TRUE(driver.waitForLog(QStringLiteral("[app] init — ready"), 15s));
    QThread::msleep(500);
    driver.keyTo(QStringLiteral("^Review Take$"), QStringLiteral("ctrl+n"));
    ASSERT_TRUE(driver.waitForLog(QStringLiteral("[state] starting → recording"), 20s));
    QThread::msleep(2500);

    display.kill();
    ASSERT_TRUE(AppDriver::waitUntil([&] { return !driver.running(); }, 40s)) << "the program did not end:\n" << driver.mainThreadStack().toStdString();

    const QString session = driver.scratchFolder();
    ASSERT_FALSE(session.isEmpty());
    const QJsonArray scenes = driver.manifest(session).value(QStringLiteral("scenes")).toArray();
    ASSERT_FALSE(scenes.isEmpty()) << driver.logText().toStdString();
    const QJsonArray takes = scenes.first().toObject().value(QStringLiteral("takes")).toArray();
    ASSERT_EQ(takes.size(), 1) << driver.logText().toStdString();
    const QString movie = session + QStringLiteral("/takes/") + takes.first().toObject().value(QStringLiteral("filename")).toString();
    const QString duration = AppDriver::run(QStringLiteral("ffprobe"),
                                            {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
                                             QStringLiteral("format=duration"), QStringLiteral("-of"),
                                             QStringLiteral("default=nw=1:nk=1"), movie});
    EXPECT_GT(duration.trimmed().toDouble(), 1.5) << movie.toStdString();
}
