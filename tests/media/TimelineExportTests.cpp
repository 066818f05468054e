// The shared preparation: entry names, movie facts, clip ranges and the package folder on disk.
#include "TimelineTestSupport.h"

#include "media/FCPXMLWriter.h"
#include "media/TimelineExport.h"
#include "support/FullDisk.h"
#include "support/SessionRecords.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;
using namespace lumacast::timeline_export;

namespace {

LoadedMovie movie(double duration, QList<int> channels = {2}, double fps = 60)
{
    LoadedMovie m;
    m.duration = duration;
    m.videoTracks.append(LoadedVideoTrack{1920, 1080, 1, 0, 0, 1, fps});
    for (int count : channels)
        m.audioTracks.append(LoadedAudioTrack{LoadedAudioDescription{count, 48000}});
    return m;
}

// A session folder with placeholder movies and a package location beside it.
class PreparedFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dir.isValid());
        session = Session(m_dir.filePath(QStringLiteral("session")));
        session.scenes.clear();
        QDir().mkpath(takesFolder());
        destination = m_dir.filePath(QStringLiteral("Talk"));
    }

    QString takesFolder() const { return m_dir.filePath(QStringLiteral("session/takes")); }

    void addMovie(const QString &filename, qint64 size = 2048)
    {
        ASSERT_TRUE(writeFileOfSize(QDir(takesFolder()).filePath(filename), size));
    }

    QList<Clip> prepareWith(QHash<QString, LoadedMovie> table)
    {
        return runTask(prepare(session, destination, tableLoader(std::move(table))));
    }

    QString path(const QString &relative) const { return m_dir.filePath(relative); }

    Session session;
    QString destination;

private:
    QTemporaryDir m_dir;
};

template<typename Call>
QString errorText(Call call)
{
    try {
        call();
    } catch (const Error &error) {
        return error.message();
    }
    return QStringLiteral("(no error)");
}

} // namespace

TEST(TimelineEntries, NamesCountSkippedScenesAndFollowTheCheckedTake)
{
    Session session(QStringLiteral("/nowhere"));
    session.scenes = {
        makeCheckedScene({makeTrimmedTake(QStringLiteral("a.mov"), 5, 0, 5)}, 0, QStringLiteral("Intro")),
        makeCheckedScene({makeTrimmedTake(QStringLiteral("b.mov"), 5, 0, 5)}, std::nullopt),
        makeCheckedScene({makeTrimmedTake(QStringLiteral("c.mov"), 5, 0, 5),
                   makeTrimmedTake(QStringLiteral("d.mov"), 5, 0, 5, QStringLiteral("Good one"))},
                  1),
        makeCheckedScene({makeTrimmedTake(QStringLiteral("e.mov"), 5, 0, 5)}, 0, QString()),
        makeCheckedScene({makeTrimmedTake(QStringLiteral("f.mov"), 5, 0, 5)}, std::nullopt),
    };
    // A checked id that names no take of the scene contributes nothing.
    session.scenes[4].selectedTakeID = QUuid::createUuid();

    const QList<Entry> entries = makeEntries(session);
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].name, QStringLiteral("Intro \u2014 Take 1"));
    EXPECT_EQ(entries[1].name, QStringLiteral("Scene 3 \u2014 Good one"));
    EXPECT_EQ(entries[1].take.filename, QStringLiteral("d.mov"));
    EXPECT_EQ(entries[2].name, QStringLiteral(" \u2014 Take 1")); // an empty name stays empty
}

