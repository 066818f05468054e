#include "store/SessionStore.h"

#include "store/AppLog.h"
#include "store/DiskSync.h"
#include "store/FileCopy.h"
#include "store/InFlightItem.h"
#include "store/ScratchClaim.h"
#include "store/TakeLedger.h"

#include "support/CloningDisk.h"
#include "support/FullDisk.h"
#include "support/SessionRecords.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include <QProcess>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lumacast;
using lumacast::testing::writeFileOfSize;

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t modeOf(const QString &path)
{
    struct stat status {};
    return ::stat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 0;
}

bool writeText(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

Take makeTake(const QString &filename, double duration = 4.0)
{
    return lumacast::testing::makeTrimmedTake(filename, duration, 0, duration);
}

// A scratch-style folder holding "takes" with the named movies (content is the name itself).
Session makeSession(const QString &folder, const QStringList &movies)
{
    QDir().mkpath(folder + "/takes");
    Session session(folder);
    for (const QString &movie : movies) {
        writeText(folder + "/takes/" + movie, movie.toUtf8());
        session.scenes[0].takes << makeTake(movie);
    }
    return session;
}

// Runs `work` in a child process as another user (uid 65534, in `group` only) and gives its exit
// status; -1 where this process may not change user (it is not root).
int asAnotherUser(gid_t group, const std::function<int()> &work)
{
    if (::geteuid() != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        const gid_t groups[] = {group};
        if (::setgroups(1, groups) != 0 || ::setresgid(group, group, group) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(100);
        ::_exit(work());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

// Runs `work` in a child process, which the test kills from inside (SIGKILL); true when it was.
bool killedDuring(const std::function<void()> &work)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        try {
            work();
        } catch (...) {
        }
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}

QStringList entries(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

class SessionStoreTest : public ::testing::Test {
protected:
    QTemporaryDir dir;
    SessionStore store;
    QString path(const QString &name) const { return dir.path() + "/" + name; }
};

TEST_F(SessionStoreTest, ManifestGoesIntoThePackageWhenThereIsOne)
{
    Session session = makeSession(path("scratch"), {"A.mov"});
    QDir().mkpath(path("Talk.lumacast"));
    session.bundleURL = path("Talk.lumacast");

    store.writeManifest(session);

    EXPECT_FALSE(QFile::exists(path("scratch/manifest.json")));
    const Session back = store.openSession(path("Talk.lumacast"), path("Talk.lumacast"));
    EXPECT_EQ(back.id, session.id);
    EXPECT_EQ(back.scenes, session.scenes);
    EXPECT_FALSE(back.isDirty);
}

TEST_F(SessionStoreTest, FailedManifestWriteKeepsTheEarlierManifest)
{
    Session session = makeSession(path("scratch"), {"A.mov"});
    store.writeManifest(session);
    const QByteArray before = readAll(path("scratch/manifest.json"));

    session.scenes[0].takes[0].duration = std::numeric_limits<double>::infinity();
    EXPECT_THROW(store.writeManifest(session), JsonEncodeError);
    EXPECT_EQ(readAll(path("scratch/manifest.json")), before);

    session.scenes[0].takes[0].duration = 4.0;
    session.scratchURL = path("no-such-folder");
    EXPECT_THROW(store.writeManifest(session), FileSystemError);
}

TEST_F(SessionStoreTest, SavingAScratchSessionMovesItIntoThePackage)
{
    Session session = makeSession(path("scratch"), {"A.mov", "B.mov"});
    writeText(path("scratch/history.log"), "log\n");
    session.isDirty = true;

    const Session saved = store.save(session, path("Talk.lumacast"));

    EXPECT_EQ(saved.bundleURL, path("Talk.lumacast"));
    EXPECT_EQ(saved.scratchURL, path("scratch"));
    EXPECT_FALSE(saved.isDirty);
    EXPECT_FALSE(QFileInfo::exists(path("scratch")));
    EXPECT_EQ(entries(path("Talk.lumacast")),
              QStringList({"history.log", "manifest.json", "takes"}));
    EXPECT_EQ(readAll(path("Talk.lumacast/takes/B.mov")), "B.mov");
    EXPECT_EQ(store.openSession(path("Talk.lumacast"), path("Talk.lumacast")).scenes,
              session.scenes);
    EXPECT_EQ(entries(dir.path()), QStringList({"Talk.lumacast"})) << "no staging left behind";
}

// Any name the file system takes saves, up to its 255 bytes: the package is assembled under a
// staging name within the limit too, one a launch knows as abandoned work. A name past the limit
// fails as it is, the recording untouched.
TEST_F(SessionStoreTest, NamesUpToTheFileSystemsLimitSave)
{
    const std::pair<QString, bool> names[] = {
        {"My \"Best\" Talk v1.5.lumacast", true},
        {QString(82, QChar(0x8B1B)) + ".lumacast", true}, // three bytes a character
        {QString(61, QLatin1Char('x')).replace("x", "🎬") + ".lumacast", true},
        {QString(247, QLatin1Char('a')) + ".lumacast", false},
    };
    int made = 0;
    for (const auto &[name, fits] : names) {
        const QString scratch = path(QStringLiteral("scratch%1").arg(++made));
        const Session session = makeSession(scratch, {"A.mov"});
        const QString staging = InFlightItem::savingName(name);
        EXPECT_TRUE(QFile::encodeName(staging).size() <= 255 && InFlightItem::isWorkingItemName(staging));
        if (fits)
            EXPECT_EQ(readAll(store.save(session, path(name)).bundleURL.value() + "/takes/A.mov"), "A.mov");
        else
            EXPECT_THROW(store.save(session, path(name)), FileSystemError);
    }
    EXPECT_EQ(readAll(path("scratch4/takes/A.mov")), "A.mov");
    for (const QString &entry : entries(dir.path()))
        EXPECT_FALSE(InFlightItem::isWorkingItemName(entry)) << entry.toStdString();
}

TEST_F(SessionStoreTest, SavingOverAnExistingPackageReplacesItWhole)
{
    writeText(path("Talk.lumacast/takes/OLD.mov"), "old");
    writeText(path("Talk.lumacast/manifest.json"), "{}");
    Session session = makeSession(path("scratch"), {"NEW.mov"});

    store.save(session, path("Talk.lumacast"));

    EXPECT_EQ(entries(path("Talk.lumacast/takes")), QStringList({"NEW.mov"}));
    EXPECT_EQ(store.openSession(path("Talk.lumacast"), path("Talk.lumacast")).id, session.id);
    EXPECT_FALSE(QFileInfo::exists(path("scratch")));
    EXPECT_EQ(entries(dir.path()), QStringList({"Talk.lumacast"}));

    // A plain file standing at the destination is replaced the same way.
    writeText(path("Other.lumacast"), "a file");
    Session second = makeSession(path("scratch2"), {"C.mov"});
    store.save(second, path("Other.lumacast"));
    EXPECT_TRUE(QFileInfo(path("Other.lumacast")).isDir());
}

TEST_F(SessionStoreTest, LaterSavesComeFromThePackageNotTheOldScratchFolder)
{
    Session session = makeSession(path("scratch"), {"A.mov"});
    Session saved = store.save(session, path("First.lumacast"));
    // A take recorded after the first save lives in the package.
    writeText(path("First.lumacast/takes/B.mov"), "B.mov");
    saved.scenes[0].takes << makeTake("B.mov");

    const Session again = store.save(saved, path("Second.lumacast"));

    EXPECT_EQ(entries(path("Second.lumacast/takes")), QStringList({"A.mov", "B.mov"}));
    EXPECT_EQ(again.bundleURL, path("Second.lumacast"));
    EXPECT_EQ(again.scratchURL, path("Second.lumacast"))
        << "the copy is the package now worked on";
    EXPECT_EQ(entries(path("First.lumacast/takes")), QStringList({"A.mov", "B.mov"}))
        << "saving elsewhere keeps the original package";
}

TEST_F(SessionStoreTest, OpenedPackageSavedOntoItselfOnlyWritesTheManifest)
{
    Session original = makeSession(path("scratch"), {"A.mov"});
    store.save(original, path("Talk.lumacast"));
    Session opened = store.openSession(path("Talk.lumacast"), path("Talk.lumacast"));
    opened.scenes[0].name = QStringLiteral("Intro");
    opened.isDirty = true;

    const Session saved = store.save(opened, path("Talk.lumacast/"));

    EXPECT_FALSE(saved.isDirty);
    EXPECT_EQ(readAll(path("Talk.lumacast/takes/A.mov")), "A.mov");
    EXPECT_EQ(store.openSession(path("Talk.lumacast"), path("Talk.lumacast")).scenes[0].name,
              QStringLiteral("Intro"));
    EXPECT_EQ(entries(dir.path()), QStringList({"Talk.lumacast"}));

    // An opened package whose working folder is the package but that has no bundle yet is
    // still never removed by a save elsewhere.
    Session unbundled = store.openSession(path("Talk.lumacast"));
    store.save(unbundled, path("Copy.lumacast"));
    EXPECT_TRUE(QFileInfo::exists(path("Talk.lumacast/takes/A.mov")));
}

TEST_F(SessionStoreTest, DestinationsThatWouldSwallowTheSessionAreRefused)
{
    Session session = makeSession(path("work/scratch"), {"A.mov"});

    EXPECT_THROW(store.save(session, path("work/scratch/takes/Inner.lumacast")), Error);
    EXPECT_THROW(store.save(session, path("work")), Error);
    EXPECT_THROW(store.save(session, path("no-such-folder/Talk.lumacast")), FileSystemError);

    EXPECT_EQ(entries(path("work/scratch/takes")), QStringList({"A.mov"}));
    EXPECT_EQ(entries(path("work")), QStringList({"scratch"}));
}

TEST_F(SessionStoreTest, FailedCopyLeavesTheDestinationAndScratchUntouched)
{
    Session session = makeSession(path("scratch"), {"A.mov", "B.mov"});
    writeText(path("Talk.lumacast/takes/OLD.mov"), "old");
    // An item that cannot be copied stops the copy part-way (a pipe would never end).
    ASSERT_EQ(::mkfifo(QFile::encodeName(path("scratch/takes/pipe")).constData(), 0644), 0);

    EXPECT_THROW(store.save(session, path("Talk.lumacast")), FileSystemError);
    EXPECT_THROW(store.save(session, path("New.lumacast")), FileSystemError);

    EXPECT_EQ(entries(path("Talk.lumacast/takes")), QStringList({"OLD.mov"}));
    EXPECT_EQ(entries(path("scratch/takes")), QStringList({"A.mov", "B.mov", "pipe"}));
    EXPECT_EQ(entries(dir.path()), QStringList({"Talk.lumacast", "scratch"}))
        << "no partial package and no staging left behind";
}

TEST_F(SessionStoreTest, RecoveryCountsBadManifestsAndLeavesThemAlone)
{
    const QString root = path("Sessions");
    const Session good = makeSession(root + "/GOOD", {"A.mov"});
    store.writeManifest(good);
    QDir().mkpath(root + "/NO-MANIFEST/takes");
    writeText(root + "/GARBAGE/manifest.json", "{not json");
    writeText(root + "/TRUNCATED/manifest.json", readAll(root + "/GOOD/manifest.json").left(40));
    // Decodes, but fails validation: a take file name that climbs out of its folder.
    QByteArray invalid = readAll(root + "/GOOD/manifest.json");
    invalid.replace("A.mov", "../../A.mov");
    writeText(root + "/INVALID/manifest.json", invalid);
    QDir().mkpath(root + "/FOLDER/manifest.json");
    QDir().mkpath(root + "/LINKED");
    ASSERT_EQ(::symlink(QFile::encodeName(root + "/GOOD/manifest.json").constData(),
                        QFile::encodeName(root + "/LINKED/manifest.json").constData()),
              0);
    writeText(root + "/stray-file", "x");
    // Open in a running program: not offered, not counted.
    store.writeManifest(makeSession(root + "/CLAIMED", {"B.mov"}));
    const ScratchClaim claim(root + "/CLAIMED");
    ASSERT_TRUE(claim.isHeld());

    const SessionStore::Recovery recovery = store.recoverSessions(root);

    ASSERT_EQ(recovery.sessions.size(), 1);
    EXPECT_EQ(recovery.sessions[0].id, good.id);
    EXPECT_EQ(recovery.sessions[0].scratchURL, root + "/GOOD");
    EXPECT_FALSE(recovery.sessions[0].bundleURL);
    EXPECT_EQ(recovery.failureCount, 5);
    EXPECT_EQ(readAll(root + "/GARBAGE/manifest.json"), "{not json");
    EXPECT_EQ(readAll(root + "/INVALID/manifest.json"), invalid);

    EXPECT_EQ(store.recoverSessions(path("missing-root")).failureCount, 0);
    EXPECT_TRUE(store.recoverSessions(path("missing-root")).sessions.isEmpty());
}

TEST_F(SessionStoreTest, ManifestErrorsDescribeThemselves)
{
    writeText(path("s/manifest.json"), "[]");
    try {
        store.openSession(path("s"));
        FAIL() << "a top-level array is no manifest";
    } catch (const SessionStore::ManifestError &error) {
        EXPECT_EQ(error.kind(), SessionStore::ManifestError::Kind::Corrupt);
        EXPECT_TRUE(error.message().startsWith(
            "manifest.json at " + path("s/manifest.json")
            + " is corrupt or has an unsupported format.\n\n"))
            << error.message().toStdString();
        EXPECT_EQ(error.message().mid(error.message().indexOf("\n\n") + 2), error.underlying());
    }
    try {
        store.openSession(path("nothing-here"));
        FAIL() << "a missing manifest is unreadable";
    } catch (const SessionStore::ManifestError &error) {
        EXPECT_EQ(error.kind(), SessionStore::ManifestError::Kind::Unreadable);
        EXPECT_EQ(error.message(),
                  "Cannot read manifest.json at " + path("nothing-here/manifest.json") + ".");
    }
}

TEST_F(SessionStoreTest, SceneDuplicationCopiesTakeFilesOrNothing)
{
    const Session session = makeSession(path("s"), {"A.mov", "B.mov"});
    const QString takes = path("s/takes");

    const QHash<QString, QString> renamed = store.copyTakeFiles({"A.mov", "B.mov"}, takes);
    ASSERT_EQ(renamed.size(), 2);
    for (const QString &old : {QStringLiteral("A.mov"), QStringLiteral("B.mov")}) {
        const QString copy = renamed.value(old);
        EXPECT_TRUE(copy.endsWith(".mov"));
        EXPECT_EQ(copy, copy.toUpper().replace(".MOV", ".mov"));
        EXPECT_EQ(readAll(takes + "/" + copy), old.toUtf8());
    }
    EXPECT_TRUE(store.copyTakeFiles({}, takes).isEmpty());

    // The second name is missing: the first copy is taken back.
    EXPECT_THROW(store.copyTakeFiles({"A.mov", "GONE.mov"}, takes), FileSystemError);
    EXPECT_THROW(store.copyTakeFiles({"../s/takes/A.mov"}, takes), FileSystemError);
    EXPECT_EQ(entries(takes).size(), 4);
    // Listed as Lumacast's before they were made; those taken back no longer.
    const QList<QString> made = renamed.values();
    EXPECT_EQ(TakeLedger::read(path("s")), QSet<QString>(made.begin(), made.end()));
}

TEST_F(SessionStoreTest, CleanupRemovesOnlyUnreferencedWorkingFiles)
{
    Session session = makeSession(path("s"), {"A.mov", "J.joining.mov"});
    for (const char *name : {"X.tail.mov", "Y.joining.mov", "Z.TAIL.MOV", "notes.txt", "B.mov", "W.tail.mov"})
        writeText(path("s/takes/") + name, "x");
    QDir().mkpath(path("s/takes/D.tail.mov"));
    // A tail of Lumacast's listed its working movies; W.tail.mov is somebody else's.
    TakeLedger::update(path("s"), {"X.tail.mov", "Y.joining.mov", "J.joining.mov", "D.tail.mov"}, {});

    store.cleanupReservedFiles(session);

    EXPECT_EQ(entries(path("s/takes")),
              QStringList({"A.mov", "B.mov", "D.tail.mov", "J.joining.mov", "W.tail.mov", "Z.TAIL.MOV",
                           "notes.txt"}));
    EXPECT_EQ(TakeLedger::read(path("s")), QSet<QString>({"J.joining.mov", "D.tail.mov"}));

    session.scratchURL = path("no-such-session");
    store.cleanupReservedFiles(session);
}

// Links and FIFOs put into a recording after it was opened: the history log and the clean-up
// stay inside the recording's own folder, and nothing waits for a FIFO's reader.
TEST_F(SessionStoreTest, WorkOnAnOpenRecordingNeverLeavesItsFolder)
{
    enum class Swap { linkedLog, fifoLog, linkedTakes, linkedTail, linkedManifest };
    struct Row {
        const char *name;
        Swap swap;
        bool logOpens;
    };
    const Row rows[] = {
        {"history.log links out", Swap::linkedLog, false},
        {"history.log is a FIFO", Swap::fifoLog, false},
        {"takes links out", Swap::linkedTakes, true},
        {"a working tail links out", Swap::linkedTail, true},
        {"manifest.json links out", Swap::linkedManifest, true},
    };
    for (const Row &row : rows) {
        QTemporaryDir root;
        const QString folder = root.filePath("Shared.lumacast"), outside = root.filePath("home");
        const Session session = makeSession(folder, {"A.mov"});
        ASSERT_TRUE(writeText(outside + "/Videos/B.tail.mov", "mine") && writeText(outside + "/.bashrc", "keep"));
        const auto link = [](const QString &target, const QString &at) {
            return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(at).constData()) == 0;
        };
        bool laid = false;
        switch (row.swap) {
        case Swap::linkedLog: laid = link(outside + "/.bashrc", folder + "/history.log"); break;
        case Swap::fifoLog: laid = ::mkfifo(QFile::encodeName(folder + "/history.log").constData(), 0600) == 0; break;
        case Swap::linkedTakes:
            laid = QDir(folder + "/takes").removeRecursively() && link(outside + "/Videos", folder + "/takes");
            break;
        case Swap::linkedTail: laid = link(outside + "/Videos/B.tail.mov", folder + "/takes/B.tail.mov"); break;
        case Swap::linkedManifest: laid = link(outside + "/.bashrc", folder + "/manifest.json"); break;
        }
        ASSERT_TRUE(laid) << row.name;

        SessionLogger log;
        log.open(folder);
        log.append("x;touch${IFS}INJECTED;#");
        store.cleanupReservedFiles(session);
        try {
            store.writeManifest(session);
        } catch (const FileSystemError &) {
            EXPECT_EQ(row.swap, Swap::linkedManifest) << row.name;
        }

        EXPECT_EQ(log.isOpen(), row.logOpens) << row.name;
        EXPECT_EQ(readAll(outside + "/.bashrc"), "keep") << row.name;
        EXPECT_EQ(readAll(outside + "/Videos/B.tail.mov"), "mine") << row.name;
    }
}

// A copy is the original byte for byte with its folder's file mode, or nothing at all: a link, a
// FIFO (never waited on), a name already taken and a full disk leave nothing new at the destination.
TEST(FileCopy, CopiesByteForByteOrLeavesNothing)
{
    enum class Source { movie, link, fifo, taken, fullDisk };
    QByteArray movie(3 * 1024 * 1024 + 1, Qt::Uninitialized);
    for (qsizetype i = 0; i < movie.size(); ++i)
        movie[i] = char((i * 7919) >> 5);
    for (const Source source : {Source::movie, Source::link, Source::fifo, Source::taken, Source::fullDisk}) {
        SCOPED_TRACE(int(source));
        QTemporaryDir dir;
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()), 02775), 0); // a team's folder
        lumacast::testing::FullDisk disk;
        const QString from = dir.filePath("from.mov");
        QString to = dir.filePath("to.mov");
        const QByteArray fromName = QFile::encodeName(from);
        if (source == Source::link)
            ASSERT_TRUE(writeText(dir.filePath("target.mov"), movie) && ::symlink("target.mov", fromName) == 0);
        else if (source == Source::fifo)
            ASSERT_EQ(::mkfifo(fromName, 0600), 0);
        else
            ASSERT_TRUE(writeText(from, movie) && ::chmod(fromName, 0640) == 0);
        if (source == Source::taken)
            ASSERT_TRUE(writeText(to, "mine"));
        if (source == Source::fullDisk) {
            if (!disk.ready())
                GTEST_SKIP() << qPrintable(disk.reason());
            to = disk.path() + "/to.mov";
            disk.fill(4096);
        }
        bool copied = true;
        try {
            FileCopy::copy(from, to);
        } catch (const FileSystemError &) {
            copied = false;
        }
        EXPECT_EQ(copied, source == Source::movie);
        if (copied) {
            EXPECT_EQ(readAll(to), movie);
            EXPECT_EQ(modeOf(to), 0664u);
        } else {
            EXPECT_EQ(QFileInfo::exists(to), source == Source::taken) << "a partial copy was left";
            EXPECT_TRUE(source != Source::taken || readAll(to) == "mine");
        }
    }
}

