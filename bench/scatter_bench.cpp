// Scatter with 1000 placements over four 256 x 256 stars at scales 0.2 to 0.6, chosen
// evenly, over the whole frame: about 11 megapixels of star merged per render.
#include "support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <memory>

namespace {

// Four premultiplied round glows of the frame's depth, made once per depth.
const std::array<std::unique_ptr<Image>, 4>& Stars(ImageDepth depth) {
    static std::map<ImageDepth, std::array<std::unique_ptr<Image>, 4>> made;
    auto& stars = made[depth];
    if (!stars[0]) {
        for (int i = 0; i < 4; ++i) {
            stars[i] = qrvx::MakeImage(256, 256, depth);
            const double scale = depth == ImageDepth::Float32 ? 1.0 : 65535.0;
            const double tint[4] = {1.0 - 0.2 * i, 0.9, 0.6 + 0.1 * i, 1.0};
            for (int y = 0; y < 256; ++y)
                for (int x = 0; x < 256; ++x) {
                    const double r = std::hypot(x - 127.5, y - 127.5) / 128.0;
                    const double a = std::clamp(1.0 - r, 0.0, 1.0);
                    for (int c = 0; c < 4; ++c) {
                        const double v = tint[c] * a * scale;
                        if (stars[i]->IsFloat())
                            stars[i]->Row<float>(y)[x * 4 + c] = float(v);
                        else
                            stars[i]->Row<std::uint16_t>(y)[x * 4 + c] = std::uint16_t(v + 0.5);
                    }
                }
        }
    }
    return stars;
}

void Setup(qrvx::Tool& tool, ImageDepth depth) {
    tool.SetNumber("density", 1000);
    tool.SetNumber("Probability End", 4);
    tool.SetNumber("Zmin", 0.2);
    tool.SetNumber("Zmax", 0.6);
    const char* inputs[4] = {"Star 1 (required)", "Star 2", "Star 3", "Star 4"};
    for (int i = 0; i < 4; ++i) tool.Connect(inputs[i], Stars(depth)[i].get());
}

const int kRegistered = (bench::RegisterTool("Scatter", "Scatter", Setup, {1, 2}), 0);

} // namespace
