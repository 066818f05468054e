#include "ModelTestData.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <functional>
#include <sys/stat.h>
#include <vector>

#include <gtest/gtest.h>

using namespace lumacast;
using namespace lumacast::testing;

namespace {

ProcessResult validateFolder(const QString &folder, const QByteArray &manifest)
{
    QFile file(folder + "/manifest.json");
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(manifest);
    file.close();
    return runProcess(mediaDriverPath(), {"validate", folder});
}

} // namespace

TEST(ValidateCommand, ReportsCountsOrTheExactError)
{
    QTemporaryDir dir;
    SessionManifest manifest = makeManifest(3, 0);
    manifest.scenes[0].takes = {makeTakeManifest("a.mov"), makeTakeManifest("b.mov")};
    manifest.scenes[2].takes = {makeTakeManifest("c.mov")};

    ProcessResult good = validateFolder(dir.path(), manifest.toJson());
    EXPECT_EQ(good.exitCode, 0) << good.err.toStdString();
    EXPECT_EQ(good.out.trimmed(), "ok: 3 scenes, 3 takes");

    manifest.currentSceneIndex = 4;
    ProcessResult invalid = validateFolder(dir.path(), manifest.toJson());
    EXPECT_EQ(invalid.exitCode, 1);
    EXPECT_EQ(invalid.err.trimmed(), "currentSceneIndex 4 is out of range (0..<3).");
    EXPECT_TRUE(invalid.out.isEmpty());

    ProcessResult broken = validateFolder(dir.path(), "{\"schemaVersion\": 1");
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_TRUE(broken.err.startsWith("The data is not valid JSON")) << broken.err.toStdString();

    ProcessResult missing = runProcess(mediaDriverPath(), {"validate", dir.path() + "/nowhere"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(missing.err.contains("manifest.json"));
}

// Every command that reads a manifest refuses one that would block, exhaust memory or that JSON
// forbids, promptly and naming the file.
TEST(ValidateCommand, HostileManifestsAreRefusedByEveryCommand)
{
    struct Case {
        const char *name;
        std::function<void(const QString &path)> make;
    };
    const std::vector<Case> cases = {
        {"fifo", [](const QString &path) { ASSERT_EQ(::mkfifo(QFile::encodeName(path), 0600), 0); }},
        {"link to /dev/zero", [](const QString &path) { QFile::link("/dev/zero", path); }},
        {"sparse 3 GB", [](const QString &path) {
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.resize(qint64(3) << 30);
         }},
        {"folder", [](const QString &path) { QDir().mkpath(path); }},
        {"raw control character", [](const QString &path) {
             SessionManifest manifest = makeManifest(1, 0);
             manifest.scenes[0].takes = {makeTakeManifest("a\tb.mov")};
             QByteArray json = manifest.toJson().replace("\\t", "\t");
             QFile file(path);
             ASSERT_TRUE(file.open(QIODevice::WriteOnly));
             file.write(json);
         }},
    };
    for (const Case &c : cases) {
        for (const char *command : {"validate", "export-movie", "export-fcpxml"}) {
            SCOPED_TRACE(std::string(c.name) + " / " + command);
            QTemporaryDir dir;
            c.make(dir.path() + "/manifest.json");
            QStringList args = {command, dir.path()};
            if (QByteArray(command) != "validate")
                args << dir.path() + "/out";
            const ProcessResult result = runProcess(mediaDriverPath(), args, 20000);
            EXPECT_EQ(result.exitCode, 1) << result.err.toStdString();
            EXPECT_TRUE(result.err.contains("manifest.json") || result.err.contains("control character"))
                << result.err.toStdString();
        }
    }
}
