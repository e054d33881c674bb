// Tools that decide channel values by thresholds (ToneBands) use these: the values of a
// depth in increasing order, the searches that turn a test into a threshold, the runs of
// 16-bit values a test holds for, and the positions of the values a pass has flagged.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace frame {

// A threshold on channel values of type T: the test v >= k (or v <= k), or a test no value
// passes. Both tests are branch-free, so that a classifying pass can run them on every
// value.
template <class T>
struct Bound {
    T k{};
    bool possible = false;
};
template <class T>
bool AtLeast(T v, const Bound<T>& b) {
    return (v >= b.k) & b.possible;
}
template <class T>
bool AtMost(T v, const Bound<T>& b) {
    return (v <= b.k) & b.possible;
}

// The values of T in increasing order, by index: for integer images the values
// themselves; for float images every non-NaN float from -inf to +inf, negative floats
// indexed by their inverted bits and the others with the sign bit set (-0 and +0 are
// neighbours, -0 first).
template <class T>
struct Order;
template <>
struct Order<std::uint16_t> {
    static constexpr std::int64_t kFirst = 0, kLast = 65535;
    static std::uint16_t At(std::int64_t i) { return std::uint16_t(i); }
};
template <>
struct Order<float> {
    static constexpr std::int64_t kFirst = 0x007FFFFF, kLast = 0xFF800000;
    static float At(std::int64_t i) {
        const auto key = std::uint32_t(i);
        return std::bit_cast<float>(key & 0x80000000u ? key & 0x7FFFFFFFu : ~key);
    }
};

// The least value of T for which test holds, where test holds for every value above one
// that passes; or a bound no value passes. Found by halving the ordered values.
template <class T, class Test>
Bound<T> LeastWhere(Test test) {
    std::int64_t lo = Order<T>::kFirst, hi = Order<T>::kLast + 1; // kLast + 1: none
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo) / 2;
        if (test(Order<T>::At(mid)))
            hi = mid;
        else
            lo = mid + 1;
    }
    return lo > Order<T>::kLast ? Bound<T>{} : Bound<T>{Order<T>::At(lo), true};
}

// The greatest value of T for which test holds, where test holds for every value below
// one that passes; or a bound no value passes.
template <class T, class Test>
Bound<T> GreatestWhere(Test test) {
    std::int64_t lo = Order<T>::kFirst - 1, hi = Order<T>::kLast; // kFirst - 1: none
    while (lo < hi) {
        const std::int64_t mid = lo + (hi - lo + 1) / 2;
        if (test(Order<T>::At(mid)))
            lo = mid;
        else
            hi = mid - 1;
    }
    return lo < Order<T>::kFirst ? Bound<T>{} : Bound<T>{Order<T>::At(lo), true};
}

// For every 8-bit mask, the positions of its set bits, lowest first.
inline constexpr auto kSetBits = [] {
    std::array<std::array<std::uint16_t, 8>, 256> table{};
    for (unsigned m = 0; m < 256; ++m) {
        int n = 0;
        for (unsigned bit = 0; bit < 8; ++bit)
            if (m & (1u << bit)) table[m][std::size_t(n++)] = std::uint16_t(bit);
    }
    return table;
}();

// Writes the positions of the non-zero flags (each 0 or 1) among flags[0, n) to at, n a
// multiple of 8, and returns how many there are. at must hold n + 8 entries: each step
// writes eight positions and keeps as many as it found.
inline int SetPositions(const std::uint8_t* flags, int n, std::uint16_t* at) {
    int count = 0;
    for (int i = 0; i < n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, flags + i, 8);
        // Gathers the low bit of each byte into the top byte: bit j is flag i + j.
        const unsigned mask = unsigned((word * 0x0102040810204080ull) >> 56);
        const std::array<std::uint16_t, 8>& bits = kSetBits[mask];
        for (int j = 0; j < 8; ++j) at[count + j] = std::uint16_t(bits[std::size_t(j)] + i);
        count += std::popcount(mask);
    }
    return count;
}

// An interval of 16-bit values, first..last; 1..0 holds none.
struct Interval {
    int first = 1, last = 0;
};

// The runs of consecutive values (0..65535) for which has holds, lowest first; false when
// there are more than two.
template <class Has>
bool TwoRuns(Has has, std::array<Interval, 2>& runs) {
    runs = {};
    int count = 0;
    for (int v = 0; v < 65536; ++v) {
        if (!has(v)) continue;
        if (count > 0 && runs[std::size_t(count - 1)].last == v - 1) {
            runs[std::size_t(count - 1)].last = v;
            continue;
        }
        if (count == 2) return false;
        runs[std::size_t(count++)] = {v, v};
    }
    return true;
}

} // namespace frame
