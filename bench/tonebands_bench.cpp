// ToneBands at its defaults ("lowcut" at 0.5 with smoothness 0.1, all channels): on the
// noise frame a tenth of the values lie inside the soft edge and take the exact ramp.
// Also "range inside boost" with two soft edges, a fifth of the values on a ramp.
#include "support.h"

namespace {

void Defaults(qrvx::Tool&) {}

void InsideBoost(qrvx::Tool& tool) {
    tool.SetNumber("Filter Options", 5);
    tool.SetNumber("Luminance Region Start", 0.2);
    tool.SetNumber("Luminance Region End", 0.8);
}

const int kRegistered =
    (bench::RegisterTool("ToneBands", "ToneBands", Defaults, {1, 2}),
     bench::RegisterTool("ToneBandsInsideBoost", "ToneBands", InsideBoost, {2}), 0);

} // namespace
