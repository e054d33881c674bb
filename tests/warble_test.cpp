// Warble against a plain in-order scatter written here, on both depths.
#include "frame/offsets.h"
#include "support.h"

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>

namespace {

struct Axis {
    int formula = 0;
    double phase = 0, amplitude = 0.5, frequency = 0.05;
};
struct Channel {
    bool active = true;
    double cx = 0.5, cy = 0.5;
    Axis x, y;
};
using Settings = std::array<Channel, 4>;

enum Formula {
    kNone,
    kSin,
    kCos,
    kTan,
    kLog,
    kExp,
    kAsin,
    kAcos,
    kAtan,
    kSqrt,
    kSec,
    kCosec,
    kCot
};

const char* kName[4] = {"Red", "Green", "Blue", "Alpha"};
const char kLetter[4] = {'R', 'G', 'B', 'A'};

void Apply(qrvx::Tool& tool, const Settings& s) {
    for (int c = 0; c < 4; ++c) {
        const auto id = [&](const char* stem) { return stem + std::string(1, kLetter[c]); };
        const Channel& k = s[c];
        tool.SetNumber(kName[c], k.active ? 1 : 0);
        tool.SetPoint(std::string("Center_") + kName[c], k.cx, k.cy);
        tool.SetNumber(id("FormulaX"), k.x.formula);
        tool.SetNumber(id("phaseX"), k.x.phase);
        tool.SetNumber(id("amplitudeX"), k.x.amplitude);
        tool.SetNumber(id("frequencyX"), k.x.frequency);
        tool.SetNumber(id("FormulaY"), k.y.formula);
        tool.SetNumber(id("phaseY"), k.y.phase);
        tool.SetNumber(id("amplitudeY"), k.y.amplitude);
        tool.SetNumber(id("frequencyY"), k.y.frequency);
    }
}

double F(int formula, double a) {
    // clang-format off
    static double (*const fn[13])(double) = {
        nullptr, [](double v) { return std::sin(v); }, [](double v) { return std::cos(v); },
        [](double v) { return std::tan(v); }, [](double v) { return std::log(v); },
        [](double v) { return std::exp(v); }, [](double v) { return std::asin(v); },
        [](double v) { return std::acos(v); }, [](double v) { return std::atan(v); },
        [](double v) { return std::sqrt(v); }, [](double v) { return 1 / std::cos(v); },
        [](double v) { return 1 / std::sin(v); }, [](double v) { return 1 / std::tan(v); }};
    // clang-format on
    return fn[formula](a);
}

// The displacement at a position along an axis whose phase counts in `length` units.
double Displace(const Axis& a, int pos, int length, double offset) {
    const bool wave = a.formula >= 1 && a.formula <= 12;
    return (wave ? F(a.formula, (pos + a.phase * length) * a.frequency) * (a.amplitude * 100)
                 : 0.0) +
           offset;
}

// Every source pixel, in row-major order, writes each channel at its truncated target
// over a zeroed output; targets outside the image (NaN included) are skipped. The
// centre's shift is taken as whole within a few units in the last place of a whole number.
// `overwrites` counts writes onto a channel value an earlier source already wrote.
std::unique_ptr<Image> Reference(const Image& in, const Settings& s, long* overwrites = nullptr) {
    const int w = in.Width(), h = in.Height();
    auto out = test::MakeImage(w, h, in.Depth(), [](int, int, int) { return 0.0; });
    std::vector<bool> written(std::size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) {
                const Channel& k = s[c];
                double tx = x, ty = y;
                if (k.active) {
                    tx = std::trunc(x +
                                    Displace(k.x, y, h, frame::WholeIfClose(w * (k.cx - 0.5), w)));
                    ty = std::trunc(y +
                                    Displace(k.y, x, w, frame::WholeIfClose(h * (k.cy - 0.5), h)));
                }
                if (!(tx >= 0 && tx < w && ty >= 0 && ty < h)) continue;
                const std::size_t i = (std::size_t(ty) * w + std::size_t(tx)) * 4 + c;
                if (overwrites && written[i]) ++*overwrites;
                written[i] = true;
                test::Set(*out, int(tx), int(ty), c, test::At(in, x, y, c));
            }
    return out;
}

class Warble : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("Warble");
    std::unique_ptr<Image> input = test::NoiseImage(120, 100, GetParam(), 3);

