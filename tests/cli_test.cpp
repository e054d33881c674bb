// End-to-end tests of the qrvx command: each runs the binary as a subprocess in a fresh
// folder, writes its input files and reads its outputs through OpenImageIO.
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using OIIO::ImageSpec;
using OIIO::TypeDesc;
using Json = nlohmann::json;

struct Result {
    int code = -1;
    std::string out, err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Pixels as doubles in the file's own units (0..65535 for 16-bit, as stored for float).
struct Picture {
    ImageSpec spec;
    std::vector<double> px; // interleaved, spec.nchannels per pixel
    double At(int x, int y, int c) const {
        return px[(std::size_t(y) * spec.width + x) * spec.nchannels + c];
    }
};

class Cli : public test::InTempFolder {
protected:
    // Runs qrvx with the arguments in the test's folder; env is "NAME=value" or "".
    Result Run(const std::vector<std::string>& args, const std::string& env = "") const {
        std::string cmd =
            "cd " + ShellQuote(m_dir.string()) + " && " + env + " " + ShellQuote(QRVX_BIN);
        for (const std::string& a : args) {
            cmd += ' ';
            cmd += ShellQuote(a);
        }
        cmd += " >" + ShellQuote(P(".stdout")) + " 2>" + ShellQuote(P(".stderr")) + " </dev/null";
        const int status = std::system(cmd.c_str());
        Result r;
        r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = Slurp(P(".stdout"));
        r.err = Slurp(P(".stderr"));
        fs::remove(P(".stdout"));
        fs::remove(P(".stderr"));
        return r;
    }

    // Starts qrvx with the arguments in the test's folder, its output thrown away, and
    // returns at once with its pid.
    // Starts the command with SIGINT and SIGTERM at their defaults and the signals given
    // ignored.
    pid_t Start(const std::vector<std::string>& args, std::vector<int> ignored = {}) const {
        const pid_t pid = fork();
        if (pid != 0) return pid;
        std::vector<char*> argv{const_cast<char*>(QRVX_BIN)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        for (int sig : {SIGINT, SIGTERM}) std::signal(sig, SIG_DFL);
        for (int sig : ignored) std::signal(sig, SIG_IGN);
        if (chdir(m_dir.c_str()) == 0 && freopen("/dev/null", "w", stdout) &&
            freopen("/dev/null", "w", stderr))
            execv(QRVX_BIN, argv.data());
        _exit(127);
    }

    // Waits (at most 60 s) until a temporary output file appears; false when the
    // process ended first.
    bool AwaitTemporary(pid_t pid) const {
        for (int i = 0; i < 30000; ++i, usleep(2000)) {
            if (Leftovers() > 0) return true;
            if (waitpid(pid, nullptr, WNOHANG) == pid) return false;
        }
        return false;
    }

    // Writes an image file; value(x, y, c) is in the type's units (0..255, 0..65535, float).
    void Write(const std::string& name, int w, int h, int channels, TypeDesc type,
               const std::function<double(int, int, int)>& value,
               const std::function<void(ImageSpec&)>& adjust = {}) const {
        ImageSpec spec(w, h, channels, type);
        if (channels == 4) spec.alpha_channel = 3;
        spec.attribute("oiio:UnassociatedAlpha", 1);
        if (adjust) adjust(spec);
        std::vector<float> px(std::size_t(w) * h * channels);
        const bool isFloat = type.is_floating_point();
        const double scale = isFloat ? 1.0 : type == TypeDesc::UINT8 ? 255.0 : 65535.0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < channels; ++c)
                    px[(std::size_t(y) * w + x) * channels + c] = float(value(x, y, c) / scale);
        auto out = OIIO::ImageOutput::create(P(name));
        ASSERT_TRUE(out && out->open(P(name), spec)) << name;
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, px.data())) << out->geterror();
        ASSERT_TRUE(out->close());
    }

    Picture Read(const std::string& name) const {
        Picture p;
        ImageSpec config;
        config.attribute("oiio:UnassociatedAlpha", 1);
        auto in = OIIO::ImageInput::open(P(name), &config);
        EXPECT_TRUE(in) << "cannot read " << name;
        if (!in) return p;
        p.spec = in->spec();
        std::vector<float> px(p.spec.image_pixels() * p.spec.nchannels);
        EXPECT_TRUE(in->read_image(0, 0, 0, p.spec.nchannels, TypeDesc::FLOAT, px.data()));
        const double scale = p.spec.format.is_floating_point() ? 1.0 : 65535.0;
        for (float v : px) p.px.push_back(scale == 1.0 ? v : std::round(v * scale));
        return p;
    }

    // Every loaded tool, as `qrvx tools --json` lists it.
    std::vector<Json> Tools() const {
        const Result r = Run({"tools", "--json"});
        EXPECT_EQ(r.code, 0) << r.err;
        return Json::parse(r.out).get<std::vector<Json>>();
    }

    // What `qrvx --version` prints, without the newline: "qrvx VERSION".
    std::string VersionLine() const {
        const std::string out = Run({"--version"}).out;
        return out.substr(0, out.find('\n'));
    }

    // Files in the folder whose name holds the temporary-file marker.
    int Leftovers() const {
        int n = 0;
        for (const auto& e : fs::directory_iterator(m_dir))
            n += e.path().filename().string().find(".qrvx-tmp") != std::string::npos;
        return n;
    }
};

// A small RGBA pattern distinct in every channel, in 0..1.
double Pattern(int x, int y, int c) {
    return std::fmod(0.05 + 0.11 * x + 0.07 * y + 0.23 * c, 1.0);
}

// ---- Listings -----------------------------------------------------------------------

