// The live viewer's picture conversion: a 1920 x 1080 float picture into the page's 8-bit
// colours through the built-in sRGB table, raw, and OpenColorIO views of a small config
// written here (the sRGB curve and a plain exponent, through the processor and through its
// table, and a matrix followed by the sRGB curve, which mixes the channels),
// beside the 16-bit picture's conversion. Threads: the viewer's bands on 1 and 2 threads.
// Names as bench/compare.py reads them: "<label>/<depth>/threads:<n>".
#include "app/view_ocio.h"
#include "app/view_session.h"
#include "support.h"

#include <OpenImageIO/imageio.h>

#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace {

constexpr int kW = 1920, kH = 1080;

// Values over 0..1.25 in every channel: a ramp across with noise on it.
const Image& Picture(ImageDepth depth) {
    static std::unique_ptr<Image> pictures[2];
    auto& p = pictures[depth == ImageDepth::Float32];
    if (!p) {
        p = qrvx::MakeImage(kW, kH, depth);
        unsigned state = 777;
        for (int y = 0; y < kH; ++y)
            for (int i = 0; i < kW * 4; ++i) {
                state = state * 1664525u + 1013904223u;
                const float v =
                    1.25f * float(i / 4) / kW * (0.9f + 0.2f * float(state >> 16) / 65535);
                if (p->IsFloat())
                    p->Row<float>(y)[i] = v;
                else
                    p->Row<std::uint16_t>(y)[i] = std::uint16_t(std::min(v, 1.0f) * 65535);
            }
    }
    return *p;
}

const char* kConfig = R"(ocio_profile_version: 2
roles:
  default: linear
  scene_linear: linear
file_rules:
  - !<Rule> {name: Default, colorspace: linear}
displays:
  Monitor:
    - !<View> {name: sRGB, colorspace: srgb}
    - !<View> {name: Gamma, colorspace: gamma}
    - !<View> {name: Graded, colorspace: graded}
colorspaces:
  - !<ColorSpace>
    name: linear
  - !<ColorSpace>
    name: srgb
    from_scene_reference: !<ExponentWithLinearTransform> {gamma: 2.4, offset: 0.055, direction: inverse}
  - !<ColorSpace>
    name: gamma
    from_scene_reference: !<ExponentTransform> {value: 2.2, direction: inverse}
  - !<ColorSpace>
    name: graded
    from_scene_reference: !<GroupTransform>
      children:
        - !<MatrixTransform> {matrix: [0.9, 0.1, 0, 0, 0.05, 0.9, 0.05, 0, 0, 0.1, 0.9, 0, 0, 0, 0, 1]}
        - !<ExponentWithLinearTransform> {gamma: 2.4, offset: 0.055, direction: inverse}
)";

app::OcioViews& Views() {
    static std::unique_ptr<app::OcioViews> views = [] {
        const std::string file = "/tmp/qrvx-bench-" + std::to_string(getpid()) + ".ocio";
        std::ofstream(file) << kConfig;
        auto v = std::make_unique<app::OcioViews>(file);
        std::remove(file.c_str());
        return v;
    }();
    return *views;
}

void Run(benchmark::State& state, const Image& picture, const app::FloatView& view) {
    OIIO::attribute("threads", int(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(app::ViewPixels(picture, view));
    bench::CountPixels(state, double(kW) * kH);
}

void Register(const std::string& name, ImageDepth depth,
              std::function<const app::FloatView&()> view) {
    benchmark::RegisterBenchmark(
        name.c_str(), [depth, view](benchmark::State& s) { Run(s, Picture(depth), view()); })
        ->ArgName("threads")
        ->Arg(1)
        ->Arg(2)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
}

const app::FloatView& Srgb() { return app::SrgbView(); }
const app::FloatView& Raw() { return app::RawView(); }

const int kRegistered = [] {
    Register("ViewPixels/int16", ImageDepth::Int16, Srgb);
    Register("ViewPixels-sRGB/float", ImageDepth::Float32, Srgb);
    Register("ViewPixels-raw/float", ImageDepth::Float32, Raw);
    for (const std::string v : {"sRGB", "Gamma", "Graded"})
        for (const app::OcioPath path : {app::OcioPath::Fast, app::OcioPath::Exact}) {
            // Graded mixes the channels: its fast path is the exact one.
            if (v == "Graded" && path == app::OcioPath::Fast) continue;
            const std::string kind = path == app::OcioPath::Fast ? "table" : "exact";
            Register("ViewPixels-OCIO-" + v + "-" + kind + "/float", ImageDepth::Float32,
                     [v, path]() -> const app::FloatView& {
                         // Made on first use and kept by the config, as in the viewer.
                         return *Views().View("Monitor", v, path);
                     });
        }
    // What the first picture through a view waits for: the processor and its table.
    benchmark::RegisterBenchmark("ViewPixels-OCIO-first-use",
                                 [](benchmark::State& s) {
                                     const std::string file = "/tmp/qrvx-bench-first-" +
                                                              std::to_string(getpid()) + ".ocio";
                                     std::ofstream(file) << kConfig;
                                     for (auto _ : s) {
                                         app::OcioViews views(file);
                                         benchmark::DoNotOptimize(views.View("Monitor", "sRGB"));
                                     }
                                     std::remove(file.c_str());
                                 })
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    return 0;
}();

} // namespace