    std::unique_ptr<Image> Render(const Settings& s) {
        Apply(*t.tool, s);
        t->Connect("Input", input.get());
        return t->Render();
    }
    double In(int x, int y, int c) const { return test::At(*input, x, y, c); }
};

TEST_P(Warble, IdentityWithoutWavesOrWithEveryChannelInactive) {
    EXPECT_TRUE(test::SameImage(*Render(Settings{}), *input));
    // "None" means no wave, whatever the amplitude says.
    Settings still;
    for (Channel& k : still) k.x.amplitude = std::numeric_limits<double>::quiet_NaN();
    EXPECT_TRUE(test::SameImage(*Render(still), *input));
    Settings off;
    for (Channel& k : off) {
        k.active = false;
        k.cx = 0.9, k.cy = 0.1;
        k.x = {kTan, 0.3, 2.0, 0.7};
        k.y = {kAsin, 0.0, 1.0, 0.05};
    }
    EXPECT_TRUE(test::SameImage(*Render(off), *input));
}

TEST_P(Warble, CentreShiftsTheWholeChannel) {
    Settings s;
    s[0].cx = 0.75, s[0].cy = 0.3; // red: 30 right, 20 up
    s[3].cx = 0.5 - 0.5 / 120;     // alpha: half a pixel left
    auto out = Render(s);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 120; ++x) {
            const bool reached = x >= 30 && y < 80;
            ASSERT_EQ(test::At(*out, x, y, 0), reached ? In(x - 30, y + 20, 0) : 0.0)
                << x << "," << y;
            ASSERT_EQ(test::At(*out, x, y, 1), In(x, y, 1));
            ASSERT_EQ(test::At(*out, x, y, 2), In(x, y, 2));
            // Columns 0 and 1 both land on column 0; column 1 comes later and wins.
            ASSERT_EQ(test::At(*out, x, y, 3), x == 119 ? 0.0 : In(x + 1, y, 3));
        }
}

// A centre a tenth (or 0.2) of the frame from the middle moves every row (or column) of
// the channel by the same amount, on 360, 1080 and 1920 pixels: 360 x (0.6 - 0.5) is
// 35.99999999999999, which truncated with each row as it stands would shift small rows
// by 35 and the others by 36, leaving one row out. With a wave in the other direction too.
TEST_P(Warble, ACentreAShareOfTheFrameAwayMovesEveryRowOrColumnAlike) {
    for (int size : {360, 1080, 1920})
        for (auto [point, shift] :
             {std::pair{0.6, size / 10}, std::pair{0.7, size / 5}, std::pair{0.4, -size / 10}})
            for (bool rows : {true, false}) {
                Settings s;
                (rows ? s[0].cy : s[0].cx) = point;
                input = test::NoiseImage(rows ? 3 : size, rows ? size : 3, GetParam(), 8);
                const int w = input->Width(), h = input->Height();
                auto out = Render(s);
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const int sx = rows ? x : x - shift, sy = rows ? y - shift : y;
                        const bool inside = sx >= 0 && sx < w && sy >= 0 && sy < h;
                        ASSERT_EQ(test::At(*out, x, y, 0), inside ? In(sx, sy, 0) : 0.0)
                            << size << (rows ? " rows" : " columns") << ", point " << point
                            << ", at " << x << ", " << y;
                        for (int c = 1; c < 4; ++c) ASSERT_EQ(test::At(*out, x, y, c), In(x, y, c));
                    }
                // A wave across the shift leaves the shift itself whole.
                (rows ? s[0].x : s[0].y) = {kSin, 0, 0.02, 0.3};
                EXPECT_TRUE(test::SameImage(*Render(s), *Reference(*input, s)));
            }
}

TEST_P(Warble, SineRowsMoveByFiftySinePixels) {
    Settings s;
    s[1].x.formula = kSin; // green, amplitude 0.5, frequency 0.05, phase 0
    auto out = Render(s);
    // Row 31: 50 sin(1.55) = 49.98, so x lands on x + 49.
    for (int x = 0; x < 120; ++x)
        ASSERT_EQ(test::At(*out, x, 31, 1), x < 49 ? 0.0 : In(x - 49, 31, 1));
    // Row 94: 50 sin(4.7) = -49.99; x = 49 and x = 50 both land on column 0, and 50 wins.
    for (int x = 0; x < 120; ++x)
        ASSERT_EQ(test::At(*out, x, 94, 1), x >= 70 ? 0.0 : In(x + 50, 94, 1));
    EXPECT_TRUE(test::SameImage(*out, *Reference(*input, s)));
}

