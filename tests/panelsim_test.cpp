// PanelSim against a reference that works out every output pixel on its own (which cell,
// which input pixel, which display pixel position), on both depths; plus the sizes, the
// built-in display pixels' values and the display presets.
#include "support.h"

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const kOn[3] = {"Red", "Green", "Blue"};
const char* const kMode[3] = {"Red Color", "green Color", "blue Color"};
const char* const kCustom[3] = {"newred", "newgreen", "newblue"};
const char* const kRgb = "RGB";

struct Settings {
    bool on[3] = {true, true, true};
    int pixelPreset = 0;
    int mode[3] = {0, 0, 0};
    double custom[3][3] = {};
    int maxCellW = 4, maxCellH = 4, maxOutW = 10000, maxOutH = 10000;
};

void Apply(qrvx::Tool& tool, const Settings& s) {
    for (int c = 0; c < 3; ++c) {
        tool.SetNumber(kOn[c], s.on[c]);
        tool.SetNumber(kMode[c], s.mode[c]);
        for (int j = 0; j < 3; ++j)
            tool.SetNumber(kCustom[c] + std::string(1, kRgb[j]), s.custom[c][j]);
    }
    tool.SetNumber("Pixel Preset", s.pixelPreset);
    tool.SetNumber("max DisplayPixel width", s.maxCellW);
    tool.SetNumber("max DisplayPixel height", s.maxCellH);
    tool.SetNumber("max Output width", s.maxOutW);
    tool.SetNumber("max Output height", s.maxOutH);
}

double Value(qrvx::Tool& tool, const std::string& id) {
    return dynamic_cast<const Number&>(*tool.FindInput(id).GetValue(nullptr)).Value();
}

// The built-in display pixels as integer values, row by row.
const std::vector<std::vector<int>> kBuiltIn[4] = {
    {{65535}, {65535}},
    {{0, 65535, 0}, {65535, 65535, 65535}, {0, 65535, 0}},
    {{13100, 65535, 65535, 52428},
     {13100, 65535, 52428, 65535},
     {13100, 52428, 65535, 65535},
     {0, 13100, 13100, 13100}},
    {{13100, 35000, 52428, 35000},
     {13100, 52428, 65535, 52428},
     {13100, 35000, 52428, 35000},
     {0, 13100, 13100, 13100}},
};

// A built-in value on a float image: the fraction it stands for, in single precision.
double FloatOf(int v) {
    switch (v) {
    case 65535: return 1.0;
    case 52428: return float(0.8);
    case 35000: return float(0.534065);
    case 13100: return float(0.19989);
    default: return 0.0;
    }
}

// Display pixel value (u, v, channel) in the representation of an image of `depth`.
double PatternValue(const Image* pixel, int pixelPreset, ImageDepth depth, int u, int v, int ch) {
    const bool isFloat = depth == ImageDepth::Float32;
    if (!pixel) {
        const int value = kBuiltIn[pixelPreset >= 0 && pixelPreset < 4 ? pixelPreset : 0]
                                  [std::size_t(v)][std::size_t(u)];
        return isFloat ? FloatOf(value) : value;
    }
    const double q = test::At(*pixel, u, v, ch);
    if (pixel->IsFloat() == isFloat) return q;
    if (isFloat) return float(q) * (1.0f / 65535.0f);
    const float scaled = float(q) * 65535.0f; // rounded and clamped to 0..65535
    return scaled > 0 ? std::min(65535.0, std::floor(double(scaled) + 0.5)) : 0.0;
}

std::unique_ptr<Image> Reference(const Image& in, const Image* pixel, const Settings& s) {
    const ImageDepth depth = in.Depth();
    const bool isFloat = depth == ImageDepth::Float32;
    std::vector<int> channels;
    for (int c = 0; c < 3; ++c)
        if (s.on[c]) channels.push_back(c);
    const int n = int(channels.size());
    if (n == 0) return test::MakeImage(1, 1, depth, [](int, int, int) { return 0.0; });
    int cw = 0, ch = 0;
    if (pixel) {
        cw = std::min(std::max(1, s.maxCellW), pixel->Width());
        ch = std::min(std::max(1, s.maxCellH), pixel->Height());
    } else {
        const auto& p = kBuiltIn[s.pixelPreset >= 0 && s.pixelPreset < 4 ? s.pixelPreset : 0];
        cw = int(p[0].size());
        ch = int(p.size());
    }
    const int w = std::min(cw * n * in.Width(), s.maxOutW);
    const int h = std::min(ch * in.Height(), s.maxOutH);
    return test::MakeImage(w, h, depth, [&](int ox, int oy, int channel) -> double {
        const int cell = ox / cw, u = ox % cw, y = oy / ch, v = oy % ch;
        if ((cell + 1) * cw > w || (y + 1) * ch > h) return 0.0;
        const int x = cell / n, c = channels[std::size_t(cell % n)];
        const auto q = [&](int k) { return PatternValue(pixel, s.pixelPreset, depth, u, v, k); };
        if (channel == 3) return q(c);
        switch (s.mode[c]) {
        case 1: return test::At(in, x, y, channel);
        case 2: return q(channel);
        case 3: {
            const double product = test::At(in, x, y, c) * s.custom[c][channel];
            if (isFloat) return float(product);
            return product > 0 ? std::min(65535.0, std::trunc(product)) : 0.0;
        }
        default: return channel == c ? test::At(in, x, y, c) : 0.0;
        }
    });
}

