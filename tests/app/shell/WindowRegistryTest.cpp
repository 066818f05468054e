// The single-instance windows on the rig's X server.
#include "app/WindowRegistry.h"

#include <QMainWindow>
#include <QTest>

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

// Closing one recording to resume another dismisses the review window and opens it again in the
// same turn of the event loop, before the closed window is deleted: a window must be on screen
// after it, whether opened with or without activating.
TEST(WindowRegistry, AWindowDismissedAndOpenedInOneTurnIsOnScreen)
{
    for (const bool activating : {true, false}) {
        SCOPED_TRACE(activating ? "activating" : "without activating");
        WindowRegistry windows(nullptr);
        int made = 0;
        windows.registerWindow(QStringLiteral("review"), QStringLiteral("Lumacast"), [&made] {
            ++made;
            return new QMainWindow;
        });
        windows.openWindowActivating(QStringLiteral("review"));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(windows.window(QStringLiteral("review"))));

        windows.dismissWindow(QStringLiteral("review"));
        if (activating)
            windows.openWindowActivating(QStringLiteral("review"));
        else
            windows.openWindowWithoutActivating(QStringLiteral("review"));
        QTest::qWait(50); // the closed window's deferred deletion
        QWidget *shown = windows.window(QStringLiteral("review"));
        ASSERT_TRUE(shown);
        EXPECT_TRUE(QTest::qWaitForWindowExposed(shown));
        EXPECT_EQ(made, 2);
        windows.dismissWindow(QStringLiteral("review"));
    }
}

} // namespace
} // namespace lumacast::testing
