#include "StateManagerDoubles.h"

#include "support/AwaitTask.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace lumacast::testing {
namespace {

// The doubles other tests drive the manager's asynchronous flows with: a call waits until the
// test completes it, and virtual time runs work in time order without real waiting.
TEST(StateManagerDoublesTest, AsynchronousCallsWaitForTheTestAndTimeRunsInOrder)
{
    FakeCountdown countdown;
    bool finished = false;
    auto run = [&]() -> QCoro::Task<> {
        auto task = countdown.run(3, 7u);
        finished = co_await task;
    };
    QCoro::Task<> waiting = run();
    EXPECT_FALSE(finished);
    ASSERT_EQ(countdown.runs.pending.size(), 1u);
    countdown.runs.completeNext(true);
    runTask(std::move(waiting));
    EXPECT_TRUE(finished);

    VirtualTime time;
    QObject context;
    QStringList order;
    auto late = time.schedule(300ms, &context, [&] { order << "late"; });
    time.schedule(100ms, &context, [&] {
        order << "early";
        time.schedule(100ms, &context, [&] { order << "chained"; });
    });
    auto cancelled = time.schedule(150ms, &context, [&] { order << "cancelled"; });
    cancelled->cancel();
    time.advance(250ms);
    EXPECT_EQ(order, QStringList({"early", "chained"}));
    EXPECT_TRUE(late->isPending());
    time.advance(50ms);
    EXPECT_EQ(order.last(), "late");
}

} // namespace
} // namespace lumacast::testing
