// Image::ImageBlur: three box passes that approximate a Gaussian, on a reduced image
// for wide blurs.
#include "host/access.h"
#include "host/convert.h"
#include "host/image_ops.h"
#include "host/parallel.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace host {
namespace {

constexpr int kMaxLanes = 64;

// One box pass of radius r along n elements of `lanes` interleaved values each
// (element i, lane l at data[i * lanes + l]); edges repeat the border element.
void BoxPass(const float* in, float* out, int n, int lanes, int r) {
    const float inv = 1.0f / float(2 * r + 1);
    float sums[kMaxLanes];
    for (int l = 0; l < lanes; ++l) sums[l] = 0;
    for (int j = -r; j <= r; ++j) {
        const float* s = in + std::size_t(std::clamp(j, 0, n - 1)) * lanes;
        for (int l = 0; l < lanes; ++l) sums[l] += s[l];
    }
    for (int i = 0; i < n; ++i) {
        float* o = out + std::size_t(i) * lanes;
        for (int l = 0; l < lanes; ++l) o[l] = sums[l] * inv;
        const float* add = in + std::size_t(std::min(i + r + 1, n - 1)) * lanes;
        const float* sub = in + std::size_t(std::max(i - r, 0)) * lanes;
        for (int l = 0; l < lanes; ++l) sums[l] += add[l] - sub[l];
    }
}

// Three box passes approximate a Gaussian of standard deviation sigma.
int BoxRadius(double sigma) {
    const double width = std::sqrt(4.0 * sigma * sigma + 1.0);
    return std::max(0, int(std::lround((width - 1.0) / 2.0)));
}

// Three passes, result back in a (b is scratch).
void Blur3(std::vector<float>& a, std::vector<float>& b, int n, int lanes, int r) {
    if (r <= 0) return;
    BoxPass(a.data(), b.data(), n, lanes, r);
    BoxPass(b.data(), a.data(), n, lanes, r);
    BoxPass(a.data(), b.data(), n, lanes, r);
    a.swap(b);
}

// Scratch memory of the calling thread, kept between calls so that repeated blurs touch
// no fresh pages.
std::vector<float>& Scratch(int which, std::size_t size) {
    thread_local std::vector<float> buffers[2];
    if (buffers[which].size() < size) buffers[which].resize(size);
    return buffers[which];
}

// Blurs in two sweeps, each running its box passes along 64 interleaved lanes so that the
// running sums vectorise: rows in blocks of 16 (16 rows x 4 channels side by side per
// column) into the float scratch image, then columns in strips of 32 pixels into dst.
template <class TS, class TD>
void BlurImage(const Image& src, Image& dst, Image& tmp, int rx, int ry, const bool on[4]) {
    constexpr int kBlock = 16;
    const int w = src.Width(), h = src.Height();
    const long rowBlocks = (h + kBlock - 1) / kBlock;
    ParallelBands(rowBlocks, DefaultBands(), [&](long k0, long k1) {
        std::vector<float>& a = Scratch(0, std::size_t(w) * kBlock * 4);
        std::vector<float>& b = Scratch(1, a.size());
        for (long k = k0; k < k1; ++k) {
            const int y0 = int(k) * kBlock, n = std::min(kBlock, h - y0), lanes = n * 4;
            for (int r = 0; r < n; ++r) {
                const TS* s = src.Row<TS>(y0 + r);
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 4; ++c)
                        a[std::size_t(x) * lanes + r * 4 + c] = ToUnit(s[x * 4 + c]);
            }
            Blur3(a, b, w, lanes, rx);
            for (int r = 0; r < n; ++r) {
                float* t = tmp.Row<float>(y0 + r);
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 4; ++c)
                        t[x * 4 + c] = a[std::size_t(x) * lanes + r * 4 + c];
            }
        }
    });
    constexpr int kStrip = kMaxLanes / 4;
    const long strips = (w + kStrip - 1) / kStrip;
    ParallelBands(strips, DefaultBands(), [&](long k0, long k1) {
        std::vector<float>& a = Scratch(0, std::size_t(h) * kStrip * 4);
        std::vector<float>& b = Scratch(1, a.size());
        for (long k = k0; k < k1; ++k) {
            const int x0 = int(k) * kStrip, n = std::min(kStrip, w - x0), lanes = n * 4;
            for (int y = 0; y < h; ++y)
                std::memcpy(&a[std::size_t(y) * lanes], tmp.Row<float>(y) + x0 * 4,
                            lanes * sizeof(float));
            Blur3(a, b, h, lanes, ry);
            for (int y = 0; y < h; ++y) {
                const TS* s = src.Row<TS>(y) + x0 * 4;
                TD* d = dst.Row<TD>(y) + x0 * 4;
                const float* v = &a[std::size_t(y) * lanes];
                for (int i = 0; i < lanes; ++i)
                    d[i] = on[i & 3] ? FromUnit<TD>(v[i]) : FromUnit<TD>(ToUnit(s[i]));
            }
        }
    });
}

