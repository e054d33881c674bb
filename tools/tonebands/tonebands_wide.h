// ToneBands' integer rows on processors with AVX-512 (BW and VBMI2), chosen per render;
// Row in tonebands.cpp is the reference and does the values after the last whole register.
// The values each threshold test passes form at most two intervals of values, so Process
// turns the tests into interval bounds (ToneBands::PrepareLanes); the row is classified 32
// values at a time, the values left to the rule are packed together (vpcompressw), looked
// up in the table of exact results, and spread back (vpexpandw) over the untouched and
// pulled values (frame::WideLookUpRow).
#pragma once

#include "frame/values.h"
#include "frame/wide.h"

#include <cstdint>

#if QRVX_WIDE_ROWS
namespace tonebands {

// An interval in every lane of a vector of 32 values, and the test of a vector against it.
struct WideInterval {
    __m512i first, last;
    QRVX_WIDE explicit WideInterval(frame::Interval i)
        : first(_mm512_set1_epi16(short(i.first))), last(_mm512_set1_epi16(short(i.last))) {}
    QRVX_WIDE __mmask32 Holds(__m512i v) const {
        return _mm512_cmpge_epu16_mask(v, first) & _mm512_cmple_epu16_mask(v, last);
    }
};

// The classification of 32 integer values: values left to the rule are looked up,
// untouched values and switched-off lanes kept, the others pulled.
struct WideBands {
    WideInterval keep, rule0, rule1;
    __mmask32 keepOutside, on;
    QRVX_WIDE frame::WideClass operator()(__m512i v) const {
        return {(rule0.Holds(v) | rule1.Holds(v)) & on, (keep.Holds(v) ^ keepOutside) | ~on};
    }
};

// Values [0, n) of an integer row, n a multiple of frame::kWideLanes, from in to out, with
// the table of exact results. lanes is the classification Process prepared: the untouched
// values (keep, or the values outside it with keepOutside), the two intervals left to the
// rule, the lanes of switched-on channels and the pull value.
template <class Lanes>
QRVX_WIDE void WideLookUps(const std::uint16_t* in, std::uint16_t* out, int n,
                           const std::uint16_t* table, const Lanes& lanes) {
    const WideBands bands{WideInterval(lanes.keep), WideInterval(lanes.rule[0]),
                          WideInterval(lanes.rule[1]), lanes.keepOutside ? ~0u : 0u, lanes.on};
    frame::WideLookUpRow(in, out, n, table, _mm512_set1_epi16(short(lanes.pull)), bands);
}

} // namespace tonebands
#endif
