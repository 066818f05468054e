#include "platform/media/Bt709Convert.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LUMACAST_BT709_X86 1
#endif

namespace lumacast::media {

namespace {

// Fixed-point coefficients in units of 2^-15. Luma scales full-range RGB into 219 steps above
// 16; chroma into 224 steps around 128. Each set is rounded so that its sum is exact: greys give
// chroma of exactly 128, and white gives luma 235.
constexpr int kShift = 15;
constexpr double kOne = 1 << kShift;

constexpr int fixed(double x)
{
    return int(x * kOne + (x < 0 ? -0.5 : 0.5));
}

constexpr double kKr = 0.2126, kKb = 0.0722, kKg = 1.0 - kKr - kKb;
constexpr double kLumaScale = 219.0 / 255.0, kChromaScale = 224.0 / 255.0;

constexpr int kYR = fixed(kKr * kLumaScale);
constexpr int kYB = fixed(kKb * kLumaScale);
constexpr int kYG = fixed(kLumaScale) - kYR - kYB;

constexpr int kUR = fixed(-kKr / (2 * (1 - kKb)) * kChromaScale);
constexpr int kUB = fixed(0.5 * kChromaScale);
constexpr int kUG = -kUR - kUB;

constexpr int kVR = fixed(0.5 * kChromaScale);
constexpr int kVB = fixed(-kKb / (2 * (1 - kKr)) * kChromaScale);
constexpr int kVG = -kVR - kVB;

// Luma of one pixel: offset 16 and half a step for rounding to nearest.
constexpr int kLumaBias = (16 << kShift) + (1 << (kShift - 1));
// Chroma is computed from the sum of a 2x2 block (four times the average), so it is shifted two
// bits further; the offset is 128 and half a step. The total never goes negative: the most
// negative product, -1020 x kUB, is smaller than the offset.
constexpr int kChromaShift = kShift + 2;
constexpr int kChromaBias = (128 << kChromaShift) + (1 << (kChromaShift - 1));

static_assert(kYR + kYG + kYB == fixed(kLumaScale));
static_assert(-kUB * 1020 + kChromaBias > 0 && -kVR * 1020 + kChromaBias > 0);
// The vector path multiplies 16-bit lanes: every coefficient must fit.
static_assert(kYG < 32768 && kUB < 32768 && kVR < 32768 && kUG > -32768 && kVG > -32768);

inline uint8_t lumaOf(const uint8_t *p)
{
    return uint8_t((kYB * p[0] + kYG * p[1] + kYR * p[2] + kLumaBias) >> kShift);
}

// Two rows of pixels into two rows of luma and one row of chroma, from column `x` on. `s1` and
// `y1` may be the same as `s0` and `y0` for the last row of an odd height: the block then sums
// one row twice, which is its average all the same.
void rowPairPortable(const uint8_t *s0, const uint8_t *s1, uint8_t *y0, uint8_t *y1, uint8_t *u,
                     uint8_t *v, int width, int x)
{
    for (; x + 1 < width; x += 2) {
        const uint8_t *a = s0 + 4 * x;
        const uint8_t *b = s1 + 4 * x;
        y0[x] = lumaOf(a);
        y0[x + 1] = lumaOf(a + 4);
        y1[x] = lumaOf(b);
        y1[x + 1] = lumaOf(b + 4);
        const int sb = a[0] + a[4] + b[0] + b[4];
        const int sg = a[1] + a[5] + b[1] + b[5];
        const int sr = a[2] + a[6] + b[2] + b[6];
        u[x / 2] = uint8_t((kUB * sb + kUG * sg + kUR * sr + kChromaBias) >> kChromaShift);
        v[x / 2] = uint8_t((kVB * sb + kVG * sg + kVR * sr + kChromaBias) >> kChromaShift);
    }
    if (x < width) {
        // The last column of an odd width: a block of two pixels, counted twice.
        const uint8_t *a = s0 + 4 * x;
        const uint8_t *b = s1 + 4 * x;
        y0[x] = lumaOf(a);
        y1[x] = lumaOf(b);
        const int sb = 2 * (a[0] + b[0]);
        const int sg = 2 * (a[1] + b[1]);
        const int sr = 2 * (a[2] + b[2]);
        u[x / 2] = uint8_t((kUB * sb + kUG * sg + kUR * sr + kChromaBias) >> kChromaShift);
        v[x / 2] = uint8_t((kVB * sb + kVG * sg + kVR * sr + kChromaBias) >> kChromaShift);
    }
}

#ifdef LUMACAST_BT709_X86

// Only these functions use AVX2; they run after a check that the processor has it.
#pragma GCC push_options
#pragma GCC target("avx2")

// Luma of eight pixels as eight 32-bit lanes in pixel order. Widening to 16 bits and a
// multiply-add against (B, G, R, 0) gives two partial sums per pixel; the horizontal add joins
// them, and pairs the two unpacked halves back into order within each 128-bit lane.
inline __m256i luma8(__m256i pixels, __m256i coefficients,
                                                     __m256i bias)
{
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi8(pixels, zero), coefficients);
    const __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi8(pixels, zero), coefficients);
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(lo, hi), bias), kShift);
}

