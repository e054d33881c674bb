#include "app/render.h"

#include "app/catalog.h"
#include "app/errors.h"
#include "app/output_file.h"
#include "app/sequence.h"
#include "app/settings.h"
#include "app/testcard.h"
#include "app/text.h"
#include "host/monitor.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

namespace app {

namespace {

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
        if (frames.empty()) throw Failure(lead->path.NoFilesMessage());
        return frames;
    }
    if (!output.EmbeddedFrames().empty()) return ParseFrames(output.EmbeddedFrames());
    throw UsageError(
        "-o " + output.Text() +
        " is a sequence pattern, but no frames are given (use --frames or an input sequence)");
}

// More threads than cores gain nothing and make oneTBB print a warning, so the count is
// held to the cores quietly.
void SetThreads(int threads) {
    qrvx::SetThreadCount(0);
    threads = std::min(threads, qrvx::ThreadCount());
    qrvx::SetThreadCount(threads);
    OIIO::attribute("threads", threads);
    OIIO::attribute("exr_threads", threads);
}

const char* DepthName(ImageDepth d) {
    return d == ImageDepth::Float32 ? "32-bit float" : "16-bit integer";
}

} // namespace

namespace {

// What a render covers, worked out and checked before any pixel is read.
struct Plan {
    std::vector<Binding> bindings;
    const Binding* main = nullptr; // the binding of "Input", or null for the test card
    PathPattern output{""};
    bool sequence = false;
    std::vector<int> frames = {0};
    ImageDepth depth = ImageDepth::Int16;
    Window window = Window::Display;
    ReadOptions mainRead; // how the main input is read: window, layer, part, its other channels
    // Per binding: whether its dropped overscan has been told (once per sequence). Frames
    // are read one after another, never two at once.
    mutable std::vector<char> overscanTold;
};

// The frames: a sequence when an input or the output is a pattern, or --frames asks.
// Every input frame must be on disk, and the output must take the images' depth.
void PlanFramesAndDepth(const RenderOptions& o, Plan& plan) {
    const std::vector<int> asked = o.frames.empty() ? std::vector<int>{} : ParseFrames(o.frames);
    plan.output = PathPattern(o.output, false);
    plan.sequence = plan.output.IsSequence() || !asked.empty();
    for (const Binding& b : plan.bindings) plan.sequence = plan.sequence || b.path.IsSequence();
    if (plan.sequence) {
        if (o.time)
            throw UsageError(
                "--time renders one image; a sequence renders each frame at its number");
        if (!plan.output.IsSequence())
            throw UsageError("-o " + o.output +
                             " must be a sequence pattern such as out.#.exr to render frames");
        plan.frames = PlanFrames(asked, plan.bindings, plan.output);
        for (const Binding& b : plan.bindings)
            for (int f : plan.frames)
                if (b.path.IsSequence() && !std::filesystem::exists(b.path.Frame(f)))
                    throw Failure("missing frame " + std::to_string(f) + " of " + b.path.Text() +
                                  ": " + b.path.Frame(f));
    }
    // Every input is read at the depth of the main input's first file.
    for (const Binding& b : plan.bindings)
        if (b.input->Decl().id == "Input") plan.main = &b;
    const std::string first = plan.output.Frame(plan.frames.front());
    const FileInfo mainInfo =
        plan.main ? ReadInfo(plan.main->path.Frame(plan.frames.front()), plan.mainRead)
                  : FileInfo();
    plan.depth = ImageDepthFor(o.depth, plan.main && mainInfo.isFloat);
    CheckWritable(first); // first, so that a folder is called a folder
    OutputTypeFor(first, plan.depth == ImageDepth::Float32, o.depth, o.type,
                  plan.main ? &mainInfo : nullptr);
}

// The images a frame reads from its sequence inputs, with the main input's description.
struct FrameInputs {
    std::vector<std::unique_ptr<Image>> images; // in the order of the sequence bindings
    FileInfo mainInfo;
};

// Reads a binding's file in the plan's frame, and says once per binding how many pixels
// outside the display window it drops.
std::unique_ptr<Image> ReadBinding(const Plan& plan, const Binding& b, const std::string& path,
                                   FileInfo& info, bool quiet) {
    ReadOptions plain;
    plain.window = plan.window;
    auto image = ReadImage(path, plan.depth, &info, &b == plan.main ? plan.mainRead : plain);
    const std::int64_t dropped = plan.window == Window::Display ? PixelsOutsideFrame(info.spec) : 0;
    char& told = plan.overscanTold[std::size_t(&b - plan.bindings.data())];
    if (dropped > 0 && !told && !quiet) {
        std::cerr << "qrvx: note: " << path << ": " << dropped
                  << " pixels of the data window lie outside the display window and are dropped"
                     " (--data-window keeps them)\n";
        told = 1;
    }
    return image;
}

FrameInputs ReadFrame(const Plan& plan, int frame, bool quiet) {
    FrameInputs in;
    for (const Binding& b : plan.bindings)
        if (b.path.IsSequence()) {
            FileInfo info;
            in.images.push_back(ReadBinding(plan, b, b.path.Frame(frame), info, quiet));
            if (&b == plan.main) in.mainInfo = std::move(info);
        }
    return in;
}

// While it lives, shows how far a frame's render is (its bands finished, of those begun
// since the frame started) once the frame has taken longer than a second, so that a long
// frame gives a sign of life: a line rewritten in place on a terminal, else a line every
// few seconds.
class FrameProgress {
public:
    FrameProgress(bool enabled, std::string what)
        : m_what(std::move(what)), m_start(qrvx::CurrentRenderProgress()) {
        if (enabled) m_watcher = std::thread([this] { Watch(); });
    }
    ~FrameProgress() {
        if (!m_watcher.joinable()) return;
        {
            const std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_wake.notify_one();
        m_watcher.join();
        if (m_shown && m_tty) std::cerr << "\r\x1b[K" << std::flush;
    }
    FrameProgress(const FrameProgress&) = delete;
    FrameProgress& operator=(const FrameProgress&) = delete;

private:
    void Watch() {
        using namespace std::chrono;
        const auto begin = steady_clock::now();
        auto next = begin + seconds(1);
        std::unique_lock lock(m_mutex);
        while (!m_wake.wait_until(lock, next, [this] { return m_done; })) {
            const qrvx::RenderProgress now = qrvx::CurrentRenderProgress();
            std::ostringstream line;
            line << "qrvx: " << m_what << ": " << now.finished - m_start.finished << "/"
                 << now.begun - m_start.begun << " bands (" << std::fixed << std::setprecision(0)
                 << duration<double>(steady_clock::now() - begin).count() << " s)";
            if (m_tty)
                std::cerr << '\r' << line.str() << "\x1b[K" << std::flush;
            else
                std::cerr << line.str() << std::endl;
            m_shown = true;
            next += m_tty ? milliseconds(500) : seconds(5);
        }
    }

    const std::string m_what;
    const qrvx::RenderProgress m_start;
    const bool m_tty = isatty(STDERR_FILENO);
    bool m_shown = false;
    bool m_done = false;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_watcher;
};

// Renders every frame of the plan at the frame's time, in three overlapping stages: the
// next frame's inputs are read on one thread and the last frame's output is written on
// another while this frame renders, so decoding, rendering and encoding keep every core
// busy. Writes stay in frame order, one at a time, and a failed read or write stops the
// run before anything later is written. A frame's images are released as soon as its
// stage is done, so the host's pool hands the same memory back.
void RenderFrames(qrvx::Tool& tool, const Plan& plan, const RenderOptions& o,
                  const FileInfo& stillInfo) {
    const bool progress = !o.quiet && (o.progress || isatty(STDERR_FILENO));
    const bool mainIsSequence = plan.main && plan.main->path.IsSequence();
    auto readAhead = [&](std::size_t i) {
        return std::async(std::launch::async, [&plan, frame = plan.frames[i], quiet = o.quiet] {
            return ReadFrame(plan, frame, quiet);
        });
    };
    // The write in flight, and the progress line to print when it is done.
    std::future<void> writing;
    std::string written;
    auto finishWrite = [&] {
        if (!writing.valid()) return;
        writing.get();
        if (progress) std::cerr << written;
    };

    // Whether the outputs have alpha: where the input has, or where there is no input file;
    // decided by the first frame for the whole run, so that no frame of a sequence differs.
    std::optional<bool> alpha;
    if (!plan.main) alpha = true;

    std::future<FrameInputs> next = readAhead(0);
    for (std::size_t i = 0; i < plan.frames.size(); ++i) {
        const auto start = std::chrono::steady_clock::now();
        const int frame = plan.frames[i];
        FrameInputs in = next.get();
        if (i + 1 < plan.frames.size()) next = readAhead(i + 1);
        std::size_t k = 0;
        for (const Binding& b : plan.bindings)
            if (b.path.IsSequence()) tool.Connect(b.input->Decl().id, in.images[k++].get());
        std::shared_ptr<const Image> result;
        {
            std::ostringstream what;
            what << '[' << i + 1 << '/' << plan.frames.size() << "] "
                 << (plan.sequence ? "frame " + std::to_string(frame) : std::string("rendering"));
            const FrameProgress watch(progress, what.str());
            result = tool.Render(plan.sequence ? double(frame) : o.time.value_or(0.0));
        }
        for (const Binding& b : plan.bindings)
            if (b.path.IsSequence()) tool.Connect(b.input->Decl().id, nullptr);
        in.images.clear();

        finishWrite();
        const std::string target = plan.output.Frame(frame);
        const FileInfo* source = plan.main ? (mainIsSequence ? &in.mainInfo : &stillInfo) : nullptr;
        if (!alpha) {
            if (source->extras && !ExtrasFit(*result, *source, plan.window) && !o.quiet)
                std::cerr << "qrvx: note: the output is " << result->Width() << " x "
                          << result->Height() << ", not the input's size: its other channels ("
                          << Join(source->extras->names) << ") are dropped\n";
            if (source->parts > 1 && !KeepsParts(target, *source) && !o.quiet)
                std::cerr << "qrvx: note: " << source->path << " has " << source->parts
                          << " parts; only part " << source->part << " is written into " << target
                          << "\n";
            alpha = OutputAlpha(*result, *source);
            if (*alpha && !HasAlpha(*source) && !o.quiet)
                std::cerr << "qrvx: note: " << source->path
                          << " has no alpha, but the tool's is not opaque: the output has alpha\n";
        }
        writing = std::async(std::launch::async,
                             [&o, &plan, result, target, info = source ? *source : FileInfo(),
                              hasSource = source != nullptr, withAlpha = *alpha] {
                                 WriteImage(*result, target,
                                            {.depth = o.depth,
                                             .type = o.type,
                                             .source = hasSource ? &info : nullptr,
                                             .window = plan.window,
                                             .compression = o.compression,
                                             .metadata = o.metadata,
                                             .alpha = withAlpha,
                                             .history = o.history});
                             });
        if (progress) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            std::ostringstream line;
            line << "qrvx: [" << i + 1 << "/" << plan.frames.size() << "] "
                 << (plan.sequence ? "frame " + std::to_string(frame) + " " : "") << "-> " << target
                 << " (" << std::fixed << std::setprecision(2) << seconds << " s)\n";
            written = line.str();
        }
    }
    finishWrite();
}

// Where a write to path lands: its folder resolved, its name not (a write replaces a
// link rather than writing through it).
std::filesystem::path Location(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path p = fs::absolute(path, ec);
    return fs::weakly_canonical(p.parent_path(), ec) / p.filename();
}

// --save-settings must name neither an output nor an input: the settings would replace
// the render or the plate. planned: the frames of the plan are known (else the inputs'
// frames on disk are compared).
void CheckNotRendered(const std::string& settings, const Plan& plan, bool planned) {
    namespace fs = std::filesystem;
    const auto refuse = [&](const std::string& what) {
        throw UsageError("--save-settings " + settings + " names " + what +
                         "; give the settings a file of their own");
    };
    const fs::path at = Location(settings);
    if (planned)
        for (int f : plan.frames) {
            const std::string out = plan.output.Frame(f);
            if (fs::path(out).filename() == at.filename() && Location(out) == at)
                refuse(plan.sequence ? "frame " + std::to_string(f) + " of the output"
                                     : "the output");
        }
    // An input's file, or the link that leads to it.
    for (const Binding& b : plan.bindings) {
        const std::vector<int> frames = !b.path.IsSequence() ? std::vector<int>{0}
                                        : planned            ? plan.frames
                                                             : b.path.FramesOnDisk();
        for (int f : frames) {
            const std::string in = b.path.Frame(f);
            std::error_code ec;
            if (Location(in) == at || fs::weakly_canonical(fs::absolute(in, ec), ec) == at)
                refuse("the file of the image input " + Quoted(b.input->Decl().id) + " (" + in +
                       ")");
        }
    }
}

// The files of every frame of a checked plan.
void DescribePlan(const Plan& plan, RenderFiles& files) {
    files = {.frames = plan.frames, .isFloat = plan.depth == ImageDepth::Float32};
    for (int f : plan.frames) {
        files.outputs.push_back(plan.output.Frame(f));
        std::vector<std::string>& reads = files.inputs.emplace_back();
        for (const Binding& b : plan.bindings) reads.push_back(b.path.Frame(f));
    }
}

} // namespace

