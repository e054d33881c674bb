// Watchcam against hand-worked cells and against a serial reference that tests every
// cell with a plain loop and draws its mark with the host's merge, on both depths.
#include "support.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <vector>

namespace {

struct Settings {
    int mode = 0;
    double bg[4] = {0, 0, 0, 0};
    double tol[4] = {0, 0, 0, 0};
};

void Apply(qrvx::Tool& tool, const Settings& s) {
    const char* bg[4] = {"Red", "Green", "Blue", "Alpha"};
    const char* tol[4] = {"ToleranceR", "ToleranceG", "ToleranceB", "ToleranceA"};
    tool.SetNumber("OutputMode", s.mode);
    for (int c = 0; c < 4; ++c) {
        tool.SetNumber(bg[c], s.bg[c]);
        tool.SetNumber(tol[c], s.tol[c]);
    }
}

Settings Tolerance(double t) {
    Settings s;
    for (double& v : s.tol)
        v = t;
    return s;
}

std::unique_ptr<Image> Copy(const Image& img) {
    return test::MakeImage(img.Width(), img.Height(), img.Depth(),
                           [&](int x, int y, int c) { return test::At(img, x, y, c); });
}

// Noise with full alpha: drawn over anything it replaces it exactly.
std::unique_ptr<Image> OpaqueNoise(int w, int h, ImageDepth depth, unsigned seed) {
    auto img = test::NoiseImage(w, h, depth, seed);
    const double full = depth == ImageDepth::Float32 ? 1.0 : 65535.0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            test::Set(*img, x, y, 3, full);
    return img;
}

// The output worked out cell by cell in order; reference and passive already at their
// sizes and depths.
std::unique_ptr<Image> Expected(const Image& src, const Image& ref, const Image& motion,
                                const Image* passive, const Settings& s) {
    const double scale = src.IsFloat() ? 1.0 : 65535.0;
    auto out = test::MakeImage(src.Width(), src.Height(), src.Depth(), [&](int x, int y, int c) {
        if (s.mode != 1) return test::At(src, x, y, c);
        const double v = s.bg[c] * scale;
        return src.IsFloat() ? double(float(v)) : std::clamp(std::trunc(v), 0.0, 65535.0);
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
                        if (!(b > a - h && b < a + h)) changed = true;
                    }
            if (changed)
                out->OXMerge(motion, x0, y0);
            else if (passive)
                out->OXMerge(*passive, x0, y0);
        }
    return out;
}

class WatchcamTest : public ::testing::TestWithParam<ImageDepth> {
  protected:
    test::LoadedTool t = test::Load("Watchcam");
    ImageDepth depth = GetParam();
    double scale = depth == ImageDepth::Float32 ? 1.0 : 65535.0;
    std::unique_ptr<Image> src = test::NoiseImage(100, 60, depth, 3);
    std::unique_ptr<Image> ref = Copy(*src);
    std::unique_ptr<Image> motion = OpaqueNoise(30, 20, depth, 4);
    std::unique_ptr<Image> passive;

