#pragma once

#include <QDateTime>
#include <QObject>

#include <chrono>
#include <functional>
#include <memory>

namespace lumacast {

// The wall clock the state manager reads (checkpoint times, take start and pause times).
// Replaced by a virtual clock in tests.
class Clock {
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
};

// One piece of work waiting for its time; dropping the handle does not cancel it.
class ScheduledWork {
public:
    virtual ~ScheduledWork() = default;
    // Harmless after the work ran or was cancelled.
    virtual void cancel() = 0;
    virtual bool isPending() const = 0;
};

// Runs work later on the main thread: the autosave debounce, the open-panel warm-up. Replaced
// by virtual time in tests, so that waits take no real time.
class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Runs `work` once, on the main thread, `delay` from now, unless it is cancelled first or
    // `context` is destroyed first (then it never runs). Never runs `work` inline.
    virtual std::shared_ptr<ScheduledWork> schedule(std::chrono::milliseconds delay, QObject *context,
                                                    std::function<void()> work) = 0;
};

class SystemClock final : public Clock {
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
};

// Single-shot QTimers on the main thread's event loop.
class TimerScheduler final : public Scheduler {
public:
    std::shared_ptr<ScheduledWork> schedule(std::chrono::milliseconds delay, QObject *context,
                                            std::function<void()> work) override;
};

} // namespace lumacast