// What a manifest names reaches the disk before the manifest does, and a manifest's bytes before
// its name: the movies, then a package under its new name (the staging folder's name replaced by
// STAGING), once the scratch folder notes where it goes.
TEST_F(SessionStoreTest, WhatAManifestNamesReachesTheDiskBeforeIt)
{
    QStringList synced;
    DiskSync::setWitness([&](const QString &item) {
        synced << QDir(dir.path()).relativeFilePath(item).replace(QRegularExpression("\\.Talk.*saving-[-0-9a-f]+"), "STAGING");
    });
    const Session session = makeSession(path("s"), {"A.mov"});
    const struct {
        std::function<void()> act;
        QStringList synced;
    } rows[] = {
        {[&] { store.writeManifest(session); }, {"s/manifest.json", "s"}},
        // A movie the manifest there named and this one does not is listed as Lumacast's first.
        {[&] { store.writeManifest(makeSession(path("s"), {})); }, {"s/.lumacast-ledger", "s", "s/manifest.json", "s"}},
        {[&] { store.writeManifest(session); }, {"s/.lumacast-ledger", "s", "s/manifest.json", "s"}},
        {[&] { store.save(session, path("Talk.lumacast")); },
         {"STAGING/manifest.json", "STAGING/takes/A.mov", "STAGING/takes", "STAGING", "STAGING/manifest.json", "STAGING",
          "s/.lumacast-saved-as", "s", "."}},
        {[&] { store.copyTakeFiles({"A.mov"}, path("Talk.lumacast/takes")); },
         {"Talk.lumacast/.lumacast-ledger", "Talk.lumacast", "COPY", "Talk.lumacast/takes"}},
    };
    for (const auto &row : rows) {
        synced.clear();
        row.act();
        synced.replaceInStrings(QRegularExpression("^Talk.lumacast/takes/[-0-9A-F]+.mov$"), "COPY");
        EXPECT_EQ(synced.join(", ").toStdString(), row.synced.join(", ").toStdString());
    }
    DiskSync::setWitness({});
    EXPECT_THROW(DiskSync::file(path("missing.mov")), FileSystemError);
}

