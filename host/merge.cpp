// Image::OXMerge and OXMergeRows: premultiplied "over", computed in float.
#include "host/convert.h"
#include "host/image_ops.h"

#include <algorithm>

namespace host {
namespace {

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

void Merge(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd) {
    WithType(src, [&]<class TS>() {
        WithType(dst, [&]<class TD>() { MergeOver<TS, TD>(src, dst, x, y, rowBegin, rowEnd); });
    });
}

} // namespace host
