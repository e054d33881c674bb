#include "app/testcard.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>

namespace app {

namespace {

using Rgba = std::array<float, 4>;

// Sets every pixel from f(x, y), values 0..1; integer images get them rounded to 0..65535.
void Paint(Image& img, const std::function<Rgba(int, int)>& f) {
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) {
            const Rgba v = f(x, y);
            for (int c = 0; c < 4; ++c) {
                if (img.IsFloat())
                    img.Row<float>(y)[4 * x + c] = v[c];
                else
                    img.Row<std::uint16_t>(y)[4 * x + c] =
                        std::uint16_t(std::lround(std::clamp(v[c], 0.0f, 1.0f) * 65535.0f));
            }
        }
}

Rgba CardPixel(int x, int y) {
    constexpr int w = kTestCardWidth, h = kTestCardHeight;
    static constexpr Rgba bars[] = {{1, 1, 1, 1}, {1, 1, 0, 1}, {0, 1, 1, 1}, {0, 1, 0, 1},
                                    {1, 0, 1, 1}, {1, 0, 0, 1}, {0, 0, 1, 1}};
    if (y < h * 6 / 10) return bars[x * 7 / w];
    const float ramp = float(x) / float(w - 1);
    const int band = (y - h * 6 / 10) * 5 / (h - h * 6 / 10); // five bands of 43 rows
    switch (band) {
    case 0: return {ramp, ramp, ramp, 1};
    case 1: return {ramp, 0, 0, 1};
    case 2: return {0, ramp, 0, 1};
    case 3: return {0, 0, ramp, 1};
    default: return {1, 1, 1, ramp};
    }
}

std::unique_ptr<Image> Card(ImageDepth depth, const std::function<Rgba(int, int)>& f) {
    auto img = std::make_unique<Image>(kTestCardWidth, kTestCardHeight, depth);
    Paint(*img, f);
    return img;
}

} // namespace

std::unique_ptr<Image> MakeTestCard(ImageDepth depth) { return Card(depth, CardPixel); }

std::unique_ptr<Image> MakePicture(const std::string& name, ImageDepth depth) {
    if (name == "card") return MakeTestCard(depth);
    if (name == "card-changed")
        return Card(depth, [](int x, int y) {
            const bool box = x >= 300 && x < 520 && y >= 120 && y < 260;
            return box ? Rgba{0.1f, 0.1f, 0.1f, 1} : CardPixel(x, y);
        });
    if (name == "dots")
        return Card(depth, [](int x, int y) {
            static constexpr Rgba dots[] = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}};
            const int cx = x % 80, cy = y % 60;
            if (cx >= 38 && cx < 42 && cy >= 28 && cy < 32) return dots[(x / 80 + y / 60) % 3];
            return Rgba{0.2f, 0.2f, 0.25f, 1};
        });
    if (name == "sprite") {
        auto img = std::make_unique<Image>(64, 64, depth);
        Paint(*img, [](int x, int y) {
            const float r = std::hypot(x - 31.5f, y - 31.5f) / 32.0f;
            const float a = std::clamp(1.0f - r * r, 0.0f, 1.0f);
            return Rgba{1, 1, 1, a};
        });
        return img;
    }
    if (name == "tile") {
        auto img = std::make_unique<Image>(96, 48, depth);
        Paint(*img, [](int x, int y) {
            const bool mortar = x < 3 || y < 3;
            const float grain = 0.05f * float((x * 7 + y * 13) % 5) / 4.0f;
            return mortar ? Rgba{0.75f, 0.72f, 0.66f, 1} : Rgba{0.62f + grain, 0.25f, 0.16f, 1};
        });
        return img;
    }
    throw std::invalid_argument("no built-in picture \"" + name + "\"");
}

std::vector<std::string> PictureNames() {
    return {"card", "card-changed", "dots", "sprite", "tile"};
}

} // namespace app