// New Recording cut off in its first instant leaves a scratch folder holding nothing, never
// offered: the launch removes it, and nothing that holds more, is claimed, or is no such folder.
TEST_F(SessionStoreTest, ScratchFoldersNeverSavedThatHoldNothingAreRemoved)
{
    const QString root = path("Sessions");
    std::unique_ptr<ScratchClaim> claim;
    const struct {
        const char *file;
        bool removed;
    } rows[] = {{nullptr, true},        {"history.log", true}, {"manifest.json", false}, {"takes/A.mov", false},
                {"notes.txt", false},   {"claimed", false},    {"linked", false}};
    QStringList folders;
    for (const auto &row : rows) {
        folders << root + "/" + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        QDir().mkpath(folders.last() + "/takes");
        if (row.file == QLatin1String("claimed")) {
            claim = std::make_unique<ScratchClaim>(folders.last());
        } else if (row.file == QLatin1String("linked")) { // an empty one elsewhere, linked from the root
            QFile::rename(folders.last(), path("elsewhere"));
            QFile::link(path("elsewhere"), folders.last());
            folders.last() = path("elsewhere");
        } else if (row.file) {
            writeText(folders.last() + "/" + row.file, "x");
        }
    }
    EXPECT_EQ(store.removeEmptyScratchFolders(root), 2);
    for (qsizetype i = 0; i < folders.size(); ++i)
        EXPECT_EQ(QFileInfo::exists(folders[i]), !rows[i].removed) << i;
    claim.reset();
    EXPECT_EQ(store.removeEmptyScratchFolders(root), 1) << "no longer claimed";
}

