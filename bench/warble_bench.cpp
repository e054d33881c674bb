// Warble with a sine on both axes of all four channels (the default amplitude and
// frequency: up to 50 pixels each way). "Warble" moves the four channels alike, as whole
// pixels; "WarbleSplit" gives each channel its own phases, so that each moves on its own.
#include "support.h"

#include <string>

namespace {

void Sine(qrvx::Tool& tool, bool split) {
    const char* letters[] = {"R", "G", "B", "A"};
    for (int c = 0; c < 4; ++c) {
        const std::string l = letters[c];
        tool.SetNumber("FormulaX" + l, 1); // SIN
        tool.SetNumber("FormulaY" + l, 1);
        tool.SetNumber("phaseX" + l, split ? 0.01 * c : 0.0);
        tool.SetNumber("phaseY" + l, split ? 0.005 * c : 0.0);
    }
}

const int kRegistered =
    (bench::RegisterTool("Warble", "Warble", [](qrvx::Tool& t) { Sine(t, false); }),
     bench::RegisterTool("WarbleSplit", "Warble", [](qrvx::Tool& t) { Sine(t, true); }), 0);

} // namespace
