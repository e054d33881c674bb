// The processor probe of the whole project: which vector paths the host's loops and the
// tools' rows take. Every such path keeps a portable one beside it (the reference, and what
// other processors run), and is taken only where the processor has its instructions and the
// environment does not turn it off:
//
//   QRVX_NO_AVX512=1  no AVX-512 path is taken, in the host or in any tool; the AVX2 paths
//                     still are (what most workstations run);
//   QRVX_PORTABLE=1   no vector path at all: every loop and row takes its portable form.
//
// The switches are read at each call, so that the tests can set and clear them between
// renders and compare every path with the portable one bit for bit. "Portable" is what the
// build's own level compiles (x86-64-v3 by default, see CMakeLists.txt); the paths chosen
// here are compiled for their instructions with the attributes below, whatever that level.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace host {

// The instruction sets vector paths are written for.
enum class Isa {
    Avx2,
    Avx512,      // AVX-512 F, BW and VL
    Avx512Vbmi2, // the same and VBMI2 (vpcompressw, vpexpandw)
};

// Whether the processor has isa (asked once).
inline bool CpuHas(Isa isa) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
    static const bool avx512 = __builtin_cpu_supports("avx512f") &&
                               __builtin_cpu_supports("avx512bw") &&
                               __builtin_cpu_supports("avx512vl");
    static const bool vbmi2 = avx512 && __builtin_cpu_supports("avx512vbmi2");
    switch (isa) {
    case Isa::Avx2: return avx2;
    case Isa::Avx512: return avx512;
    case Isa::Avx512Vbmi2: return vbmi2;
    }
#endif
    (void)isa;
    return false;
}

// Whether vector paths are taken at all: QRVX_PORTABLE is not set.
inline bool VectorPaths() { return !std::getenv("QRVX_PORTABLE"); }

// Whether the paths written for isa are taken: the processor has it and neither switch
// turns it off.
inline bool PathTaken(Isa isa) {
    if (!CpuHas(isa) || !VectorPaths()) return false;
    return isa == Isa::Avx2 || !std::getenv("QRVX_NO_AVX512");
}

// The host's loops by their own names: the AVX2 ones, and the AVX-512 (F, BW, VL) ones.
inline bool Avx2Vectors() { return PathTaken(Isa::Avx2); }
inline bool WideVectors() { return PathTaken(Isa::Avx512); }

// Copies bytes from src to dst with the 16-byte blocks of dst, from its first 16-byte
// boundary on, stored past the caches (streaming stores, SSE2: part of every x86-64
// processor), the rest as an ordinary copy. For outputs larger than the caches that the
// copy does not read: an ordinary store first reads the memory it overwrites, as much
// traffic again as the store. FenceStreamed must follow before the copy counts as done.
inline void CopyStreamed(void* dst, const void* src, std::size_t bytes) {
    char* d = static_cast<char*>(dst);
    const char* s = static_cast<const char*>(src);
    std::size_t i = 0;
#if defined(__x86_64__)
    i = std::min(bytes, std::size_t(-reinterpret_cast<std::uintptr_t>(d) % 16));
    std::memcpy(d, s, i);
    for (; i + 16 <= bytes; i += 16)
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
#endif
    std::memcpy(d + i, s + i, bytes - i);
}

// Has every streamed store of this thread in memory before what follows.
inline void FenceStreamed() {
#if defined(__x86_64__)
    _mm_sfence();
#endif
}

} // namespace host

// The instructions of a function written for one of the sets above, to be called only
// where PathTaken says so.
#if defined(__x86_64__)
#define QRVX_TARGET_AVX2 __attribute__((target("avx2")))
#define QRVX_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl")))
#define QRVX_TARGET_AVX512_VBMI2 __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2")))
#endif
