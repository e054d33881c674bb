// Watchcam against hand-worked cells and against a serial reference that tests every
// cell with a plain loop and draws its mark with the host's merge, on both depths.
#include "support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

namespace {

struct Settings {
    int mode = 0;
    double bg[4] = {0, 0, 0, 0};
    double tol[4] = {0, 0, 0, 0};
};

Settings Tolerance(double t, int mode = 0) {
    Settings s{.mode = mode};
    std::fill(std::begin(s.tol), std::end(s.tol), t);
    return s;
}

// Noise with full alpha: drawn over anything it replaces it exactly.
std::unique_ptr<Image> OpaqueNoise(int w, int h, ImageDepth depth, unsigned seed) {
    auto img = test::NoiseImage(w, h, depth, seed);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) test::Set(*img, x, y, 3, test::Scale(*img));
    return img;
}

// The output worked out cell by cell; reference and passive already at their sizes and
// of the picture's depth.
std::unique_ptr<Image> Expected(const Image& src, const Image& ref, const Image& motion,
                                const Image* passive, const Settings& s) {
    const double scale = test::Scale(src);
    auto out = test::MakeImage(src.Width(), src.Height(), src.Depth(), [&](int x, int y, int c) {
        const double v = s.bg[c] * scale;
        if (s.mode != 1) return test::At(src, x, y, c);
        if (src.IsFloat()) return double(float(v));
        return std::isnan(v) ? 0.0 : std::clamp(std::trunc(v), 0.0, 65535.0);
    });
    const int cw = motion.Width(), ch = motion.Height();
    for (int y0 = 0; y0 + ch <= src.Height(); y0 += ch)
        for (int x0 = 0; x0 + cw <= src.Width(); x0 += cw) {
            bool changed = false;
            for (int y = y0; y < y0 + ch; ++y)
                for (int x = x0; x < x0 + cw; ++x)
                    for (int c = 0; c < 4; ++c) {
                        const double a = test::At(src, x, y, c), b = test::At(ref, x, y, c);
                        const double h = s.tol[c] * scale / 2;
                        changed = changed || !(b > a - h && b < a + h);
                    }
            if (changed || passive) out->OXMerge(changed ? motion : *passive, x0, y0);
        }
    return out;
}

class Watchcam : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("Watchcam");
    ImageDepth depth = GetParam();
    double scale = test::Scale(depth);
    std::unique_ptr<Image> src = test::NoiseImage(100, 60, depth, 3);
    std::unique_ptr<Image> ref{src->CopyOfImage()};
    std::unique_ptr<Image> motion = OpaqueNoise(30, 20, depth, 4);
    std::unique_ptr<Image> passive;

    std::unique_ptr<Image> Render(const Settings& s, int threads = 0) {
        const char* bg[4] = {"Red", "Green", "Blue", "Alpha"};
        const char* tol[4] = {"ToleranceR", "ToleranceG", "ToleranceB", "ToleranceA"};
        t->SetNumber("OutputMode", s.mode);
        for (int c = 0; c < 4; ++c) t->SetNumber(bg[c], s.bg[c]), t->SetNumber(tol[c], s.tol[c]);
        t->Connect("Input", src.get());
        t->Connect("Reference", ref.get());
        t->Connect("Motion", motion.get());
        t->Connect("Passive", passive.get());
        return test::RenderWithThreads(*t.tool, threads);
    }
    ::testing::AssertionResult Matches(const Image& out, const Settings& s) {
        return test::SameImage(out, *Expected(*src, *ref, *motion, passive.get(), s));
    }
    // Whether the cell at (x0, y0) of out shows the motion image.
    bool ShowsMotion(const Image& out, int x0, int y0) {
        for (int y = 0; y < motion->Height(); ++y)
            for (int i = 0; i < motion->Width() * 4; ++i)
                if (test::At(out, x0 + i / 4, y0 + y, i % 4) != test::At(*motion, i / 4, y, i % 4))
                    return false;
        return true;
    }
};

