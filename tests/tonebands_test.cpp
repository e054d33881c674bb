// ToneBands: hand-worked values of every filter type on both depths, and whole images
// against a per-value evaluation of the rules written here, for random settings.
#include "support.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace {

struct Settings {
    double type = 0, level = 0.5, start = 0, end = 1, smooth = 0.1;
    double on[4] = {1, 1, 1, 1};
};

const char* kOn[4] = {"Red", "Green", "Blue", "Alpha"};

void Apply(qrvx::Tool& tool, const Settings& s) {
    for (int c = 0; c < 4; ++c) tool.SetNumber(kOn[c], s.on[c]);
    tool.SetNumber("Filter Options", s.type);
    tool.SetNumber("Luminance", s.level);
    tool.SetNumber("Luminance Region Start", s.start);
    tool.SetNumber("Luminance Region End", s.end);
    tool.SetNumber("Smoothness Range", s.smooth);
}

Settings Level(int type, double level, double smooth) {
    Settings s;
    s.type = type, s.level = level, s.smooth = smooth;
    return s;
}
Settings Region(int type, double start, double end, double smooth) {
    Settings s;
    s.type = type, s.start = start, s.end = end, s.smooth = smooth;
    return s;
}

// One channel value through the rules, read from their wording: parameters in 32-bit
// floats, t and the ramps in doubles, results stored as the depth stores them.
double Expected(const Settings& st, double v, bool isFloat) {
    const int type = int(st.type);
    const float sc = isFloat ? 1.0f : 65535.0f;
    const float level = float(st.level), start = float(st.start), end = float(st.end);
    const float s = float(st.smooth);
    const float L = sc * level, SA = sc * start, SB = sc * end, ss = sc * s;
    const float below = L - ss, above = L + ss;
    const bool boost = type == 2 || type == 3 || type == 5 || type == 7;
    const double full = sc, pull = boost ? full : 0.0;
    const double T = (type == 5 || type == 7) ? 1.0 : 0.0;
    const double span = float(1.0 - double(level));
    const double t = v / double(sc);
    auto stored = [&](double unit) {
        const double r = double(sc) * unit;
        return isFloat ? double(float(r)) : std::clamp(std::trunc(r), 0.0, 65535.0);
    };
    // The straight line through (edge, edge) that moves by rise over s, downward side
    // first (dir -1) or upward (dir +1).
    auto line = [&](double edge, double dir, double rise) {
        return edge + (t - edge) / (dir * double(s)) * rise;
    };
    const float f = float(v);
    switch (type) {
    case 0:
    case 2:
        if (f >= L || std::isnan(f)) return v;
        if (f <= below || s == 0) return pull;
        return stored(line(level, -1, type == 2 ? span : T - level));
    case 1:
    case 3:
        if (f <= L || std::isnan(f)) return v;
        if (f >= above || s == 0) return pull;
        return stored(line(level, +1, type == 3 ? span : T - level));
    case 4:
    case 5: {
        if (f < SA || f > SB) return v;
        if (s == 0) return pull;
        const double a = start, b = end, w = s;
        const bool lowEdge = a <= t && t <= a + w, highEdge = b - w <= t && t <= b;
        if (a + w <= t && t <= b - w) return pull;
        if (lowEdge && highEdge && t < b) {
            const double e = double(float(line(a, +1, T - a))) + double(float(line(b, -1, T - b)));
            if (type == 4) return t > e ? stored(e) : stored(t);
            return e * full < full ? stored(e) : full;
        }
        if (highEdge) return stored(line(b, -1, T - b));
        if (lowEdge) return stored(line(a, +1, T - a));
        return pull;
    }
    case 6:
    case 7: {
        if (f >= SA && f <= SB) return v;
        if (s == 0) return pull;
        const double a = start, b = end, w = s;
        if (t <= a - w || t >= b + w) return pull;
        if (b <= t && t <= b + w) return stored(line(b, +1, T - b));
        if (a - w <= t && t <= a) return stored(line(a, -1, T - a));
        return pull;
    }
    default: return v;
    }
}

std::unique_ptr<Image> ExpectedImage(const Image& in, const Settings& st) {
    return test::MakeImage(in.Width(), in.Height(), in.Depth(), [&](int x, int y, int c) {
        const double v = test::At(in, x, y, c);
        return st.on[c] > 0 ? Expected(st, v, in.IsFloat()) : v;
    });
}

