// ScopeTrace against a plain point-by-point plot written here, on both depths, and the
// type change's visibility and presets.
#include "frame/offsets.h"
#include "support.h"

#include <array>
#include <cmath>
#include <random>
#include <utility>

namespace {

const char* kOn[4] = {"Red", "Green", "Blue", "Alpha"};
const char* kStretch[4] = {"Y Stretch Red", "Y Stretch Green", "Y Stretch Blue", "Y Stretch Alpha"};
const char* kCentre[4] = {"Center Red", "Center Green", "Center Blue", "Center Alpha"};

struct Settings {
    int type = 4;
    bool on[4] = {true, true, true, true};
    double stretch = 1, cx = 0.5, cy = 0;
    double chStretch[4] = {1, 1, 1, 1}, chCx[4] = {0.5, 0.5, 0.5, 0.5}, chCy[4] = {0, 0, 0, 0};
    double top = 0, bottom = 1;
};

// Sets the type first: its presets would overwrite the values set before it.
void Apply(qrvx::Tool& tool, const Settings& s) {
    tool.SetNumber("Type", s.type);
    tool.SetNumber("Y Stretch", s.stretch);
    tool.SetPoint("Center", s.cx, s.cy);
    for (int c = 0; c < 4; ++c) {
        tool.SetNumber(kOn[c], s.on[c] ? 1 : 0);
        tool.SetNumber(kStretch[c], s.chStretch[c]);
        tool.SetPoint(kCentre[c], s.chCx[c], s.chCy[c]);
    }
    tool.SetNumber("Input Image Top", s.top);
    tool.SetNumber("Input Image Bottom", s.bottom);
}

// Draws every analysed pixel's points, one after another, over a zeroed output. The
// centres' offsets and the band's start and length are taken as whole within a few units
// in the last place of a whole number.
std::unique_ptr<Image> Reference(const Image& in, const Settings& s) {
    const int w = in.Width(), h = in.Height();
    const auto whole = frame::WholeIfClose;
    const double scale = test::Scale(in), k = h / scale;
    auto out = test::MakeImage(w, h, in.Depth(), [](int, int, int) { return 0.0; });
    // Sets the channels of mask (bit 0 red .. bit 3 alpha) at full value; a replacing
    // draw sets the others to 0.
    auto draw = [&](double tx, double ty, int mask, bool replace) {
        tx = std::trunc(tx), ty = std::trunc(ty);
        if (!(tx >= 0 && tx < w && ty >= 0 && ty < h)) return;
        for (int c = 0; c < 4; ++c)
            if ((mask >> c & 1) || replace)
                test::Set(*out, int(tx), int(ty), c, (mask >> c & 1) * scale);
    };
    for (long a = 0; a < long(std::trunc(whole(h * (s.bottom - s.top), h))); ++a) {
        const double r = std::trunc(whole((h - 1) * s.top, h - 1) + double(a));
        if (r < 0 || r >= h) continue;
        for (int x = 0; x < w; ++x) {
            double v[4];
            for (int c = 0; c < 4; ++c) v[c] = test::At(in, x, int(r), c);
            const double mx = std::max({v[0], v[1], v[2]}), mn = std::min({v[0], v[1], v[2]});
            const double dx = x + whole((s.cx - 0.5) * w, w), dy = whole(s.cy * h, h);
            if (s.type == 0) draw(dx, mx * s.stretch * k + dy, 15, true);
            if (s.type == 1) draw(dx, (mx - mn) / mx * s.stretch * scale * k + dy, 15, true);
            for (int c = 0; c < 3 && s.type == 2; ++c)
                draw(dx, v[c] * s.stretch * k + dy, 15, true);
            for (int c = 0; c < 4 && (s.type == 3 || s.type == 4); ++c)
                if (s.on[c])
                    draw(x + whole((s.chCx[c] - 0.5) * w, w),
                         v[c] * s.chStretch[c] * k + whole(s.chCy[c] * h, h), 1 << c, false);
            if (s.type >= 5 && s.type <= 8) draw(x, v[s.type - 5] * k, 1 << (s.type - 5), true);
        }
    }
    return out;
}

class ScopeTrace : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("ScopeTrace");
    double scale = test::Scale(GetParam());

