#include "capture/SampleQueue.h"

#include "threads/ThreadBridge.h"

#include <future>

namespace lumacast {

SampleQueue::SampleQueue(QString label) : m_label(std::move(label))
{
    // Thread names are limited to 15 characters: keep the distinctive end of the label.
    m_thread = std::thread([this, name = m_label.right(15).toUtf8()] {
        nameCurrentThread(name.constData());
        run();
    });
}

SampleQueue::~SampleQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
        m_blocks.clear();
    }
    m_cv.notify_all();
    m_thread.join();
}

bool SampleQueue::dispatch(std::function<void()> block)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_quit)
            return false;
        m_blocks.push_back(std::move(block));
    }
    m_cv.notify_one();
    return true;
}

void SampleQueue::sync(std::function<void()> block)
{
    std::promise<void> done;
    auto finished = done.get_future();
    if (!dispatch([&] {
            block();
            done.set_value();
        }))
        return;
    finished.wait();
}

void SampleQueue::run()
{
    for (;;) {
        std::function<void()> block;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_quit || !m_blocks.empty(); });
            if (m_quit)
                return;
            block = std::move(m_blocks.front());
            m_blocks.pop_front();
        }
        block();
    }
}

} // namespace lumacast
