// Scatter: the region and scale rules, the star choice, the seed, the edge cases and the
// in-order merge on any thread count, on both depths.
#include "frame/offsets.h"
#include "frame/random.h"
#include "support.h"

#include <cmath>
#include <string>
#include <vector>

namespace {

struct Settings {
    int seed = 1, first = 1, last = 20, tolerance = 0, density = 1;
    double xMin = 0, xMax = 1, yMin = 0, yMax = 1, zMin = 0, zMax = 1;
};

std::string StarId(int i) { return i == 0 ? "Star 1 (required)" : "Star " + std::to_string(i + 1); }

// The scatter merged one placement after another, each star resized afresh, from the
// draws in their order: list position, x, y, scale. Ranges must not be reversed. Range
// ends, corners and scaled sides are taken as whole where they lie a few units in the
// last place from a whole number.
std::unique_ptr<Image> Reference(const Image& in, const std::vector<const Image*>& stars,
                                 const Settings& s) {
    std::unique_ptr<Image> out(in.CopyOfImage());
    const double w = in.Width(), h = in.Height();
    frame::Random rng(std::uint32_t(s.seed));
    const auto whole = frame::WholeIfClose;
    auto draw = [&](double size, double low, double high) {
        low = whole(size * low, size), high = whole(size * high, size);
        const auto n = std::uint32_t(std::trunc(high + 1 - low));
        return double(rng.Draw() % n) + low;
    };
    for (int q = 0; q < s.density; ++q) {
        const int position =
            frame::ChoosePosition(rng, s.first, s.last, s.tolerance, int(stars.size()));
        const double fx = draw(w, s.xMin, s.xMax) / w;
        const double fy = draw(h, s.yMin, s.yMax) / h;
        const double scale = draw(100, s.zMin, s.zMax) / 100;
        const Image& star = *stars[std::size_t(position)];
        const int sw = int(whole(star.Width() * scale, star.Width())),
                  sh = int(whole(star.Height() * scale, star.Height()));
        if (sw < 1 || sh < 1) continue;
        std::unique_ptr<Image> sized(star.ResizeOfImage(sw, sh));
        out->OXMerge(*sized, int(whole(w * fx, w)), int(whole(h * fy, h)));
    }
    return out;
}

class Scatter : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("Scatter");

    std::unique_ptr<Image> Render(const Image& in, const std::vector<const Image*>& stars,
                                  const Settings& s, int threads = 0) {
        t->SetNumber("seed", s.seed);
        t->SetNumber("Probability Start", s.first);
        t->SetNumber("Probability End", s.last);
        t->SetNumber("Tolerance", s.tolerance);
        t->SetNumber("density", s.density);
        t->SetNumber("Xmin", s.xMin);
        t->SetNumber("Xmax", s.xMax);
        t->SetNumber("Ymin", s.yMin);
        t->SetNumber("Ymax", s.yMax);
        t->SetNumber("Zmin", s.zMin);
        t->SetNumber("Zmax", s.zMax);
        t->Connect("Input", &in);
        for (int i = 0; i < 20; ++i)
            t->Connect(StarId(i), i < int(stars.size()) ? stars[std::size_t(i)] : nullptr);
        return test::RenderWithThreads(*t.tool, threads);
    }

    std::unique_ptr<Image> Blank(int w, int h) {
        return test::MakeImage(w, h, GetParam(), [](int, int, int) { return 0.0; });
    }
    // A w x 1 star, transparent, whose only colour is 1 (in channel units) in red at
    // column `at`: merged over a picture it adds 1 there, so counts pile up.
    std::unique_ptr<Image> Tally(int w, int at) {
        return test::MakeImage(w, 1, GetParam(),
                               [=](int x, int, int c) { return x == at && c == 0 ? 1.0 : 0.0; });
    }
};