// Renders each value as a 9-pixel row (an odd pixel at the end) in every channel and
// returns the outputs, after checking the row agrees throughout.
std::vector<double> Filter(ImageDepth depth, const Settings& st,
                           const std::vector<double>& values) {
    auto tool = test::Load("ToneBands");
    Apply(*tool.tool, st);
    auto in = test::MakeImage(9, int(values.size()), depth,
                              [&](int, int y, int) { return values[std::size_t(y)]; });
    tool->Connect("Input", in.get());
    auto out = tool->Render();
    std::vector<double> result;
    for (int y = 0; y < out->Height(); ++y) {
        for (int x = 0; x < 9; ++x)
            for (int c = 0; c < 4; ++c)
                EXPECT_EQ(test::At(*out, x, y, c), test::At(*out, 0, y, 0))
                    << "value " << values[std::size_t(y)];
        result.push_back(test::At(*out, 0, y, 0));
    }
    return result;
}

struct Worked {
    Settings settings;
    std::vector<std::pair<double, double>> valueAndResult;
};

void Check(ImageDepth depth, const std::vector<Worked>& cases) {
    for (const Worked& w : cases) {
        std::vector<double> in, want;
        for (auto [v, r] : w.valueAndResult) in.push_back(v), want.push_back(r);
        EXPECT_EQ(Filter(depth, w.settings, in), want)
            << "type " << w.settings.type << " level " << w.settings.level << " region "
            << w.settings.start << ".." << w.settings.end << " smoothness " << w.settings.smooth;
    }
}

TEST(ToneBands, FloatWorkedValuesOfEveryType) {
    Check(ImageDepth::Float32,
          {
              {Level(0, 0.5, 0.25), {{0.25, 0}, {0.375, 0.25}, {0.5, 0.5}, {0.8, float(0.8)}}},
              {Level(1, 0.5, 0.25), {{0.625, 0.25}, {0.75, 0}, {0.5, 0.5}}},
              {Level(2, 0.5, 0.25), {{0.375, 0.75}, {0.25, 1}, {-0.5, 1}, {0.5, 0.5}}},
              {Level(3, 0.5, 0.25), {{0.5, 0.5}, {0.625, 0.75}, {0.75, 1}, {1.5, 1}}},
              {Region(4, 0.25, 0.75, 0.125),
               {{0.125, 0.125}, {0.3125, 0.125}, {0.5, 0}, {0.6875, 0.375}}},
              {Region(5, 0.25, 0.75, 0.125),
               {{0.3125, 0.625}, {0.5, 1}, {0.6875, 0.875}, {0.875, 0.875}}},
              {Region(6, 0.25, 0.75, 0.125),
               {{0.0625, 0}, {0.1875, 0.125}, {0.5, 0.5}, {0.8125, 0.375}, {0.875, 0}}},
              {Region(7, 0.25, 0.75, 0.125),
               {{0.0625, 1}, {0.1875, 0.625}, {0.5, 0.5}, {0.8125, 0.875}, {0.875, 1}}},
              // Overlapping soft edges: the two ramps are added.
              {Region(4, 0.5, 0.6875, 0.125), {{0.59375, 0.296875}}},
              {Region(5, 0.5, 0.6875, 0.125), {{0.59375, 1}}},
              {Region(4, 0.5, 0.5625, 0.125), {{0.53125, 0.53125}}},
              {Region(5, 0.5, 0.5625, 0.125), {{0.53125, 1}}},
              // A reversed region: nothing is inside it, everything is outside.
              {Region(4, 0.75, 0.25, 0.125), {{0.1, float(0.1)}, {0.5, 0.5}, {0.9, float(0.9)}}},
              {Region(5, 0.75, 0.25, 0.125), {{0.1, float(0.1)}, {0.5, 0.5}, {0.9, float(0.9)}}},
              {Region(6, 0.75, 0.25, 0.125), {{0.1, 0}, {0.5, 0}, {0.9, 0}}},
              {Region(7, 0.75, 0.25, 0.125), {{0.1, 1}, {0.5, 1}, {0.9, 1}}},
              // No smoothness: a hard step, no ramp.
              {Level(0, 0.5, 0), {{0.49, 0}, {0.5, 0.5}}},
              {Region(4, 0.25, 0.75, 0), {{0.25, 0}, {0.75, 0}, {0.76, float(0.76)}}},
              {Region(7, 0.25, 0.75, 0), {{0.25, 0.25}, {0.2499, 1}, {0.7501, 1}}},
              // Smoothness above the level lifts black.
              {Level(0, 0.5, 1.0), {{0.0, 0.25}, {0.25, 0.375}}},
          });
}