TEST(Watchcam, InputsAndControlsInOrder) {
    test::LoadedTool t = test::Load("Watchcam");
    const char* ids[] = {"Input",      "Reference",  "Motion",    "Passive", "OutputMode",
                         "Red",        "Green",      "Blue",      "Alpha",   "ToleranceR",
                         "ToleranceG", "ToleranceB", "ToleranceA"};
    ASSERT_EQ(t->Inputs().size(), std::size(ids));
    for (std::size_t i = 0; i < std::size(ids); ++i) EXPECT_EQ(t->Inputs()[i]->Decl().id, ids[i]);
    const InputDecl& ref = t->FindInput("Reference").Decl();
    EXPECT_TRUE(ref.linkNumber == 2 && !ref.required && ref.page.empty());
    for (const char* id : {"Motion", "Passive"})
        EXPECT_TRUE(t->FindInput(id).Decl().kind == "ImageControl" &&
                    !t->FindInput(id).Decl().required);
    EXPECT_EQ(t->FindInput("OutputMode").Decl().name, "Output Mode");
    EXPECT_EQ(t->FindInput("ToleranceG").Decl().name, "Tolerance Green");
    EXPECT_EQ(t->FindInput("Alpha").Decl().colorGroupLabel, "Background Color");
}

TEST_P(Watchcam, CellsAreNumberedRowByRowAndOneChannelMarksItsCell) {
    // Tolerance 0: every cell changes even for equal images; the strip x >= 90 is in none.
    auto out = Render(Settings{});
    for (int n = 0; n < 9; ++n) EXPECT_TRUE(ShowsMotion(*out, n % 3 * 30, n / 3 * 20)) << n;
    EXPECT_TRUE(Matches(*out, Settings{}));
    // One channel changed in the last pixel of cell 4 (30..59, 20..39), one in the first
    // of cell 5 (60, 20) and one in the strip: only cells 4 and 5 change.
    for (auto [x, y, c] : {std::array{59, 39, 2}, {60, 20, 3}, {95, 5, 0}})
        test::Set(*ref, x, y, c, test::At(*src, x, y, c) > 0.5 * scale ? 0.0 : scale);
    const Settings s = Tolerance(0.1);
    out = Render(s);
    EXPECT_TRUE(ShowsMotion(*out, 30, 20) && ShowsMotion(*out, 60, 20));
    EXPECT_EQ(test::At(*out, 29, 39, 0), test::At(*src, 29, 39, 0));
    EXPECT_TRUE(Matches(*out, s));
    // Over the background, with one tolerance 0 among wide ones: every cell again.
    Settings grid = Tolerance(0.9, 1);
    grid.tol[3] = 0;
    EXPECT_TRUE(Matches(*Render(grid), grid));
}

TEST_P(Watchcam, ToleranceOneIsAHalfWidthOfHalfTheScale) {
    // Red of cell 0 differs by exactly half the scale (changed), of cell 1 by just less.
    const bool isInt = depth == ImageDepth::Int16;
    const double a = isInt ? 16383 : 0.25, atHalf = isInt ? 16383 + 32768 : 0.75;
    const double below = isInt ? 16383 + 32767 : double(std::nextafter(0.75f, 0.0f));
    src = test::MakeImage(2, 1, depth, [&](int, int, int) { return a; });
    ref = test::MakeImage(2, 1, depth, [&](int x, int, int c) {
        return c ? a : x ? below : atHalf;
    });
    motion = OpaqueNoise(1, 1, depth, 8);
    auto out = Render(Tolerance(1.0));
    EXPECT_TRUE(ShowsMotion(*out, 0, 0));
    EXPECT_EQ(test::At(*out, 1, 0, 0), a);
}

