#include "platform/av/Bt709Convert.h"

#include <initializer_list>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define LUMACAST_BT709_X86 1
#endif

namespace lumacast::av {

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

constexpr double kKr = 0.2126, kKb = 0.0722;
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

// The AVX2 path keeps clear of byte shuffles where it can: the processor has fewer units for
// them than for arithmetic, and they would bound the speed. Channels are split with a mask and
// a shift instead: as 16-bit lanes, `p & 0x00ff` holds B and R of each pixel, `p >> 8` holds G
// and A, and a multiply-add of each against its coefficients gives a 32-bit sum per pixel.
//
// Processors with the VEX-encoded VNNI instructions fuse each multiply-add with the addition
// that follows it (vpdpwssd), a quarter fewer instructions in all. The instruction is written
// out because this file enables no more than AVX2 for its vector code: the compiler must not
// use VNNI on its own in the plain AVX2 variant.

template <bool Vnni>
inline __m256i multiplyAdd(__m256i sum, __m256i a, __m256i b)
{
    if constexpr (Vnni) {
        asm("%{vex%} vpdpwssd %2, %1, %0" : "+x"(sum) : "x"(a), "x"(b));
        return sum;
    } else {
        return _mm256_add_epi32(sum, _mm256_madd_epi16(a, b));
    }
}

struct Avx2Constants {
    __m256i byteMask, yBR, yG, uvBR, uvG, lumaBias, chromaBias, lumaOrder, splitUV;

    Avx2Constants()
    {
        byteMask = _mm256_set1_epi16(0x00ff);
        yBR = pairs(kYB, kYR), yG = pairs(kYG, 0);
        uvBR = _mm256_setr_epi16(kUB, kUR, kVB, kVR, kUB, kUR, kVB, kVR, kUB, kUR, kVB, kVR, kUB,
                                 kUR, kVB, kVR);
        uvG = _mm256_setr_epi16(kUG, 0, kVG, 0, kUG, 0, kVG, 0, kUG, 0, kVG, 0, kUG, 0, kVG, 0);
        lumaBias = _mm256_set1_epi32(kLumaBias);
        chromaBias = _mm256_set1_epi32(kChromaBias);
        lumaOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
        // Within each 128-bit lane: the even bytes (U), then the odd ones (V).
        splitUV = _mm256_setr_epi8(0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15,
                                   0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15);
    }

    static __m256i pairs(int first, int second)
    {
        return _mm256_set1_epi32(int(uint32_t(uint16_t(first)) | uint32_t(uint16_t(second)) << 16));
    }
};

// One row of 32 pixels: stores its luma and returns its channels split for the chroma.
template <bool Vnni>
inline void lumaRow32(const uint8_t *s, uint8_t *out, __m256i (&even)[4], __m256i (&odd)[4],
                      const Avx2Constants &k)
{
    __m256i luma[4];
    for (int i = 0; i < 4; ++i) {
        const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + 32 * i));
        even[i] = _mm256_and_si256(p, k.byteMask);
        odd[i] = _mm256_srli_epi16(p, 8);
        const __m256i sum = multiplyAdd<Vnni>(k.lumaBias, even[i], k.yBR);
        luma[i] = _mm256_srai_epi32(multiplyAdd<Vnni>(sum, odd[i], k.yG), kShift);
    }
    // The packs work within 128-bit lanes; groups of four pixels come out as 0 2 4 6 | 1 3 5 7.
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(luma[0], luma[1]),
                                              _mm256_packs_epi32(luma[2], luma[3]));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(out),
                        _mm256_permutevar8x32_epi32(bytes, k.lumaOrder));
}

// Cb and Cr of the four 2x2 blocks of eight columns, from the channel sums of the two rows:
// 32-bit lanes U V of block 0, U V of block 1 | U V of block 2, U V of block 3. Both halves of
// each 64-bit lane (one block) get the block's sums, so that one multiply-add against U's
// coefficients in the low half and V's in the high one gives both.
template <bool Vnni>
inline __m256i chroma4(__m256i even, __m256i odd, const Avx2Constants &k)
{
    const __m256i evenBlock = _mm256_add_epi16(even, _mm256_shuffle_epi32(even, 0xb1));
    const __m256i oddBlock = _mm256_add_epi16(odd, _mm256_shuffle_epi32(odd, 0xb1));
    const __m256i sum = multiplyAdd<Vnni>(k.chromaBias, evenBlock, k.uvBR);
    return _mm256_srai_epi32(multiplyAdd<Vnni>(sum, oddBlock, k.uvG), kChromaShift);
}

template <bool Vnni>
void rowPairAvx2(const uint8_t *s0, const uint8_t *s1, uint8_t *y0, uint8_t *y1, uint8_t *u,
                 uint8_t *v, int width)
{
    const Avx2Constants k;
    int x = 0;
    for (; x + 32 <= width; x += 32) {
        __m256i even0[4], odd0[4], even1[4], odd1[4];
        lumaRow32<Vnni>(s0 + 4 * x, y0 + x, even0, odd0, k);
        lumaRow32<Vnni>(s1 + 4 * x, y1 + x, even1, odd1, k);
        __m256i uv[4];
        for (int i = 0; i < 4; ++i)
            uv[i] = chroma4<Vnni>(_mm256_add_epi16(even0[i], even1[i]),
                                  _mm256_add_epi16(odd0[i], odd1[i]), k);
        // Bytes U V of blocks 0 1 4 5 8 9 12 13 in the low lane, 2 3 6 7 10 11 14 15 in the
        // high one; split into U then V per lane, interleaving the lanes' byte pairs restores
        // the order.
        const __m256i bytes = _mm256_shuffle_epi8(
            _mm256_packus_epi16(_mm256_packs_epi32(uv[0], uv[1]), _mm256_packs_epi32(uv[2], uv[3])),
            k.splitUV);
        const __m128i lo = _mm256_castsi256_si128(bytes);
        const __m128i hi = _mm256_extracti128_si256(bytes, 1);
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

// The routine of a path; null when this processor cannot run it.
RowPair rowPairFor(Bt709Path path)
{
    switch (path) {
    case Bt709Path::portable:
        return rowPairPortableFromStart;
#ifdef LUMACAST_BT709_X86
    case Bt709Path::avx2:
        return __builtin_cpu_supports("avx2") ? rowPairAvx2<false> : nullptr;
    case Bt709Path::avx2Vnni:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avxvnni")
                 ? rowPairAvx2<true>
                 : nullptr;
#else
    case Bt709Path::avx2:
    case Bt709Path::avx2Vnni:
        return nullptr;
#endif
    }
    return nullptr;
}

RowPair fastestRowPair()
{
    for (Bt709Path path : {Bt709Path::avx2Vnni, Bt709Path::avx2})
        if (RowPair rowPair = rowPairFor(path))
            return rowPair;
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

bool isBt709PathAvailable(Bt709Path path)
{
    return rowPairFor(path) != nullptr;
}

bool convertBgraToI420Bt709On(Bt709Path path, const uint8_t *bgra, ptrdiff_t bgraStride,
                              uint8_t *y, ptrdiff_t yStride, uint8_t *u, ptrdiff_t uStride,
                              uint8_t *v, ptrdiff_t vStride, int width, int height)
{
    const RowPair rowPair = rowPairFor(path);
    if (!rowPair)
        return false;
    convert(rowPair, bgra, bgraStride, y, yStride, u, uStride, v, vStride, width, height);
    return true;
}

} // namespace lumacast::av
