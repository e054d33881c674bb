// Throng against hand-worked placements and against a one-by-one scan written here, on
// both depths and at several thread counts.
#include "support.h"

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>

namespace {

constexpr int kW = 200, kH = 120;

struct Settings {
    std::array<const Image*, 4> figure{};
    std::array<std::array<double, 4>, 4> colour{};
    std::array<double, 4> tolerance{};
};

// The scan done one pixel and one figure at a time, each figure drawn over the whole
// image with the host's merge.
std::unique_ptr<Image> Reference(const Image& input, const Image* marker, const Settings& s) {
    auto out = qrvx::MakeImage(input.Width(), input.Height(), input.Depth());
    if (!marker || marker->Width() != input.Width() || marker->Height() != input.Height()) {
        FltPixel red;
        red.R = 1;
        out->Fill(red);
        return out;
    }
    out->Fill(IntPixel{});
    const double scale = test::Scale(input);
    for (int y = 0; y < marker->Height(); ++y)
        for (int x = 0; x < marker->Width(); ++x) {
            double m[4];
            bool black = true;
            for (int c = 0; c < 4; ++c) {
                m[c] = test::At(*marker, x, y, c);
                black = black && m[c] == 0;
            }
            if (black) continue;
            for (int k = 0; k < 4; ++k) {
                const Image* fig = s.figure[k];
                if (!fig) continue;
                const double reach = double(float(s.tolerance[k])) * scale;
                bool match = true;
                for (int c = 0; c < 4; ++c) {
                    const double centre = float(s.colour[k][c] * scale);
                    match = match && centre - reach <= m[c] && m[c] <= centre + reach;
                }
                if (match) out->OXMerge(*fig, x - fig->Width() / 2, y - fig->Height() / 2);
            }
        }
    return out;
}

class Throng : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("Throng");
    ImageDepth depth = GetParam();
    double scale = test::Scale(depth);
    std::unique_ptr<Image> input = test::NoiseImage(kW, kH, depth, 3);
    std::unique_ptr<Image> marker = Blank(kW, kH);

    std::unique_ptr<Image> Blank(int w, int h) const {
        return test::MakeImage(w, h, depth, [](int, int, int) { return 0.0; });
    }
    // An opaque figure whose every pixel differs from its neighbours.
    std::unique_ptr<Image> Opaque(int w, int h, double base) const {
        return test::MakeImage(w, h, depth, [&](int x, int y, int c) {
            return c == 3 ? scale : Unit((base + 0.01 * x + 0.003 * y + 0.1 * c) / 3.0);
        });
    }
    // A figure with varying, partial alpha (premultiplied colour), so draw order shows.
    std::unique_ptr<Image> Translucent(int w, int h, unsigned seed) const {
        std::mt19937 rng(seed);
        return test::MakeImage(w, h, depth,
                               [&](int, int, int) { return Unit((rng() % 1000) / 1000.0); });
    }
    double Unit(double v) const {
        return depth == ImageDepth::Float32 ? v : std::trunc(v * 65535.0);
    }

    void Dot(int x, int y, std::array<double, 4> v) {
        for (int c = 0; c < 4; ++c) test::Set(*marker, x, y, c, Unit(v[c]));
    }

    std::unique_ptr<Image> Render(const Settings& s, int threads = 0) {
        static const char* channel[] = {"Red", "Green", "Blue", "Alpha"};
        for (int k = 0; k < 4; ++k) {
            const std::string n = std::to_string(k + 1);
            t->Connect("Folk " + n, s.figure[k]);
            for (int c = 0; c < 4; ++c) t->SetNumber(n + channel[c], s.colour[k][c]);
            t->SetNumber("Tolerance " + n, s.tolerance[k]);
        }
        t->Connect("Input", input.get());
        t->Connect("Throng", marker.get());
        return test::RenderWithThreads(*t.tool, threads);
    }

    ::testing::AssertionResult MatchesReference(const Settings& s) {
        const auto expected = Reference(*input, marker.get(), s);
        for (int threads : test::kThreadCounts) {
            auto r = test::SameImage(*Render(s, threads), *expected);
            if (!r) return r << " (" << threads << " threads)";
        }
        return ::testing::AssertionSuccess();
    }

    int Covered(const Image& out) const {
        int n = 0;
        for (int y = 0; y < out.Height(); ++y)
            for (int x = 0; x < out.Width(); ++x) n += test::At(out, x, y, 3) != 0;
        return n;
    }
};

TEST_P(Throng, FigureIsCentredOnItsMarkerPixel) {
    const auto fig = Opaque(21, 41, 0.2);
    Dot(100, 50, {1, 0, 0, 1});
    Settings s;
    s.figure[0] = fig.get();
    s.colour[0] = {1, 0, 0, 1};
    const auto out = Render(s);
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(test::At(*out, 90, 30, c), test::At(*fig, 0, 0, c));
        EXPECT_EQ(test::At(*out, 110, 70, c), test::At(*fig, 20, 40, c));
    }
    EXPECT_EQ(Covered(*out), 21 * 41);
}

