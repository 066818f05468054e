// The test rig that display and sound tests rely on: an X server and a private PulseAudio server.
#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using lumacast::testing::runProcess;

TEST(Rig, XServerAcceptsConnection)
{
    ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY")) << "the test command sets DISPLAY";
    const auto result = runProcess(QStringLiteral("xdpyinfo"), {});
    ASSERT_TRUE(result.ok()) << result.err.constData();
    EXPECT_TRUE(result.out.contains("1920x1080")) << result.out.left(2000).constData();
}

TEST(Rig, PulseAudioServerAnswers)
{
    // pactl names its fields in the language of whoever runs the tests.
    const auto result = runProcess(QStringLiteral("env"), {QStringLiteral("LC_ALL=C"), QStringLiteral("pactl"), QStringLiteral("info")});
    ASSERT_TRUE(result.ok()) << result.err.constData();
    EXPECT_TRUE(result.out.contains("Server Name")) << result.out.constData();
}

TEST(Rig, NullSinkMonitorServesAsMicrophone)
{
    const auto result = runProcess(QStringLiteral("pactl"), {QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("sources")});
    ASSERT_TRUE(result.ok()) << result.err.constData();
    EXPECT_TRUE(result.out.contains("micfeed.monitor")) << result.out.constData();
}
