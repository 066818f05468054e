#include "platform/av/Bt709Convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace lumacast::av {
namespace {

std::vector<Bt709Path> availablePaths()
{
    std::vector<Bt709Path> paths;
    for (Bt709Path path : {Bt709Path::portable, Bt709Path::avx2, Bt709Path::avx2Vnni})
        if (isBt709PathAvailable(path))
            paths.push_back(path);
    return paths;
}

// Planes with padding after each row, holding a marker that the conversion must leave alone.
struct Planes {
    static constexpr uint8_t kMarker = 0xA5;
    int w, h, stride, cw, cstride;
    std::vector<uint8_t> y, u, v;
    Planes(Bt709Path path, const std::vector<uint8_t> &bgra, int bgraStride, int width, int height)
        : w(width), h(height), stride(w + 7), cw((w + 1) / 2), cstride(cw + 7),
          y(size_t(stride) * h, kMarker), u(size_t(cstride) * ((h + 1) / 2), kMarker), v(u)
    {
        EXPECT_TRUE(convertBgraToI420Bt709On(path, bgra.data(), bgraStride, y.data(), stride,
                                             u.data(), cstride, v.data(), cstride, w, h));
    }
};

// BT.709 limited range in double precision; chroma from the average colour of the pixels of
// the block that lie inside the picture. Every sample within one level; padding untouched.
int mismatchesWithReference(const std::vector<uint8_t> &bgra, int bgraStride, const Planes &out)
{
    int mismatches = 0;
    for (int cy = 0; cy < (out.h + 1) / 2; ++cy)
        for (int cx = 0; cx < out.cstride; ++cx) {
            const int at = cy * out.cstride + cx;
            if (cx >= out.cw) {
                mismatches += out.u[at] != Planes::kMarker || out.v[at] != Planes::kMarker;
                continue;
            }
            double r = 0, g = 0, b = 0;
            int n = 0;
            for (int y = 2 * cy; y < std::min(2 * cy + 2, out.h); ++y)
                for (int x = 2 * cx; x < std::min(2 * cx + 2, out.w); ++x, ++n) {
                    const uint8_t *p = &bgra[size_t(y) * bgraStride + 4 * x];
                    b += p[0], g += p[1], r += p[2];
                    const double luma = 0.2126 * p[2] + 0.7152 * p[1] + 0.0722 * p[0];
                    mismatches += std::abs(out.y[y * out.stride + x] - (16 + luma * 219 / 255)) > 1;
                }
            r /= n, g /= n, b /= n;
            const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
            mismatches += std::abs(out.u[at] - (128 + (b - luma) / 1.8556 * 224 / 255)) > 1;
            mismatches += std::abs(out.v[at] - (128 + (r - luma) / 1.5748 * 224 / 255)) > 1;
        }
    for (int y = 0; y < out.h; ++y)
        for (int x = out.w; x < out.stride; ++x)
            mismatches += out.y[y * out.stride + x] != Planes::kMarker;
    return mismatches;
}

TEST(Bt709Convert, RandomPicturesOfAnySizeMatchTheReferenceOnEveryPath)
{
    std::mt19937 random(709);
    // Odd and even sizes, narrower than one vector step, and wider with a remainder after it.
    for (const auto &[w, h] : std::vector<std::pair<int, int>>{
             {1, 1}, {2, 2}, {3, 5}, {31, 3}, {32, 2}, {33, 7}, {67, 9}, {130, 4}}) {
        const int stride = w * 4 + 12;
        std::vector<uint8_t> bgra(size_t(stride) * h);
        for (auto &byte : bgra)
            byte = uint8_t(random());
        const Planes portable(Bt709Path::portable, bgra, stride, w, h);
        for (Bt709Path path : availablePaths()) {
            SCOPED_TRACE(testing::Message() << w << "x" << h << " on path " << int(path));
            const Planes out(path, bgra, stride, w, h);
            EXPECT_EQ(mismatchesWithReference(bgra, stride, out), 0);
            // Which path runs depends on the processor: every one must give the same movie.
            EXPECT_TRUE(out.y == portable.y && out.u == portable.u && out.v == portable.v);
        }
    }
}

// The capture path's conversion of window and screen sizes, from and into buffers exactly as
// large as the picture: this code is instrumented, so AddressSanitizer sees any byte it touches
// beyond them. Every path gives the portable path's samples.
TEST(Bt709Convert, WindowSizesReadAndWriteNothingBeyondThePicture)
{
    std::mt19937 random(1366);
    for (const auto &[w, h] : std::vector<std::pair<int, int>>{
             {1, 1}, {2, 2}, {1, 17}, {17, 1}, {299, 301}, {300, 300}, {330, 250}, {302, 240}, {1366, 768}}) {
        std::vector<uint8_t> bgra(size_t(w) * 4 * h);
        for (auto &byte : bgra)
            byte = uint8_t(random());
        const int cw = (w + 1) / 2, ch = (h + 1) / 2;
        std::vector<uint8_t> y0(size_t(w) * h), u0(size_t(cw) * ch), v0(u0.size());
        ASSERT_TRUE(convertBgraToI420Bt709On(Bt709Path::portable, bgra.data(), w * 4, y0.data(), w, u0.data(), cw,
                                             v0.data(), cw, w, h));
        for (Bt709Path path : availablePaths()) {
            SCOPED_TRACE(testing::Message() << w << "x" << h << " on path " << int(path));
            std::vector<uint8_t> y(y0.size()), u(u0.size()), v(v0.size());
            convertBgraToI420Bt709On(path, bgra.data(), w * 4, y.data(), w, u.data(), cw, v.data(), cw, w, h);
            EXPECT_TRUE(y == y0 && u == u0 && v == v0);
        }
    }
}

TEST(Bt709Convert, PrimariesAndGreysGiveTheStandardValues)
{
    // The BT.709 limited-range values of the primaries, the secondaries and the extremes.
    const int cases[][6]{{0, 0, 0, 16, 128, 128},    {255, 255, 255, 235, 128, 128},
                         {255, 0, 0, 63, 102, 240},   {0, 255, 0, 173, 42, 26},
                         {0, 0, 255, 32, 240, 118},   {255, 255, 0, 219, 16, 138},
                         {0, 255, 255, 188, 154, 16}, {255, 0, 255, 78, 214, 230}};
    for (Bt709Path path : availablePaths()) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << "path " << int(path) << ", RGB " << c[0] << ","
                                            << c[1] << "," << c[2]);
            // Wide enough for the vector paths, with an odd column and row at the end.
            std::vector<uint8_t> bgra(35 * 3 * 4);
            for (size_t i = 0; i < bgra.size(); i += 4)
                bgra[i] = uint8_t(c[2]), bgra[i + 1] = uint8_t(c[1]), bgra[i + 2] = uint8_t(c[0]);
            const Planes out(path, bgra, 35 * 4, 35, 3);
            for (int i = 0; i < 35 * 3; ++i)
                ASSERT_EQ(out.y[i / 35 * out.stride + i % 35], c[3]);
            for (int i = 0; i < 18 * 2; ++i) {
                ASSERT_EQ(out.u[i / 18 * out.cstride + i % 18], c[4]);
                ASSERT_EQ(out.v[i / 18 * out.cstride + i % 18], c[5]);
            }
        }

        // Every grey level, even ones on the first row and odd ones on the second: no colour
        // at all, and luma rounded to the nearest step of the limited scale.
        std::vector<uint8_t> bgra(256 * 2 * 4);
        for (int i = 0; i < 512; ++i)
            std::fill_n(&bgra[4 * i], 4, uint8_t((i % 256) / 2 * 2 + i / 256));
        const Planes out(path, bgra, 256 * 4, 256, 2);
        for (int x = 0; x < 256; ++x)
            EXPECT_NEAR(out.y[x], 16 + (x / 2 * 2) * 219.0 / 255.0, 0.5) << "grey " << x / 2 * 2;
        for (int x = 0; x < 128; ++x)
            ASSERT_TRUE(out.u[x] == 128 && out.v[x] == 128) << "grey block " << x;
    }
}

} // namespace
} // namespace lumacast::av
