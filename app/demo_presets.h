// The settings `qrvx demo` renders each tool with, over the built-in test card.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <vector>

namespace app {

struct DemoPreset {
    const char* tool;    // the tool's display name
    const char* caption; // what the settings show, one line
    // Control ID and value, as given on the command line with -s ID=VALUE.
    std::vector<std::pair<std::string, std::string>> settings;
    // Image input ID and built-in picture ("card", "card-changed", "dots", "folk",
    // "motion-mark", "passive-mark", "sprite", "star", "star-blue", "tile", "tile-dark",
    // "tile-pale"; see app/testcard.h) for image inputs other than "Input".
    std::vector<std::pair<std::string, std::string>> images = {};
    // The page shows the picture with full alpha: for a tool that draws its colours
    // under zero alpha (ScopeTrace's traces), which would otherwise show as nothing.
    bool opaque = false;
};

// One entry per tool; tools without an entry render at their defaults.
std::span<const DemoPreset> DemoPresets();

} // namespace app