    std::unique_ptr<Image> Render(const Settings& s, int threads = 0) {
        Apply(*t.tool, s);
        t->Connect("Input", src.get());
        t->Connect("Reference", ref.get());
        t->Connect("Motion", motion.get());
        t->Connect("Passive", passive.get());
        return test::RenderWithThreads(*t.tool, threads);
    }
    // Whether the cell at (x0, y0) of out shows the motion image.
    bool ShowsMotion(const Image& out, int x0, int y0) {
        for (int y = 0; y < motion->Height(); ++y)
            for (int x = 0; x < motion->Width(); ++x)
                for (int c = 0; c < 4; ++c)
                    if (test::At(out, x0 + x, y0 + y, c) != test::At(*motion, x, y, c))
                        return false;
        return true;
    }
};

TEST(WatchcamDeclarations, InputsAndControlsInOrder) {
    test::LoadedTool t = test::Load("Watchcam");
    const char* ids[] = {"Input",      "Reference",  "Motion",    "Passive", "OutputMode",
                         "Red",        "Green",      "Blue",      "Alpha",   "ToleranceR",
                         "ToleranceG", "ToleranceB", "ToleranceA"};
    ASSERT_EQ(t->Inputs().size(), std::size(ids));
    for (std::size_t i = 0; i < std::size(ids); ++i) {
        const InputDecl& d = t->Inputs()[i]->Decl();
        EXPECT_EQ(d.id, ids[i]);
        EXPECT_EQ(d.page, "");
    }
    const InputDecl& ref = t->FindInput("Reference").Decl();
    EXPECT_EQ(ref.linkNumber, 2);
    EXPECT_FALSE(ref.required);
    for (const char* id : {"Motion", "Passive"}) {
        EXPECT_EQ(t->FindInput(id).Decl().kind, "ImageControl");
        EXPECT_FALSE(t->FindInput(id).Decl().required);
    }
    EXPECT_EQ(t->FindInput("OutputMode").Decl().name, "Output Mode");
    EXPECT_EQ(t->FindInput("ToleranceG").Decl().name, "Tolerance Green");
    EXPECT_EQ(t->FindInput("ToleranceA").Decl().kind, "ScrewControl");
    EXPECT_EQ(t->FindInput("Alpha").Decl().colorGroupLabel, "Background Color");
    EXPECT_EQ(t->FindInput("Alpha").Decl().groupPlace.value_or(-1), 3);
}

TEST_P(WatchcamTest, ZeroToleranceMarksEveryCellEvenForEqualImages) {
    auto out = Render(Settings{});
    for (int n = 0; n < 9; ++n)
        EXPECT_TRUE(ShowsMotion(*out, n % 3 * 30, n / 3 * 20)) << n;
    // The strip x >= 90 belongs to no cell.
    for (int y = 0; y < 60; ++y)
        for (int x = 90; x < 100; ++x)
            ASSERT_EQ(test::At(*out, x, y, 1), test::At(*src, x, y, 1));
    // Over the background too, and with one tolerance 0 among wide ones.
    Settings s = Tolerance(0.9);
    s.mode = 1;
    s.tol[3] = 0;
    EXPECT_TRUE(test::SameImage(*Render(s), *Expected(*src, *ref, *motion, nullptr, s)));
}

TEST_P(WatchcamTest, OneChangedChannelMarksOnlyItsCell) {
    // Cell 4 spans (30..59, 20..39), cell 5 starts at (60, 20); the strip x >= 90 is not
    // compared.
    const double step = 0.1 * scale;
    test::Set(*ref, 59, 39, 2,
              test::At(*src, 59, 39, 2) + (test::At(*src, 59, 39, 2) > step ? -step : step));
    test::Set(*ref, 60, 20, 3,
              test::At(*src, 60, 20, 3) + (test::At(*src, 60, 20, 3) > step ? -step : step));
    test::Set(*ref, 95, 5, 0,
              test::At(*src, 95, 5, 0) + (test::At(*src, 95, 5, 0) > step ? -step : step));
    const Settings s = Tolerance(0.1);
    auto out = Render(s);
    EXPECT_TRUE(ShowsMotion(*out, 30, 20));
    EXPECT_TRUE(ShowsMotion(*out, 60, 20));
    EXPECT_TRUE(test::SameImage(*out, *Expected(*src, *ref, *motion, nullptr, s)));
    // Every other cell, and the strip, keep the picture.
    EXPECT_EQ(test::At(*out, 29, 39, 0), test::At(*src, 29, 39, 0));
    EXPECT_EQ(test::At(*out, 59, 40, 0), test::At(*src, 59, 40, 0));
    EXPECT_EQ(test::At(*out, 95, 5, 0), test::At(*src, 95, 5, 0));
}

TEST_P(WatchcamTest, ToleranceOneIsAHalfWidthOfHalfTheScale) {
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
    EXPECT_FALSE(ShowsMotion(*out, 1, 0));
    EXPECT_EQ(test::At(*out, 1, 0, 0), test::At(*src, 1, 0, 0));
}

TEST_P(WatchcamTest, EqualImagesShowPassiveOrTheBase) {
    const Settings merge = Tolerance(0.1);
    EXPECT_TRUE(test::SameImage(*Render(merge), *src));
    Settings grid = merge;
    grid.mode = 1;
    auto out = Render(grid); // default background: transparent black
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 100; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(test::At(*out, x, y, c), 0.0);
    grid.bg[0] = 0.25, grid.bg[1] = 1.5, grid.bg[2] = -1, grid.bg[3] = 1;
    EXPECT_TRUE(test::SameImage(*Render(grid), *Expected(*src, *ref, *motion, nullptr, grid)));
    EXPECT_EQ(test::At(*Render(grid), 99, 59, 0), depth == ImageDepth::Int16 ? 16383.0 : 0.25);

    passive = test::NoiseImage(30, 20, depth, 6); // translucent: drawn over the base
    for (const Settings& s : {merge, grid})
        EXPECT_TRUE(test::SameImage(*Render(s), *Expected(*src, *ref, *motion, passive.get(), s)));
}

TEST_P(WatchcamTest, ModesOutsideTheListActAsMergeOverBackground) {
    Settings s = Tolerance(0.3);
    ref = test::NoiseImage(100, 60, depth, 9);
    const auto merged = Render(s);
    for (int mode : {2, -1, 7}) {
        s.mode = mode;
        EXPECT_TRUE(test::SameImage(*Render(s), *merged)) << mode;
    }
}

TEST_P(WatchcamTest, MissingReferenceOrMotionGivesRed) {
    passive = OpaqueNoise(30, 20, depth, 6);
    for (int mode : {0, 1})
        for (std::unique_ptr<Image>* missing : {&ref, &motion}) {
            Settings s = Tolerance(0.5);
            s.mode = mode;
            s.bg[1] = 0.5;
            std::unique_ptr<Image> kept = std::move(*missing);
            auto out = Render(s);
            *missing = std::move(kept);
            for (int y = 0; y < 60; ++y)
                for (int x = 0; x < 100; ++x) {
                    ASSERT_EQ(test::At(*out, x, y, 0), scale);
                    for (int c = 1; c < 4; ++c)
                        ASSERT_EQ(test::At(*out, x, y, c), 0.0);
                }
        }
}

TEST_P(WatchcamTest, MotionLargerThanThePictureGivesNoCells) {
    motion = OpaqueNoise(101, 20, depth, 4);
    EXPECT_TRUE(test::SameImage(*Render(Settings{}), *src));
    Settings grid;
    grid.mode = 1;
    grid.bg[2] = 1;
    auto out = Render(grid);
    EXPECT_EQ(test::At(*out, 50, 30, 2), scale);
    EXPECT_EQ(test::At(*out, 50, 30, 0), 0.0);
}

TEST_P(WatchcamTest, OtherSizesAreResizedFirst) {
    // A flat reference of another size matches a flat picture once resized; a small flat
    // passive image then covers every whole cell.
    src = test::MakeImage(100, 60, depth, [&](int, int, int c) { return (0.2 + 0.2 * c) * scale; });
    ref = test::MakeImage(37, 211, depth, [&](int, int, int c) { return (0.2 + 0.2 * c) * scale; });
    passive =
        test::MakeImage(7, 3, depth, [&](int, int, int c) { return c == 3 ? scale : 0.5 * scale; });
    auto out = Render(Tolerance(0.01));
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 90; ++x)
            ASSERT_NEAR(test::At(*out, x, y, 0), 0.5 * scale, scale * 2e-5);
    EXPECT_EQ(test::At(*out, 95, 10, 0), test::At(*src, 95, 10, 0));

