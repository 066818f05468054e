// The driver's export-fcpxml and export-fcp7 commands on a saved session folder, through the
// media layer's own movie reading.
#include "TimelineTestSupport.h"

#include "media/TimelineExportAsset.h"
#include "model/SessionManifest.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QtEndian>
#include <QProcess>
#include <QThread>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <unistd.h>

using namespace lumacast;
using namespace lumacast::testing;

namespace {

class TimelineDriver : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        ASSERT_TRUE(QFileInfo(mediaDriverPath()).isExecutable()) << "lumacast-media is not built";
        sessionFolder = m_dir.filePath(QStringLiteral("My Talk.lumacast"));
        ASSERT_TRUE(QDir().mkpath(sessionFolder + QStringLiteral("/takes")));
        ASSERT_TRUE(makeMovie(sessionFolder + QStringLiteral("/takes/AAAA.mov"),
                              {QStringLiteral("320x240"), QStringLiteral("30000/1001"), 2, {2}, 48000}));
        ASSERT_TRUE(makeMovie(sessionFolder + QStringLiteral("/takes/BBBB.mov"),
                              {QStringLiteral("640x360"), QStringLiteral("60"), 2, {2, 2}, 48000}));
    }

    void writeManifest(bool checked)
    {
        Session session(sessionFolder);
        session.scenes.clear();
        for (const QString &file : {QStringLiteral("AAAA.mov"), QStringLiteral("BBBB.mov")}) {
            Take take;
            take.id = QUuid::createUuid();
            take.filename = file;
            take.duration = 2;
            take.recordedAt = QDateTime::currentDateTimeUtc();
            take.trimStart = 0.5;
            take.trimEnd = 2;
            RecordingScene scene;
            scene.id = QUuid::createUuid();
            scene.takes = {take};
            if (checked)
                scene.selectedTakeID = take.id;
            session.scenes.append(scene);
        }
        QFile file(sessionFolder + QStringLiteral("/manifest.json"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(SessionManifest(session).toJson());
    }

    ProcessResult run(const QString &command, const QString &package)
    {
        return runProcess(mediaDriverPath(), {command, sessionFolder, package});
    }

    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QString m_dirPath() const { return m_dir.path(); }

    QString sessionFolder;

private:
    QTemporaryDir m_dir;
};

} // namespace

TEST_F(TimelineDriver, WritesBothPackagesFromASavedSession)
{
    writeManifest(true);
    // Quotes and dots are the name's own, and a package name of 250 bytes fits the file system:
    // its document takes it, shortened by a whole character to leave room for ".fcpxml".
    const QString lecture(78, QChar(0x8B1B));
    const QString name = QStringLiteral("Q&A \"Talk\" v1.5 ") + lecture;
    ASSERT_EQ(name.toUtf8().size(), 250);
    const QString fcpxml = path(QStringLiteral("out/") + name);
    const ProcessResult first = run(QStringLiteral("export-fcpxml"), fcpxml);
    ASSERT_TRUE(first.ok()) << first.err.toStdString();
    const QString document = fcpxml + QLatin1Char('/') + name.chopped(1) + QStringLiteral(".fcpxml");
    EXPECT_EQ(QString::fromUtf8(first.out).trimmed(), document);
    EXPECT_TRUE(validatesAgainstFCPXMLDTD(document));
    const QString text = readText(document);
    EXPECT_TRUE(text.contains(QStringLiteral("frameDuration=\"1001/30000s\" width=\"320\" height=\"240\"")));
    EXPECT_TRUE(text.contains(QStringLiteral("<event name=\"Q&amp;A &quot;Talk&quot; v1.5 ") + lecture + "\">"));
    EXPECT_TRUE(text.contains(QStringLiteral("audioSources=\"2\" audioChannels=\"4\"")));
    EXPECT_TRUE(text.contains(QStringLiteral("src=\"") + timeline_export::escapeXML(timeline_export::fileURLText(fcpxml))));

    const QString fcp7 = path(QStringLiteral("out/Premiere"));
    const ProcessResult second = run(QStringLiteral("export-fcp7"), fcp7);
    ASSERT_TRUE(second.ok()) << second.err.toStdString();
    EXPECT_TRUE(isWellFormedXML(fcp7 + QStringLiteral("/Premiere.xml")));
    EXPECT_TRUE(readText(fcp7 + QStringLiteral("/Premiere.xml"))
                    .contains(QStringLiteral("<name>Scene 2 \u2014 Take 1</name>")));
}

TEST_F(TimelineDriver, ReportsThePreparationErrors)
{
    writeManifest(false);
    ProcessResult result = run(QStringLiteral("export-fcp7"), path(QStringLiteral("out/T")));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(QString::fromUtf8(result.err).trimmed(), QStringLiteral("No scenes have a selected take."));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("out/T"))));

    writeManifest(true);
    ASSERT_TRUE(writeFileOfSize(path(QStringLiteral("out/Notes")), 5));
    result = run(QStringLiteral("export-fcpxml"), path(QStringLiteral("out/Notes")));
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(QString::fromUtf8(result.err).trimmed(),
              QStringLiteral("\u201CNotes\u201D already exists and isn\u2019t a Lumacast export "
                             "folder, so it wasn\u2019t replaced. Choose a different name, or "
                             "delete it yourself first."));
    EXPECT_EQ(QFileInfo(path(QStringLiteral("out/Notes"))).size(), 5);
}

