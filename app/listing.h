// What `qrvx tools`, `qrvx controls` and `qrvx render TOOL --help` print: a table for people, or
// JSON with --json.
#pragma once

#include "app/catalog.h"

#include <ostream>

namespace app {

// Every loaded tool: display name, registry ID, short and script names, help text, build
// and version texts, plug-in version and tile bitmap number.
void ListTools(const Catalog& catalog, bool json, std::ostream& out);

// Every declared input of a new tool object, in declaration order: page, ID, visible
// name, kind, data type, shown and allowed range, default, combo entries, current
// visibility and value, required, description.
void ListControls(const qrvx::Tool& tool, bool json, std::ostream& out);

// `qrvx render TOOL --help`: the tool's help text, its image inputs and controls in
// declaration order (kind, shown and allowed range, combo entries, default, description)
// and two example command lines, a still with the demo's settings saved and a sequence
// rendered with them.
void PrintToolHelp(const qrvx::Tool& tool, std::ostream& out);

} // namespace app
