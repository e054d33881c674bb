// Brickwork laying eight 256 x 128 tiles of noise at its default settings (offsets 0 and
// 0.5; positions 1 to 20, so the eighth tile is chosen most often).
#include "support.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kTileCount = 8;

void ConnectTiles(qrvx::Tool& tool, ImageDepth depth) {
    static std::map<ImageDepth, std::vector<std::unique_ptr<Image>>> tiles;
    auto& made = tiles[depth];
    for (int t = 0; t < kTileCount; ++t) {
        if (made.size() <= std::size_t(t)) {
            made.push_back(qrvx::MakeImage(256, 128, depth));
            const Image& frame = bench::Frame(depth);
            for (int y = 0; y < 128; ++y)
                std::memcpy(made.back()->RowTable()[y], frame.RowTable()[y + 128 * t],
                            std::size_t(256 * frame.Stride()));
        }
        tool.Connect(t == 0 ? "Tile 1 (required)" : "Tile " + std::to_string(t + 1),
                     made[std::size_t(t)].get());
    }
}

const int kRegistered = (bench::RegisterTool("Brickwork", "Brickwork", ConnectTiles, {2}), 0);

} // namespace