    ref = test::MakeImage(37, 211, depth, [&](int, int, int c) { return (0.3 + 0.2 * c) * scale; });
    EXPECT_TRUE(ShowsMotion(*Render(Tolerance(0.01)), 60, 40));
}

TEST_P(WatchcamTest, AReferenceOfTheOtherDepthIsComparedInThePicturesUnits) {
    const ImageDepth other = depth == ImageDepth::Int16 ? ImageDepth::Float32 : ImageDepth::Int16;
    // Whole 16-bit levels, which both depths hold.
    auto level = [](ImageDepth d) {
        return [d](int x, int y, int c) {
            const double v = (x + y + c) * 300.0;
            return d == ImageDepth::Int16 ? v : v / 65535;
        };
    };
    src = test::MakeImage(100, 60, depth, level(depth));
    ref = test::MakeImage(100, 60, other, level(other));
    EXPECT_TRUE(test::SameImage(*Render(Tolerance(0.001)), *src));
    test::Set(*ref, 70, 50, 1, other == ImageDepth::Int16 ? 60000 : 0.9);
    auto out = Render(Tolerance(0.001));
    EXPECT_TRUE(ShowsMotion(*out, 60, 40));
    EXPECT_EQ(test::At(*out, 59, 40, 0), test::At(*src, 59, 40, 0));
}

