#include "platform/pipewire/CastCursor.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <algorithm>
#include <cstring>

namespace lumacast::pipewire {

namespace {

// Where blue, green, red and alpha sit in one pixel of a sprite of this format, bytes in memory
// order; alpha -1 for opaque formats. Nothing for a format we cannot read.
struct Layout {
    int b, g, r, a;
};

std::optional<Layout> layoutOf(uint32_t format)
{
    switch (format) {
    case SPA_VIDEO_FORMAT_BGRA: return Layout{0, 1, 2, 3};
    case SPA_VIDEO_FORMAT_RGBA: return Layout{2, 1, 0, 3};
    case SPA_VIDEO_FORMAT_ARGB: return Layout{3, 2, 1, 0};
    case SPA_VIDEO_FORMAT_ABGR: return Layout{1, 2, 3, 0};
    case SPA_VIDEO_FORMAT_BGRx: return Layout{0, 1, 2, -1};
    case SPA_VIDEO_FORMAT_RGBx: return Layout{2, 1, 0, -1};
    case SPA_VIDEO_FORMAT_xRGB: return Layout{3, 2, 1, -1};
    case SPA_VIDEO_FORMAT_xBGR: return Layout{1, 2, 3, -1};
    default: return std::nullopt;
    }
}

constexpr int kLargestSprite = 1024; // pixels a side; more is not a pointer

} // namespace

void CastCursor::update(const void *meta, size_t size, QPoint origin)
{
    if (!meta || size < sizeof(spa_meta_cursor))
        return;
    spa_meta_cursor cursor{};
    std::memcpy(&cursor, meta, sizeof cursor);
    m_overCast = cursor.id != 0;
    if (!m_overCast)
        return;
    m_position = QPoint(cursor.position.x, cursor.position.y) - origin;
    if (cursor.bitmap_offset < sizeof(spa_meta_cursor) || cursor.bitmap_offset >= size)
        return; // the picture did not change
    if (readBitmap(static_cast<const uint8_t *>(meta) + cursor.bitmap_offset, size - cursor.bitmap_offset))
        m_hotspot = QPoint(cursor.hotspot.x, cursor.hotspot.y);
}

bool CastCursor::readBitmap(const uint8_t *bitmap, size_t size)
{
    if (size < sizeof(spa_meta_bitmap))
        return false;
    spa_meta_bitmap header{};
    std::memcpy(&header, bitmap, sizeof header);
    if (header.format == SPA_VIDEO_FORMAT_UNKNOWN)
        return false; // no new picture
    const int width = int(std::min<uint32_t>(header.size.width, kLargestSprite + 1));
    const int height = int(std::min<uint32_t>(header.size.height, kLargestSprite + 1));
    if (header.offset == 0 || width == 0 || height == 0) {
        // An empty picture: the desktop hides the pointer.
        m_width = m_height = 0;
        m_bgra.clear();
        ++m_sprite;
        return true;
    }
    const std::optional<Layout> layout = layoutOf(header.format);
    const int64_t stride = header.stride;
    if (!layout || width > kLargestSprite || height > kLargestSprite || stride < int64_t(width) * 4
        || header.offset < sizeof(spa_meta_bitmap)
        || uint64_t(header.offset) + uint64_t(stride) * uint64_t(height - 1) + uint64_t(width) * 4 > size)
        return false;
    const uint8_t *source = bitmap + header.offset;
    m_bgra.resize(size_t(width) * height * 4);
    for (int y = 0; y < height; ++y) {
        const uint8_t *in = source + stride * y;
        uint8_t *out = m_bgra.data() + size_t(y) * width * 4;
        for (int x = 0; x < width; ++x, in += 4, out += 4) {
            out[0] = in[layout->b];
            out[1] = in[layout->g];
            out[2] = in[layout->r];
            out[3] = layout->a < 0 ? 255 : in[layout->a];
        }
    }
    m_width = width;
    m_height = height;
    ++m_sprite;
    return true;
}

CastCursor::Stamp CastCursor::stamp(bool wanted) const
{
    if (!wanted || !m_overCast || !m_position || m_width == 0)
        return {};
    return {true, m_position->x() - m_hotspot.x(), m_position->y() - m_hotspot.y(), m_sprite};
}

CastCursor::Patch CastCursor::draw(uint8_t *pixels, int width, int height, int stride) const
{
    const Stamp at = stamp(true);
    Patch patch;
    if (!at.shown)
        return patch;
    const int left = std::max(at.x, 0);
    const int top = std::max(at.y, 0);
    const int right = std::min(at.x + m_width, width);
    const int bottom = std::min(at.y + m_height, height);
    if (left >= right || top >= bottom)
        return patch;
    patch.x = left;
    patch.y = top;
    patch.width = right - left;
    patch.height = bottom - top;
    patch.pixels.resize(size_t(patch.width) * patch.height * 4);
    for (int y = top; y < bottom; ++y) {
        uint8_t *row = pixels + size_t(y) * stride + size_t(left) * 4;
        std::memcpy(patch.pixels.data() + size_t(y - top) * patch.width * 4, row, size_t(patch.width) * 4);
        const uint8_t *sprite = m_bgra.data() + (size_t(y - at.y) * m_width + size_t(left - at.x)) * 4;
        for (int x = left; x < right; ++x, row += 4, sprite += 4) {
            const int keep = 255 - sprite[3];
            for (int c = 0; c < 3; ++c)
                row[c] = uint8_t(std::min(255, sprite[c] + (row[c] * keep + 127) / 255));
        }
    }
    return patch;
}

void CastCursor::restore(uint8_t *pixels, int stride, const Patch &patch)
{
    for (int y = 0; y < patch.height; ++y)
        std::memcpy(pixels + size_t(patch.y + y) * stride + size_t(patch.x) * 4,
                    patch.pixels.data() + size_t(y) * patch.width * 4, size_t(patch.width) * 4);
}

} // namespace lumacast::pipewire
