// Image::ResizeOfImage: a separable triangle filter (bilinear when enlarging).
#include "host/convert.h"
#include "host/image_ops.h"
#include "host/parallel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__AVX2__)
#include <immintrin.h>
#endif

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
// enlarging), centred on the output sample's position in the input; edges clamp.
Taps MakeTaps(int inSize, int outSize) {
    const double scale = double(inSize) / outSize;
    const double radius = std::max(1.0, scale);
    Taps t;
    // The most taps any output needs: inputs strictly within the radius of its centre.
    for (int o = 0; o < outSize; ++o) {
        const double centre = (o + 0.5) * scale - 0.5;
        t.n = std::max(t.n, int(std::ceil(centre + radius)) - int(std::floor(centre - radius)) - 1);
    }
    t.index.assign(std::size_t(outSize) * t.n, 0);
    t.weight.assign(std::size_t(outSize) * t.n, 0.0f);
    for (int o = 0; o < outSize; ++o) {
        const double centre = (o + 0.5) * scale - 0.5;
        const int lo = int(std::floor(centre - radius)) + 1;
        double sum = 0;
        for (int k = 0; k < t.n; ++k)
            sum += std::max(0.0, 1.0 - std::abs(lo + k - centre) / radius);
        for (int k = 0; k < t.n; ++k) {
            const double w = std::max(0.0, 1.0 - std::abs(lo + k - centre) / radius);
            t.index[std::size_t(o) * t.n + k] = std::clamp(lo + k, 0, inSize - 1);
            t.weight[std::size_t(o) * t.n + k] = float(w / sum);
        }
    }
    return t;
}

// Four channels (one pixel), and sixteen (four pixels) in vector registers.
typedef float Float4 __attribute__((vector_size(16)));
typedef float Float8 __attribute__((vector_size(32)));
typedef std::int32_t Int8 __attribute__((vector_size(32)));
typedef std::int32_t Int4 __attribute__((vector_size(16)));
typedef std::uint16_t U16x8 __attribute__((vector_size(16)));
typedef std::uint16_t U16x4 __attribute__((vector_size(8)));

constexpr int kGroup = 2; // output pixels combined at a time across a row

// Eight channel values from p as floats.
template <class T>
[[gnu::always_inline]] inline Float8 Load8(const T* p) {
    if constexpr (std::is_same_v<T, float>) {
        Float8 v;
        std::memcpy(&v, p, sizeof v);
        return v;
    } else {
#if defined(__AVX2__)
        // GCC widens a vector of eight 16-bit values in two halves; one instruction does it.
        return Float8(_mm256_cvtepi32_ps(
            _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))));
#else
        U16x8 v;
        std::memcpy(&v, p, sizeof v);
        return __builtin_convertvector(__builtin_convertvector(v, Int8), Float8);
#endif
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
[[gnu::always_inline]] inline V Add(V keep, V other) {
    const V sum = keep + other;
    if constexpr (std::is_same_v<T, float>)
        return keep != keep ? keep : sum;
    else
        return sum;
}

// The columns' taps laid out for kGroup output pixels at a time: for group g and tap k,
// the four pixels' input offsets (in floats) and their weights, each repeated over the
// four channels. Pixels past the last whole group use Taps as they are.
struct GroupTaps {
    int groups = 0;
    std::vector<int> offset;    // offset[(g * n + k) * kGroup + j]
    std::vector<Float8> weight; // weight[g * n + k]
};

GroupTaps MakeGroupTaps(const Taps& t, int outSize) {
    GroupTaps gt;
    gt.groups = outSize / kGroup;
    gt.offset.resize(std::size_t(gt.groups) * t.n * kGroup);
    gt.weight.resize(std::size_t(gt.groups) * t.n);
    for (int g = 0; g < gt.groups; ++g)
        for (int k = 0; k < t.n; ++k)
            for (int j = 0; j < kGroup; ++j) {
                const std::size_t o = std::size_t(g * kGroup + j) * t.n + k;
                gt.offset[(std::size_t(g) * t.n + k) * kGroup + j] = t.index[o] * 4;
                for (int c = 0; c < 4; ++c)
                    gt.weight[std::size_t(g) * t.n + k][j * 4 + c] = t.weight[o];
            }
    return gt;
}

