// Striper at its defaults: every second row opaque black, the others copied.
#include "support.h"

namespace {

const int kRegistered = (bench::RegisterTool("Striper", "Striper", [](qrvx::Tool&) {}, {2}), 0);

} // namespace