// Every user who may read a recording sees its lock, whatever the umask of its maker: a member of
// a team folder (group-writable, setgid) and a reader of a colleague's folder find a held
// recording held; a lock only its owner may read (an older build's) is one that cannot be checked.
TEST_F(SessionStoreTest, EveryUserWhoMayReadARecordingSeesItsLock)
{
    enum Seen { elsewhere = 1, unchecked = 2, claimed = 4 };
    const struct {
        const char *name;
        mode_t folderMode;
        bool held;      // by this process
        bool ownerOnly; // the lock is an older build's, mode 600
        int seen;       // by the other user
    } rows[] = {
        {"a team folder, held", 02775, true, false, elsewhere},
        {"a team folder, free", 02775, false, false, claimed},
        {"a colleague's folder others may read, held", 0755, true, false, elsewhere},
        {"a lock only its owner may read", 02775, false, true, unchecked},
    };
    if (::geteuid() != 0)
        GTEST_SKIP() << "a second user id needs root (the CI runs the tests as root)";
    const gid_t team = 4242;
    ASSERT_EQ(::chmod(QFile::encodeName(dir.path()), 0755), 0);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QString folder = path(QString::number(&row - rows) + ".lumacast");
        const QString lock = folder + "/" + ScratchClaim::kFileName;
        ASSERT_TRUE(QDir().mkpath(folder + "/takes"));
        ASSERT_EQ(::chown(QFile::encodeName(folder), ::geteuid(), team), 0);
        ASSERT_EQ(::chmod(QFile::encodeName(folder), row.folderMode), 0);
        const mode_t umask = ::umask(077);
        if (row.ownerOnly)
            ASSERT_TRUE(writeText(lock, "") && ::chmod(QFile::encodeName(lock), 0600) == 0);
        else
            ScratchClaim made(folder);
        ::umask(umask);
        struct stat status {};
        ASSERT_EQ(::stat(QFile::encodeName(lock), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, row.ownerOnly ? 0600 : 0600 | (row.folderMode & 0064));
        // Held by a process of its own: a child forked from this one would share this one's locks.
        QProcess holder;
        if (row.held) {
            holder.start("flock", {"-x", lock, "-c", "echo held; exec sleep 60"});
            ASSERT_TRUE(holder.waitForReadyRead(10000)) << "flock (util-linux) held nothing";
        }
        const int seen = asAnotherUser(team, [&] {
            if (::access(QFile::encodeName(folder), X_OK) != 0)
                return 102;
            const ScratchClaim own(folder);
            return (ScratchClaim::isClaimedElsewhere(folder) ? elsewhere : 0)
                | (ScratchClaim::lockProblem(folder).isEmpty() ? 0 : unchecked) | (own.isHeld() ? claimed : 0);
        });
        if (seen >= 100)
            GTEST_SKIP() << "the second user could not reach the folder (" << seen << ")";
        EXPECT_EQ(seen, row.seen);
        holder.kill();
        holder.waitForFinished();
    }
}