// The reduction factor for a blur of standard deviation sigma: the reduced image keeps
// at least 8 of its pixels per sigma, so the reduction loses nothing the blur keeps.
int ReductionFactor(double sigma) { return std::clamp(int(sigma / 8.0), 1, 64); }

#if defined(__x86_64__)
// Two pixels, the first at a and the second at b, as floats in units.
template <class TS>
QRVX_TARGET_AVX2 inline __m256 UnitPair(const TS* a, const TS* b) {
    if constexpr (std::is_same_v<TS, float>) {
        return _mm256_loadu2_m128(b, a);
    } else {
        const __m128i v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(a)),
                                             _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b)));
        return _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(v)),
                             _mm256_set1_ps(kInv65535));
    }
}

// One source row's share of Reduce's block sums, two whole blocks to a register (each
// block's four channels summed from left to right as the portable loop sums them). Gives
// the blocks done, an even number of whole ones; the rest are the caller's.
template <class TS>
QRVX_TARGET_AVX2 int ReduceRowAvx2(const TS* s, float* sums, int blocks, int fx) {
    int lx = 0;
    for (; lx + 2 <= blocks; lx += 2) {
        const TS* a = s + std::size_t(lx) * fx * 4;
        const TS* b = a + std::size_t(fx) * 4;
        __m256 acc = _mm256_setzero_ps();
        for (int j = 0; j < fx; ++j) acc = _mm256_add_ps(acc, UnitPair(a + j * 4, b + j * 4));
        float* at = sums + std::size_t(lx) * 4;
        _mm256_storeu_ps(at, _mm256_add_ps(_mm256_loadu_ps(at), acc));
    }
    return lx;
}
#endif

// low = src averaged over fx x fy blocks (edge blocks over the pixels they hold).
template <class TS>
void Reduce(const Image& src, Image& low, int fx, int fy) {
    const int w = src.Width(), h = src.Height();
#if defined(__x86_64__)
    // Whole blocks (all but perhaps the last) take the AVX2 loop where there is one.
    const int wholeBlocks = Avx2Vectors() ? w / fx : 0;
#endif
    ParallelBands(low.Height(), DefaultBands(), [&](long y0, long y1) {
        std::vector<float> sums(std::size_t(low.Width()) * 4);
        for (long ly = y0; ly < y1; ++ly) {
            std::fill(sums.begin(), sums.end(), 0.0f);
            const int top = int(ly) * fy, rows = std::min(fy, h - top);
            for (int y = top; y < top + rows; ++y) {
                const TS* s = src.Row<TS>(y);
                int lx = 0;
#if defined(__x86_64__)
                if (wholeBlocks > 1) lx = ReduceRowAvx2(s, sums.data(), wholeBlocks, fx);
#endif
                for (int x = lx * fx; lx < low.Width(); ++lx) {
                    float acc[4] = {0, 0, 0, 0};
                    for (const int end = std::min(x + fx, w); x < end; ++x)
                        for (int c = 0; c < 4; ++c) acc[c] += ToUnit(s[x * 4 + c]);
                    for (int c = 0; c < 4; ++c) sums[std::size_t(lx) * 4 + c] += acc[c];
                }
            }
            float* d = low.Row<float>(int(ly));
            for (int lx = 0; lx < low.Width(); ++lx) {
                const float inv = 1.0f / float(rows * std::min(fx, w - lx * fx));
                for (int c = 0; c < 4; ++c) d[lx * 4 + c] = sums[std::size_t(lx) * 4 + c] * inv;
            }
        }
    });
}

#if defined(__x86_64__)
// RoundClamp16 of v * 65535 on eight values, the same operations in the same order.
QRVX_TARGET_AVX2 inline __m256i Round8(__m256 v) {
    const __m256 half = _mm256_set1_ps(0.5f);
    __m256 w = _mm256_add_ps(_mm256_mul_ps(v, _mm256_set1_ps(65535.0f)), half);
    w = _mm256_and_ps(w, _mm256_cmp_ps(w, half, _CMP_GT_OQ)); // NaN and below give 0
    w = _mm256_min_ps(w, _mm256_set1_ps(65535.5f));
    return _mm256_cvttps_epi32(w);
}

// The same on four values.
QRVX_TARGET_AVX2 inline __m128i Round4(__m128 v) {
    const __m128 half = _mm_set1_ps(0.5f);
    __m128 w = _mm_add_ps(_mm_mul_ps(v, _mm_set1_ps(65535.0f)), half);
    w = _mm_and_ps(w, _mm_cmpgt_ps(w, half));
    w = _mm_min_ps(w, _mm_set1_ps(65535.5f));
    return _mm_cvttps_epi32(w);
}