TEST_P(Watchcam, EqualImagesShowPassiveOrTheBaseAndOtherModesActAsMerge) {
    for (int mode : {0, 2, -1}) EXPECT_TRUE(test::SameImage(*Render(Tolerance(0.1, mode)), *src));
    Settings grid = Tolerance(0.1, 1); // default background: transparent black
    EXPECT_TRUE(test::SameImage(
        *Render(grid), *test::MakeImage(100, 60, depth, [](int, int, int) { return 0.0; })));
    grid.bg[0] = 0.25, grid.bg[1] = 1.5, grid.bg[2] = -1, grid.bg[3] = std::nan("");
    EXPECT_TRUE(Matches(*Render(grid), grid));
    passive = test::NoiseImage(30, 20, depth, 6); // translucent: drawn over the base
    for (const Settings& s : {Tolerance(0.1), grid}) EXPECT_TRUE(Matches(*Render(s), s));
}

TEST_P(Watchcam, MissingImagesGiveRedAndALargeMotionImageNoCells) {
    passive = OpaqueNoise(30, 20, depth, 6);
    auto red = test::MakeImage(100, 60, depth, [&](int, int, int c) { return c ? 0.0 : scale; });
    for (int mode : {0, 1})
        for (std::unique_ptr<Image>* missing : {&ref, &motion}) {
            std::unique_ptr<Image> kept = std::move(*missing);
            EXPECT_TRUE(test::SameImage(*Render(Tolerance(0.5, mode)), *red));
            *missing = std::move(kept);
        }
    motion = OpaqueNoise(101, 20, depth, 4);
    EXPECT_TRUE(test::SameImage(*Render(Settings{}), *src));
    Settings grid{.mode = 1, .bg = {0, 0, 1, 0}};
    EXPECT_TRUE(Matches(*Render(grid), grid));
}

TEST_P(Watchcam, OtherSizesAreResizedAndTheOtherDepthConverted) {
    // A flat reference of another size matches a flat picture once resized; a small flat
    // passive image then covers every whole cell.
    auto flat = [sc = scale](double v) {
        return [=](int, int, int c) { return (v + 0.2 * c) * sc; };
    };
    src = test::MakeImage(100, 60, depth, flat(0.2));
    ref = test::MakeImage(37, 211, depth, flat(0.2));
    passive =
        test::MakeImage(7, 3, depth, [&](int, int, int c) { return c == 3 ? scale : 0.5 * scale; });
    auto out = Render(Tolerance(0.01));
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 90; ++x)
            ASSERT_NEAR(test::At(*out, x, y, 0), 0.5 * scale, scale * 2e-5);
    ref = test::MakeImage(37, 211, depth, flat(0.3));
    EXPECT_TRUE(ShowsMotion(*Render(Tolerance(0.01)), 60, 40));

    // A reference of the other depth, read as the host converts it: float values 0.4
    // below whole levels round to those levels. With a half-width of half a level any
    // level read off by one would count.
    const ImageDepth other = depth == ImageDepth::Int16 ? ImageDepth::Float32 : ImageDepth::Int16;
    auto level = [](ImageDepth d, double below) {
        return [=](int x, int y, int c) {
            const double v = (x + y + c) * 300.0;
            return d == ImageDepth::Int16 ? v : std::max(0.0, v - below) / 65535;
        };
    };
    src = test::MakeImage(100, 60, depth, level(depth, 0));
    ref = test::MakeImage(100, 60, other, level(other, 0.4));
    passive.reset();
    EXPECT_TRUE(test::SameImage(*Render(Tolerance(1 / 65535.0)), *src));
    test::Set(*ref, 70, 50, 1, other == ImageDepth::Int16 ? 60000 : 0.9);
    out = Render(Tolerance(1 / 65535.0));
    EXPECT_TRUE(ShowsMotion(*out, 60, 40));
    EXPECT_EQ(test::At(*out, 59, 40, 0), test::At(*src, 59, 40, 0));
}

TEST_P(Watchcam, NaNInAPixelOrAToleranceCountsAsChanged) {
    Settings s = Tolerance(0.5);
    s.tol[2] = std::numeric_limits<double>::quiet_NaN();
    for (int n = 0; n < 9; ++n) EXPECT_TRUE(ShowsMotion(*Render(s), n % 3 * 30, n / 3 * 20)) << n;
    if (depth != ImageDepth::Float32) return;
    // Over the background, since a merge over a NaN pixel keeps the NaN.
    test::Set(*src, 40, 25, 0, std::nan(""));
    auto out = Render(Tolerance(0.5, 1));
    EXPECT_TRUE(ShowsMotion(*out, 30, 20));
    EXPECT_FALSE(ShowsMotion(*out, 0, 20));
}

