// LineDrop: which input rows land where, the output height and the zeroed tail rows, on
// both depths.
#include "support.h"

#include <vector>

namespace {

class LineDrop : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("LineDrop");

    std::unique_ptr<Image> Render(const Image& in, int keep, int drop, int order) {
        t->SetNumber("Hscanlines showing input", keep);
        t->SetNumber("Hscanlines showing Color", drop);
        t->SetNumber("Scanline OrderH", order);
        t->Connect("Input", &in);
        return t->Render();
    }

    // Renders an input of the given height and checks that the output holds the listed
    // input rows, in order, followed by rows of zero up to its height.
    void Expect(int height, int keep, int drop, int order, const std::vector<int>& rows, int h2) {
        auto in = test::NoiseImage(13, height, GetParam(), unsigned(height));
        // Leave non-zero memory in the pool for an image of the output's size.
        test::MakeImage(13, h2, GetParam(), [](int, int, int) { return 7.0; });
        auto out = Render(*in, keep, drop, order);
        ASSERT_EQ(out->Height(), h2);
        ASSERT_EQ(out->Width(), 13);
        for (int y = 0; y < h2; ++y)
            for (int x = 0; x < 13; ++x)
                for (int c = 0; c < 4; ++c) {
                    const bool kept = y < int(rows.size());
                    const double want = kept ? test::At(*in, x, rows[std::size_t(y)], c) : 0.0;
                    ASSERT_EQ(test::At(*out, x, y, c), want) << "output row " << y;
                }
    }
};

TEST_P(LineDrop, DefaultsKeepEvenRows) { Expect(10, 1, 1, 0, {0, 2, 4, 6, 8}, 5); }

TEST_P(LineDrop, DropFirstKeepsOddRows) { Expect(10, 1, 1, 1, {1, 3, 5, 7, 9}, 5); }

TEST_P(LineDrop, AnIncompleteLastPeriodCountsAsKeptAndItsUnfilledRowsAreZero) {
    Expect(11, 1, 1, 1, {1, 3, 5, 7, 9}, 6);
    Expect(10, 2, 1, 0, {0, 1, 3, 4, 6, 7, 9}, 7);
    Expect(11, 2, 3, 1, {3, 4, 8, 9}, 5);
}

TEST_P(LineDrop, FewerRowsThanOnePeriodKeepTheHeight) {
    Expect(4, 2, 5, 0, {0, 1}, 4);
    Expect(4, 2, 5, 1, {}, 4);
}

TEST_P(LineDrop, CountsOutsideTheirRangeAreHeld) {
    Expect(9, 0, -3, 0, {0, 2, 4, 6, 8}, 5); // 1 and 1
    std::vector<int> rows;                   // keep 255, drop 255, keep 90
    for (int i = 0; i < 600; ++i)
        if (i < 255 || i >= 510) rows.push_back(i);
    Expect(600, 1000, 1'000'000'000, 0, rows, 345);
}

INSTANTIATE_TEST_SUITE_P(Depths, LineDrop, ::testing::ValuesIn(test::kDepths), test::DepthName);

} // namespace
