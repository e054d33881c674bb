// RangeMap's rows on processors with AVX-512 (BW and VBMI2), chosen per render; Row in
// rangemap.cpp is the reference and maps the values after the last whole register.
//
// Integer rows: the values inside the input range are the only ones that need a table,
// and their mapped values are the same in every active channel. The row sorts out those
// values with vector compares, packs them together (vpcompressw), looks up just those in
// one table and spreads the results back (vpexpandw) over the kept values or the colour
// (frame::WideLookUpRow). The table entries of the inside values lie together, so their
// look-ups hit the first-level cache.
//
// Float rows: two pixels (eight values) to a register, mapped with the same double
// operations, in the same order, as Row maps one pixel.
#pragma once

#include "frame/wide.h"

#include <cstdint>
#include <cstring>

#if QRVX_WIDE_ROWS
namespace rangemap {

// The classification of 32 integer values: inside values (low..high in their lane) are
// looked up, outside values kept in the lanes of keep and coloured in the others.
struct WideRange {
    __m512i low, high;
    __mmask32 keep;
    QRVX_WIDE frame::WideClass operator()(__m512i v) const {
        return {_mm512_cmpge_epu16_mask(v, low) & _mm512_cmple_epu16_mask(v, high), keep};
    }
};

// Values [0, n) of an integer row, n a multiple of frame::kWideLanes, from in to out.
// lanes is what Process prepared: per lane the inside values low..high, the colour and
// the lanes that keep their outside values (keep), and the table of the inside values.
template <class Lanes>
QRVX_WIDE void WideLookUps(const std::uint16_t* in, std::uint16_t* out, int n, const Lanes& lanes) {
    const WideRange range{_mm512_loadu_si512(lanes.low.data()),
                          _mm512_loadu_si512(lanes.high.data()), lanes.keep};
    frame::WideLookUpRow(in, out, n, lanes.table, _mm512_loadu_si512(lanes.colour.data()), range);
}

// Values [0, n) of a float row, n a multiple of eight, from in to out: each two pixels
// mapped with m.Map over the lanes of m.pair (always inlined, so that its 512-bit vectors
// stay in this function's registers).
template <bool kByInverse, class Mapping>
QRVX_WIDE void WidePairs(const float* in, float* out, int n, const Mapping& m) {
    using Doubles2 = decltype(m.pair.low);
    using Floats2 = float __attribute__((vector_size(32)));
    for (int i = 0; i < n; i += 8) {
        Floats2 f;
        std::memcpy(&f, in + i, sizeof f);
        const Doubles2 v = __builtin_convertvector(f, Doubles2);
        Doubles2 r;
        m.template Map<true, kByInverse>(v, m.pair, r);
        f = __builtin_convertvector(r, Floats2);
        std::memcpy(out + i, &f, sizeof f);
    }
}

} // namespace rangemap
#endif
