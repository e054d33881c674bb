// PanelSim at its defaults (three 1 x 2 cells per pixel) on a 1920 x 1080 input: a
// 5760 x 2160 output, counted in output pixels.
#include "support.h"

#include <map>
#include <memory>

namespace {

// The benchmark frame at half its width and height.
const Image& HalfFrame(ImageDepth depth) {
    static std::map<ImageDepth, std::unique_ptr<Image>> frames;
    auto& frame = frames[depth];
    if (!frame)
        frame.reset(bench::Frame(depth).ResizeOfImage(bench::kWidth / 2, bench::kHeight / 2));
    return *frame;
}

const int kRegistered =
    (bench::RegisterTool(
         "PanelSim", "PanelSim", [](qrvx::Tool&) {}, {2}, bench::Count::Output, &HalfFrame),
     0);

} // namespace
