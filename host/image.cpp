#include "host/image.h"

#include "host/operator.h"
#include "host/parallel.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>

#include <sys/mman.h>

namespace {

// ---- Pixel memory pool -------------------------------------------------------------

// Released pixel blocks, kept by size for the next image of that size.
class Pool {
public:
    void* Acquire(std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            auto it = m_free.find(bytes);
            if (it != m_free.end() && !it->second.empty()) {
                void* p = it->second.back();
                it->second.pop_back();
                m_kept -= bytes;
                return p;
            }
        }
        void* p = Allocate(bytes);
        if (!p) {
            Trim();
            p = Allocate(bytes);
        }
        return p;
    }

    void Release(void* p, std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            if (m_kept + bytes <= m_limit) {
                m_free[bytes].push_back(p);
                m_kept += bytes;
                return;
            }
        }
        std::free(p);
    }

    void Trim() {
        std::lock_guard lock(m_mutex);
        for (auto& [bytes, blocks] : m_free)
            for (void* p : blocks) std::free(p);
        m_free.clear();
        m_kept = 0;
    }

    void SetLimit(std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            m_limit = bytes;
        }
        Trim();
    }

private:
    // Large blocks are aligned to 2 MiB and asked to be backed by huge pages: one page
    // fault and one TLB entry per 2 MiB instead of per 4 KiB.
    static void* Allocate(std::size_t bytes) {
        constexpr std::size_t kHuge = std::size_t(2) << 20;
        if (bytes < 2 * kHuge) return std::aligned_alloc(64, (bytes + 63) / 64 * 64);
        const std::size_t size = (bytes + kHuge - 1) / kHuge * kHuge;
        void* p = std::aligned_alloc(kHuge, size);
        if (p) madvise(p, size, MADV_HUGEPAGE);
        return p;
    }

    std::mutex m_mutex;
    std::map<std::size_t, std::vector<void*>> m_free;
    std::size_t m_kept = 0;
    std::size_t m_limit = std::size_t(4) << 30;
};

Pool& ThePool() {
    static Pool* pool = new Pool; // lives to the end of the process, past static teardown
    return *pool;
}

std::atomic<std::int64_t> g_maxPixels{std::int64_t(1) << 28};

// ---- Channel conversions -------------------------------------------------------------

constexpr float kInv65535 = 1.0f / 65535.0f;

inline std::uint16_t RoundClamp16(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= 65535.0f) return 65535;
    return static_cast<std::uint16_t>(v + 0.5f);
}

// Channel value of type T as a float in units (0..1 nominal), and back.
template <class T>
inline float ToUnit(T v) {
    if constexpr (std::is_same_v<T, float>)
        return v;
    else
        return float(v) * kInv65535;
}
template <class T>
inline T FromUnit(float v) {
    if constexpr (std::is_same_v<T, float>)
        return v;
    else
        return RoundClamp16(v * 65535.0f);
}

// ---- The four conversion routines of each depth -----------------------------------

template <class T>
struct RoutinesOf {
    static void ReadInt(IntPixel& p, const void* pos, const void*, const Image&) {
        const T* s = static_cast<const T*>(pos);
        if constexpr (std::is_same_v<T, float>) {
            p.R = RoundClamp16(s[0] * 65535.0f);
            p.G = RoundClamp16(s[1] * 65535.0f);
            p.B = RoundClamp16(s[2] * 65535.0f);
            p.A = RoundClamp16(s[3] * 65535.0f);
        } else {
            p.R = s[0], p.G = s[1], p.B = s[2], p.A = s[3];
        }
    }
    static void WriteInt(const IntPixel& p, void* pos, void*, const Image&) {
        T* d = static_cast<T*>(pos);
        const std::int32_t v[4] = {p.R, p.G, p.B, p.A};
        for (int c = 0; c < 4; ++c) {
            if constexpr (std::is_same_v<T, float>)
                d[c] = float(v[c]) * kInv65535;
            else
                d[c] = static_cast<T>(std::clamp(v[c], 0, 65535));
        }
    }
    static void ReadFlt(FltPixel& p, const void* pos, const void*, const Image&) {
        const T* s = static_cast<const T*>(pos);
        p.R = ToUnit(s[0]), p.G = ToUnit(s[1]), p.B = ToUnit(s[2]), p.A = ToUnit(s[3]);
    }
    static void WriteFlt(const FltPixel& p, void* pos, void*, const Image&) {
        T* d = static_cast<T*>(pos);
        d[0] = FromUnit<T>(p.R), d[1] = FromUnit<T>(p.G), d[2] = FromUnit<T>(p.B);
        d[3] = FromUnit<T>(p.A);
    }
    static constexpr PixelRoutines kTable{&ReadInt, &WriteInt, &ReadFlt, &WriteFlt};
};