// Eight chroma samples from the partial sums of two groups of four blocks.
inline __m256i chroma8(__m256i p, __m256i q, __m256i bias)
{
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(p, q), bias), kChromaShift);
}

// 32 pixels of one row to 32 luma bytes.
inline void storeLuma32(const __m256i (&p)[4], uint8_t *out,
                                                        __m256i coefficients, __m256i bias,
                                                        __m256i order)
{
    const __m256i a = _mm256_packs_epi32(luma8(p[0], coefficients, bias),
                                         luma8(p[1], coefficients, bias));
    const __m256i b = _mm256_packs_epi32(luma8(p[2], coefficients, bias),
                                         luma8(p[3], coefficients, bias));
    // The packs work within 128-bit lanes; groups of four pixels come out as 0 2 4 6 | 1 3 5 7.
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(a, b), order);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out), bytes);
}

void rowPairAvx2(const uint8_t *s0, const uint8_t *s1,
                                                 uint8_t *y0, uint8_t *y1, uint8_t *u,
                                                 uint8_t *v, int width)
{
    const __m256i yCoefficients = _mm256_setr_epi16(
        kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0, kYB, kYG, kYR, 0);
    const __m256i uCoefficients = _mm256_setr_epi16(
        kUB, kUG, kUR, 0, kUB, kUG, kUR, 0, kUB, kUG, kUR, 0, kUB, kUG, kUR, 0);
    const __m256i vCoefficients = _mm256_setr_epi16(
        kVB, kVG, kVR, 0, kVB, kVG, kVR, 0, kVB, kVG, kVR, 0, kVB, kVG, kVR, 0);
    const __m256i lumaBias = _mm256_set1_epi32(kLumaBias);
    const __m256i chromaBias = _mm256_set1_epi32(kChromaBias);
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
    // Puts the two pixels of a horizontal pair channel by channel side by side (B0 B1 G0 G1 R0
    // R1 A0 A1), so that a multiply-add of bytes by ones sums each channel of the pair.
    const __m256i pairUp = _mm256_setr_epi8(0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15,
                                            0, 4, 1, 5, 2, 6, 3, 7, 8, 12, 9, 13, 10, 14, 11, 15);
    const __m256i ones = _mm256_set1_epi8(1);

    int x = 0;
    for (; x + 32 <= width; x += 32) {
        __m256i a[4], b[4];
        for (int i = 0; i < 4; ++i) {
            a[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s0 + 4 * (x + 8 * i)));
            b[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s1 + 4 * (x + 8 * i)));
        }
        storeLuma32(a, y0 + x, yCoefficients, lumaBias, order);
        storeLuma32(b, y1 + x, yCoefficients, lumaBias, order);

        // Per group of eight pixels, four 2x2 blocks as 16-bit channel sums: blocks 0 1 in the
        // low lane, 2 3 in the high one.
        __m256i mu[4], mv[4];
        for (int i = 0; i < 4; ++i) {
            const __m256i block = _mm256_add_epi16(
                _mm256_maddubs_epi16(_mm256_shuffle_epi8(a[i], pairUp), ones),
                _mm256_maddubs_epi16(_mm256_shuffle_epi8(b[i], pairUp), ones));
            mu[i] = _mm256_madd_epi16(block, uCoefficients);
            mv[i] = _mm256_madd_epi16(block, vCoefficients);
        }
        // Chroma samples k = 0 ... 15 of this stretch, in 32-bit lanes, ordered
        // 0 1 4 5 | 2 3 6 7 and 8 9 12 13 | 10 11 14 15.
        const __m256i uw = _mm256_packs_epi32(chroma8(mu[0], mu[1], chromaBias),
                                              chroma8(mu[2], mu[3], chromaBias));
        const __m256i vw = _mm256_packs_epi32(chroma8(mv[0], mv[1], chromaBias),
                                              chroma8(mv[2], mv[3], chromaBias));
        // Low lane: U 0 1 4 5 8 9 12 13, V likewise; high lane: U 2 3 6 7 10 11 14 15, V
        // likewise. Interleaving the lanes' byte pairs restores the order.
        const __m256i uv = _mm256_packus_epi16(uw, vw);
        const __m128i lo = _mm256_castsi256_si128(uv);
        const __m128i hi = _mm256_extracti128_si256(uv, 1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(u + x / 2), _mm_unpacklo_epi16(lo, hi));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(v + x / 2), _mm_unpackhi_epi16(lo, hi));
    }
    rowPairPortable(s0, s1, y0, y1, u, v, width, x);
}

