#pragma once

#include <QString>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace lumacast {

// A serial queue on a worker thread of its own: blocks run one at a time in the order they were
// dispatched. Screen frames, both audio sources, pause and resume and the stop barrier of a take
// share one, so that everything reaches the take writer in arrival order.
class SampleQueue {
public:
    explicit SampleQueue(QString label);
    ~SampleQueue(); // blocks not yet run are dropped
    SampleQueue(const SampleQueue &) = delete;
    SampleQueue &operator=(const SampleQueue &) = delete;

    // False when the queue is shutting down and the block was dropped.
    bool dispatch(std::function<void()> block);
    // Runs `block` after everything dispatched before it and waits for it. Never call it from
    // the queue itself.
    void sync(std::function<void()> block);
    bool isCurrent() const { return std::this_thread::get_id() == m_thread.get_id(); }
    const QString &label() const { return m_label; }

private:
    void run();

    QString m_label;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_blocks;
    bool m_quit = false;
    std::thread m_thread;
};

} // namespace lumacast