TEST_P(WatchcamTest, NaNInAPixelOrAToleranceCountsAsChanged) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    Settings s = Tolerance(0.5);
    s.tol[2] = nan;
    auto out = Render(s);
    for (int n = 0; n < 9; ++n)
        EXPECT_TRUE(ShowsMotion(*out, n % 3 * 30, n / 3 * 20)) << n;
    if (depth != ImageDepth::Float32) return;
    // Over the background, since a merge over a NaN pixel keeps the NaN.
    test::Set(*src, 40, 25, 0, nan);
    s = Tolerance(0.5);
    s.mode = 1;
    out = Render(s);
    EXPECT_TRUE(ShowsMotion(*out, 30, 20));
    EXPECT_FALSE(ShowsMotion(*out, 0, 20));
}

TEST(WatchcamLevels, IntegerPicturesAgreeWithTheDoubleTestAtEveryThreshold) {
    // One-pixel cells: each pixel shows whether its own difference counts as changed.
    // Differences -6..6 around levels at both ends of the range, against half-widths on,
    // just above and just below whole numbers.
    test::LoadedTool t = test::Load("Watchcam");
    const double levels[] = {0, 1, 30000, 65534, 65535};
    auto src =
        test::MakeImage(13, 20, ImageDepth::Int16, [&](int, int y, int) { return levels[y % 5]; });
    auto ref = test::MakeImage(13, 20, ImageDepth::Int16, [&](int x, int y, int c) {
        return std::clamp(levels[y % 5] + (c == y / 5 ? x - 6 : 0), 0.0, 65535.0);
    });
    auto motion = OpaqueNoise(1, 1, ImageDepth::Int16, 2);
    t->Connect("Input", src.get());
    t->Connect("Reference", ref.get());
    t->Connect("Motion", motion.get());
    for (double h : {1e-9, 0.5, 1.0, 1.0 + 1e-15, 1.0 + 1e-9, 1.0 + 1e-6, 2.0 - 1e-12, 2.5, 3.0,
                     std::nextafter(4.0, 5.0), 6.0, 65535.5, 70000.0}) {
        Settings s = Tolerance(2 * h / 65535);
        Apply(*t.tool, s);
        EXPECT_TRUE(test::SameImage(*t->Render(), *Expected(*src, *ref, *motion, nullptr, s)))
            << "half-width " << h;
    }
}

TEST_P(WatchcamTest, MatchesTheSerialReferenceOnAnyThreadCount) {
    src = test::NoiseImage(257, 131, depth, 11);
    ref = Copy(*src);
    for (int y = 0; y < 131; y += 3)
        test::Set(*ref, (y * 37) % 257, y, y % 4, test::At(*src, 0, 0, 0));
    motion = test::NoiseImage(7, 5, depth, 12);
    passive = test::NoiseImage(7, 5, depth, 13);
    for (int mode : {0, 1}) {
        Settings s = Tolerance(0.2);
        s.mode = mode;
        s.bg[0] = 0.5, s.bg[3] = 0.75;
        auto one = Render(s, 1);
        EXPECT_TRUE(test::SameImage(*one, *Expected(*src, *ref, *motion, passive.get(), s)));
        EXPECT_TRUE(test::SameImage(*one, *Render(s, 0)));
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, WatchcamTest, ::testing::ValuesIn(test::kDepths),
                         [](const auto& info) {
                             return info.param == ImageDepth::Float32 ? "Float" : "Int16";
                         });

} // namespace
