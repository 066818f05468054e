#pragma once

#include <QCoreApplication>
#include <QCoroTask>
#include <QDeadlineTimer>

#include <exception>
#include <functional>
#include <optional>
#include <utility>

// Runs a coroutine task to its end on a nested event loop and hands back its result or rethrows
// its error (QCoro::waitFor alone would lose the error and never return).
namespace lumacast::testing {

namespace detail {

template<typename T>
struct Settled {
    std::optional<T> value;
    std::exception_ptr failure;
};

template<typename T>
QCoro::Task<Settled<T>> settle(QCoro::Task<T> task)
{
    Settled<T> outcome;
    try {
        outcome.value.emplace(co_await task);
    } catch (...) {
        outcome.failure = std::current_exception();
    }
    co_return outcome;
}

// A task cannot return an exception_ptr itself: its promise keeps one beside the value.
struct SettledVoid {
    std::exception_ptr failure;
};

inline QCoro::Task<SettledVoid> settle(QCoro::Task<void> task)
{
    SettledVoid outcome;
    try {
        co_await task;
    } catch (...) {
        outcome.failure = std::current_exception();
    }
    co_return outcome;
}

} // namespace detail

template<typename T>
T runTask(QCoro::Task<T> task)
{
    detail::Settled<T> outcome = QCoro::waitFor(detail::settle(std::move(task)));
    if (outcome.failure)
        std::rethrow_exception(outcome.failure);
    return std::move(*outcome.value);
}

inline void runTask(QCoro::Task<void> task)
{
    if (const detail::SettledVoid outcome = QCoro::waitFor(detail::settle(std::move(task))); outcome.failure)
        std::rethrow_exception(outcome.failure);
}

// Lets work posted to the main thread (and what that posts in turn, a few rounds deep) run.
inline void pumpEvents()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

// Turns the event loop until `done` holds (work on other threads included); false when `ms` pass
// first.
inline bool waitUntil(const std::function<bool()> &done, int ms = 5000)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

} // namespace lumacast::testing
