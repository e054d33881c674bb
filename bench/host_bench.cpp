// The yardstick and the host: a plain row copy through the host's worker runs (the
// memory-bandwidth limit of a read-one-write-one filter), ChannelShift with every
// channel moved (into pooled and into fresh memory), and the host's resize and blur.
#include "support.h"

#include <cstring>

namespace {

// Copies the frame row by row with DoMultiProcess into a new (pooled) image.
class RowCopy : public ThreadedOperator {
public:
    RowCopy() : ThreadedOperator(nullptr, ScriptVal(), TagList()) {}
    void Process(Request*) override {}
    void ProcessSlice(Request*, long y) override {
        std::memcpy(m_dst->RowTable()[y], m_src->RowTable()[y],
                    std::size_t(m_src->Width()) * std::size_t(m_src->Stride()));
    }
    void Run(const Image& src, Image& dst) {
        m_src = &src;
        m_dst = &dst;
        DoMultiProcess(nullptr, src.Height());
    }

private:
    const Image* m_src = nullptr;
    Image* m_dst = nullptr;
};

constexpr std::size_t kPoolLimit = std::size_t(4) << 30; // the host's default

void Shifted(qrvx::Tool& tool) {
    tool.SetPoint("Center Red", 0.5 + 7.0 / bench::kWidth, 0.5 + 3.0 / bench::kHeight);
    tool.SetPoint("Center Green", 0.5 - 5.0 / bench::kWidth, 0.5);
    tool.SetPoint("Center Blue", 0.5, 0.5 - 9.0 / bench::kHeight);
    tool.SetPoint("Center Alpha", 0.5 - 0.5 / bench::kWidth, 0.5 + 2.0 / bench::kHeight);
}

// Runs body for both depths and both thread counts under "<label>/<depth>/threads:<n>".
template <class Body>
void RegisterHost(const std::string& label, Body body) {
    for (ImageDepth depth : {ImageDepth::Int16, ImageDepth::Float32})
        for (int n : {1, 2}) {
            const std::string name =
                label + "/" + bench::DepthName(depth) + "/threads:" + std::to_string(n);
            benchmark::RegisterBenchmark(
                name.c_str(),
                [=](benchmark::State& state) {
                    const Image& frame = bench::Frame(depth);
                    qrvx::SetThreadCount(n);
                    body(frame); // warm-up: pooled memory and scratch in place
                    for (auto _ : state) body(frame);
                    bench::CountPixels(state, double(frame.PixelCount()));
                    qrvx::SetThreadCount(0);
                })
                ->UseRealTime()
                ->Unit(benchmark::kMillisecond);
        }
}

const bool kRegistered = [] {
    RegisterHost("Copy", [](const Image& frame) {
        static RowCopy copy;
        const auto out = qrvx::MakeImage(frame.Width(), frame.Height(), frame.Depth());
        copy.Run(frame, *out);
        benchmark::DoNotOptimize(out->RowTable());
    });
    bench::RegisterTool("ChannelShift", "ChannelShift", Shifted);
    // The same render with the pool keeping nothing: every output lands on fresh pages.
    RegisterHost("ChannelShiftFreshPages", [](const Image& frame) {
        qrvx::Tool& tool = bench::LoadTool("ChannelShift");
        Shifted(tool);
        tool.Connect("Input", &frame);
        qrvx::SetImagePoolLimit(0);
        std::unique_ptr<Image> out = tool.Render(0.0);
        benchmark::DoNotOptimize(out.get());
        out.reset();
        qrvx::SetImagePoolLimit(kPoolLimit);
    });
    RegisterHost("ResizeHalf", [](const Image& frame) {
        std::unique_ptr<Image> half(frame.ResizeOfImage(frame.Width() / 2, frame.Height() / 2));
        benchmark::DoNotOptimize(half.get());
    });
    RegisterHost("Blur0.1", [](const Image& frame) {
        const auto out = qrvx::MakeImage(frame.Width(), frame.Height(), frame.Depth());
        frame.ImageBlur(out.get(), 4, true, true, true, true, 0.1, 0.1, 1.0, 1.0);
        benchmark::DoNotOptimize(out->RowTable());
    });
    return true;
}();

} // namespace
