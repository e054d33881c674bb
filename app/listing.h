// What `qrvx tools` and `qrvx controls` print: a table for people, or JSON with --json.
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

} // namespace app
