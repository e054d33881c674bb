// `qrvx render`: one tool over image files or frame sequences into files.
#pragma once

#include "app/catalog.h"
#include "app/image_io.h"
#include "app/sequence.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace app {

// The files a render reads and writes, frame by frame: what RunRender plans.
struct RenderFiles {
    std::vector<int> frames;                      // {0} for a still
    std::vector<std::string> outputs;             // the file each frame writes
    std::vector<std::vector<std::string>> inputs; // the image files each frame reads
    bool isFloat = false;                         // every frame is read and rendered as float
};

struct RenderOptions {
    std::string tool;
    std::vector<std::string> inputs;   // -i [ID=]PATH
    std::vector<std::string> settings; // -s ID=VALUE, in order
    std::string settingsFile;          // --settings, applied before the -s values
    std::string settingsText;          // a settings file's text, applied after the file
    std::string saveSettings;          // --save-settings
    std::string output;                // -o
    std::string frames;                // --frames
    std::optional<double> time;        // --time
    Depth depth = Depth::Auto;
    DataType type = DataType::Auto; // -d: the output files' channel type
    std::string history;            // --history: the command line to append to ImageHistory
    std::string compression;        // --compression; "" for the format's default
    // Text metadata written into every output (the farm's fingerprint of the render).
    std::vector<std::pair<std::string, std::string>> metadata;
    std::string layer;       // --layer: the main input's layer the tool sees
    std::string part;        // --part: the main input's OpenEXR part the tool renders
    bool dataWindow = false; // --data-window: the data window is the frame, not the display's
    int threads = 0;         // 0: every core; more than the cores: every core
    bool quiet = false;
    bool progress = false;                // progress lines even when stderr is no terminal
    RenderFiles* plan = nullptr;          // when set: check everything, fill it in, render nothing
    std::string* savedSettings = nullptr; // when set without -o: the settings JSON, into it
    const Catalog* catalog = nullptr;     // the loaded plug-ins; null: load them
};

// An image input and the file or sequence connected to it.
struct Binding {
    Input* input;
    PathPattern path;
};

// Reads -i [ID=]PATH: PATH alone connects "Input", ID=PATH the image input with that ID. A
// path that holds '=' but names no input is taken whole when such a file exists. Throws
// UsageError naming an unknown ID, a control, or an empty path.
Binding ParseBinding(const qrvx::Tool& tool, const std::string& arg);

// Reads --threads: a whole number from 0 up; numbers beyond the int range count as the
// largest. Throws UsageError naming the text.
int ParseThreads(const std::string& text);

// Runs the render. Checks everything it can before it reads or writes pixels: throws
// UsageError or Failure (see errors.h) and leaves every output as it was on an error.
void RunRender(const RenderOptions& options);

} // namespace app