#pragma GCC pop_options

#endif

using RowPair = void (*)(const uint8_t *, const uint8_t *, uint8_t *, uint8_t *, uint8_t *,
                         uint8_t *, int);

void rowPairPortableFromStart(const uint8_t *s0, const uint8_t *s1, uint8_t *y0, uint8_t *y1,
                              uint8_t *u, uint8_t *v, int width)
{
    rowPairPortable(s0, s1, y0, y1, u, v, width, 0);
}

RowPair fastestRowPair()
{
#ifdef LUMACAST_BT709_X86
    if (__builtin_cpu_supports("avx2"))
        return rowPairAvx2;
#endif
    return rowPairPortableFromStart;
}

void convert(RowPair rowPair, const uint8_t *bgra, ptrdiff_t bgraStride, uint8_t *y,
             ptrdiff_t yStride, uint8_t *u, ptrdiff_t uStride, uint8_t *v, ptrdiff_t vStride,
             int width, int height)
{
    if (!bgra || !y || !u || !v || width <= 0 || height <= 0)
        return;
    for (int row = 0; row < height; row += 2) {
        const uint8_t *s0 = bgra + row * bgraStride;
        uint8_t *y0 = y + row * yStride;
        const bool pair = row + 1 < height;
        rowPair(s0, pair ? s0 + bgraStride : s0, y0, pair ? y0 + yStride : y0,
                u + (row / 2) * uStride, v + (row / 2) * vStride, width);
    }
}

} // namespace

void convertBgraToI420Bt709(const uint8_t *bgra, ptrdiff_t bgraStride, uint8_t *y,
                            ptrdiff_t yStride, uint8_t *u, ptrdiff_t uStride, uint8_t *v,
                            ptrdiff_t vStride, int width, int height)
{
    static const RowPair rowPair = fastestRowPair();
    convert(rowPair, bgra, bgraStride, y, yStride, u, uStride, v, vStride, width, height);
}

void convertBgraToI420Bt709Portable(const uint8_t *bgra, ptrdiff_t bgraStride, uint8_t *y,
                                    ptrdiff_t yStride, uint8_t *u, ptrdiff_t uStride, uint8_t *v,
                                    ptrdiff_t vStride, int width, int height)
{
    convert(rowPairPortableFromStart, bgra, bgraStride, y, yStride, u, uStride, v, vStride,
            width, height);
}

} // namespace lumacast::media
