// Image::OXMerge and OXMergeRows: premultiplied "over", computed in float.
#include "host/convert.h"
#include "host/image_ops.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace host {
namespace {

constexpr int kAhead = 2; // rows prefetched ahead of the one being merged

// Whether all four values of the pixel at s are zero (either sign for float).
template <class TS>
[[gnu::always_inline]] inline bool Transparent(const TS* s) {
    if constexpr (std::is_same_v<TS, float>) {
        return s[0] == 0.0f && s[1] == 0.0f && s[2] == 0.0f && s[3] == 0.0f;
    } else {
        std::uint64_t v;
        std::memcpy(&v, s, sizeof v);
        return v == 0;
    }
}

#if defined(__x86_64__)
// Two 16-bit pixels (eight values) as floats in units.
QRVX_TARGET_AVX2 inline __m256 Unit8(__m128i v) {
    return _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(v)), _mm256_set1_ps(kInv65535));
}

// Two pixels over two, rounded as the portable loop rounds (before its clamp to 65535).
QRVX_TARGET_AVX2 inline __m256i Over8(__m256 s, __m256 d) {
    const __m256 keep = _mm256_sub_ps(_mm256_set1_ps(1.0f), _mm256_permute_ps(s, 0xFF));
    const __m256 v = _mm256_add_ps(s, _mm256_mul_ps(d, keep));
    return _mm256_cvttps_epi32(
        _mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(65535.0f)), _mm256_set1_ps(0.5f)));
}

// Four pixels over four (sv over dv), eight values to a register; the saturating pack is
// the portable loop's clamp to 65535 (nothing is below 0).
QRVX_TARGET_AVX2 inline __m256i Over16(__m256i sv, __m256i dv) {
    const __m256i lo = Over8(Unit8(_mm256_castsi256_si128(sv)), Unit8(_mm256_castsi256_si128(dv)));
    const __m256i hi =
        Over8(Unit8(_mm256_extracti128_si256(sv, 1)), Unit8(_mm256_extracti128_si256(dv, 1)));
    // The pack interleaves the halves of each; the permutation puts them in order.
    return _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8);
}

// A 16-bit source pixel merged over a target of four zeros, or with its alpha at 65535,
// gives its own values back on every path: the target's part is a product with zero
// (0 * keep, or the target times 1 - 65535 / 65535, which is exactly 0), and each value
// over 65535, kept whole and scaled back, rounds to itself (checked for every value by
// the tests). The vector loops store such pixels as they are.

// The bytes of the four alpha values in a movemask of four pixels.
constexpr int kAlphaBytes = int(0xC0C0C0C0u);

// The 16-bit over 16-bit merge of n pixels of a row, four at a time and the last ones
// through masked loads and stores, with the portable loop's operations in the same order
// on every value (so its results).
QRVX_TARGET_AVX2 void MergeRun16(const std::uint16_t* s, std::uint16_t* d, int n) {
    int i = 0;
    for (; i + 4 <= n; i += 4) {
        const __m256i sv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i * 4));
        const __m256i dv = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(d + i * 4));
        // Over a zero target, or with every source alpha full, the merge gives the source
        // values back (see kAlphaBytes); they are stored without the arithmetic.
        const bool opaque = (_mm256_movemask_epi8(_mm256_cmpeq_epi16(sv, _mm256_set1_epi16(-1))) &
                             kAlphaBytes) == kAlphaBytes;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(d + i * 4),
                            opaque || _mm256_testz_si256(dv, dv) ? sv : Over16(sv, dv));
    }
    if (i == n) return;
    // A pixel is two 32-bit elements: the first 2 * (n - i) of eight.
    const __m256i mask = _mm256_cmpgt_epi32(_mm256_set1_epi32(2 * (n - i)),
                                            _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    int* at = reinterpret_cast<int*>(d + i * 4);
    const __m256i sv = _mm256_maskload_epi32(reinterpret_cast<const int*>(s + i * 4), mask);
    _mm256_maskstore_epi32(at, mask, Over16(sv, _mm256_maskload_epi32(at, mask)));
}

// The same with AVX-512: eight pixels at a time, sixteen values to a register. (The
// zero-masked forms with every lane on are the plain instructions; the plain intrinsics
// make GCC 12 warn of an undefined value they start from.)
constexpr __mmask16 kAll = 0xFFFF;

