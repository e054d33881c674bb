// The wide integer rows some tools take on processors with AVX-512 (BW and VBMI2): 32
// 16-bit values to a register, values that need a table packed together (vpcompressw)
// and spread back (vpexpandw). Each such tool keeps its portable row worker as the
// reference and for other processors, and picks the wide one per render with WideRows.
#pragma once

namespace frame {
// 16-bit values in one register.
inline constexpr int kWideLanes = 32;
} // namespace frame

#if defined(__x86_64__)
#include <immintrin.h>

#include <cstdint>
#include <cstdlib>

#define QRVX_WIDE_ROWS 1
// The instruction sets of the wide rows, for the functions that use them.
#define QRVX_WIDE __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2")))

namespace frame {

// Whether integer rows take the wide path: the processor has AVX-512 BW and VBMI2 and
// QRVX_NO_AVX512 is not set in the environment (the tests set it to check the portable
// rows on such processors too).
inline bool WideRows() {
    static const bool cpu =
        __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi2");
    return cpu && !std::getenv("QRVX_NO_AVX512");
}

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

} // namespace frame
#endif
