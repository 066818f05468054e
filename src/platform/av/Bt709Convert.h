#pragma once

#include <cstddef>
#include <cstdint>

namespace lumacast::av {

// Converts BGRA pixels (bytes B, G, R, A in memory; alpha is ignored) to 8-bit 4:2:0 planar
// YCbCr with the BT.709 matrix in limited (video) range: Y 16...235, Cb and Cr 16...240 around
// 128. This is what a stream tagged BT.709 is decoded with; libyuv's ARGB conversions use the
// BT.601 matrix and would shift every saturated colour.
//
// Each chroma sample comes from the average of its 2x2 block of pixels. With an odd width or
// height the last column or row forms blocks of its own pixels only. Writes exactly width x
// height luma samples and ((width + 1) / 2) x ((height + 1) / 2) samples per chroma plane,
// nothing beyond them. Strides are in bytes and may be negative (a bottom-up picture). Does
// nothing for an empty size.
//
// Runs on the fastest path the processor has (see `Bt709Path`); every path gives the same bytes.
void convertBgraToI420Bt709(const uint8_t *bgra, ptrdiff_t bgraStride, uint8_t *y,
                            ptrdiff_t yStride, uint8_t *u, ptrdiff_t uStride, uint8_t *v,
                            ptrdiff_t vStride, int width, int height);

// The ways the conversion can run: plain integer code (about 2.5 ms of one core per 1920x1080
// frame here), AVX2 (about 0.5 ms), and AVX2 with the VEX-encoded VNNI multiply-add (about
// 0.45 ms, as fast as libyuv's BT.601 conversion).
enum class Bt709Path { portable, avx2, avx2Vnni };

bool isBt709PathAvailable(Bt709Path path);

// The conversion on one path, so that every path can be checked and measured on a machine
// that has it; false, with nothing written, when the processor lacks it.
bool convertBgraToI420Bt709On(Bt709Path path, const uint8_t *bgra, ptrdiff_t bgraStride,
                              uint8_t *y, ptrdiff_t yStride, uint8_t *u, ptrdiff_t uStride,
                              uint8_t *v, ptrdiff_t vStride, int width, int height);

} // namespace lumacast::av
