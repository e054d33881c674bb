// PanelSim's direct cells on processors with AVX-512 (F, BW, VL), chosen per render; DirectRow in
// panelsim.cpp is the reference and does the pixels after the last whole register. Each
// register of input pixels (8 integer or 4 float pixels, one or two 64-bit words each)
// gives N registers of cells: every word picked from the input register, masked with its
// cell's keep mask and ORed with the display pixel's part, the values of DirectRow bit for
// bit.
#pragma once

#include "frame/wide.h"

#include <array>
#include <cstdint>

#if QRVX_WIDE_ROWS
namespace panelsim {

// The direct cells of a render on the wide path.
struct WideCells {
    // Per word of the N output registers of an input register: the input word it takes,
    // and the keep mask of its cell.
    std::array<long long, 24> index{};
    std::array<std::uint64_t, 24> keep{};

    // Fills the tables for n cells per input pixel of `words` words each; keepOf(k) gives
    // the keep mask of cell k by word.
    template <class KeepOf>
    void Prepare(int n, int words, const KeepOf& keepOf) {
        for (int r = 0; r < n; ++r)
            for (int e = 0; e < 8; ++e) {
                const int j = 8 * r + e, cell = j / words, word = j % words;
                index[std::size_t(j)] = cell / n * words + word;
                keep[std::size_t(j)] = keepOf(cell % n)[std::size_t(word)];
            }
    }

    // Writes the cells of `registers` registers of input pixels from in to out, N output
    // registers each; pattern is the display pixel's parts, one period of N registers.
    // Rows that start on a cache line are written with streaming stores.
    template <int N>
    QRVX_TARGET_AVX512 void Row(const void* in, int registers, const std::uint64_t* pattern,
                                void* out) const {
        __m512i from[N], mask[N], part[N];
        for (int r = 0; r < N; ++r) {
            from[r] = _mm512_loadu_si512(index.data() + 8 * r);
            mask[r] = _mm512_loadu_si512(keep.data() + 8 * r);
            part[r] = _mm512_loadu_si512(pattern + 8 * r);
        }
        const frame::StreamedStores stores;
        const bool streamed = frame::StreamedStores::Streams(out);
        const auto* i = static_cast<const char*>(in);
        auto* o = static_cast<char*>(out);
        for (int b = 0; b < registers; ++b, i += 64) {
            const __m512i p = _mm512_loadu_si512(i);
            for (int r = 0; r < N; ++r, o += 64) {
                const __m512i picked = _mm512_maskz_permutexvar_epi64(0xff, from[r], p);
                stores.Put(o, _mm512_or_si512(_mm512_and_si512(picked, mask[r]), part[r]),
                           streamed);
            }
        }
    }
};

} // namespace panelsim
#endif
