#pragma once

// The pointer of a screen cast whose desktop sends it beside the pictures (PipeWire's cursor
// metadata) instead of drawing it into them: its position, hotspot and picture, which the desktop
// sends only when they change, kept here so that we draw it ourselves and can leave it out.
//
// Not thread-safe: the frame source reads and draws under its delivery lock.

#include <QPoint>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace lumacast::pipewire {

class CastCursor {
public:
    // Where the pointer would be drawn and with which picture: two equal stamps draw the same
    // pixels, so a picture need not be drawn again.
    struct Stamp {
        bool shown = false;
        int x = 0; // top-left of the sprite in the cast's pixels
        int y = 0;
        uint64_t sprite = 0;
        bool operator==(const Stamp &) const = default;
    };

    // The pixels a drawn pointer covered, to take it off the picture again.
    struct Patch {
        int x = 0;
        int y = 0;
        int width = 0;
        int height = 0;
        std::vector<uint8_t> pixels; // BGRx, width * 4 bytes a row
    };

    // One buffer's cursor metadata (`size` bytes at `meta`, a spa_meta_cursor and its bitmap).
    // An id of 0 means the pointer is not over the cast (hidden, or on another monitor); a
    // bitmap is read only where it came, and a malformed one is ignored, leaving the last. The
    // desktop places the pointer in its buffer; the picture starts at `origin` there (its crop
    // region's top-left), and the position kept is the picture's.
    void update(const void *meta, size_t size, QPoint origin = {});

    // The pointer's position in the cast's pixels, once the desktop has said it.
    std::optional<QPoint> position() const { return m_position; }
    Stamp stamp(bool wanted) const;

    // Draws the pointer as `stamp(true)` says onto a BGRx picture, clipped to it; returns what it
    // covered. The sprite is premultiplied, as desktops send it.
    Patch draw(uint8_t *pixels, int width, int height, int stride) const;
    static void restore(uint8_t *pixels, int stride, const Patch &patch);

private:
    bool readBitmap(const uint8_t *bitmap, size_t size);

    std::optional<QPoint> m_position;
    bool m_overCast = false;
    QPoint m_hotspot;
    int m_width = 0; // 0: an empty sprite, nothing to draw
    int m_height = 0;
    std::vector<uint8_t> m_bgra; // premultiplied, m_width * 4 bytes a row
    uint64_t m_sprite = 0;       // counts the pictures read
};

} // namespace lumacast::pipewire