TEST(TimelineMovieFacts, DefaultsForMissingTracksAndDescriptions)
{
    LoadedMovie bare;
    bare.duration = 4.5;
    EXPECT_EQ(movieFacts(bare), (MovieFacts{4.5, 1920, 1080, 60, {}, 48000}));

    LoadedMovie rotated;
    rotated.videoTracks.append(LoadedVideoTrack{1920, 1080, 0, 1, -1, 0, 0});
    rotated.audioTracks.append(LoadedAudioTrack{LoadedAudioDescription{0, 44100.9}});
    rotated.audioTracks.append(LoadedAudioTrack{std::nullopt});
    rotated.audioTracks.append(LoadedAudioTrack{LoadedAudioDescription{1, 0.5}});
    const MovieFacts facts = movieFacts(rotated);
    EXPECT_EQ(facts.width, 1080);
    EXPECT_EQ(facts.height, 1920);
    EXPECT_EQ(facts.fps, 60); // no nominal rate
    EXPECT_EQ(facts.audioTrackChannels, (QList<int>{2, 2, 1}));
    EXPECT_EQ(facts.audioRate, 44100); // truncated; a rate below 1 leaves it alone

    LoadedMovie halfPixel;
    halfPixel.videoTracks.append(LoadedVideoTrack{640.5, 359.5, 1, 0, 0, 1, 29.97});
    EXPECT_EQ(movieFacts(halfPixel).width, 641);
    EXPECT_EQ(movieFacts(halfPixel).height, 360);
    EXPECT_EQ(movieFacts(halfPixel).fps, 29.97);
}

TEST(TimelineClipRange, StaysInsideTheMovie)
{
    auto check = [](double d, double s, double e, double start, double length) {
        const ClipRange range = clipRange(d, s, e);
        EXPECT_DOUBLE_EQ(range.trimStart, start) << d << " " << s << " " << e;
        EXPECT_DOUBLE_EQ(range.trimmedDuration, length) << d << " " << s << " " << e;
    };
    check(10, 1, 4, 1, 3);
    check(10, 2, 12, 2, 8);  // the end beyond the movie
    check(10, 11, 14, 10, 0); // the start beyond the movie
    check(10, 3, 2, 3, 0);    // never a negative length
    check(10, -1, 2, 0, 3);   // never a negative start; the length is the take's own
}

TEST_F(PreparedFolder, CopiesMeasuresAndClampsEveryCheckedTake)
{
    addMovie(QStringLiteral("one.mov"));
    addMovie(QStringLiteral("two words.mov"));
    session.scenes = {
        makeCheckedScene({makeTrimmedTake(QStringLiteral("one.mov"), 10, 1, 4)}, 0),
        makeCheckedScene({makeTrimmedTake(QStringLiteral("two words.mov"), 10, 2, 12, QStringLiteral("Long"))}, 0,
                  QStringLiteral("Demo")),
    };
    const QList<Clip> clips = prepareWith({{QStringLiteral("one.mov"), movie(10, {1}, 29.97)},
                                           {QStringLiteral("two words.mov"), movie(9.5, {2, 2})}});
    ASSERT_EQ(clips.size(), 2);
    EXPECT_EQ(clips[0].name, QStringLiteral("Scene 1 \u2014 Take 1"));
    EXPECT_EQ(clips[0].copiedURL, QDir(destination).filePath(QStringLiteral("media/one.mov")));
    EXPECT_EQ(clips[0].fps, 29.97);
    EXPECT_EQ(clips[0].audioTrackChannels, QList<int>{1});
    EXPECT_DOUBLE_EQ(clips[0].trimmedDuration, 3);
    EXPECT_EQ(clips[1].name, QStringLiteral("Demo \u2014 Long"));
    EXPECT_EQ(clips[1].filename, QStringLiteral("two words.mov"));
    EXPECT_DOUBLE_EQ(clips[1].fullDuration, 9.5);
    EXPECT_DOUBLE_EQ(clips[1].trimmedDuration, 7.5);
    EXPECT_TRUE(QFileInfo(clips[1].copiedURL).isFile());
    EXPECT_EQ(QFileInfo(clips[1].copiedURL).size(), 2048);
}

TEST_F(PreparedFolder, ReadsTheTakesOfTheSavedPackageWhenThereIsOne)
{
    const QString package = path(QStringLiteral("Saved.lumacast"));
    ASSERT_TRUE(writeFileOfSize(package + QStringLiteral("/takes/p.mov"), 3000));
    addMovie(QStringLiteral("p.mov"), 2048);
    session.bundleURL = package;
    session.scenes = {makeCheckedScene({makeTrimmedTake(QStringLiteral("p.mov"), 5, 0, 5)}, 0)};
    const QList<Clip> clips = prepareWith({{QStringLiteral("p.mov"), movie(5)}});
    EXPECT_EQ(QFileInfo(clips[0].copiedURL).size(), 3000);
}

