// The delegate's quit decision and its handling of opened documents.
#include "FakeShellCommands.h"
#include "StateManagerDoubles.h"

#include "app/AppDelegate.h"
#include "app/LumacastApp.h"
#include "control/AppStateManager.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

using Reply = QuitReply;

// The decision is the manager's; the delegate only hands it over. Each row drives both through
// the delegate, as every quit road of the application does.
struct QuitCase {
    const char *name;
    bool withManager;
    bool tailLive;
    AppState state;
    bool pendingSave;
    Reply reply;
    bool stopsTheTake;             // the recorder is stopped, on the event loop
    QStringList logLines;          // "[app] ..." lines of the application log
    std::vector<bool> replies;     // answers to the pending termination, once the take is stopped
};

const QuitCase kQuitCases[] = {
    {"no manager quits at once", false, false, AppState::recording, false, Reply::terminateNow, false, {}, {}},
    {"idle quits at once", true, false, AppState::idle, false, Reply::terminateNow, false, {}, {}},
    {"reviewing quits at once", true, false, AppState::reviewing, false, Reply::terminateNow, false, {}, {}},
    {"a live tail defers the quit and finishes no take", true, true, AppState::recording, false,
     Reply::terminateLater, false, {"[app] quit requested during a tail operation — deferred"}, {}},
    {"recording finishes the take, saves, then allows the quit", true, false, AppState::recording, true,
     Reply::terminateLater, true,
     {"[app] quit requested while recording — finishing take first", "[app] take finished — allowing quit"}, {true}},
    {"paused is handled as recording", true, false, AppState::paused, false, Reply::terminateLater, true,
     {"[app] quit requested while recording — finishing take first", "[app] take finished — allowing quit"}, {true}},
};

class QuitDecisionTest : public ::testing::TestWithParam<QuitCase> {};

TEST_P(QuitDecisionTest, Decides)
{
    const QuitCase &c = GetParam();
    SCOPED_TRACE(c.name);
    ManagerHarness harness;
    FakeShellCommands commands;
    harness.adoptSessionWithTakes({1});
    harness.m().setState(c.state);
    if (c.tailLive)
        harness.m().setTailOperation(TailOperation{});
    if (c.pendingSave)
        harness.m().scheduleSave();
    harness.clearLogs();

    AppDelegate delegate;
    if (c.withManager)
        delegate.setManager(&harness.m(), &commands);

    EXPECT_EQ(delegate.applicationShouldTerminate(), c.reply);
    // The finishing task runs on the event loop, never inside the callback.
    EXPECT_FALSE(harness.recorder->calls.contains("stopRecording"));
    QCoreApplication::processEvents();
    EXPECT_EQ(harness.recorder->calls.contains("stopRecording"), c.stopsTheTake);
    if (c.stopsTheTake) {
        EXPECT_TRUE(harness.application->terminationReplies.empty()) << "answered before the take was stopped";
        harness.recorder->stops.completeNext(std::nullopt);
        QCoreApplication::processEvents();
    }

    QStringList appLines;
    for (const QString &line : harness.appLogLines()) {
        if (line.startsWith("[app] "))
            appLines << line;
    }
    EXPECT_EQ(appLines, c.logLines);
    EXPECT_EQ(harness.application->terminationReplies, c.replies);
    EXPECT_TRUE(commands.calls.isEmpty()) << "the quit goes to the manager, not through the shell commands";
    if (c.pendingSave && !c.replies.empty()) {
        EXPECT_FALSE(harness.m().hasPendingSave()) << "the pending autosave was written before the reply";
    }
}

