#include "threads/ThreadBridge.h"

#include "support/AwaitTask.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <gtest/gtest.h>

#include <pthread.h>

#include <stdexcept>
#include <string>
#include <thread>

namespace lumacast {
namespace {

using testing::runTask;

std::string currentThreadName()
{
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

struct WorkFailed : std::runtime_error {
    using std::runtime_error::runtime_error;
};

TEST(ThreadBridgeTest, BackgroundWorkHandsItsValueOrItsExceptionToTheAwaitingCoroutine)
{
    QThread *const awaiting = QThread::currentThread();
    struct Seen {
        bool offAwaitingThread = false;
        std::string name;
        QThread *resumedOn = nullptr;
    };

    Seen seen;
    auto valueTask = [&]() -> QCoro::Task<int> {
        auto work = runInBackground("join export long name", [&seen, awaiting] {
            seen.offAwaitingThread = QThread::currentThread() != awaiting;
            seen.name = currentThreadName();
            return 42;
        });
        const int value = co_await work;
        seen.resumedOn = QThread::currentThread();
        co_return value;
    };
    EXPECT_EQ(runTask(valueTask()), 42);
    EXPECT_TRUE(seen.offAwaitingThread);
    EXPECT_EQ(seen.name, "join export lon"); // cut to the 15 characters Linux keeps
    EXPECT_EQ(seen.resumedOn, awaiting);

    // Both a value-returning and a void work: the exception crosses back with its own type and
    // text, and the process goes on.
    const auto failingValue = []() -> QCoro::Task<int> {
        auto work = runInBackground("failing", []() -> int { throw WorkFailed("disk full"); });
        co_return co_await work;
    };
    const auto failingVoid = []() -> QCoro::Task<> {
        auto work = runInBackground("failing", [] { throw WorkFailed("encoder gone"); });
        co_await work;
    };
    try {
        runTask(failingValue());
        ADD_FAILURE() << "no exception reached the coroutine";
    } catch (const WorkFailed &e) {
        EXPECT_STREQ(e.what(), "disk full");
    }
    try {
        runTask(failingVoid());
        ADD_FAILURE() << "no exception reached the coroutine";
    } catch (const WorkFailed &e) {
        EXPECT_STREQ(e.what(), "encoder gone");
    }
}

TEST(ThreadBridgeTest, RelayIsAlwaysQueuedToTheMainThreadAndDroppedOnceTheReceiverIsGone)
{
    QThread *const mainThread = QCoreApplication::instance()->thread();
    struct Case {
        const char *name;
        bool fromOtherThread;
        bool receiverDestroyed;
        bool expectRun;
    };
    const Case cases[] = {
        {"from the main thread", false, false, true},
        {"from another thread", true, false, true},
        {"receiver gone, posted on main", false, true, false},
        {"receiver gone, posted elsewhere", true, true, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto *receiver = new QObject;
        const QPointer<QObject> guarded(receiver);
        int runs = 0;
        QThread *ranOn = nullptr;
        const auto post = [&] {
            postToMainThread(guarded, [&] {
                ++runs;
                ranOn = QThread::currentThread();
            });
        };
        if (c.fromOtherThread)
            std::thread(post).join();
        else
            post();
        EXPECT_EQ(runs, 0) << "ran inline";
        if (c.receiverDestroyed)
            delete receiver;
        QCoreApplication::processEvents();
        EXPECT_EQ(runs, c.expectRun ? 1 : 0);
        if (c.expectRun) {
            EXPECT_EQ(ranOn, mainThread);
        }
        if (!c.receiverDestroyed)
            delete receiver;
    }
}

} // namespace
} // namespace lumacast