    std::unique_ptr<Image> Render(const Image& in, const Settings& s) {
        Apply(*t.tool, s);
        t->Connect("Input", &in);
        return t->Render();
    }
    // An image of constant channel values, given in 0..1 units.
    std::unique_ptr<Image> Flat(int w, int h, std::array<double, 4> v) {
        return test::MakeImage(w, h, GetParam(), [&](int, int, int c) { return v[c] * scale; });
    }
    // How many pixels have channel c set (at full value, and all in row `row` if given).
    int Count(const Image& out, int c, int row = -1) {
        int n = 0;
        for (int y = 0; y < out.Height(); ++y)
            for (int x = 0; x < out.Width(); ++x) {
                const double v = test::At(out, x, y, c);
                if (v == 0) continue;
                EXPECT_EQ(v, scale);
                EXPECT_TRUE(row < 0 || y == row) << "at " << x << ", " << y;
                ++n;
            }
        return n;
    }
};

TEST_P(ScopeTrace, GreyHalfIsOneWhiteLineAtMidHeight) {
    Settings s;
    s.type = 0;
    auto out = Render(*Flat(37, 100, {0.5, 0.5, 0.5, 1}), s);
    // Integer 0.5 is 32767: 32767 / 65535 * 100 = 49.99.
    for (int c = 0; c < 4; ++c) EXPECT_EQ(Count(*out, c, scale == 1 ? 50 : 49), 37);
}

TEST_P(ScopeTrace, FullValueFallsBelowTheImageSoOpaqueAlphaLeavesNoTrace) {
    auto in = test::MakeImage(40, 30, GetParam(),
                              [&](int x, int, int c) { return c == 3 ? scale : x / 50.0 * scale; });
    Settings parade; // the values the parade loads
    for (int c = 0; c < 3; ++c) parade.chStretch[c] = 0.333333333;
    parade.chCy[1] = 0.34, parade.chCy[2] = 0.68;
    auto out = Render(*in, parade);
    EXPECT_EQ(Count(*out, 3), 0);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(Count(*out, c), 40);
    EXPECT_TRUE(test::SameImage(*out, *Reference(*in, parade)));
}

TEST_P(ScopeTrace, ChrominanceOfGreyIsZeroAndOfBlackIsNothing) {
    Settings s;
    s.type = 1;
    s.cy = 0.3;
    EXPECT_EQ(Count(*Render(*Flat(20, 50, {0.25, 0.25, 0.25, 0}), s), 0, 15), 20);
    // Black has no saturation: nothing is drawn, not even in row 0.
    s.cy = 0;
    EXPECT_EQ(Count(*Render(*Flat(20, 50, {0, 0, 0, 1}), s), 0), 0);
    // Pure red has saturation 1: the full height at stretch 1, half of it at 0.5.
    EXPECT_EQ(Count(*Render(*Flat(20, 50, {1, 0, 0, 1}), s), 0), 0);
    s.stretch = 0.5;
    EXPECT_EQ(Count(*Render(*Flat(20, 50, {1, 0, 0, 1}), s), 0, 25), 20);
}

TEST_P(ScopeTrace, FullscreenWithOnlyRedLeavesTheOtherChannelsZero) {
    Settings s;
    s.type = 3;
    s.on[1] = s.on[2] = s.on[3] = false;
    auto in = test::NoiseImage(50, 40, GetParam(), 3);
    auto out = Render(*in, s);
    EXPECT_GT(Count(*out, 0), 0);
    for (int c = 1; c < 4; ++c) EXPECT_EQ(Count(*out, c), 0);
}

TEST_P(ScopeTrace, StaticTypesDrawPureColoursWithZeroAlphaAndIgnoreStretchAndCentre) {
    auto in = Flat(10, 20, {0.12, 0.33, 0.61, 0.87});
    for (int type = 5; type <= 8; ++type) {
        Settings s;
        s.type = type;
        s.cx = 0.9, s.cy = 0.5, s.stretch = 3;
        auto out = Render(*in, s);
        const int row = int(test::At(*in, 0, 0, type - 5) / scale * 20);
        for (int c = 0; c < 4; ++c) EXPECT_EQ(Count(*out, c, row), c == type - 5 ? 10 : 0) << type;
    }
}

