// The viewer's OpenColorIO views: the table of a view whose channels do not mix against
// the processor itself over the whole float range, a view that mixes channels, the
// built-in sRGB curve against OpenColorIO's, and configs and names that are refused.
#include "app/errors.h"
#include "app/view_ocio.h"
#include "support.h"

#include <bit>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <unistd.h>
#include <vector>

namespace {

const char* kConfig = R"(ocio_profile_version: 2
roles:
  default: linear
  scene_linear: linear
file_rules:
  - !<Rule> {name: Default, colorspace: linear}
displays:
  Monitor:
    - !<View> {name: sRGB, colorspace: srgb}
    - !<View> {name: Cube root, colorspace: cuberoot}
    - !<View> {name: Log, colorspace: log}
    - !<View> {name: Gains, colorspace: gains}
  Swap:
    - !<View> {name: Green red, colorspace: swap}
colorspaces:
  - !<ColorSpace>
    name: linear
  - !<ColorSpace>
    name: srgb
    from_scene_reference: !<ExponentWithLinearTransform> {gamma: 2.4, offset: 0.055, direction: inverse}
  - !<ColorSpace>
    name: cuberoot
    from_scene_reference: !<ExponentTransform> {value: 3, direction: inverse}
  - !<ColorSpace>
    name: log
    from_scene_reference: !<GroupTransform>
      children:
        - !<LogAffineTransform> {base: 2, log_side_slope: 0.05, log_side_offset: 0.6, lin_side_offset: 0.001}
  - !<ColorSpace>
    name: gains
    from_scene_reference: !<MatrixTransform> {matrix: [2, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0.25, 0, 0, 0, 0, 1], offset: [0.1, 0, 0, 0]}
  - !<ColorSpace>
    name: swap
    from_scene_reference: !<MatrixTransform> {matrix: [0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1]}
)";

class OcioViewsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_file = ::testing::TempDir() + "qrvx-view-ocio-" + std::to_string(getpid()) + ".ocio";
        std::ofstream(s_file) << kConfig;
    }
    static void TearDownTestSuite() { std::remove(s_file.c_str()); }
    static std::string s_file;
};
std::string OcioViewsTest::s_file;

// One row of pixels whose R, G and B each take one of the values (offset per channel, so
// that the channels differ), converted by a view.
std::vector<std::uint8_t> Convert(const app::FloatView& view, const std::vector<float>& values) {
    const int n = int(values.size());
    std::vector<float> row(std::size_t(n) * 4);
    for (int i = 0; i < n; ++i)
        for (int c = 0; c < 4; ++c) row[4 * i + c] = values[(i + 7 * c) % n];
    std::vector<std::uint8_t> out(row.size());
    view.Row(row.data(), out.data(), n);
    return out;
}

// Every 2^10-th float code, both signs, with the infinities, NaN and the zeros; not the NaNs
// that share the table's entry of an infinity (payloads below 2^14), which show as it.
std::vector<float> EveryFloat() {
    std::vector<float> v;
    for (std::uint64_t code = 0; code < (1ull << 32); code += 1u << 10)
        if ((code & 0x7FFFC000u) != 0x7F800000u)
            v.push_back(std::bit_cast<float>(std::uint32_t(code) + 37));
    for (float f :
         {0.0f, -0.0f, 1.0f, std::numeric_limits<float>::infinity(),
          -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()})
        v.push_back(f);
    return v;
}

TEST_F(OcioViewsTest, TableOfSeparableViewsIsWithinOneStepOfTheProcessorOverEveryFloat) {
    app::OcioViews views(s_file);
    const std::vector<float> values = EveryFloat();
    for (const char* name : {"sRGB", "Cube root", "Log", "Gains"}) {
        const auto fast = Convert(*views.View("Monitor", name), values);
        const auto exact = Convert(*views.View("Monitor", name, app::OcioPath::Exact), values);
        int worst = 0;
        std::size_t differ = 0;
        for (std::size_t i = 0; i < fast.size(); ++i) {
            const int d = std::abs(int(fast[i]) - int(exact[i]));
            worst = std::max(worst, d);
            differ += d != 0;
            if (i % 4 == 3) {
                ASSERT_EQ(fast[i], 255);
                continue;
            }
            // The infinities and NaN are their own entries: exactly the processor's.
            const float v = values[(i / 4 + 7 * (i % 4)) % values.size()];
            if (!std::isfinite(v)) {
                ASSERT_EQ(fast[i], exact[i]) << name << " " << v;
            }
        }
        EXPECT_LE(worst, 1) << name;
        EXPECT_LT(differ, fast.size() / 100) << name; // only next to a step
    }
    // Kept: the same conversion again.
    EXPECT_EQ(views.View("Monitor", "Log"), views.View("Monitor", "Log"));
}

TEST_F(OcioViewsTest, ViewThatMixesChannelsGoesThroughTheProcessor) {
    app::OcioViews views(s_file);
    const std::vector<float> row = {0.25f, 0.75f, 0.5f, 0.3f, 2.0f, -1.0f, 0.0f, 1.0f};
    std::vector<std::uint8_t> out(8);
    views.View("Swap", "Green red")->Row(row.data(), out.data(), 2);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{191, 64, 128, 255, 0, 255, 0, 255}));
}

TEST_F(OcioViewsTest, BuiltInSrgbAgreesWithOpenColorIOsCurve) {
    app::OcioViews views(s_file);
    std::vector<float> values;
    for (int i = -100; i <= 1 << 16; ++i) values.push_back(float(i) / (1 << 15));
    const auto ours = Convert(app::SrgbView(), values);
    const auto theirs = Convert(*views.View("Monitor", "sRGB", app::OcioPath::Exact), values);
    for (std::size_t i = 0; i < ours.size(); ++i)
        ASSERT_LE(std::abs(int(ours[i]) - int(theirs[i])), 1)
            << values[(i / 4 + 7 * (i % 4)) % values.size()];
}

TEST_F(OcioViewsTest, DescribesDisplaysAndRefusesUnknownNamesAndBadConfigs) {
    app::OcioViews views(s_file);
    const auto d = views.Describe();
    EXPECT_EQ(d["display"], "Monitor");
    EXPECT_EQ(d["view"], "sRGB");
    EXPECT_EQ(d["input"], "linear");
    EXPECT_EQ(d["displays"][1]["views"], nlohmann::ordered_json::array({"Green red"}));
    try {
        views.View("Swap", "sRGB");
        FAIL() << "no error";
    } catch (const app::UsageError& e) {
        EXPECT_STREQ(e.what(),
                     "the OpenColorIO config has no display \"Swap\" with a view \"sRGB\"");
    }

    const std::string bad = s_file + ".bad";
    std::ofstream(bad) << "ocio_profile_version: 2\ndisplays: {Monitor: [{name: x}]}\n";
    try {
        app::OcioViews broken(bad);
        FAIL() << "no error";
    } catch (const app::Failure& e) {
        const std::string message = e.what();
        EXPECT_EQ(message.rfind("OpenColorIO config " + bad + ": ", 0), 0u) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
    }
    std::remove(bad.c_str());
    EXPECT_THROW(app::OcioViews(s_file + ".missing"), app::Failure);
}

} // namespace