QRVX_TARGET_AVX512 inline __m512 Unit16(__m256i v) {
    return _mm512_mul_ps(_mm512_maskz_cvtepi32_ps(kAll, _mm512_maskz_cvtepu16_epi32(kAll, v)),
                         _mm512_set1_ps(kInv65535));
}

QRVX_TARGET_AVX512 inline __m512i Over16Wide(__m256i sv, __m256i dv) {
    const __m512 s = Unit16(sv), d = Unit16(dv);
    const __m512 keep = _mm512_sub_ps(_mm512_set1_ps(1.0f), _mm512_maskz_permute_ps(kAll, s, 0xFF));
    const __m512 v = _mm512_add_ps(s, _mm512_mul_ps(d, keep));
    return _mm512_maskz_cvttps_epi32(
        kAll, _mm512_add_ps(_mm512_mul_ps(v, _mm512_set1_ps(65535.0f)), _mm512_set1_ps(0.5f)));
}

// Eight pixels over eight, the four pixels of each half already loaded.
QRVX_TARGET_AVX512 inline __m512i Over32(__m256i s0, __m256i s1, __m256i d0, __m256i d1) {
    const __m512i packed = _mm512_packus_epi32(Over16Wide(s0, d0), Over16Wide(s1, d1));
    // The pack interleaves the quarters of each; the permutation puts them in order.
    return _mm512_maskz_permutexvar_epi64(0xFF, _mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7), packed);
}

QRVX_TARGET_AVX512 inline __m256i Half(const std::uint16_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

QRVX_TARGET_AVX512 void MergeRun16Wide(const std::uint16_t* s, std::uint16_t* d, int n) {
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint16_t* sp = s + i * 4;
        std::uint16_t* dp = d + i * 4;
        const __m256i s0 = Half(sp), s1 = Half(sp + 16), d0 = Half(dp), d1 = Half(dp + 16);
        // Kept source pixels (see kAlphaBytes) are stored as they are.
        const __m256i dor = _mm256_or_si256(d0, d1);
        const bool opaque =
            (_mm256_cmpeq_epi16_mask(_mm256_and_si256(s0, s1), _mm256_set1_epi16(-1)) & 0x8888u) ==
            0x8888u;
        if (opaque || _mm256_testz_si256(dor, dor)) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dp), s0);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(dp + 16), s1);
            continue;
        }
        _mm512_storeu_si512(dp, Over32(s0, s1, d0, d1));
    }
    if (i == n) return;
    const int values = 4 * (n - i); // below 32
    const __mmask16 m0 = __mmask16((1u << std::min(values, 16)) - 1),
                    m1 = __mmask16((1u << std::max(values - 16, 0)) - 1);
    const std::uint16_t* sp = s + i * 4;
    std::uint16_t* dp = d + i * 4;
    const __m512i out =
        Over32(_mm256_maskz_loadu_epi16(m0, sp), _mm256_maskz_loadu_epi16(m1, sp + 16),
               _mm256_maskz_loadu_epi16(m0, dp), _mm256_maskz_loadu_epi16(m1, dp + 16));
    _mm512_mask_storeu_epi16(dp, (__mmask32(1) << values) - 1, out);
}
#endif

