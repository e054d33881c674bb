// The qrvx command: lists the loaded tools and their controls, renders a tool over image
// files or frame sequences, and renders the demo. stdout carries only what was asked for;
// messages, progress and errors go to stderr, each error as one line. Exit codes: 0 done,
// 1 a failure (a file missing or unwritable, an image too large), 2 a usage error.
#include "app/catalog.h"
#include "app/demo.h"
#include "app/errors.h"
#include "app/listing.h"
#include "app/render.h"
#include "app/sequence.h"
#include "app/text.h"
#include "app/version.h"
#include "app/view.h"

#include <CLI/CLI.hpp>

#include <iostream>
#include <map>
#include <new>

namespace {

int Report(const std::string& message, int code) {
    std::cerr << "qrvx: error: " << message << "\n";
    return code;
}

// `qrvx render TOOL --help`: the command's help, then the tool's inputs, controls and
// examples. A tool that cannot be found is reported after the command's help.
int RenderHelp(const CLI::App& cli, const CLI::CallForHelp& e, const std::string& name) {
    const int code = cli.exit(e);
    try {
        const app::Catalog catalog = app::Catalog::Load(true);
        const qrvx::Tool tool(catalog.Find(name));
        std::cout << "\n";
        app::PrintToolHelp(tool, std::cout);
    } catch (const app::UsageError& error) {
        return Report(error.what(), 2);
    } catch (const std::exception& error) {
        return Report(error.what(), 1);
    }
    return code;
}

const char* const kExamples =
    "Examples:\n"
    "  qrvx tools                            every loaded tool\n"
    "  qrvx controls ChannelShift            its inputs and controls\n"
    "  qrvx render ChannelShift --help       the same with examples, and the render options\n"
    "  qrvx render ChannelShift -i plate.####.exr -s 'Center Red=0.52,0.5' -o out.####.exr\n"
    "  qrvx demo                             every tool over a test card, into out/demo\n"
    "  qrvx view ChannelShift -i plate.exr   the tool live in the browser";

const char* const kRenderExamples =
    "Examples:\n"
    "  qrvx render ChannelShift -i plate.exr -s 'Center Red=0.52,0.5' -o shifted.exr\n"
    "  qrvx render Warble -i plate.####.exr -s FormulaXR=SIN --frames 1001-1100 -o out.####.exr\n"
    "  qrvx render Watchcam -i now.####.exr -i Reference=before.png -o 'changed.$F4.exr'\n"
    "  qrvx render Warble -i in.png -s FormulaXR=SIN --save-settings look.json -o out.png\n"
    "  qrvx render Warble -i other.png --settings look.json -o other_out.png\n"
    "  qrvx render TOOL --help               the tool's inputs, controls and examples";

} // namespace

