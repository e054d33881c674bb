// RangeMap against a per-value reference written here, on both depths.
#include "support.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

struct Settings {
    bool on[4] = {true, true, true, true};
    int ranges = 0, mode = 0;
    double luma[4] = {0, 0, 0, 1};
    double inStart = 0, inEnd = 1, outStart = 0, outEnd = 1;
};

const char* kOn[4] = {"Red", "Green", "Blue", "Alpha"};
const char* kLuma[4] = {"Red Luma", "Green Luma", "Blue Luma", "Alpha Luma"};
const char* kHandles[4] = {"Input Region Start", "Input Region End", "Output Region Start",
                           "Output Region End"};

void Apply(qrvx::Tool& tool, const Settings& s) {
    for (int c = 0; c < 4; ++c) {
        tool.SetNumber(kOn[c], s.on[c]);
        tool.SetNumber(kLuma[c], s.luma[c]);
    }
    tool.SetNumber("Ranges", s.ranges);
    tool.SetNumber("Non Input Values", s.mode);
    const double v[4] = {s.inStart, s.inEnd, s.outStart, s.outEnd};
    const std::string set = s.ranges ? "R2" : "R1";
    for (int k = 0; k < 4; ++k) tool.SetNumber(set + kHandles[k], v[k]);
}

// The mapped value of one channel, stored as the depth stores it.
double Expected(const Settings& s, double v, int c, bool isFloat) {
    const double scale = isFloat ? 1.0 : 65535.0, u = v / scale;
    double r = v;
    if (s.on[c] && s.inStart <= u && u <= s.inEnd) {
        const double t = (u - s.inStart) / (s.inEnd - s.inStart);
        r = (s.inEnd == s.inStart ? s.outStart : t * (s.outEnd - s.outStart) + s.outStart) * scale;
    } else if (s.on[c] && s.mode == 1) {
        r = s.luma[c] * scale;
    }
    if (isFloat) return double(float(r));
    return std::isnan(r) ? 0.0 : std::clamp(std::trunc(r), 0.0, 65535.0);
}

class RangeMap : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("RangeMap");
    bool isFloat = GetParam() == ImageDepth::Float32;
    double scale = test::Scale(GetParam());

    std::unique_ptr<Image> Render(const Settings& s, const Image& in) {
        Apply(*t.tool, s);
        t->Connect("Input", &in);
        return t->Render();
    }
    void ExpectMapped(const Settings& s, const Image& in, const Image& out) {
        for (int y = 0; y < in.Height(); ++y)
            for (int x = 0; x < in.Width(); ++x)
                for (int c = 0; c < 4; ++c) {
                    const double got = test::At(out, x, y, c);
                    const double want = Expected(s, test::At(in, x, y, c), c, isFloat);
                    ASSERT_TRUE(got == want || (std::isnan(got) && std::isnan(want)))
                        << "(" << x << ", " << y << ") channel " << c << ": " << got << " vs "
                        << want;
                }
    }
    // Renders at every thread count of the tests and checks each result.
    void ExpectMappedOnEveryThreadCount(const Settings& s, const Image& in) {
        Apply(*t.tool, s);
        t->Connect("Input", &in);
        for (int threads : test::kThreadCounts) {
            SCOPED_TRACE(std::to_string(threads) + " threads");
            ExpectMapped(s, in, *test::RenderWithThreads(*t.tool, threads));
        }
    }
};

TEST_P(RangeMap, DefaultsLeaveImageUnchanged) {
    auto in = test::NoiseImage(64, 40, GetParam(), 3);
    EXPECT_TRUE(test::SameImage(*Render(Settings{}, *in), *in));
}