INSTANTIATE_TEST_SUITE_P(States, QuitDecisionTest, ::testing::ValuesIn(kQuitCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

// The whole application: a quit the manager leaves pending ends the program only when the
// manager answers it, whichever road the quit took, and a second request meanwhile asks nothing.
TEST(AppDelegate, TheApplicationQuitsOnceThePendingQuitIsAnswered)
{
    for (const bool tail : {false, true}) {
        SCOPED_TRACE(tail ? "deferred by a tail" : "a take finished first");
        LumacastApp app(false);
        int quittings = 0;
        QObject::connect(&app, &LumacastApp::quitting, [&quittings] { ++quittings; });
        app.manager().setState(AppState::recording);
        if (tail)
            app.manager().setTailOperation(TailOperation{});

        app.requestQuit();
        app.requestQuit();
        EXPECT_EQ(quittings, 0);
        if (tail) {
            QCoreApplication::processEvents();
            EXPECT_EQ(quittings, 0) << "the quit waits for the tail";
            app.manager().setTailOperation(std::nullopt);
            app.manager().runPendingExternalAction();
        }
        ASSERT_TRUE(QTest::qWaitFor([&] { return quittings > 0; }, 5000));
        QCoreApplication::processEvents();
        EXPECT_EQ(quittings, 1);
    }
}

TEST(AppDelegate, WillTerminateWritesAPendingAutosave)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    harness.adoptSessionWithTakes({1});
    harness.m().scheduleSave();
    AppDelegate delegate;
    delegate.setManager(&harness.m(), &commands);
    delegate.applicationWillTerminate();
    EXPECT_FALSE(harness.m().hasPendingSave());
    EXPECT_FALSE(AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
}

struct DocumentCase {
    const char *name;
    bool withManager;
    QStringList paths;
    QStringList calls;
};

const DocumentCase kDocumentCases[] = {
    {"one package opens", true, {"/tmp/Talk.lumacast"}, {"guardedOpen /tmp/Talk.lumacast"}},
    {"a package folder with a trailing slash opens", true, {"/tmp/Talk.lumacast/"}, {"guardedOpen /tmp/Talk.lumacast"}},
    {"a file URL opens as its path", true, {"file:///tmp/A%20B.lumacast"}, {"guardedOpen /tmp/A B.lumacast"}},
    {"only the first of two packages opens", true, {"/tmp/A.lumacast", "/tmp/B.lumacast"}, {"guardedOpen /tmp/A.lumacast"}},
    {"a movie first opens nothing", true, {"/tmp/take.mov", "/tmp/B.lumacast"}, {}},
    {"capitals are another extension", true, {"/tmp/A.LUMACAST"}, {}},
    {"no documents", true, {}, {}},
    {"no manager ignores documents", false, {"/tmp/A.lumacast"}, {}},
};

class OpenDocumentsTest : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(OpenDocumentsTest, OpensTheFirstPackageOnly)
{
    const DocumentCase &c = GetParam();
    SCOPED_TRACE(c.name);
    ManagerHarness harness;
    FakeShellCommands commands;
    AppDelegate delegate;
    if (c.withManager)
        delegate.setManager(&harness.m(), &commands);
    delegate.openDocumentURLs(c.paths);
    EXPECT_TRUE(commands.calls.isEmpty()) << "the open runs on the event loop";
    QCoreApplication::processEvents();
    EXPECT_EQ(commands.calls, c.calls);
}

INSTANTIATE_TEST_SUITE_P(Lists, OpenDocumentsTest, ::testing::ValuesIn(kDocumentCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

TEST(AppDelegate, ReopenOpensTheReviewWindowOnlyWithoutVisibleWindows)
{
    ManagerHarness harness;
    FakeShellCommands commands;
    QStringList opened;
    harness.m().setWindowActions([&opened](const QString &id) { opened << id; }, {}, {});
    AppDelegate delegate;
    delegate.setManager(&harness.m(), &commands);
    EXPECT_TRUE(delegate.applicationShouldHandleReopen(true));
    QCoreApplication::processEvents();
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_TRUE(delegate.applicationShouldHandleReopen(false));
    QCoreApplication::processEvents();
    EXPECT_EQ(opened, QStringList{"review"});
}

} // namespace
} // namespace lumacast::testing