// The pixels of output columns that take the same pair of reduced pixels: [begin, end)
// between reduced pixel j and the next.
struct EnlargeRun {
    int j, begin, end;
};

// One run of an enlarged row from column x on, with AVX2: the portable loop's l + (r - l) * t, with
// l and r - l the run's (diff holds r - l for every reduced pixel) and t the column's (tx4 holds it
// four times over), two pixels to a register and a last odd one alone.
template <class TD>
QRVX_TARGET_AVX2 inline void EnlargeRunAvx2(const float* line, const float* diff, const float* tx4,
                                            const EnlargeRun& run, int x, TD* d) {
    const __m128 l4 = _mm_loadu_ps(line + std::size_t(run.j) * 4),
                 d4 = _mm_loadu_ps(diff + std::size_t(run.j) * 4);
    const __m256 l = _mm256_set_m128(l4, l4), r = _mm256_set_m128(d4, d4);
    for (; x + 2 <= run.end; x += 2) {
        const __m256 v = _mm256_add_ps(l, _mm256_mul_ps(r, _mm256_loadu_ps(tx4 + x * 4)));
        if constexpr (std::is_same_v<TD, float>) {
            _mm256_storeu_ps(d + x * 4, v);
        } else {
            const __m256i i = Round8(v); // 0..65535: the pack keeps the values
            _mm_storeu_si128(
                reinterpret_cast<__m128i*>(d + x * 4),
                _mm_packus_epi32(_mm256_castsi256_si128(i), _mm256_extracti128_si256(i, 1)));
        }
    }
    if (x < run.end) {
        const __m128 v = _mm_add_ps(l4, _mm_mul_ps(d4, _mm_loadu_ps(tx4 + x * 4)));
        if constexpr (std::is_same_v<TD, float>) {
            _mm_storeu_ps(d + x * 4, v);
        } else {
            const __m128i i = Round4(v);
            _mm_storel_epi64(reinterpret_cast<__m128i*>(d + x * 4), _mm_packus_epi32(i, i));
        }
    }
}

template <class TD>
QRVX_TARGET_AVX2 void EnlargeRowAvx2(const float* line, const float* diff, const float* tx4,
                                     const std::vector<EnlargeRun>& runs, TD* d) {
    for (const EnlargeRun& run : runs) EnlargeRunAvx2(line, diff, tx4, run, run.begin, d);
}

// The same with AVX-512, four pixels to a register and the run's last ones as above.
// (Zero-masked forms with every lane on are the plain instructions, without GCC 12's
// warning about the undefined value the plain intrinsics start from.)
template <class TD>
QRVX_TARGET_AVX512 void EnlargeRowWide(const float* line, const float* diff, const float* tx4,
                                       const std::vector<EnlargeRun>& runs, TD* d) {
    constexpr __mmask16 all = 0xFFFF;
    const __m512 half = _mm512_set1_ps(0.5f);
    for (const EnlargeRun& run : runs) {
        const __m512 l = _mm512_maskz_broadcast_f32x4(all,
                                                      _mm_loadu_ps(line + std::size_t(run.j) * 4)),
                     r = _mm512_maskz_broadcast_f32x4(all,
                                                      _mm_loadu_ps(diff + std::size_t(run.j) * 4));
        int x = run.begin;
        for (; x + 4 <= run.end; x += 4) {
            const __m512 v = _mm512_add_ps(l, _mm512_mul_ps(r, _mm512_loadu_ps(tx4 + x * 4)));
            if constexpr (std::is_same_v<TD, float>) {
                _mm512_storeu_ps(d + x * 4, v);
            } else {
                __m512 w = _mm512_add_ps(_mm512_mul_ps(v, _mm512_set1_ps(65535.0f)), half);
                w = _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(w, half, _CMP_GT_OQ), w);
                w = _mm512_maskz_min_ps(all, w, _mm512_set1_ps(65535.5f));
                // 0..65535: the narrowing keeps the values, in order.
                _mm256_storeu_si256(
                    reinterpret_cast<__m256i*>(d + x * 4),
                    _mm512_maskz_cvtusepi32_epi16(all, _mm512_maskz_cvttps_epi32(all, w)));
            }
        }
        if (x < run.end) EnlargeRunAvx2(line, diff, tx4, run, x, d);
    }
}
#endif

