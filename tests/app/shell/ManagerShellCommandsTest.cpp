// What the commands do on the state manager as it is today.
#include "StateManagerDoubles.h"

#include "app/ManagerShellCommands.h"

#include <gtest/gtest.h>

namespace lumacast::testing {
namespace {

struct CommandCase {
    const char *name;
    std::function<void(ManagerHarness &)> setUp;
    std::function<void(ManagerShellCommands &)> run;
    std::vector<QString> alerts; // message texts shown
    QStringList logLines;        // application-log lines written
    int updateChecks;
};

const CommandCase kCases[] = {
    {"no update feed: the alert says so", [](ManagerHarness &) {},
     [](ManagerShellCommands &c) { c.checkForUpdates(); }, {"Can't check for updates"}, {}, 0},
    {"an updater that can check runs the check", [](ManagerHarness &h) { h.updater->canCheck = true; },
     [](ManagerShellCommands &c) { c.checkForUpdates(); }, {}, {}, 1},
    {"a picker failure is shown with its text", [](ManagerHarness &) {},
     [](ManagerShellCommands &c) { c.reportWindowPickerFailure(Error("no windows")); },
     {"Couldn't open the window picker"}, {}, 0},
    {"without a tail a close is not deferred", [](ManagerHarness &) {},
     [](ManagerShellCommands &c) { EXPECT_FALSE(c.deferWhileTailPending(PendingExternalAction::close)); }, {}, {}, 0},
    {"with a tail a quit is held back", [](ManagerHarness &h) { h.m().setTailOperation(TailOperation{}); },
     [](ManagerShellCommands &c) { EXPECT_TRUE(c.deferWhileTailPending(PendingExternalAction::quit)); }, {},
     {"[tail] quit deferred until the tail operation resolves (pending=quit)"}, 0},
};

class ManagerShellCommandsTest : public ::testing::TestWithParam<CommandCase> {};

TEST_P(ManagerShellCommandsTest, Runs)
{
    const CommandCase &c = GetParam();
    SCOPED_TRACE(c.name);
    ManagerHarness harness;
    c.setUp(harness);
    harness.clearLogs();
    ManagerShellCommands commands(harness.m());
    c.run(commands);
    std::vector<QString> alerts;
    for (const AlertRequest &alert : harness.alerts->shown)
        alerts.push_back(alert.message);
    EXPECT_EQ(alerts, c.alerts);
    EXPECT_EQ(harness.appLogLines(), c.logLines);
    EXPECT_EQ(harness.updater->checks, c.updateChecks);
}

INSTANTIATE_TEST_SUITE_P(Operations, ManagerShellCommandsTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return "case" + std::to_string(info.index); });

} // namespace
} // namespace lumacast::testing
