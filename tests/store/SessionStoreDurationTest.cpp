#include "store/SessionStore.h"

#include "platform/av/MovieProbe.h"
#include "support/SessionRecords.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <map>

#include <sys/stat.h>

using namespace lumacast;
using lumacast::testing::runProcess;
using lumacast::testing::writeFileOfSize;

namespace {

Take makeTake(const QString &filename, double duration, double trimStart, double trimEnd)
{
    Take take = lumacast::testing::makeTrimmedTake(filename, duration, trimStart, trimEnd,
                                                   QStringLiteral("kept"));
    take.playheadPosition = 1.5;
    return take;
}

// Movie lengths by file name; any other existing file reads as no movie at all.
SessionStore::DurationProbe fakeProbe(std::map<QString, double> lengths)
{
    return [lengths](const QString &path) -> std::optional<double> {
        const auto found = lengths.find(QFileInfo(path).fileName());
        if (found == lengths.end())
            return std::nullopt;
        return found->second;
    };
}

class DurationCheckTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Session session{dir.path()};

    void addMovie(int scene, const Take &take)
    {
        while (session.scenes.size() <= scene)
            session.scenes << RecordingScene{QUuid::createUuid(), {}, {}, {}};
        writeFileOfSize(dir.path() + "/takes/" + take.filename, 2048);
        session.scenes[scene].takes << take;
    }
};

TEST_F(DurationCheckTest, OnlyDifferencesBeyondATenthOfASecondAreCorrected)
{
    addMovie(0, makeTake("SAME.mov", 10.0, 0, 10.0));
    addMovie(0, makeTake("SHORT.mov", 10.0, 0, 10.0));
    const SessionStore store(fakeProbe({{"SAME.mov", 10.1}, {"SHORT.mov", 9.85}}));

    const SessionStore::DurationCheck check = store.verifyTakeDurationsNow(session);

    EXPECT_TRUE(check.missing.isEmpty());
    EXPECT_EQ(check.corrected, QStringList({"SHORT.mov"}));
    EXPECT_EQ(session.scenes[0].takes[0].duration, 10.0);
    EXPECT_EQ(session.scenes[0].takes[1].duration, 9.85);
    EXPECT_EQ(session.scenes[0].takes[1].trimEnd, 9.85);
}

TEST_F(DurationCheckTest, TrimsAreClampedToTheMovie)
{
    addMovie(0, makeTake("PAST.mov", 9.0, 6.0, 8.0));
    addMovie(0, makeTake("ACROSS.mov", 9.0, 1.0, 8.0));
    addMovie(0, makeTake("WHOLE.mov", 9.0, 0, 5.0));
    const Take before = session.scenes[0].takes[0];
    const SessionStore store(fakeProbe({{"PAST.mov", 5.0}, {"ACROSS.mov", 5.0}, {"WHOLE.mov", 5.0}}));

    store.verifyTakeDurationsNow(session);

    const auto &takes = session.scenes[0].takes;
    EXPECT_EQ(std::pair(takes[0].trimStart, takes[0].trimEnd), std::pair(0.0, 5.0));
    EXPECT_EQ(std::pair(takes[1].trimStart, takes[1].trimEnd), std::pair(1.0, 5.0));
    EXPECT_EQ(std::pair(takes[2].trimStart, takes[2].trimEnd), std::pair(0.0, 5.0));
    EXPECT_EQ(takes[0].id, before.id);
    EXPECT_EQ(takes[0].name, before.name);
    EXPECT_EQ(takes[0].playheadPosition, before.playheadPosition);
    EXPECT_EQ(takes[0].recordedAt, before.recordedAt);
}

