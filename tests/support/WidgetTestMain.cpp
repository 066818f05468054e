// The main of the test programs whose cases use widgets (capture's picker, review's windows).
#include "support/TestEnvironment.h"

#include "platform/av/ProcessEnd.h"

#include <QApplication>

#include <gtest/gtest.h>

namespace {

int runTests(int argc, char **argv)
{
    // Logs and settings written by the code under test stay in a temporary home.
    lumacast::testing::TemporaryHome home;
    // Widget tests need an application object with a screen: the rig's X server, or the
    // offscreen platform without one.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

} // namespace

// The tests end as the program does (the review player's sound and the camera use Qt Multimedia).
int main(int argc, char **argv)
{
    lumacast::ProcessEnd::leave(runTests(argc, argv));
}
