// `qrvx demo`: every loaded tool rendered over the built-in pictures, one PNG per tool,
// and an index.html that shows each tool's input and output side by side with the
// settings used (from app/demo_presets.cpp; tools without an entry at defaults).
#pragma once

#include <string>

namespace app {

// Renders into folder (made when missing): input.png, <tool>.png and <tool>.json (the
// settings, for `qrvx render --settings`) per tool, and index.html. A tool that fails is
// shown failed on the page and the others still render; throws Failure at the end then.
void RunDemo(const std::string& folder, bool quiet);

} // namespace app
