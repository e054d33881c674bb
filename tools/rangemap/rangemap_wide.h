// RangeMap's rows on processors with AVX-512, chosen per render; Row in rangemap.cpp is
// the reference and maps the values after the last whole register.
//
// Integer rows (with VBMI2): the values inside the input range are the only ones that need a table,
// and their mapped values are the same in every active channel. The row sorts out those
// values with vector compares, packs them together (vpcompressw), looks up just those in
// one table and spreads the results back (vpexpandw) over the kept values or the colour
// (frame::WideLookUpRow). The table entries of the inside values lie together, so their
// look-ups hit the first-level cache.
//
// Float rows (F, BW and VL are enough): two pixels (eight values) to a register, mapped
// with the same double operations, in the same order, as Row maps one pixel
// (Mapping::Map).
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
// mapped as Mapping::Map maps them with the lanes of m.pair, the same operations in the
// same order, written with the instructions themselves: the vector extension's compares
// and conversions of eight doubles go lane by lane.
template <bool kByInverse, class Mapping>
QRVX_TARGET_AVX512 void WidePairs(const float* in, float* out, int n, const Mapping& m) {
    const auto& lanes = m.pair;
    const __m512d low = __m512d(lanes.low), high = __m512d(lanes.high);
    const __m512d colour = __m512d(lanes.colour), outStart = __m512d(lanes.outStart);
    const __m512i keepOutside = __m512i(lanes.keepOutside);
    const __mmask8 keep = _mm512_test_epi64_mask(keepOutside, keepOutside);
    const __m512d inStart = _mm512_set1_pd(m.inStart), inverse = _mm512_set1_pd(m.inverse);
    const __m512d inWidth = _mm512_set1_pd(m.inWidth), outWidth = _mm512_set1_pd(m.outWidth);
    for (int i = 0; i < n; i += 8) {
        const __m512d u = _mm512_maskz_cvtps_pd(0xff, _mm256_loadu_ps(in + i));
        const __m512d shifted = _mm512_sub_pd(u, inStart);
        const __m512d stretched =
            kByInverse ? _mm512_mul_pd(shifted, inverse) : _mm512_div_pd(shifted, inWidth);
        const __m512d mapped =
            m.pointRange ? outStart : _mm512_add_pd(_mm512_mul_pd(stretched, outWidth), outStart);
        const __m512d outside = _mm512_mask_blend_pd(keep, colour, u);
        const __mmask8 inside =
            _mm512_cmp_pd_mask(low, u, _CMP_LE_OQ) & _mm512_cmp_pd_mask(u, high, _CMP_LE_OQ);
        _mm256_storeu_ps(
            out + i, _mm512_maskz_cvtpd_ps(0xff, _mm512_mask_blend_pd(inside, outside, mapped)));
    }
}

} // namespace rangemap
#endif