// Rounds and clamps to 0..65535 in the register (weights sum to 1, so only rounding
// can leave the range), or stores floats as they come.
template <class T, class V>
[[gnu::always_inline]] inline void Store(T* d, V acc) {
    if constexpr (std::is_same_v<T, float>) {
        std::memcpy(d, &acc, sizeof acc);
    } else {
        const V zero = V{}, top = zero + 65535.0f;
        V v = acc + 0.5f;
        v = v < zero ? zero : v;
        v = v > top ? top : v;
        using Int = std::conditional_t<sizeof(V) == 32, Int8, Int4>;
        using U16 = std::conditional_t<sizeof(V) == 32, U16x8, U16x4>;
        const U16 out = __builtin_convertvector(__builtin_convertvector(v, Int), U16);
        std::memcpy(d, &out, sizeof out);
    }
}

// Values are combined in the image's own units: integer results are rounded and clamped,
// float results stored as they come. Each output value is the same sum in the same order
// as one pixel and one tap at a time: first down the column, then across the row.
template <class T>
void ResizeRows(const Image& src, Image& dst, const Taps& tx, const Taps& ty) {
    const int inW = src.Width(), outW = dst.Width(), n4 = inW * 4;
    const GroupTaps gx = MakeGroupTaps(tx, outW);
    ParallelBands(dst.Height(), DefaultBands(), [&](long y0, long y1) {
        std::vector<Float4> line(static_cast<std::size_t>(inW));
        float* column = reinterpret_cast<float*>(line.data());
        std::vector<const T*> tapRows(std::size_t(ty.n));
        for (long y = y0; y < y1; ++y) {
            // Combine the input rows that output row y needs, 32 values at a time in
            // registers.
            const int* rows = &ty.index[std::size_t(y) * ty.n];
            const float* wy = &ty.weight[std::size_t(y) * ty.n];
            for (int k = 0; k < ty.n; ++k) tapRows[k] = src.Row<T>(rows[k]);
            const T* s0 = tapRows[0];
            int i = 0;
            for (; i + 32 <= n4; i += 32) {
                const float w0 = wy[0];
                Float8 a0 = w0 * Load8(s0 + i), a1 = w0 * Load8(s0 + i + 8);
                Float8 a2 = w0 * Load8(s0 + i + 16), a3 = w0 * Load8(s0 + i + 24);
                for (int k = 1; k < ty.n; ++k) {
                    const float w = wy[k];
                    if (w == 0.0f) continue;
                    const T* s = tapRows[k] + i;
                    a0 = Add<T>(w * Load8(s), a0);
                    a1 = Add<T>(w * Load8(s + 8), a1);
                    a2 = Add<T>(w * Load8(s + 16), a2);
                    a3 = Add<T>(w * Load8(s + 24), a3);
                }
                std::memcpy(column + i, &a0, sizeof a0);
                std::memcpy(column + i + 8, &a1, sizeof a1);
                std::memcpy(column + i + 16, &a2, sizeof a2);
                std::memcpy(column + i + 24, &a3, sizeof a3);
            }
            for (; i < n4; ++i) {
                float v = wy[0] * float(s0[i]);
                for (int k = 1; k < ty.n; ++k)
                    if (wy[k] != 0.0f) v = Add<T>(wy[k] * float(tapRows[k][i]), v);
                column[i] = v;
            }
            // Then the columns of that combined row, four output pixels at a time.
            T* d = dst.Row<T>(int(y));
            for (int g = 0; g < gx.groups; ++g) {
                const int* off = &gx.offset[std::size_t(g) * tx.n * kGroup];
                const Float8* w = &gx.weight[std::size_t(g) * tx.n];
                auto taps = [&](int k) {
                    const int* o = off + k * kGroup;
                    return Float8(__builtin_shufflevector(
                        Load4(column + o[0]), Load4(column + o[1]), 0, 1, 2, 3, 4, 5, 6, 7));
                };
                Float8 acc = taps(0) * w[0];
                for (int k = 1; k < tx.n; ++k) acc = Add<T>(acc, taps(k) * w[k]);
                Store(d + g * kGroup * 4, acc);
            }
            for (int x = gx.groups * kGroup; x < outW; ++x) {
                const int* cols = &tx.index[std::size_t(x) * tx.n];
                const float* wx = &tx.weight[std::size_t(x) * tx.n];
                Float4 acc = line[cols[0]] * wx[0];
                for (int k = 1; k < tx.n; ++k) acc = Add<T>(acc, line[cols[k]] * wx[k]);
                Store(d + x * 4, acc);
            }
        }
    });
}

} // namespace

void Resize(const Image& src, Image& dst) {
    const Taps tx = MakeTaps(src.Width(), dst.Width());
    // A square image resized to a square one takes the same taps down as across.
    const bool same = src.Width() == src.Height() && dst.Width() == dst.Height();
    const Taps ty = same ? Taps{} : MakeTaps(src.Height(), dst.Height());
    WithType(src, [&]<class T>() { ResizeRows<T>(src, dst, tx, same ? tx : ty); });
}

} // namespace host