TEST_P(Scatter, MatchesTheInOrderMergeOnAnyThreadCount) {
    auto in = test::NoiseImage(61, 47, GetParam(), 3);
    auto a = test::NoiseImage(13, 9, GetParam(), 4), b = test::NoiseImage(20, 11, GetParam(), 5),
         c = test::NoiseImage(7, 16, GetParam(), 6);
    const std::vector<const Image*> stars = {a.get(), b.get(), c.get()};
    // clang-format off
    const Settings rounds[] = {
        {.seed = 1, .density = 300},
        {.seed = 77, .first = 1, .last = 3, .tolerance = 2, .density = 1000, .zMin = 0.3},
        {.seed = 9, .first = 2, .last = 2, .density = 200, .xMin = 0.5, .yMax = 0.4, .zMin = 1, .zMax = 1.5},
        {.seed = 65535, .first = 1, .last = 3, .density = 500, .xMin = 0.9, .yMin = 0.9, .zMin = 0.5},
    };
    // clang-format on
    for (const Settings& s : rounds) {
        const auto expected = Reference(*in, stars, s);
        for (int threads : {1, 2, 3, 7})
            ASSERT_TRUE(test::SameImage(*Render(*in, stars, s, threads), *expected))
                << "seed " << s.seed << ", threads " << threads;
    }
}

TEST_P(Scatter, CornersSpanTheRegionFromItsLowToItsHighEnd) {
    // W = 720, Xmin 0.25, Xmax 0.5: corners 180 to 360. One opaque pixel per placement.
    auto in = Blank(720, 2);
    const double full = test::Scale(GetParam());
    auto dot = test::MakeImage(1, 1, GetParam(), [=](int, int, int) { return full; });
    const Settings s{
        .density = 1000, .xMin = 0.25, .xMax = 0.5, .yMin = 0, .yMax = 0, .zMin = 1, .zMax = 1};
    auto out = Render(*in, {dot.get()}, s);
    int marked = 0, low = 720, high = -1;
    for (int x = 0; x < 720; ++x) {
        EXPECT_EQ(test::At(*out, x, 1, 3), 0.0);
        if (test::At(*out, x, 0, 3) == 0.0) continue;
        ++marked, low = std::min(low, x), high = std::max(high, x);
    }
    EXPECT_EQ(low, 180);
    EXPECT_EQ(high, 360);
    EXPECT_GT(marked, 150);
}

// A region given in tenths of 360 or 1080 rows (or columns) puts corners on every row of
// it and on no other: the ends are whole numbers, and a drawn row comes back as itself
// from its share of the height (47 x (3 / 47) is 2.9999999999999996).
TEST_P(Scatter, CornersReachEveryRowAndColumnOfTheRegionAndNoOther) {
    auto tally = Tally(1, 0);
    struct Region {
        int size;
        double low, high;
    };
    for (const Region r :
         {Region{360, 0.1, 0.2}, Region{360, 0.7, 0.8}, Region{1080, 0.1, 0.2}, Region{47, 0, 1}}) {
        const int first = int(std::lround(r.size * r.low)),
                  last = int(std::lround(r.size * r.high));
        for (bool rows : {true, false}) {
            Settings s{.density = 1000, .zMin = 1, .zMax = 1};
            (rows ? s.yMin : s.xMin) = r.low, (rows ? s.yMax : s.xMax) = r.high;
            (rows ? s.xMin : s.yMin) = 0, (rows ? s.xMax : s.yMax) = 0;
            auto in = rows ? Blank(1, r.size) : Blank(r.size, 1);
            auto out = Render(*in, {tally.get()}, s);
            int placed = 0;
            for (int i = 0; i < r.size; ++i) {
                const double n = rows ? test::At(*out, 0, i, 0) : test::At(*out, i, 0, 0);
                placed += int(n);
                if (i < first || i > last)
                    EXPECT_EQ(n, 0) << r.size << (rows ? " rows, row " : " columns, column ") << i;
                else
                    EXPECT_GT(n, 0) << r.size << (rows ? " rows, row " : " columns, column ") << i;
            }
            // Corners at the far end (row 47 of 47) lie outside the picture.
            EXPECT_GT(placed, 900);
        }
    }
}

