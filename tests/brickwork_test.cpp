// Brickwork against a reference that lays the tiles one after another, column by column
// and row by row, over a zero image; and the layouts the tool's users rely on, on both
// depths.
#include "support.h"

#include "frame/offsets.h"
#include "frame/random.h"

#include <cmath>
#include <string>
#include <vector>

namespace {

std::string TileId(int number) {
    return number == 1 ? "Tile 1 (required)" : "Tile " + std::to_string(number);
}

struct Settings {
    int seed = 1, first = 1, last = 20, tolerance = 0;
    double offsetA = 0, offsetB = 0.5;
};

// The wall laid in order: each tile is drawn whole, later draws over earlier ones, what
// falls outside is dropped. A row's shift in pixels is taken as whole within a few units
// in the last place of a whole number. tiles[k] is the k-th tile of the list, already of Tile 1's
// size and the output's depth.
std::unique_ptr<Image> Reference(int w, int h, ImageDepth depth,
                                 const std::vector<const Image*>& tiles, const Settings& s) {
    auto out = test::MakeImage(w, h, depth, [](int, int, int) { return 0.0; });
    const int tw = tiles[0]->Width(), th = tiles[0]->Height();
    for (int i = 0; i <= w / tw; ++i) {
        frame::Random rng(std::uint32_t(i + 1) * std::uint32_t(s.seed));
        for (int r = 0; r <= h / th; ++r) {
            const int k =
                frame::ChoosePosition(rng, s.first, s.last, s.tolerance, int(tiles.size()));
            const double offset = r % 2 ? s.offsetB : s.offsetA;
            const long x0 = long(std::trunc(i * tw + frame::WholeIfClose(tw * offset, tw)));
            const long y0 = long(r) * th;
            for (int v = 0; v < th; ++v)
                for (int u = 0; u < tw; ++u) {
                    const long x = x0 + u, y = y0 + v;
                    if (x < 0 || x >= w || y < 0 || y >= h) continue;
                    for (int c = 0; c < 4; ++c)
                        test::Set(*out, int(x), int(y), c,
                                  test::At(*tiles[std::size_t(k)], u, v, c));
                }
        }
    }
    return out;
}

class Brickwork : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("Brickwork");

    void Apply(const Settings& s) {
        t->SetNumber("seed", s.seed);
        t->SetNumber("Probability Start", s.first);
        t->SetNumber("Probability End", s.last);
        t->SetNumber("Tolerance", s.tolerance);
        t->SetNumber("xOffset Line A", s.offsetA);
        t->SetNumber("xOffset Line B", s.offsetB);
    }

    // Renders over an input of w x h whose pooled memory held non-zero values before.
    std::unique_ptr<Image> Render(int w, int h, const Settings& s, int threads = 0) {
        input = test::MakeImage(w, h, GetParam(), [](int, int, int) { return 0.5; });
        test::MakeImage(w, h, GetParam(), [](int, int, int) { return 7.0; });
        t->Connect("Input", input.get());
        Apply(s);
        return test::RenderWithThreads(*t.tool, threads);
    }

    // Connects noise tiles of w x h under the given numbers; returns them in list order.
    std::vector<const Image*> Connect(std::vector<int> numbers, int w, int h) {
        std::vector<const Image*> list;
        for (int n : numbers) {
            tiles.push_back(test::NoiseImage(w, h, GetParam(), unsigned(n) * 31));
            t->Connect(TileId(n), tiles.back().get());
            list.push_back(tiles.back().get());
        }
        return list;
    }

    std::unique_ptr<Image> input;
    std::vector<std::unique_ptr<Image>> tiles;
};

TEST_P(Brickwork, OnlyTileOneShowsItEverywhereWhateverTheSeed) {
    const auto list = Connect({1}, 7, 5);
    for (int seed : {1, 2, 977, 65535}) {
        auto out = Render(40, 23, {.seed = seed, .tolerance = 4, .offsetB = 0});
        for (int y = 0; y < 23; ++y)
            for (int x = 0; x < 40; ++x)
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(test::At(*out, x, y, c), test::At(*list[0], x % 7, y % 5, c))
                        << "seed " << seed << " at " << x << ", " << y;
    }
}

// Odd rows start half a tile (15 pixels) in; the strip left of them is 0, whatever the
// pooled memory held.
TEST_P(Brickwork, ShiftedRowsLeaveAZeroStripAtTheLeft) {
    const auto list = Connect({1}, 30, 20);
    auto out = Render(100, 100, {});
    for (int y = 0; y < 100; ++y) {
        const bool odd = (y / 20) % 2 == 1;
        for (int x = 0; x < 100; ++x)
            for (int c = 0; c < 4; ++c) {
                const double want =
                    odd ? (x < 15 ? 0.0 : test::At(*list[0], (x - 15) % 30, y % 20, c))
                        : test::At(*list[0], x % 30, y % 20, c);
                ASSERT_EQ(test::At(*out, x, y, c), want) << x << ", " << y;
            }
    }
}