// A Save As copies what a recording is made of, and never onto a recording in use: one another
// program holds, one open here and one whose lock cannot be checked are refused before anything
// is touched. Another user's read-only recording, its lock, ledger and history only she may read,
// saves as the user's own, its history begun anew and her deleted take left behind; in a team
// folder, what a member with umask 077 wrote there (lock, history, ledger, manifest) follows the
// folder, and another member saves it whole. Where names cannot be exchanged (FAT, exFAT, FUSE,
// network mounts) a replace takes two renames and leaves nothing hidden. A deleted take the undo
// history holds comes along, listed.
TEST_F(SessionStoreTest, SaveAsCopiesTheRecordingAndNeverReplacesOneInUse)
{
    enum class Onto { heldElsewhere, openHere, linkedLock, noExchange, anotherUsersCopy, teamUmask077, heldForUndo };
    const struct {
        const char *name;
        Onto onto;
        const char *refusal; // "" when it saves
    } rows[] = {
        {"onto a package another program holds", Onto::heldElsewhere, "“Old.lumacast” is open in another Lumacast"},
        {"onto the recording open here", Onto::openHere, "“Old.lumacast” is the recording open in this Lumacast"},
        {"onto a package whose lock can't be checked", Onto::linkedLock, "Lumacast can’t tell whether “Old.lumacast”"},
        {"onto a package, where names can't be exchanged", Onto::noExchange, ""},
        {"another user's read-only package, as the user's own", Onto::anotherUsersCopy, ""},
        {"umask 077: a team member's package, by another member", Onto::teamUmask077, ""},
        {"a deleted take's movie the undo history holds", Onto::heldForUndo, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir root;
        ASSERT_EQ(::chmod(QFile::encodeName(root.path()), 0755), 0);
        const QString old = root.filePath("Old.lumacast"), scratch = root.filePath("scratch");
        const QString lock = QStringLiteral("/") + ScratchClaim::kFileName;
        const Session oldSession = makeSession(old, {"OLD.mov"});
        store.writeManifest(oldSession);
        Session session = makeSession(scratch, {"A.mov"});
        ASSERT_TRUE(writeText(scratch + "/takes/LEFT.mov", "left"));
        TakeLedger::update(scratch, {"LEFT.mov", "GONE.mov", "A.mov"}, {});
        { const ScratchClaim once(scratch); } // its lock file stays
        QProcess holder;
        std::unique_ptr<ScratchClaim> here;
        QString destination = old;
        QSet<QString> held;
        const bool anotherUser = row.onto == Onto::anotherUsersCopy || row.onto == Onto::teamUmask077;
        const gid_t team = 4242;
        switch (row.onto) {
        case Onto::heldElsewhere:
            holder.start("flock", {"-x", old + lock, "-c", "echo held; exec sleep 60"});
            ASSERT_TRUE(holder.waitForReadyRead(10000)) << "flock (util-linux) held nothing";
            break;
        case Onto::openHere: here = std::make_unique<ScratchClaim>(old); break;
        case Onto::linkedLock: ASSERT_TRUE(QFile::link(root.filePath("elsewhere"), old + lock)); break;
        case Onto::noExchange:
            SessionStore::setRename([](const char *from, const char *to, unsigned int flags) {
                if (flags & RENAME_EXCHANGE) {
                    errno = EINVAL;
                    return -1;
                }
                return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
            });
            break;
        case Onto::anotherUsersCopy:
            session = store.save(session, root.filePath("Colleague.lumacast"));
            for (const QString &own : {lock, QStringLiteral("/") + TakeLedger::kFileName, QStringLiteral("/history.log")})
                ASSERT_TRUE(writeText(*session.bundleURL + own, "LEFT.mov\n") && QFile::setPermissions(*session.bundleURL + own, QFile::ReadOwner | QFile::WriteOwner));
            ASSERT_TRUE(QDir().mkpath(root.filePath("mine")));
            destination = root.filePath("mine/Talk.lumacast");
            break;
        case Onto::teamUmask077: { // opened by a member whose umask is 077
            const QString shared = root.filePath("team"), package = shared + "/Talk.lumacast";
            ASSERT_TRUE(QDir().mkpath(shared) && ::chown(QFile::encodeName(shared), 0, team) == 0);
            ASSERT_EQ(::chmod(QFile::encodeName(shared), 02775), 0);
            session = store.save(session, package);
            ASSERT_EQ(::chmod(QFile::encodeName(package), 02775), 0);
            const mode_t umask = ::umask(077);
            { const ScratchClaim open(package); }
            SessionLogger::appendTo(package, "opened");
            TakeLedger::update(package, {"GONE.mov"}, {});
            store.writeManifest(session);
            ::umask(umask);
            for (const char *own : {ScratchClaim::kFileName, "history.log", TakeLedger::kFileName, "manifest.json"})
                EXPECT_EQ(modeOf(package + "/" + own), 0664u) << own;
            ASSERT_TRUE(QDir().mkpath(root.filePath("mine")));
            destination = root.filePath("mine/Talk.lumacast");
            break;
        }
        case Onto::heldForUndo:
            ASSERT_TRUE(writeText(scratch + "/takes/HELD.mov", "held"));
            held = {"HELD.mov"};
            destination = root.filePath("New.lumacast");
            break;
        }
        QString refusal;
        if (anotherUser) {
            ASSERT_EQ(::chown(QFile::encodeName(root.filePath("mine")), 65534, 65534), ::geteuid() == 0 ? 0 : -1);
            const int saved = asAnotherUser(row.onto == Onto::teamUmask077 ? team : 65534, [&] {
                try {
                    SessionStore().save(SessionStore().openSession(*session.bundleURL, session.bundleURL), destination);
                } catch (const Error &error) {
                    std::fprintf(stderr, "%s\n", qPrintable(error.localizedDescription()));
                    return 1;
                }
                return 0;
            });
            if (saved < 0 || saved >= 100)
                GTEST_SKIP() << "a second user id needs root (the CI runs the tests as root)";
            EXPECT_EQ(saved, 0);
        } else {
            try {
                store.save(session, destination, held);
            } catch (const Error &error) {
                refusal = error.localizedDescription();
            }
        }
        SessionStore::setRename({});
        holder.kill();
        holder.waitForFinished();
        EXPECT_TRUE(*row.refusal ? refusal.startsWith(QString::fromUtf8(row.refusal)) : refusal.isEmpty())
            << qPrintable(refusal);
        if (*row.refusal) {
            EXPECT_EQ(entries(old + "/takes"), QStringList{"OLD.mov"});
            EXPECT_EQ(store.openSession(old, old).id, oldSession.id);
            EXPECT_EQ(entries(scratch + "/takes"), QStringList({"A.mov", "LEFT.mov"}));
            EXPECT_EQ(entries(root.path()), QStringList({"Old.lumacast", "scratch"})) << "a hidden copy left";
            continue;
        }
        // The lock stays the folder's own; the ledger's names come along only for movies that did.
        const bool ledgerReadable = row.onto != Onto::anotherUsersCopy;
        QStringList copied{"manifest.json", "takes"};
        if (ledgerReadable)
            copied.prepend(".lumacast-ledger");
        if (anotherUser)
            copied.insert(copied.size() - 2, "history.log");
        EXPECT_EQ(entries(destination), copied);
        QStringList movies = QStringList({"A.mov", ledgerReadable ? "LEFT.mov" : ""}) + QStringList(held.begin(), held.end());
        movies.removeAll("");
        movies.sort();
        EXPECT_EQ(entries(destination + "/takes"), movies);
        EXPECT_EQ(TakeLedger::read(destination), (ledgerReadable ? QSet<QString>{"LEFT.mov"} : QSet<QString>{}) | held);
        if (row.onto == Onto::anotherUsersCopy)
            EXPECT_TRUE(readAll(destination + "/history.log").contains("is not readable by this user; this history begins here"));
        EXPECT_EQ(store.openSession(destination, destination).id, session.id);
        for (const QString &entry : entries(root.path()) + entries(QFileInfo(destination).path()))
            EXPECT_FALSE(entry.startsWith(".")) << qPrintable(entry);
    }
}

// A kill at any moment of a Save As leaves, once the next launch has cleared what was left (the
// in-flight items, then the recovery scan), one package under the chosen name, old or new, and
// no hidden copy of a recording; a recording whose package was in place is that package, and its
// scratch folder is no longer offered.
TEST_F(SessionStoreTest, AKillDuringASaveAsLeavesOldOrNewUnderTheName)
{
    const struct {
        const char *name;
        bool exchanges; // else the exchange fails with EINVAL, as on FAT, exFAT, FUSE and network mounts
        bool replacing; // a package stands at the chosen name
        int killedAfter; // renames done
        bool saved;      // the package under the name is the recording saved
    } rows[] = {
        {"between the two renames of a replace without exchange", false, true, 1, false},
        {"after the second rename of a replace without exchange", false, true, 2, true},
        {"after an exchange", true, true, 1, true},
        {"after a Save As's rename", true, false, 1, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir root;
        const QString sessions = root.filePath("Sessions"), target = root.filePath("Talk.lumacast");
        const Session session = makeSession(sessions + "/" + QUuid::createUuid().toString(QUuid::WithoutBraces), {"A.mov"});
        store.writeManifest(session);
        const Session old = row.replacing ? makeSession(target, {"OLD.mov"}) : Session();
        if (row.replacing)
            store.writeManifest(old);
        const bool killed = killedDuring([&] {
            int renames = 0;
            SessionStore::setRename([&](const char *from, const char *to, unsigned int flags) {
                if (!row.exchanges && (flags & RENAME_EXCHANGE)) {
                    errno = EINVAL;
                    return -1;
                }
                const int done = ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags);
                if (++renames == row.killedAfter)
                    ::raise(SIGKILL);
                return done;
            });
            store.save(session, target);
        });
        ASSERT_TRUE(killed);

        InFlightItem::removeAbandoned();
        const SessionStore::Recovery recovery = store.recoverSessions(sessions);
        EXPECT_EQ(store.openSession(target, target).id, row.saved ? session.id : old.id);
        EXPECT_EQ(entries(root.path()), QStringList({"Sessions", "Talk.lumacast"})) << "a hidden copy left";
        EXPECT_EQ(recovery.saved, row.saved ? QStringList{target} : QStringList{});
        EXPECT_EQ(recovery.sessions.size(), row.saved ? 0 : 1);
        EXPECT_EQ(QDir(sessions).isEmpty(), row.saved);
    }
}

// The open recording's claim finds its folder where another program put it: exchanged with
// another item (which now has its path), or in a volume's trash can.
TEST_F(SessionStoreTest, AClaimTellsWhereItsFolderIsNow)
{
    const struct {
        const char *now;
        bool replaced;
        bool inTrash;
    } rows[] = {{"Other.lumacast", true, false}, {".Trash-1000/files/Talk.lumacast", false, true}};
    for (const auto &row : rows) {
        const QString folder = path("Talk.lumacast"), now = path(row.now);
        ASSERT_TRUE(QDir().mkpath(folder) && QDir().mkpath(now));
        const ScratchClaim claim(folder);
        ASSERT_TRUE(claim.isHeld());
        if (row.replaced) {
            ASSERT_EQ(::renameat2(AT_FDCWD, QFile::encodeName(now).constData(), AT_FDCWD,
                                  QFile::encodeName(folder).constData(), RENAME_EXCHANGE), 0);
        } else {
            ASSERT_TRUE(QDir().rmdir(now) && QDir().rename(folder, now));
        }
        const ScratchClaim::Whereabouts where = claim.whereabouts();
        EXPECT_EQ(where.place, ScratchClaim::Whereabouts::Place::moved) << row.now;
        EXPECT_EQ(where.folder, now);
        EXPECT_EQ(where.replaced, row.replaced);
        EXPECT_EQ(where.inTrash, row.inTrash);
    }
}

TEST(IntegrityReport, SectionsAppearOnlyForWhatHappened)
{
    EXPECT_EQ(SessionStore::integrityReport({}, {}), QString());
    EXPECT_EQ(SessionStore::integrityReport({"A.mov"}, {}), "Missing files:\nA.mov");
    EXPECT_EQ(SessionStore::integrityReport({}, {"B.mov", "C.mov"}),
              "Duration corrected for:\nB.mov\nC.mov");
    EXPECT_EQ(SessionStore::integrityReport({"A.mov", "D.mov"}, {"B.mov"}),
              "Missing files:\nA.mov\nD.mov\n\nDuration corrected for:\nB.mov");
    EXPECT_EQ(SessionStore::integrityReport({"A.mov"}, {}, {"A (1).mov"}),
              "Missing files:\nA.mov\n\nKept in the takes folder, used by no take:\nA (1).mov");
}

} // namespace

