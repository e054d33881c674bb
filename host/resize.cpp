// Image::ResizeOfImage: a separable triangle filter (bilinear when enlarging).
#include "host/convert.h"
#include "host/image_ops.h"
#include "host/parallel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace host {
namespace {

// For each output position along one axis, the same number of taps: input indices
// (already clamped to the edge) and weights (zero where a position needs fewer taps).
struct Taps {
    int n = 0;
    std::vector<int> index;    // index[o * n + k]
    std::vector<float> weight; // weight[o * n + k]
};

// A triangle filter whose radius is the reduction factor (at least 1: bilinear when
// enlarging), centred on the output sample's position in the input; edges clamp. The
// taps of output positions [first, first + count) of outSize; the tap count is the one
// the whole axis needs, so a part of a resize sums exactly as the whole does.
Taps MakeTaps(int inSize, int outSize, int first, int count) {
    const double scale = double(inSize) / outSize;
    const double radius = std::max(1.0, scale);
    Taps t;
    // The most taps any output needs: inputs strictly within the radius of its centre.
    for (int o = 0; o < outSize; ++o) {
        const double centre = (o + 0.5) * scale - 0.5;
        t.n = std::max(t.n, int(std::ceil(centre + radius)) - int(std::floor(centre - radius)) - 1);
    }
    t.index.assign(std::size_t(count) * t.n, 0);
    t.weight.assign(std::size_t(count) * t.n, 0.0f);
    for (int o = first; o < first + count; ++o) {
        const double centre = (o + 0.5) * scale - 0.5;
        const int lo = int(std::floor(centre - radius)) + 1;
        double sum = 0;
        for (int k = 0; k < t.n; ++k)
            sum += std::max(0.0, 1.0 - std::abs(lo + k - centre) / radius);
        const std::size_t at = std::size_t(o - first) * t.n;
        for (int k = 0; k < t.n; ++k) {
            const double w = std::max(0.0, 1.0 - std::abs(lo + k - centre) / radius);
            t.index[at + k] = std::clamp(lo + k, 0, inSize - 1);
            t.weight[at + k] = float(w / sum);
        }
    }
    return t;
}

// Four channels (one pixel) in a vector register, and vectors of N floats (8: AVX2,
// 16: AVX-512) with the integer vectors of the same lane count.
typedef float Float4 __attribute__((vector_size(16)));
template <int N>
struct Lanes {
    typedef float F __attribute__((vector_size(N * 4)));
    typedef std::int32_t I __attribute__((vector_size(N * 4)));
    typedef std::uint16_t U __attribute__((vector_size(N * 2)));
};
template <int N>
using FloatN = typename Lanes<N>::F;

// The helpers below take and give vectors by reference, so that a build for processors
// without AVX-512 compiles them without changing how wide vectors are passed.

// N channel values from p as floats. 16-bit values are widened by interleaving them
// with zeros, which compiles to one zero-extending load (converting the vector type
// directly widens it in halves).
template <int N, class T>
[[gnu::always_inline]] inline void Load(FloatN<N>& out, const T* p) {
    if constexpr (std::is_same_v<T, float>) {
        std::memcpy(&out, p, sizeof out);
    } else {
        typename Lanes<N>::U v;
        std::memcpy(&v, p, sizeof v);
        const typename Lanes<N>::U z{};
        typename Lanes<N>::I wide;
        if constexpr (N == 8) {
            const auto w =
                __builtin_shufflevector(v, z, 0, 8, 1, 8, 2, 8, 3, 8, 4, 8, 5, 8, 6, 8, 7, 8);
            std::memcpy(&wide, &w, sizeof wide);
        } else {
            const auto w = __builtin_shufflevector(v, z, 0, 16, 1, 16, 2, 16, 3, 16, 4, 16, 5, 16,
                                                   6, 16, 7, 16, 8, 16, 9, 16, 10, 16, 11, 16, 12,
                                                   16, 13, 16, 14, 16, 15, 16);
            std::memcpy(&wide, &w, sizeof wide);
        }
        out = __builtin_convertvector(wide, FloatN<N>);
    }
}

[[gnu::always_inline]] inline Float4 Load4(const float* p) {
    Float4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// a + b, and where both are not a number the NaN of the one named first (keep), as the
// scalar code this replaces gave it: float images may hold NaN of either sign, and the
// sign of a NaN result must not depend on which operand the compiler puts first.
// Integer images never produce NaN, so they add plainly.
template <class T, class V>
[[gnu::always_inline]] inline void Add(V& out, const V& keep, const V& other) {
    const V sum = keep + other;
    if constexpr (std::is_same_v<T, float>)
        out = keep != keep ? keep : sum;
    else
        out = sum;
}

// The columns' taps laid out for N / 4 output pixels at a time: for group g and tap k,
// the pixels' input offsets (in floats) and their weights, each repeated over the four
// channels. Pixels past the last whole group use Taps as they are.
template <int N>
struct GroupTaps {
    static constexpr int kGroup = N / 4;
    int groups = 0;
    std::vector<int> offset;   // offset[(g * n + k) * kGroup + j]
    std::vector<float> weight; // weight[(g * n + k) * N + j * 4 + c]

    GroupTaps(const Taps& t, int outSize)
        : groups(outSize / kGroup), offset(std::size_t(groups) * t.n * kGroup),
          weight(std::size_t(groups) * t.n * N) {
        for (int g = 0; g < groups; ++g)
            for (int k = 0; k < t.n; ++k)
                for (int j = 0; j < kGroup; ++j) {
                    const std::size_t o = std::size_t(g * kGroup + j) * t.n + k;
                    offset[(std::size_t(g) * t.n + k) * kGroup + j] = t.index[o] * 4;
                    for (int c = 0; c < 4; ++c)
                        weight[(std::size_t(g) * t.n + k) * N + j * 4 + c] = t.weight[o];
                }
    }
};

// The four-channel pixels at column + o[0], o[1], ... in one vector.
template <int N>
[[gnu::always_inline]] inline void Gather(FloatN<N>& out, const float* column, const int* o) {
    const Float4 p0 = Load4(column + o[0]), p1 = Load4(column + o[1]);
    const auto lo = __builtin_shufflevector(p0, p1, 0, 1, 2, 3, 4, 5, 6, 7);
    if constexpr (N == 8) {
        out = lo;
    } else {
        const Float4 p2 = Load4(column + o[2]), p3 = Load4(column + o[3]);
        const auto hi = __builtin_shufflevector(p2, p3, 0, 1, 2, 3, 4, 5, 6, 7);
        out = __builtin_shufflevector(lo, hi, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    }
}

// Rounds and clamps to 0..65535 in the register (weights sum to 1, so only rounding
// can leave the range), or stores floats as they come.
template <class T, class V>
[[gnu::always_inline]] inline void Store(T* d, const V& acc) {
    if constexpr (std::is_same_v<T, float>) {
        std::memcpy(d, &acc, sizeof acc);
    } else {
        constexpr int n = sizeof(V) / sizeof(float);
        const V zero = V{}, top = zero + 65535.0f;
        V v = acc + 0.5f;
        v = v < zero ? zero : v;
        v = v > top ? top : v;
        const typename Lanes<n>::U out = __builtin_convertvector(
            __builtin_convertvector(v, typename Lanes<n>::I), typename Lanes<n>::U);
        std::memcpy(d, &out, sizeof out);
    }
}

// Output rows [y0, y1), with vectors of N floats. Values are combined in the image's own
// units: integer results are rounded and clamped, float results stored as they come.
// Each output value is the same sum in the same order as one pixel and one tap at a
// time: first down the column, then across the row.
template <int N, class T>
[[gnu::always_inline]] inline void ResizeBand(const Image& src, Image& dst, const Taps& tx,
                                              const Taps& ty, const GroupTaps<N>& gx, long y0,
                                              long y1) {
    constexpr int kGroup = GroupTaps<N>::kGroup;
    const int inW = src.Width(), outW = dst.Width(), n4 = inW * 4;
    std::vector<Float4> line(static_cast<std::size_t>(inW));
    float* column = reinterpret_cast<float*>(line.data());
    std::vector<const T*> tapRows(std::size_t(ty.n));
    for (long y = y0; y < y1; ++y) {
        // Combine the input rows that output row y needs, 4 * N values at a time in
        // registers.
        const int* rows = &ty.index[std::size_t(y) * ty.n];
        const float* wy = &ty.weight[std::size_t(y) * ty.n];
        for (int k = 0; k < ty.n; ++k) tapRows[k] = src.Row<T>(rows[k]);
        const T* s0 = tapRows[0];
        int i = 0;
        for (; i + 4 * N <= n4; i += 4 * N) {
            FloatN<N> a0, a1, a2, a3, v0, v1, v2, v3;
            Load<N>(v0, s0 + i), Load<N>(v1, s0 + i + N);
            Load<N>(v2, s0 + i + 2 * N), Load<N>(v3, s0 + i + 3 * N);
            a0 = wy[0] * v0, a1 = wy[0] * v1, a2 = wy[0] * v2, a3 = wy[0] * v3;
            for (int k = 1; k < ty.n; ++k) {
                const float w = wy[k];
                if (w == 0.0f) continue;
                const T* s = tapRows[k] + i;
                Load<N>(v0, s), Load<N>(v1, s + N), Load<N>(v2, s + 2 * N), Load<N>(v3, s + 3 * N);
                Add<T>(a0, w * v0, a0), Add<T>(a1, w * v1, a1);
                Add<T>(a2, w * v2, a2), Add<T>(a3, w * v3, a3);
            }
            std::memcpy(column + i, &a0, sizeof a0);
            std::memcpy(column + i + N, &a1, sizeof a1);
            std::memcpy(column + i + 2 * N, &a2, sizeof a2);
            std::memcpy(column + i + 3 * N, &a3, sizeof a3);
        }
        for (; i < n4; ++i) {
            float v = wy[0] * float(s0[i]);
            for (int k = 1; k < ty.n; ++k)
                if (wy[k] != 0.0f) Add<T>(v, wy[k] * float(tapRows[k][i]), v);
            column[i] = v;
        }
        // Then the columns of that combined row, N / 4 output pixels at a time.
        T* d = dst.Row<T>(int(y));
        for (int g = 0; g < gx.groups; ++g) {
            const int* off = &gx.offset[std::size_t(g) * tx.n * kGroup];
            const float* w = &gx.weight[std::size_t(g) * tx.n * N];
            FloatN<N> acc, v, wk;
            Gather<N>(v, column, off);
            std::memcpy(&wk, w, sizeof wk);
            acc = v * wk;
            for (int k = 1; k < tx.n; ++k) {
                Gather<N>(v, column, off + k * kGroup);
                std::memcpy(&wk, w + k * N, sizeof wk);
                Add<T>(acc, acc, v * wk);
            }
            Store(d + g * kGroup * 4, acc);
        }
        for (int x = gx.groups * kGroup; x < outW; ++x) {
            const int* cols = &tx.index[std::size_t(x) * tx.n];
            const float* wx = &tx.weight[std::size_t(x) * tx.n];
            Float4 acc = line[cols[0]] * wx[0];
            for (int k = 1; k < tx.n; ++k) Add<T>(acc, acc, line[cols[k]] * wx[k]);
            Store(d + x * 4, acc);
        }
    }
}

template <class T>
void BandPortable(const Image& src, Image& dst, const Taps& tx, const Taps& ty,
                  const GroupTaps<8>& gx, long y0, long y1) {
    ResizeBand<8, T>(src, dst, tx, ty, gx, y0, y1);
}

#if defined(__x86_64__)
// The same band with vectors twice as wide, on processors with AVX-512.
template <class T>
QRVX_TARGET_AVX512 void BandWide(const Image& src, Image& dst, const Taps& tx, const Taps& ty,
                                 const GroupTaps<16>& gx, long y0, long y1) {
    ResizeBand<16, T>(src, dst, tx, ty, gx, y0, y1);
}

#endif

template <class T>
void ResizeRows(const Image& src, Image& dst, const Taps& tx, const Taps& ty) {
#if defined(__x86_64__)
    if (WideVectors()) {
        const GroupTaps<16> gx(tx, dst.Width());
        return ParallelBands(dst.Height(), DefaultBands(),
                             [&](long y0, long y1) { BandWide<T>(src, dst, tx, ty, gx, y0, y1); });
    }
#endif
    const GroupTaps<8> gx(tx, dst.Width());
    ParallelBands(dst.Height(), DefaultBands(),
                  [&](long y0, long y1) { BandPortable<T>(src, dst, tx, ty, gx, y0, y1); });
}

} // namespace

void Resize(const Image& src, Image& dst) { Resize(src, dst, dst.Width(), dst.Height(), 0, 0); }

void Resize(const Image& src, Image& dst, int width, int height, int x, int y) {
    const Taps tx = MakeTaps(src.Width(), width, x, dst.Width());
    // A square image resized to a square one takes the same taps down as across.
    const bool same =
        src.Width() == src.Height() && width == height && x == y && dst.Width() == dst.Height();
    const Taps ty = same ? Taps{} : MakeTaps(src.Height(), height, y, dst.Height());
    WithType(src, [&]<class T>() { ResizeRows<T>(src, dst, tx, same ? tx : ty); });
}

} // namespace host