TEST(ScopeTrace, IntegerValuesLandOnTheTruncatedRow) {
    test::LoadedTool t = test::Load("ScopeTrace");
    // Value x * 257 goes to row trunc(x * 257 * 100 / 65535) = x * 100 / 255; 255 to row 100.
    auto in =
        test::MakeImage(256, 100, ImageDepth::Int16, [](int x, int, int) { return x * 257.0; });
    Settings s;
    s.type = 6;
    Apply(*t.tool, s);
    t->Connect("Input", in.get());
    auto out = t->Render();
    for (int x = 0; x < 256; ++x)
        for (int y = 0; y < 100; ++y)
            ASSERT_EQ(test::At(*out, x, y, 1), y == x * 100 / 255 && x < 255 ? 65535.0 : 0.0)
                << x << ", " << y;
}

TEST_P(ScopeTrace, BandLimitsChooseTheAnalysedRows) {
    // Static red puts row y's value on row y, so the output shows which rows were read.
    auto in = test::MakeImage(8, 100, GetParam(),
                              [&](int, int y, int) { return (y + 0.5) / 100 * scale; });
    Settings s;
    s.type = 5;
    s.top = 0.5;
    auto out = Render(*in, s);
    for (int y = 0; y < 100; ++y)
        EXPECT_EQ(test::At(*out, 3, y, 0), y >= 49 && y <= 98 ? scale : 0.0) << y;
    // Empty or upside-down bands read nothing; limits beyond the image read its rows only.
    for (auto [top, bottom] :
         {std::pair{0.3, 0.3}, {0.7, 0.2}, {-0.5, 1.5}, {-3.0, 0.2}, {0.9, 7.0}, {2.0, 3.0}}) {
        s.top = top, s.bottom = bottom;
        EXPECT_TRUE(test::SameImage(*Render(*in, s), *Reference(*in, s))) << top << ".." << bottom;
    }
    s.top = 0, s.bottom = 1e20;
    EXPECT_EQ(Count(*Render(*in, s), 0), 800);
}

TEST_P(ScopeTrace, RoundnessZeroAnalysesTheInputAndMoreSmoothsIt) {
    auto in = test::NoiseImage(64, 48, GetParam(), 9);
    Settings s;
    s.type = 0;
    auto sharp = Render(*in, s);
    EXPECT_TRUE(test::SameImage(*sharp, *Reference(*in, s)));
    t->SetNumber("Roundness", 0.5);
    // A blurred picture has fewer distinct values per column: fewer points.
    EXPECT_LT(Count(*Render(*in, s), 0), Count(*sharp, 0));
}

TEST_P(ScopeTrace, EveryTypeMatchesThePlainPlotForRandomStretchesCentresAndBandsOnAnyThreadCount) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> unit(0, 1), wide(-0.3, 1.3);
    std::uniform_int_distribution<int> type(-1, 9), coin(0, 3);
    auto in = test::NoiseImage(150, 70, GetParam(), 4); // more than two bands of columns
    for (int round = 0; round < 40; ++round) {
        Settings s;
        s.type = type(rng); // -1 and 9 draw nothing
        s.stretch = 2 * unit(rng), s.cx = wide(rng), s.cy = wide(rng) - 0.3;
        for (int c = 0; c < 4; ++c) {
            s.on[c] = coin(rng) != 0;
            s.chStretch[c] = 2 * unit(rng);
            s.chCx[c] = coin(rng) == 0 ? 0.5 : wide(rng);
            s.chCy[c] = wide(rng) - 0.3;
        }
        s.top = coin(rng) == 0 ? 0 : wide(rng), s.bottom = coin(rng) == 0 ? 1 : wide(rng);
        Apply(*t.tool, s);
        t->Connect("Input", in.get());
        const auto expected = Reference(*in, s);
        for (int threads : test::kThreadCounts)
            ASSERT_TRUE(test::SameImage(*test::RenderWithThreads(*t.tool, threads), *expected))
                << "round " << round << " type " << s.type << ", threads " << threads;
    }
}