TEST(ToneBands, IntegerWorkedValuesOfEveryType) {
    Check(ImageDepth::Int16,
          {
              {Level(0, 0.5, 0.25), {{16383, 0}, {16384, 0}, {20000, 7232}, {40000, 40000}}},
              {Level(1, 0.5, 0.25), {{40000, 18302}, {49152, 0}, {32767, 32767}}},
              {Level(2, 0.5, 0.25), {{20000, 58302}, {0, 65535}, {32768, 32768}}},
              {Level(3, 0.5, 0.25), {{40000, 47232}, {65535, 65535}, {32767, 32767}}},
              {Region(4, 0.25, 0.75, 0.125), {{20000, 9151}, {40000, 0}, {8000, 8000}}},
              {Region(5, 0.25, 0.75, 0.125), {{20000, 38081}, {45000, 57453}, {40000, 65535}}},
              {Region(6, 0.25, 0.75, 0.125), {{12000, 7616}, {5000, 0}, {30000, 30000}}},
              {Region(7, 0.25, 0.75, 0.125), {{55000, 60848}, {60000, 65535}, {30000, 30000}}},
              {Region(6, 0.75, 0.25, 0.125), {{0, 0}, {30000, 0}, {65535, 0}}},
              {Level(0, 0.5, 0), {{32767, 0}, {32768, 32768}}},
              {Level(0, 0.5, 1.0), {{0, 16383}}},
          });
}

class ToneBands : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("ToneBands");
    std::unique_ptr<Image> Render(const Settings& s, const Image& in) {
        Apply(*t.tool, s);
        t->Connect("Input", &in);
        return t->Render();
    }
};

// A row of the values a few of the depth's steps either side of each edge (unit values).
std::unique_ptr<Image> AroundEdges(ImageDepth depth, const std::vector<double>& edges) {
    std::vector<double> values;
    for (double edge : edges) {
        float f = float(edge);
        for (int i = 0; i < 3; ++i) f = std::nextafter(f, -1e30f);
        for (int i = -3; i <= 3; ++i, f = std::nextafter(f, 1e30f))
            values.push_back(depth == ImageDepth::Float32
                                 ? f
                                 : std::clamp(std::round(edge * 65535) + i, 0.0, 65535.0));
    }
    return test::MakeImage(int(values.size()), 1, depth,
                           [&](int x, int, int) { return values[std::size_t(x)]; });
}

TEST_P(ToneBands, MatchesTheRulesForRandomSettings) {
    // 301 pixels wide: several chunks and an odd pixel; float noise lies in -0.25..1.25.
    auto noise = test::NoiseImage(301, 7, GetParam(), 3);
    std::mt19937 rng;
    std::uniform_real_distribution<double> unit(-0.1, 1.1);
    std::uniform_int_distribution<int> pick(0, 9);
    const double special[] = {0, 0.5, 1, 0.25, 0.125, -0.25, 2};
    auto value = [&] { return pick(rng) < 3 ? special[pick(rng) % 7] : unit(rng); };
    test::OnEachWorker([&] { // the same settings for each
        rng.seed(11), unit.reset(), pick.reset();
        for (int round = 0; round < 200; ++round) {
            Settings s;
            s.type = round % 8;
            s.level = value(), s.start = value(), s.end = value();
            s.smooth = pick(rng) < 2 ? 0.0 : std::abs(value()) * 0.4;
            for (double& on : s.on) on = pick(rng) < 8 ? 1 : 0;
            // Besides noise, the values around the level, the region's ends and a smoothness
            // away from each, where the rules change from one case to the next.
            std::vector<double> edges;
            for (float e : {float(s.level), float(s.start), float(s.end)})
                for (double side : {-1, 0, 1}) edges.push_back(double(e) + side * float(s.smooth));
            const auto around = AroundEdges(GetParam(), edges);
            for (const Image* in : {noise.get(), around.get()})
                ASSERT_TRUE(test::SameImage(*Render(s, *in), *ExpectedImage(*in, s)))
                    << "round " << round << " type " << s.type << " level " << s.level << " region "
                    << s.start << ".." << s.end << " smoothness " << s.smooth;
        }
    });
}

