// Inside the host library: the image operations behind Image's methods, one file each.
// Each works on images the caller has made and checked; the contracts are those of the
// methods in host/image.h.
#pragma once

#include "host/image.h"

#include <cstdint>
#include <cstdlib>

namespace host {

#if defined(__x86_64__)
// Whether the host's loops take their vector paths at all: QRVX_PORTABLE set in the
// environment makes them take the portable loops (the tests set it to check that every
// vector path gives the portable values).
inline bool VectorPaths() { return !std::getenv("QRVX_PORTABLE"); }

// Whether resize and merge take their AVX-512 paths: the processor has AVX-512 (F, BW,
// VL) and neither QRVX_NO_AVX512 nor QRVX_PORTABLE is set (the tests set them to check the
// other paths there too).
inline bool WideVectors() {
    static const bool cpu = __builtin_cpu_supports("avx512f") &&
                            __builtin_cpu_supports("avx512bw") &&
                            __builtin_cpu_supports("avx512vl");
    return cpu && !std::getenv("QRVX_NO_AVX512") && VectorPaths();
}

// Whether the 16-bit merge and the blur's enlargement take their AVX2 loops: the
// processor has AVX2 and QRVX_PORTABLE is not set.
inline bool Avx2Vectors() {
    static const bool cpu = __builtin_cpu_supports("avx2");
    return cpu && VectorPaths();
}
#endif

// The largest number of pixels the host makes in one image (qrvx::SetMaxImagePixels).
void SetMaxImagePixels(std::int64_t pixels);
std::int64_t MaxImagePixels();

// dst resampled from src (any sizes, the same depth): ResizeOfImage.
void Resize(const Image& src, Image& dst);
// dst the part of src resampled to width x height whose pixel (0, 0) is (x, y) of it:
// the window form of ResizeOfImage, the same values pixel for pixel.
void Resize(const Image& src, Image& dst, int width, int height, int x, int y);

// dst (the size of src, any depth) a blur of src: ImageBlur, whose sizes are the
// standard deviations in fractions of src's width.
void Blur(const Image& src, Image& dst, const bool on[4], double xSize, double ySize);

// src drawn over dst's rows [rowBegin, rowEnd) with its pixel (0, 0) at (x, y): OXMergeRows.
void Merge(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd);

} // namespace host
