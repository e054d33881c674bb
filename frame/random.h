// The random generator of the tools that lay or strew images (Brickwork, Scatter) and
// their rule for choosing an image from a list.
//
// The generator is the classic 32-bit linear congruential one of the Windows C runtime:
// state = state * 214013 + 2531011 (mod 2^32), each draw giving bits 16..30 of the new
// state (0..32767). It is a plain value, so a worker seeds its own and the same seed gives
// the same layout on any thread, and the layouts those tools gave on their first platform.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>

namespace frame {

class Random {
public:
    explicit Random(std::uint32_t seed) : m_state(seed) {}

    // The next draw, 0..32767.
    std::uint32_t Draw() {
        m_state = m_state * 214013u + 2531011u;
        return (m_state >> 16) & 0x7fff;
    }

private:
    std::uint32_t m_state;
};

// Picks a position 0..length-1 of a list with three draws, in this order: a position
// first-1 .. last-1 (first and last count from 1), a spread 0..tolerance, and a side for
// the spread (odd: after, even: before); the result is held to the list. A reversed range
// is taken with its ends swapped and a negative tolerance as 0, so no divisor is 0 or
// wraps. The three draws are always taken.
inline int ChoosePosition(Random& rng, int first, int last, int tolerance, int length) {
    if (last < first) std::swap(first, last);
    const std::uint64_t span = std::uint64_t(std::int64_t(last) - first + 1);
    const std::uint64_t spreads = std::uint64_t(std::max(tolerance, 0)) + 1;
    std::int64_t position = std::int64_t(rng.Draw() % span) + first - 1;
    const std::int64_t spread = std::int64_t(rng.Draw() % spreads);
    position += (rng.Draw() & 1) ? spread : -spread;
    return int(std::clamp<std::int64_t>(position, 0, std::max(length, 1) - 1));
}

// What the controls of that choice do, for the tools that declare them.
struct ChoiceAbout {
    static constexpr const char* kSeed = "Gives another random arrangement; the same seed "
                                         "always gives the same one";
    static constexpr const char* kFirst = "The first place in the list of connected images that "
                                          "the random choice picks from";
    static constexpr const char* kLast = "The last place in the list of connected images that "
                                         "the random choice picks from";
    static constexpr const char* kTolerance = "Lets the random choice stray up to this many "
                                              "places beyond the first and last";
};

} // namespace frame