class PanelSim : public ::testing::TestWithParam<ImageDepth> {
protected:
    test::LoadedTool t = test::Load("PanelSim");
    ImageDepth depth = GetParam();
    bool isFloat = GetParam() == ImageDepth::Float32;
    double full = test::Scale(GetParam());
    std::unique_ptr<Image> input = test::NoiseImage(13, 9, GetParam(), 3);
    std::unique_ptr<Image> pixel; // connected to "DisplayPixel" when set

    std::unique_ptr<Image> Render(const Settings& s, int threads = 0) {
        Apply(*t.tool, s);
        t->Connect("Input", input.get());
        t->Connect("DisplayPixel", pixel.get());
        return test::RenderWithThreads(*t.tool, threads);
    }
    ::testing::AssertionResult MatchesReference(const Settings& s) {
        return test::SameImage(*Render(s), *Reference(*input, pixel.get(), s));
    }
};

TEST_P(PanelSim, OutputSizesFollowCellsChannelsAndLimits) {
    input = qrvx::MakeImage(720, 576, depth);
    input->Fill(IntPixel{});
    auto out = Render(Settings{});
    EXPECT_EQ(out->Width(), 2160);
    EXPECT_EQ(out->Height(), 1152);
    t->SetNumber("Preset", 1); // "Airport": one channel, 4 x 4 cells
    out = test::RenderWithThreads(*t.tool, 0);
    EXPECT_EQ(out->Width(), 2880);
    EXPECT_EQ(out->Height(), 2304);
}

TEST_P(PanelSim, DefaultCellsSplitEachPixelIntoItsChannels) {
    auto out = Render(Settings{});
    ASSERT_EQ(out->Width(), 39);
    ASSERT_EQ(out->Height(), 18);
    const int x = 11, y = 7;
    for (int v = 0; v < 2; ++v)
        for (int k = 0; k < 3; ++k)
            for (int ch = 0; ch < 4; ++ch)
                EXPECT_EQ(test::At(*out, 3 * x + k, 2 * y + v, ch),
                          ch == 3 ? full : (ch == k ? test::At(*input, x, y, k) : 0.0));
}

TEST_P(PanelSim, BuiltInDisplayPixelsHoldTheirValues) {
    input = test::MakeImage(1, 1, depth, [](int, int, int) { return 0.0; });
    Settings s;
    s.on[1] = s.on[2] = false;
    s.mode[0] = 2; // the display pixel's colour, its red as alpha
    for (int preset = 0; preset < 5; ++preset) {
        s.pixelPreset = preset;
        const auto out = Render(s);
        const auto& p = kBuiltIn[preset < 4 ? preset : 0];
        ASSERT_EQ(out->Height(), int(p.size()));
        ASSERT_EQ(out->Width(), int(p[0].size()));
        for (int v = 0; v < out->Height(); ++v)
            for (int u = 0; u < out->Width(); ++u) {
                const int value = p[std::size_t(v)][std::size_t(u)];
                for (int ch = 0; ch < 4; ++ch)
                    EXPECT_EQ(test::At(*out, u, v, ch), isFloat ? FloatOf(value) : value)
                        << "preset " << preset << " at " << u << "," << v;
            }
    }
}

TEST_P(PanelSim, DiamondCornersCarryTheColourWithZeroAlpha) {
    Settings s;
    s.pixelPreset = 1;
    const auto out = Render(s);
    ASSERT_EQ(out->Width(), 13 * 9);
    const int x = 4, y = 5;
    for (int k = 0; k < 3; ++k)
        for (int v = 0; v < 3; ++v)
            for (int u = 0; u < 3; ++u) {
                const int ox = (3 * x + k) * 3 + u, oy = 3 * y + v;
                const bool corner = u != 1 && v != 1;
                EXPECT_EQ(test::At(*out, ox, oy, 3), corner ? 0.0 : full);
                EXPECT_EQ(test::At(*out, ox, oy, k), test::At(*input, x, y, k));
            }
}

