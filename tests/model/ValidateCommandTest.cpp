#include "ModelTestData.h"
#include "support/TestEnvironment.h"

#include <QFile>
#include <QTemporaryDir>

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