TEST_P(Warble, OnlyTheMovedChannelChanges) {
    Settings s;
    for (Channel& k : s) k.active = false;
    s[0] = {true, 0.45, 0.6, {kSin, 0.2, 0.3, 0.1}, {kCos, 0.7, 0.2, 0.13}};
    auto out = Render(s);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 120; ++x)
            for (int c = 1; c < 4; ++c) ASSERT_EQ(test::At(*out, x, y, c), In(x, y, c));
    EXPECT_TRUE(test::SameImage(*out, *Reference(*input, s)));
}

TEST_P(Warble, NonFiniteDisplacementsDropTheirPixels) {
    Settings s;
    s[2].y.formula = kAsin; // blue: columns from 21 on have no arc sine of 0.05 x
    auto out = Render(s);
    for (int y = 0; y < 100; ++y)
        for (int x = 21; x < 120; ++x) ASSERT_EQ(test::At(*out, x, y, 2), 0.0);
    EXPECT_TRUE(test::SameImage(*out, *Reference(*input, s)));
}

// A displacement just below 3 (EXP at frequency 0 is 1, times the amplitude): x + d
// truncates to x + 2 for small x but rounds up to x + 3 from x = 2048 on.
TEST_P(Warble, NearlyWholeDisplacementsTruncateLikeTheSequentialRun) {
    const double amplitude = (3 - std::ldexp(1.0, -42)) / 100;
    ASSERT_EQ(std::trunc(2099 + amplitude * 100), 2102.0);
    ASSERT_EQ(std::trunc(5 + amplitude * 100), 7.0);
    Settings s;
    s[0].x = {kExp, 0, amplitude, 0};
    s[2].y = {kExp, 0, amplitude, 0};
    for (auto [w, h] : {std::pair{2100, 5}, std::pair{5, 2100}}) {
        input = test::NoiseImage(w, h, GetParam(), 5);
        EXPECT_TRUE(test::SameImage(*Render(s), *Reference(*input, s))) << w << "x" << h;
    }
}

// Random settings, extreme and non-finite values among them, against the in-order
// scatter, on one and on several threads. Every fourth round moves all four channels
// alike. The image is wider than the tool's replay tiles.
TEST_P(Warble, MatchesTheInOrderScatterForRandomSettingsOnAnyThreadCount) {
    input = test::NoiseImage(600, 40, GetParam(), 11);
    std::mt19937 rng(6);
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = HUGE_VAL;
    const double wild[] = {nan, inf, -inf, 1e300, -1e300, 1e9, -3.5, 0.0};
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::uniform_int_distribution<int> pick(0, 9), formula(-1, 13);
    auto value = [&](double low, double high) {
        return pick(rng) == 0 ? wild[pick(rng) % 8] : low + (high - low) * unit(rng);
    };
    long overwrites = 0;
    for (int round = 0; round < 60; ++round) {
        Settings s;
        for (Channel& k : s) {
            k.active = pick(rng) != 0;
            k.cx = value(0.3, 0.7), k.cy = value(0.3, 0.7);
            for (Axis* a : {&k.x, &k.y})
                *a = {pick(rng) < 2 ? kSin : formula(rng), value(0, 1), value(0, 0.3),
                      value(0, 0.5)};
        }
        if (round % 4 == 0) s[0].active = true, s.fill(s[0]);
        Apply(*t.tool, s);
        t->Connect("Input", input.get());
        const auto expected = Reference(*input, s, &overwrites);
        for (int threads : test::kThreadCounts)
            ASSERT_TRUE(test::SameImage(*test::RenderWithThreads(*t.tool, threads), *expected))
                << "round " << round << ", threads " << threads;
    }
    EXPECT_GT(overwrites, 1000); // the settings did make sources collide
}

INSTANTIATE_TEST_SUITE_P(Depths, Warble, ::testing::ValuesIn(test::kDepths), test::DepthName);

} // namespace
