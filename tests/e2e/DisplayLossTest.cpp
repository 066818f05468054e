// The X server dies in the middle of a take: the shipped program must finish and file the take
// before it goes, as it does for a quit.
#include "support/AppDriver.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QRandomGenerator>
#include <QThread>

#include <chrono>
#include <csignal>

using namespace std::chrono_literals;

namespace {

// An X server of the test's own, which the test kills; the program under test runs on it. Its
// number is taken far above the ones rigs pick, and it counts as started only while it runs and
// its socket is there (rigs of other programs may start servers at the same moment). Without
// -noreset it would reset when the rig's first short-lived client (xdotool) leaves, refusing the
// tray that connects meanwhile.
class OwnDisplay {
public:
    OwnDisplay()
    {
        for (int attempt = 0; attempt < 10 && m_name.isEmpty(); ++attempt) {
            const int number = 150 + QRandomGenerator::global()->bounded(100);
            if (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
                continue;
            m_server.start(QStringLiteral("Xvfb"), {QStringLiteral(":%1").arg(number), QStringLiteral("-screen"),
                                                     QStringLiteral("0"), QStringLiteral("1280x800x24"),
                                                     QStringLiteral("-nolisten"), QStringLiteral("tcp"),
                                                     QStringLiteral("-noreset")});
            if (!m_server.waitForStarted())
                return;
            const bool up = AppDriver::waitUntil(
                [&] {
                    return m_server.state() == QProcess::Running
                        && QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number));
                },
                5s);
            m_number = number;
            if (up && !m_server.waitForFinished(500))
                m_name = QStringLiteral(":%1").arg(number);
            else
                kill();
        }
    }
    ~OwnDisplay() { kill(); }
    QString name() const { return m_name; }
    void kill()
    {
        if (m_server.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_server.processId()), SIGKILL);
        m_server.waitForFinished(5000);
        // A killed server leaves its lock and socket behind for every later run to step around.
        QFile::remove(QStringLiteral("/tmp/.X%1-lock").arg(m_number));
        QFile::remove(QStringLiteral("/tmp/.X11-unix/X%1").arg(m_number));
    }

private:
    QProcess m_server;
    QString m_name;
    int m_number = 0;
};

} // namespace

TEST(DisplayLoss, ATakeUnderWayIsFinishedAndFiledBeforeTheProgramEnds)
{
    if (const QString missing = AppDriver::missingTools(); !missing.isEmpty())
        GTEST_SKIP() << missing.toStdString();
    OwnDisplay display;
    if (display.name().isEmpty())
        GTEST_SKIP() << "Xvfb could not start a display of its own";
    const QByteArray savedDisplay = qgetenv("DISPLAY");
    qputenv("DISPLAY", display.name().toLatin1());
    struct Restore {
        QByteArray value;
        ~Restore() { qputenv("DISPLAY", value); }
    } restore{savedDisplay};

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