TEST_F(PreparedFolder, SharedMovieIsCopiedOnceAndUsedByEveryClip)
{
    addMovie(QStringLiteral("same.mov"));
    session.scenes = {
        makeCheckedScene({makeTrimmedTake(QStringLiteral("same.mov"), 8, 0, 8)}, 0),
        makeCheckedScene({makeTrimmedTake(QStringLiteral("same.mov"), 8, 2, 5)}, 0, QStringLiteral("Copy")),
    };
    int loads = 0;
    auto loader = [&loads](const QString &) {
        ++loads;
        return movie(8);
    };
    const QList<Clip> clips = runTask(prepare(session, destination, loader));
    ASSERT_EQ(clips.size(), 2);
    EXPECT_EQ(clips[0].copiedURL, clips[1].copiedURL);
    EXPECT_DOUBLE_EQ(clips[1].trimStart, 2);
    EXPECT_DOUBLE_EQ(clips[1].trimmedDuration, 3);
    EXPECT_EQ(loads, 1);
    EXPECT_EQ(QDir(destination + QStringLiteral("/media")).entryList(QDir::Files).size(), 1);
}

TEST_F(PreparedFolder, NoCheckedTakeFailsBeforeTouchingTheDisk)
{
    addMovie(QStringLiteral("a.mov"));
    session.scenes = {makeCheckedScene({makeTrimmedTake(QStringLiteral("a.mov"), 5, 0, 5)}, std::nullopt)};
    EXPECT_EQ(errorText([&] { prepareWith({}); }), QStringLiteral("No scenes have a selected take."));
    EXPECT_FALSE(QFileInfo::exists(destination));
}

TEST_F(PreparedFolder, ReplacesOnlyAnEarlierExport)
{
    addMovie(QStringLiteral("a.mov"));
    session.scenes = {makeCheckedScene({makeTrimmedTake(QStringLiteral("a.mov"), 5, 0, 5)}, 0)};
    const QHash<QString, LoadedMovie> table{{QStringLiteral("a.mov"), movie(5)}};

    // An earlier export (it holds "media") is replaced, leftovers included.
    ASSERT_TRUE(writeFileOfSize(destination + QStringLiteral("/media/old.mov"), 10));
    ASSERT_TRUE(writeFileOfSize(destination + QStringLiteral("/Talk.fcpxml"), 10));
    prepareWith(table);
    EXPECT_FALSE(QFileInfo::exists(destination + QStringLiteral("/media/old.mov")));
    EXPECT_FALSE(QFileInfo::exists(destination + QStringLiteral("/Talk.fcpxml")));
    EXPECT_TRUE(QFileInfo::exists(destination + QStringLiteral("/media/a.mov")));

    const QString refused = QStringLiteral(
        "\u201CTalk\u201D already exists and isn\u2019t a Lumacast export folder, so it wasn\u2019t "
        "replaced. Choose a different name, or delete it yourself first.");

    // An ordinary folder stays as it is.
    QDir(destination).removeRecursively();
    ASSERT_TRUE(writeFileOfSize(destination + QStringLiteral("/notes.txt"), 10));
    EXPECT_EQ(errorText([&] { prepareWith(table); }), refused);
    EXPECT_TRUE(QFileInfo::exists(destination + QStringLiteral("/notes.txt")));
    EXPECT_FALSE(QFileInfo::exists(destination + QStringLiteral("/media")));

    // So does a plain file.
    QDir(destination).removeRecursively();
    ASSERT_TRUE(writeFileOfSize(destination, 10));
    EXPECT_EQ(errorText([&] { prepareWith(table); }), refused);
    EXPECT_TRUE(QFileInfo(destination).isFile());

    // And a link to an earlier export: it is not followed into the other folder.
    QFile::remove(destination);
    ASSERT_TRUE(writeFileOfSize(path(QStringLiteral("Elsewhere/media/keep.mov")), 10));
    ASSERT_TRUE(QFile::link(path(QStringLiteral("Elsewhere")), destination));
    EXPECT_EQ(errorText([&] { prepareWith(table); }), refused);
    EXPECT_TRUE(QFileInfo::exists(path(QStringLiteral("Elsewhere/media/keep.mov"))));
}

