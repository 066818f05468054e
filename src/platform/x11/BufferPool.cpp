#include "platform/x11/BufferPool.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>

namespace lumacast::x11 {

PixelBuffer::~PixelBuffer()
{
    if (shared && data)
        shmdt(data);
}

BufferPool::~BufferPool()
{
    for (auto &b : m_free) {
        if (b->shared && !m_conn.failed())
            xcb_shm_detach(m_conn.get(), b->segment);
    }
    if (!m_conn.failed())
        xcb_flush(m_conn.get());
}

std::shared_ptr<PixelBuffer> BufferPool::acquire()
{
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(m_mutex);
        if (!m_free.empty()) {
            buffer = std::move(m_free.back());
            m_free.pop_back();
        }
    }
    if (!buffer) {
        if (m_allocated >= kMaxBuffers)
            return nullptr;
        buffer = allocate();
        if (!buffer)
            return nullptr;
        ++m_allocated;
    }
    std::weak_ptr<BufferPool> pool = weak_from_this();
    return std::shared_ptr<PixelBuffer>(buffer.release(), [pool](PixelBuffer *b) {
        if (auto p = pool.lock())
            p->giveBack(b);
        else
            delete b;
    });
}

void BufferPool::giveBack(PixelBuffer *b)
{
    std::lock_guard lock(m_mutex);
    m_free.emplace_back(b);
}

std::unique_ptr<PixelBuffer> BufferPool::allocate()
{
    auto b = std::make_unique<PixelBuffer>();
    b->size = m_size;
    if (m_useShm) {
        const int id = shmget(IPC_PRIVATE, m_size, IPC_CREAT | 0600);
        if (id >= 0) {
            void *addr = shmat(id, nullptr, 0);
            if (addr != reinterpret_cast<void *>(-1)) {
                const xcb_shm_seg_t seg = xcb_generate_id(m_conn.get());
                xcb_generic_error_t *e =
                    xcb_request_check(m_conn.get(), xcb_shm_attach_checked(m_conn.get(), seg, uint32_t(id), 0));
                // Marked for removal at once: the segment goes away with its last user.
                shmctl(id, IPC_RMID, nullptr);
                if (!e) {
                    b->data = static_cast<uint8_t *>(addr);
                    b->segment = seg;
                    b->shared = true;
                    return b;
                }
                std::free(e);
                shmdt(addr);
            } else {
                shmctl(id, IPC_RMID, nullptr);
            }
        }
        // The server is not on this machine (or refuses the segment): plain requests from now on.
        m_useShm = false;
    }
    b->heap.resize(m_size);
    b->data = b->heap.data();
    return b;
}

} // namespace lumacast::x11
