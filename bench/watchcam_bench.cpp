// Watchcam over the noise frame in 32 x 32 cells, "Merge over BG", tolerances 0.1: the
// reference differs from the frame in one pixel of every other cell (a checkerboard), so
// half the cells are read whole and half are marked with the translucent motion image.
#include "support.h"

#include <map>
#include <memory>

namespace {

constexpr int kCell = 32;

struct Inputs {
    std::unique_ptr<Image> reference, motion;
};

const Inputs& InputsFor(ImageDepth depth) {
    static std::map<ImageDepth, Inputs> made;
    Inputs& in = made[depth];
    if (in.reference) return in;
    const Image& frame = bench::Frame(depth);
    in.reference.reset(frame.CopyOfImage());
    // The change sits in the middle row of its cell.
    for (int y0 = 0; y0 + kCell <= frame.Height(); y0 += kCell)
        for (int x0 = 0; x0 + kCell <= frame.Width(); x0 += kCell) {
            if ((x0 / kCell + y0 / kCell) % 2) continue;
            const int x = x0 + kCell / 2, y = y0 + kCell / 2;
            if (depth == ImageDepth::Float32)
                in.reference->Row<float>(y)[4 * x] += 0.5f;
            else
                in.reference->Row<std::uint16_t>(y)[4 * x] ^= 0x8000;
        }
    in.motion = qrvx::MakeImage(kCell, kCell, depth);
    in.motion->Fill(FltPixel{.R = 0.5f, .A = 0.5f});
    return in;
}

const int kRegistered =
    (bench::RegisterTool(
         "Watchcam", "Watchcam",
         [](qrvx::Tool& tool, ImageDepth depth) {
             const Inputs& in = InputsFor(depth);
             tool.Connect("Reference", in.reference.get());
             tool.Connect("Motion", in.motion.get());
             for (const char* id : {"ToleranceR", "ToleranceG", "ToleranceB", "ToleranceA"})
                 tool.SetNumber(id, 0.1);
         },
         {2}),
     0);

} // namespace
