// The driver's "recover" and "check" commands, run as the separate program they are.
#include "store/SessionStore.h"
#include "store/TakeLedger.h"

#include "support/SessionRecords.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast;
using lumacast::testing::mediaDriverPath;
using lumacast::testing::runProcess;
using lumacast::testing::writeFileOfSize;

namespace {

Take takeNamed(const QString &filename, double duration)
{
    return lumacast::testing::makeTrimmedTake(filename, duration, 0, duration);
}

TEST(SessionStoreDriver, RecoverListsSessionsThenFailures)
{
    QTemporaryDir caches;
    const QString root = caches.path() + "/Lumacast/Sessions";
    QDir().mkpath(root + "/AAAA/takes");
    Session session(root + "/AAAA");
    session.scenes << RecordingScene{QUuid::createUuid(), {}, {}, {}};
    SessionStore().writeManifest(session);
    QDir().mkpath(root + "/BROKEN");
    QFile broken(root + "/BROKEN/manifest.json");
    ASSERT_TRUE(broken.open(QIODevice::WriteOnly));
    broken.write("{\"schemaVersion\": 2}");
    broken.close();

    const auto result = runProcess(mediaDriverPath(), {"recover", caches.path()});

    ASSERT_TRUE(result.ok()) << result.err.constData();
    EXPECT_EQ(QString::fromUtf8(result.out),
              "AAAA " + session.id.toString(QUuid::WithoutBraces).toUpper() + " 2\nfailed: 1\n");
    EXPECT_TRUE(QFile::exists(root + "/BROKEN/manifest.json"));
}

TEST(SessionStoreDriver, CheckCleansUpAndReportsOnlyProblems)
{
    QTemporaryDir folder;
    const QString takes = folder.path() + "/takes";
    QDir().mkpath(takes);
    const auto made = runProcess("ffmpeg", {"-v", "error", "-f", "lavfi", "-i",
                                            "testsrc=size=64x64:rate=30", "-t", "1", "-c:v",
                                            "libx264", "-pix_fmt", "yuv420p", takes + "/A.mov"});
    ASSERT_TRUE(made.ok()) << made.err.constData();
    Session session(folder.path());
    session.scenes[0].takes << takeNamed("A.mov", 1.0);
    SessionStore().writeManifest(session);
    writeFileOfSize(takes + "/OLD.tail.mov", 10);
    TakeLedger::update(folder.path(), {"OLD.tail.mov"}, {});

    auto result = runProcess(mediaDriverPath(), {"check", folder.path()});
    ASSERT_TRUE(result.ok()) << result.err.constData();
    EXPECT_EQ(result.out, QByteArray());
    EXPECT_FALSE(QFile::exists(takes + "/OLD.tail.mov"));

    session.scenes[0].takes[0].duration = 3.0;
    session.scenes[0].takes << takeNamed("GONE.mov", 2.0);
    SessionStore().writeManifest(session);
    result = runProcess(mediaDriverPath(), {"check", folder.path()});
    ASSERT_TRUE(result.ok()) << result.err.constData();
    EXPECT_EQ(result.out, "Missing files:\nGONE.mov\n\nDuration corrected for:\nA.mov\n");

    result = runProcess(mediaDriverPath(), {"check", folder.path() + "/takes"});
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_TRUE(result.err.startsWith("check: Cannot read manifest.json at ")) << result.err.constData();
}

} // namespace
