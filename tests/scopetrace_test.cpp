// ScopeTrace against a plain point-by-point plot written here, on both depths, and the
// type change's visibility and presets.
#include "support.h"

#include <array>
#include <cmath>
#include <random>
#include <string>

namespace {

const char* kOn[4] = {"Red", "Green", "Blue", "Alpha"};
const char* kStretch[4] = {"Y Stretch Red", "Y Stretch Green", "Y Stretch Blue", "Y Stretch Alpha"};
const char* kCentre[4] = {"Center Red", "Center Green", "Center Blue", "Center Alpha"};

struct Settings {
    int type = 4;
    bool on[4] = {true, true, true, true};
    double stretch = 1, cx = 0.5, cy = 0;
    double channelStretch[4] = {1, 1, 1, 1}, channelCx[4] = {0.5, 0.5, 0.5, 0.5},
           channelCy[4] = {0, 0, 0, 0};
    double top = 0, bottom = 1;
};

// The values the parade loads.
Settings Parade() {
    Settings s;
    for (int c = 0; c < 3; ++c)
        s.channelStretch[c] = 0.333333333;
    s.channelCy[1] = 0.34, s.channelCy[2] = 0.68;
    return s;
}

// Sets the type first: its presets would overwrite the values set before it.
void Apply(qrvx::Tool& tool, const Settings& s) {
    tool.SetNumber("Type", s.type);
    tool.SetNumber("Y Stretch", s.stretch);
    tool.SetPoint("Center", s.cx, s.cy);
    for (int c = 0; c < 4; ++c) {
        tool.SetNumber(kOn[c], s.on[c] ? 1 : 0);
        tool.SetNumber(kStretch[c], s.channelStretch[c]);
        tool.SetPoint(kCentre[c], s.channelCx[c], s.channelCy[c]);
    }
    tool.SetNumber("Input Image Top", s.top);
    tool.SetNumber("Input Image Bottom", s.bottom);
}

// Draws every analysed pixel's points, one after another, over a zeroed output.
std::unique_ptr<Image> Reference(const Image& in, const Settings& s) {
    const int w = in.Width(), h = in.Height();
    const double scale = in.IsFloat() ? 1.0 : 65535.0;
    auto out = test::MakeImage(w, h, in.Depth(), [](int, int, int) { return 0.0; });
    // Sets channels (a mask of R, G, B, A) at full value and, when clear, the others to 0.
    auto draw = [&](double tx, double ty, int mask, bool clear) {
        tx = std::trunc(tx), ty = std::trunc(ty);
        if (!(tx >= 0 && tx < w && ty >= 0 && ty < h)) return;
        for (int c = 0; c < 4; ++c)
            if (mask >> c & 1)
                test::Set(*out, int(tx), int(ty), c, scale);
            else if (clear)
                test::Set(*out, int(tx), int(ty), c, 0);
    };
    const long n = long(std::trunc(h * (s.bottom - s.top)));
    for (long a = 0; a < n; ++a) {
        const double r = std::trunc((h - 1) * s.top + double(a));
        if (r < 0 || r >= h) continue;
        for (int x = 0; x < w; ++x) {
            double v[4];
            for (int c = 0; c < 4; ++c)
                v[c] = test::At(in, x, int(r), c);
            const double mx = std::max({v[0], v[1], v[2]}), mn = std::min({v[0], v[1], v[2]});
            const double dx = x + (s.cx - 0.5) * w, oy = s.cy * h, k = h / scale;
            switch (s.type) {
            case 0:
                draw(dx, mx * s.stretch * k + oy, 15, true);
                break;
            case 1:
                draw(dx, (mx - mn) / mx * s.stretch * scale * k + oy, 15, true);
                break;
            case 2:
                for (int c = 0; c < 3; ++c)
                    draw(dx, v[c] * s.stretch * k + oy, 15, true);
                break;
            case 3:
            case 4:
                for (int c = 0; c < 4; ++c)
                    if (s.on[c])
                        draw(x + (s.channelCx[c] - 0.5) * w,
                             v[c] * s.channelStretch[c] * k + s.channelCy[c] * h, 1 << c, false);
                break;
            case 5:
            case 6:
            case 7:
            case 8:
                draw(x, v[s.type - 5] * k, 1 << (s.type - 5), true);
                break;
            }
        }
    }
    return out;
}

class ScopeTraceTest : public ::testing::TestWithParam<ImageDepth> {
  protected:
    test::LoadedTool t = test::Load("ScopeTrace");
    double scale = GetParam() == ImageDepth::Float32 ? 1.0 : 65535.0;