TEST_P(RangeMap, QuarterToHalfOntoFullRangeKeepsOrColorizesTheRest) {
    const double values[5] = {0.375, 0.5, 0.25, 0.75, 0.125};
    auto in = test::MakeImage(5, 1, GetParam(), [&](int x, int, int) { return values[x] * scale; });
    Settings s{.inStart = 0.25, .inEnd = 0.5};
    auto kept = Render(s, *in);
    if (isFloat) {
        const double want[5] = {0.5, 1.0, 0.0, 0.75, 0.125};
        for (int x = 0; x < 5; ++x) EXPECT_EQ(test::At(*kept, x, 0, 0), want[x]);
    }
    ExpectMapped(s, *in, *kept);
    s.mode = 1;
    auto colorized = Render(s, *in);
    for (int x : {3, 4}) {
        for (int c = 0; c < 3; ++c) EXPECT_EQ(test::At(*colorized, x, 0, c), 0.0);
        EXPECT_EQ(test::At(*colorized, x, 0, 3), scale);
    }
    s.luma[0] = 0.5;
    EXPECT_EQ(test::At(*Render(s, *in), 3, 0, 0), isFloat ? 0.5 : 32767.0);
}

TEST_P(RangeMap, MatchesTheReferenceForAssortedSettingsOnAnyThreadCount) {
    // Noise, with the values 0, 0.5, 0.25, 1, 0.75 at the start of row 0.
    auto noise = test::NoiseImage(97, 31, GetParam(), 11);
    const double first[5] = {0, 0.5, 0.25, 1, 0.75};
    auto in = test::MakeImage(97, 31, GetParam(), [&](int x, int y, int c) {
        return y == 0 && x < 5 ? first[x] * scale : test::At(*noise, x, y, c);
    });
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // clang-format off
    const Settings cases[] = {
        {.on = {true, false, true, false}, .mode = 1, .luma = {0.2, 0.4, 0.9, 0.5}, .inStart = 0.1, .inEnd = 0.6, .outStart = 0.9, .outEnd = 0.2},
        {.inStart = 0.5, .inEnd = 0.5, .outStart = 0.3, .outEnd = 0.8},    // one value inside
        {.mode = 1, .inStart = 0.7, .inEnd = 0.2},                          // nothing inside
        {.inStart = 0.0, .inEnd = 1.0, .outStart = -0.5, .outEnd = 2.5},    // beyond 0..1
        {.ranges = 1, .mode = 1, .luma = {3, -1, 0.5, 1e30}, .inStart = 0.0, .inEnd = 1.25, .outStart = 0.0, .outEnd = 5.0},
        {.mode = 1, .luma = {nan, 1, 1, 1}, .inStart = nan, .inEnd = 1.0},  // NaN: nothing inside
        {.inStart = 0.0, .inEnd = 1.0, .outStart = 1e300, .outEnd = -1e300},
    };
    // clang-format on
    for (const Settings& s : cases) ExpectMappedOnEveryThreadCount(s, *in);
}

// Every 16-bit value (as such, or over 65535 on float images) in every channel, for
// mappings that rise, fall, leave 0..1 and colorize: integer images look these up in
// tables made per render.
TEST_P(RangeMap, EverySixteenBitValueMapsExactly) {
    auto in = test::MakeImage(256, 256, GetParam(), [&](int x, int y, int c) {
        const double v = double((y * 256 + x + c * 16411) % 65536);
        return isFloat ? v / 65535.0 : v;
    });
    // clang-format off
    const Settings cases[] = {
        {.inStart = 0.25, .inEnd = 0.5},
        {.mode = 1, .luma = {0.3, 0.6, 0.9, 1}, .inStart = 0.25, .inEnd = 0.5},
        {.on = {true, true, false, true}, .inStart = 0.1, .inEnd = 0.6, .outStart = 0.9, .outEnd = 0.2},
        {.inStart = 0.0, .inEnd = 1.0, .outStart = 0.2, .outEnd = 0.7},
        {.inStart = 0.3, .inEnd = 0.4, .outStart = -0.5, .outEnd = 1.5},
        {},
    };
    // clang-format on
    test::OnEachWorker([&] {
        for (const Settings& s : cases) ExpectMapped(s, *in, *Render(s, *in));
    });
}