TEST_P(Throng, ToleranceWindowIsInclusiveAndPerChannel) {
    const auto fig = Opaque(3, 3, 0.5);
    Settings s;
    s.figure[0] = fig.get();
    s.colour[0] = {1, 0, 0, 1};
    s.tolerance[0] = 0.1;
    Dot(20, 20, {0.95, 0.05, 0, 1});
    Dot(60, 20, {0.85, 0, 0, 1});
    Dot(100, 20, {1, 0.15, 0, 1});
    auto out = Render(s);
    EXPECT_EQ(test::At(*out, 20, 20, 3), scale);
    EXPECT_EQ(Covered(*out), 9);

    // Tolerance 0 asks for the exact value: full value matches, one step less does not.
    marker = Blank(kW, kH);
    s.colour[0] = {1, 1, 1, 1};
    s.tolerance[0] = 0;
    Dot(20, 20, {1, 1, 1, 1});
    Dot(60, 20, {1, 1, 1, 1});
    test::Set(*marker, 60, 20, 1, depth == ImageDepth::Float32 ? 0.99999 : 65534);
    out = Render(s);
    EXPECT_EQ(test::At(*out, 20, 20, 3), scale);
    EXPECT_EQ(Covered(*out), 9);
    EXPECT_TRUE(MatchesReference(s));
}

TEST_P(Throng, BlackMarkersNaNsAndUnconnectedFiguresPlaceNothing) {
    const auto fig = Opaque(5, 5, 0.1);
    Settings s;
    s.figure[1] = fig.get();
    s.tolerance[1] = 0.5; // colour (0, 0, 0, 0): would take any dark pixel
    auto out = Render(s);
    EXPECT_EQ(Covered(*out), 0);
    Dot(30, 30, {0.2, 0, 0, 0});
    EXPECT_EQ(Covered(*Render(s)), 25);

    const double nan = std::numeric_limits<double>::quiet_NaN();
    s.tolerance[1] = nan;
    EXPECT_EQ(Covered(*Render(s)), 0);
    s.tolerance[1] = 0.5;
    s.colour[1][2] = nan;
    EXPECT_EQ(Covered(*Render(s)), 0);

    // Figure 1's colour matches, but it has no image; figure 2 still draws.
    s.colour[1][2] = 0;
    s.colour[0] = {0.2, 0, 0, 0};
    EXPECT_EQ(Covered(*Render(s)), 25);
}

// The scan skips black runs of pixels at once: a dot in any column, up to the last of a
// width that is no whole number of runs, still places its figure, and a run of
// negative-zero pixels (black too) places nothing.
TEST_P(Throng, DotsInEveryColumnArePlaced) {
    input = test::NoiseImage(203, 20, depth, 5);
    marker = Blank(203, 20);
    const auto fig = Translucent(3, 3, 4);
    Settings s;
    s.figure[0] = fig.get();
    s.colour[0] = {1, 0, 0, 1};
    for (int x = 0; x < 203; ++x) Dot(x, 3 + x % 13, {1, 0, 0, 1});
    if (depth == ImageDepth::Float32)
        for (int x = 100; x < 140; ++x)
            for (int c = 0; c < 4; ++c) test::Set(*marker, x, 17, c, -0.0);
    EXPECT_TRUE(MatchesReference(s));
}

TEST_P(Throng, LaterDrawsLieOverEarlierOnes) {
    const auto red =
        test::MakeImage(9, 9, depth, [&](int, int, int c) { return c == 0 || c == 3 ? scale : 0; });
    const auto blue =
        test::MakeImage(5, 5, depth, [&](int, int, int c) { return c == 2 || c == 3 ? scale : 0; });
    Settings s;
    s.figure[0] = red.get();
    s.figure[1] = blue.get();
    s.colour[0] = s.colour[1] = {0, 1, 0, 1};
    // Both figures on one pixel: figure 2 over figure 1.
    Dot(40, 40, {0, 1, 0, 1});
    auto out = Render(s);
    EXPECT_EQ(test::At(*out, 40, 40, 2), scale);
    EXPECT_EQ(test::At(*out, 40, 40, 0), 0.0);
    EXPECT_EQ(test::At(*out, 36, 40, 0), scale);

    // A later marker, on the same row and on the row below, covers an earlier one.
    s.figure[1] = nullptr;
    s.figure[0] = red.get();
    marker = Blank(kW, kH);
    const auto other = Opaque(9, 9, 0.7);
    s.figure[2] = other.get();
    s.colour[2] = {0, 0, 1, 1};
    Dot(80, 40, {0, 1, 0, 1});
    Dot(83, 40, {0, 0, 1, 1});
    Dot(80, 42, {0, 1, 0, 1});
    out = Render(s);
    // Row 40's second dot covers its first.
    EXPECT_EQ(test::At(*out, 82, 37, 0), test::At(*other, 3, 1, 0));
    // Row 42's dot covers both.
    EXPECT_EQ(test::At(*out, 83, 44, 0), scale);
    EXPECT_TRUE(MatchesReference(s));
}