// Channel traces that share one column offset are plotted a pixel at a time, on the
// portable rows and on the AVX-512 ones: both against the plain plot, with channels
// switched off, offsets that move whole bands and widths that leave a single pixel.
TEST_P(ScopeTrace, ChannelTracesWithOneOffsetMatchThePlainPlotOnEachWorker) {
    std::mt19937 rng(12);
    std::uniform_real_distribution<double> unit(0, 1), wide(-0.3, 1.3);
    std::uniform_int_distribution<int> coin(0, 3);
    auto in = test::NoiseImage(151, 60, GetParam(), 6);
    test::OnEachWorker([&] {
        for (int round = 0; round < 12; ++round) {
            Settings s;
            s.type = 3 + round % 2;
            const double cx = round < 4 ? 0.5 : wide(rng);
            for (int c = 0; c < 4; ++c) {
                s.on[c] = round < 2 || coin(rng) != 0;
                s.chStretch[c] = 2 * unit(rng);
                s.chCx[c] = cx;
                s.chCy[c] = wide(rng) - 0.3;
            }
            Apply(*t.tool, s);
            t->Connect("Input", in.get());
            const auto expected = Reference(*in, s);
            for (int threads : test::kThreadCounts)
                ASSERT_TRUE(test::SameImage(*test::RenderWithThreads(*t.tool, threads), *expected))
                    << "round " << round << ", threads " << threads;
        }
    });
}

