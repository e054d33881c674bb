#include "app/render.h"

#include "app/catalog.h"
#include "app/errors.h"
#include "app/output_file.h"
#include "app/sequence.h"
#include "app/settings.h"
#include "app/testcard.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>

namespace app {

namespace {

// An image input and the file or sequence connected to it.
struct Binding {
    Input* input;
    PathPattern path;
};

// -i PATH connects "Input"; -i ID=PATH the image input with that ID. A path that holds
// '=' but names no input is taken whole when such a file exists.
Binding ParseBinding(const qrvx::Tool& tool, const std::string& arg) {
    const std::string name = DisplayName(tool.Entry());
    const std::size_t eq = arg.find('=');
    std::error_code ec;
    if (eq != std::string::npos && !std::filesystem::exists(arg, ec)) {
        const std::string id = arg.substr(0, eq), path = arg.substr(eq + 1);
        Input* in = tool.Op().FindInput(id);
        if (in && !in->IsImage())
            throw UsageError(name + ": " + Quoted(id) + " is a control, not an image input; set it with -s");
        if (!in) {
            std::string images;
            for (const auto& i : tool.Inputs())
                if (i->IsImage()) images += (images.empty() ? "" : ", ") + Quoted(i->Decl().id);
            throw UsageError(name + " has no image input " + Quoted(id) + " (image inputs: " + images + ")");
        }
        if (path.empty()) throw UsageError("-i " + arg + " names no file");
        return {in, PathPattern(path)};
    }
    Input* main = tool.Op().FindInput("Input");
    if (!main || !main->IsImage()) throw UsageError(name + " has no image input \"Input\"");
    return {main, PathPattern(arg)};
}

// The frames a sequence render covers: --frames, else the frames written into the lead
// input's pattern or found on disk for it, else those written into the output pattern.
std::vector<int> PlanFrames(const std::vector<int>& asked, const std::vector<Binding>& bindings,
                            const PathPattern& output) {
    if (!asked.empty()) return asked;
    const Binding* lead = nullptr;
    for (const Binding& b : bindings)
        if (b.path.IsSequence() && (!lead || b.input->Decl().id == "Input")) lead = &b;
    if (lead) {
        if (!lead->path.EmbeddedFrames().empty()) return ParseFrames(lead->path.EmbeddedFrames());
        std::vector<int> frames = lead->path.FramesOnDisk();
        if (frames.empty()) throw Failure("sequence " + lead->path.Text() + " matches no files");
        return frames;
    }
    if (!output.EmbeddedFrames().empty()) return ParseFrames(output.EmbeddedFrames());
    throw UsageError("-o " + output.Text() +
                     " is a sequence pattern, but no frames are given (use --frames or an input sequence)");
}

void SetThreads(int threads) {
    SetThreadCount(threads);
    OIIO::attribute("threads", threads);
    OIIO::attribute("exr_threads", threads);
}

const char* DepthName(ImageDepth d) { return d == ImageDepth::Float32 ? "32-bit float" : "16-bit integer"; }

} // namespace

void RunRender(const RenderOptions& o) {
    if (o.output.empty() && o.saveSettings.empty())
        throw UsageError("render needs -o PATH (or --save-settings alone to save the settings)");
    if (o.threads < 0) throw UsageError("--threads must be 0 (every core) or more");

    Catalog catalog = Catalog::Load(o.quiet);
    qrvx::Tool tool(catalog.Find(o.tool));
    const std::string toolName = DisplayName(tool.Entry());

    // Inputs, then the settings: the file first, then -s in order.
    std::vector<Binding> bindings;
    for (const std::string& arg : o.inputs) {
        Binding b = ParseBinding(tool, arg);
        for (const Binding& other : bindings)
            if (other.input == b.input)
                throw UsageError("image input " + Quoted(b.input->Decl().id) + " is given twice");
        bindings.push_back(std::move(b));
    }
    if (!o.settingsFile.empty()) LoadSettings(tool, o.settingsFile);
    for (const std::string& s : o.settings) ApplyAssignment(tool, s);
    if (o.output.empty()) {
        SaveSettings(tool, o.saveSettings);
        return;
    }

    // The frames: a sequence when an input or the output is a pattern, or --frames asks.
    const std::vector<int> asked = o.frames.empty() ? std::vector<int>{} : ParseFrames(o.frames);
    const PathPattern output(o.output, false);
    bool sequence = output.IsSequence() || !asked.empty();
    for (const Binding& b : bindings) sequence = sequence || b.path.IsSequence();
    std::vector<int> frames = {0};
    if (sequence) {
        if (o.time) throw UsageError("--time renders one image; a sequence renders each frame at its number");
        if (!output.IsSequence())
            throw UsageError("-o " + o.output + " must be a sequence pattern such as out.#.exr to render frames");
        frames = PlanFrames(asked, bindings, output);
        for (const Binding& b : bindings)
            for (int f : frames)
                if (b.path.IsSequence() && !std::filesystem::exists(b.path.Frame(f)))
                    throw Failure("missing frame " + std::to_string(f) + " of " + b.path.Text() + ": " +
                                  b.path.Frame(f));
    }

    // The depth every input is read at, from the main input's first file; check that the
    // output can take it before any pixel is read.
    const Binding* main = nullptr;
    for (const Binding& b : bindings)
        if (b.input->Decl().id == "Input") main = &b;
    const ImageDepth depth =
        ImageDepthFor(o.depth, main && ReadInfo(main->path.Frame(frames.front())).isFloat);
    OutputTypeFor(output.Frame(frames.front()), depth == ImageDepth::Float32, o.depth);
    CheckWritable(output.Frame(frames.front()));
    SetThreads(o.threads);

    FileInfo mainInfo;
    // Stills are read once and stay connected; sequences are read per frame.
    std::vector<std::unique_ptr<Image>> stills;
    for (const Binding& b : bindings)
        if (!b.path.IsSequence()) {
            stills.push_back(ReadImage(b.path.Text(), depth, &b == main ? &mainInfo : nullptr));
            tool.Connect(b.input->Decl().id, stills.back().get());
        }
    if (!main) {
        stills.push_back(MakeTestCard(depth));
        tool.Connect("Input", stills.back().get());
        if (!o.quiet)
            std::cerr << "qrvx: note: \"Input\" is not connected; rendering over the built-in test card ("
                      << kTestCardWidth << " x " << kTestCardHeight << ", " << DepthName(depth) << ")\n";
    }

    const bool progress = !o.quiet && (o.progress || isatty(STDERR_FILENO));
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const auto start = std::chrono::steady_clock::now();
        const int frame = frames[i];
        // This frame's images; released before the next frame makes its own, so the
        // host's pool hands the same memory back.
        std::vector<std::unique_ptr<Image>> perFrame;
        for (const Binding& b : bindings)
            if (b.path.IsSequence()) {
                perFrame.push_back(ReadImage(b.path.Frame(frame), depth, &b == main ? &mainInfo : nullptr));
                tool.Connect(b.input->Decl().id, perFrame.back().get());
            }
        const std::unique_ptr<Image> result = tool.Render(sequence ? double(frame) : o.time.value_or(0.0));
        const std::string target = output.Frame(frame);
        WriteImage(*result, target, {.depth = o.depth, .source = main ? &mainInfo : nullptr, .compression = o.compression});
        for (const Binding& b : bindings)
            if (b.path.IsSequence()) tool.Connect(b.input->Decl().id, nullptr);
        if (progress) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            char line[64];
            std::snprintf(line, sizeof line, "[%zu/%zu] ", i + 1, frames.size());
            std::cerr << "qrvx: " << line << (sequence ? "frame " + std::to_string(frame) + " " : "")
                      << "-> " << target << " (" << std::fixed << std::setprecision(2) << seconds << " s)\n";
        }
    }
    if (!o.saveSettings.empty()) SaveSettings(tool, o.saveSettings);
}

} // namespace app
