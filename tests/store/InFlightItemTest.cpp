#include "store/InFlightItem.h"

#include "store/SessionStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace lumacast;

namespace {

// A writer in a process of its own: lists `item`, creates it (a folder with a file inside, as a
// Save As staging package, or a file, as an export's working movie), reports on `ready` and waits
// to be killed.
pid_t startWriter(const QString &item, bool folder)
{
    int ready[2];
    if (::pipe(ready) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        InFlightItem listed(item);
        const QByteArray name = QFile::encodeName(item);
        if (folder) {
            ::mkdir(name.constData(), 0755);
            ::close(::open((name + "/manifest.json").constData(), O_WRONLY | O_CREAT, 0644));
        } else {
            ::close(::open(name.constData(), O_WRONLY | O_CREAT, 0644));
        }
        [[maybe_unused]] const auto written = ::write(ready[1], "x", 1);
        for (;;)
            ::pause();
    }
    ::close(ready[1]);
    char byte = 0;
    [[maybe_unused]] const auto read = ::read(ready[0], &byte, 1);
    ::close(ready[0]);
    return pid;
}

} // namespace

// Items of killed writers go at the next launch; those of a live writer, and anything not named
// as one of the program's working items, stay.
TEST(InFlightItemTest, ALaunchRemovesWhatKilledWritersLeftAndNothingElse)
{
    QTemporaryDir dir;
    const QString staging = dir.filePath(".Talk.lumacast.saving-0b6e3c3a-8f0e-4a47-9a54-2f0c8c7a1d11");
    const QString working = dir.filePath(".lumacast-work-99999-0b6e3c3a-8f0e-4a47-9a54-2f0c8c7a1d11.mov");
    const QString live = dir.filePath(".lumacast-work-1-live.mov");
    const pid_t stagingWriter = startWriter(staging, true);
    const pid_t workingWriter = startWriter(working, false);
    const pid_t liveWriter = startWriter(live, false);
    ASSERT_GT(stagingWriter, 0);
    ASSERT_GT(workingWriter, 0);
    ASSERT_GT(liveWriter, 0);

    // While they run, nothing is touched.
    EXPECT_EQ(InFlightItem::removeAbandoned(), 0);
    EXPECT_TRUE(QFileInfo::exists(staging) && QFileInfo::exists(working));

    for (const pid_t pid : {stagingWriter, workingWriter}) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    // A user's own file listed by a forged entry is not the program's to remove.
    const QString users = dir.filePath("Talk.mov");
    QFile(users).open(QIODevice::WriteOnly);
    {
        QFile forged(InFlightItem::journalFolder() + "/forged");
        ASSERT_TRUE(forged.open(QIODevice::WriteOnly));
        forged.write(QFile::encodeName(users));
    }

    EXPECT_EQ(InFlightItem::removeAbandoned(), 2);
    EXPECT_FALSE(QFileInfo::exists(staging));
    EXPECT_FALSE(QFileInfo::exists(working));
    EXPECT_TRUE(QFileInfo::exists(live));
    EXPECT_TRUE(QFileInfo::exists(users));
    EXPECT_EQ(QDir(InFlightItem::journalFolder()).entryList(QDir::Files).size(), 1) << "the live writer's entry";

    ::kill(liveWriter, SIGKILL);
    ::waitpid(liveWriter, nullptr, 0);
    EXPECT_EQ(InFlightItem::removeAbandoned(), 1);
    EXPECT_TRUE(QDir(InFlightItem::journalFolder()).entryList(QDir::Files).isEmpty());
}

// An export's scratch folder lies in the temporary folder, which others share: a launch removes
// one a killed export listed only when it is a real folder named as the export names them, and
// never one a running export still holds.
TEST(InFlightItemTest, ALaunchRemovesOnlyRealScratchFoldersOfKilledExports)
{
    enum class Lay { folder, file, linkToFolder };
    const struct {
        const char *name;
        const char *item;
        Lay lay;
        bool killed;
        bool removed;
    } rows[] = {
        {"a killed export's folder", "LumacastExport-0b6e3c3a-8f0e-4a47-9a54-2f0c8c7a1d11", Lay::folder, true, true},
        {"a running export's folder", "LumacastExport-0b6e3c3a-8f0e-4a47-9a54-2f0c8c7a1d11", Lay::folder, false, false},
        {"a link in its place", "LumacastExport-0b6e3c3a-8f0e-4a47-9a54-2f0c8c7a1d11", Lay::linkToFolder, true, false},
        {"a file in its place", "LumacastExport-0b6e3c3a-8f0e-4a47-9a54-2f0c8c7a1d11", Lay::file, true, false},
        {"another name", "LumacastExport-notes", Lay::folder, true, false},
    };
    for (const auto &row : rows) {
        QTemporaryDir dir;
        const QString item = dir.filePath(row.item);
        const pid_t writer = startWriter(item, row.lay != Lay::file);
        ASSERT_GT(writer, 0) << row.name;
        // The user's folder a link points at keeps what it holds.
        const QString users = dir.filePath("Documents");
        QDir().mkpath(users);
        QFile(users + "/Talk.mov").open(QIODevice::WriteOnly);
        if (row.lay == Lay::linkToFolder) {
            QDir(item).removeRecursively();
            ASSERT_TRUE(QFile::link(users, item)) << row.name;
        }
        if (row.killed) {
            ::kill(writer, SIGKILL);
            ::waitpid(writer, nullptr, 0);
        }
        EXPECT_EQ(InFlightItem::removeAbandoned(), row.removed ? 1 : 0) << row.name;
        EXPECT_EQ(QFileInfo::exists(item) || QFileInfo(item).isSymLink(), !row.removed) << row.name;
        EXPECT_TRUE(QFileInfo::exists(users + "/Talk.mov")) << row.name;
        if (!row.killed) {
            ::kill(writer, SIGKILL);
            ::waitpid(writer, nullptr, 0);
            EXPECT_EQ(InFlightItem::removeAbandoned(), 1) << row.name << ": once its export is gone";
        }
        EXPECT_TRUE(QDir(InFlightItem::journalFolder()).entryList(QDir::Files).isEmpty()) << row.name;
    }
}

// A Save As lists its staging package while it is built, and takes it off once done.
TEST(InFlightItemTest, SaveAsListsItsStagingOnlyWhileItWorks)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("scratch/takes"));
    const Session session(dir.filePath("scratch"));
    SessionStore().save(session, dir.filePath("Talk.lumacast"));
    EXPECT_TRUE(QDir(InFlightItem::journalFolder()).entryList(QDir::Files).isEmpty());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"Talk.lumacast"});
}
