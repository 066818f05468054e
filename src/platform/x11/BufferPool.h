#pragma once

// Internal to the X11 layer: the frame-sized pixel buffers a frame source grabs into.

#include "platform/x11/X11Connection.h"

#include <xcb/shm.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace lumacast::x11 {

// A frame-sized pixel buffer: a shared-memory segment the server writes into, or plain memory
// when the server cannot share memory with us (a remote display).
struct PixelBuffer {
    uint8_t *data = nullptr;
    size_t size = 0;
    xcb_shm_seg_t segment = 0;
    bool shared = false;
    std::vector<uint8_t> heap;

    ~PixelBuffer();
};

// At most eight buffers of one size, made on demand. Buffers in flight with frame holders come
// back here when the last holder lets go; a buffer that comes back after the pool is gone is
// simply released. The pool is owned through a shared_ptr (acquire relies on it) and must not
// outlive `connection`.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
public:
    BufferPool(Connection &connection, size_t size) : m_conn(connection), m_size(size) {}
    ~BufferPool();
    BufferPool(const BufferPool &) = delete;
    BufferPool &operator=(const BufferPool &) = delete;

    // A free buffer, or a new one; null when all eight are held. Only the capture thread acquires
    // (it talks to the server); any thread may release.
    std::shared_ptr<PixelBuffer> acquire();

    // Whether new buffers are to be shared-memory segments; cleared for good once the server
    // refuses one.
    void setUseSharedMemory(bool use) { m_useShm = use; }

private:
    static constexpr int kMaxBuffers = 8;

    void giveBack(PixelBuffer *b);
    std::unique_ptr<PixelBuffer> allocate();

    Connection &m_conn;
    size_t m_size;
    bool m_useShm = true;
    int m_allocated = 0;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<PixelBuffer>> m_free;
};

} // namespace lumacast::x11
