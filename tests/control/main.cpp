#include "support/TestEnvironment.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

int main(int argc, char **argv)
{
    // Nothing of the state manager needs a display; anything that reaches a shared log or the
    // settings writes under here, never into the real home folder.
    lumacast::testing::TemporaryHome home;
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
