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

// Four channels in one vector register.
typedef float Float4 __attribute__((vector_size(16)));

// Values are combined in the image's own units: integer results are rounded and clamped,
// float results stored as they come.
template <class T>
void ResizeRows(const Image& src, Image& dst, const Taps& tx, const Taps& ty) {
    const int inW = src.Width(), outW = dst.Width();
    ParallelBands(dst.Height(), DefaultBands(), [&](long y0, long y1) {
        std::vector<Float4> line(static_cast<std::size_t>(inW));
        float* column = reinterpret_cast<float*>(line.data());
        for (long y = y0; y < y1; ++y) {
            // Combine the input rows that output row y needs.
            const int* rows = &ty.index[std::size_t(y) * ty.n];
            const float* wy = &ty.weight[std::size_t(y) * ty.n];
            const T* s0 = src.Row<T>(rows[0]);
            for (int i = 0; i < inW * 4; ++i) column[i] = wy[0] * float(s0[i]);
            for (int k = 1; k < ty.n; ++k) {
                if (wy[k] == 0.0f) continue;
                const T* s = src.Row<T>(rows[k]);
                const float w = wy[k];
                for (int i = 0; i < inW * 4; ++i) column[i] += w * float(s[i]);
            }
            // Then the columns of that combined row.
            T* d = dst.Row<T>(int(y));
            for (int x = 0; x < outW; ++x) {
                const int* cols = &tx.index[std::size_t(x) * tx.n];
                const float* wx = &tx.weight[std::size_t(x) * tx.n];
                Float4 acc = line[cols[0]] * wx[0];
                for (int k = 1; k < tx.n; ++k) acc += line[cols[k]] * wx[k];
                if constexpr (std::is_same_v<T, float>) {
                    std::memcpy(d + x * 4, &acc, sizeof acc);
                } else {
                    // Round and clamp to 0..65535 in the register (weights sum to 1, so
                    // only rounding can leave the range).
                    const Float4 zero = {0, 0, 0, 0}, top = {65535, 65535, 65535, 65535};
                    Float4 v = acc + 0.5f;
                    v = v < zero ? zero : v;
                    v = v > top ? top : v;
                    for (int c = 0; c < 4; ++c) d[x * 4 + c] = std::uint16_t(v[c]);
                }
            }
        }
    });
}

} // namespace

void Resize(const Image& src, Image& dst) {
    const Taps tx = MakeTaps(src.Width(), dst.Width()), ty = MakeTaps(src.Height(), dst.Height());
    WithType(src, [&]<class T>() { ResizeRows<T>(src, dst, tx, ty); });
}

} // namespace host
