// The wide rows four tools take on processors with AVX-512 (BW and VBMI2), 32 16-bit
// values to a register: ToneBands and RangeMap run WideLookUpRow with classifiers of their
// own (values that need a table packed together with vpcompressw and spread back with
// vpexpandw; RangeMap also has a wide row of its own for float images), PanelSim writes its
// direct-pattern cells with PutWide, and ScopeTrace works out the rows of its points two
// pixels at a time in lanes of doubles. Each keeps its portable row worker as the reference and for
// other processors, and picks the wide one per render with WideRows.
#pragma once

namespace frame {
// 16-bit values in one register.
inline constexpr int kWideLanes = 32;
// Values a wide row classifies and packs before their look-ups.
inline constexpr int kWideChunk = 512;
} // namespace frame

#if defined(__x86_64__)
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>

#define QRVX_WIDE_ROWS 1
// The instruction sets of the wide rows, for the functions that use them.
#define QRVX_WIDE __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2")))

namespace frame {

// Whether the processor has what the wide rows use (AVX-512 BW and VBMI2).
inline bool WideRowsSupported() {
    static const bool cpu =
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2");
    return cpu;
}

// Whether integer rows take the wide path: the processor has what they use and
// QRVX_NO_AVX512 is not set in the environment (the tests set it to check the portable
// rows on such processors too).
inline bool WideRows() { return WideRowsSupported() && !std::getenv("QRVX_NO_AVX512"); }

// Writes 32 values of an output row. Where the row is 64-byte aligned (as host images
// are) they go past the caches (a streaming store): frames are mostly larger than the
// caches, and there an ordinary store first reads the memory it overwrites, as much memory
// traffic again as the store itself. A row worker calls _mm_sfence() when its row is
// done, so that the streamed values are in memory before the row counts as written.
QRVX_WIDE inline void PutWide(std::uint16_t* at, __m512i v, bool streamed) {
    if (streamed)
        _mm512_stream_si512(reinterpret_cast<__m512i*>(at), v);
    else
        _mm512_storeu_si512(at, v);
}

// What a wide row's classifier says of 32 values: the lanes whose values are looked up
// in the table, and among the others those that keep their value; the rest take their
// lane of the replacement.
struct WideClass {
    __mmask32 lookUp, keep;
};

// Writes values [0, n) of a 16-bit row from src to dst, n a multiple of kWideLanes, in
// chunks of kWideChunk values. A first pass classifies each 32 values with classify (a
// functor whose QRVX_WIDE operator() takes a vector of values and gives its WideClass)
// and packs the values to look up into one list; the list is looked up in table; a second
// pass writes the kept and replaced values and spreads the looked-up ones over their
// lanes, through PutWide. Ends with the fence PutWide asks for. Values from n on (short of
// a whole vector) are the caller's, for its portable row.
template <class Classify>
QRVX_WIDE inline void WideLookUpRow(const std::uint16_t* src, std::uint16_t* dst, int n,
                                    const std::uint16_t* table, __m512i replace,
                                    const Classify& classify) {
    const bool streamed = reinterpret_cast<std::uintptr_t>(dst) % 64 == 0;
    // Each store of packed values writes 32 entries and keeps as many as were found.
    alignas(64) std::uint16_t list[kWideChunk + kWideLanes];
    __mmask32 lookUp[kWideChunk / kWideLanes], keep[kWideChunk / kWideLanes];
    for (int c0 = 0; c0 < n; c0 += kWideChunk) {
        const int len = std::min(kWideChunk, n - c0);
        const std::uint16_t* s = src + c0;
        std::uint16_t* d = dst + c0;
        int count = 0;
        for (int i = 0; i < len; i += kWideLanes) {
            const __m512i v = _mm512_loadu_si512(s + i);
            const WideClass k = classify(v);
            lookUp[i / kWideLanes] = k.lookUp;
            keep[i / kWideLanes] = k.keep;
            _mm512_storeu_si512(list + count, _mm512_maskz_compress_epi16(k.lookUp, v));
            count += std::popcount(k.lookUp);
        }
        for (int j = 0; j < count; ++j) list[j] = table[list[j]];
        count = 0;
        for (int i = 0; i < len; i += kWideLanes) {
            const __m512i v = _mm512_loadu_si512(s + i);
            const __mmask32 k = lookUp[i / kWideLanes];
            const __m512i settled = _mm512_mask_mov_epi16(replace, keep[i / kWideLanes], v);
            const __m512i found = _mm512_loadu_si512(list + count);
            PutWide(d + i, _mm512_mask_expand_epi16(settled, k, found), streamed);
            count += std::popcount(k);
        }
    }
    _mm_sfence(); // the streaming stores are seen before the row counts as done
}

} // namespace frame
#endif