// The merge of one row band, written once and compiled for the portable path and, on
// processors with AVX-512, for a path with twice the vector width; both compute every
// value with the same operations, so their results are the same. The 16-bit over 16-bit
// merge of each row takes run16 (MergeRun16 or MergeRun16Wide) where one is given.
template <class TS, class TD, void (*run16)(const std::uint16_t*, std::uint16_t*, int) = nullptr>
[[gnu::always_inline]] inline void MergeRows(const Image& src, Image& dst, int x, int y,
                                             int rowBegin, int rowEnd) {
    const int x0 = std::max(0, x), y0 = std::max({0, y, rowBegin});
    const int x1 = int(std::min<long long>(dst.Width(), (long long)x + src.Width()));
    const int y1 = int(std::min<long long>(
        {(long long)dst.Height(), (long long)rowEnd, (long long)y + src.Height()}));
    for (int ty = y0; ty < y1; ++ty) {
        const TS* s = src.Row<TS>(int(std::ptrdiff_t(ty) - y)) + (std::ptrdiff_t(x0) - x) * 4;
        TD* d = dst.Row<TD>(ty) + std::ptrdiff_t(x0) * 4;
        // Ask for the rows a few ahead: each row is a short run of memory, too short for
        // the processor to see the stream, and the source is often outside the caches.
        if (ty + kAhead < y1) {
            const char* sa = reinterpret_cast<const char*>(
                src.Row<TS>(int(std::ptrdiff_t(ty) + kAhead - y)) + (std::ptrdiff_t(x0) - x) * 4);
            const char* da =
                reinterpret_cast<const char*>(dst.Row<TD>(ty + kAhead) + std::ptrdiff_t(x0) * 4);
            const std::ptrdiff_t sb = std::ptrdiff_t(x1 - x0) * 4 * sizeof(TS),
                                 db = std::ptrdiff_t(x1 - x0) * 4 * sizeof(TD);
            for (std::ptrdiff_t b = 0; b < sb; b += 64) __builtin_prefetch(sa + b);
            for (std::ptrdiff_t b = 0; b < db; b += 64) __builtin_prefetch(da + b, 1);
        }
        int begin = x0, end = x1;
        if constexpr (std::is_same_v<TD, std::uint16_t>) {
            // A source pixel whose four values are zero leaves an integer target as it is
            // (its value over 65535, kept whole and scaled back, rounds to itself: checked
            // for every value), so the transparent ends of the row are skipped.
            while (begin < end && Transparent(s)) ++begin, s += 4, d += 4;
            while (end > begin && Transparent(s + std::ptrdiff_t(end - 1 - begin) * 4)) --end;
        }
#if defined(__x86_64__)
        if constexpr (run16 != nullptr && std::is_same_v<TS, std::uint16_t> &&
                      std::is_same_v<TD, std::uint16_t>) {
            run16(s, d, end - begin);
            continue;
        }
#endif
        for (int tx = begin; tx < end; ++tx, s += 4, d += 4) {
            // Whole pixels in and out, so that the loop vectorises.
            const float keep = 1.0f - ToUnit(s[3]);
            TD out[4];
            for (int c = 0; c < 4; ++c) {
                const float v = ToUnit(s[c]) + ToUnit(d[c]) * keep;
                if constexpr (std::is_same_v<TS, std::uint16_t> &&
                              std::is_same_v<TD, std::uint16_t>) {
                    // From integers the result lies between a hair below 0 and 2, so the
                    // rounding needs no lower clamp and no NaN test: the same values as
                    // FromUnit, with less work.
                    out[c] = std::uint16_t(std::min(int(v * 65535.0f + 0.5f), 65535));
                } else {
                    out[c] = FromUnit<TD>(v);
                }
            }
            for (int c = 0; c < 4; ++c) d[c] = out[c];
        }
    }
}

template <class TS, class TD>
void MergePortable(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd) {
    MergeRows<TS, TD>(src, dst, x, y, rowBegin, rowEnd);
}

#if defined(__x86_64__)
template <class TS, class TD>
QRVX_TARGET_AVX512 void MergeWide(const Image& src, Image& dst, int x, int y, int rowBegin,
                                  int rowEnd) {
    MergeRows<TS, TD, &MergeRun16Wide>(src, dst, x, y, rowBegin, rowEnd);
}

template <class TS, class TD>
QRVX_TARGET_AVX2 void MergeAvx2(const Image& src, Image& dst, int x, int y, int rowBegin,
                                int rowEnd) {
    MergeRows<TS, TD, &MergeRun16>(src, dst, x, y, rowBegin, rowEnd);
}
#endif

template <class TS, class TD>
void MergeOver(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd) {
#if defined(__x86_64__)
    if (WideVectors()) return MergeWide<TS, TD>(src, dst, x, y, rowBegin, rowEnd);
    if (std::is_same_v<TS, std::uint16_t> && std::is_same_v<TD, std::uint16_t> && Avx2Vectors())
        return MergeAvx2<TS, TD>(src, dst, x, y, rowBegin, rowEnd);
#endif
    MergePortable<TS, TD>(src, dst, x, y, rowBegin, rowEnd);
}

} // namespace

void Merge(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd) {
    WithType(src, [&]<class TS>() {
        WithType(dst, [&]<class TD>() { MergeOver<TS, TD>(src, dst, x, y, rowBegin, rowEnd); });
    });
}

} // namespace host
