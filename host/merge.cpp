// Image::OXMerge and OXMergeRows: premultiplied "over", computed in float.
#include "host/convert.h"
#include "host/image_ops.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace host {
namespace {

constexpr int kAhead = 2; // rows prefetched ahead of the one being merged

// Whether all four values of the pixel at s are zero (either sign for float).
template <class TS>
[[gnu::always_inline]] inline bool Transparent(const TS* s) {
    if constexpr (std::is_same_v<TS, float>) {
        return s[0] == 0.0f && s[1] == 0.0f && s[2] == 0.0f && s[3] == 0.0f;
    } else {
        std::uint64_t v;
        std::memcpy(&v, s, sizeof v);
        return v == 0;
    }
}

// The merge of one row band, written once and compiled for the portable path and, on
// processors with AVX-512, for a path with twice the vector width; both compute every
// value with the same operations, so their results are the same.
template <class TS, class TD>
[[gnu::always_inline]] inline void MergeRows(const Image& src, Image& dst, int x, int y,
                                             int rowBegin, int rowEnd) {
    const int x0 = std::max(0, x), y0 = std::max({0, y, rowBegin});
    const int x1 = int(std::min<long long>(dst.Width(), (long long)x + src.Width()));
    const int y1 = int(std::min<long long>(
        {(long long)dst.Height(), (long long)rowEnd, (long long)y + src.Height()}));
    for (int ty = y0; ty < y1; ++ty) {
        const TS* s = src.Row<TS>(int(std::ptrdiff_t(ty) - y)) + (std::ptrdiff_t(x0) - x) * 4;
        TD* d = dst.Row<TD>(ty) + std::ptrdiff_t(x0) * 4;
        // Ask for the rows a few ahead: each row is a short run of memory, too short for
        // the processor to see the stream, and the source is often outside the caches.
        if (ty + kAhead < y1) {
            const char* sa = reinterpret_cast<const char*>(
                src.Row<TS>(int(std::ptrdiff_t(ty) + kAhead - y)) + (std::ptrdiff_t(x0) - x) * 4);
            const char* da =
                reinterpret_cast<const char*>(dst.Row<TD>(ty + kAhead) + std::ptrdiff_t(x0) * 4);
            const std::ptrdiff_t sb = std::ptrdiff_t(x1 - x0) * 4 * sizeof(TS),
                                 db = std::ptrdiff_t(x1 - x0) * 4 * sizeof(TD);
            for (std::ptrdiff_t b = 0; b < sb; b += 64) __builtin_prefetch(sa + b);
            for (std::ptrdiff_t b = 0; b < db; b += 64) __builtin_prefetch(da + b, 1);
        }
        int begin = x0, end = x1;
        if constexpr (std::is_same_v<TD, std::uint16_t>) {
            // A source pixel whose four values are zero leaves an integer target as it is
            // (its value over 65535, kept whole and scaled back, rounds to itself: checked
            // for every value), so the transparent ends of the row are skipped.
            while (begin < end && Transparent(s)) ++begin, s += 4, d += 4;
            while (end > begin && Transparent(s + std::ptrdiff_t(end - 1 - begin) * 4)) --end;
        }
        for (int tx = begin; tx < end; ++tx, s += 4, d += 4) {
            // Whole pixels in and out, so that the loop vectorises.
            const float keep = 1.0f - ToUnit(s[3]);
            TD out[4];
            for (int c = 0; c < 4; ++c) {
                const float v = ToUnit(s[c]) + ToUnit(d[c]) * keep;
                if constexpr (std::is_same_v<TS, std::uint16_t> &&
                              std::is_same_v<TD, std::uint16_t>) {
                    // From integers the result lies between a hair below 0 and 2, so the
                    // rounding needs no lower clamp and no NaN test: the same values as
                    // FromUnit, with less work.
                    out[c] = std::uint16_t(std::min(int(v * 65535.0f + 0.5f), 65535));
                } else {
                    out[c] = FromUnit<TD>(v);
                }
            }
            for (int c = 0; c < 4; ++c) d[c] = out[c];
        }
    }
}

template <class TS, class TD>
void MergePortable(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd) {
    MergeRows<TS, TD>(src, dst, x, y, rowBegin, rowEnd);
}

#if defined(__x86_64__)
template <class TS, class TD>
[[gnu::target("avx512f,avx512bw,avx512vl")]] void MergeWide(const Image& src, Image& dst, int x,
                                                            int y, int rowBegin, int rowEnd) {
    MergeRows<TS, TD>(src, dst, x, y, rowBegin, rowEnd);
}

#endif

template <class TS, class TD>
void MergeOver(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd) {
#if defined(__x86_64__)
    if (WideVectors()) return MergeWide<TS, TD>(src, dst, x, y, rowBegin, rowEnd);
#endif
    MergePortable<TS, TD>(src, dst, x, y, rowBegin, rowEnd);
}

} // namespace

void Merge(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd) {
    WithType(src, [&]<class TS>() {
        WithType(dst, [&]<class TD>() { MergeOver<TS, TD>(src, dst, x, y, rowBegin, rowEnd); });
    });
}

} // namespace host
