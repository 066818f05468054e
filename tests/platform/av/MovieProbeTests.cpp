#include "platform/av/MovieProbe.h"

#include "TestMovies.h"
#include "support/TestEnvironment.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast::av;

TEST(MovieProbe, ReportsTheLengthOfAMovie)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("clip.mov"));
    ASSERT_TRUE(testmovies::makeMovie(path, 2.0, 30, 10, true));
    const auto seconds = movieDurationSeconds(path);
    ASSERT_TRUE(seconds.has_value());
    // AAC priming is hidden by the edit list, so the length is the picture's, not longer.
    EXPECT_NEAR(*seconds, 2.0, 0.03);
}

TEST(MovieProbe, UnreadableFilesHaveNoLength)
{
    QTemporaryDir dir;
    EXPECT_FALSE(movieDurationSeconds(dir.filePath(QStringLiteral("missing.mov"))).has_value());
    EXPECT_FALSE(movieDurationSeconds(QString()).has_value());
    const QString junk = dir.filePath(QStringLiteral("junk.mov"));
    ASSERT_TRUE(lumacast::testing::writeFileOfSize(junk, 4096));
    EXPECT_FALSE(movieDurationSeconds(junk).has_value());
}

TEST(MovieProbe, DriverPrintsTracksFormatsAndDurationAsJson)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("clip.mov"));
    ASSERT_TRUE(testmovies::makeMovie(path, 1.0, 30, 10, true));
    const auto result = lumacast::testing::runProcess(lumacast::testing::mediaDriverPath(),
                                                      {QStringLiteral("probe"), path});
    ASSERT_TRUE(result.ok()) << result.err.toStdString();
    const QJsonObject root = QJsonDocument::fromJson(result.out).object();
    EXPECT_NEAR(root.value(QStringLiteral("duration")).toObject().value(QStringLiteral("seconds")).toDouble(), 1.0, 0.03);
    const QJsonArray tracks = root.value(QStringLiteral("tracks")).toArray();
    ASSERT_EQ(tracks.size(), 2);
    EXPECT_EQ(tracks[0].toObject().value(QStringLiteral("mediaType")).toString(), QStringLiteral("vide"));
    EXPECT_EQ(tracks[1].toObject().value(QStringLiteral("mediaType")).toString(), QStringLiteral("soun"));
    const QJsonObject audioFormat =
        tracks[1].toObject().value(QStringLiteral("formatDescriptions")).toArray().first().toObject();
    EXPECT_EQ(audioFormat.value(QStringLiteral("codec")).toString(), QStringLiteral("aac"));
    EXPECT_EQ(audioFormat.value(QStringLiteral("sampleRate")).toDouble(), 48000.0);

    const auto missing = lumacast::testing::runProcess(lumacast::testing::mediaDriverPath(),
                                                       {QStringLiteral("probe"), dir.filePath(QStringLiteral("none.mov"))});
    EXPECT_NE(missing.exitCode, 0);
    EXPECT_TRUE(missing.err.contains("could not be opened"));
}