// A row shifted by 0.29 of a 100-pixel tile starts 29 pixels in, and its tiles lie
// exactly 100 pixels apart along the whole row: 100 x 0.29 is 28.999999999999996, which
// would put the first tile at 28 and the others at 129, 229, ..., with a gap of one pixel
// after the first. The same for 0.57 of 100 and 0.7 of 360.
TEST_P(Brickwork, ARowShiftedByAShareOfATileKeepsItsTilesATileApart) {
    struct Case {
        int tile;
        double offset;
        int shift;
    };
    for (const Case k : {Case{100, 0.29, 29}, Case{100, 0.57, 57}, Case{360, 0.7, 252}}) {
        const auto list = Connect({1}, k.tile, 2);
        auto out = Render(2000, 4, {.offsetB = k.offset});
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 2000; ++x)
                for (int c = 0; c < 4; ++c) {
                    const double want =
                        y < 2
                            ? test::At(*list[0], x % k.tile, y, c)
                            : (x < k.shift ? 0.0
                                           : test::At(*list[0], (x - k.shift) % k.tile, y - 2, c));
                    ASSERT_EQ(test::At(*out, x, y, c), want)
                        << k.tile << " x " << k.offset << " at " << x << ", " << y;
                }
    }
}

// A 64 x 64 tile is shown at Tile 1's 32 x 32, resized by the host; a tile of the other
// depth is converted.
TEST_P(Brickwork, TilesTakeTileOnesSizeAndTheOutputsDepth) {
    Connect({1}, 32, 32);
    auto big = test::NoiseImage(64, 64, GetParam(), 3);
    t->Connect("Tile 2", big.get());
    const Settings only2{.first = 2, .last = 2, .offsetB = 0};
    auto out = Render(70, 40, only2);
    auto shrunk = big->ResizeOfImage(32, 32);
    std::unique_ptr<Image> owned(shrunk);
    EXPECT_TRUE(test::SameImage(*out, *Reference(70, 40, GetParam(), {shrunk, shrunk}, only2)));

    const bool isFloat = GetParam() == ImageDepth::Float32;
    auto other = test::MakeImage(32, 32, isFloat ? ImageDepth::Int16 : ImageDepth::Float32,
                                 [&](int, int, int c) { return isFloat ? 13107.0 * c : 0.2 * c; });
    t->Connect("Tile 2", other.get());
    out = Render(70, 40, only2);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(test::At(*out, 69, 39, c), isFloat ? 0.2 * c : 13107.0 * c,
                    isFloat ? 1e-6 : 0.0);
}

// Tiles 1, 4, 9 and 12 make the list (1, 4, 9, 12): position 3 is Tile 9.
TEST_P(Brickwork, ARangeOfOnePositionShowsThatTileOfTheList) {
    const auto list = Connect({1, 4, 9, 12}, 8, 6);
    auto out = Render(50, 30, {.first = 3, .last = 3, .offsetB = 0});
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 50; ++x)
            ASSERT_EQ(test::At(*out, x, y, 1), test::At(*list[2], x % 8, y % 6, 1))
                << x << ", " << y;
}

TEST_P(Brickwork, TheSeedDecidesTheWallAndEveryColumnChangesWithIt) {
    std::vector<int> all;
    for (int n = 1; n <= 20; ++n) all.push_back(n);
    Connect(all, 10, 4);
    const Settings s{.first = 1, .last = 20, .offsetB = 0};
    auto one = Render(120, 40, s);
    EXPECT_TRUE(test::SameImage(*one, *Render(120, 40, s)));
    Settings s2 = s;
    s2.seed = 2;
    auto two = Render(120, 40, s2);
    for (int i = 0; i < 12; ++i) {
        bool differs = false;
        for (int y = 0; y < 40 && !differs; ++y)
            for (int x = i * 10; x < i * 10 + 10; ++x)
                differs |= test::At(*one, x, y, 0) != test::At(*two, x, y, 0);
        EXPECT_TRUE(differs) << "column " << i;
    }
}

// Any settings give the wall laid in order, on one thread and on all: reversed ranges,
// negative tolerances, offsets past a whole tile, and negative offsets under which
// neighbouring columns overlap by a pixel (the later column wins). 100 x 100 with
// 30 x 20 tiles is 4 columns (the last cut to 10 pixels) and 6 rows (the last wholly
// below the output, its draws taken all the same).
TEST_P(Brickwork, EverySettingGivesTheWallLaidInOrderOnAnyThreadCount) {
    const auto list = Connect({1, 2, 6, 7, 20}, 30, 20);
    const Settings cases[] = {
        {.seed = 9, .first = 1, .last = 5, .tolerance = 1, .offsetB = 0},
        {.seed = 3, .first = 1, .last = 5, .tolerance = 2, .offsetA = 0.25, .offsetB = 0.75},
        {.seed = 40000, .first = 5, .last = 2, .tolerance = -3, .offsetA = 1.0, .offsetB = 0.3},
        {.seed = 7, .first = 2, .last = 20, .tolerance = 20, .offsetA = -0.01, .offsetB = -1.55},
        {.seed = 11, .first = -4, .last = 0, .offsetA = 2.6, .offsetB = -7.5},
        {.seed = 5, .offsetA = -0.5, .offsetB = 1e12},
    };
    for (const Settings& s : cases) {
        const auto want = Reference(100, 100, GetParam(), list, s);
        for (int threads : test::kThreadCounts)
            EXPECT_TRUE(test::SameImage(*Render(100, 100, s, threads), *want))
                << "seed " << s.seed << ", threads " << threads;
    }
}

// Through the host API a render without Tile 1 is still possible: it gives zeros.
TEST_P(Brickwork, WithoutTileOneTheOutputIsZero) {
    auto out = Render(9, 9, {});
    EXPECT_TRUE(test::SameImage(
        *out, *test::MakeImage(9, 9, GetParam(), [](int, int, int) { return 0.0; })));
}

INSTANTIATE_TEST_SUITE_P(Depths, Brickwork, ::testing::ValuesIn(test::kDepths), test::DepthName);

} // namespace