TEST_P(PanelSim, EnabledChannelsDecideTheCells) {
    Settings s;
    s.on[0] = s.on[2] = false;
    auto out = Render(s);
    ASSERT_EQ(out->Width(), 13);
    EXPECT_EQ(test::At(*out, 6, 3, 1), test::At(*input, 6, 1, 1));
    EXPECT_EQ(test::At(*out, 6, 3, 0), 0.0);
    EXPECT_TRUE(MatchesReference(s));

    s.on[1] = false; // none: one black pixel
    out = Render(s);
    ASSERT_EQ(out->Width(), 1);
    ASSERT_EQ(out->Height(), 1);
    for (int ch = 0; ch < 4; ++ch) EXPECT_EQ(test::At(*out, 0, 0, ch), 0.0);
}

TEST_P(PanelSim, ColourModes) {
    pixel = test::NoiseImage(3, 2, depth, 8);
    Settings s;
    for (int mode : {1, 2, 3, 7, -1}) {
        for (int c = 0; c < 3; ++c) s.mode[c] = mode;
        for (int c = 0; c < 3; ++c)
            for (int j = 0; j < 3; ++j) s.custom[c][j] = 0.3 * (c + 1) + 0.25 * j - 0.2;
        EXPECT_TRUE(MatchesReference(s)) << "mode " << mode;
    }

    // The custom colour of the airport board: products truncated on integer images,
    // clamped above full on integer images and kept on float images.
    pixel.reset();
    input = test::MakeImage(1, 1, depth, [&](int, int, int) { return full; });
    s = Settings{};
    s.on[1] = s.on[2] = false;
    s.mode[0] = 3;
    s.custom[0][0] = 0.75, s.custom[0][1] = 0.9, s.custom[0][2] = 1.5;
    const auto out = Render(s);
    EXPECT_EQ(test::At(*out, 0, 0, 0), isFloat ? float(0.75) : 49151.0);
    EXPECT_EQ(test::At(*out, 0, 0, 1), isFloat ? float(0.9) : 58981.0);
    EXPECT_EQ(test::At(*out, 0, 0, 2), isFloat ? 1.5 : 65535.0);
    EXPECT_EQ(test::At(*out, 0, 1, 3), full);
}

TEST_P(PanelSim, ConnectedDisplayPixelIsCutToTheLimits) {
    Settings s;
    s.mode[0] = s.mode[1] = s.mode[2] = 2;
    pixel = test::NoiseImage(10, 10, depth, 4);
    auto out = Render(s);
    ASSERT_EQ(out->Width(), 13 * 3 * 4);
    ASSERT_EQ(out->Height(), 9 * 4);
    EXPECT_EQ(test::At(*out, 4 * 7 + 3, 4 * 2 + 3, 2), test::At(*pixel, 3, 3, 2));
    EXPECT_TRUE(MatchesReference(s));

    // A display pixel of the other depth is read through the pixel conversion.
    const ImageDepth other = isFloat ? ImageDepth::Int16 : ImageDepth::Float32;
    pixel = test::NoiseImage(5, 3, other, 6);
    s.maxCellH = 2;
    s.mode[1] = 0;
    EXPECT_TRUE(MatchesReference(s));
}

TEST_P(PanelSim, OutputLimitsCutWholeCells) {
    Settings s;
    s.pixelPreset = 2;
    s.maxOutW = 4 * 3 * 5 + 6; // five pixels' cells and a half-drawn one
    s.maxOutH = 4 * 4 + 3;
    auto out = Render(s);
    ASSERT_EQ(out->Width(), 66);
    ASSERT_EQ(out->Height(), 19);
    EXPECT_NE(test::At(*out, 61, 5, 0), 0.0); // the first cell of the sixth pixel fits
    EXPECT_EQ(test::At(*out, 61, 5, 3), full);
    for (int ch = 0; ch < 4; ++ch) {
        EXPECT_EQ(test::At(*out, 64, 5, ch), 0.0);
        EXPECT_EQ(test::At(*out, 10, 17, ch), 0.0);
    }
    EXPECT_TRUE(MatchesReference(s));
    s.maxOutW = 3; // narrower than one cell: all black
    EXPECT_TRUE(MatchesReference(s));
}

TEST_P(PanelSim, SizesAreComputedWithoutWrappingAround) {
    // 65535 x 3 x 11000 passes 2^31: the width is cut to the maximum, then refused.
    input = qrvx::MakeImage(11000, 1, depth);
    pixel = qrvx::MakeImage(65535, 2, depth);
    Settings s;
    s.maxCellW = 65535;
    s.maxOutW = 1'000'000'000;
    try {
        Render(s);
        FAIL() << "no error";
    } catch (const HostError& e) {
        EXPECT_NE(std::string(e.what()).find("1000000000 x 2"), std::string::npos) << e.what();
    }
}

