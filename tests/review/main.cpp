#include "support/TestEnvironment.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    lumacast::testing::TemporaryHome home;
    // Widget tests run against the rig's X server; without one they still run off screen.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