    std::unique_ptr<Image> Render(const Image& in, const Settings& s) {
        Apply(*t.tool, s);
        t->Connect("Input", &in);
        return t->Render();
    }
    // An image of constant channel values, given in 0..1 units.
    std::unique_ptr<Image> Flat(int w, int h, std::array<double, 4> v) {
        return test::MakeImage(w, h, GetParam(), [&](int, int, int c) { return v[c] * scale; });
    }
    // Where channel c of the output is set: the count, and whether all are in row `row`.
    int Count(const Image& out, int c, int row = -1) {
        int n = 0;
        for (int y = 0; y < out.Height(); ++y)
            for (int x = 0; x < out.Width(); ++x)
                if (test::At(out, x, y, c) != 0) {
                    EXPECT_EQ(test::At(out, x, y, c), scale);
                    if (row >= 0) {
                        EXPECT_EQ(y, row) << "at x " << x;
                    }
                    ++n;
                }
        return n;
    }
};

TEST_P(ScopeTraceTest, GreyHalfIsOneWhiteLineAtMidHeight) {
    Settings s;
    s.type = 0;
    auto out = Render(*Flat(37, 100, {0.5, 0.5, 0.5, 1}), s);
    // Integer 0.5 is 32767.5 truncated: 32767 / 65535 * 100 = 49.99.
    const int row = GetParam() == ImageDepth::Float32 ? 50 : 49;
    for (int c = 0; c < 4; ++c)
        EXPECT_EQ(Count(*out, c, row), 37);
}

TEST_P(ScopeTraceTest, FullValueFallsBelowTheImageSoOpaqueAlphaLeavesNoTrace) {
    auto in = test::MakeImage(40, 30, GetParam(),
                              [&](int x, int, int c) { return c == 3 ? scale : x / 50.0 * scale; });
    auto out = Render(*in, Parade());
    EXPECT_EQ(Count(*out, 3), 0);
    for (int c = 0; c < 3; ++c)
        EXPECT_EQ(Count(*out, c), 40);
    EXPECT_TRUE(test::SameImage(*out, *Reference(*in, Parade())));
    // A stretch just below 1 brings full value back into the last row.
    Settings s;
    s.channelStretch[3] = 0.99;
    EXPECT_EQ(Count(*Render(*in, s), 3, 29), 40);
}

TEST_P(ScopeTraceTest, ChrominanceOfGreyIsZeroAndOfBlackIsNothing) {
    Settings s;
    s.type = 1;
    s.cy = 0.3;
    EXPECT_EQ(Count(*Render(*Flat(20, 50, {0.25, 0.25, 0.25, 0}), s), 0, 15), 20);
    // Black has no saturation: nothing is drawn, not even in row 0.
    s.cy = 0;
    EXPECT_EQ(Count(*Render(*Flat(20, 50, {0, 0, 0, 1}), s), 0), 0);
    // Pure red has saturation 1: at the full height, below the image; half of it at stretch 0.5.
    EXPECT_EQ(Count(*Render(*Flat(20, 50, {1, 0, 0, 1}), s), 0), 0);
    s.stretch = 0.5;
    EXPECT_EQ(Count(*Render(*Flat(20, 50, {1, 0, 0, 1}), s), 0, 25), 20);
}

TEST_P(ScopeTraceTest, FullscreenWithOnlyRedLeavesTheOtherChannelsZero) {
    Settings s;
    s.type = 3;
    s.on[1] = s.on[2] = s.on[3] = false;
    auto in = test::NoiseImage(50, 40, GetParam(), 3);
    auto out = Render(*in, s);
    EXPECT_GT(Count(*out, 0), 0);
    for (int c = 1; c < 4; ++c)
        EXPECT_EQ(Count(*out, c), 0);
    EXPECT_TRUE(test::SameImage(*out, *Reference(*in, s)));
}

TEST_P(ScopeTraceTest, BandLimitsChooseTheAnalysedRows) {
    // Static red puts row y's value on row y, so the output shows which rows were read.
    auto in = test::MakeImage(8, 100, GetParam(),
                              [&](int, int y, int) { return (y + 0.5) / 100 * scale; });
    Settings s;
    s.type = 5;
    s.top = 0.5;
    s.bottom = 1.0;
    auto out = Render(*in, s);
    for (int y = 0; y < 100; ++y)
        EXPECT_EQ(test::At(*out, 3, y, 0), y >= 49 && y <= 98 ? scale : 0.0) << "row " << y;

    // A bottom far below the image still analyses every row.
    s.top = 0, s.bottom = 1;
    auto whole = Render(*in, s);
    s.bottom = 1e20;
    EXPECT_TRUE(test::SameImage(*Render(*in, s), *whole));

    s.top = s.bottom = 0.3;
    EXPECT_EQ(Count(*Render(*in, s), 0), 0);
    s.top = 0.7, s.bottom = 0.2; // upside down: no rows
    EXPECT_EQ(Count(*Render(*in, s), 0), 0);
    // Limits beyond the image read only the rows inside it.
    for (auto [top, bottom] :
         {std::pair{-0.5, 1.5}, {-3.0, 0.2}, {0.9, 7.0}, {-1e4, 1e4}, {2.0, 3.0}}) {
        s.top = top, s.bottom = bottom;
        EXPECT_TRUE(test::SameImage(*Render(*in, s), *Reference(*in, s))) << top << ".." << bottom;
    }
}

TEST_P(ScopeTraceTest, StaticTypesDrawPureColoursWithZeroAlpha) {
    auto in = Flat(10, 20, {0.12, 0.33, 0.61, 0.87});
    for (int type = 5; type <= 8; ++type) {
        Settings s;
        s.type = type;
        s.cx = 0.9, s.cy = 0.5, s.stretch = 3; // none of them apply
        auto out = Render(*in, s);
        const int row = int(test::At(*in, 0, 0, type - 5) / scale * 20);
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(Count(*out, c, row), c == type - 5 ? 10 : 0) << type;
    }
}

TEST_P(ScopeTraceTest, CentreShiftsTheTraceAndStretchScalesIt) {
    Settings s;
    s.type = 0;
    s.cx = 0.75, s.cy = 0.1, s.stretch = 0.5;
    auto in = Flat(100, 60, {0.5, 0.25, 0, 0});
    auto out = Render(*in, s);
    // Row trunc(v * 0.5 * 60 + 6); column x + 25, so columns 0..24 stay black.
    const int row = int(test::At(*in, 0, 0, 0) / scale * 0.5 * 60 + 6);
    EXPECT_EQ(Count(*out, 1, row), 75);
    for (int x = 0; x < 100; ++x)
        EXPECT_EQ(test::At(*out, x, row, 3), x >= 25 ? scale : 0.0);
    // A centre to the left: the trace leaves at column 0 instead.
    s.cx = 0.2;
    out = Render(*in, s);
    for (int x = 0; x < 100; ++x)
        EXPECT_EQ(test::At(*out, x, row, 3), x < 70 ? scale : 0.0);
}

TEST(ScopeTrace, IntegerValuesLandOnTheTruncatedRow) {
    test::LoadedTool t = test::Load("ScopeTrace");
    // Column x holds value x * 257: row trunc(x * 257 * 100 / 65535) = trunc(x * 100 / 255).
    auto in =
        test::MakeImage(256, 100, ImageDepth::Int16, [](int x, int, int) { return x * 257.0; });
    Settings s;
    s.type = 6;
    Apply(*t.tool, s);
    t->Connect("Input", in.get());
    auto out = t->Render();
    for (int x = 0; x < 256; ++x) {
        const int row = x * 100 / 255;
        for (int y = 0; y < 100; ++y)
            ASSERT_EQ(test::At(*out, x, y, 1), y == row && x < 255 ? 65535.0 : 0.0)
                << x << ", " << y;
    }
}

TEST_P(ScopeTraceTest, TypeOutsideTheListDrawsNothing) {
    auto in = test::NoiseImage(30, 20, GetParam(), 5);
    for (int type : {9, -1, 100}) {
        t->Connect("Input", in.get());
        t->SetNumber("Type", type);
        for (int c = 0; c < 4; ++c)
            EXPECT_EQ(Count(*t->Render(), c), 0) << type;
    }
}

TEST_P(ScopeTraceTest, RoundnessZeroAnalysesTheInputAndMoreSmoothsIt) {
    auto in = test::NoiseImage(64, 48, GetParam(), 9);
    Settings s;
    s.type = 0;
    t->SetNumber("Roundness", 0);
    auto sharp = Render(*in, s);
    EXPECT_TRUE(test::SameImage(*sharp, *Reference(*in, s)));
    t->SetNumber("Roundness", 0.5);
    auto soft = Render(*in, s);
    // A blurred picture has fewer distinct values per column: fewer points.
    EXPECT_LT(Count(*soft, 0), Count(*sharp, 0));
    t->SetNumber("Roundness", 0);
}

TEST_P(ScopeTraceTest, EveryTypeMatchesThePlainPlotOnAnyThreadCount) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0, 1), wide(-0.3, 1.3);
    std::uniform_int_distribution<int> type(0, 8), coin(0, 3);
    // Wider than one band of columns, and not a multiple of it.
    auto in = test::NoiseImage(150, 70, GetParam(), 4);
    for (int round = 0; round < 40; ++round) {
        Settings s;
        s.type = type(rng);
        s.stretch = 2 * unit(rng), s.cx = wide(rng), s.cy = wide(rng) - 0.3;
        for (int c = 0; c < 4; ++c) {
            s.on[c] = coin(rng) != 0;
            s.channelStretch[c] = 2 * unit(rng);
            s.channelCx[c] = coin(rng) == 0 ? 0.5 : wide(rng);
            s.channelCy[c] = wide(rng) - 0.3;
        }
        s.top = coin(rng) == 0 ? 0 : wide(rng), s.bottom = coin(rng) == 0 ? 1 : wide(rng);
        Apply(*t.tool, s);
        t->Connect("Input", in.get());
        auto one = test::RenderWithThreads(*t.tool, 1);
        ASSERT_TRUE(test::SameImage(*one, *Reference(*in, s)))
            << "round " << round << " type " << s.type;
        ASSERT_TRUE(test::SameImage(*one, *test::RenderWithThreads(*t.tool, 0)))
            << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, ScopeTraceTest, ::testing::ValuesIn(test::kDepths),
                         [](const auto& info) {
                             return info.param == ImageDepth::Float32 ? "Float" : "Int16";
                         });

