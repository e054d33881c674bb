// ChannelShift against a plain in-order scatter written here, on both depths.
#include "frame/offsets.h"
#include "support.h"

#include <cmath>
#include <random>
#include <utility>

namespace {

struct Shift {
    bool on[4] = {true, true, true, true};
    double px[4] = {0.5, 0.5, 0.5, 0.5}, py[4] = {0.5, 0.5, 0.5, 0.5};
};

const char* kOn[4] = {"Red", "Green", "Blue", "Alpha"};
const char* kCentre[4] = {"Center Red", "Center Green", "Center Blue", "Center Alpha"};

void Apply(qrvx::Tool& tool, const Shift& s) {
    for (int c = 0; c < 4; ++c) {
        tool.SetNumber(kOn[c], s.on[c] ? 1 : 0);
        tool.SetPoint(kCentre[c], s.px[c], s.py[c]);
    }
}

// Every source pixel sends each channel to its truncated shifted position, in row-major
// order, over a zeroed output. Offsets within a few units in the last place of a whole
// number are that number.
std::unique_ptr<Image> Reference(const Image& in, const Shift& s) {
    const int w = in.Width(), h = in.Height();
    auto out = test::MakeImage(w, h, in.Depth(), [](int, int, int) { return 0.0; });
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) {
                const double dx = s.on[c] ? frame::WholeIfClose(w * (s.px[c] - 0.5), w) : 0,
                             dy = s.on[c] ? frame::WholeIfClose(h * (s.py[c] - 0.5), h) : 0;
                const double tx = std::trunc(x + dx), ty = std::trunc(y + dy);
                if (tx < 0 || tx >= w || ty < 0 || ty >= h) continue;
                test::Set(*out, int(tx), int(ty), c, test::At(in, x, y, c));
            }
    return out;
}

class ChannelShift : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("ChannelShift");
    std::unique_ptr<Image> input = test::NoiseImage(100, 60, GetParam(), 7);

    std::unique_ptr<Image> Render(const Shift& s) {
        Apply(*t.tool, s);
        t->Connect("Input", input.get());
        return t->Render();
    }
};

TEST_P(ChannelShift, IdentityWhenCentredOrSwitchedOff) {
    EXPECT_TRUE(test::SameImage(*Render(Shift{}), *input));
    Shift off;
    for (int c = 0; c < 4; ++c) off.on[c] = false, off.px[c] = 0.9, off.py[c] = 0.1;
    EXPECT_TRUE(test::SameImage(*Render(off), *input));
}

TEST_P(ChannelShift, RedQuarterRightLeavesAStripOfZero) {
    Shift s;
    s.px[0] = 0.75;
    auto out = Render(s);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 100; ++x) {
            ASSERT_EQ(test::At(*out, x, y, 0), x < 25 ? 0.0 : test::At(*input, x - 25, y, 0));
            for (int c = 1; c < 4; ++c)
                ASSERT_EQ(test::At(*out, x, y, c), test::At(*input, x, y, c));
        }
}

TEST_P(ChannelShift, OffsetsBeyondTheImageClearTheChannel) {
    for (double p : {1.5, -0.5, 1e9, -1e300}) {
        Shift s;
        s.px[1] = p;
        s.py[2] = p;
        auto out = Render(s);
        for (int y = 0; y < 60; ++y)
            for (int x = 0; x < 100; ++x) {
                ASSERT_EQ(test::At(*out, x, y, 1), 0.0);
                ASSERT_EQ(test::At(*out, x, y, 2), 0.0);
            }
    }
}

TEST_P(ChannelShift, HalfPixelLeftCollidesAtColumnZeroAndLaterSourceWins) {
    Shift s;
    s.px[3] = 0.5 - 0.5 / 100; // dx = -0.5
    auto out = Render(s);
    for (int y = 0; y < 60; ++y) {
        EXPECT_EQ(test::At(*out, 0, y, 3), test::At(*input, 1, y, 3));
        EXPECT_EQ(test::At(*out, 99, y, 3), 0.0);
    }
    EXPECT_TRUE(test::SameImage(*out, *Reference(*input, s)));
}

// A shift by a tenth (or 0.2) of the frame moves every row (or column) by the same
// amount, on 360, 1080 and 1920 pixels. Truncating y + 360 x (0.6 - 0.5), which is
// y + 35.99999999999999, would give y + 35 for small y and y + 36 further on, and leave
// one row with no red across the picture (row 256 of 1080; column 512 of 1920 in x).
TEST_P(ChannelShift, AShiftByAShareOfTheFrameMovesEveryRowOrColumnAlike) {
    for (int size : {360, 1080, 1920}) {
        const double raw = size * (0.6 - 0.5);
        ASSERT_EQ(std::trunc(0 + raw), size / 10 - 1) << "the case shows the fault";
        ASSERT_EQ(std::trunc(size - 1 - size / 10 + raw), size - 1) << "the case shows the fault";
        for (auto [point, shift] :
             {std::pair{0.6, size / 10}, std::pair{0.7, size / 5}, std::pair{0.4, -size / 10}}) {
            for (bool rows : {true, false}) {
                Shift s;
                (rows ? s.py : s.px)[0] = point;
                input = test::NoiseImage(rows ? 3 : size, rows ? size : 3, GetParam(), 8);
                auto out = Render(s);
                const int w = input->Width(), h = input->Height();
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        const int sx = rows ? x : x - shift, sy = rows ? y - shift : y;
                        const bool inside = sx >= 0 && sx < w && sy >= 0 && sy < h;
                        ASSERT_EQ(test::At(*out, x, y, 0),
                                  inside ? test::At(*input, sx, sy, 0) : 0.0)
                            << size << (rows ? " rows" : " columns") << ", point " << point
                            << ", at " << x << ", " << y;
                        for (int c = 1; c < 4; ++c)
                            ASSERT_EQ(test::At(*out, x, y, c), test::At(*input, x, y, c));
                    }
            }
        }
    }
}

TEST_P(ChannelShift, MatchesTheInOrderScatterForRandomShiftsOnAnyThreadCount) {
    std::mt19937 rng(42);
    std::uniform_real_distribution<double> pos(-0.3, 1.3);
    std::uniform_int_distribution<int> coin(0, 4);
    for (int round = 0; round < 40; ++round) {
        Shift s;
        for (int c = 0; c < 4; ++c) {
            s.on[c] = coin(rng) != 0;
            s.px[c] = coin(rng) == 0 ? 0.5 : pos(rng);
            s.py[c] = coin(rng) == 0 ? 0.5 - 0.3 / 60 : pos(rng);
        }
        Apply(*t.tool, s);
        t->Connect("Input", input.get());
        const auto expected = Reference(*input, s);
        for (int threads : test::kThreadCounts)
            ASSERT_TRUE(test::SameImage(*test::RenderWithThreads(*t.tool, threads), *expected))
                << "round " << round << ", threads " << threads;
    }
}

INSTANTIATE_TEST_SUITE_P(Depths, ChannelShift, ::testing::ValuesIn(test::kDepths), test::DepthName);

} // namespace