// On a real full file system: buffered, QSaveFile would put an empty manifest in place and
// report success.
TEST(SessionStoreOnAFullDisk, WritesFailAndKeepTheOldManifestAndPackage)
{
    lumacast::testing::FullDisk disk;
    if (!disk.ready())
        GTEST_SKIP() << qPrintable(disk.reason());
    const QString root = disk.path();
    SessionStore store;
    Session session = makeSession(root + "/scratch", {"A.mov"});
    store.writeManifest(session);
    const Session packaged = store.save(makeSession(root + "/other", {"B.mov"}),
                                        root + "/Talk.lumacast");
    const QByteArray manifest = readAll(root + "/scratch/manifest.json");
    const QByteArray package = readAll(root + "/Talk.lumacast/manifest.json");
    ASSERT_FALSE(manifest.isEmpty());
    disk.fill();

    session.scenes[0].takes[0].trimEnd = 2.0;
    EXPECT_THROW(store.writeManifest(session), FileSystemError);
    EXPECT_EQ(readAll(root + "/scratch/manifest.json"), manifest);

    EXPECT_THROW(store.writeManifest(packaged), FileSystemError);
    EXPECT_THROW(store.save(session, root + "/Talk.lumacast"), FileSystemError);
    EXPECT_EQ(readAll(root + "/Talk.lumacast/manifest.json"), package);
    EXPECT_EQ(store.openSession(root + "/scratch").scenes[0].takes[0].trimEnd, 4.0);
    for (const QString &name : entries(root))
        EXPECT_FALSE(name.contains(".saving-")) << qPrintable(name);
}

