// Throng on a 3840 x 2160 marker holding 2,000 single-pixel dots in four colours, with
// four 64 x 128 figures (a soft-edged ellipse each), counted in frame pixels.
#include "support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>
#include <string>

namespace {

constexpr int kDots = 2000;
constexpr std::array<std::array<float, 4>, 4> kColours = {
    {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}, {1, 1, 0, 1}}};

void Put(Image& img, int x, int y, const std::array<float, 4>& v) {
    for (int c = 0; c < 4; ++c) {
        if (img.IsFloat())
            img.Row<float>(y)[x * 4 + c] = v[c];
        else
            img.Row<std::uint16_t>(y)[x * 4 + c] = std::uint16_t(std::lround(v[c] * 65535.0f));
    }
}

// The marker and the four figures of one depth, made once.
struct Scene {
    std::unique_ptr<Image> marker;
    std::array<std::unique_ptr<Image>, 4> figures;
};

const Scene& SceneOf(ImageDepth depth) {
    static std::map<ImageDepth, Scene> scenes;
    Scene& s = scenes[depth];
    if (s.marker) return s;
    s.marker = qrvx::MakeImage(bench::kWidth, bench::kHeight, depth);
    s.marker->Fill(IntPixel{});
    unsigned state = 777;
    for (int i = 0; i < kDots; ++i) {
        state = state * 1664525u + 1013904223u;
        const int x = int((state >> 8) % unsigned(bench::kWidth));
        state = state * 1664525u + 1013904223u;
        const int y = int((state >> 8) % unsigned(bench::kHeight));
        Put(*s.marker, x, y, kColours[std::size_t(i % 4)]);
    }
    for (int k = 0; k < 4; ++k) {
        s.figures[k] = qrvx::MakeImage(64, 128, depth);
        for (int y = 0; y < 128; ++y)
            for (int x = 0; x < 64; ++x) {
                const float r = std::hypot((x - 31.5f) / 32.0f, (y - 63.5f) / 64.0f);
                const float a = std::clamp((1.0f - r) * 4.0f, 0.0f, 1.0f);
                Put(*s.figures[k], x, y, {a * 0.25f * float(k + 1), a * 0.5f, a * 0.8f, a});
            }
    }
    return s;
}

void Register() {
    const char* channel[] = {"Red", "Green", "Blue", "Alpha"};
    for (ImageDepth depth : {ImageDepth::Int16, ImageDepth::Float32})
        for (int threads : {1, 2}) {
            const std::string name = std::string("Throng/") + bench::DepthName(depth) +
                                     "/threads:" + std::to_string(threads);
            benchmark::RegisterBenchmark(name.c_str(),
                                         [=](benchmark::State& state) {
                                             qrvx::Tool& tool = bench::LoadTool("Throng");
                                             const Scene& scene = SceneOf(depth);
                                             for (int k = 0; k < 4; ++k) {
                                                 const std::string n = std::to_string(k + 1);
                                                 tool.Connect("Folk " + n, scene.figures[k].get());
                                                 for (int c = 0; c < 4; ++c)
                                                     tool.SetNumber(n + channel[c], kColours[k][c]);
                                             }
                                             tool.Connect("Input", &bench::Frame(depth));
                                             tool.Connect("Throng", scene.marker.get());
                                             qrvx::SetThreadCount(threads);
                                             tool.Render(0.0); // warm-up: pooled memory in place
                                             for (auto _ : state)
                                                 benchmark::DoNotOptimize(tool.Render(0.0).get());
                                             bench::CountPixels(
                                                 state, double(bench::Frame(depth).PixelCount()));
                                             qrvx::SetThreadCount(0);
                                         })
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
}

const int kRegistered = (Register(), 0);

} // namespace