// Room for the copied movie but not for the document: the write fails and no package with an
// empty document takes the place of the earlier one (buffered, the save file's commit() would
// have reported success).
TEST_F(PreparedFolder, AFullDiskFailsThePackageAndKeepsTheEarlierOne)
{
    FullDisk disk;
    if (!disk.ready())
        GTEST_SKIP() << qPrintable(disk.reason());
    addMovie(QStringLiteral("a.mov"));
    session.scenes = {makeCheckedScene({makeTrimmedTake(QStringLiteral("a.mov"), 5, 0, 5)}, 0)};
    const QString package = disk.path() + QStringLiteral("/Talk");
    const auto loader = tableLoader({{QStringLiteral("a.mov"), movie(5)}});
    runTask(writeFCPXMLPackage(session, QStringLiteral("Talk"), package, loader));
    const qint64 earlier = QFileInfo(package + QStringLiteral("/Talk.fcpxml")).size();
    ASSERT_GT(earlier, 0);

    disk.fill(2048); // one page: the movie's copy
    EXPECT_NE(errorText([&] { runTask(writeFCPXMLPackage(session, QStringLiteral("Talk"), package, loader)); }),
              QStringLiteral("(no error)"));
    EXPECT_EQ(QFileInfo(package + QStringLiteral("/Talk.fcpxml")).size(), earlier);
}

TEST_F(PreparedFolder, NeverRemovesAFolderThatHoldsTheSession)
{
    addMovie(QStringLiteral("a.mov"));
    session.scenes = {makeCheckedScene({makeTrimmedTake(QStringLiteral("a.mov"), 5, 0, 5)}, 0)};
    // The folder around the session looks like an earlier export: it has "media".
    ASSERT_TRUE(QDir().mkpath(path(QStringLiteral("media"))));
    destination = path(QStringLiteral("."));
    const QString holder = QFileInfo(path(QStringLiteral("."))).canonicalFilePath().section(QLatin1Char('/'), -1);
    EXPECT_EQ(errorText([&] { prepareWith({{QStringLiteral("a.mov"), movie(5)}}); }),
              QStringLiteral("\u201C") + holder
                  + QStringLiteral("\u201D holds the session\u2019s own recordings, so it wasn\u2019t "
                                   "replaced. Choose a different name."));
    EXPECT_TRUE(QFileInfo::exists(QDir(takesFolder()).filePath(QStringLiteral("a.mov"))));
}

TEST_F(PreparedFolder, MissingMovieFailsAndKeepsEarlierCopies)
{
    addMovie(QStringLiteral("first.mov"));
    session.scenes = {
        makeCheckedScene({makeTrimmedTake(QStringLiteral("first.mov"), 5, 0, 5)}, 0),
        makeCheckedScene({makeTrimmedTake(QStringLiteral("gone.mov"), 5, 0, 5)}, 0),
    };
    EXPECT_EQ(errorText([&] { prepareWith({{QStringLiteral("first.mov"), movie(5)}}); }),
              QStringLiteral("Source media is missing: gone.mov"));
    EXPECT_TRUE(QFileInfo::exists(destination + QStringLiteral("/media/first.mov")));
}

TEST_F(PreparedFolder, NameThatLeavesTheTakesFolderCountsAsMissing)
{
    ASSERT_TRUE(writeFileOfSize(path(QStringLiteral("session/outside.mov")), 2048));
    session.scenes = {makeCheckedScene({makeTrimmedTake(QStringLiteral("../outside.mov"), 5, 0, 5)}, 0)};
    EXPECT_EQ(errorText([&] { prepareWith({{QStringLiteral("outside.mov"), movie(5)}}); }),
              QStringLiteral("Source media is missing: ../outside.mov"));
    EXPECT_FALSE(QFileInfo::exists(path(QStringLiteral("outside.mov"))));
}

TEST_F(PreparedFolder, LoaderFailureEndsThePreparation)
{
    addMovie(QStringLiteral("bad.mov"));
    session.scenes = {makeCheckedScene({makeTrimmedTake(QStringLiteral("bad.mov"), 5, 0, 5)}, 0)};
    EXPECT_EQ(errorText([&] { prepareWith({}); }), QStringLiteral("no movie facts for bad.mov"));
}
