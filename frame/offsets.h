// Pixel offsets and positions that tools form from fractional controls: a point's distance
// from the middle times the width, a share of the height, a share of a tile width.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>

namespace frame {

// How close, in units in the last place, a value must lie to a whole number for
// WholeIfClose to take it as that number.
inline constexpr double kWholeUlps = 4;

// A number of pixels formed from a fraction of span pixels, taken as the nearest whole
// number when it lies within about kWholeUlps units in the last place of the larger of
// |span| and |pixels| from it; any other value is returned unchanged, bit for bit (NaN and
// the infinities too; a whole value keeps its bits, -0 included).
//
// Why: the fraction and the product each round, so a product meant to be whole lands a
// few units in the last place beside it: 360 x (0.6 - 0.5) is 35.99999999999999. Added to
// pixel positions and truncated, such an offset gives y + 35 where y is small and y + 36
// once y + offset rounds up to the whole number, so one row (or column) across the picture
// would receive nothing. Taken as whole first, it moves every row by the same amount. Its
// errors stay within about one unit of span for fractions up to 1; the margin covers
// fractions a little beyond and values formed in two steps.
inline double WholeIfClose(double pixels, double span) {
    const double whole = std::round(pixels);
    const double near = kWholeUlps * DBL_EPSILON * std::max(std::fabs(span), std::fabs(pixels));
    return std::fabs(pixels - whole) <= near ? whole : pixels;
}

} // namespace frame
