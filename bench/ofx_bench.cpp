// ChannelShift at 3840 x 2160 through the OpenFX bundle, as a host drives it (the
// project's small host from tests/ofx_host.h: inputs laid out bottom-up in the host's
// memory, the output written into the host's image), beside the same render through the
// host API. The bundle reads its input in place and copies the tool's output into the
// host's image once (streamed past the caches), so its cost is that copy on top of the
// render. The host's buffers are on huge pages as the host library's pooled images are, so
// that the two renders read and write memory of the same kind.
#include "support.h"

#include "ofx_host.h"

#include <optional>

namespace {

void Shift(qrvx::Tool& tool) { tool.SetPoint("Center Red", 0.52, 0.5); }

const int kHostApi = (bench::RegisterTool("ChannelShift", "ChannelShift", Shift, {1, 2}), 0);

void ThroughTheBundle(benchmark::State& state, ImageDepth depth, int threads) {
    const Image& frame = bench::Frame(depth);
    const Pixels input = CopyIn(frame, {});
    OfxEffect fx("Quorvane.QRVX_ChannelShift");
    fx.Connect(kOfxImageEffectSimpleSourceClipName, input, depth);
    fx.ParamNamed("Center Red").value = {0.52, 0.5};
    if (fx.Create() != kOfxStatOK) {
        state.SkipWithError("the bundle did not create the instance");
        return;
    }
    Host::Get().cpus = unsigned(threads);
    qrvx::SetThreadCount(threads);
    std::optional<Pixels> out;
    fx.Render(depth, {}, out); // warm-up: pooled memory in place
    for (auto _ : state) {
        if (fx.Render(depth, {}, out) != kOfxStatOK) {
            state.SkipWithError("render failed");
            return;
        }
        benchmark::DoNotOptimize(out->data);
    }
    bench::CountPixels(state, double(frame.PixelCount()));
    qrvx::SetThreadCount(0);
}

const int kBundle = [] {
    for (ImageDepth depth : {ImageDepth::Int16, ImageDepth::Float32})
        for (int n : {1, 2}) {
            const std::string name = std::string("ChannelShift via OpenFX/") +
                                     bench::DepthName(depth) + "/threads:" + std::to_string(n);
            benchmark::RegisterBenchmark(
                name.c_str(), [=](benchmark::State& s) { ThroughTheBundle(s, depth, n); })
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
    return 0;
}();

} // namespace