// On a file system with clones a duplicated scene's movies and a saved package's share their
// originals' blocks: made in an instant, taking no room.
TEST(SessionStoreOnACloningDisk, CopiesShareTheirOriginalsBlocks)
{
    lumacast::testing::CloningDisk disk;
    if (!disk.ready())
        GTEST_SKIP() << qPrintable(disk.reason());
    const QString root = disk.path();
    Session session = makeSession(root + "/scratch", {});
    const QByteArray movie(4 * 1024 * 1024, 'm');
    ASSERT_TRUE(writeText(root + "/scratch/takes/A.mov", movie));
    session.scenes[0].takes << makeTake("A.mov");
    EXPECT_EQ(FileCopy::copy(root + "/scratch/takes/A.mov", root + "/A.mov"), FileCopy::Method::clone);

    SessionStore store;
    const QString copy = store.copyTakeFiles({"A.mov"}, root + "/scratch/takes").value("A.mov");
    store.save(session, root + "/Talk.lumacast");
    for (const QString &made : {root + "/Talk.lumacast/takes/A.mov", root + "/Talk.lumacast/takes/" + copy}) {
        QString fault;
        const std::optional<bool> shared = lumacast::testing::CloningDisk::sharesAllBlocks(made, fault);
        ASSERT_TRUE(shared.has_value()) << "fault of the test rig, not of the copy: " << qPrintable(fault);
        EXPECT_TRUE(*shared) << qPrintable(made);
        EXPECT_EQ(readAll(made), movie);
    }
}
