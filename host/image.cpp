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
        void* p = std::aligned_alloc(64, bytes);
        if (!p) {
            Trim();
            p = std::aligned_alloc(64, bytes);
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
    if constexpr (std::is_same_v<T, float>) return v;
    else return float(v) * kInv65535;
}
template <class T>
inline T FromUnit(float v) {
    if constexpr (std::is_same_v<T, float>) return v;
    else return RoundClamp16(v * 65535.0f);
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
            if constexpr (std::is_same_v<T, float>) d[c] = float(v[c]) * kInv65535;
            else d[c] = static_cast<T>(std::clamp(v[c], 0, 65535));
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

// For each output position along one axis: the first input index and its weights.
struct Taps {
    std::vector<int> first;
    std::vector<int> count;
    std::vector<float> weights; // count[i] weights for output i, at offset[i]
    std::vector<int> offset;
};

// A triangle filter whose radius is the reduction factor (at least 1: bilinear when
// enlarging), centred on the output sample's position in the input; edges clamp.
Taps MakeTaps(int inSize, int outSize) {
    Taps t;
    const double scale = double(inSize) / outSize;
    const double radius = std::max(1.0, scale);
    t.first.resize(outSize);
    t.count.resize(outSize);
    t.offset.resize(outSize);
    for (int o = 0; o < outSize; ++o) {
        const double centre = (o + 0.5) * scale - 0.5;
        const int lo = int(std::floor(centre - radius)) + 1;
        const int hi = int(std::ceil(centre + radius)) - 1;
        t.offset[o] = int(t.weights.size());
        double sum = 0;
        std::vector<double> w;
        for (int i = lo; i <= hi; ++i) {
            const double d = 1.0 - std::abs(i - centre) / radius;
            w.push_back(d > 0 ? d : 0);
            sum += w.back();
        }
        t.first[o] = lo;
        t.count[o] = int(w.size());
        for (double d : w) t.weights.push_back(float(d / sum));
    }
    return t;
}

template <class TS, class TD>
void ResizeRows(const Image& src, Image& dst, const Taps& tx, const Taps& ty) {
    const int inW = src.Width(), inH = src.Height(), outW = dst.Width();
    host::ParallelBands(dst.Height(), host::DefaultBands(), [&](long y0, long y1) {
        std::vector<float> column(std::size_t(inW) * 4);
        for (long y = y0; y < y1; ++y) {
            // Combine the input rows that output row y needs.
            std::fill(column.begin(), column.end(), 0.0f);
            for (int k = 0; k < ty.count[y]; ++k) {
                const int sy = std::clamp(ty.first[y] + k, 0, inH - 1);
                const float w = ty.weights[ty.offset[y] + k];
                const TS* s = src.Row<TS>(sy);
                for (int i = 0; i < inW * 4; ++i) column[i] += w * ToUnit(s[i]);
            }
            // Then the columns of that combined row.
            TD* d = dst.Row<TD>(int(y));
            for (int x = 0; x < outW; ++x) {
                float acc[4] = {0, 0, 0, 0};
                for (int k = 0; k < tx.count[x]; ++k) {
                    const int sx = std::clamp(tx.first[x] + k, 0, inW - 1);
                    const float w = tx.weights[tx.offset[x] + k];
                    for (int c = 0; c < 4; ++c) acc[c] += w * column[sx * 4 + c];
                }
                for (int c = 0; c < 4; ++c) d[x * 4 + c] = FromUnit<TD>(acc[c]);
            }
        }
    });
}

// ---- Blur ------------------------------------------------------------------------

// One box pass of radius r along n elements of `lanes` interleaved values each
// (element i, lane l at data[i * lanes + l]); edges repeat the border element.
void BoxPass(const float* in, float* out, int n, int lanes, int r) {
    const float inv = 1.0f / float(2 * r + 1);
    float sums[64];
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

void Blur3(std::vector<float>& a, std::vector<float>& b, int n, int lanes, int r) {
    if (r <= 0) return;
    BoxPass(a.data(), b.data(), n, lanes, r);
    BoxPass(b.data(), a.data(), n, lanes, r);
    BoxPass(a.data(), b.data(), n, lanes, r);
    a.swap(b);
}

template <class TS, class TD>
void BlurImage(const Image& src, Image& dst, Image& tmp, int rx, int ry, const bool on[4]) {
    const int w = src.Width(), h = src.Height();
    // Rows: the horizontal passes, into the float scratch image.
    host::ParallelBands(h, host::DefaultBands(), [&](long y0, long y1) {
        std::vector<float> a(std::size_t(w) * 4), b(a.size());
        for (long y = y0; y < y1; ++y) {
            const TS* s = src.Row<TS>(int(y));
            for (int i = 0; i < w * 4; ++i) a[i] = ToUnit(s[i]);
            Blur3(a, b, w, 4, rx);
            std::memcpy(tmp.Row<float>(int(y)), a.data(), a.size() * sizeof(float));
        }
    });
    // Columns, in strips of 16 pixels: the vertical passes, into the target.
    constexpr int kStrip = 16;
    const long strips = (w + kStrip - 1) / kStrip;
    host::ParallelBands(strips, strips, [&](long k0, long k1) {
        std::vector<float> a(std::size_t(h) * kStrip * 4), b(a.size());
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

// ---- Merge -------------------------------------------------------------------------

template <class TS, class TD>
void MergeOver(const Image& src, Image& dst, int x, int y) {
    const int x0 = std::max(0, x), y0 = std::max(0, y);
    const int x1 = int(std::min<long long>(dst.Width(), (long long)x + src.Width()));
    const int y1 = int(std::min<long long>(dst.Height(), (long long)y + src.Height()));
    for (int ty = y0; ty < y1; ++ty) {
        const TS* s = src.Row<TS>(ty - y) + std::ptrdiff_t(x0 - x) * 4;
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
    : m_width(width), m_height(height), m_depth(depth), m_rowBytes(0), m_bytes(0),
      m_data(nullptr),
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
    const std::uint16_t v[4] = {std::uint16_t(std::clamp(p.R, 0, 65535)),
                                std::uint16_t(std::clamp(p.G, 0, 65535)),
                                std::uint16_t(std::clamp(p.B, 0, 65535)),
                                std::uint16_t(std::clamp(p.A, 0, 65535))};
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
    WithType(*this, [&]<class T>() { ResizeRows<T, T>(*this, *out, tx, ty); });
    return AdoptNew(out);
}

Image* Image::ResizeOfImage(const TagList& tags) const {
    return ResizeOfImage(int(tags.GetInt(tag::ResizeWidth, m_width)),
                         int(tags.GetInt(tag::ResizeHeight, m_height)));
}

void Image::OXMerge(const Image& src, int x, int y) {
    WithType(src, [&]<class TS>() {
        WithType(*this, [&]<class TD>() { MergeOver<TS, TD>(src, *this, x, y); });
    });
}

void Image::ImageBlur(Image* target, int, bool red, bool green, bool blue, bool alpha,
                      double xSize, double ySize, double, double) const {
    if (!target || target->Width() != m_width || target->Height() != m_height)
        throw HostError("blur target must have the size of the blurred image");
    const bool on[4] = {red, green, blue, alpha};
    const int rx = std::isfinite(xSize) ? BoxRadius(std::max(0.0, xSize) * m_width) : 0;
    const int ry = std::isfinite(ySize) ? BoxRadius(std::max(0.0, ySize) * m_width) : 0;
    Image tmp(m_width, m_height, ImageDepth::Float32);
    WithType(*this, [&]<class TS>() {
        WithType(*target, [&]<class TD>() { BlurImage<TS, TD>(*this, *target, tmp, rx, ry, on); });
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
    const auto depth = ImageDepth(tags.GetInt(
        tag::ImgDepth, like ? int(like->Depth()) : int(ImageDepth::Int16)));
    return AdoptNew(new Image(int(width), int(height), depth));
}

void SetMaxImagePixels(std::int64_t pixels) { g_maxPixels = pixels; }
std::int64_t MaxImagePixels() { return g_maxPixels.load(); }
void SetImagePoolLimit(std::size_t bytes) { ThePool().SetLimit(bytes); }
void TrimImagePool() { ThePool().Trim(); }