// -i PATH connects "Input"; -i ID=PATH the image input with that ID. A path that holds
// '=' but names no input is taken whole when such a file exists.
Binding ParseBinding(const qrvx::Tool& tool, const std::string& arg) {
    const std::string name = DisplayName(tool.Entry());
    const std::size_t eq = arg.find('=');
    std::error_code ec;
    if (eq != std::string::npos && !std::filesystem::exists(arg, ec)) {
        const std::string id = arg.substr(0, eq), path = arg.substr(eq + 1);
        Input& in = FindImageInput(tool, id);
        if (path.empty()) throw UsageError("-i " + arg + " names no file");
        return {&in, PathPattern(path)};
    }
    Input* main = tool.InputOrNull("Input");
    if (!main || !main->IsImage()) throw UsageError(name + " has no image input \"Input\"");
    return {main, PathPattern(arg)};
}

int ParseThreads(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError("--threads " + Quoted(Excerpt(text)) +
                         " is not a thread count (a whole number, 0 for every core)");
    // from_chars leaves the value alone when it is out of range.
    int threads = std::numeric_limits<int>::max();
    std::from_chars(text.data(), text.data() + text.size(), threads);
    return threads;
}

void RunRender(const RenderOptions& o) {
    if (o.output.empty() && o.saveSettings.empty() && !o.savedSettings)
        throw UsageError("render needs -o PATH (or --save-settings alone to save the settings)");
    if (o.time && !std::isfinite(*o.time))
        throw UsageError("--time " + std::to_string(*o.time) + " is not a finite number");

    std::optional<Catalog> loaded;
    const Catalog& catalog = o.catalog ? *o.catalog : loaded.emplace(Catalog::Load(o.quiet));
    qrvx::Tool tool(catalog.Find(o.tool));

    // Inputs, then the settings: the file first, then -s in order.
    Plan plan;
    for (const std::string& arg : o.inputs) {
        Binding b = ParseBinding(tool, arg);
        for (const Binding& other : plan.bindings)
            if (other.input == b.input)
                throw UsageError("image input " + Quoted(b.input->Decl().id) + " is given twice");
        plan.bindings.push_back(std::move(b));
    }
    if (!o.settingsFile.empty()) LoadSettings(tool, o.settingsFile);
    if (!o.settingsText.empty()) LoadSettingsText(tool, o.settingsText, "of the render");
    for (const std::string& s : o.settings) ApplyAssignment(tool, s);
    if (o.output.empty()) {
        if (o.savedSettings) {
            *o.savedSettings = SettingsJson(tool).dump(2) + "\n";
            return;
        }
        CheckNotRendered(o.saveSettings, plan, false);
        SaveSettings(tool, o.saveSettings);
        return;
    }
    // Every required image input must be given, as the host would insist before rendering.
    std::vector<std::string> given;
    for (const Binding& b : plan.bindings) given.push_back(b.input->Decl().id);
    RequireImageInputs(tool, given,
                       [](const std::string& id) { return "-i " + Quoted(id + "=PATH"); });
    plan.window = o.dataWindow ? Window::Data : Window::Display;
    plan.mainRead = {.window = plan.window, .layer = o.layer, .part = o.part, .keepExtras = true};
    PlanFramesAndDepth(o, plan);
    CheckCompression(plan.output.Frame(plan.frames.front()), o.compression);
    if (!o.saveSettings.empty()) {
        CheckNotRendered(o.saveSettings, plan, true);
        CheckWritable(o.saveSettings);
    }
    if (o.plan) return DescribePlan(plan, *o.plan);
    SetThreads(o.threads);

    // Stills are read once and stay connected; sequences are read per frame.
    FileInfo mainInfo;
    std::vector<std::unique_ptr<Image>> stills;
    plan.overscanTold.assign(plan.bindings.size(), 0);
    for (const Binding& b : plan.bindings)
        if (!b.path.IsSequence()) {
            FileInfo info;
            stills.push_back(ReadBinding(plan, b, b.path.Text(), info, o.quiet));
            if (&b == plan.main) mainInfo = std::move(info);
            tool.Connect(b.input->Decl().id, stills.back().get());
        }
    if (!plan.main) {
        stills.push_back(MakeTestCard(plan.depth));
        tool.Connect("Input", stills.back().get());
        if (!o.quiet)
            std::cerr
                << "qrvx: note: \"Input\" is not connected; rendering over the built-in test card ("
                << kTestCardWidth << " x " << kTestCardHeight << ", " << DepthName(plan.depth)
                << ")\n";
    }
    RenderFrames(tool, plan, o, mainInfo);
    if (!o.saveSettings.empty()) SaveSettings(tool, o.saveSettings);
}

} // namespace app