// Rows of several chunks of vector work and a few pixels after the last whole vector,
// with channels that map differently: switched off, colorized each to its own colour,
// ranges holding every value, none or one.
TEST_P(RangeMap, WideOddRowsWithChannelsThatDiffer) {
    // Values 0..65535 spread over the frame, with runs of equal values and both ends.
    auto noise = test::NoiseImage(389, 9, GetParam(), 5);
    auto in = test::MakeImage(389, 9, GetParam(), [&](int x, int y, int c) {
        if (y == 1) return (x / 7 % 2 ? 0.375 : 0.8) * scale;
        if (y == 2) return double(x % 3 == c % 3) * scale;
        return test::At(*noise, x, y, c);
    });
    // clang-format off
    const Settings cases[] = {
        {.on = {false, true, true, false}, .mode = 1, .luma = {0.1, 0.2, 0.3, 0.4}, .inStart = 0.25, .inEnd = 0.5},
        {.on = {true, false, true, true}, .mode = 1, .luma = {0.7, 0.5, -1, 2}, .inStart = 0.3, .inEnd = 0.45, .outStart = 1, .outEnd = 0},
        {.on = {true, true, true, false}, .inStart = 0.0, .inEnd = 1.0, .outStart = 0.5, .outEnd = 0.25},
        {.mode = 1, .luma = {0.9, 0.8, 0.7, 0.6}, .inStart = 0.0, .inEnd = 1.0, .outStart = 1, .outEnd = 0},
        {.mode = 1, .luma = {0.9, 0.8, 0.7, 0.6}, .inStart = 0.6, .inEnd = 0.4},
        {.on = {false, false, false, false}, .mode = 1, .inStart = 0.25, .inEnd = 0.5},
        {.on = {false, true, false, true}, .mode = 1, .luma = {0.2, 0.4, 0.9, 0.5}, .inStart = 0.375, .inEnd = 0.375, .outStart = 0.6},
    };
    // clang-format on
    test::OnEachWorker([&] {
        for (const Settings& s : cases) ExpectMappedOnEveryThreadCount(s, *in);
    });
}

TEST_P(RangeMap, RangesChoosesTheShownSetAndTheHiddenSetKeepsItsValues) {
    auto in = test::MakeImage(1, 1, GetParam(), [&](int, int, int) { return 0.25 * scale; });
    t->SetNumber("R1Output Region End", 0.5); // 0.25 -> 0.125
    t->SetNumber("R2Output Region End", 2.0); // 0.25 -> 0.5
    auto out = [&](int ranges) {
        t->SetNumber("Ranges", ranges);
        t->Connect("Input", in.get());
        return test::At(*t->Render(), 0, 0, 0) / scale;
    };
    EXPECT_NEAR(out(1), 0.5, 1e-4);
    EXPECT_TRUE(t->FindInput("R2Input Region Start").IsVisible());
    EXPECT_FALSE(t->FindInput("R1Output Region End").IsVisible());
    EXPECT_NEAR(out(0), 0.125, 1e-4);
    EXPECT_FALSE(t->FindInput("R2Output Region End").IsVisible());
    EXPECT_TRUE(t->FindInput("R1Input Region Start").IsVisible());

    EXPECT_FALSE(t->FindInput("Alpha Luma").IsVisible());
    t->SetNumber("Non Input Values", 1);
    EXPECT_TRUE(t->FindInput("Red Luma").IsVisible());
    t->SetNumber("Red", 0); // another input leaves visibility alone
    EXPECT_TRUE(t->FindInput("Alpha Luma").IsVisible());
    t->SetNumber("Non Input Values", 0);
    EXPECT_FALSE(t->FindInput("Green Luma").IsVisible());
}

INSTANTIATE_TEST_SUITE_P(Depths, RangeMap, ::testing::ValuesIn(test::kDepths), test::DepthName);

} // namespace