double NumberOf(qrvx::Tool& tool, const char* id) {
    return dynamic_cast<const Number&>(*tool.FindInput(id).GetValue(nullptr)).Value();
}
std::pair<double, double> PointOf(qrvx::Tool& tool, const char* id) {
    const auto& p = dynamic_cast<const Point&>(*tool.FindInput(id).GetValue(nullptr));
    return {p.X, p.Y};
}

TEST(ScopeTrace, ControlsAreDeclaredInOrderWithTheirVisibility) {
    test::LoadedTool t = test::Load("ScopeTrace");
    const char* order[] = {"Input",     "Red",       "Green",           "Blue",
                           "Alpha",     "Type",      "Roundness",       "X Stretch",
                           "Y Stretch", kStretch[0], kStretch[1],       kStretch[2],
                           kStretch[3], "Center",    kCentre[0],        kCentre[1],
                           kCentre[2],  kCentre[3],  "Input Image Top", "Input Image Bottom"};
    ASSERT_EQ(t->Inputs().size(), std::size(order));
    for (std::size_t i = 0; i < std::size(order); ++i)
        EXPECT_EQ(t->Inputs()[i]->Decl().id, order[i]);
    const InputDecl& type = t->FindInput("Type").Decl();
    EXPECT_EQ(type.comboEntries.size(), 9u);
    EXPECT_EQ(type.comboEntries[4], "RGBA(parade)");
    EXPECT_TRUE(type.notifyOnChange);
    EXPECT_EQ(type.defaultValue, 4.0);
    EXPECT_EQ(t->FindInput("Roundness").Decl().allowedHigh, 1.0);
    EXPECT_FALSE(t->FindInput("X Stretch").Decl().visibleAtCreation);
    for (const char* id : kStretch)
        EXPECT_FALSE(t->FindInput(id).Decl().visibleAtCreation);
    for (const char* id : {"Input Image Top", "Input Image Bottom"})
        EXPECT_NE(t->FindInput(id).Decl().tags.Find(tag::Visible), nullptr);
}

