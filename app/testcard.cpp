#include "app/testcard.h"

#include "host/session.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <utility>

namespace app {

namespace {

using Rgba = std::array<float, 4>;

// Watchcam's cell marks: 24 x 15 cells over the test card.
constexpr int kMarkWidth = 40, kMarkHeight = 36;

// Sets every pixel from f(x, y), values 0..1; integer images get them rounded to 0..65535.
// The pictures are drawn as they are seen, y counting down from the top, into the host's
// rows, which count up from the bottom.
void Paint(Image& img, const std::function<Rgba(int, int)>& f) {
    for (int y = 0; y < img.Height(); ++y)
        for (int x = 0; x < img.Width(); ++x) {
            const Rgba v = f(x, y);
            const int row = img.Height() - 1 - y;
            for (int c = 0; c < 4; ++c) {
                if (img.IsFloat())
                    img.Row<float>(row)[4 * x + c] = v[c];
                else
                    img.Row<std::uint16_t>(row)[4 * x + c] = RoundClamp16(v[c] * 65535.0f);
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
    auto img = qrvx::MakeImage(kTestCardWidth, kTestCardHeight, depth);
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
        auto img = qrvx::MakeImage(64, 64, depth);
        Paint(*img, [](int x, int y) {
            const float r = std::hypot(x - 31.5f, y - 31.5f) / 32.0f;
            const float a = std::clamp(1.0f - r * r, 0.0f, 1.0f);
            return Rgba{1, 1, 1, a};
        });
        return img;
    }
    if (name == "folk") {
        // A standing person: head, shirt, trousers; opaque inside, transparent around.
        auto img = qrvx::MakeImage(24, 48, depth);
        Paint(*img, [](int x, int y) {
            const float head = std::hypot(x - 11.5f, y - 6.5f);
            if (head < 5.5f) return Rgba{0.86f, 0.66f, 0.52f, 1};
            if (y >= 13 && y < 30 && x >= 5 && x < 19) return Rgba{0.2f, 0.45f, 0.8f, 1};
            if (y >= 30 && y < 47 && ((x >= 6 && x < 11) || (x >= 13 && x < 18)))
                return Rgba{0.18f, 0.18f, 0.22f, 1};
            return Rgba{0, 0, 0, 0};
        });
        return img;
    }
    // Bricks of one size in three shades of clay.
    static constexpr std::pair<const char*, Rgba> bricks[] = {
        {"tile", {0.62f, 0.25f, 0.16f, 1}},
        {"tile-dark", {0.40f, 0.15f, 0.10f, 1}},
        {"tile-pale", {0.78f, 0.52f, 0.36f, 1}},
    };
    for (const auto& brick : bricks) {
        if (name != brick.first) continue;
        const Rgba clay = brick.second;
        auto img = qrvx::MakeImage(96, 48, depth);
        Paint(*img, [clay](int x, int y) {
            const bool mortar = x < 3 || y < 3;
            const float grain = 0.05f * float((x * 7 + y * 13) % 5) / 4.0f;
            return mortar ? Rgba{0.75f, 0.72f, 0.66f, 1}
                          : Rgba{clay[0] + grain, clay[1], clay[2], 1};
        });
        return img;
    }
    if (name == "star" || name == "star-blue") {
        // Premultiplied, as the host's merge expects: colour is tint x alpha, and alpha
        // falls to 0 well inside the square, so merged stars show no box around them.
        const Rgba tint = name == "star" ? Rgba{1, 0.95f, 0.8f, 1} : Rgba{0.6f, 0.8f, 1, 1};
        auto img = qrvx::MakeImage(48, 48, depth);
        Paint(*img, [tint](int x, int y) {
            const float dx = std::abs(x - 23.5f) / 24.0f, dy = std::abs(y - 23.5f) / 24.0f;
            const float glow = std::max(0.0f, 1.0f - std::hypot(dx, dy) * 2.5f);
            const float rays = std::max(0.0f, 1.0f - std::min(dx, dy) * 16.0f) *
                               std::max(0.0f, 1.0f - std::max(dx, dy));
            const float a = std::min(1.0f, glow * glow + 0.8f * rays * rays);
            return Rgba{tint[0] * a, tint[1] * a, tint[2] * a, a};
        });
        return img;
    }
    // Marks for Watchcam's cells, premultiplied as drawn: a red frame over a faint red
    // wash for a changed cell, a thin green edge at the top and left for the others.
    if (name == "motion-mark") {
        auto img = qrvx::MakeImage(kMarkWidth, kMarkHeight, depth);
        Paint(*img, [](int x, int y) {
            const bool frame = std::min({x, y, kMarkWidth - 1 - x, kMarkHeight - 1 - y}) < 3;
            return frame ? Rgba{0.9f, 0.05f, 0.05f, 1} : Rgba{0.2f, 0, 0, 0.2f};
        });
        return img;
    }
    if (name == "passive-mark") {
        auto img = qrvx::MakeImage(kMarkWidth, kMarkHeight, depth);
        Paint(*img, [](int x, int y) {
            return x == 0 || y == 0 ? Rgba{0, 0.5f, 0.1f, 0.6f} : Rgba{0, 0, 0, 0};
        });
        return img;
    }
    throw std::invalid_argument("no built-in picture \"" + name + "\"");
}

std::vector<std::string> PictureNames() {
    return {"card",   "card-changed", "dots",      "folk", "motion-mark", "passive-mark",
            "sprite", "star",         "star-blue", "tile", "tile-dark",   "tile-pale"};
}

} // namespace app