TEST_F(Cli, ToolsJsonListsEveryToolWithItsEntry) {
    const Result r = Run({"tools", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const Json tools = Json::parse(r.out);
    ASSERT_GE(tools.size(), 1u);
    bool found = false;
    for (const Json& t : tools) {
        for (const char* key : {"name", "id", "shortName", "scriptName", "help", "built", "version",
                                "pluginVersion", "tileBitmap"})
            EXPECT_TRUE(t.contains(key)) << key;
        if (t["name"] != "ChannelShift") continue;
        found = true;
        EXPECT_EQ(t["id"], "Quorvane.QRVX_ChannelShift");
        EXPECT_EQ(t["shortName"], "ChSh");
        EXPECT_EQ(t["scriptName"], "Quorvane_ChannelShift");
        EXPECT_EQ(t["built"], "Built: Dec 19 2005");
        EXPECT_EQ(t["pluginVersion"], "0.9.0.0");
        EXPECT_EQ(t["tileBitmap"], 343);
        EXPECT_EQ(t["help"], "Offset colour channels separately.\nV 0.9 public Beta");
    }
    EXPECT_TRUE(found);
}

TEST_F(Cli, ControlsJsonKeepsDeclarationOrderAndAnyNameFindsTheTool) {
    for (const char* name :
         {"ChannelShift", "chsh", "QUORVANE_CHANNELSHIFT", "quorvane.qrvx_channelshift"}) {
        const Result r = Run({"controls", name, "--json"});
        ASSERT_EQ(r.code, 0) << name << ": " << r.err;
        const Json doc = Json::parse(r.out);
        const Json& c = doc["controls"];
        ASSERT_EQ(c.size(), 9u);
        EXPECT_EQ(c[0]["id"], "Input");
        EXPECT_EQ(c[0]["dataType"], "Image");
        EXPECT_EQ(c[0]["required"], true);
        EXPECT_EQ(c[1]["id"], "Red");
        EXPECT_EQ(c[1]["page"], "Settings");
        EXPECT_EQ(c[1]["kind"], "CheckboxControl");
        EXPECT_EQ(c[1]["default"], 1.0);
        EXPECT_EQ(c[5]["id"], "Center Red");
        EXPECT_EQ(c[5]["dataType"], "Point");
        EXPECT_EQ(c[5]["value"], Json::array({0.5, 0.5}));
        EXPECT_EQ(c[5]["visible"], true);
    }
    const Result text = Run({"controls", "ChannelShift"});
    EXPECT_EQ(text.code, 0);
    EXPECT_NE(text.out.find("Center Alpha"), std::string::npos);
    EXPECT_NE(text.out.find("DESCRIPTION"), std::string::npos);
    EXPECT_NE(text.out.find("Moves the green channel; off leaves it in place"), std::string::npos);
}

// Every control of every tool says in one line what it does, and the channel controls of a
// family name their own channel.
TEST_F(Cli, EveryControlHasAOneLineDescription) {
    const Result tools = Run({"tools", "--json"});
    ASSERT_EQ(tools.code, 0) << tools.err;
    const Json list = Json::parse(tools.out);
    ASSERT_EQ(list.size(), 12u);
    for (const Json& t : list) {
        const Result r = Run({"controls", t["id"], "--json"});
        ASSERT_EQ(r.code, 0) << r.err;
        const Json listing = Json::parse(r.out); // kept: the loop walks into it
        for (const Json& c : listing["controls"]) {
            const std::string d = c["description"];
            const std::string where =
                t["name"].get<std::string>() + " " + c["id"].get<std::string>();
            EXPECT_GE(d.size(), 10u) << where;
            EXPECT_EQ(d.find('\n'), std::string::npos) << where;
            EXPECT_EQ(d.find("%s"), std::string::npos) << where;
        }
    }
    const Json warble = Json::parse(Run({"controls", "Warble", "--json"}).out)["controls"];
    for (const Json& c : warble) {
        if (c["id"] == "amplitudeYB") {
            EXPECT_EQ(c["description"],
                      "How far the up-and-down wave moves the blue channel; 1 is 100 pixels");
        }
    }
}

// ---- Help ------------------------------------------------------------------------------

// The text after the last "Examples:" line of a help text, one entry per command line.
std::vector<std::string> LastExamples(const std::string& help) {
    const std::size_t at = help.rfind("\nExamples:\n");
    std::vector<std::string> lines;
    if (at == std::string::npos) return lines;
    std::istringstream rest(help.substr(at + 11));
    for (std::string line; std::getline(rest, line);)
        if (line.rfind("  qrvx ", 0) == 0) lines.push_back(line.substr(2));
    return lines;
}

TEST_F(Cli, VersionAndHelpEndWithExamples) {
    const Result v = Run({"--version"});
    EXPECT_EQ(v.code, 0);
    EXPECT_TRUE(std::regex_match(v.out, std::regex("qrvx [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << v.out;

    const Result top = Run({"--help"});
    EXPECT_EQ(top.code, 0);
    EXPECT_GE(LastExamples(top.out).size(), 4u) << top.out;
    EXPECT_NE(top.out.find("qrvx render ChannelShift --help"), std::string::npos);

    const Result render = Run({"render", "--help"});
    EXPECT_EQ(render.code, 0);
    EXPECT_GE(LastExamples(render.out).size(), 4u) << render.out;
    // The pattern table, a line per form.
    for (const char* form :
         {"shot.#.exr ", "shot.####.exr ", "shot.@@@.exr ", "shot.%04d.exr ", "shot.$F4.exr "})
        EXPECT_NE(render.out.find(std::string("\n  ") + form), std::string::npos) << form;
    EXPECT_NE(render.out.find("Exit codes"), std::string::npos);

    const Result unknown = Run({"render", "NoSuchTool", "--help"});
    EXPECT_EQ(unknown.code, 2);
    EXPECT_NE(unknown.err.find("\"NoSuchTool\""), std::string::npos) << unknown.err;
}

// render TOOL --help lists every input and control of the tool with its facts and what it
// does, and ends with two command lines for that tool; the first one runs as printed.
TEST_F(Cli, RenderToolHelpListsItsControlsAndExamplesThatRun) {
    for (const Json& t : Tools()) {
        const std::string name = t["name"];
        const Result r = Run({"render", name, "--help"});
        ASSERT_EQ(r.code, 0) << name << ": " << r.err;
        EXPECT_NE(r.out.find("Usage: qrvx render"), std::string::npos) << name;
        const Json listing = Json::parse(Run({"controls", name, "--json"}).out);
        for (const Json& c : listing["controls"]) {
            const std::string line = "\n  \"" + c["id"].get<std::string>() + "\": ";
            const std::size_t at = r.out.find(line);
            ASSERT_NE(at, std::string::npos) << name << " " << c["id"];
            const std::string facts = r.out.substr(at, r.out.find('\n', at + 1) - at);
            if (c["dataType"] != "Image") {
                EXPECT_NE(facts.find(c["kind"].get<std::string>()), std::string::npos) << facts;
            }
            EXPECT_NE(facts.find(c["dataType"] == "Image" ? "image" : "default"), std::string::npos)
                << facts;
            EXPECT_NE(r.out.find("      " + c["description"].get<std::string>() + "\n", at),
                      std::string::npos)
                << name << " " << c["id"];
        }
        const std::vector<std::string> examples = LastExamples(r.out);
        ASSERT_EQ(examples.size(), 2u) << name << ":\n" << r.out;
        for (const std::string& e : examples)
            EXPECT_EQ(e.rfind("qrvx render " + name + " ", 0), 0u) << e;
        EXPECT_NE(examples[1].find(".####.exr"), std::string::npos) << examples[1];
    }
    // ChannelShift's first example, run as printed over a plate made here.
    Write("plate.exr", 8, 4, 4, TypeDesc::FLOAT, Pattern);
    const std::string example = LastExamples(Run({"render", "ChannelShift", "--help"}).out)[0];
    const std::string cmd = "cd " + ShellQuote(m_dir.string()) + " && " + ShellQuote(QRVX_BIN) +
                            example.substr(4) + " -q >/dev/null 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0) << example;
    EXPECT_TRUE(fs::exists(P("out.exr")) && fs::exists(P("look.json"))) << example;
    EXPECT_NE(Slurp(P("look.json")).find("0.52"), std::string::npos);
}

TEST_F(Cli, PluginPathIsSearchedFirstAndABrokenPluginIsSkipped) {
    fs::create_directory(P("plug"));
    fs::copy_file(std::string(QRVX_PLUGIN_DIR) + "/QRVX_ChannelShift.so",
                  P("plug/QRVX_ChannelShift.so"));
    std::ofstream(P("plug/QRVX_Broken.so")) << "not a library";
    const Result r =
        Run({"tools", "--json"}, "QRVX_PLUGIN_PATH=" + ShellQuote(P("nowhere") + ":" + P("plug")));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("QRVX_Broken.so"), std::string::npos);
    int channelShifts = 0;
    for (const Json& t : Json::parse(r.out))
        if (t["name"] == "ChannelShift") {
            ++channelShifts;
            EXPECT_EQ(t["file"], P("plug/QRVX_ChannelShift.so"));
        }
    EXPECT_EQ(channelShifts, 1);
}

// ---- Renders from files ---------------------------------------------------------------

TEST_F(Cli, DefaultsRenderIntegerAndFloatFilesUnchanged) {
    Write("in16.png", 7, 5, 4, TypeDesc::UINT16,
          [](int x, int y, int c) { return std::round(Pattern(x, y, c) * 65535); });
    Write("in8.png", 7, 5, 4, TypeDesc::UINT8,
          [](int x, int y, int c) { return std::round(Pattern(x, y, c) * 255); });
    // Float values outside 0..1 are data too.
    Write("inf.exr", 7, 5, 4, TypeDesc::FLOAT,
          [](int x, int y, int c) { return Pattern(x, y, c) * 3 - 1; });
    Write("inh.exr", 7, 5, 4, TypeDesc::HALF,
          [](int x, int y, int c) { return Pattern(x, y, c) * 3 - 1; });

    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in16.png", "-o", "out16.png"}).code, 0);
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in8.png", "-o", "out8.png"}).code, 0);
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "inf.exr", "-o", "outf.exr"}).code, 0);
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "inh.exr", "-o", "outh.exr"}).code, 0);

    const Picture in16 = Read("in16.png"), out16 = Read("out16.png"), in8 = Read("in8.png"),
                  out8 = Read("out8.png");
    EXPECT_EQ(out16.spec.format, TypeDesc::UINT16);
    EXPECT_EQ(out16.px, in16.px);
    // 8-bit files give integer images, written back as 8-bit: the same values.
    EXPECT_EQ(out8.spec.format, TypeDesc::UINT8);
    EXPECT_EQ(out8.px, in8.px);

    // Float and half files keep their type.
    for (const auto& [name, type] : {std::pair{"f", TypeDesc::FLOAT}, {"h", TypeDesc::HALF}}) {
        const Picture in = Read(std::string("in") + name + ".exr"),
                      out = Read(std::string("out") + name + ".exr");
        EXPECT_EQ(out.spec.format, type) << name;
        EXPECT_EQ(out.px, in.px) << name;
    }
}

TEST_F(Cli, SettingsReachTheToolInBothDepths) {
    for (const char* ext : {"png", "exr"}) {
        const std::string in = std::string("in.") + ext, out = std::string("out.") + ext;
        Write(in, 8, 4, 4, std::string(ext) == "png" ? TypeDesc::UINT16 : TypeDesc::FLOAT,
              [&](int x, int y, int c) {
                  return std::string(ext) == "png" ? std::round(Pattern(x, y, c) * 65535)
                                                   : Pattern(x, y, c);
              });
        // Red moves 2 pixels right (0.75 - 0.5 of 8); the other channels stay.
        const Result r = Run({"render", "chsh", "-i", in, "-s", "Center Red=0.75,0.5", "-o", out});
        ASSERT_EQ(r.code, 0) << r.err;
        const Picture a = Read(in), b = Read(out);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 8; ++x) {
                EXPECT_EQ(b.At(x, y, 0), x < 2 ? 0.0 : a.At(x - 2, y, 0)) << ext << " " << x;
                EXPECT_EQ(b.At(x, y, 1), a.At(x, y, 1));
            }
    }
}

TEST_F(Cli, ColourUnderZeroAlphaRoundTrips) {
    // Unassociated RGBA: colour under alpha 0 and partial alpha must come back unchanged.
    const auto value = [](int x, int y, int c) {
        return c == 3 ? double((x * 60 + y) % 256 * (x % 3 != 0))
                      : double((x * 37 + y * 11 + c * 50) % 256);
    };
    Write("in.png", 9, 3, 4, TypeDesc::UINT8, value);
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in.png", "-o", "out.png"}).code, 0);
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in.png", "-o", "out.tif"}).code, 0);
    for (const char* name : {"out.png", "out.tif"}) {
        const Picture out = Read(name);
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 9; ++x)
                for (int c = 0; c < 4; ++c)
                    ASSERT_EQ(out.At(x, y, c), value(x, y, c) * 257)
                        << name << x << "," << y << "," << c;
    }
}

TEST_F(Cli, GreyAndRgbFilesFillTheMissingChannels) {
    Write("grey.png", 4, 2, 1, TypeDesc::UINT16, [](int x, int y, int) { return x * 1000.0 + y; });
    Write("rgb.exr", 4, 2, 3, TypeDesc::FLOAT, [](int x, int, int c) { return x * 0.25 + c; });
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "grey.png", "-o", "grey_out.png"}).code, 0);
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "rgb.exr", "-o", "rgb_out.exr"}).code, 0);
    // Neither has alpha, so neither output has; grey comes back as colour, which a tool
    // may have made of it.
    const Picture g = Read("grey_out.png"), rgb = Read("rgb_out.exr");
    ASSERT_EQ(g.spec.nchannels, 3);
    EXPECT_EQ(g.At(3, 1, 0), 3001);
    EXPECT_EQ(g.At(3, 1, 1), 3001);
    EXPECT_EQ(g.At(3, 1, 2), 3001);
    ASSERT_EQ(rgb.spec.nchannels, 3);
    EXPECT_EQ(rgb.At(2, 0, 2), 2.5);
}

// ---- What files keep ------------------------------------------------------------------

TEST_F(Cli, OutputsKeepTheInputsTypeUnlessDSaysOtherwise) {
    // 10-bit DPX keeps its bits; 16-bit TIFF stays 16-bit; both values unchanged.
    Write(
        "in.dpx", 5, 3, 3, TypeDesc::UINT16,
        [](int x, int y, int c) {
            return std::round((x * 100 + y * 10 + c * 7) * 65535.0 / 1023.0);
        },
        [](ImageSpec& s) { s.attribute("oiio:BitsPerSample", 10); });
    Write("in.tif", 5, 3, 4, TypeDesc::UINT16,
          [](int x, int y, int c) { return 1000.0 * x + 10.0 * y + c; });
    for (const auto& [in, out] : {std::pair{"in.dpx", "out.dpx"}, {"in.tif", "out.tif"}}) {
        const Result r = Run({"render", "ChannelShift", "-i", in, "-o", out});
        ASSERT_EQ(r.code, 0) << r.err;
        const Picture a = Read(in), b = Read(out);
        EXPECT_EQ(b.spec.format, TypeDesc::UINT16) << out;
        EXPECT_EQ(b.spec.get_int_attribute("oiio:BitsPerSample"),
                  a.spec.get_int_attribute("oiio:BitsPerSample"))
            << out;
        EXPECT_EQ(b.px, a.px) << out;
    }
    EXPECT_EQ(Read("out.dpx").spec.get_int_attribute("oiio:BitsPerSample"), 10);
    // -d chooses another type; one the format cannot hold is refused, naming both.
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in.tif", "-d", "uint8", "-o", "d8.tif"}).code,
              0);
    EXPECT_EQ(Read("d8.tif").spec.format, TypeDesc::UINT8);
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in.tif", "-d", "half", "-o", "dh.exr"}).code,
              0);
    EXPECT_EQ(Read("dh.exr").spec.format, TypeDesc::HALF);
    const Result refused =
        Run({"render", "ChannelShift", "-i", "in.tif", "-d", "float", "-o", "f.png"});
    EXPECT_EQ(refused.code, 2);
    EXPECT_NE(refused.err.find("png files hold no float pixels"), std::string::npos) << refused.err;
    EXPECT_FALSE(fs::exists(P("f.png")));
}

