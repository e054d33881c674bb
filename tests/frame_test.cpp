// The frame/ helpers that tools build their row passes on: threshold searches over the
// ordered values of each depth, runs of values, flag positions, the wide look-up row and
// the processor probe's switches, and the whole pixel offsets formed from fractions.
#include "frame/offsets.h"
#include "frame/values.h"
#include "frame/wide.h"
#include "support.h"

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

using frame::Bound;
using frame::GreatestWhere;
using frame::Interval;
using frame::LeastWhere;

TEST(Values, IntegerSearchesFindTheThresholdOrNone) {
    using T = std::uint16_t;
    const Bound<T> a = LeastWhere<T>([](T v) { return v >= 1000; });
    EXPECT_TRUE(a.possible);
    EXPECT_EQ(a.k, 1000);
    EXPECT_EQ(LeastWhere<T>([](T) { return true; }).k, 0);
    EXPECT_FALSE(LeastWhere<T>([](T) { return false; }).possible);
    const Bound<T> b = GreatestWhere<T>([](T v) { return v * 3 <= 20; });
    EXPECT_TRUE(b.possible);
    EXPECT_EQ(b.k, 6);
    EXPECT_EQ(GreatestWhere<T>([](T) { return true; }).k, 65535);
    EXPECT_FALSE(GreatestWhere<T>([](T) { return false; }).possible);
    // The tests a bound stands for, and that an impossible bound passes nothing.
    EXPECT_TRUE(frame::AtLeast(T(1000), a));
    EXPECT_FALSE(frame::AtLeast(T(999), a));
    EXPECT_TRUE(frame::AtMost(T(6), b));
    EXPECT_FALSE(frame::AtMost(T(7), b));
    EXPECT_FALSE(frame::AtMost(T(0), Bound<T>{}));
}

TEST(Values, FloatSearchesWalkEveryFloatInOrder) {
    constexpr float inf = std::numeric_limits<float>::infinity();
    const auto least = [](auto test) { return LeastWhere<float>(test).k; };
    const auto greatest = [](auto test) { return GreatestWhere<float>(test).k; };
    EXPECT_EQ(least([](float v) { return v >= 0.5f; }), 0.5f);
    EXPECT_EQ(least([](float v) { return v > 0.5f; }), std::nextafter(0.5f, 1.0f));
    EXPECT_EQ(greatest([](float v) { return v < 0.0f; }),
              -std::numeric_limits<float>::denorm_min());
    // -0 comes just before +0, and both pass v >= 0.
    const float zero = least([](float v) { return v >= 0.0f; });
    EXPECT_EQ(zero, 0.0f);
    EXPECT_TRUE(std::signbit(zero));
    EXPECT_FALSE(std::signbit(least([](float v) { return !std::signbit(v); })));
    // The ends are the infinities.
    EXPECT_EQ(least([](float) { return true; }), -inf);
    EXPECT_EQ(greatest([](float) { return true; }), inf);
    EXPECT_EQ(greatest([](float v) { return v < inf; }), std::numeric_limits<float>::max());
}

TEST(Values, SetPositionsListsTheFlaggedValuesInOrder) {
    std::vector<std::uint8_t> flags(24, 0);
    for (int i : {0, 7, 8, 13, 22, 23}) flags[std::size_t(i)] = 1;
    std::vector<std::uint16_t> at(flags.size() + 8);
    ASSERT_EQ(frame::SetPositions(flags.data(), 24, at.data()), 6);
    EXPECT_EQ(std::vector<std::uint16_t>(at.begin(), at.begin() + 6),
              (std::vector<std::uint16_t>{0, 7, 8, 13, 22, 23}));
    std::fill(flags.begin(), flags.end(), 1);
    ASSERT_EQ(frame::SetPositions(flags.data(), 24, at.data()), 24);
    EXPECT_EQ(at[23], 23);
    std::fill(flags.begin(), flags.end(), 0);
    EXPECT_EQ(frame::SetPositions(flags.data(), 24, at.data()), 0);
}

