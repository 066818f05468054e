#include "platform/media/MovieProbe.h"

#include "TestMovies.h"
#include "support/TestEnvironment.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace lumacast::media;

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