// Random settings, inputs and display pixels; on each row worker (the AVX-512 one
// where the processor has it, and the portable one), which must agree bit for bit.
TEST_P(PanelSim, MatchesTheReferenceForRandomSettingsOnAnyThreadCount) {
    test::OnEachWorker([&] {
        std::mt19937 rng(23);
        auto pick = [&](int n) { return int(rng() % unsigned(n)); };
        for (int round = 0; round < 60; ++round) {
            Settings s;
            for (int c = 0; c < 3; ++c) {
                s.on[c] = pick(4) != 0;
                s.mode[c] = pick(6) - 1;
                for (double& k : s.custom[c]) k = pick(8) * 0.25 - 0.25;
            }
            s.pixelPreset = pick(5);
            s.maxCellW = 1 + pick(5);
            s.maxCellH = 1 + pick(5);
            s.maxOutW = pick(2) ? 10000 : 1 + pick(120);
            s.maxOutH = pick(2) ? 10000 : 1 + pick(40);
            pixel = pick(3) ? nullptr
                            : test::NoiseImage(1 + pick(6), 1 + pick(6),
                                               pick(4) ? depth : test::kDepths[pick(2)], round);
            input = test::NoiseImage(1 + pick(70), 1 + pick(20), depth, unsigned(round));
            const auto expected = Reference(*input, pixel.get(), s);
            for (int threads : test::kThreadCounts)
                ASSERT_TRUE(test::SameImage(*Render(s, threads), *expected))
                    << "round " << round << ", threads " << threads;
        }
    });
}

TEST_P(PanelSim, PresetsSetTheirControlsAndLeaveTheRestAlone) {
    qrvx::Tool& tool = *t.tool;
    tool.SetNumber("green Color", 1);
    tool.SetNumber("newblueG", 0.4);
    tool.SetNumber("max Output width", 500);
    tool.SetNumber("Preset", 1); // "Airport"
    EXPECT_EQ(Value(tool, "Red"), 1);
    EXPECT_EQ(Value(tool, "Green"), 0);
    EXPECT_EQ(Value(tool, "Blue"), 0);
    EXPECT_EQ(Value(tool, "Pixel Preset"), 2);
    EXPECT_EQ(Value(tool, "Red Color"), 3);
    EXPECT_EQ(Value(tool, "newredR"), 0.75);
    EXPECT_EQ(Value(tool, "newredG"), 0.9);
    EXPECT_EQ(Value(tool, "newredB"), 0);
    tool.SetNumber("Preset", 2.7); // "Diode Marquee"
    EXPECT_EQ(Value(tool, "Pixel Preset"), 3);
    EXPECT_EQ(Value(tool, "newredR"), 1);
    EXPECT_EQ(Value(tool, "newredG"), 0);
    tool.SetNumber("newredB", 0.5);
    tool.SetNumber("Preset", 0); // "TV + Monitors": the custom colours stay
    for (const char* id : {"Red", "Green", "Blue"}) EXPECT_EQ(Value(tool, id), 1) << id;
    for (const char* id : {"Pixel Preset", "Red Color", "green Color", "blue Color"})
        EXPECT_EQ(Value(tool, id), 0) << id;
    EXPECT_EQ(Value(tool, "newredR"), 1);
    EXPECT_EQ(Value(tool, "newredB"), 0.5);
    EXPECT_EQ(Value(tool, "newblueG"), 0.4);
    EXPECT_EQ(Value(tool, "max Output width"), 500);
    tool.SetNumber("Red", 0);
    tool.SetNumber("Preset", 3); // no such preset: nothing changes
    EXPECT_EQ(Value(tool, "Red"), 0);
}

TEST(PanelSim, DeclaresItsControlsWithTheirTags) {
    test::LoadedTool t = test::Load("PanelSim");
    const auto& inputs = t->Inputs();
    ASSERT_EQ(inputs.size(), 23u);
    EXPECT_EQ(inputs[1]->Decl().id, "DisplayPixel");
    EXPECT_FALSE(inputs[1]->Decl().required);
    EXPECT_EQ(inputs[1]->Decl().linkNumber, 2);
    const double shares[3] = {0.33, 0.34, 0.33};
    for (int c = 0; c < 3; ++c) EXPECT_EQ(inputs[3 + std::size_t(c)]->Decl().rowShare, shares[c]);
    int combos = 0;
    for (const auto& in : t->Inputs()) {
        const InputDecl& d = in->Decl();
        if (d.kind == "ComboControl") combos += d.notifyOnChange;
        if (d.kind == "ScrewControl") {
            EXPECT_TRUE(d.wholeNumbers && d.screwFlag) << d.id;
        }
    }
    EXPECT_EQ(combos, 5);
    EXPECT_EQ(t->FindInput("newgreenB").Decl().colorGroupLabel, "new green Color");
    EXPECT_EQ(t->FindInput("max DisplayPixel height").Decl().allowedLow, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Depths, PanelSim, ::testing::ValuesIn(test::kDepths), test::DepthName);

} // namespace