TEST(Values, TwoRunsFindsUpToTwoRunsOfValues) {
    std::array<Interval, 2> runs;
    ASSERT_TRUE(frame::TwoRuns([](int v) { return v >= 100 && v <= 200; }, runs));
    EXPECT_EQ(runs[0].first, 100);
    EXPECT_EQ(runs[0].last, 200);
    EXPECT_GT(runs[1].first, runs[1].last); // none
    ASSERT_TRUE(frame::TwoRuns([](int v) { return v < 10 || v == 65535; }, runs));
    EXPECT_EQ(runs[0].first, 0);
    EXPECT_EQ(runs[0].last, 9);
    EXPECT_EQ(runs[1].first, 65535);
    EXPECT_EQ(runs[1].last, 65535);
    ASSERT_TRUE(frame::TwoRuns([](int) { return false; }, runs));
    EXPECT_GT(runs[0].first, runs[0].last);
    EXPECT_FALSE(frame::TwoRuns([](int v) { return v % 1000 == 0; }, runs));
}

#ifdef QRVX_WIDE_ROWS
// A classifier for the test below: values 1000..29999 are looked up, the others kept in
// even lanes and replaced in odd ones.
struct TestClass {
    __m512i low, high;
    QRVX_WIDE frame::WideClass operator()(__m512i v) const {
        return {_mm512_cmpge_epu16_mask(v, low) & _mm512_cmple_epu16_mask(v, high), 0x55555555u};
    }
};

QRVX_WIDE void RunWideRow(const std::uint16_t* src, std::uint16_t* dst, int n,
                          const std::uint16_t* table) {
    const TestClass classify{_mm512_set1_epi16(1000), _mm512_set1_epi16(29999)};
    frame::WideLookUpRow(src, dst, n, table, _mm512_set1_epi16(7), classify);
}
#endif

TEST(Wide, LookUpRowMatchesAPlainLoop) {
#ifdef QRVX_WIDE_ROWS
    if (!frame::WideRowsSupported()) GTEST_SKIP() << "no AVX-512 BW and VBMI2 here";
    // Several chunks and a part chunk; the row 64-byte aligned (streamed) and not.
    constexpr int n = frame::kWideChunk * 3 + frame::kWideLanes * 5;
    std::vector<std::uint16_t> table(65536);
    for (std::size_t v = 0; v < table.size(); ++v) table[v] = std::uint16_t(65535 - v);
    std::mt19937 rng(3);
    alignas(64) static std::uint16_t src[n], dst[n + 32];
    for (auto& v : src) v = std::uint16_t(rng() % 40000);
    for (int offset : {0, 1}) {
        RunWideRow(src, dst + offset, n, table.data());
        for (int i = 0; i < n; ++i) {
            const std::uint16_t v = src[i];
            const std::uint16_t expected =
                v >= 1000 && v <= 29999 ? table[v] : (i % 2 == 0 ? v : std::uint16_t(7));
            ASSERT_EQ(dst[offset + i], expected) << "value " << i << " offset " << offset;
        }
    }
#else
    GTEST_SKIP() << "no wide rows on this processor family";
#endif
}

// Every share k/n of a span that is a whole number of pixels comes out whole, at both
// signs and up to twice the span: formed as a share (span x k/n), as a point's distance
// from the middle (span x ((0.5 + k/n) - 0.5)) and from the fraction as typed, the double
// nearest 0.5 + k/n. Added to any position it truncates alike.
// The two switches of the processor probe, for the host's loops and the tools' rows alike:
// QRVX_NO_AVX512 turns off every AVX-512 path and leaves AVX2, QRVX_PORTABLE turns off all.
TEST(Wide, EnvironmentSwitchesTurnVectorPathsOff) {
    using host::Isa;
    const test::ScopedEnv noAvx512("QRVX_NO_AVX512", nullptr), portable("QRVX_PORTABLE", nullptr);
    EXPECT_TRUE(host::CpuHas(Isa::Avx512) || !host::CpuHas(Isa::Avx512Vbmi2));
    for (Isa isa : {Isa::Avx2, Isa::Avx512, Isa::Avx512Vbmi2}) {
        EXPECT_EQ(host::PathTaken(isa), host::CpuHas(isa));
        {
            const test::ScopedEnv off("QRVX_NO_AVX512", "1");
            EXPECT_EQ(host::PathTaken(isa), isa == Isa::Avx2 && host::CpuHas(isa));
        }
        const test::ScopedEnv off("QRVX_PORTABLE", "1");
        EXPECT_FALSE(host::PathTaken(isa));
    }
#ifdef QRVX_WIDE_ROWS
    // The tools' wide rows by the names they ask with.
    EXPECT_EQ(frame::WideRows(), frame::WideRowsSupported());
    for (const char* name : {"QRVX_NO_AVX512", "QRVX_PORTABLE"}) {
        const test::ScopedEnv off(name, "1");
        EXPECT_FALSE(frame::WideRows()) << name;
        EXPECT_FALSE(host::WideVectors()) << name;
    }
#endif
}