// A movie that is not there is missing and loses its scene's check; one that is there but cannot
// be read as a movie is unreadable and keeps the user's check (an export then stops on it).
TEST_F(DurationCheckTest, MissingMoviesLoseTheirCheckAndUnreadableOnesKeepIt)
{
    addMovie(0, makeTake("HERE.mov", 3.0, 0, 3.0));
    const Take checkedMissing = makeTake("GONE.mov", 3.0, 0, 3.0);
    session.scenes[0].takes << checkedMissing;
    session.scenes[0].selectedTakeID = checkedMissing.id;
    addMovie(1, makeTake("CHECKED.mov", 3.0, 0, 3.0));
    session.scenes[1].takes << makeTake("ALSO-GONE.mov", 3.0, 0, 3.0);
    session.scenes[1].selectedTakeID = session.scenes[1].takes[0].id;
    // A name that would climb out of the takes folder is never followed, even to a real file.
    writeFileOfSize(dir.path() + "/outside.mov", 2048);
    session.scenes[1].takes << makeTake("../outside.mov", 3.0, 0, 3.0);
    // Files that are there but are no movie (garbage, empty, a folder, a FIFO) are unreadable:
    // left as they are, never probed when they are not files.
    addMovie(1, makeTake("BROKEN.mov", 7.0, 0, 7.0));
    session.scenes[1].takes << makeTake("EMPTY.mov", 7.0, 0, 7.0) << makeTake("FOLDER.mov", 7.0, 0, 7.0)
                            << makeTake("FIFO.mov", 7.0, 0, 7.0);
    writeFileOfSize(dir.path() + "/takes/EMPTY.mov", 0);
    QDir().mkpath(dir.path() + "/takes/FOLDER.mov");
    ::mkfifo(QFile::encodeName(dir.path() + "/takes/FIFO.mov").constData(), 0600);
    // Present but unreadable: a checked take's movie cut off after 16 KB, read by the media layer.
    const QString cut = dir.path() + "/takes/CUT.mov";
    ASSERT_TRUE(runProcess("ffmpeg", {"-v", "error", "-f", "lavfi", "-i", "testsrc=size=320x240", "-t", "3", cut}).ok());
    ASSERT_TRUE(QFile::resize(cut, 16 * 1024));
    session.scenes << RecordingScene{QUuid::createUuid(), {}, {makeTake("CUT.mov", 3.0, 0, 3.0)}, {}};
    session.scenes[2].selectedTakeID = session.scenes[2].takes[0].id;
    QStringList probed;
    const SessionStore::DurationProbe probe = fakeProbe({{"HERE.mov", 3.0}, {"CHECKED.mov", 3.0},
                                                         {"outside.mov", 1.0}});
    const SessionStore store([&](const QString &path) {
        probed << QFileInfo(path).fileName();
        return probe(path) ? probe(path) : av::movieDurationSeconds(path);
    });

    const SessionStore::DurationCheck check = store.verifyTakeDurationsNow(session);

    EXPECT_EQ(check.missing, QStringList({"GONE.mov", "ALSO-GONE.mov", "../outside.mov"}));
    EXPECT_EQ(check.unreadable, QStringList({"BROKEN.mov", "EMPTY.mov", "FOLDER.mov", "FIFO.mov", "CUT.mov"}));
    EXPECT_FALSE(probed.contains("FIFO.mov"));
    EXPECT_FALSE(probed.contains("FOLDER.mov"));
    EXPECT_TRUE(check.corrected.isEmpty());
    EXPECT_FALSE(session.scenes[0].selectedTakeID);
    EXPECT_EQ(session.scenes[0].takes.size(), 2);
    EXPECT_EQ(session.scenes[1].selectedTakeID, session.scenes[1].takes[0].id);
    EXPECT_EQ(session.scenes[1].takes[3].duration, 7.0);
    EXPECT_EQ(session.scenes[2].selectedTakeID, session.scenes[2].takes[0].id);
    EXPECT_EQ(SessionStore::integrityReport(check.missing, check.corrected, {}, check.unreadable),
              "Missing files:\nGONE.mov\nALSO-GONE.mov\n../outside.mov\n\nUnreadable files (there, but damaged or no "
              "movie):\nBROKEN.mov\nEMPTY.mov\nFOLDER.mov\nFIFO.mov\nCUT.mov");
}

TEST_F(DurationCheckTest, MeaninglessLengthsAreIgnored)
{
    addMovie(0, makeTake("NAN.mov", 3.0, 0, 3.0));
    addMovie(0, makeTake("INF.mov", 3.0, 0, 3.0));
    addMovie(0, makeTake("NEG.mov", 3.0, 0, 3.0));
    const SessionStore store(fakeProbe({{"NAN.mov", std::nan("")},
                                        {"INF.mov", std::numeric_limits<double>::infinity()},
                                        {"NEG.mov", -4.0}}));

    const SessionStore::DurationCheck check = store.verifyTakeDurationsNow(session);

    EXPECT_TRUE(check.corrected.isEmpty());
    for (const Take &take : session.scenes[0].takes)
        EXPECT_EQ(take.duration, 3.0);
}

// A real movie read through the media layer, off the main thread.
TEST_F(DurationCheckTest, RealMoviesAreReadWithoutBlockingTheCaller)
{
    QDir().mkpath(dir.path() + "/takes");
    const QString movie = dir.path() + "/takes/REAL.mov";
    const auto made = runProcess("ffmpeg", {"-v", "error", "-f", "lavfi", "-i",
                                            "testsrc=size=64x64:rate=30", "-t", "2", "-c:v",
                                            "libx264", "-pix_fmt", "yuv420p", movie});
    ASSERT_TRUE(made.ok()) << made.err.toStdString();
    session.scenes[0].takes << makeTake("REAL.mov", 5.0, 0.5, 4.0)
                            << makeTake("EXACT.mov", 2.0, 0, 2.0);
    QFile::copy(movie, dir.path() + "/takes/EXACT.mov");
    const SessionStore store(&av::movieDurationSeconds);

    std::optional<SessionStore::DurationCheck> check;
    QEventLoop loop;
    bool ranInline = true;
    store.verifyTakeDurations(session).then([&](SessionStore::DurationCheck result) {
        check = result;
        loop.quit();
    });
    ranInline = check.has_value();
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);
    if (!check)
        loop.exec();

    EXPECT_FALSE(ranInline);
    ASSERT_TRUE(check);
    EXPECT_EQ(check->corrected, QStringList({"REAL.mov"}));
    const Take &real = session.scenes[0].takes[0];
    EXPECT_NEAR(real.duration, 2.0, 0.05);
    EXPECT_EQ(real.trimStart, 0.5);
    EXPECT_EQ(real.trimEnd, real.duration);
    EXPECT_EQ(session.scenes[0].takes[1].duration, 2.0);
}

} // namespace