// A scale of 0.29 makes a 100-pixel star 29 pixels, though 100 x 0.29 is
// 28.999999999999996.
TEST_P(Scatter, AScaleInHundredthsGivesThatManyHundredthsOfTheStar) {
    const double full = test::Scale(GetParam());
    auto star = test::MakeImage(100, 100, GetParam(), [=](int, int, int) { return full; });
    auto in = Blank(120, 120);
    const Settings s{.xMax = 0, .yMax = 0, .zMin = 0.29, .zMax = 0.29};
    auto out = Render(*in, {star.get()}, s);
    for (int y = 0; y < 120; ++y)
        for (int x = 0; x < 120; ++x)
            ASSERT_EQ(test::At(*out, x, y, 3) > 0, x < 29 && y < 29) << x << ", " << y;
}

TEST_P(Scatter, ACentredRegionAtFullScalePutsEveryStarAtTheCentrePixel) {
    auto in = test::NoiseImage(21, 15, GetParam(), 7);
    auto star = test::NoiseImage(5, 4, GetParam(), 8);
    const Settings s{
        .density = 3, .xMin = 0.5, .xMax = 0.5, .yMin = 0.5, .yMax = 0.5, .zMin = 1, .zMax = 1};
    std::unique_ptr<Image> expected(in->CopyOfImage());
    for (int i = 0; i < 3; ++i) expected->OXMerge(*star, 10, 7);
    EXPECT_TRUE(test::SameImage(*Render(*in, {star.get()}, s), *expected));
}

TEST_P(Scatter, ChoiceOddsFollowTheRange) {
    // Every placement lands at (0, 0) unscaled; star i adds 1 to red at column i.
    auto in = Blank(5, 1);
    std::vector<std::unique_ptr<Image>> owned;
    std::vector<const Image*> stars;
    for (int i = 0; i < 5; ++i) {
        owned.push_back(Tally(5, i));
        stars.push_back(owned.back().get());
    }
    Settings s{.density = 1000, .xMax = 0, .yMax = 0, .zMin = 1, .zMax = 1};

    // Range 1..5 over five stars: even odds.
    s.last = 5;
    auto out = Render(*in, stars, s);
    double total = 0;
    for (int i = 0; i < 5; ++i) {
        const double n = test::At(*out, i, 0, 0);
        EXPECT_GT(n, 150) << "star " << i + 1;
        EXPECT_LT(n, 250) << "star " << i + 1;
        total += n;
    }
    EXPECT_EQ(total, 1000);

    // Two stars and the default range 1..20: positions 1 to 19 are held to the second.
    s.last = 20, s.density = 300;
    out = Render(*in, {stars[0], stars[1]}, s);
    EXPECT_EQ(test::At(*out, 0, 0, 0) + test::At(*out, 1, 0, 0), 300);
    EXPECT_GT(test::At(*out, 1, 0, 0), 270);
    EXPECT_LT(test::At(*out, 1, 0, 0), 295);
}

TEST_P(Scatter, TheSeedAloneDecidesTheScatter) {
    auto in = test::NoiseImage(40, 30, GetParam(), 9);
    auto a = test::NoiseImage(9, 9, GetParam(), 10), b = test::NoiseImage(6, 12, GetParam(), 11);
    Settings s{.density = 40};
    auto first = Render(*in, {a.get(), b.get()}, s);
    EXPECT_TRUE(test::SameImage(*Render(*in, {a.get(), b.get()}, s), *first));
    s.seed = 2;
    EXPECT_FALSE(test::SameImage(*Render(*in, {a.get(), b.get()}, s), *first));
}

