// The delegate's quit decision and its handling of opened documents.
#include "FakeShellCommands.h"
#include "StateManagerDoubles.h"

#include "app/AppDelegate.h"

#include <QCoreApplication>
#include <QTest>

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

using Reply = AppDelegate::TerminateReply;

struct QuitCase {
    const char *name;
    bool withManager;
    bool tailLive;
    AppState state;
    bool pendingSave;
    Reply reply;
    QStringList calls;    // on the commands, in order, once the event loop ran
    QStringList logLines; // "[app] ..." lines of the application log
    bool repliedTrue;     // the pending termination was answered yes
};

const QuitCase kQuitCases[] = {
    {"no manager quits at once", false, false, AppState::recording, false, Reply::terminateNow, {}, {}, false},
    {"idle quits at once", true, false, AppState::idle, false, Reply::terminateNow,
     {"deferWhileTailPending quit"}, {}, false},
    {"reviewing quits at once", true, false, AppState::reviewing, false, Reply::terminateNow,
     {"deferWhileTailPending quit"}, {}, false},
    {"a live tail defers the quit and finishes no take", true, true, AppState::recording, false,
     Reply::terminateLater, {"deferWhileTailPending quit"},
     {"[app] quit requested during a tail operation — deferred"}, false},
    {"recording finishes the take, saves, then allows the quit", true, false, AppState::recording, true,
     Reply::terminateLater, {"deferWhileTailPending quit", "finishActiveRecordingForClose"},
     {"[app] quit requested while recording — finishing take first", "[app] take finished — allowing quit"}, true},
    {"paused is handled as recording", true, false, AppState::paused, false, Reply::terminateLater,
     {"deferWhileTailPending quit", "finishActiveRecordingForClose"},
     {"[app] quit requested while recording — finishing take first", "[app] take finished — allowing quit"}, true},
};

class QuitDecisionTest : public ::testing::TestWithParam<QuitCase> {};

TEST_P(QuitDecisionTest, Decides)
{
    const QuitCase &c = GetParam();
    SCOPED_TRACE(c.name);
    ManagerHarness harness;
    FakeShellCommands commands;
    commands.tailLive = c.tailLive;
    harness.adoptSessionWithTakes({1});
    harness.m().setState(c.state);
    if (c.pendingSave)
        harness.m().scheduleSave();
    harness.clearLogs();

    AppDelegate delegate;
    if (c.withManager)
        delegate.setManager(&harness.m(), &commands);
    bool replied = false;
    delegate.terminationReply = [&replied](bool terminate) { replied = terminate; };

    EXPECT_EQ(delegate.applicationShouldTerminate(), c.reply);
    // The finishing task runs on the event loop, never inside the callback.
    EXPECT_FALSE(commands.calls.contains("finishActiveRecordingForClose"));
    QCoreApplication::processEvents();
    if (commands.pendingFinish)
        commands.pendingFinish();

    EXPECT_EQ(commands.calls, c.calls);
    QStringList appLines;
    for (const QString &line : harness.appLogLines()) {
        if (line.startsWith("[app] "))
            appLines << line;
    }
    EXPECT_EQ(appLines, c.logLines);
    EXPECT_EQ(replied, c.repliedTrue);
    if (c.pendingSave && c.repliedTrue)
        EXPECT_FALSE(harness.m().hasPendingSave()) << "the pending autosave was written before the reply";
}

INSTANTIATE_TEST_SUITE_P(States, QuitDecisionTest, ::testing::ValuesIn(kQuitCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

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