TEST_P(Watchcam, MatchesTheSerialReferenceOnAnyThreadCount) {
    src = test::NoiseImage(257, 131, depth, 11);
    ref.reset(src->CopyOfImage());
    for (int y = 0; y < 131; y += 3)
        test::Set(*ref, (y * 37) % 257, y, y % 4, test::At(*src, 0, 0, 0));
    motion = test::NoiseImage(7, 5, depth, 12);
    passive = test::NoiseImage(7, 5, depth, 13);
    for (int mode : {0, 1}) {
        Settings s = Tolerance(0.2, mode);
        s.bg[0] = 0.5, s.bg[3] = 0.75;
        auto one = Render(s, 1);
        EXPECT_TRUE(Matches(*one, s));
        for (int threads : test::kThreadCounts)
            EXPECT_TRUE(test::SameImage(*one, *Render(s, threads))) << threads << " threads";
    }
}

// A grid row of more cells than the tool takes in one run (narrow cells on a wide
// picture): every run tests and marks its own cells, the last one short.
TEST_P(Watchcam, GridRowsOfManyCellsMatchTheSerialReference) {
    src = test::NoiseImage(2 * 1024 + 75, 7, depth, 21);
    ref.reset(src->CopyOfImage());
    for (int x = 0; x < src->Width(); x += 5) test::Set(*ref, x, (x / 5) % 6, x % 4, 0.0);
    motion = test::NoiseImage(1, 3, depth, 22);
    passive = test::NoiseImage(1, 3, depth, 23);
    for (int mode : {0, 1}) {
        const Settings s = Tolerance(0.01, mode);
        for (int threads : test::kThreadCounts)
            EXPECT_TRUE(Matches(*Render(s, threads), s)) << mode << ", " << threads << " threads";
    }
}

// One-pixel cells: each pixel shows whether its own difference counts as changed.
// Differences -6..6 and to the other end of the range, from levels at both ends,
// against half-widths on, just above and just below whole numbers: integer pictures,
// tested in whole levels, agree with the double test everywhere.
TEST(Watchcam, IntegerPicturesAgreeWithTheDoubleTestAtEveryThreshold) {
    test::LoadedTool t = test::Load("Watchcam");
    const double levels[] = {0, 1, 30000, 65534, 65535};
    auto src =
        test::MakeImage(14, 20, ImageDepth::Int16, [&](int, int y, int) { return levels[y % 5]; });
    auto ref = test::MakeImage(14, 20, ImageDepth::Int16, [&](int x, int y, int c) {
        if (c != y / 5) return levels[y % 5];
        return x == 13 ? 65535 - levels[y % 5] : std::clamp(levels[y % 5] + x - 6, 0.0, 65535.0);
    });
    auto motion = OpaqueNoise(1, 1, ImageDepth::Int16, 2);
    t->Connect("Input", src.get());
    t->Connect("Reference", ref.get());
    t->Connect("Motion", motion.get());
    for (double h : {1e-9, 0.5, 1.0, 1.0 + 1e-15, 1.0 + 1e-9, 1.0 + 1e-6, 2.0 - 1e-12, 2.5, 3.0,
                     std::nextafter(4.0, 5.0), 6.0, 65534.5, 65535.0, 65535.5, 70000.0}) {
        const Settings s = Tolerance(2 * h / 65535);
        for (const char* id : {"ToleranceR", "ToleranceG", "ToleranceB", "ToleranceA"})
            t->SetNumber(id, s.tol[0]);
        EXPECT_TRUE(test::SameImage(*t->Render(), *Expected(*src, *ref, *motion, nullptr, s)))
            << "half-width " << h;
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, Watchcam, ::testing::ValuesIn(test::kDepths), test::DepthName);

} // namespace
