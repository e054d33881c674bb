// RangeMap stretching the input range 0.25..0.5 over 0..1 on all four channels, values
// outside kept: table look-ups on integer frames, the vector mapping on float frames.
#include "support.h"

namespace {

void QuarterToHalf(qrvx::Tool& tool) {
    tool.SetNumber("R1Input Region Start", 0.25);
    tool.SetNumber("R1Input Region End", 0.5);
}

const int kRegistered = (bench::RegisterTool("RangeMap", "RangeMap", QuarterToHalf, {1, 2}), 0);

} // namespace
