#include "platform/media/Bt709Convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <random>
#include <vector>

namespace lumacast::media {
namespace {

using Convert = void (*)(const uint8_t *, ptrdiff_t, uint8_t *, ptrdiff_t, uint8_t *, ptrdiff_t,
                         uint8_t *, ptrdiff_t, int, int);

struct Planes {
    int width = 0, height = 0, stride = 0, chromaStride = 0;
    std::vector<uint8_t> y, u, v;
    Planes(int w, int h, int padding = 0)
        : width(w), height(h), stride(w + padding), chromaStride((w + 1) / 2 + padding),
          y(size_t(stride) * h, 0xA5), u(size_t(chromaStride) * ((h + 1) / 2), 0xA5),
          v(u.size(), 0xA5)
    {
    }
    void convertFrom(Convert convert, const uint8_t *bgra, ptrdiff_t bgraStride)
    {
        convert(bgra, bgraStride, y.data(), stride, u.data(), chromaStride, v.data(),
                chromaStride, width, height);
    }
};

struct Picture {
    int width, height, stride;
    std::vector<uint8_t> bgra;
    const uint8_t *pixel(int x, int y) const { return &bgra[size_t(y) * stride + x * 4]; }
};

// BT.709, limited range, in double precision. Chroma is the matrix applied to the average
// colour of the pixels of a block that lie inside the picture.
double referenceLuma(double r, double g, double b)
{
    return 16 + 219.0 / 255.0 * (0.2126 * r + 0.7152 * g + 0.0722 * b);
}

void expectMatchesReference(const Picture &picture, const Planes &out, const char *what)
{
    int mismatches = 0;
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            const uint8_t *p = picture.pixel(x, y);
            const double want = referenceLuma(p[2], p[1], p[0]);
            if (std::abs(out.y[size_t(y) * out.stride + x] - want) > 1.0 && mismatches++ < 5)
                ADD_FAILURE() << what << ": luma at " << x << "," << y << " is "
                              << int(out.y[size_t(y) * out.stride + x]) << ", want " << want;
        }
    for (int cy = 0; cy < (picture.height + 1) / 2; ++cy)
        for (int cx = 0; cx < (picture.width + 1) / 2; ++cx) {
            double r = 0, g = 0, b = 0;
            int n = 0;
            for (int y = 2 * cy; y < std::min(2 * cy + 2, picture.height); ++y)
                for (int x = 2 * cx; x < std::min(2 * cx + 2, picture.width); ++x, ++n) {
                    const uint8_t *p = picture.pixel(x, y);
                    b += p[0], g += p[1], r += p[2];
                }
            r /= n, g /= n, b /= n;
            const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
            const double wantU = 128 + 224.0 / 255.0 * (b - luma) / (2 * (1 - 0.0722));
            const double wantV = 128 + 224.0 / 255.0 * (r - luma) / (2 * (1 - 0.2126));
            const int gotU = out.u[size_t(cy) * out.chromaStride + cx];
            const int gotV = out.v[size_t(cy) * out.chromaStride + cx];
            if ((std::abs(gotU - wantU) > 1.0 || std::abs(gotV - wantV) > 1.0) && mismatches++ < 5)
                ADD_FAILURE() << what << ": chroma at " << cx << "," << cy << " is " << gotU
                              << "," << gotV << ", want " << wantU << "," << wantV;
        }
    EXPECT_EQ(mismatches, 0) << what;
}

// Every byte of the planes' padding still holds the fill it was made with.
void expectPaddingUntouched(const Planes &out, const char *what)
{
    const int cw = (out.width + 1) / 2;
    for (int y = 0; y < out.height; ++y)
        for (int x = out.width; x < out.stride; ++x)
            ASSERT_EQ(out.y[size_t(y) * out.stride + x], 0xA5) << what << " luma padding " << x << "," << y;
    for (int y = 0; y < (out.height + 1) / 2; ++y)
        for (int x = cw; x < out.chromaStride; ++x) {
            ASSERT_EQ(out.u[size_t(y) * out.chromaStride + x], 0xA5) << what << " U padding";
            ASSERT_EQ(out.v[size_t(y) * out.chromaStride + x], 0xA5) << what << " V padding";
        }
}

TEST(Bt709Convert, RandomPicturesOfAnySizeMatchTheReference)
{
    std::mt19937 random(709);
    // Odd and even sizes, narrower than one vector step, and wider with a remainder after it.
    const std::vector<std::pair<int, int>> sizes{{1, 1}, {2, 2}, {3, 5},  {31, 3},
                                                 {32, 2}, {33, 7}, {67, 9}, {130, 4}};
    for (const auto &[w, h] : sizes) {
        Picture picture{w, h, w * 4 + 12, {}};
        picture.bgra.resize(size_t(picture.stride) * h);
        for (auto &byte : picture.bgra)
            byte = uint8_t(random());
        Planes fast(w, h, 7), portable(w, h, 7);
        fast.convertFrom(convertBgraToI420Bt709, picture.bgra.data(), picture.stride);
        portable.convertFrom(convertBgraToI420Bt709Portable, picture.bgra.data(), picture.stride);
        const std::string what = std::to_string(w) + "x" + std::to_string(h);
        SCOPED_TRACE(what);
        expectMatchesReference(picture, fast, "vector path");
        expectPaddingUntouched(fast, "vector path");
        expectPaddingUntouched(portable, "portable path");
        // Which path runs depends on the processor: both must give the same movie.
        EXPECT_EQ(fast.y, portable.y);
        EXPECT_EQ(fast.u, portable.u);
        EXPECT_EQ(fast.v, portable.v);
    }

    // A bottom-up picture (negative stride) converts as the same picture stored top-down.
    Picture upright{67, 9, 67 * 4, {}};
    upright.bgra.resize(size_t(upright.stride) * upright.height);
    for (auto &byte : upright.bgra)
        byte = uint8_t(random());
    std::vector<uint8_t> flipped(upright.bgra.size());
    for (int y = 0; y < upright.height; ++y)
        std::copy_n(upright.pixel(0, y), upright.stride,
                    &flipped[size_t(upright.height - 1 - y) * upright.stride]);
    Planes fromUpright(67, 9), fromFlipped(67, 9);
    fromUpright.convertFrom(convertBgraToI420Bt709, upright.bgra.data(), upright.stride);
    fromFlipped.convertFrom(convertBgraToI420Bt709,
                            &flipped[size_t(upright.height - 1) * upright.stride], -upright.stride);
    EXPECT_EQ(fromUpright.y, fromFlipped.y);
    EXPECT_EQ(fromUpright.u, fromFlipped.u);
    EXPECT_EQ(fromUpright.v, fromFlipped.v);
}

TEST(Bt709Convert, PrimariesAndGreysGiveTheStandardValues)
{
    struct Case {
        uint8_t r, g, b;
        int y, u, v;
    };
    // The BT.709 limited-range values of the primaries and the extremes.
    const std::vector<Case> cases{{0, 0, 0, 16, 128, 128},     {255, 255, 255, 235, 128, 128},
                                  {255, 0, 0, 63, 102, 240},    {0, 255, 0, 173, 42, 26},
                                  {0, 0, 255, 32, 240, 118},    {255, 255, 0, 219, 16, 138},
                                  {0, 255, 255, 188, 154, 16},  {255, 0, 255, 78, 214, 230}};
    for (Convert convert : {convertBgraToI420Bt709, convertBgraToI420Bt709Portable}) {
        for (const Case &c : cases) {
            // Wide enough for the vector path, with an odd column and row at the end.
            const int w = 35, h = 3;
            std::vector<uint8_t> bgra(size_t(w) * h * 4);
            for (size_t i = 0; i < bgra.size(); i += 4)
                bgra[i] = c.b, bgra[i + 1] = c.g, bgra[i + 2] = c.r, bgra[i + 3] = 0;
            Planes out(w, h);
            out.convertFrom(convert, bgra.data(), w * 4);
            for (uint8_t value : out.y)
                ASSERT_EQ(value, c.y) << int(c.r) << "," << int(c.g) << "," << int(c.b);
            for (size_t i = 0; i < out.u.size(); ++i) {
                ASSERT_EQ(out.u[i], c.u) << int(c.r) << "," << int(c.g) << "," << int(c.b);
                ASSERT_EQ(out.v[i], c.v) << int(c.r) << "," << int(c.g) << "," << int(c.b);
            }
        }

        // Every grey level: no colour at all, and luma on the limited scale.
        const int w = 256, h = 2;
        std::vector<uint8_t> bgra(size_t(w) * h * 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                // Even levels on the first row, odd ones on the second.
                const uint8_t level = uint8_t(x / 2 * 2 + y);
                uint8_t *p = &bgra[(size_t(y) * w + x) * 4];
                p[0] = p[1] = p[2] = level, p[3] = 255;
            }
        Planes out(w, h);
        out.convertFrom(convert, bgra.data(), w * 4);
        for (int x = 0; x < w; ++x) {
            const double level = x / 2 * 2;
            EXPECT_NEAR(out.y[x], 16 + level * 219.0 / 255.0, 0.5 + 1e-9) << "grey " << level;
        }
        for (int x = 0; x < w / 2; ++x) {
            ASSERT_EQ(out.u[x], 128) << "grey block " << x;
            ASSERT_EQ(out.v[x], 128) << "grey block " << x;
        }
    }
}

} // namespace
} // namespace lumacast::media