// dst = low enlarged by fx x fy with bilinear interpolation (edges clamp); channels that
// are off are copied from src. Rows take the AVX2 loop where the processor has it.
template <class TS, class TD>
void Enlarge(const Image& low, const Image& src, Image& dst, int fx, int fy, const bool on[4]) {
    const int w = dst.Width(), lw = low.Width(), lh = low.Height();
    const bool allOn = on[0] && on[1] && on[2] && on[3];
    std::vector<int> x0(static_cast<std::size_t>(w)), x1(x0.size());
    std::vector<float> tx(x0.size());
    for (int x = 0; x < w; ++x) {
        const double p = std::clamp((x + 0.5) / fx - 0.5, 0.0, double(lw - 1));
        x0[x] = int(p);
        x1[x] = std::min(x0[x] + 1, lw - 1);
        tx[x] = float(p - x0[x]);
    }
#if defined(__x86_64__)
    const bool avx2 = Avx2Vectors(), wide = WideVectors();
    std::vector<float> tx4;
    std::vector<EnlargeRun> runs;
    if (avx2) {
        tx4.resize(std::size_t(w) * 4);
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) tx4[std::size_t(x) * 4 + c] = tx[x];
        for (int x = 0; x < w; ++x) // x0 never falls as x grows
            if (runs.empty() || runs.back().j != x0[x])
                runs.push_back({x0[x], x, x + 1});
            else
                runs.back().end = x + 1;
    }
#endif
    ParallelBands(dst.Height(), DefaultBands(), [&](long y0, long y1) {
        std::vector<float> line(std::size_t(lw) * 4), diff(line.size());
        for (long y = y0; y < y1; ++y) {
            const double p = std::clamp((y + 0.5) / fy - 0.5, 0.0, double(lh - 1));
            const int r0 = int(p), r1 = std::min(r0 + 1, lh - 1);
            const float ty = float(p - r0);
            const float* a = low.Row<float>(r0);
            const float* b = low.Row<float>(r1);
            for (int i = 0; i < lw * 4; ++i) line[i] = a[i] + (b[i] - a[i]) * ty;
            TD* d = dst.Row<TD>(int(y));
            int x = 0;
#if defined(__x86_64__)
            if (avx2) {
                for (int j = 0; j < lw; ++j) {
                    const int j1 = std::min(j + 1, lw - 1);
                    for (int c = 0; c < 4; ++c)
                        diff[std::size_t(j) * 4 + c] =
                            line[std::size_t(j1) * 4 + c] - line[std::size_t(j) * 4 + c];
                }
                if (wide)
                    EnlargeRowWide(line.data(), diff.data(), tx4.data(), runs, d);
                else
                    EnlargeRowAvx2(line.data(), diff.data(), tx4.data(), runs, d);
                x = w;
            }
#endif
            for (; x < w; ++x) {
                const float* l = &line[std::size_t(x0[x]) * 4];
                const float* r = &line[std::size_t(x1[x]) * 4];
                for (int c = 0; c < 4; ++c)
                    d[x * 4 + c] = FromUnit<TD>(l[c] + (r[c] - l[c]) * tx[x]);
            }
            if (allOn) continue;
            const TS* s = src.Row<TS>(int(y));
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 4; ++c)
                    if (!on[c]) d[x * 4 + c] = FromUnit<TD>(ToUnit(s[x * 4 + c]));
        }
    });
}

} // namespace

void Blur(const Image& src, Image& dst, const bool on[4], double xSize, double ySize) {
    // Standard deviations in pixels; beyond a few image sizes the blur is a flat average.
    auto sigma = [&](double size) {
        return std::isfinite(size) ? std::clamp(size, 0.0, 4.0) * src.Width() : 0.0;
    };
    const double sx = sigma(xSize), sy = sigma(ySize);
    const int fx = ReductionFactor(sx), fy = ReductionFactor(sy);
    WithType(src, [&]<class TS>() {
        WithType(dst, [&]<class TD>() {
            if (fx == 1 && fy == 1) {
                const auto tmp = Access::Owned(src.Width(), src.Height(), ImageDepth::Float32);
                BlurImage<TS, TD>(src, dst, *tmp, BoxRadius(sx), BoxRadius(sy), on);
                return;
            }
            // A wide blur keeps no detail finer than a reduced image holds: reduce, blur
            // there and enlarge again. Reducing and enlarging each add about (f^2 - 1) / 12
            // of variance, which the reduced blur leaves out.
            const auto low = Access::Owned((src.Width() + fx - 1) / fx,
                                           (src.Height() + fy - 1) / fy, ImageDepth::Float32);
            const auto blurred = Access::Owned(low->Width(), low->Height(), ImageDepth::Float32);
            const auto tmp = Access::Owned(low->Width(), low->Height(), ImageDepth::Float32);
            auto reduced = [](double s, int f) {
                return std::sqrt(std::max(0.0, s * s - (f * f - 1) / 6.0)) / f;
            };
            const bool all[4] = {true, true, true, true};
            Reduce<TS>(src, *low, fx, fy);
            BlurImage<float, float>(*low, *blurred, *tmp, BoxRadius(reduced(sx, fx)),
                                    BoxRadius(reduced(sy, fy)), all);
            Enlarge<TS, TD>(*blurred, src, dst, fx, fy, on);
        });
    });
}

} // namespace host
