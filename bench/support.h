// Shared by the benchmark programs: the 3840 x 2160 frames, tools loaded from their
// plug-ins, and one way of registering a tool's runs so that every program reports the
// same counter (Mpix/s) under names that bench/compare.py pairs with the plain copy.
//
// Names: "<label>/<int16|float>/threads:<n>". The plain copy is "Copy/<depth>/threads:<n>".
#pragma once

#include "host/session.h"

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

namespace bench {

inline constexpr int kWidth = 3840, kHeight = 2160;

// A frame of deterministic noise over the full range (made once per depth).
const Image& Frame(ImageDepth depth);
const char* DepthName(ImageDepth depth);

// A tool made from the build's plug-in (loaded once, kept for the program's life).
qrvx::Tool& LoadTool(const std::string& toolName);

// Sets the Mpix/s counter from the pixels handled per iteration.
void CountPixels(benchmark::State& state, double pixelsPerIteration);

enum class Count { Input, Output };

// Registers "<label>/<depth>/threads:<n>" for both depths and each thread count: the
// tool, configured by setup, renders the frame; Mpix/s counts input or output pixels.
void RegisterTool(const std::string& label, const std::string& toolName,
                  std::function<void(qrvx::Tool&)> setup, std::vector<int> threads = {1, 2},
                  Count count = Count::Input);
// The same, for tools whose other image inputs must match the frame's depth: setup is
// told the depth it renders at.
void RegisterToolByDepth(const std::string& label, const std::string& toolName,
                         std::function<void(qrvx::Tool&, ImageDepth)> setup,
                         std::vector<int> threads = {1, 2}, Count count = Count::Input);

} // namespace bench