TEST(ScopeTrace, ANewToolHoldsTheParadePresets) {
    test::LoadedTool t = test::Load("ScopeTrace");
    EXPECT_EQ(PointOf(*t.tool, "Center"), std::make_pair(0.5, 0.0));
    EXPECT_NEAR(NumberOf(*t.tool, "Y Stretch Red"), 1.0 / 3, 1e-9);
    EXPECT_EQ(NumberOf(*t.tool, "Y Stretch Alpha"), 1.0);
    EXPECT_EQ(PointOf(*t.tool, "Center Blue"), std::make_pair(0.5, 0.68));
    EXPECT_TRUE(t->FindInput("Y Stretch Green").IsVisible());
    EXPECT_FALSE(t->FindInput("Y Stretch").IsVisible());
}

TEST(ScopeTrace, ChoosingATypeShowsItsControlsAndOverwritesItsPresets) {
    test::LoadedTool t = test::Load("ScopeTrace");
    auto shown = [&](const char* id) { return t->FindInput(id).IsVisible(); };
    for (const char* id : kStretch)
        t->SetNumber(id, 7);
    for (const char* id : kCentre)
        t->SetPoint(id, 0.1, 0.9);
    t->SetNumber("Input Image Top", 0.2);
    t->SetNumber("X Stretch", 3);

    t->SetNumber("Type", 4);
    EXPECT_NEAR(NumberOf(*t.tool, "Y Stretch Blue"), 0.333333333, 1e-12);
    EXPECT_EQ(NumberOf(*t.tool, "Y Stretch Alpha"), 1.0);
    EXPECT_EQ(PointOf(*t.tool, "Center Red"), std::make_pair(0.5, 0.0));
    EXPECT_EQ(PointOf(*t.tool, "Center Green"), std::make_pair(0.5, 0.34));
    EXPECT_EQ(PointOf(*t.tool, "Center Alpha"), std::make_pair(0.5, 0.0));
    EXPECT_EQ(NumberOf(*t.tool, "Input Image Top"), 0.2);
    EXPECT_EQ(NumberOf(*t.tool, "X Stretch"), 3.0);

    t->SetNumber("Y Stretch", 5);
    t->SetPoint("Center", 0.2, 0.2);
    t->SetNumber("Type", 1);
    EXPECT_EQ(NumberOf(*t.tool, "Y Stretch"), 1.0);
    EXPECT_EQ(PointOf(*t.tool, "Center"), std::make_pair(0.5, 0.0));
    EXPECT_TRUE(shown("Y Stretch") && shown("Center") && shown("Roundness"));
    EXPECT_FALSE(shown("Red") || shown("Y Stretch Red") || shown("Center Red"));

    for (const char* id : kStretch)
        t->SetNumber(id, 7);
    for (const char* id : kCentre)
        t->SetPoint(id, 0.1, 0.9);
    t->SetNumber("Type", 3);
    for (const char* id : kStretch)
        EXPECT_EQ(NumberOf(*t.tool, id), 1.0);
    for (const char* id : kCentre)
        EXPECT_EQ(PointOf(*t.tool, id), std::make_pair(0.5, 0.0));
    EXPECT_TRUE(shown("Alpha") && shown("Y Stretch Alpha") && shown("Center Green"));
    EXPECT_FALSE(shown("Y Stretch") || shown("Center"));

    // The static types show only "Roundness" and load nothing.
    t->SetNumber("Y Stretch Red", 7);
    t->SetNumber("Type", 7);
    EXPECT_EQ(NumberOf(*t.tool, "Y Stretch Red"), 7.0);
    EXPECT_TRUE(shown("Roundness"));
    EXPECT_FALSE(shown("Blue") || shown("Y Stretch") || shown("Y Stretch Blue") ||
                 shown("Center") || shown("Center Blue"));

    // Other values and other inputs change nothing.
    t->SetNumber("Type", 9);
    t->SetNumber("Red", 0);
    EXPECT_FALSE(shown("Y Stretch"));
    EXPECT_EQ(NumberOf(*t.tool, "Y Stretch Red"), 7.0);
}

} // namespace
