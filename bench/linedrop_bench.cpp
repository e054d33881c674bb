// LineDrop at its defaults (keep one row, drop one): a half-height output, counted in
// output pixels.
#include "support.h"

namespace {

const int kRegistered = (bench::RegisterTool(
                             "LineDrop", "LineDrop", [](qrvx::Tool&) {}, {2}, bench::Count::Output),
                         0);

} // namespace