// Centres and band limits a share of the frame away, on 360, 1080 and 1920 pixels, give
// whole offsets: every column of a trace moves by the same amount (360 x (0.6 - 0.5) is
// 35.99999999999999, which would move the first columns by 35 and the rest by 36), the
// zero line of a centre at 0.7 of 360 rows is row 252, and a band from 0.7 of 361 rows,
// or 0.7 of 360 rows long, reads every row it names.
TEST_P(ScopeTrace, CentresAndBandsAShareOfTheFrameAwayAreWholeRowsAndColumns) {
    for (int size : {360, 1080, 1920})
        for (auto [point, shift] :
             {std::pair{0.6, size / 10}, std::pair{0.7, size / 5}, std::pair{0.4, -size / 10}}) {
            // Grey lands on one row; which columns it reaches shows the shift.
            auto in = Flat(size, 4, {0.5, 0.5, 0.5, 1});
            const int row = scale == 1 ? 2 : 1;
            Settings mono, red;
            mono.type = 0, mono.cx = point;
            red.type = 3, red.chCx[0] = point;
            for (int c = 1; c < 4; ++c) red.on[c] = false;
            for (const Settings& s : {mono, red}) {
                auto out = Render(*in, s);
                for (int x = 0; x < size; ++x) {
                    const bool reached = x - shift >= 0 && x - shift < size;
                    ASSERT_EQ(test::At(*out, x, row, 0), reached ? scale : 0.0)
                        << size << ", type " << s.type << ", point " << point << ", column " << x;
                }
                EXPECT_EQ(Count(*out, 0, row), size - std::abs(shift));
            }
        }
    // Black lands on the zero line, for every column and in both kinds of record.
    auto black = Flat(5, 360, {0, 0, 0, 0});
    Settings mono, red;
    mono.type = 0, mono.cy = 0.7;
    red.type = 3, red.chCy[0] = 0.7;
    for (int c = 1; c < 4; ++c) red.on[c] = false;
    EXPECT_EQ(Count(*Render(*black, mono), 0, 252), 5);
    EXPECT_EQ(Count(*Render(*black, red), 0, 252), 5);
    auto noise = test::NoiseImage(7, 360, GetParam(), 13);
    EXPECT_TRUE(test::SameImage(*Render(*noise, mono), *Reference(*noise, mono)));
    // Static red puts row y's value on row y, so the output shows which rows were read.
    struct Band {
        int height;
        double top, bottom;
        int first, last;
    };
    for (const Band b :
         {Band{361, 0.7, 1, 252, 359}, Band{360, 0, 0.7, 0, 251}, Band{1080, 0.5, 0.7, 539, 754}}) {
        auto in = test::MakeImage(1, b.height, GetParam(),
                                  [&](int, int y, int) { return (y + 0.5) / b.height * scale; });
        Settings s;
        s.type = 5, s.top = b.top, s.bottom = b.bottom;
        auto out = Render(*in, s);
        for (int y = 0; y < b.height; ++y)
            ASSERT_EQ(test::At(*out, 0, y, 0), y >= b.first && y <= b.last ? scale : 0.0)
                << b.height << " rows from " << b.top << " to " << b.bottom << ", row " << y;
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, ScopeTrace, ::testing::ValuesIn(test::kDepths), test::DepthName);

TEST(ScopeTrace, ANewToolIsAParadeAndChoosingATypeShowsItsControlsAndLoadsItsPresets) {
    test::LoadedTool t = test::Load("ScopeTrace");
    auto number = [&](const char* id) {
        return dynamic_cast<const Number&>(*t->FindInput(id).GetValue(nullptr)).Value();
    };
    auto point = [&](const char* id) {
        const auto& p = dynamic_cast<const Point&>(*t->FindInput(id).GetValue(nullptr));
        return std::pair{p.X, p.Y};
    };
    auto shown = [&](const char* id) { return t->FindInput(id).IsVisible(); };
    const std::pair top{0.5, 0.0};
    EXPECT_EQ(point("Center"), top);
    EXPECT_EQ(point("Center Blue"), std::pair(0.5, 0.68));
    EXPECT_TRUE(shown("Y Stretch Green") && !shown("Y Stretch"));

    // The user's values give way to the preset; the band and "X Stretch" are kept.
    for (const char* id : kStretch) t->SetNumber(id, 7);
    for (const char* id : kCentre) t->SetPoint(id, 0.1, 0.9);
    t->SetNumber("Input Image Top", 0.2);
    t->SetNumber("X Stretch", 3);
    t->SetNumber("Type", 4);
    EXPECT_EQ(number("Y Stretch Blue"), 0.333333333);
    EXPECT_EQ(number("Y Stretch Alpha"), 1.0);
    EXPECT_EQ(point("Center Red"), top);
    EXPECT_EQ(point("Center Green"), std::pair(0.5, 0.34));
    EXPECT_EQ(number("Input Image Top"), 0.2);
    EXPECT_EQ(number("X Stretch"), 3.0);

    t->SetNumber("Y Stretch", 5);
    t->SetPoint("Center", 0.2, 0.2);
    t->SetNumber("Type", 1);
    EXPECT_EQ(number("Y Stretch"), 1.0);
    EXPECT_EQ(point("Center"), top);
    EXPECT_TRUE(shown("Y Stretch") && shown("Center") && shown("Roundness"));
    EXPECT_FALSE(shown("Red") || shown("Y Stretch Red") || shown("Center Red"));

    t->SetPoint("Center", 0.2, 0.2);
    t->SetNumber("Type", 3);
    for (const char* id : kStretch) EXPECT_EQ(number(id), 1.0);
    for (const char* id : {"Center", kCentre[0], kCentre[1], kCentre[2], kCentre[3]})
        EXPECT_EQ(point(id), top);
    EXPECT_TRUE(shown("Alpha") && shown("Y Stretch Alpha") && shown("Center Green"));
    EXPECT_FALSE(shown("Y Stretch") || shown("Center"));

    // The static types show only "Roundness" and load nothing; other values change nothing.
    t->SetNumber("Y Stretch Red", 7);
    t->SetNumber("Type", 7);
    EXPECT_FALSE(shown("Blue") || shown("Y Stretch") || shown("Y Stretch Blue") ||
                 shown("Center Blue"));
    t->SetNumber("Type", 9);
    t->SetNumber("Type", 2.5);
    EXPECT_FALSE(shown("Y Stretch"));
    EXPECT_EQ(number("Y Stretch Red"), 7.0);
}

} // namespace