int main(int argc, char** argv) {
    CLI::App cli{"qrvx: image tools for film and video compositing"};
    cli.name("qrvx");
    cli.require_subcommand(1);
    cli.set_version_flag("--version", std::string("qrvx ") + app::kVersion,
                         "Print the version and exit");
    const std::string about =
        "Plug-ins are loaded from QRVX_PLUGIN_PATH (colon-separated) and ../plugins beside the "
        "binary.\nExit codes: 0 done, 1 a failure, 2 a usage error.";
    cli.footer(about + "\n\n" + kExamples);

    bool json = false, quiet = false;
    std::string toolName;

    CLI::App* tools = cli.add_subcommand("tools", "List every loaded tool");
    tools->add_flag("--json", json, "Print JSON");
    tools->add_flag("-q,--quiet", quiet, "Print errors only");

    CLI::App* controls = cli.add_subcommand("controls", "List a tool's inputs and controls");
    controls->add_option("tool", toolName, "Display name, short name, script name or registry ID")
        ->required();
    controls->add_flag("--json", json, "Print JSON");
    controls->add_flag("-q,--quiet", quiet, "Print errors only");

    app::RenderOptions r;
    std::string depth = "auto", threads = "0";
    CLI::App* render = cli.add_subcommand("render", "Render a tool over images or frame sequences");
    render->add_option("tool", r.tool, "Display name, short name, script name or registry ID")
        ->required();
    render
        ->add_option("-i,--input", r.inputs,
                     "[ID=]PATH: an image or sequence for \"Input\" or input ID")
        ->allow_extra_args(false);
    render
        ->add_option("-s,--set", r.settings,
                     "ID=VALUE: a number, x,y for a point, or a combo entry")
        ->allow_extra_args(false);
    render->add_option("--settings", r.settingsFile, "Apply a settings file (before any -s)");
    render->add_option("--save-settings", r.saveSettings, "Save every control's value as JSON");
    render->add_option(
        "-o,--output", r.output,
        "Output image, or sequence pattern (out.#.exr); a symbolic link there is replaced by "
        "the new file, and the file it points to is left alone");
    render->add_option(
        "--frames", r.frames,
        "Frames to render, in the order written: A-B (counting down when A > B), A-BxN (every "
        "Nth), A-ByN (all but every Nth), A,B,C; at most " +
            std::to_string(app::kMaxFrames));
    render->add_option("--time", r.time, "Render time of a single image (default 0)");
    render->add_option("--depth", depth, "auto, int16, float or half")
        ->check(CLI::IsMember({"auto", "int16", "float", "half"}));
    render->add_option("--compression", r.compression,
                       "Output compression: none, rle, zip, piz, dwaa:45, ... (default: the "
                       "input's, within one format)");
    std::string dataType = "auto";
    render
        ->add_option("-d", dataType,
                     "Channel type of the output files: uint8, uint16, half or float "
                     "(default: the main input's)")
        ->check(CLI::IsMember({"auto", "uint8", "uint16", "half", "float"}));
    bool history = false;
    render->add_flag("--history", history, "Append the command line to the output's ImageHistory");
    render->add_option("--layer", r.layer,
                       "The main input's layer the tool sees (its NAME.R, NAME.G, NAME.B, "
                       "NAME.A); the other channels pass through");
    render->add_option("--part", r.part,
                       "The OpenEXR part the tool renders, by number or name (default 0); the "
                       "other parts are copied through");
    render->add_flag("--data-window", r.dataWindow,
                     "Take each file's data window as the frame, not its display window");
    render->add_option("--threads", threads,
                       "Threads to use (0 or more than the cores: every core)");
    render->add_flag("-q,--quiet", r.quiet, "Print errors only");
    render->add_flag("--progress", r.progress,
                     "Print a line per frame even when stderr is no terminal");
    render->footer(std::string(app::kPatternHelp) +
                   "\nWithout --frames a sequence renders the frames of \"Input\" found on disk."
                   "\n\n" +
                   about + "\n\n" + kRenderExamples);

    std::string demoFolder = "out/demo";
    CLI::App* demo =
        cli.add_subcommand("demo", "Render every tool over built-in pictures into a folder");
    demo->add_option("--out", demoFolder, "Folder for the PNGs and index.html (default out/demo)");
    demo->add_flag("-q,--quiet", quiet, "Print errors only");

    app::ViewOptions v;
    CLI::App* view = cli.add_subcommand(
        "view", "Open a tool in the browser: its controls and its picture, rendered live");
    view->add_option("tool", v.tool, "The tool to open with (default ChannelShift)");
    view->add_option("-i,--input", v.inputs, "[ID=]PATH: an image or sequence under --root")
        ->allow_extra_args(false);
    view->add_option("--settings", v.settingsFile, "Apply a settings file first");
    view->add_option("--root", v.root,
                     "The folder the page may read images from and save settings to (default .)");
    view->add_option("--port", v.port, "The port to listen on (default: any free one)");
    view->add_option("--bind", v.bind, "The address to listen on (default 127.0.0.1)");
    view->add_flag("-q,--quiet", v.quiet, "Print errors only");

    try {
        cli.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        if (render->parsed() && !r.tool.empty()) return RenderHelp(cli, e, r.tool);
        return cli.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return cli.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return cli.exit(e);
    } catch (const CLI::ParseError& e) {
        return Report(e.what(), 2);
    }

    try {
        if (tools->parsed()) {
            app::ListTools(app::Catalog::Load(quiet), json, std::cout);
        } else if (controls->parsed()) {
            const app::Catalog catalog = app::Catalog::Load(quiet);
            const qrvx::Tool tool(catalog.Find(toolName));
            app::ListControls(tool, json, std::cout);
        } else if (render->parsed()) {
            static const std::map<std::string, app::Depth> depths = {{"auto", app::Depth::Auto},
                                                                     {"int16", app::Depth::Int16},
                                                                     {"float", app::Depth::Float},
                                                                     {"half", app::Depth::Half}};
            r.depth = depths.at(depth);
            r.type = app::DataTypeNamed(dataType).value_or(app::DataType::Auto);
            if (history) r.history = app::CommandLine(argc, argv);
            r.threads = app::ParseThreads(threads);
            app::RunRender(r);
        } else if (demo->parsed()) {
            app::RunDemo(demoFolder, quiet);
        } else if (view->parsed()) {
            app::RunView(v);
        }
    } catch (const app::UsageError& e) {
        return Report(e.what(), 2);
    } catch (const std::bad_alloc&) {
        return Report("out of memory", 1);
    } catch (const std::exception& e) {
        return Report(e.what(), 1);
    }
    std::cout.flush();
    return std::cout ? 0 : Report("cannot write to stdout", 1);
}
