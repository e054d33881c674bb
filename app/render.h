// `qrvx render`: one tool over image files or frame sequences into files.
#pragma once

#include "app/image_io.h"

#include <optional>
#include <string>
#include <vector>

namespace app {

struct RenderOptions {
    std::string tool;
    std::vector<std::string> inputs;   // -i [ID=]PATH
    std::vector<std::string> settings; // -s ID=VALUE, in order
    std::string settingsFile;          // --settings, applied before the -s values
    std::string saveSettings;          // --save-settings
    std::string output;                // -o
    std::string frames;                // --frames
    std::optional<double> time;        // --time
    Depth depth = Depth::Auto;
    std::string compression; // --compression; "" for the format's default
    int threads = 0;         // 0: every core; more than the cores: every core
    bool quiet = false;
    bool progress = false; // progress lines even when stderr is no terminal
};

// Reads --threads: a whole number from 0 up; numbers beyond the int range count as the
// largest. Throws UsageError naming the text.
int ParseThreads(const std::string& text);

// Runs the render. Checks everything it can before it reads or writes pixels: throws
// UsageError or Failure (see errors.h) and leaves every output as it was on an error.
void RunRender(const RenderOptions& options);

} // namespace app