TEST_F(TimelineDriver, MediaLayerReadsTheSameFactsAsFFprobe)
{
    ASSERT_TRUE(makeMovie(path(QStringLiteral("mute.mov")),
                          {QStringLiteral("352x288"), QStringLiteral("25"), 1, {}, 48000}));
    ASSERT_TRUE(makeMovie(path(QStringLiteral("mono.mov")),
                          {QStringLiteral("320x240"), QStringLiteral("30"), 1, {1}, 44100}));
    for (const QString &movie : {sessionFolder + QStringLiteral("/takes/AAAA.mov"),
                                 sessionFolder + QStringLiteral("/takes/BBBB.mov"),
                                 path(QStringLiteral("mute.mov")), path(QStringLiteral("mono.mov"))}) {
        SCOPED_TRACE(movie.toStdString());
        const auto ours = timeline_export::movieFacts(timeline_export::loadWithAsset(movie));
        const auto theirs = timeline_export::movieFacts(loadWithFFprobe(movie));
        EXPECT_NEAR(ours.fullDuration, theirs.fullDuration, 0.05);
        EXPECT_EQ(ours.width, theirs.width);
        EXPECT_EQ(ours.height, theirs.height);
        EXPECT_NEAR(ours.fps, theirs.fps, 0.01);
        EXPECT_EQ(ours.audioTrackChannels, theirs.audioTrackChannels);
        EXPECT_EQ(ours.audioRate, theirs.audioRate);
    }
    EXPECT_THROW(timeline_export::loadWithAsset(path(QStringLiteral("nothing.mov"))), Error);
}