// Calls f.template operator()<T>() with the image's channel type.
template <class F>
decltype(auto) WithType(const Image& image, F&& f) {
    if (image.IsFloat()) return f.template operator()<float>();
    return f.template operator()<std::uint16_t>();
}

// Hands a new image to the running request, if any, which then owns it.
Image* AdoptNew(Image* image) {
    if (Request* r = Request::Current()) r->Adopt(image);
    return image;
}

// ---- Resampling weights -----------------------------------------------------------

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
    host::ParallelBands(dst.Height(), host::DefaultBands(), [&](long y0, long y1) {
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

// ---- Blur ------------------------------------------------------------------------

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
    host::ParallelBands(rowBlocks, host::DefaultBands(), [&](long k0, long k1) {
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
    host::ParallelBands(strips, host::DefaultBands(), [&](long k0, long k1) {
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

// low = src averaged over fx x fy blocks (edge blocks over the pixels they hold).
template <class TS>
void Reduce(const Image& src, Image& low, int fx, int fy) {
    const int w = src.Width(), h = src.Height();
    host::ParallelBands(low.Height(), host::DefaultBands(), [&](long y0, long y1) {
        std::vector<float> sums(std::size_t(low.Width()) * 4);
        for (long ly = y0; ly < y1; ++ly) {
            std::fill(sums.begin(), sums.end(), 0.0f);
            const int top = int(ly) * fy, rows = std::min(fy, h - top);
            for (int y = top; y < top + rows; ++y) {
                const TS* s = src.Row<TS>(y);
                for (int lx = 0, x = 0; lx < low.Width(); ++lx) {
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

// dst = low enlarged by fx x fy with bilinear interpolation (edges clamp); channels that
// are off are copied from src.
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
    host::ParallelBands(dst.Height(), host::DefaultBands(), [&](long y0, long y1) {
        std::vector<float> line(std::size_t(lw) * 4);
        for (long y = y0; y < y1; ++y) {
            const double p = std::clamp((y + 0.5) / fy - 0.5, 0.0, double(lh - 1));
            const int r0 = int(p), r1 = std::min(r0 + 1, lh - 1);
            const float ty = float(p - r0);
            const float* a = low.Row<float>(r0);
            const float* b = low.Row<float>(r1);
            for (int i = 0; i < lw * 4; ++i) line[i] = a[i] + (b[i] - a[i]) * ty;
            TD* d = dst.Row<TD>(int(y));
            for (int x = 0; x < w; ++x) {
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

// ---- Merge -------------------------------------------------------------------------

template <class TS, class TD>
void MergeOver(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd) {
    const int x0 = std::max(0, x), y0 = std::max({0, y, rowBegin});
    const int x1 = int(std::min<long long>(dst.Width(), (long long)x + src.Width()));
    const int y1 = int(std::min<long long>(
        {(long long)dst.Height(), (long long)rowEnd, (long long)y + src.Height()}));
    for (int ty = y0; ty < y1; ++ty) {
        const TS* s = src.Row<TS>(int(std::ptrdiff_t(ty) - y)) + (std::ptrdiff_t(x0) - x) * 4;
        TD* d = dst.Row<TD>(ty) + std::ptrdiff_t(x0) * 4;
        for (int tx = x0; tx < x1; ++tx, s += 4, d += 4) {
            const float keep = 1.0f - ToUnit(s[3]);
            for (int c = 0; c < 4; ++c) d[c] = FromUnit<TD>(ToUnit(s[c]) + ToUnit(d[c]) * keep);
        }
    }
}

} // namespace

// ---- Image ---------------------------------------------------------------------------

Image::Image(int width, int height, ImageDepth depth)
    : m_width(width), m_height(height), m_depth(depth), m_rowBytes(0), m_bytes(0), m_data(nullptr),
      m_routines(depth == ImageDepth::Float32 ? &RoutinesOf<float>::kTable
                                              : &RoutinesOf<std::uint16_t>::kTable) {
    if (depth != ImageDepth::Int16 && depth != ImageDepth::Float32)
        throw HostError("cannot make an image of depth " + std::to_string(int(depth)));
    if (width < 1 || height < 1)
        throw HostError("cannot make an image of " + std::to_string(width) + " x " +
                        std::to_string(height) + " pixels: width and height must be positive");
    const std::int64_t pixels = std::int64_t(width) * height;
    if (pixels > g_maxPixels.load())
        throw HostError("cannot make an image of " + std::to_string(width) + " x " +
                        std::to_string(height) + " pixels: more than the limit of " +
                        std::to_string(g_maxPixels.load()) + " pixels");
    m_rowBytes = (std::ptrdiff_t(width) * Stride() + 63) / 64 * 64;
    m_bytes = std::size_t(m_rowBytes) * std::size_t(height);
    m_data = ThePool().Acquire(m_bytes);
    if (!m_data)
        throw HostError("cannot make an image of " + std::to_string(width) + " x " +
                        std::to_string(height) + " pixels: out of memory");
    m_rows.resize(std::size_t(height));
    for (int y = 0; y < height; ++y)
        m_rows[std::size_t(y)] = static_cast<char*>(m_data) + std::size_t(m_rowBytes) * y;
}

Image::~Image() { ThePool().Release(m_data, m_bytes); }

void Image::Fill(const IntPixel& p) {
    FltPixel f;
    f.R = float(p.R) * kInv65535, f.G = float(p.G) * kInv65535;
    f.B = float(p.B) * kInv65535, f.A = float(p.A) * kInv65535;
    if (IsFloat()) return Fill(f);
    const std::uint16_t v[4] = {
        std::uint16_t(std::clamp(p.R, 0, 65535)), std::uint16_t(std::clamp(p.G, 0, 65535)),
        std::uint16_t(std::clamp(p.B, 0, 65535)), std::uint16_t(std::clamp(p.A, 0, 65535))};
    host::ParallelBands(m_height, host::DefaultBands(), [&](long y0, long y1) {
        for (long y = y0; y < y1; ++y) {
            std::uint16_t* d = Row<std::uint16_t>(int(y));
            for (int i = 0; i < m_width * 4; ++i) d[i] = v[i & 3];
        }
    });
}

void Image::Fill(const FltPixel& p) {
    WithType(*this, [&]<class T>() {
        const T v[4] = {FromUnit<T>(p.R), FromUnit<T>(p.G), FromUnit<T>(p.B), FromUnit<T>(p.A)};
        host::ParallelBands(m_height, host::DefaultBands(), [&](long y0, long y1) {
            for (long y = y0; y < y1; ++y) {
                T* d = Row<T>(int(y));
                for (int i = 0; i < m_width * 4; ++i) d[i] = v[i & 3];
            }
        });
    });
}

Image* Image::CopyOfImage(bool) const {
    auto* copy = new Image(m_width, m_height, m_depth);
    host::ParallelBands(m_height, host::DefaultBands(), [&](long y0, long y1) {
        std::memcpy(copy->m_rows[std::size_t(y0)], m_rows[std::size_t(y0)],
                    std::size_t(m_rowBytes) * std::size_t(y1 - y0));
    });
    return AdoptNew(copy);
}

Image* Image::ResizeOfImage(int width, int height) const {
    auto* out = new Image(width, height, m_depth);
    const Taps tx = MakeTaps(m_width, width), ty = MakeTaps(m_height, height);
    WithType(*this, [&]<class T>() { ResizeRows<T>(*this, *out, tx, ty); });
    return AdoptNew(out);
}

Image* Image::ResizeOfImage(const TagList& tags) const {
    return ResizeOfImage(int(tags.GetInt(tag::ResizeWidth, m_width)),
                         int(tags.GetInt(tag::ResizeHeight, m_height)));
}

void Image::OXMerge(const Image& src, int x, int y) { OXMergeRows(src, x, y, 0, m_height); }

void Image::OXMergeRows(const Image& src, int x, int y, int rowBegin, int rowEnd) {
    WithType(src, [&]<class TS>() {
        WithType(*this, [&]<class TD>() { MergeOver<TS, TD>(src, *this, x, y, rowBegin, rowEnd); });
    });
}

void Image::ImageBlur(Image* target, int, bool red, bool green, bool blue, bool alpha, double xSize,
                      double ySize, double, double) const {
    if (!target || target->Width() != m_width || target->Height() != m_height)
        throw HostError("blur target must have the size of the blurred image");
    const bool on[4] = {red, green, blue, alpha};
    // Standard deviations in pixels; beyond a few image sizes the blur is a flat average.
    auto sigma = [&](double size) {
        return std::isfinite(size) ? std::clamp(size, 0.0, 4.0) * m_width : 0.0;
    };
    const double sx = sigma(xSize), sy = sigma(ySize);
    const int fx = ReductionFactor(sx), fy = ReductionFactor(sy);
    WithType(*this, [&]<class TS>() {
        WithType(*target, [&]<class TD>() {
            if (fx == 1 && fy == 1) {
                Image tmp(m_width, m_height, ImageDepth::Float32);
                BlurImage<TS, TD>(*this, *target, tmp, BoxRadius(sx), BoxRadius(sy), on);
                return;
            }
            // A wide blur keeps no detail finer than a reduced image holds: reduce, blur
            // there and enlarge again. Reducing and enlarging each add about (f^2 - 1) / 12
            // of variance, which the reduced blur leaves out.
            Image low((m_width + fx - 1) / fx, (m_height + fy - 1) / fy, ImageDepth::Float32);
            Image blurred(low.Width(), low.Height(), ImageDepth::Float32);
            Image tmp(low.Width(), low.Height(), ImageDepth::Float32);
            auto reduced = [](double s, int f) {
                return std::sqrt(std::max(0.0, s * s - (f * f - 1) / 6.0)) / f;
            };
            const bool all[4] = {true, true, true, true};
            Reduce<TS>(*this, low, fx, fy);
            BlurImage<float, float>(low, blurred, tmp, BoxRadius(reduced(sx, fx)),
                                    BoxRadius(reduced(sy, fy)), all);
            Enlarge<TS, TD>(blurred, *this, *target, fx, fy, on);
        });
    });
}

Image* NewImage(const TagList& tags) {
    const Image* like = nullptr;
    if (const TagValue* t = tags.Find(tag::ImgTemplate))
        like = static_cast<const Image*>(t->AsAddress());
    if (!like && !tags.Find(tag::ImgContext))
        throw HostError("NewImage needs a template image or the host context");
    const long long width = tags.GetInt(tag::ImgWidth, like ? like->Width() : 0);
    const long long height = tags.GetInt(tag::ImgHeight, like ? like->Height() : 0);
    if (width > INT_MAX || height > INT_MAX)
        throw HostError("cannot make an image of " + std::to_string(width) + " x " +
                        std::to_string(height) + " pixels: more than the limit of " +
                        std::to_string(g_maxPixels.load()) + " pixels");
    const auto depth =
        ImageDepth(tags.GetInt(tag::ImgDepth, like ? int(like->Depth()) : int(ImageDepth::Int16)));
    return AdoptNew(new Image(int(width), int(height), depth));
}

void SetMaxImagePixels(std::int64_t pixels) { g_maxPixels = pixels; }
std::int64_t MaxImagePixels() { return g_maxPixels.load(); }
void SetImagePoolLimit(std::size_t bytes) { ThePool().SetLimit(bytes); }
void TrimImagePool() { ThePool().Trim(); }
