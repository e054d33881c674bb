// ScopeTrace at its defaults (the parade: four traces into four channel planes) and the
// single-trace "static Red(fastest)". One tool serves both, so each sets its type.
#include "support.h"

namespace {

void Type(qrvx::Tool& tool, double type) { tool.SetNumber("Type", type); }

const int kRegistered =
    (bench::RegisterTool("ScopeTrace", "ScopeTrace", [](qrvx::Tool& t) { Type(t, 4); }, {2}),
     bench::RegisterTool("ScopeTraceStaticRed", "ScopeTrace", [](qrvx::Tool& t) { Type(t, 5); },
                         {2}),
     0);

} // namespace
