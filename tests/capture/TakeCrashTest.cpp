#include "TakeTestSupport.h"

#include "platform/av/TakeJournal.h"
#include "support/TestEnvironment.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <vector>

using namespace lumacast;
using namespace lumacast::taketest;
using lumacast::testing::runProcess;

namespace {

double streamSeconds(const QJsonObject &probed, const QString &type)
{
    for (const QJsonValue &s : probed.value(QStringLiteral("streams")).toArray())
        if (s[QStringLiteral("codec_type")].toString() == type)
            return s[QStringLiteral("duration")].toString().toDouble();
    return -1;
}

struct Kill {
    double after = 0; // seconds after the take's movie appeared
    std::unique_ptr<QProcess> process;
    QString movie;
    QElapsedTimer sinceStart;
    bool started = false, killed = false;
};

} // namespace

// Real takes killed with SIGKILL at ten moments 2 to 30 s in, run side by side so that the test
// takes about as long as its longest take. The countdown gives the microphone time to wake, as
// the application's does. Each movie is finished from its journal and must play
// in ffmpeg and GStreamer without an error, picture and sound reaching to within a second of the
// kill.
TEST(TakeCrash, TakesKilledAtTenMomentsAreFinishedFromTheirJournals)
{
    QTemporaryDir dir;
    std::vector<Kill> kills;
    for (const double after : {2.0, 2.4, 2.9, 3.3, 4.1, 5.0, 6.5, 9.0, 14.0, 30.0}) {
        Kill k;
        k.after = after;
        k.movie = dir.filePath(QStringLiteral("killed-%1.mov").arg(after));
        k.process = std::make_unique<QProcess>();
        k.process->start(lumacast::testing::mediaDriverPath(),
                         {QStringLiteral("record"), k.movie, QStringLiteral("--seconds"), QStringLiteral("60"),
                          QStringLiteral("--countdown"), QStringLiteral("3"), QStringLiteral("--fps"),
                          QStringLiteral("10")});
        ASSERT_TRUE(k.process->waitForStarted());
        kills.push_back(std::move(k));
    }
    QElapsedTimer limit;
    limit.start();
    for (int left = int(kills.size()); left > 0 && limit.elapsed() < 90000;) {
        for (Kill &k : kills) {
            if (!k.started && QFile::exists(k.movie)) {
                k.started = true; // the movie's first frame is about now
                k.sinceStart.start();
            }
            if (k.started && !k.killed && k.sinceStart.elapsed() >= qint64(k.after * 1000)) {
                ::kill(pid_t(k.process->processId()), SIGKILL);
                k.killed = true;
                --left;
            }
        }
        QThread::msleep(5);
    }
    for (Kill &k : kills) {
        SCOPED_TRACE(QStringLiteral("killed %1 s in").arg(k.after).toStdString());
        ASSERT_TRUE(k.killed) << k.process->readAllStandardError().toStdString();
        k.process->waitForFinished(10000);
        ASSERT_TRUE(QFile::exists(av::TakeJournal::pathFor(k.movie)));

        const auto recovered = runProcess(lumacast::testing::mediaDriverPath(), {QStringLiteral("recover-take"), k.movie});
        ASSERT_TRUE(recovered.ok()) << recovered.err.constData();
        EXPECT_FALSE(QFile::exists(av::TakeJournal::pathFor(k.movie)));
        const QJsonObject probed = probe(k.movie);
        EXPECT_GE(streamSeconds(probed, QStringLiteral("video")), k.after - 1.0);
        EXPECT_GE(streamSeconds(probed, QStringLiteral("audio")), k.after - 1.0);
        EXPECT_LE(streamSeconds(probed, QStringLiteral("video")), k.after + 0.5);

        const auto decoded = runProcess(QStringLiteral("ffmpeg"), {QStringLiteral("-v"), QStringLiteral("error"),
                                                                   QStringLiteral("-xerror"), QStringLiteral("-i"), k.movie,
                                                                   QStringLiteral("-f"), QStringLiteral("null"),
                                                                   QStringLiteral("-")});
        EXPECT_TRUE(decoded.ok() && decoded.err.trimmed().isEmpty()) << decoded.err.constData();
        // A player holds as much of one track as the other needs to start: a take whose first
        // picture came late under a loaded machine starts its video after a second of sound, and
        // a queue of the default second would stall the demuxer before either sink had prerolled.
        const QString unbounded[] = {QStringLiteral("max-size-time=0"), QStringLiteral("max-size-buffers=0"),
                                     QStringLiteral("max-size-bytes=0")};
        const auto played = runProcess(
            QStringLiteral("gst-launch-1.0"),
            {QStringLiteral("-q"), QStringLiteral("filesrc"), QStringLiteral("location=") + k.movie, QStringLiteral("!"),
             QStringLiteral("qtdemux"), QStringLiteral("name=d"), QStringLiteral("d.video_0"), QStringLiteral("!"),
             QStringLiteral("queue"), unbounded[0], unbounded[1], unbounded[2], QStringLiteral("!"),
             QStringLiteral("decodebin"), QStringLiteral("!"), QStringLiteral("fakesink"), QStringLiteral("d.audio_0"),
             QStringLiteral("!"), QStringLiteral("queue"), unbounded[0], unbounded[1], unbounded[2], QStringLiteral("!"),
             QStringLiteral("decodebin"), QStringLiteral("!"), QStringLiteral("fakesink")});
        EXPECT_TRUE(played.ok() && !played.err.contains("ERROR")) << played.err.constData();
    }
}
