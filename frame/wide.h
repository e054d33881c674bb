// What the tools' vector rows share. A tool's vector rows live beside its main file
// (tools/<tool>/<tool>_wide.h); the main file keeps its portable rows, the reference and what
// other processors run, and picks per render with the project's processor probe, host/cpu.h
// (which also says how QRVX_NO_AVX512 and QRVX_PORTABLE turn the vector rows off):
//
//   ToneBands, RangeMap  integer rows on AVX-512 with VBMI2 (WideRows, QRVX_WIDE), 32 16-bit
//                        values to a register: WideLookUpRow with classifiers of their own
//                        (values that need a table packed together with vpcompressw and
//                        spread back with vpexpandw).
//   RangeMap             float rows on AVX-512 (F, BW, VL: host::Isa::Avx512), two pixels at
//                        a time.
//   PanelSim             its direct-pattern cells on AVX-512 (F, BW, VL), a register of
//                        input pixels at a time.
//   ScopeTrace           the rows of its channel points on AVX-512 (F, BW, VL), two pixels at
//                        a time in lanes of doubles.
//
// The output rows of WideLookUpRow, PanelSim's cells and ScopeTrace's picture are written
// with StreamedStores.
#pragma once

#include "host/cpu.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace frame {

// 16-bit values in one register.
inline constexpr int kWideLanes = 32;
// Values a wide row classifies and packs before their look-ups.
inline constexpr int kWideChunk = 512;

// Stores of output values past the caches (streaming stores), with their fence. Frames are
// mostly larger than the caches, and there an ordinary store first reads the memory it
// overwrites: as much memory traffic again as the store itself. A worker keeps one
// StreamedStores over a stretch of its work (a row, or a band of rows), asks of each output
// row whether it Streams, and stores through Put; when the object goes, a fence has the
// streamed values in memory before the work counts as done.
class StreamedStores {
public:
    StreamedStores() = default;
    StreamedStores(const StreamedStores&) = delete;
    StreamedStores& operator=(const StreamedStores&) = delete;
    ~StreamedStores() { host::FenceStreamed(); }

    // Whether the stores into a row that starts at row may stream: it starts on a cache
    // line, as host image rows do.
    static bool Streams(const void* row) { return reinterpret_cast<std::uintptr_t>(row) % 64 == 0; }

    // Stores the 32 bytes of v at at (32-byte aligned where streamed): streamed where
    // streamed says so and the build has AVX, else as an ordinary store.
    template <class V>
    void Put(void* at, const V& v, bool streamed) const {
        static_assert(sizeof(V) == 32);
#if defined(__AVX__)
        if (streamed) {
            __m256i w;
            std::memcpy(&w, &v, sizeof w);
            return _mm256_stream_si256(static_cast<__m256i*>(at), w);
        }
#endif
        (void)streamed;
        std::memcpy(at, &v, sizeof v);
    }

    // Copies bytes from src to dst, streamed where dst allows (host::CopyStreamed): for
    // outputs written in pieces that lie far apart (a tile's pieces of rows).
    void Copy(void* dst, const void* src, std::size_t bytes) const {
        host::CopyStreamed(dst, src, bytes);
    }

#if defined(__x86_64__)
    // Stores 64 bytes at at (64-byte aligned where streamed), in the AVX-512 rows.
    QRVX_TARGET_AVX512 void Put(void* at, __m512i v, bool streamed) const {
        if (streamed)
            _mm512_stream_si512(static_cast<__m512i*>(at), v);
        else
            _mm512_storeu_si512(at, v);
    }
#endif
};

} // namespace frame

#if defined(__x86_64__)
#define QRVX_WIDE_ROWS 1
// The instruction set of the wide rows (AVX-512 F, BW, VL and VBMI2), for the functions
// that use them.
#define QRVX_WIDE QRVX_TARGET_AVX512_VBMI2

namespace frame {

// Whether the processor has what the wide rows use (AVX-512 BW and VBMI2).
inline bool WideRowsSupported() { return host::CpuHas(host::Isa::Avx512Vbmi2); }

// Whether the wide rows are taken: the processor has what they use, and neither
// QRVX_NO_AVX512 nor QRVX_PORTABLE is set (host/cpu.h).
inline bool WideRows() { return host::PathTaken(host::Isa::Avx512Vbmi2); }

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
// lanes, with StreamedStores. Values from n on (short of a whole vector) are the caller's,
// for its portable row.
template <class Classify>
QRVX_WIDE inline void WideLookUpRow(const std::uint16_t* src, std::uint16_t* dst, int n,
                                    const std::uint16_t* table, __m512i replace,
                                    const Classify& classify) {
    const StreamedStores stores;
    const bool streamed = StreamedStores::Streams(dst);
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
            stores.Put(d + i, _mm512_mask_expand_epi16(settled, k, found), streamed);
            count += std::popcount(k);
        }
    }
}

} // namespace frame
#endif