TEST_P(Scatter, EdgeCases) {
    auto in = test::NoiseImage(30, 20, GetParam(), 12);
    auto star = test::NoiseImage(8, 6, GetParam(), 13),
         dot = test::NoiseImage(1, 1, GetParam(), 14);
    const std::vector<const Image*> stars = {star.get()};

    // Nothing to place: no star, no placements, stars scaled to nothing, a region
    // outside the picture.
    EXPECT_TRUE(test::SameImage(*Render(*in, {}, {.density = 100}), *in));
    EXPECT_TRUE(test::SameImage(*Render(*in, stars, {.density = 0}), *in));
    EXPECT_TRUE(test::SameImage(*Render(*in, {dot.get()}, {.density = 100, .zMax = 0.99}), *in));
    EXPECT_TRUE(
        test::SameImage(*Render(*in, stars, {.density = 100, .xMin = 1.5, .xMax = 3}), *in));
    EXPECT_TRUE(
        test::SameImage(*Render(*in, stars, {.density = 100, .yMin = -3, .yMax = -0.31}), *in));

    // Density beyond 1000 is held to 1000.
    const Settings many{.density = 1000, .zMax = 0.5};
    auto held = Render(*in, stars, many);
    EXPECT_TRUE(test::SameImage(*Render(*in, stars, {.density = 5000, .zMax = 0.5}), *held));

    // Reversed ranges are taken with their ends swapped.
    // clang-format off
    const Settings forward{.first = 1, .last = 2, .density = 50, .xMin = 0.2, .xMax = 0.7,
                           .yMin = 0.1, .yMax = 0.6, .zMin = 0.3, .zMax = 0.9};
    // clang-format on
    Settings reversed = forward;
    std::swap(reversed.first, reversed.last);
    std::swap(reversed.xMin, reversed.xMax);
    std::swap(reversed.yMin, reversed.yMax);
    std::swap(reversed.zMin, reversed.zMax);
    const std::vector<const Image*> two = {star.get(), dot.get()};
    EXPECT_TRUE(test::SameImage(*Render(*in, two, reversed), *Render(*in, two, forward)));
}

// Only the part of a resized star that lands in the picture is made: a star far larger
// than the host could hold whole still renders, as the in-order merge of whole stars.
TEST_P(Scatter, OnlyThePartOfAStarInThePictureIsMade) {
    auto in = test::NoiseImage(30, 20, GetParam(), 15);
    auto a = test::NoiseImage(4, 4, GetParam(), 16), b = test::NoiseImage(5, 3, GetParam(), 17);
    // Star 1 at half size, Star 2 at 300 times its size: 1500 x 900 pixels.
    const Settings s{.first = 1, .last = 2, .density = 40, .zMin = 300, .zMax = 300};
    qrvx::SetMaxImagePixels(1'000'000);
    const auto rendered = Render(*in, {a.get(), b.get()}, s);
    qrvx::SetMaxImagePixels(std::int64_t(1) << 28);
    EXPECT_TRUE(test::SameImage(*rendered, *Reference(*in, {a.get(), b.get()}, s)));
}

// Stars whose parts in the picture together pass the memory budget for resized stars
// are made and merged in groups, one after another, with the in-order result.
TEST_P(Scatter, HugeScalesAreMergedInGroupsInOrder) {
    auto in = test::NoiseImage(2048, 2048, GetParam(), 18);
    auto a = test::NoiseImage(64, 64, GetParam(), 19);
    // Sixteen stars at about 32 times their size, each covering the picture from its
    // corner: 32 MB a part as 16-bit, 64 MB as float.
    const Settings s{.seed = 3, .density = 16, .xMax = 0, .yMax = 0, .zMin = 32, .zMax = 33};
    const auto expected = Reference(*in, {a.get()}, s);
    for (int threads : test::kThreadCounts)
        EXPECT_TRUE(test::SameImage(*Render(*in, {a.get()}, s, threads), *expected))
            << threads << " threads";
}

TEST(Scatter, ChoiceControlsTakeWholeNumbersAndOnlyStarOneIsRequired) {
    test::LoadedTool t = test::Load("Scatter");
    for (const char* id : {"seed", "Probability Start", "Probability End", "Tolerance", "density"})
        EXPECT_TRUE(t->FindInput(id).Decl().wholeNumbers) << id;
    for (const char* id : {"Xmin", "Xmax", "Ymin", "Ymax", "Zmin", "Zmax"})
        EXPECT_FALSE(t->FindInput(id).Decl().wholeNumbers) << id;
    for (int i = 0; i < 20; ++i) {
        const InputDecl& d = t->FindInput(StarId(i)).Decl();
        EXPECT_EQ(d.required, i == 0) << d.id;
        EXPECT_EQ(d.page, i < 10 ? "Stars 1-10" : "Stars 11-20") << d.id;
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, Scatter, ::testing::ValuesIn(test::kDepths), test::DepthName);

} // namespace