TEST(Offsets, SharesOfASpanThatAreWholeComeOutWhole) {
    long snapped = 0;
    for (int span : {360, 1080, 1920, 2160, 4096, 1001}) {
        for (int n = 1; n <= span; ++n) {
            if (span % n != 0) continue;
            for (int k = -2 * n; k <= 2 * n; ++k) {
                const double exact = double(span / n * k);
                const double share = double(k) / n, typed = double(n + 2 * k) / (2 * n);
                for (const double v :
                     {span * share, span * ((0.5 + share) - 0.5), span * (typed - 0.5)}) {
                    const double whole = frame::WholeIfClose(v, span);
                    ASSERT_EQ(whole, exact) << span << " x " << k << "/" << n;
                    snapped += v != exact;
                }
                const double whole = frame::WholeIfClose(span * ((0.5 + share) - 0.5), span);
                for (int x : {0, 1, span / 3, span - 1})
                    ASSERT_EQ(std::trunc(x + whole), x + exact) << span << " x " << k << "/" << n;
            }
        }
    }
    EXPECT_GT(snapped, 1000); // many of them were not whole as computed
}

// Values further than the margin from a whole number keep their bits, as do whole numbers,
// -0, NaN and the infinities; values inside it become whole.
TEST(Offsets, OtherValuesKeepTheirBits) {
    const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
    std::mt19937_64 rng(5);
    for (int span : {1, 360, 1080, 1920, 2160, 4096}) {
        std::uniform_real_distribution<double> any(-2.0 * span, 2.0 * span);
        for (int i = 0; i < 200000; ++i) {
            const double v = any(rng);
            if (std::fabs(v - std::round(v)) < 1e-9) continue;
            ASSERT_EQ(bits(frame::WholeIfClose(v, span)), bits(v)) << v;
        }
        // Shares that are not whole: halves, thirds, shares of one more than the span.
        const auto same = [&](double v) {
            ASSERT_EQ(bits(frame::WholeIfClose(v, span)), bits(v)) << v;
        };
        for (int k = -3 * span; k <= 3 * span; ++k) {
            if (k % 2 != 0) same(k / 2.0);
            if (k % 3 != 0) same(k / 3.0);
            if (std::int64_t(span) * k % (span + 1) != 0) same(span * (double(k) / (span + 1)));
        }
        // Around the margin of 4 units in the last place of the span.
        const double unit = DBL_EPSILON * span;
        for (double w : {0.0, 1.0, 36.0, -36.0, double(span / 2), -double(span)}) {
            if (std::fabs(w) > span) continue;
            EXPECT_EQ(frame::WholeIfClose(w + 2 * unit, span), w) << w;
            EXPECT_EQ(frame::WholeIfClose(w - 2 * unit, span), w) << w;
            const double far = w + 10 * unit;
            EXPECT_EQ(bits(frame::WholeIfClose(far, span)), bits(far)) << w;
        }
    }
    for (double v : {0.0, -0.0, 36.0, -1e300, HUGE_VAL, -HUGE_VAL, std::nan("")})
        EXPECT_EQ(bits(frame::WholeIfClose(v, 360)), bits(v)) << v;
}

} // namespace
