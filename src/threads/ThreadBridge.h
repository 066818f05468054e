#pragma once

#include <QFuture>
#include <QPointer>
#include <QPromise>

#include <qcoro/qcorofuture.h>
#include <qcoro/qcorotask.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#define LUMACAST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define LUMACAST_TSAN 1
#endif
#endif
#ifdef LUMACAST_TSAN
#include <sanitizer/tsan_interface.h>
#endif

// The one way work leaves the main thread and comes back, and the one way anything reaches the
// main thread from elsewhere. Every layer from platform/ up uses these two and nothing else.

namespace lumacast {

namespace detail {
// Qt hands work across threads through its own futex-based mutexes and atomics, which
// ThreadSanitizer cannot see in the uninstrumented Qt libraries. These tell it about each
// hand-off the bridge makes (`key` names one hand-off), so that it still reports the races in
// what the work itself touches. Nothing in a normal build.
inline void handOff([[maybe_unused]] void *key)
{
#ifdef LUMACAST_TSAN
    __tsan_release(key);
#endif
}
inline void takeOver([[maybe_unused]] void *key)
{
#ifdef LUMACAST_TSAN
    __tsan_acquire(key);
#endif
}
} // namespace detail

// Names the calling thread as `top -H` and a debugger show it. Linux keeps at most 15
// characters; a longer name is cut to its first 15.
void nameCurrentThread(const char *name);

// Runs `work` on a thread of its own, named `threadName` (a string literal), and resumes the awaiting coroutine on
// the thread that awaits (its event loop) with the value `work` returned, or rethrows there the
// exception `work` threw. Nothing `work` throws escapes the worker thread.
//
// The thread is detached: the task must be awaited, and what `work` captures must outlive it (it
// is destroyed on the worker thread once `work` has returned). Start the task as a named
// variable and then await it: GCC 12 destroys a lambda temporary inside a co_await expression
// twice, releasing what it captured early.
template<typename Work>
QCoro::Task<std::invoke_result_t<Work &>> runInBackground(const char *threadName, Work work)
{
    using Result = std::invoke_result_t<Work &>;
    struct Outcome {
        std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> value{};
        std::exception_ptr failure;
    };
    auto outcome = std::make_shared<Outcome>();
    QPromise<void> promise;
    QFuture<void> done = promise.future();
    std::thread([threadName, outcome, work = std::optional<Work>(std::move(work)),
                 promise = std::move(promise)]() mutable {
        nameCurrentThread(threadName);
        promise.start();
        try {
            if constexpr (std::is_void_v<Result>)
                (*work)();
            else
                outcome->value.emplace((*work)());
        } catch (...) {
            outcome->failure = std::current_exception();
        }
        // What the work captured goes before the awaiting coroutine resumes, even what it
        // captured as const (a move would only copy that): the program may end right after.
        work.reset();
        // The value or the exception dies on the awaiting thread, never here while it is read.
        detail::handOff(outcome.get());
        outcome.reset();
        promise.finish();
    }).detach();
    co_await done;
    detail::takeOver(outcome.get());
    if (outcome->failure)
        std::rethrow_exception(outcome->failure);
    if constexpr (!std::is_void_v<Result>)
        co_return std::move(*outcome->value);
}

// Posts `work` to the main thread's event loop. Callable from any thread. Always queued, never
// run inline, even when the caller is the main thread. Dropped when no application exists, or
// when it is gone by the time the loop reaches it.
void postToMainThread(std::function<void()> work);

// The same, and also dropped when `receiver` (an object of the main thread) has been destroyed
// by the time the loop reaches the call. Make the QPointer where the receiver is known alive
// (on the main thread, when handing out a closure); copying it to other threads is safe.
template<typename Receiver>
void postToMainThread(QPointer<Receiver> receiver, std::function<void()> work)
{
    postToMainThread([receiver = std::move(receiver), work = std::move(work)] {
        if (receiver)
            work();
    });
}

namespace detail {
QCoro::Task<> runDroppingErrors(std::function<QCoro::Task<>()> work);
} // namespace detail

// Starts an asynchronous operation at once, as a task of its own on the calling (main) thread:
// it runs up to its first suspension before this returns. Neither kept nor cancelled; an
// exception it throws is dropped, as with startMainThreadTask.
void startTaskNow(std::function<QCoro::Task<>()> work);

// Starts an asynchronous operation as a task of its own on the main thread, posted like
// postToMainThread and dropped the same way when `receiver` is gone by then. The task is neither
// kept nor cancelled and an exception it throws is dropped: the operations started this way (the
// state manager's, from menus, buttons and hot keys) report their own failures.
template<typename Receiver>
void startMainThreadTask(QPointer<Receiver> receiver, std::function<QCoro::Task<>()> work)
{
    postToMainThread(std::move(receiver), [work = std::move(work)]() mutable {
        detail::runDroppingErrors(std::move(work)); // runs on by itself; its frame frees itself
    });
}

} // namespace lumacast