TEST_F(Cli, AnRgbInputGainsAlphaOnlyWhenTheToolMakesOne) {
    Write("rgb.png", 16, 8, 3, TypeDesc::UINT16, [](int x, int, int) { return x * 4000.0; });
    Result r = Run({"render", "ChannelShift", "-i", "rgb.png", "-o", "same.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Read("same.png").spec.nchannels, 3);
    EXPECT_EQ(r.err.find("alpha"), std::string::npos) << r.err;
    // ScopeTrace's picture is transparent where nothing is traced.
    r = Run({"render", "ScopeTrace", "-i", "rgb.png", "-o", "scope.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Read("scope.png").spec.nchannels, 4);
    EXPECT_NE(r.err.find("rgb.png has no alpha, but the tool's is not opaque"), std::string::npos)
        << r.err;
}

TEST_F(Cli, OtherChannelsAndLayersPassThrough) {
    // Channels A, B, G, R, Z as OpenEXR stores them (sorted), and a diffuse layer.
    const std::vector<std::string> names = {"A", "B",         "G",         "R",
                                            "Z", "diffuse.B", "diffuse.G", "diffuse.R"};
    Write(
        "deep.exr", 8, 4, int(names.size()), TypeDesc::FLOAT,
        [](int x, int y, int c) { return 0.01 * x + 0.1 * y + c; },
        [&](ImageSpec& s) {
            s.channelnames = names;
            s.alpha_channel = 0;
        });
    const Picture in = Read("deep.exr");
    const auto channel = [](const Picture& p, const std::string& name) {
        for (int c = 0; c < p.spec.nchannels; ++c)
            if (p.spec.channel_name(c) == name) return c;
        return -1;
    };
    // Red moves 2 pixels right; the tool sees R, G, B, A found by name; Z and the layer
    // keep their values.
    Result r = Run(
        {"render", "ChannelShift", "-i", "deep.exr", "-s", "Center Red=0.75,0.5", "-o", "out.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    Picture out = Read("out.exr");
    ASSERT_EQ(out.spec.nchannels, int(names.size()));
    for (const std::string& name : names) {
        const int a = channel(in, name), b = channel(out, name);
        ASSERT_GE(b, 0) << name;
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 8; ++x) {
                const double expected = name != "R" ? in.At(x, y, a)
                                        : x < 2     ? 0.0
                                                    : in.At(x - 2, y, a);
                ASSERT_EQ(out.At(x, y, b), expected) << name << " " << x << "," << y;
            }
    }
    // --layer diffuse: only the diffuse layer's red moves.
    r = Run({"render", "ChannelShift", "-i", "deep.exr", "--layer", "diffuse", "-s",
             "Center Red=0.75,0.5", "-o", "layer.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    out = Read("layer.exr");
    for (const std::string& name : names) {
        const int a = channel(in, name), b = channel(out, name);
        ASSERT_GE(b, 0) << name;
        for (int x = 0; x < 8; ++x) {
            const double expected = name != "diffuse.R" ? in.At(x, 1, a)
                                    : x < 2             ? 0.0
                                                        : in.At(x - 2, 1, a);
            EXPECT_EQ(out.At(x, 1, b), expected) << name << " " << x;
        }
    }
    EXPECT_EQ(channel(out, "diffuse.A"), -1); // no alpha in the layer, none made
    r = Run({"render", "ChannelShift", "-i", "deep.exr", "--layer", "spec", "-o", "x.exr"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("no layer \"spec\""), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("its layers: diffuse"), std::string::npos) << r.err;
    // A tool that changes the size drops them, and says which.
    r = Run({"render", "LineDrop", "-i", "deep.exr", "-o", "small.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("its other channels (Z, diffuse.R, diffuse.G, diffuse.B) are dropped"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Read("small.exr").spec.nchannels, 4);
}

TEST_F(Cli, TheOtherPartsOfAMultiPartFileAreCopiedThrough) {
    // Part 0 "beauty", float RGBA; part 1 "mattes", half, smaller, its own channels.
    ImageSpec beauty(8, 4, 4, TypeDesc::FLOAT), mattes(6, 3, 2, TypeDesc::HALF);
    beauty.attribute("name", "beauty");
    mattes.attribute("name", "mattes");
    mattes.channelnames = {"hero", "rock"};
    mattes.full_width = 8, mattes.full_height = 4; // the parts share their display window
    const std::vector<ImageSpec> specs{beauty, mattes};
    std::vector<float> b(8 * 4 * 4), m(6 * 3 * 2);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = float(i) / 128.0f;
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = 0.25f + float(i) / 64.0f;
    {
        auto out = OIIO::ImageOutput::create(P("parts.exr"));
        ASSERT_TRUE(out && out->open(P("parts.exr"), 2, specs.data())) << out->geterror();
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, b.data()));
        ASSERT_TRUE(out->open(P("parts.exr"), mattes, OIIO::ImageOutput::AppendSubimage));
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, m.data()));
        ASSERT_TRUE(out->close());
    }
    // The pixels of one part as the file stores them.
    const auto part = [&](const std::string& name, int k) {
        auto in = OIIO::ImageInput::open(P(name));
        EXPECT_TRUE(in && in->seek_subimage(k, 0)) << name << " " << k;
        std::vector<unsigned char> px(in ? in->spec().image_bytes(true) : 0);
        if (in) {
            EXPECT_TRUE(
                in->read_image(k, 0, 0, in->spec().nchannels, TypeDesc::UNKNOWN, px.data()));
        }
        return std::pair{in ? in->spec() : ImageSpec(), px};
    };
    Result r = Run({"render", "ChannelShift", "-i", "parts.exr", "-s", "Center Red=0.75,0.5", "-o",
                    "out.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    const auto [inSpec, inPx] = part("parts.exr", 1);
    const auto [outSpec, outPx] = part("out.exr", 1);
    EXPECT_EQ(outSpec.get_string_attribute("name"), "mattes");
    EXPECT_EQ(outSpec.channelnames, inSpec.channelnames);
    EXPECT_EQ(outSpec.format, TypeDesc::HALF);
    EXPECT_EQ(outPx, inPx);                                                // byte for byte
    EXPECT_EQ(Read("out.exr").At(3, 1, 0), Read("parts.exr").At(1, 1, 0)); // part 0 rendered
    // --part mattes renders that one and copies the beauty.
    r = Run({"render", "RangeMap", "-i", "parts.exr", "--part", "mattes", "-o", "m.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(part("m.exr", 0).second, part("parts.exr", 0).second);
    EXPECT_EQ(part("m.exr", 1).first.get_string_attribute("name"), "mattes");
    EXPECT_EQ(part("m.exr", 1).first.width, 8); // rendered in the display window
    // Into a format without parts, the note says what is left out.
    r = Run({"render", "RangeMap", "-i", "parts.exr", "-d", "float", "-o", "one.tif"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("has 2 parts; only part 0 is written"), std::string::npos) << r.err;
    EXPECT_EQ(Run({"render", "RangeMap", "-i", "parts.exr", "--part", "7", "-o", "x.exr"}).code, 1);
}

TEST_F(Cli, OtherChannelsGoIntoTiffInTheOutputsType) {
    // TIFF stores one channel type for all: a half Z beside -d uint16 was refused.
    Write(
        "z.exr", 4, 2, 5, TypeDesc::HALF, [](int x, int, int c) { return 0.125 * x + 0.25 * c; },
        [](ImageSpec& s) {
            s.channelnames = {"R", "G", "B", "A", "Z"};
        });
    const Result r = Run({"render", "RangeMap", "-i", "z.exr", "-d", "uint16", "-o", "z.tif"});
    ASSERT_EQ(r.code, 0) << r.err;
    const ImageSpec s = Read("z.tif").spec;
    EXPECT_EQ(s.nchannels, 5);
    EXPECT_EQ(s.format, TypeDesc::UINT16);
    EXPECT_TRUE(s.channelformats.empty());
}

TEST_F(Cli, SoftwareNamesTheVersionAndHistoryRecordsTheCommand) {
    Write("in.exr", 4, 2, 4, TypeDesc::HALF, Pattern,
          [](ImageSpec& s) { s.attribute("ImageHistory", "oiiotool made it"); });
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in.exr", "-s", "Center Red=0.6,0.5",
                   "--history", "-o", "out.exr"})
                  .code,
              0);
    const ImageSpec s = Read("out.exr").spec;
    EXPECT_EQ(s.get_string_attribute("Software"), VersionLine());
    EXPECT_EQ(s.get_string_attribute("ImageHistory"),
              "oiiotool made it\nqrvx render ChannelShift -i in.exr -s 'Center Red=0.6,0.5' "
              "--history -o out.exr");
    // Without --history it is carried as it was.
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in.exr", "-o", "plain.exr"}).code, 0);
    EXPECT_EQ(Read("plain.exr").spec.get_string_attribute("ImageHistory"), "oiiotool made it");
}

// ---- Depth rules -----------------------------------------------------------------------

TEST_F(Cli, DepthRules) {
    Write("f.exr", 3, 2, 4, TypeDesc::FLOAT, [](int x, int, int c) {
        return x == 0 ? -0.5 : x == 1 ? 2.0 : 0.3 + 0.1 * c;
    });
    Write("i.png", 3, 2, 4, TypeDesc::UINT16, [](int x, int, int c) { return 1000.0 * x + c; });

    // A float image into PNG is refused, and nothing is written.
    Result r = Run({"render", "ChannelShift", "-i", "f.exr", "-o", "f.png"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("--depth int16"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(P("f.png")));
    // With --depth int16 the values are rounded and clamped to 16 bits.
    ASSERT_EQ(
        Run({"render", "ChannelShift", "-i", "f.exr", "--depth", "int16", "-o", "f.png"}).code, 0);
    Picture p = Read("f.png");
    EXPECT_EQ(p.spec.format, TypeDesc::UINT16);
    EXPECT_EQ(p.At(0, 0, 0), 0);
    EXPECT_EQ(p.At(1, 0, 0), 65535);
    EXPECT_EQ(p.At(2, 0, 1), std::round(0.4f * 65535.0f));

    // Half only when asked; float from integers divides by 65535.
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "f.exr", "--depth", "half", "-o", "h.exr"}).code,
              0);
    EXPECT_EQ(Read("h.exr").spec.format, TypeDesc::HALF);
    EXPECT_EQ(Run({"render", "ChannelShift", "-i", "f.exr", "--depth", "half", "-o", "h.png"}).code,
              2);
    ASSERT_EQ(
        Run({"render", "ChannelShift", "-i", "i.png", "--depth", "float", "-o", "fi.exr"}).code, 0);
    p = Read("fi.exr");
    EXPECT_EQ(p.spec.format, TypeDesc::FLOAT);
    EXPECT_EQ(p.At(2, 1, 3), float(2003.0 / 65535.0));
    // An integer image goes into EXR as float, keeping every 16-bit value exactly.
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "i.png", "-o", "ie.exr"}).code, 0);
    p = Read("ie.exr");
    EXPECT_EQ(p.spec.format, TypeDesc::FLOAT);
    EXPECT_EQ(std::round(p.At(2, 1, 3) * 65535.0), 2003);
}

TEST_F(Cli, WindowsPixelAspectAndMetadataAreCarried) {
    // PIZ goes through OpenImageIO; ZIP through the command's own reader and writer.
    for (const std::string compression : {"piz", "zip"}) {
        Write("in.exr", 6, 4, 4, TypeDesc::HALF, Pattern, [&](ImageSpec& s) {
            s.x = 10, s.y = 20;
            s.full_x = 0, s.full_y = 0, s.full_width = 64, s.full_height = 48;
            s.attribute("PixelAspectRatio", 2.0f);
            s.attribute("Artist", "someone");
            s.attribute("compression", compression);
        });
        const Picture in = Read("in.exr");
        // The display window is the frame: the output's data window is the whole of it,
        // the input's pixels in place and transparent black around them.
        ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in.exr", "-o", "out.exr"}).code, 0);
        const Picture out = Read("out.exr");
        const ImageSpec& s = out.spec;
        EXPECT_EQ(s.x, 0);
        EXPECT_EQ(s.y, 0);
        EXPECT_EQ(s.width, 64);
        EXPECT_EQ(s.height, 48);
        EXPECT_EQ(s.full_width, 64);
        EXPECT_EQ(s.full_height, 48);
        EXPECT_EQ(s.get_float_attribute("PixelAspectRatio"), 2.0f);
        EXPECT_EQ(s.get_string_attribute("Artist"), "someone");
        EXPECT_EQ(s.get_string_attribute("Software"), VersionLine());
        EXPECT_EQ(s.get_string_attribute("compression"), compression); // kept within one format
        int wrong = 0;
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x)
                for (int c = 0; c < 4; ++c) {
                    const bool inside = x >= 10 && x < 16 && y >= 20 && y < 24;
                    wrong += out.At(x, y, c) != (inside ? in.At(x - 10, y - 20, c) : 0.0);
                }
        EXPECT_EQ(wrong, 0) << compression;
        // --data-window: the data window is the frame, and both windows are carried.
        ASSERT_EQ(
            Run({"render", "ChannelShift", "-i", "in.exr", "--data-window", "-o", "dw.exr"}).code,
            0);
        const Picture dw = Read("dw.exr");
        EXPECT_EQ(dw.spec.x, 10);
        EXPECT_EQ(dw.spec.y, 20);
        EXPECT_EQ(dw.spec.width, 6);
        EXPECT_EQ(dw.spec.full_width, 64);
        EXPECT_EQ(dw.spec.full_height, 48);
        EXPECT_EQ(dw.px, in.px) << compression;
    }
    ASSERT_EQ(
        Run({"render", "ChannelShift", "-i", "in.exr", "--compression", "rle", "-o", "rle.exr"})
            .code,
        0);
    EXPECT_EQ(Read("rle.exr").spec.get_string_attribute("compression"), "rle");
    // Into another format, EXR's own keys stay behind but the rest comes along.
    ASSERT_EQ(
        Run({"render", "ChannelShift", "-i", "in.exr", "--depth", "int16", "-o", "out.tif"}).code,
        0);
    const ImageSpec t = Read("out.tif").spec;
    EXPECT_EQ(t.get_string_attribute("Artist"), "someone");
    EXPECT_EQ(t.get_string_attribute("openexr:lineOrder"), "");
}

// ---- Which way up --------------------------------------------------------------------
//
// Files run from the top line down; the host's rows and y run up from the bottom, as in
// compositing applications. A point's y of 0.75 is above the middle, so a shift to it
// moves a channel up the picture: in the file, towards line 0.

TEST_F(Cli, AShiftUpMovesRowsTowardsTheTopOfEveryFormatOnEveryPath) {
    // Red in 16-bit steps unique to each pixel; 64 lines, so 0.25 of the height is 16.
    const auto red = [](int x, int y, int c) { return c == 0 ? 100.0 + 1000 * y + 10 * x : 500; };
    struct Case {
        const char* in;
        TypeDesc type;
        const char* compression; // of the input; the output takes another where given
        const char* out;
        std::vector<std::string> more;
    };
    const std::vector<Case> cases = {
        {"in.png", TypeDesc::UINT16, "", "out.png", {}},
        {"in.tif", TypeDesc::UINT16, "", "out.tif", {}},
        {"inf.tif", TypeDesc::FLOAT, "", "outf.tif", {}},
        {"in.dpx", TypeDesc::UINT16, "", "out.dpx", {}},
        // The command's own EXR reader, then writer (ZIP), and OpenImageIO's for RLE.
        {"zip.exr", TypeDesc::FLOAT, "zip", "zip-rle.exr", {"--compression", "rle"}},
        {"rle.exr", TypeDesc::FLOAT, "rle", "rle-zip.exr", {"--compression", "zip"}},
        {"zip16.exr", TypeDesc::FLOAT, "zip", "zip-own.exr", {}},
    };
    for (const Case& c : cases) {
        const bool isFloat = c.type.is_floating_point();
        Write(
            c.in, 32, 64, 4, c.type,
            [&](int x, int y, int ch) { return red(x, y, ch) / (isFloat ? 65535.0 : 1.0); },
            [&](ImageSpec& s) {
                if (*c.compression) s.attribute("compression", c.compression);
            });
        std::vector<std::string> args = {"render", "ChannelShift",        "-i", c.in,
                                         "-s",     "Center Red=0.5,0.75", "-o", c.out};
        args.insert(args.end(), c.more.begin(), c.more.end());
        const Result r = Run(args);
        ASSERT_EQ(r.code, 0) << r.err;
        const Picture in = Read(c.in), out = Read(c.out);
        ASSERT_EQ(out.spec.height, 64) << c.out;
        int wrong = 0;
        for (int y = 0; y + 16 < 64; ++y)
            for (int x = 0; x < 32; ++x) {
                wrong += out.At(x, y, 0) != in.At(x, y + 16, 0);
                wrong += out.At(x, y, 1) != in.At(x, y, 1); // green stays
            }
        EXPECT_EQ(wrong, 0) << c.in << " -> " << c.out;
        // A plain render keeps every line where it was.
        ASSERT_EQ(Run({"render", "RangeMap", "-i", c.in, "-o", c.out}).code, 0);
        EXPECT_EQ(Read(c.out).px, in.px) << c.in << " -> " << c.out;
    }
}

TEST_F(Cli, AShiftByATenthOfTheHeightLeavesNoEmptyRow) {
    // 360 x (0.6 - 0.5) is 35.99999999999999 in doubles: every row moves by 36 all the same.
    for (const char* name : {"ramp.png", "ramp.exr"})
        for (int height : {360, 1080}) {
            const bool isFloat = std::string(name).ends_with(".exr");
            Write(name, 4, height, 4, isFloat ? TypeDesc::FLOAT : TypeDesc::UINT16,
                  [&](int, int y, int c) {
                      return c == 3 ? (isFloat ? 1.0 : 65535.0) : (isFloat ? 0.5 : 30000.0) + y;
                  });
            const std::string out = std::string("shifted-") + name;
            ASSERT_EQ(
                Run({"render", "ChannelShift", "-i", name, "-s", "Center Red=0.5,0.6", "-o", out})
                    .code,
                0);
            const Picture in = Read(name), shifted = Read(out);
            const int dy = height / 10;
            int wrong = 0;
            for (int y = 0; y < height; ++y)
                wrong += shifted.At(0, y, 0) != (y + dy < height ? in.At(0, y + dy, 0) : 0.0);
            EXPECT_EQ(wrong, 0) << name << " " << height;
        }
}

TEST_F(Cli, ScopeTraceDrawsBlackOnTheBottomLineAndStacksTheParadeUpwards) {
    Write("black.png", 40, 30, 4, TypeDesc::UINT16,
          [](int, int, int c) { return c == 3 ? 65535.0 : 0.0; });
    // The lit lines of each colour channel, from the top line down.
    const auto lit = [&](const std::string& type) {
        EXPECT_EQ(Run({"render", "ScopeTrace", "-i", "black.png", "-s", "Type=" + type, "-o",
                       "scope.png"})
                      .code,
                  0);
        const Picture out = Read("scope.png");
        std::array<std::vector<int>, 3> lines;
        for (int c = 0; c < 3; ++c)
            for (int y = 0; y < 30; ++y) {
                int n = 0;
                for (int x = 0; x < 40; ++x) n += out.At(x, y, c) > 0;
                if (n > 0) lines[std::size_t(c)].push_back(n == 40 ? y : -y);
            }
        return lines;
    };
    // Luminance: value 0 lands on the last line, across the width, and nothing else.
    const std::array<std::vector<int>, 3> bottom{{{29}, {29}, {29}}};
    EXPECT_EQ(lit("Luminance"), bottom);
    // The parade: red in the bottom third, green above it, blue at the top (0.34 and 0.68
    // of 30 lines up: lines 19 and 9).
    const std::array<std::vector<int>, 3> parade{{{29}, {19}, {9}}};
    EXPECT_EQ(lit("RGBA(parade)"), parade);
}

TEST_F(Cli, TheDisplayWindowIsTheFrameOfPointsAndTheOutput) {
    // A 100 x 50 data window at +20+10 of a 200 x 100 display window; red in steps by column.
    Write(
        "dw.exr", 100, 50, 4, TypeDesc::FLOAT,
        [](int x, int, int c) { return c == 0   ? (x + 1) / 128.0
                                       : c == 3 ? 1
                                                : 0.25; },
        [](ImageSpec& s) {
            s.x = 20, s.y = 10;
            s.full_x = 0, s.full_y = 0, s.full_width = 200, s.full_height = 100;
        });
    // 0.55 of the frame's width is 10 pixels of 200 (not 5 of the data window's 100).
    Result r = Run(
        {"render", "ChannelShift", "-i", "dw.exr", "-s", "Center Red=0.55,0.5", "-o", "out.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.find("outside"), std::string::npos) << r.err;
    const Picture in = Read("dw.exr"), out = Read("out.exr");
    EXPECT_EQ(out.spec.x, 0);
    EXPECT_EQ(out.spec.width, 200);
    EXPECT_EQ(out.spec.height, 100);
    int wrong = 0;
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 200; ++x) {
            const bool rows = y >= 10 && y < 60;
            const auto inside = [&](int at) { return rows && at >= 20 && at < 120; };
            const double redIn = inside(x - 10) ? in.At(x - 30, y - 10, 0) : 0.0;
            const double greenIn = inside(x) ? in.At(x - 20, y - 10, 1) : 0.0;
            wrong += out.At(x, y, 0) != redIn;   // red drawn beyond the data window too
            wrong += out.At(x, y, 1) != greenIn; // transparent black around it
        }
    EXPECT_EQ(wrong, 0);

    // Overscan: a data window reaching past the frame loses what is outside, said once.
    Write("over.exr", 30, 20, 4, TypeDesc::FLOAT, Pattern, [](ImageSpec& s) {
        s.x = -5, s.y = 0;
        s.full_x = 0, s.full_y = 0, s.full_width = 40, s.full_height = 10;
    });
    r = Run({"render", "RangeMap", "-i", "over.exr", "-o", "o.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("qrvx: note: over.exr: 350 pixels of the data window lie outside"),
              std::string::npos)
        << r.err;
    const Picture over = Read("over.exr"), o = Read("o.exr");
    EXPECT_EQ(o.spec.width, 40);
    EXPECT_EQ(o.spec.height, 10);
    EXPECT_EQ(o.At(0, 3, 2), over.At(5, 3, 2));
    EXPECT_EQ(o.At(24, 9, 1), over.At(29, 9, 1));
    EXPECT_EQ(o.At(25, 9, 1), 0.0);
    // --data-window keeps every pixel, and is silent.
    r = Run({"render", "RangeMap", "-i", "over.exr", "--data-window", "-o", "o.exr"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Read("o.exr").px, over.px);
}

TEST_F(Cli, OutputMayReplaceItsInput) {
    Write("a.exr", 8, 2, 4, TypeDesc::FLOAT, Pattern);
    const Picture before = Read("a.exr");
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "a.exr", "-s", "Center Green=0.625,0.5", "-o",
                   "a.exr"})
                  .code,
              0);
    const Picture after = Read("a.exr");
    EXPECT_EQ(after.At(5, 1, 1), before.At(4, 1, 1));
    EXPECT_EQ(after.At(0, 1, 1), 0.0);
    EXPECT_EQ(Leftovers(), 0);
}

TEST_F(Cli, TestCardStandsInForAnUnconnectedInput) {
    Result r = Run({"render", "ChannelShift", "-o", "card.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("test card"), std::string::npos);
    EXPECT_EQ(r.out, "");
    const Picture card = Read("card.png");
    EXPECT_EQ(card.spec.width, 960);
    EXPECT_EQ(card.spec.height, 540);
    EXPECT_EQ(card.At(10, 10, 0), 65535);   // white bar
    EXPECT_EQ(card.At(0, 539, 3), 0);       // the alpha ramp starts at 0 ...
    EXPECT_EQ(card.At(959, 539, 3), 65535); // ... and ends full
    // -q prints errors only; --progress prints a line even without a terminal.
    r = Run({"render", "ChannelShift", "-q", "-o", "card.png"});
    EXPECT_EQ(r.err, "");
    r = Run({"render", "ChannelShift", "-q", "--progress", "-o", "card.png"});
    EXPECT_EQ(r.err, "");
    r = Run({"render", "ChannelShift", "--progress", "-o", "card.exr", "--depth", "float"});
    EXPECT_NE(r.err.find("card.exr"), std::string::npos);
    EXPECT_EQ(Read("card.exr").spec.format, TypeDesc::FLOAT);
}

// ---- Sequences ---------------------------------------------------------------------

TEST_F(Cli, SequenceWithAGapRendersTheFramesOnDisk) {
    for (int f : {1, 2, 4})
        Write("in." + std::string(f < 10 ? "000" : "00") + std::to_string(f) + ".exr", 5, 3, 4,
              TypeDesc::FLOAT, [f](int x, int y, int c) { return f + Pattern(x, y, c); });
    Result r = Run({"render", "ChannelShift", "-i", "in.#.exr", "-o", "out.@@@.exr", "--progress"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (int f : {1, 2, 4}) {
        const Picture in = Read("in.000" + std::to_string(f) + ".exr"),
                      out = Read("out.00" + std::to_string(f) + ".exr");
        EXPECT_EQ(out.px, in.px) << f;
        EXPECT_NE(r.err.find("frame " + std::to_string(f)), std::string::npos);
    }
    EXPECT_FALSE(fs::exists(P("out.003.exr")));

    // Asking for the missing frame names it and writes nothing.
    r = Run({"render", "ChannelShift", "-i", "in.%04d.exr", "--frames", "1-4", "-o", "new.#.exr"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("in.0003.exr"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(P("new.0001.exr")));

    // Steps, and a pattern that matches nothing.
    ASSERT_EQ(
        Run({"render", "ChannelShift", "-i", "in.#.exr", "--frames", "1-4x3", "-o", "step.#.exr"})
            .code,
        0);
    EXPECT_TRUE(fs::exists(P("step.0001.exr")) && fs::exists(P("step.0004.exr")));
    EXPECT_FALSE(fs::exists(P("step.0002.exr")));
    r = Run({"render", "ChannelShift", "-i", "none.#.exr", "-o", "x.#.exr"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("none.#.exr"), std::string::npos);
    // A sequence into a single file is a usage error.
    EXPECT_EQ(Run({"render", "ChannelShift", "-i", "in.#.exr", "-o", "single.exr"}).code, 2);
}

// Patterns as artists, printf and Houdini write them: "####" and "$F4" read and write four
// digits, "##" two, and a pattern that finds nothing names the padding it looked for.
TEST_F(Cli, EveryPatternFormReadsAndWritesItsDigits) {
    for (int f : {1001, 1002})
        Write("in." + std::to_string(f) + ".exr", 3, 2, 4, TypeDesc::FLOAT,
              [f](int x, int y, int c) { return f + Pattern(x, y, c); });
    Result r = Run({"render", "ChannelShift", "-q", "-i", "in.####.exr", "-o", "a.$F4.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = Run({"render", "ChannelShift", "-q", "-i", "a.$F4.exr", "-o", "b.####.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    r = Run(
        {"render", "ChannelShift", "-q", "-i", "b.%04d.exr", "--frames", "1002", "-o", "c.##.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (int f : {1001, 1002}) {
        const std::string n = std::to_string(f) + ".exr";
        EXPECT_EQ(Read("b." + n).px, Read("in." + n).px) << f;
    }
    EXPECT_EQ(Read("c.1002.exr").px, Read("in.1002.exr").px);
    EXPECT_FALSE(fs::exists(P("c.1001.exr")));
    ASSERT_EQ(Run({"render", "ChannelShift", "-q", "--frames", "7", "-o", "d.##.png"}).code, 0);
    EXPECT_TRUE(fs::exists(P("d.07.png")));

    r = Run({"render", "ChannelShift", "-i", "in.#####.exr", "-o", "x.####.exr"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("in.#####.exr matches no files: it looks for 5-digit frame numbers"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("in.1001.exr has 4 digits, which in.####.exr reads"), std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
}

TEST_F(Cli, OutputIsByteIdenticalForAnyThreadCountAndChunking) {
    for (int f = 1; f <= 4; ++f)
        Write("in.000" + std::to_string(f) + ".exr", 33, 17, 4, TypeDesc::FLOAT,
              [f](int x, int y, int c) { return Pattern(x * f, y, c); });
    const std::vector<std::string> base = {"render",   "ChannelShift", "-i",
                                           "in.#.exr", "-s",           "Center Blue=0.37,0.61"};
    auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> a = base;
        a.insert(a.end(), extra.begin(), extra.end());
        return Run(a).code;
    };
    ASSERT_EQ(with({"--threads", "1", "-o", "one.#.exr"}), 0);
    ASSERT_EQ(with({"--threads", "2", "-o", "two.#.exr"}), 0);
    ASSERT_EQ(with({"--frames", "1-2", "--threads", "3", "-o", "part.#.exr"}), 0);
    ASSERT_EQ(with({"--frames", "3-4", "--threads", "3", "-o", "part.#.exr"}), 0);
    for (int f = 1; f <= 4; ++f) {
        const std::string n = ".000" + std::to_string(f) + ".exr";
        EXPECT_EQ(Slurp(P("one" + n)), Slurp(P("two" + n))) << f;
        EXPECT_EQ(Slurp(P("one" + n)), Slurp(P("part" + n))) << f;
    }
}

// ---- Settings files --------------------------------------------------------------------

TEST_F(Cli, SavedSettingsReproduceTheRender) {
    Write("in.png", 20, 6, 4, TypeDesc::UINT16,
          [](int x, int y, int c) { return std::round(Pattern(x, y, c) * 65535); });
    Result r =
        Run({"render", "ChannelShift", "-i", "in.png", "-s", "Center Red=0.61,0.43", "-s",
             "Green=0", "-s", "Center Alpha=0.3,0.7", "-o", "a.png", "--save-settings", "s.json"});
    ASSERT_EQ(r.code, 0) << r.err;
    const Json saved = Json::parse(Slurp(P("s.json")));
    EXPECT_EQ(saved["tool"], "Quorvane.QRVX_ChannelShift");
    EXPECT_EQ(saved["controls"]["Center Red"], Json::array({0.61, 0.43}));
    ASSERT_EQ(
        Run({"render", "ChannelShift", "-i", "in.png", "--settings", "s.json", "-o", "b.png"}).code,
        0);
    EXPECT_EQ(Slurp(P("a.png")), Slurp(P("b.png")));
    // -s after the file wins.
    ASSERT_EQ(Run({"render", "ChannelShift", "-i", "in.png", "--settings", "s.json", "-s",
                   "Green=1", "--save-settings", "t.json"})
                  .code,
              0);
    EXPECT_EQ(Json::parse(Slurp(P("t.json")))["controls"]["Green"], 1.0);
}

TEST_F(Cli, EveryToolLoadsBackItsOwnSavedSettings) {
    for (const Json& t : Tools()) {
        const std::string name = t["name"];
        Result r = Run({"render", name, "--save-settings", "a.json"});
        ASSERT_EQ(r.code, 0) << name << ": " << r.err;
        r = Run({"render", name, "--settings", "a.json", "--save-settings", "b.json"});
        ASSERT_EQ(r.code, 0) << name << ": " << r.err;
        EXPECT_EQ(Slurp(P("a.json")), Slurp(P("b.json"))) << name;
    }
}

// ---- Errors ----------------------------------------------------------------------------

TEST_F(Cli, EveryErrorIsOneLineAndLeavesTheOutputAlone) {
    Write("in.png", 4, 4, 4, TypeDesc::UINT16, [](int, int, int) { return 1000.0; });
    Write("keep.png", 2, 2, 4, TypeDesc::UINT16, [](int, int, int) { return 7.0; });
    Write("f.exr", 4, 4, 4, TypeDesc::FLOAT, Pattern);
    std::ofstream(P("garbage.png")) << "not an image";
    std::ofstream(P("bad.json")) << "{ not json";
    std::ofstream(P("other.json")) << R"({"tool": "Quorvane.QRVX_Nothing", "controls": {}})";
    std::ofstream(P("badvalue.json")) << R"({"controls": {"Center Red": 3}})";
    // A valid header promising 100000 x 100000 pixels: more than the host makes.
    std::ofstream(P("huge.ppm")) << "P6\n100000 100000\n255\n";
    const std::string keep = Slurp(P("keep.png"));

    struct Case {
        std::vector<std::string> args;
        int code;
        std::string culprit;
    };
    const std::vector<Case> cases = {
        {{"render", "NoSuchTool", "-i", "in.png"}, 2, "NoSuchTool"},
        {{"render", "ChannelShift", "-i", "in.png", "-s", "Nope=1"}, 2, "Nope"},
        {{"render", "ChannelShift", "-i", "in.png", "-s", "Red=abc"}, 2, "abc"},
        {{"render", "ChannelShift", "-i", "in.png", "-s", "Red"}, 2, "Red"},
        {{"render", "ChannelShift", "-i", "in.png", "-s", "Center Red=0.5"}, 2, "Center Red"},
        {{"render", "ChannelShift", "-i", "in.png", "-s", "Red=nan"}, 2, "nan"},
        {{"render", "ChannelShift", "-i", "Other=in.png"}, 2, "Other"},
        {{"render", "ChannelShift", "-i", "Red=in.png"}, 2, "Red"},
        {{"render", "ChannelShift", "-i", "in.png", "--depth", "deep"}, 2, "deep"},
        {{"render", "ChannelShift", "-i", "in.png", "--frames", "1-x"}, 2, "1-x"},
        {{"render", "ChannelShift", "-i", "in.png", "--time", "1", "--frames", "1-2"}, 2, "--time"},
        {{"render", "ChannelShift", "-i", "f.exr"}, 2, "--depth int16"},
        {{"render", "ChannelShift", "-i", "in.png", "--settings", "bad.json"}, 2, "bad.json"},
        {{"render", "ChannelShift", "-i", "in.png", "--settings", "other.json"}, 2, "other.json"},
        {{"render", "ChannelShift", "-i", "in.png", "--settings", "badvalue.json"},
         2,
         "Center Red"},
        {{"render", "ChannelShift", "-i", "in.png", "--settings", "missing.json"},
         1,
         "missing.json"},
        {{"render", "ChannelShift", "-i", "missing.png"}, 1, "missing.png"},
        {{"render", "ChannelShift", "-i", "garbage.png"}, 1, "garbage.png"},
        {{"render", "ChannelShift", "-i", "huge.ppm"}, 1, "huge.ppm"},
        {{"render", "ChannelShift", "-i", "in.png", "--bogus"}, 2, "--bogus"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-o", "keep.png"});
        const Result r = Run(args);
        const std::string what = c.args[c.args.size() - 1];
        EXPECT_EQ(r.code, c.code) << what << ": " << r.err;
        EXPECT_EQ(r.err.rfind("qrvx: error: ", 0), 0u) << what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
        EXPECT_NE(r.err.find(c.culprit), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(Slurp(P("keep.png")), keep) << what;
    }
    // A truncated ZIP plate, which the command's own reader takes: a failure naming it.
    Write("plate.exr", 64, 64, 4, TypeDesc::FLOAT, Pattern);
    const std::string plate = Slurp(P("plate.exr"));
    std::ofstream(P("cut.exr"), std::ios::binary) << plate.substr(0, plate.size() - 100);
    Write("keep.exr", 2, 2, 4, TypeDesc::FLOAT, Pattern);
    const std::string keepExr = Slurp(P("keep.exr"));
    Result r = Run({"render", "ChannelShift", "-i", "cut.exr", "-o", "keep.exr"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("cut.exr"), std::string::npos) << r.err;
    EXPECT_EQ(Slurp(P("keep.exr")), keepExr);
    // Outputs that cannot be written: the error names them and nothing appears.
    r = Run({"render", "ChannelShift", "-i", "in.png", "-o", "no/such/folder/out.png"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("no/such/folder"), std::string::npos);
    r = Run({"render", "ChannelShift", "-i", "in.png", "-o", "out.unknownformat"});
    EXPECT_EQ(r.code, 2);
    EXPECT_FALSE(fs::exists(P("out.unknownformat")));
    fs::create_directory(P("adir.png"));
    r = Run({"render", "ChannelShift", "-i", "in.png", "-o", "adir.png"});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(fs::is_directory(P("adir.png")));
    EXPECT_EQ(Leftovers(), 0);
}

// A tool whose required image input other than "Input" is not given refuses to render;
// given, it renders over the test card.
TEST_F(Cli, BrickworkNeedsItsFirstTile) {
    Result r = Run({"render", "Brickwork", "-o", "wall.png"});
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(r.err.rfind("qrvx: error: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("\"Tile 1 (required)\""), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(P("wall.png")));
    EXPECT_EQ(Leftovers(), 0);

    Write("tile.png", 24, 12, 4, TypeDesc::UINT16,
          [](int x, int y, int c) { return c == 3 ? 65535.0 : 1000.0 * (x + y); });
    r = Run({"render", "Brickwork", "-q", "-i", "Tile 1 (required)=tile.png", "-s",
             "xOffset Line B=0", "-o", "wall.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    const Picture wall = Read("wall.png");
    ASSERT_EQ(wall.spec.width, 960);
    EXPECT_EQ(wall.At(24 * 3 + 5, 12 * 7 + 2, 0), 7000.0);
}

TEST_F(Cli, RequiredSecondImageMustBeGiven) {
    Write("in.png", 8, 6, 4, TypeDesc::UINT16, [](int, int, int) { return 1000.0; });
    Result r = Run({"render", "Throng", "-i", "in.png", "-o", "out.png"});
    EXPECT_EQ(r.code, 2) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("\"Throng\""), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(P("out.png")));
    EXPECT_EQ(Leftovers(), 0);

    // Given, with a figure: the figure lands centred on the marker dot.
    Write("marker.png", 8, 6, 4, TypeDesc::UINT16, [](int x, int y, int c) {
        return x == 4 && y == 3 && (c == 0 || c == 3) ? 65535.0 : 0.0;
    });
    Write("folk.png", 3, 3, 4, TypeDesc::UINT16, [](int, int, int) { return 65535.0; });
    r = Run({"render", "Throng", "-i", "in.png", "-i", "Throng=marker.png", "-i", "Folk 1=folk.png",
             "-s", "1Red=1", "-s", "1Alpha=1", "-o", "out.png"});
    ASSERT_EQ(r.code, 0) << r.err;
    const Picture out = Read("out.png");
    EXPECT_EQ(out.At(3, 2, 3), 65535.0);
    EXPECT_EQ(out.At(5, 4, 0), 65535.0);
    EXPECT_EQ(out.At(2, 2, 3), 0.0);
    EXPECT_EQ(out.At(6, 4, 3), 0.0);
}

// ---- Hostile input ---------------------------------------------------------------------

// Each of these once hung, took seconds, or rendered with exit 0.
TEST_F(Cli, AbsurdInputIsRefusedAtOnceInOneLine) {
    fs::create_directory(P("seq"));
    for (int f = 1; f <= 5; ++f)
        Write("seq/in.000" + std::to_string(f) + ".exr", 2, 2, 4, TypeDesc::FLOAT, Pattern);
    fs::create_directory(P("dir.json"));
    std::string unknown = R"({"controls": {)";
    for (int i = 0; i < 100000; ++i) unknown += (i ? ", \"k" : "\"k") + std::to_string(i) + "\": 1";
    std::ofstream(P("unknown.json")) << unknown << "}}";
    const std::string huge(100000, '9');

    struct Case {
        std::vector<std::string> args;
        std::string culprit;
    };
    const std::vector<Case> cases = {
        {{"--frames", "1-99999999999"}, "99999999999"},
        {{"--frames", "1-100000000"}, "1000000 frames"},
        {{"--frames", "1-5x0"}, "step"},
        {{"--settings", "dir.json"}, "dir.json is a folder"},
        {{"--settings", "unknown.json"}, "no control \"k0\""},
        {{"-s", "Red=" + huge}, std::string(80, '9') + "..."},
        {{"-s", "Center Red=1e308,1e308"}, "too far outside"},
        {{"--threads", "abc"}, "--threads \"abc\""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render",       "ChannelShift", "-i",
                                         "seq/in.#.exr", "-o",           "out.#.exr"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Run(args);
        const std::string what = c.args.back().substr(0, 40);
        EXPECT_EQ(r.code, 2) << what << ": " << r.err;
        EXPECT_EQ(r.err.rfind("qrvx: error: ", 0), 0u) << what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
        EXPECT_NE(r.err.find(c.culprit), std::string::npos) << what << ": " << r.err.substr(0, 300);
        EXPECT_LT(r.err.size(), 300u) << what;
    }
    EXPECT_EQ(Run({"render", "RangeMap", "-s", "R1Output Region End=1e308", "-o", "out.exr"}).code,
              2);
    EXPECT_FALSE(fs::exists(P("out.0001.exr")) || fs::exists(P("out.exr")));
    // Output patterns the name formatter cannot take (the first once aborted the process,
    // the second made a name of 100 million digits).
    for (const char* out : {"out.%0m@.exr", "out.%099999999d.exr", "out.#.%d.exr"}) {
        const Result r = Run({"render", "ChannelShift", "-i", "seq/in.#.exr", "-o", out});
        EXPECT_EQ(r.code, 2) << out << ": " << r.err.substr(0, 300);
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << out;
        EXPECT_NE(r.err.find("not a usable frame pattern"), std::string::npos) << out;
    }
}

TEST_F(Cli, FramesRenderInTheOrderWritten) {
    for (int f = 1; f <= 3; ++f)
        Write("in.000" + std::to_string(f) + ".exr", 2, 2, 4, TypeDesc::FLOAT, Pattern);
    const Result r = Run({"render", "ChannelShift", "-i", "in.#.exr", "--frames", "3-1",
                          "--progress", "-o", "out.#.exr"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_LT(r.err.find("frame 3"), r.err.find("frame 2"));
    EXPECT_LT(r.err.find("frame 2"), r.err.find("frame 1"));
    EXPECT_NE(Run({"render", "--help"}).out.find("counting down"), std::string::npos);
}

TEST_F(Cli, ThreadsBeyondTheCoresAreHeldQuietly) {
    for (const char* threads : {"1000", "99999999999"}) {
        const Result r =
            Run({"render", "ChannelShift", "-q", "--threads", threads, "-o", "out.png"});
        EXPECT_EQ(r.code, 0) << threads << ": " << r.err;
        EXPECT_EQ(r.err, "") << threads;
    }
}

TEST_F(Cli, AFolderAsOutputIsCalledAFolder) {
    for (const char* folder : {"outdir", "d.exr"}) {
        fs::create_directory(P(folder));
        const Result r = Run({"render", "ChannelShift", "-o", folder});
        EXPECT_EQ(r.code, 1) << folder;
        EXPECT_NE(r.err.find(std::string(folder) + ": it is a folder"), std::string::npos) << r.err;
    }
}

TEST_F(Cli, ASymlinkedOutputIsReplacedAndItsTargetKept) {
    Write("target.png", 2, 2, 4, TypeDesc::UINT16, [](int, int, int) { return 7.0; });
    const std::string target = Slurp(P("target.png"));
    fs::create_symlink("target.png", P("link.png"));
    ASSERT_EQ(Run({"render", "ChannelShift", "-q", "-o", "link.png"}).code, 0);
    EXPECT_FALSE(fs::is_symlink(P("link.png")));
    EXPECT_EQ(Read("link.png").spec.width, 960); // the test card
    EXPECT_EQ(Slurp(P("target.png")), target);
    EXPECT_NE(Run({"render", "--help"}).out.find("symbolic link"), std::string::npos);
}

// SIGINT ends the command at once in the middle of a long frame (Throng laying a figure
// on every pixel), after --progress has shown the frame's bands, and leaves no output.
TEST_F(Cli, CtrlCEndsALongFramePromptlyAfterItsProgress) {
    Write("in.png", 640, 360, 4, TypeDesc::UINT16, [](int, int, int) { return 65535.0; });
    Write("folk.png", 160, 160, 4, TypeDesc::UINT16, [](int, int, int) { return 30000.0; });
    const std::string log = P("progress.txt");
    const pid_t pid = fork();
    if (pid == 0) {
        std::signal(SIGINT, SIG_DFL);
        if (chdir(m_dir.c_str()) == 0 && freopen("/dev/null", "w", stdout) &&
            freopen(log.c_str(), "w", stderr))
            execl(QRVX_BIN, QRVX_BIN, "render", "Throng", "--progress", "-i", "in.png", "-i",
                  "Throng=in.png", "-i", "Folk 1=folk.png", "-s", "1Red=1", "-s", "1Green=1", "-s",
                  "1Blue=1", "-s", "1Alpha=1", "--threads", "1", "-o", "out.png", nullptr);
        _exit(127);
    }
    // Within 60 s the frame's progress shows bands done.
    bool shown = false;
    for (int i = 0; i < 600 && !shown; ++i, usleep(100000))
        shown = Slurp(log).find(" bands") != std::string::npos;
    EXPECT_TRUE(shown) << Slurp(log);
    const auto sent = std::chrono::steady_clock::now();
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
    EXPECT_LT(seconds, 2.0);
    EXPECT_FALSE(fs::exists(P("out.png")));
    EXPECT_EQ(Leftovers(), 0);
}

// Paths that are not regular files would block (a FIFO) or never end (a device) inside a
// reader; they are refused at once in one line, and an output's existing FIFO is left be.
TEST_F(Cli, PathsThatAreNotRegularFilesAreRefusedAtOnce) {
    ASSERT_EQ(mkfifo(P("pipe.png").c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(P("pipe.json").c_str(), 0600), 0);
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string culprit;
    };
    const std::vector<Case> cases = {
        {{"-i", "pipe.png", "-o", "out.png"}, 1, "pipe.png: it is a FIFO, not a regular file"},
        {{"-i", "/dev/zero", "-o", "out.png"}, 1, "/dev/zero: it is a device, not a regular file"},
        {{"--settings", "pipe.json", "-o", "out.png"}, 2, "pipe.json is not a regular file"},
        {{"--settings", "/dev/zero", "-o", "out.png"}, 2, "/dev/zero is not a regular file"},
        {{"--settings", "/dev/urandom", "-o", "out.png"}, 2, "/dev/urandom is not a regular file"},
        {{"-o", "pipe.png"}, 1, "pipe.png: it is not a regular file"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"render", "ChannelShift"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Run(args, "timeout 20");
        EXPECT_EQ(r.code, c.code) << c.culprit << ": " << r.err;
        EXPECT_NE(r.err.find(c.culprit), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_TRUE(fs::is_fifo(P("pipe.png")));
    EXPECT_FALSE(fs::exists(P("out.png")));
    // A settings file past the cap (sparse: no disk is used), or with a NUL byte in it
    // (the JSON reader would take the text before it as the whole file).
    { std::ofstream(P("big.json")) << "{}"; }
    fs::resize_file(P("big.json"), (std::uintmax_t(16) << 20) + 1);
    std::ofstream(P("nul.json"), std::ios::binary)
        << std::string(R"({"controls": {"Red": 0}})") + '\0' + R"(, "Red": 1}})";
    for (const auto& [file, culprit] :
         {std::pair<std::string, std::string>{"big.json", "larger than 16 MiB"},
          {"nul.json", "NUL byte at offset 24"}}) {
        const Result r = Run({"render", "ChannelShift", "--settings", file, "-o", "out.png"});
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_NE(r.err.find(culprit), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(P("out.png")));
}

// --save-settings naming the output or an input would replace the render or the plate
// with JSON: a usage error before anything is read or written.
TEST_F(Cli, SaveSettingsMayNameNeitherTheOutputNorAnInput) {
    Write("in.png", 4, 4, 4, TypeDesc::UINT16, [](int, int, int) { return 1000.0; });
    Write("in.0002.png", 4, 4, 4, TypeDesc::UINT16, [](int, int, int) { return 1000.0; });
    const std::string plate = Slurp(P("in.png"));
    fs::create_directory(P("sub"));
    const std::vector<std::vector<std::string>> cases = {
        {"-i", "in.png", "--save-settings", "in.png", "-o", "out.png"},
        {"-i", "in.png", "--save-settings", "sub/../in.png"},
        {"-i", "in.png", "--save-settings", "out.png", "-o", "out.png"},
        {"-i", "in.png", "--save-settings", P("out.png"), "-o", "out.png"},
        {"-i", "in.#.png", "--frames", "2", "--save-settings", "out.0002.png", "-o", "out.#.png"},
        {"-i", "in.#.png", "--save-settings", "in.0002.png"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"render", "ChannelShift"};
        args.insert(args.end(), c.begin(), c.end());
        const std::string named = *(std::find(c.begin(), c.end(), "--save-settings") + 1);
        const Result r = Run(args);
        EXPECT_EQ(r.code, 2) << named << ": " << r.err;
        EXPECT_NE(r.err.find("--save-settings " + named + " names "), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(P("out.png")));
        EXPECT_FALSE(fs::exists(P("out.0002.png")));
        EXPECT_EQ(Slurp(P("in.png")), plate);
    }
    EXPECT_EQ(Read("in.0002.png").spec.width, 4);
    const Result r = Run({"render", "ChannelShift", "-i", "in.png", "--save-settings", "look.json",
                          "-o", "out.png"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_TRUE(fs::exists(P("look.json")));
}

// --compression is checked against what the output's format takes, before any pixel is
// read; the message says what that is.
TEST_F(Cli, CompressionMustBeOneTheFormatTakes) {
    Write("in.png", 4, 4, 4, TypeDesc::UINT16, [](int, int, int) { return 1000.0; });
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"bogus", "out.exr"},
         "is not a compression of openexr files (they take none, rle, "
         "zip[:1-9], zips[:1-9], piz"},
        {{"zip:999", "out.exr"}, "openexr zip levels are whole numbers from 1 to 9"},
        {{"piz:abc", "out.exr"}, "openexr piz takes no level"},
        {{"jpeg:200", "out.jpg"}, "jpeg jpeg levels are whole numbers from 1 to 100"},
        {{"rle", "out.png"}, "(they take zip[:0-9])"},
        {{"zip", "out.bmp"}, "bmp files take no compression setting"},
    };
    for (const auto& [c, culprit] : refused) {
        const Result r =
            Run({"render", "ChannelShift", "-i", "in.png", "--compression", c[0], "-o", c[1]});
        EXPECT_EQ(r.code, 2) << c[0] << ": " << r.err;
        EXPECT_NE(r.err.find("--compression \"" + c[0] + "\""), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(culprit), std::string::npos) << r.err;
        EXPECT_FALSE(fs::exists(P(c[1])));
    }
    for (const auto& [c, out] : std::vector<std::pair<std::string, std::string>>{
             {"zip:9", "a.exr"}, {"DWAA:45", "b.exr"}, {"jpeg:90", "c.jpg"}, {"zip:0", "d.png"}}) {
        const Result r = Run({"render", "ChannelShift", "-q", "-i", "in.png", "--depth", "int16",
                              "--compression", c, "-o", out});
        EXPECT_EQ(r.code, 0) << c << ": " << r.err;
    }
}

// A movie file would give its first frame for every frame asked.
TEST_F(Cli, AMovieFileIsRefusedInOneLine) {
    ImageSpec spec(4, 4, 3, TypeDesc::UINT8);
    const std::vector<unsigned char> px(4 * 4 * 3, 100);
    auto out = OIIO::ImageOutput::create(P("clip.gif"));
    std::vector<ImageSpec> specs(3, spec);
    ASSERT_TRUE(out->open(P("clip.gif"), 3, specs.data()));
    for (int i = 0; i < 3; ++i) {
        if (i) {
            ASSERT_TRUE(out->open(P("clip.gif"), spec, OIIO::ImageOutput::AppendSubimage));
        }
        ASSERT_TRUE(out->write_image(TypeDesc::UINT8, px.data()));
    }
    ASSERT_TRUE(out->close());
    const Result r =
        Run({"render", "ChannelShift", "-i", "clip.gif", "--frames", "1-3", "-o", "out.#.png"});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("clip.gif: movie files are not read (give an image sequence"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(P("out.0001.png")));
}

// --time must be a finite number; a plug-in file registering a tool that is loaded
// already is skipped with a warning.
TEST_F(Cli, NonFiniteTimesAndDuplicatePluginsAreNamed) {
    for (const char* t : {"nan", "inf", "-inf"}) {
        const Result r = Run({"render", "ChannelShift", "--time", t, "-o", "out.png"});
        EXPECT_EQ(r.code, 2) << t << ": " << r.err;
        EXPECT_NE(r.err.find("is not a finite number"), std::string::npos) << r.err;
    }
    fs::create_directory(P("plug"));
    fs::copy_file(std::string(QRVX_PLUGIN_DIR) + "/QRVX_Warble.so", P("plug/QRVX_Warble2.so"));
    const Result r = Run({"tools", "--json"}, "QRVX_PLUGIN_PATH=" + ShellQuote(P("plug")));
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("warning: skipped " + std::string(QRVX_PLUGIN_DIR) + "/QRVX_Warble.so"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(Run({"tools", "-q"}, "QRVX_PLUGIN_PATH=" + ShellQuote(P("plug"))).err, "");
}

// An image larger than the memory the command may use is refused in one line naming the
// file; a file that ends before its pixels do is named with a reason.
TEST_F(Cli, AnImageAboveMemoryIsAOneLineFailure) {
    std::ofstream(P("big.ppm")) << "P6\n12000 12000\n255\n"; // 1.1 GB of pixels, none given
    Result r = Run({"render", "ChannelShift", "-i", "big.ppm", "-o", "out.png"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("big.ppm: the pixels are damaged or the file ends early\n"),
              std::string::npos)
        << r.err;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit below";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
    GTEST_SKIP() << "the sanitizers reserve more address space than the limit below";
#endif
#endif
    r = Run({"render", "ChannelShift", "-i", "big.ppm", "-o", "out.png"}, "ulimit -v 1000000 &&");
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, "qrvx: error: big.ppm: cannot make an image of 12000 x 12000 pixels: out of "
                     "memory\n");
    EXPECT_FALSE(fs::exists(P("out.png")));
    EXPECT_EQ(Leftovers(), 0);
}

// ---- Faults a render farm meets -------------------------------------------------------

// A sequence whose frames take a while to write: noise does not compress.
class Faults : public Cli {
protected:
    static constexpr int kFrames = 40;

    void SetUp() override {
        Cli::SetUp();
        Write("noise.png", 1024, 1024, 4, TypeDesc::UINT16, [](int x, int y, int c) {
            const std::uint32_t h = std::uint32_t(x) * 73856093u ^ std::uint32_t(y) * 19349663u ^
                                    std::uint32_t(c) * 83492791u;
            return double((h * 2654435761u) >> 16);
        });
    }

    pid_t StartSequence() const {
        return Start({"render", "ChannelShift", "-i", "noise.png", "--frames",
                      "1-" + std::to_string(kFrames), "-o", "out.#.png"});
    }

    static std::string Frame(int f) {
        char name[32];
        std::snprintf(name, sizeof name, "out.%04d.png", f);
        return name;
    }

    // The width of an output frame read whole, or 0 when it is missing or cannot be read.
    int CompleteWidth(const std::string& name) const {
        auto in = OIIO::ImageInput::open(P(name));
        if (!in) return 0;
        std::vector<std::uint16_t> px(in->spec().image_pixels() * in->spec().nchannels);
        return in->read_image(0, 0, 0, in->spec().nchannels, TypeDesc::UINT16, px.data())
                   ? in->spec().width
                   : 0;
    }
};

// SIGINT and SIGTERM while a frame is being written: the command ends by the signal,
// every frame it wrote is whole, and no temporary file is left.
TEST_F(Faults, InterruptedSequenceLeavesOnlyWholeFrames) {
    for (int sig : {SIGINT, SIGTERM}) {
        for (int f = 1; f <= kFrames; ++f) fs::remove(P(Frame(f)));
        const pid_t pid = StartSequence();
        ASSERT_TRUE(AwaitTemporary(pid)) << sig;
        kill(pid, sig);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig << ": " << status;
        EXPECT_EQ(Leftovers(), 0) << sig;
        int written = 0;
        for (int f = 1; f <= kFrames; ++f)
            if (fs::exists(P(Frame(f)))) {
                ++written;
                EXPECT_EQ(CompleteWidth(Frame(f)), 1024) << sig << ": frame " << f;
            }
        EXPECT_LT(written, kFrames) << sig;
    }
}

// A signal the command was started ignoring, as nohup starts it ignoring SIGHUP, stays
// ignored while frames are written: the render goes on to the end.
TEST_F(Faults, IgnoredSignalsStayIgnoredWhileWriting) {
    const pid_t pid =
        Start({"render", "ChannelShift", "-i", "noise.png", "--frames", "1-3", "-o", "out.#.png"},
              {SIGHUP, SIGINT});
    ASSERT_TRUE(AwaitTemporary(pid));
    kill(pid, SIGHUP);
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int f = 1; f <= 3; ++f) EXPECT_EQ(CompleteWidth(Frame(f)), 1024) << "frame " << f;
    EXPECT_EQ(Leftovers(), 0);
}

// SIGKILL while a frame is being written: every target holds its old file or a whole new
// one; the temporary file left is hidden, and the next write of its target removes it.
TEST_F(Faults, KilledSequenceLeavesOldOrWholeFramesAndAHiddenTemporary) {
    for (int f = 1; f <= kFrames; ++f)
        Write(Frame(f), 2, 2, 4, TypeDesc::UINT16, [](int, int, int) { return 7.0; });
    const pid_t pid = StartSequence();
    ASSERT_TRUE(AwaitTemporary(pid));
    kill(pid, SIGKILL);
    ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
    for (int f = 1; f <= kFrames; ++f) {
        const int width = CompleteWidth(Frame(f));
        EXPECT_TRUE(width == 2 || width == 1024) << "frame " << f << ": " << width;
    }
    std::string temporary;
    for (const auto& e : fs::directory_iterator(m_dir))
        if (e.path().filename().string().find(".qrvx-tmp") != std::string::npos)
            temporary = e.path().filename();
    ASSERT_EQ(Leftovers(), 1);
    ASSERT_EQ(temporary.rfind(".out.", 0), 0u) << temporary;
    const std::string frame = std::to_string(std::stoi(temporary.substr(5, 4)));
    ASSERT_EQ(
        Run({"render", "ChannelShift", "-i", "noise.png", "--frames", frame, "-o", "out.#.png"})
            .code,
        0);
    EXPECT_EQ(Leftovers(), 0) << temporary;
    EXPECT_EQ(CompleteWidth(Frame(std::stoi(frame))), 1024);
}

// Two commands writing the same output at once: one whole file, from one of them.
TEST_F(Faults, TwoWritersOfOneOutputLeaveOneWholeFile) {
    const std::vector<std::string> a = {"render", "ChannelShift", "-i", "noise.png", "-o", "a.png"};
    const std::vector<std::string> b = {"render", "ChannelShift",       "-i", "noise.png",
                                        "-s",     "Center Red=0.7,0.5", "-o", "b.png"};
    ASSERT_EQ(Run(a).code, 0);
    ASSERT_EQ(Run(b).code, 0);
    const std::string first = Slurp(P("a.png")), second = Slurp(P("b.png"));
    ASSERT_TRUE(first != second);
    for (int round = 0; round < 3; ++round) {
        auto toShared = [](std::vector<std::string> args) {
            args.back() = "shared.png";
            return args;
        };
        const pid_t p = Start(toShared(a)), q = Start(toShared(b));
        int sp = 0, sq = 0;
        ASSERT_EQ(waitpid(p, &sp, 0), p);
        ASSERT_EQ(waitpid(q, &sq, 0), q);
        EXPECT_TRUE(WIFEXITED(sp) && WEXITSTATUS(sp) == 0 && WIFEXITED(sq) && WEXITSTATUS(sq) == 0);
        const std::string shared = Slurp(P("shared.png"));
        EXPECT_TRUE(shared == first || shared == second) << round;
        EXPECT_EQ(Leftovers(), 0) << round;
    }
}

TEST_F(Cli, ScatterRefusesARenderWithoutItsRequiredStar) {
    Write("in.png", 6, 4, 4, TypeDesc::UINT16,
          [](int x, int y, int c) { return std::round(Pattern(x, y, c) * 65535); });
    Write("star.png", 2, 2, 4, TypeDesc::UINT16, [](int, int, int) { return 65535.0; });
    Result r = Run({"render", "Scatter", "-i", "in.png", "-i", "Star 2=star.png", "-o", "out.png"});
    EXPECT_EQ(r.code, 2);
    EXPECT_EQ(r.err.rfind("qrvx: error: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("\"Star 1 (required)\""), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(P("out.png")));
    EXPECT_EQ(Leftovers(), 0);
    // Given, the render goes through.
    r = Run({"render", "Scatter", "-i", "in.png", "-i", "Star 1 (required)=star.png", "-s",
             "density=20", "-o", "out.png"});
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(Read("out.png").spec.width, 6);
}

// ---- Demo ------------------------------------------------------------------------------

TEST_F(Cli, DemoShowsEveryLoadedTool) {
    const Result r = Run({"demo", "--out", "demo", "-q"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string page = Slurp(P("demo/index.html"));
    EXPECT_TRUE(fs::exists(P("demo/input.png")));
    for (const Json& t : Tools()) {
        std::string file = t["name"];
        std::transform(file.begin(), file.end(), file.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        EXPECT_NE(page.find("<h2>" + t["name"].get<std::string>() + "</h2>"), std::string::npos)
            << file;
        EXPECT_TRUE(fs::exists(P("demo/" + file + ".png"))) << file;
    }
}

} // namespace
