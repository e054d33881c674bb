// Striper against a reference that lays the output out line by line from the pattern of
// one period, on both depths.
#include "support.h"

#include <cmath>
#include <random>
#include <vector>

namespace {

struct Direction {
    bool active = false, stretch = false, colourFirst = false;
    int inputLines = 1, colourLines = 1;
    double colour[4] = {0, 0, 0, 1};
};
struct Settings {
    Direction h{.active = true}, v;
    int blend = 0;
};

void Apply(qrvx::Tool& tool, const Settings& s) {
    const char* names[4] = {"Red", "Green", "Blue", "Alpha"};
    for (const auto& [d, x] : {std::pair{&s.h, std::string("H")}, {&s.v, std::string("V")}}) {
        tool.SetNumber("Mode" + x, d->stretch);
        tool.SetNumber("Scanline Order" + x, d->colourFirst);
        tool.SetNumber(x + "scanlines showing input", d->inputLines);
        tool.SetNumber(x + "scanlines showing Color", d->colourLines);
        for (int c = 0; c < 4; ++c) tool.SetNumber(names[c] + x, d->colour[c]);
        tool.SetNumber("activate Scanlines" + x, d->active);
    }
    tool.SetNumber("Blend Mode", s.blend);
}

// The input line each output line shows (-1: a colour line), laid out period by period.
std::vector<int> Lines(const Direction& d, int size) {
    std::vector<bool> period; // true: shows input
    if (d.colourFirst) period.insert(period.end(), d.colourLines, false);
    period.insert(period.end(), d.inputLines, true);
    if (!d.colourFirst) period.insert(period.end(), d.colourLines, false);
    std::vector<int> lines;
    if (!d.active) {
        for (int i = 0; i < size; ++i) lines.push_back(i);
    } else if (d.stretch) {
        for (int i = 0; i < size; ++i)
            for (bool input : period) lines.push_back(input ? i : -1);
    } else {
        for (int i = 0; i < size; ++i) lines.push_back(period[i % period.size()] ? i : -1);
    }
    return lines;
}

double Crossing(int blend, double h, double v) {
    if (blend == 1) return v + h;
    if (blend == 2) return h - v;
    if (blend == 3) return v * h;
    if (blend == 4) return v == 0 ? (h == 0 ? 0 : 1) : h / v;
    return v;
}

std::unique_ptr<Image> Reference(const Image& in, const Settings& s) {
    const std::vector<int> cols = Lines(s.v, in.Width()), rows = Lines(s.h, in.Height());
    const double scale = test::Scale(in);
    const int w = int(cols.size()), h = int(rows.size());
    return test::MakeImage(w, h, in.Depth(), [&](int x, int y, int c) {
        const int sx = cols[std::size_t(x)], sy = rows[std::size_t(y)];
        if (sx >= 0 && sy >= 0) return test::At(in, sx, sy, c);
        const double v = sx >= 0   ? s.h.colour[c]
                         : sy >= 0 ? s.v.colour[c]
                                   : Crossing(s.blend, s.h.colour[c], s.v.colour[c]);
        const double clamped = std::max(0.0, std::min(v * scale, 65535.0)); // NaN, -0: 0
        return in.IsFloat() ? clamped : std::trunc(clamped);
    });
}

class Striper : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("Striper");
    std::unique_ptr<Image> input = test::NoiseImage(41, 23, GetParam(), 5);
    double scale = test::Scale(GetParam());

    std::unique_ptr<Image> Render(const Settings& s, int threads = 0) {
        Apply(*t.tool, s);
        t->Connect("Input", input.get());
        return test::RenderWithThreads(*t.tool, threads);
    }
};

TEST_P(Striper, BothDirectionsOffGiveAnExactCopy) {
    Settings s;
    s.h.active = false;
    s.h.stretch = s.v.stretch = true;
    EXPECT_TRUE(test::SameImage(*Render(s), *input));
}

TEST_P(Striper, DefaultsHideOddRowsAndStretchRepeatsEachRow) {
    auto out = Render(Settings{});
    EXPECT_EQ(test::At(*out, 5, 0, 1), test::At(*input, 5, 0, 1));
    EXPECT_EQ(test::At(*out, 5, 1, 0), 0.0);
    EXPECT_EQ(test::At(*out, 5, 1, 3), scale);

    input = test::NoiseImage(7, 100, GetParam(), 9);
    Settings s;
    s.h.stretch = true;
    s.h.inputLines = 2;
    out = Render(s);
    ASSERT_EQ(out->Height(), 300);
    for (int k = 0; k < 100; ++k) {
        EXPECT_EQ(test::At(*out, 3, 3 * k, 0), test::At(*input, 3, k, 0));
        EXPECT_EQ(test::At(*out, 3, 3 * k + 1, 2), test::At(*input, 3, k, 2));
        EXPECT_EQ(test::At(*out, 3, 3 * k + 2, 3), scale);
    }
}

TEST_P(Striper, CrossingsBlendAndClamp) {
    Settings s;
    s.v.active = true;
    s.h.colour[0] = s.v.colour[0] = 0.6;
    s.blend = 1; // add: 1.2
    EXPECT_EQ(test::At(*Render(s), 1, 1, 0), scale == 1.0 ? float(1.2) : 65535.0);
    s.v.colour[0] = 0.8;
    s.blend = 2; // subtract a brighter vertical colour: below 0
    EXPECT_EQ(test::At(*Render(s), 1, 1, 0), 0.0);
    s.h.colour[1] = 1.5; // typed above 1: kept on float images
    EXPECT_EQ(test::At(*Render(s), 0, 1, 1), scale == 1.0 ? 1.5 : 65535.0);
}

TEST_P(Striper, MatchesTheReferenceForRandomSettingsOnAnyThreadCount) {
    std::mt19937 rng(17);
    auto pick = [&](int n) { return int(rng() % unsigned(n)); };
    for (int round = 0; round < 40; ++round) {
        Settings s;
        for (Direction* d : {&s.h, &s.v}) {
            d->active = pick(4) != 0;
            d->stretch = pick(3) == 0;
            d->colourFirst = pick(2) == 1;
            d->inputLines = 1 + pick(4);
            d->colourLines = 1 + pick(3);
            for (double& c : d->colour) c = pick(7) * 0.25 - 0.25;
        }
        s.blend = pick(6);
        const auto expected = Reference(*input, s);
        for (int threads : test::kThreadCounts)
            ASSERT_TRUE(test::SameImage(*Render(s, threads), *expected))
                << "round " << round << ", threads " << threads;
    }
}

TEST_P(Striper, OversizeStretchIsRefusedWithAnError) {
    Settings s;
    s.h.stretch = s.v.active = s.v.stretch = true;
    s.h.inputLines = s.h.colourLines = s.v.inputLines = s.v.colourLines = 255;
    const std::int64_t limit = qrvx::MaxImagePixels();
    qrvx::SetMaxImagePixels(1 << 20);
    EXPECT_THROW(Render(s), HostError); // 20910 x 11730
    qrvx::SetMaxImagePixels(limit);
    // A width whose stretch leaves the int range: refused, not wrapped around.
    input = qrvx::MakeImage(5'000'000, 1, GetParam());
    s.h.active = false;
    try {
        Render(s);
        FAIL() << "no error";
    } catch (const HostError& e) {
        EXPECT_NE(std::string(e.what()).find("2550000000"), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, Striper, ::testing::ValuesIn(test::kDepths), test::DepthName);

} // namespace
