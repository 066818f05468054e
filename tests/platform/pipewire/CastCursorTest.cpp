// The pointer a desktop sends beside its pictures: read from PipeWire's cursor metadata as
// desktops write it (and as a broken one might), drawn onto a picture and taken off again.
#include "platform/pipewire/CastCursor.h"

#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

using lumacast::pipewire::CastCursor;

namespace {

struct Sprite {
    uint32_t format = SPA_VIDEO_FORMAT_RGBA;
    int size = 4;
    uint8_t pixel[4] = {200, 0, 0, 255}; // in the format's byte order
    int32_t stride = 0;                   // 0: size * 4
    uint32_t claimedSize = 0;             // what the metadata says its bytes are; 0: all of them
};

// One buffer's metadata: the pointer at (x, y) with hotspot (1, 1), with or without a sprite.
std::vector<uint8_t> metadata(uint32_t id, int x, int y, const Sprite *sprite)
{
    const size_t pixels = sprite ? size_t(sprite->size) * sprite->size * 4 : 0;
    std::vector<uint8_t> bytes(sizeof(spa_meta_cursor) + sizeof(spa_meta_bitmap) + pixels);
    spa_meta_cursor cursor{id, 0, {x, y}, {1, 1}, sprite ? uint32_t(sizeof(spa_meta_cursor)) : 0};
    std::memcpy(bytes.data(), &cursor, sizeof cursor);
    if (sprite) {
        const spa_meta_bitmap bitmap{sprite->format, {uint32_t(sprite->size), uint32_t(sprite->size)},
                                     sprite->stride ? sprite->stride : sprite->size * 4,
                                     uint32_t(sizeof(spa_meta_bitmap))};
        std::memcpy(bytes.data() + sizeof cursor, &bitmap, sizeof bitmap);
        for (size_t p = 0; p < pixels; p += 4)
            std::memcpy(bytes.data() + sizeof cursor + sizeof bitmap + p, sprite->pixel, 4);
        if (sprite->claimedSize)
            bytes.resize(sprite->claimedSize);
    }
    return bytes;
}

struct Picture {
    static constexpr int kSide = 8;
    std::vector<uint8_t> bgrx = std::vector<uint8_t>(kSide * kSide * 4, 50);
    const uint8_t *at(int x, int y) const { return bgrx.data() + (y * kSide + x) * 4; }
};

TEST(CastCursor, ReadsWhatDesktopsSendAndIgnoresWhatCannotBeRead)
{
    const Sprite rgba;
    const Sprite argb{SPA_VIDEO_FORMAT_ARGB, 4, {255, 200, 0, 0}};
    const Sprite halfBlue{SPA_VIDEO_FORMAT_BGRA, 4, {100, 0, 0, 128}};
    const Sprite empty{SPA_VIDEO_FORMAT_RGBA, 0};
    const Sprite unknownFormat{SPA_VIDEO_FORMAT_I420};
    const Sprite runsPastItsBytes{SPA_VIDEO_FORMAT_RGBA, 4, {200, 0, 0, 255}, 0, 100};
    const Sprite negativeStride{SPA_VIDEO_FORMAT_RGBA, 4, {200, 0, 0, 255}, -16};
    struct Case {
        const char *name;
        std::vector<std::vector<uint8_t>> buffers; // in the order they came
        bool shown;
        int left, top;       // of the sprite, where shown
        uint8_t bgr[3];      // the picture at the sprite's top-left, where shown
    };
    const Case cases[] = {
        {"RGBA at its hotspot", {metadata(1, 3, 4, &rgba)}, true, 2, 3, {0, 0, 200}},
        {"ARGB", {metadata(1, 3, 4, &argb)}, true, 2, 3, {0, 0, 200}},
        {"premultiplied, half covering", {metadata(1, 3, 4, &halfBlue)}, true, 2, 3, {125, 25, 25}},
        {"moved without a new sprite", {metadata(1, 3, 4, &rgba), metadata(1, 5, 2, nullptr)}, true, 4, 1, {0, 0, 200}},
        {"over another monitor", {metadata(1, 3, 4, &rgba), metadata(0, 0, 0, nullptr)}, false, 0, 0, {}},
        {"back over the cast", {metadata(1, 3, 4, &rgba), metadata(0, 0, 0, nullptr), metadata(1, 2, 2, nullptr)}, true, 1, 1, {0, 0, 200}},
        {"an empty sprite hides it", {metadata(1, 3, 4, &rgba), metadata(1, 3, 4, &empty)}, false, 0, 0, {}},
        {"no sprite yet", {metadata(1, 3, 4, nullptr)}, false, 0, 0, {}},
        {"an unknown format keeps the last", {metadata(1, 3, 4, &rgba), metadata(1, 3, 4, &unknownFormat)}, true, 2, 3, {0, 0, 200}},
        {"a sprite past its bytes is ignored", {metadata(1, 3, 4, &runsPastItsBytes)}, false, 0, 0, {}},
        {"a negative stride is ignored", {metadata(1, 3, 4, &negativeStride)}, false, 0, 0, {}},
        {"too short to be metadata", {std::vector<uint8_t>(8, 1)}, false, 0, 0, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CastCursor cursor;
        for (const auto &buffer : c.buffers)
            cursor.update(buffer.data(), buffer.size());
        const CastCursor::Stamp stamp = cursor.stamp(true);
        ASSERT_EQ(stamp.shown, c.shown);
        EXPECT_FALSE(cursor.stamp(false).shown);
        Picture picture;
        const Picture clean = picture;
        const CastCursor::Patch patch = cursor.draw(picture.bgrx.data(), Picture::kSide, Picture::kSide, Picture::kSide * 4);
        if (!c.shown) {
            EXPECT_EQ(picture.bgrx, clean.bgrx);
            continue;
        }
        EXPECT_EQ(stamp.x, c.left);
        EXPECT_EQ(stamp.y, c.top);
        for (int ch = 0; ch < 3; ++ch)
            EXPECT_NEAR(picture.at(c.left, c.top)[ch], c.bgr[ch], 1) << "channel " << ch;
        EXPECT_EQ(picture.at(c.left - 1, c.top)[0], 50) << "drawn left of the sprite";
        CastCursor::restore(picture.bgrx.data(), Picture::kSide * 4, patch);
        EXPECT_EQ(picture.bgrx, clean.bgrx);
    }
    // The desktop places the pointer in its buffer; a picture cropped from it at (2, 2) has it
    // that much further up and left.
    CastCursor cropped;
    const std::vector<uint8_t> buffer = metadata(1, 5, 6, &rgba);
    cropped.update(buffer.data(), buffer.size(), QPoint(2, 2));
    EXPECT_EQ(cropped.position(), QPoint(3, 4));
    EXPECT_EQ(cropped.stamp(true).x, 2);
    EXPECT_EQ(cropped.stamp(true).y, 3);
}

// A pointer partly or wholly off the picture is clipped to it, and taken off exactly.
TEST(CastCursor, DrawsClippedAtTheEdgesAndRestoresExactly)
{
    const Sprite rgba;
    struct Case {
        int x, y;   // the pointer; the sprite's top-left is one less
        int drawn;  // pixels covered
    };
    for (const Case &c : {Case{0, 0, 9}, Case{7, 7, 4}, Case{-1, 3, 8}, Case{9, 9, 0}, Case{-4, -4, 0}}) {
        SCOPED_TRACE(testing::Message() << c.x << "," << c.y);
        CastCursor cursor;
        const auto meta = metadata(1, c.x, c.y, &rgba);
        cursor.update(meta.data(), meta.size());
        Picture picture;
        const Picture clean = picture;
        const CastCursor::Patch patch = cursor.draw(picture.bgrx.data(), Picture::kSide, Picture::kSide, Picture::kSide * 4);
        EXPECT_EQ(patch.width * patch.height, c.drawn);
        int changed = 0;
        for (int p = 0; p < Picture::kSide * Picture::kSide; ++p)
            changed += picture.bgrx[size_t(p) * 4 + 2] != 50;
        EXPECT_EQ(changed, c.drawn);
        CastCursor::restore(picture.bgrx.data(), Picture::kSide * 4, patch);
        EXPECT_EQ(picture.bgrx, clean.bgrx);
    }
}

} // namespace
