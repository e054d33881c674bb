// What a plug-in file carries besides its tool: a version record and, for the tools that
// have one, a tile picture. Each plug-in exports one C function that returns them.
#pragma once

#include <cstdint>

struct PluginResources {
    const char* fileVersion;        // "0.9.0.0"
    const char* productVersion;     // the same
    const char* comments;           // "public Beta"
    const char* specialBuild;       // "public Beta"
    int tileBitmap;                 // the bitmap number the entry names (343: none carried)
    int tileWidth;                  // 160, or 0 when the plug-in carries no picture
    int tileHeight;                 // 120, or 0
    const std::uint8_t* tilePixels; // 24-bit rows, top row first, B, G, R per pixel
};

// The name of the exported function: extern "C" const PluginResources* qrvx_resources().
inline constexpr const char* kResourcesSymbol = "qrvx_resources";
using ResourcesFn = const PluginResources* (*)();