TEST_P(ToneBands, SwitchedOffChannelsAndUnknownTypesCopyBitForBit) {
    // Alpha holds -0, NaN and 7.5 on float images: switched off, it keeps their bits.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const bool isFloat = GetParam() == ImageDepth::Float32;
    auto in = test::MakeImage(13, 3, GetParam(), [&](int x, int y, int c) {
        if (isFloat && c == 3) return x % 3 == 0 ? -0.0 : x % 3 == 1 ? nan : 7.5;
        return double((x * 977 + y * 131 + c * 4099) % 65536) / (isFloat ? 65535.0 : 1.0);
    });
    Settings s;
    s.on[3] = 0;
    EXPECT_TRUE(test::SameImage(*Render(s, *in), *ExpectedImage(*in, s)));
    // A checkbox is on above 0 only; no channel on, or a type the combo box cannot give,
    // passes the image through.
    Settings half = Level(1, 0.0, 0.0);
    for (double& on : half.on) on = 0.5;
    EXPECT_EQ(test::At(*Render(half, *in), 1, 0, 0), 0.0);
    for (double off : {0.0, -1.0}) {
        Settings none;
        for (double& on : none.on) on = off;
        EXPECT_TRUE(test::SameImage(*Render(none, *in), *in));
    }
    for (double type : {8.0, -1.0, 1e12}) {
        Settings odd;
        odd.type = type;
        EXPECT_TRUE(test::SameImage(*Render(odd, *in), *in)) << "type " << type;
    }
}

TEST_P(ToneBands, DefaultsCutAlphaBelowHalfAndNaNControlsCountAsZero) {
    const double scale = test::Scale(GetParam());
    auto in = test::MakeImage(5, 1, GetParam(),
                              [&](int, int, int c) { return (c == 3 ? 0.3 : 0.8) * scale; });
    auto out = Render(Settings{}, *in);
    EXPECT_EQ(test::At(*out, 2, 0, 3), 0.0);
    EXPECT_EQ(test::At(*out, 2, 0, 0), test::At(*in, 2, 0, 0));
    // A fractional type truncates: 2.9 is "lowboost".
    Settings boost;
    boost.type = 2.9;
    EXPECT_EQ(test::At(*Render(boost, *in), 2, 0, 3), scale);
    // NaN everywhere: level 0 and no smoothness, so nothing lies below the level.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Settings broken{nan, nan, nan, nan, nan, {1, 1, 1, 1}};
    EXPECT_TRUE(test::SameImage(*Render(broken, *in), *in));
}

TEST_P(ToneBands, EveryThreadCountAgrees) {
    auto in = test::NoiseImage(523, 190, GetParam(), 5);
    for (int type = 0; type < 8; ++type) {
        Settings s = type < 4 ? Level(type, 0.45, 0.2) : Region(type, 0.3, 0.6, 0.2);
        Apply(*t.tool, s);
        t->Connect("Input", in.get());
        auto one = test::RenderWithThreads(*t.tool, 1);
        for (int threads : test::kThreadCounts)
            ASSERT_TRUE(test::SameImage(*one, *test::RenderWithThreads(*t.tool, threads)))
                << "type " << type << ", threads " << threads;
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, ToneBands, ::testing::ValuesIn(test::kDepths), test::DepthName);

TEST(ToneBands, FilterTypeShowsTheControlsItUses) {
    auto t = test::Load("ToneBands");
    auto shown = [&](const char* id) { return t->FindInput(id).IsVisible(); };
    auto expectLevelShown = [&](bool level, const char* when) {
        EXPECT_EQ(shown("Luminance"), level) << when;
        EXPECT_EQ(shown("Luminance Region Start"), !level) << when;
        EXPECT_EQ(shown("Luminance Region End"), !level) << when;
        EXPECT_TRUE(shown("Smoothness Range")) << when;
    };
    expectLevelShown(true, "new tool");
    t->SetNumber("Filter Options", 4);
    expectLevelShown(false, "range inside cut");
    t->SetNumber("Filter Options", 3);
    expectLevelShown(true, "highboost");
    t->SetNumber("Filter Options", 7);
    expectLevelShown(false, "range outside boost");
    // Only the exact values 0..7 of the combo box change anything.
    for (double v : {2.9, 8.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
        t->SetNumber("Filter Options", v);
        expectLevelShown(false, "after a value that is no entry");
    }
    t->SetNumber("Luminance", 0);
    t->SetNumber("Red", 0);
    expectLevelShown(false, "after other controls");
    t->SetNumber("Filter Options", 0);
    expectLevelShown(true, "lowcut");
}

} // namespace
