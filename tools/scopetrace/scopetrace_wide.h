// ScopeTrace's processor-specific code: the conversion of a pixel to doubles with the
// instructions of the build's level, and the rows of the channel traces two pixels at a
// time on processors with AVX-512 (F, BW, VL), chosen per render (ScopeTrace::AllRows is the
// reference and does the last odd pixel). Both give the values of the vector extension's forms bit
// for bit: the same operations in the same order.
#pragma once

#include "frame/wide.h"

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace scopetrace {

// A pixel's four channels as vector lanes, in double precision.
using Doubles = double __attribute__((vector_size(32)));

// A pixel's four channels in double precision (integers through whole numbers, which the
// processor converts four at a time).
inline Doubles ToDoubles(const std::uint16_t* p) {
#if defined(__AVX2__)
    const __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
    return Doubles(_mm256_cvtepi32_pd(_mm_cvtepu16_epi32(v)));
#else
    std::uint16_t __attribute__((vector_size(8))) s;
    std::memcpy(&s, p, sizeof s);
    using Ints = std::int32_t __attribute__((vector_size(16)));
    return __builtin_convertvector(__builtin_convertvector(s, Ints), Doubles);
#endif
}
inline Doubles ToDoubles(const float* p) {
#if defined(__AVX__)
    return Doubles(_mm256_cvtps_pd(_mm_loadu_ps(p)));
#else
    float __attribute__((vector_size(16))) s;
    std::memcpy(&s, p, sizeof s);
    return __builtin_convertvector(s, Doubles);
#endif
}

#if QRVX_WIDE_ROWS
// The rows of n pixels' channel points as ScopeTrace::AllRows computes them (lanes: the
// stretch, factor and offset of each channel and the first word of its plane; height the
// image's), two pixels at a time in eight lanes of doubles. Returns how many pixels it did:
// all but a last odd one.
template <class T, class Lanes>
QRVX_TARGET_AVX512 int WideAllRows(const T* in, int n, const Lanes& lanes, int height, int* at) {
    using Doubles2 = double __attribute__((vector_size(64)));
    using Ints2 = std::int32_t __attribute__((vector_size(32)));
#define QRVX_TWICE(v) __builtin_shufflevector(v, v, 0, 1, 2, 3, 0, 1, 2, 3)
    const Doubles2 stretch = QRVX_TWICE(lanes.stretch), factor = QRVX_TWICE(lanes.factor),
                   offset = QRVX_TWICE(lanes.offset);
    const Ints2 plane = QRVX_TWICE(lanes.plane);
#undef QRVX_TWICE
    const Doubles2 h = Doubles2{} + double(height);
    int i = 0;
    for (; i + 2 <= n; i += 2) {
        // Converted with the instructions themselves: the vector extension's conversions
        // go through halves.
        const T* p = in + std::ptrdiff_t(i) * 4;
        Doubles2 d;
        if constexpr (std::is_same_v<T, float>)
            d = Doubles2(_mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(p)));
        else
            d = Doubles2(_mm512_maskz_cvtepi32_pd(
                0xff, _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))));
        d = d * stretch;
        d = d * factor;
        d = d + offset;
        d = ((d > -1.0) & (d < h)) ? d : h;
        const Ints2 row = __builtin_convertvector(d, Ints2) + plane;
        std::memcpy(at + i * 4, &row, sizeof row);
    }
    return i;
}
#endif

} // namespace scopetrace