TEST_P(Throng, MissingOrMisfitMarkerGivesRedWithZeroAlpha) {
    const auto fig = Opaque(5, 5, 0.1);
    Settings s;
    s.figure[0] = fig.get();
    s.colour[0] = {1, 0, 0, 1};
    marker = Blank(kW - 1, kH);
    Dot(10, 10, {1, 0, 0, 1});
    for (int pass = 0; pass < 2; ++pass) {
        const auto out = Render(s);
        for (int y = 0; y < kH; y += 7)
            for (int x = 0; x < kW; x += 3) {
                ASSERT_EQ(test::At(*out, x, y, 0), scale);
                ASSERT_EQ(test::At(*out, x, y, 1) + test::At(*out, x, y, 2) +
                              test::At(*out, x, y, 3),
                          0.0);
            }
        marker.reset();
    }
}

TEST_P(Throng, FiguresAreCutAtTheBorders) {
    const auto small = Translucent(8, 7, 1);
    const auto wide = Translucent(3 * kW + 1, 5, 2); // wider than the output on both sides
    const auto tall = Translucent(3, 4 * kH, 3);
    Settings s;
    s.figure = {small.get(), wide.get(), tall.get(), nullptr};
    s.colour[0] = {1, 0, 0, 1};
    s.colour[1] = {0, 1, 0, 1};
    s.colour[2] = {0, 0, 1, 1};
    for (auto [x, y] : {std::pair{0, 0}, {kW - 1, 0}, {0, kH - 1}, {kW - 1, kH - 1}, {kW / 2, 1}})
        Dot(x, y, {1, 0, 0, 1});
    Dot(0, 60, {0, 1, 0, 1});
    Dot(kW - 1, 61, {0, 1, 0, 1});
    Dot(1, 0, {0, 0, 1, 1});
    Dot(kW - 2, kH - 1, {0, 0, 1, 1});
    EXPECT_TRUE(MatchesReference(s));
}

TEST_P(Throng, EveryThreadCountGivesTheOneByOneScan) {
    std::mt19937 rng(11);
    const std::array<std::array<double, 4>, 4> colours = {
        {{1, 0, 0, 1}, {0, 1, 0, 1}, {0.5, 0.5, 0, 1}, {0, 0, 1, 0.5}}};
    std::vector<std::unique_ptr<Image>> figures;
    for (int round = 0; round < 6; ++round) {
        marker = Blank(kW, kH);
        // Dots in the four colours, a few off by a little, and some stray non-black pixels.
        for (int i = 0; i < 300; ++i) {
            std::array<double, 4> v = colours[rng() % 4];
            if (rng() % 5 == 0) v[rng() % 4] += (rng() % 3 - 1.0) * 0.03;
            if (rng() % 9 == 0) v = {0.01 * (rng() % 100), 0, 0.02, 0};
            Dot(int(rng() % kW), int(rng() % kH), v);
        }
        Settings s;
        figures.clear();
        for (int k = 0; k < 4; ++k) {
            if (rng() % 6 == 0) continue;
            figures.push_back(
                Translucent(1 + int(rng() % 40), 1 + int(rng() % (round < 3 ? 50 : 200)), rng()));
            s.figure[k] = figures.back().get();
            s.colour[k] = colours[rng() % 4];
            s.tolerance[k] = (rng() % 3) * 0.02;
        }
        ASSERT_TRUE(MatchesReference(s)) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, Throng, ::testing::ValuesIn(test::kDepths), test::DepthName);

// A marker of the other depth is read in the output's representation.
TEST(Throng, MarkerOfTheOtherDepthIsConverted) {
    test::LoadedTool t = test::Load("Throng");
    for (ImageDepth depth : test::kDepths) {
        const ImageDepth other =
            depth == ImageDepth::Int16 ? ImageDepth::Float32 : ImageDepth::Int16;
        const double full = test::Scale(other);
        const auto input = test::NoiseImage(40, 30, depth);
        const auto marker = test::MakeImage(40, 30, other, [&](int x, int y, int c) {
            return x == 7 && y == 9 && c != 1 ? full : 0.0;
        });
        const auto fig = test::MakeImage(3, 3, depth, [](int, int, int) { return 1.0; });
        t->Connect("Input", input.get());
        t->Connect("Throng", marker.get());
        t->Connect("Folk 1", fig.get());
        for (const char* id : {"1Red", "1Blue", "1Alpha"}) t->SetNumber(id, 1);
        const auto out = t->Render();
        EXPECT_NE(test::At(*out, 6, 8, 0), 0.0);
        EXPECT_EQ(test::At(*out, 5, 8, 0), 0.0);
    }
}

} // namespace
