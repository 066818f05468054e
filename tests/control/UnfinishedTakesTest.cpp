#include "StateManagerDoubles.h"

#include "control/UnfinishedTakes.h"
#include "platform/av/TakeJournal.h"
#include "platform/av/TakeRecovery.h"
#include "store/TakeLedger.h"
#include "support/SmallTake.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

using namespace lumacast;
using lumacast::testing::ManagerHarness;
using lumacast::testing::recordSmallTake;

namespace {

void setModified(const QString &path, const QDateTime &when)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(when, QFileDevice::FileModificationTime));
}

const Take *findTake(const Session &session, const QString &filename, qsizetype *sceneIndex = nullptr)
{
    for (qsizetype s = 0; s < session.scenes.size(); ++s)
        for (const Take &take : session.scenes[s].takes)
            if (take.filename == filename) {
                if (sceneIndex)
                    *sceneIndex = s;
                return &take;
            }
    return nullptr;
}

// 'ftyp', 'wide' and an empty 'mdat' header, as the first picture of a take writes them: the
// samples would begin at byte 20.
const QByteArray kMovieHeader =
    QByteArray::fromHex("00000014667479707174202000000200717420200000000877696465000000006d646174");

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    ASSERT_EQ(file.write(bytes), bytes.size());
}

// A whole journal of one video track in which no sample was ever recorded.
QByteArray journalWithoutFrames()
{
    return av::TakeJournal::header(20, {}, {av::TakeJournal::Track{av::MediaType::Video, 600, 96, 64, {}}});
}

} // namespace

// A start that failed, or a take killed before its first whole frame, leaves a movie holding
// nothing beside a journal that says so: opening the recording removes both. Real takes, a
// movie the manifest names, and anything reached through a link stay.
TEST(UnfinishedTakesTest, OpeningRemovesTakesThatNeverStartedAndNothingElse)
{
    ManagerHarness h;
    Session session = h.adoptSessionWithTakes({1});
    const QDir takes(h.takesFolder());
    QTemporaryDir outside;
    const QString outsideMovie = outside.filePath("movie.mov");
    const QString outsideJournal = outside.filePath("movie.mov.journal");
    writeFile(outsideMovie, kMovieHeader);
    writeFile(outsideJournal, journalWithoutFrames());

    struct Row {
        const char *name;
        QString file;
        std::function<void(const QString &movie)> make;
        bool movieStays;
        bool journalStays;
    };
    const auto leftover = [](const QByteArray &movie) {
        return [movie](const QString &path) {
            writeFile(path, movie);
            writeFile(av::TakeJournal::pathFor(path), journalWithoutFrames());
        };
    };
    const Row rows[] = {
        {"a start that failed: the movie's header alone", "failed.mov", leftover(kMovieHeader), false, false},
        {"killed before its first whole frame", "early.mov", leftover(kMovieHeader + QByteArray(3000, '\x01')), false,
         false},
        {"a finished take the manifest names", "take1.mov",
         [](const QString &path) {
             QFile::remove(path);
             recordSmallTake(path, {}, true);
         },
         true, false},
        {"a movie the manifest names, its journal without frames", "named.mov", leftover(kMovieHeader), true, false},
        {"a leftover reached through a link", "linked.mov",
         [&](const QString &path) {
             ASSERT_TRUE(QFile::link(outsideMovie, path));
             writeFile(av::TakeJournal::pathFor(path), journalWithoutFrames());
         },
         true, true},
        {"a leftover whose journal is a link", "linkedjournal.mov",
         [&](const QString &path) {
             writeFile(path, kMovieHeader);
             ASSERT_TRUE(QFile::link(outsideJournal, av::TakeJournal::pathFor(path)));
         },
         true, true},
    };
    Take named = session.scenes[0].takes[0];
    named.id = QUuid::createUuid();
    named.filename = QStringLiteral("named.mov");
    session.scenes[0].takes.append(named);
    for (const Row &row : rows)
        row.make(takes.filePath(row.file));
    h.store->writeManifest(session);

    h.m().resumeSession(session);

    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        const QFileInfo movie(takes.filePath(row.file));
        EXPECT_EQ(movie.exists() || movie.isSymLink(), row.movieStays);
        const QFileInfo journal(av::TakeJournal::pathFor(movie.filePath()));
        EXPECT_EQ(journal.exists() || journal.isSymLink(), row.journalStays);
    }
    EXPECT_TRUE(QFileInfo::exists(outsideMovie));
    EXPECT_TRUE(QFileInfo::exists(outsideJournal));
    const Session &opened = *h.m().session();
    EXPECT_TRUE(findTake(opened, "take1.mov"));
    EXPECT_TRUE(findTake(opened, "named.mov"));
    EXPECT_TRUE(av::TakeRecovery::hasIndex(takes.filePath("take1.mov")));
    // The movie behind the linked journal is told of, as one its journal could not finish.
    ASSERT_EQ(h.alerts->shown.size(), 1u);
    EXPECT_TRUE(h.alerts->shown[0].informativeText.contains("\u201Clinkedjournal.mov\u201D could not be finished"))
        << h.alerts->shown[0].informativeText.toStdString();
}

