#include "support/TestEnvironment.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // Anything that reaches the shared application log or the settings writes under here, never
    // into the real home folder.
    lumacast::testing::TemporaryHome home;
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