// Sessions a hostile user or a damaged disk can hand every exporting command: each fails naming
// the problem, and neither the session nor anything at the destination is lost. A take without
// a picture is no such damage: it is exported.
TEST_F(TimelineDriver, HostileSessionsFailAndLoseNothing)
{
    writeManifest(true);
    const QString take = sessionFolder + QStringLiteral("/takes/AAAA.mov");
    const QString outside = path(QStringLiteral("outside.mov"));
    ASSERT_TRUE(QFile::copy(take, outside));
    const QString wav = path(QStringLiteral("sound.wav"));
    ASSERT_TRUE(runProcess(QStringLiteral("ffmpeg"), {"-v", "error", "-f", "lavfi", "-i", "sine=d=1", wav}).ok());
    const QByteArray takeBytes = [&] {
        QFile file(take);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();

    auto linkTake = [&] { QFile::remove(take); QFile::link(outside, take); };
    auto soundTake = [&] { QFile::remove(take); QFile::copy(wav, take); };
    struct Case {
        const char *name;
        std::function<void()> damage;
        QString command;
        QString destination;
        QString expected;  // in the error output
    };
    const QList<Case> cases = {
        {"a take as the destination", [] {}, "export-movie", take, "session\u2019s own files"},
        {"a linked take (movie)", linkTake, "export-movie", path("out.mov"), "symbolic link"},
        {"a linked take (package)", linkTake, "export-fcpxml", path("Linked"), "symbolic link"},
        // Not hostile: a take with sound alone is exported with its sound and no picture.
        {"a take with no video (movie)", soundTake, "export-movie", path("out.mov"), ""},
        {"a take with no video (FCP7 XML)", soundTake, "export-fcp7", path("Sound"), ""},
        {"a take with no video (FCPXML)", soundTake, "export-fcpxml", path("SoundX"), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        c.damage();
        const ProcessResult result = run(c.command, c.destination);
        if (c.expected.isEmpty()) {
            EXPECT_EQ(result.exitCode, 0) << result.err.toStdString();
            EXPECT_TRUE(QFileInfo::exists(c.destination));
            // The takes are 320x240 and 640x360: a clip of 1920x1080 is the one without video.
            for (const QString &document : QDir(c.destination).entryList(QDir::Files)) {
                QFile file(QDir(c.destination).filePath(document));
                ASSERT_TRUE(file.open(QIODevice::ReadOnly));
                EXPECT_TRUE(file.readAll().contains("1920")) << qPrintable(document);
            }
        } else {
            EXPECT_EQ(result.exitCode, 1);
            EXPECT_TRUE(QString::fromUtf8(result.err).contains(c.expected)) << result.err.toStdString();
            if (c.destination != take) {
                EXPECT_FALSE(QFileInfo::exists(c.destination));
            }
        }
        EXPECT_TRUE(QDir(m_dirPath()).entryList({".lumacast-work-*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
        QFile::remove(take);
        ASSERT_TRUE(QFile::copy(outside, take));
        QFile file(take);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_EQ(file.readAll(), takeBytes);
    }
}

// A working movie left by an export that was killed is removed by the next export into that
// folder; one of a process that still runs is not.
TEST_F(TimelineDriver, TheNextExportRemovesWorkingFilesOfKilledExports)
{
    writeManifest(true);
    const QString stale = path(QStringLiteral(".lumacast-work-2147483646-0000.mov"));
    const QString live = path(QStringLiteral(".lumacast-work-%1-0000.mov").arg(::getppid()));
    for (const QString &file : {stale, live}) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    const ProcessResult result = run(QStringLiteral("export-movie"), path(QStringLiteral("out.mov")));
    ASSERT_TRUE(result.ok()) << result.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_TRUE(QFileInfo::exists(live));
}

// SIGTERM or SIGINT in the middle of an export removes its working files and replaces nothing.
TEST_F(TimelineDriver, InterruptedExportsLeaveNothingAndReplaceNothing)
{
    writeManifest(true);
    {
        // A package measures its takes before its working folder appears; 64 MB that no reader
        // looks at (a trailing free box) keep the copies after it busy long enough for the signal.
        QFile take(sessionFolder + QStringLiteral("/takes/BBBB.mov"));
        ASSERT_TRUE(take.open(QIODevice::Append));
        const qint64 padding = qint64(64) << 20;
        QByteArray box(8, '\0');
        qToBigEndian(quint32(padding), box.data());
        box.replace(4, 4, "free");
        take.write(box);
        ASSERT_TRUE(take.resize(take.size() + padding - 8));
    }
    struct Case {
        QString command;
        int signal;
    };
    for (const Case &c : {Case{"export-movie", SIGTERM}, Case{"export-fcpxml", SIGINT}}) {
        SCOPED_TRACE(c.command.toStdString());
        const QString folder = path(c.command);
        ASSERT_TRUE(QDir().mkpath(folder));
        const QString destination = folder + QStringLiteral("/out");
        {
            QFile earlier(destination);
            ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
            earlier.write("earlier");
        }
        if (c.command != QLatin1String("export-movie"))
            QFile::remove(destination);  // a package replaces only an earlier package
        QProcess process;
        process.start(mediaDriverPath(), {c.command, sessionFolder, destination});
        ASSERT_TRUE(process.waitForStarted());
        // Wait for the first working item, then interrupt.
        QElapsedTimer timer;
        timer.start();
        while (QDir(folder).entryList({".lumacast-work-*"}, QDir::AllEntries | QDir::Hidden).isEmpty()
               && process.state() == QProcess::Running && timer.elapsed() < 20000)
            QThread::msleep(1);
        ASSERT_EQ(process.state(), QProcess::Running) << "the export ended before it could be interrupted";
        ::kill(pid_t(process.processId()), c.signal);
        ASSERT_TRUE(process.waitForFinished(20000));
        EXPECT_EQ(process.exitCode(), 128 + c.signal) << process.readAllStandardError().toStdString();
        EXPECT_TRUE(QDir(folder).entryList({".lumacast-work-*"}, QDir::AllEntries | QDir::Hidden).isEmpty());
        if (c.command == QLatin1String("export-movie")) {
            QFile earlier(destination);
            ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
            EXPECT_EQ(earlier.readAll(), QByteArray("earlier"));
        } else {
            EXPECT_FALSE(QFileInfo::exists(destination));
        }
    }
}

// A movie whose track boxes cannot be read is refused by probe, not listed as empty.
TEST_F(TimelineDriver, ProbeRefusesAMovieWithoutReadableTracks)
{
    QFile file(sessionFolder + QStringLiteral("/takes/AAAA.mov"));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString damaged = path(QStringLiteral("no-tracks.mov"));
    QFile out(damaged);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    out.write(file.readAll().replace("trak", "free"));
    out.close();
    const ProcessResult result = runProcess(mediaDriverPath(), {QStringLiteral("probe"), damaged});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.err.contains("has no readable track")) << result.err.toStdString();
}

// An option where the driver expects a file name is refused, never taken for one: "write-take
// --help" once wrote a movie named "--help".
TEST_F(TimelineDriver, OptionsAreNeverFileNames)
{
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(m_dirPath()));
    const struct {
        QStringList args;
        int exitCode;
    } cases[] = {
        {{QStringLiteral("write-take"), QStringLiteral("--help")}, 0},
        {{QStringLiteral("export-movie"), QStringLiteral("-h")}, 0},
        {{QStringLiteral("write-take"), QStringLiteral("--size"), QStringLiteral("64x64")}, 2},
        {{QStringLiteral("join"), QStringLiteral("a.mov"), QStringLiteral("1"), QStringLiteral("--b"),
          QStringLiteral("out.mov")}, 2},
    };
    for (const auto &c : cases) {
        const ProcessResult result = runProcess(mediaDriverPath(), c.args);
        EXPECT_EQ(result.exitCode, c.exitCode) << qPrintable(c.args.join(u' '));
        const QByteArray usage = c.exitCode == 0 ? result.out : result.err;
        EXPECT_TRUE(usage.startsWith("usage: lumacast-media " + c.args.first().toUtf8())) << usage.constData();
    }
    EXPECT_EQ(QDir(m_dirPath()).entryList(QDir::Files | QDir::Hidden), QStringList());
    QDir::setCurrent(before);
}