TEST(UnfinishedTakesTest, OpeningFilesBackWhatACrashCutOffAndLeavesWhatItCannotRead)
{
    ManagerHarness h;
    Session session = h.adoptSessionWithTakes({1, 1});
    session.currentSceneIndex = 1;
    QDir takes(h.takesFolder());
    // A take movie older than the manifest was filed once (a deleted take's, kept for undo): the
    // manifest that stopped naming it listed it as Lumacast's.
    recordSmallTake(takes.filePath("deleted.mov"), {}, true);
    setModified(takes.filePath("deleted.mov"), QDateTime::currentDateTime().addSecs(-60));
    Session withDeleted = session;
    withDeleted.scenes[0].takes << session.scenes[0].takes[0];
    withDeleted.scenes[0].takes.last().filename = QStringLiteral("deleted.mov");
    withDeleted.scenes[0].takes.last().id = QUuid::createUuid();
    h.store->writeManifest(withDeleted);
    h.store->writeManifest(session);
    // Cut off while recorded for the first scene; finished just before the crash but never filed
    // (its journal still there); a journal that is not one; a tail being recorded (it keeps no
    // journal); movies the program wrote that were never takes, newer than the manifest: the
    // copy of a Duplicate Scene never saved, a join's working movie killed in its verification.
    const QByteArray firstScene = UnfinishedTakes::journalNote(session, session.scenes[0].id);
    recordSmallTake(takes.filePath("cut.mov"), firstScene, false);
    recordSmallTake(takes.filePath("ended.mov"), firstScene, true, true);
    for (const char *copy : {"C0B1E5.mov", ".lumacast-work-2147483646-0000.mov"}) {
        ASSERT_TRUE(QFile::copy(takes.filePath("ended.mov"), takes.filePath(copy)));
        setModified(takes.filePath(copy), QDateTime::currentDateTime().addSecs(5));
    }
    h.writeTakeFile("garbled.mov", 5000);
    h.writeTakeFile("garbled.mov.journal", 100);
    TakeLedger::update(session.scratchURL, {"C0B1E5.mov"}, {}); // as the copy listed it
    // Put there by the user: no take's, never Lumacast's.
    ASSERT_TRUE(QFile::copy(takes.filePath("ended.mov"), takes.filePath("mine.mov")));
    h.writeTakeFile("take1.tail.mov", 5000);
    // Killed before its first frame was whole: nothing to recover, and the journal is given up.
    {
        QFile early(takes.filePath("early.mov"));
        ASSERT_TRUE(early.open(QIODevice::WriteOnly));
        early.write(QByteArray::fromHex("00000014667479707174202000000200717420200000000877696465000000006d646174"));
        early.write(QByteArray(3000, '\x01'));
        QFile journal(av::TakeJournal::pathFor(early.fileName()));
        ASSERT_TRUE(journal.open(QIODevice::WriteOnly));
        journal.write(av::TakeJournal::header(20, {}, {av::TakeJournal::Track{av::MediaType::Video, 600, 96, 64, {}}}));
    }
    ASSERT_TRUE(UnfinishedTakes::hasJournal(takes.filePath("cut.mov")));
    h.clearLogs();

    h.m().resumeSession(session);

    const Session &opened = *h.m().session();
    qsizetype scene = -1;
    const Take *cut = findTake(opened, "cut.mov", &scene);
    ASSERT_TRUE(cut);
    EXPECT_EQ(scene, 0) << "filed into the scene it was recorded for";
    EXPECT_GT(cut->duration, 0.5);
    EXPECT_EQ(cut->trimStart, 0);
    EXPECT_EQ(cut->trimEnd, cut->duration);
    EXPECT_TRUE(av::TakeRecovery::hasIndex(takes.filePath("cut.mov")));
    EXPECT_FALSE(UnfinishedTakes::hasJournal(takes.filePath("cut.mov")));
    const Take *ended = findTake(opened, "ended.mov", &scene);
    ASSERT_TRUE(ended);
    EXPECT_EQ(scene, 0) << "filed into the scene its journal names";
    // Named by the manifest on the disk, the takes lose their journals; the copies, never takes,
    // went as orphans with the deleted take's movie.
    const Session saved = h.store->openSession(session.scratchURL);
    EXPECT_TRUE(findTake(saved, "cut.mov") && findTake(saved, "ended.mov"));
    EXPECT_FALSE(UnfinishedTakes::hasJournal(takes.filePath("ended.mov")));
    for (const char *gone : {"C0B1E5.mov", ".lumacast-work-2147483646-0000.mov", "deleted.mov"}) {
        EXPECT_FALSE(findTake(opened, gone)) << gone;
        EXPECT_FALSE(h.takeFileExists(gone)) << gone;
    }
    EXPECT_TRUE(h.takeFileExists("mine.mov"));
    EXPECT_FALSE(findTake(opened, "garbled.mov"));
    EXPECT_FALSE(findTake(opened, "take1.tail.mov"));
    EXPECT_FALSE(findTake(opened, "early.mov"));
    EXPECT_FALSE(UnfinishedTakes::hasJournal(takes.filePath("early.mov")));

    ASSERT_EQ(h.alerts->shown.size(), 1u);
    EXPECT_EQ(h.alerts->shown[0].message, QStringLiteral("Takes were recovered"));
    // The movie its journal could not finish is told of in the same alert.
    EXPECT_TRUE(h.alerts->shown[0].informativeText.contains("\u201Cgarbled.mov\u201D could not be finished"))
        << h.alerts->shown[0].informativeText.toStdString();
    EXPECT_EQ(h.alerts->shown[0].style, AlertStyle::warning);
    EXPECT_EQ(h.m().undoActionName(), std::optional<QString>(QStringLiteral("Recover Takes")));
    const QStringList history = h.historyLines();
    EXPECT_EQ(history.filter("take recovered after a crash").size(), 2) << history.join('\n').toStdString();
    EXPECT_EQ(h.appLogLines().filter("garbled.mov could not be recovered, left as it is").size(), 1);

    // Undone, the recovered takes are orphans again: the clean-up still leaves every movie whose
    // journal was never given up.
    h.m().undo();
    EXPECT_FALSE(findTake(*h.m().session(), "cut.mov"));
    h.m().collectOrphanTakeFiles();
    EXPECT_TRUE(h.takeFileExists("garbled.mov"));
    EXPECT_TRUE(h.takeFileExists("garbled.mov.journal"));
    EXPECT_TRUE(h.takeFileExists("cut.mov")) << "a redo step refers to it";
    EXPECT_FALSE(h.takeFileExists("early.mov")) << "given up, it is an orphan like any other";
}
