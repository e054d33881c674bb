#include "support.h"

#include <map>
#include <memory>
#include <utility>

namespace bench {

const char* DepthName(ImageDepth depth) { return depth == ImageDepth::Float32 ? "float" : "int16"; }

const Image& Frame(ImageDepth depth) {
    static std::map<ImageDepth, std::unique_ptr<Image>> frames;
    auto& frame = frames[depth];
    if (!frame) {
        frame = qrvx::MakeImage(kWidth, kHeight, depth);
        unsigned state = 12345;
        for (int y = 0; y < kHeight; ++y)
            for (int i = 0; i < kWidth * 4; ++i) {
                state = state * 1664525u + 1013904223u;
                const unsigned v = state >> 16;
                if (frame->IsFloat())
                    frame->Row<float>(y)[i] = float(v) / 65535.0f;
                else
                    frame->Row<std::uint16_t>(y)[i] = std::uint16_t(v);
            }
    }
    return *frame;
}

qrvx::Tool& LoadTool(const std::string& toolName) {
    struct Loaded {
        std::unique_ptr<qrvx::Plugin> plugin;
        std::unique_ptr<qrvx::Tool> tool;
    };
    static std::map<std::string, Loaded> loaded;
    Loaded& l = loaded[toolName];
    if (!l.tool) {
        l.plugin = qrvx::Plugin::Load(std::string(QRVX_PLUGIN_DIR) + "/QRVX_" + toolName + ".so");
        l.tool = std::make_unique<qrvx::Tool>(*l.plugin->Entries().at(0));
    }
    return *l.tool;
}

void CountPixels(benchmark::State& state, double pixelsPerIteration) {
    state.counters["Mpix/s"] = benchmark::Counter(
        pixelsPerIteration * double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}

void RegisterTool(const std::string& label, const std::string& toolName,
                  std::function<void(qrvx::Tool&)> setup, std::vector<int> threads, Count count,
                  FrameOf frame) {
    RegisterTool(
        label, toolName, [setup](qrvx::Tool& tool, ImageDepth) { setup(tool); }, threads, count,
        frame);
}

void RegisterTool(const std::string& label, const std::string& toolName,
                  std::function<void(qrvx::Tool&, ImageDepth)> setup, std::vector<int> threads,
                  Count count, FrameOf frame) {
    for (ImageDepth depth : {ImageDepth::Int16, ImageDepth::Float32}) {
        for (int n : threads) {
            const std::string name =
                label + "/" + DepthName(depth) + "/threads:" + std::to_string(n);
            const auto run = [=](benchmark::State& state) {
                qrvx::Tool& tool = LoadTool(toolName);
                setup(tool, depth);
                const Image& input = frame(depth);
                tool.Connect("Input", &input);
                qrvx::SetThreadCount(n);
                double pixels = 0;
                tool.Render(0.0); // warm-up: pooled memory in place
                for (auto _ : state) {
                    std::unique_ptr<Image> out = tool.Render(0.0);
                    pixels =
                        double(count == Count::Output ? out->PixelCount() : input.PixelCount());
                    benchmark::DoNotOptimize(out.get());
                }
                CountPixels(state, pixels);
                qrvx::SetThreadCount(0);
            };
            benchmark::RegisterBenchmark(name.c_str(), run)
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    }
}

} // namespace bench
