#include "app/demo.h"

#include "app/catalog.h"
#include "app/demo_presets.h"
#include "app/errors.h"
#include "app/image_io.h"
#include "app/output_file.h"
#include "app/settings.h"
#include "app/testcard.h"
#include "app/text.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>

namespace app {

namespace fs = std::filesystem;

namespace {

// What one tool's section of the page shows.
struct Shown {
    std::string name, help, caption, png, json, error;
    std::vector<std::pair<std::string, std::string>> settings, images;
    bool opaque = false;
    int width = 0, height = 0;
};

std::string Html(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\n': out += "<br>"; break;
        default: out += c;
        }
    }
    return out;
}

const DemoPreset* PresetFor(const std::string& toolName) {
    for (const DemoPreset& p : DemoPresets())
        if (SameText(p.tool, toolName)) return &p;
    return nullptr;
}

// The file a built-in picture is written to for the page and the command lines.
std::string PictureFile(const std::string& picture) { return "picture-" + picture + ".png"; }

// The image inputs of a command line over the files in the demo folder.
std::string InputArgs(const Shown& s) {
    std::string args = " -i input.png";
    for (const auto& [id, picture] : s.images)
        args += " -i '" + id + "=" + PictureFile(picture) + "'";
    return args;
}

// The command that renders the same picture from the files in the demo folder.
std::string CommandLine(const Shown& s) {
    std::string cmd = "qrvx render " + s.name + InputArgs(s);
    for (const auto& [id, value] : s.settings) cmd += " -s '" + id + "=" + value + "'";
    return cmd + " -o " + s.png;
}

// The same tool live in the browser, over the same files.
std::string ViewLine(const Shown& s) { return "qrvx view " + s.name + InputArgs(s); }

void WritePng(const Image& image, const std::string& path) {
    WriteImage(image, path, {.depth = Depth::Int16, .pixel = OIIO::TypeDesc::UINT8});
}

// Pictures the command lines read are written at their full 16 bits, so that the
// commands render exactly what the page shows.
void WriteInputPng(const Image& image, const std::string& path) {
    WriteImage(image, path, {.depth = Depth::Int16});
}

// Sets every pixel's alpha to full.
void MakeOpaque(Image& image) {
    for (int y = 0; y < image.Height(); ++y)
        for (int x = 0; x < image.Width(); ++x) {
            if (image.IsFloat())
                image.Row<float>(y)[4 * x + 3] = 1.0f;
            else
                image.Row<std::uint16_t>(y)[4 * x + 3] = 65535;
        }
}

// Renders one tool into the folder; fills what the page shows of it.
void RenderTool(Registry& entry, const Image& card, const std::string& folder, Shown& s) {
    qrvx::Tool tool(entry);
    std::vector<std::unique_ptr<Image>> pictures;
    tool.Connect("Input", &card);
    for (const auto& [id, picture] : s.images) {
        try {
            pictures.push_back(MakePicture(picture, card.Depth()));
        } catch (const std::invalid_argument& e) {
            throw UsageError(s.name + " demo preset: " + e.what());
        }
        tool.Connect(id, pictures.back().get());
        WriteInputPng(*pictures.back(), (fs::path(folder) / PictureFile(picture)).string());
    }
    for (const auto& [id, value] : s.settings) ApplyAssignment(tool, id + "=" + value);
    const std::unique_ptr<Image> out = tool.Render(0.0);
    s.width = out->Width();
    s.height = out->Height();
    if (s.opaque) MakeOpaque(*out);
    WritePng(*out, (fs::path(folder) / s.png).string());
    SaveSettings(tool, (fs::path(folder) / s.json).string());
}

std::string Page(const std::vector<Shown>& shown) {
    std::ostringstream h;
    h << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
         "<title>qrvx demo</title>\n<style>\n"
         "body{font-family:sans-serif;background:#222;color:#ddd;margin:2em}\n"
         "section{margin-bottom:3em;border-top:1px solid #444;padding-top:1em}\n"
         ".pair{display:flex;gap:1em;align-items:flex-start}\n"
         "figure{margin:0;flex:1}figure img{width:100%;background:repeating-conic-gradient(#555 0 "
         "25%,#777 0 50%) 0 0/16px 16px}\n"
         "figcaption{font-size:.85em;color:#aaa}\n"
         "code{background:#333;padding:.1em .3em}table{border-collapse:collapse}\n"
         "td{padding:.1em .8em .1em 0}.error{color:#f77}a{color:#8cf}a:visited{color:#c9f}\n"
         ".extra{flex:0 0 12%}\n"
         "</style></head><body>\n<h1>qrvx demo</h1>\n<p>Every loaded tool over the built-in test "
         "card ("
      << kTestCardWidth << " &times; " << kTestCardHeight
      << ", 16-bit), input left, output right, and each tool's other images beside them. "
         "Every command line runs in this folder and renders the picture shown.</p>\n"
         "<p>To try a tool live, with every control and the picture side by side, run "
         "<code>qrvx view TOOL -i PICTURE</code> in a folder of pictures and open the address "
         "it prints; each section gives the line for its tool over these files.</p>\n";
    for (const Shown& s : shown) {
        h << "<section id=\"" << Html(Lower(s.name)) << "\">\n<h2>" << Html(s.name) << "</h2>\n";
        h << "<p>" << Html(s.help) << "</p>\n<p><b>" << Html(s.caption) << "</b></p>\n";
        if (!s.error.empty()) {
            h << "<p class=\"error\">Failed: " << Html(s.error) << "</p>\n</section>\n";
            continue;
        }
        h << "<div class=\"pair\"><figure><img src=\"input.png\" "
             "alt=\"input\"><figcaption>input</figcaption></figure>"
          << "<figure><img src=\"" << Html(s.png) << "\" alt=\"" << Html(s.name)
          << " output\"><figcaption>output, " << s.width << " &times; " << s.height
          << "</figcaption></figure>";
        for (const auto& [id, picture] : s.images)
            h << "<figure class=\"extra\"><img src=\"" << Html(PictureFile(picture)) << "\" alt=\""
              << Html(id) << "\"><figcaption>" << Html(id) << "</figcaption></figure>";
        h << "</div>\n";
        h << "<table>\n";
        if (s.settings.empty()) h << "<tr><td>settings</td><td>all at defaults</td></tr>\n";
        for (const auto& [id, value] : s.settings)
            h << "<tr><td>" << Html(id) << "</td><td><code>" << Html(value)
              << "</code></td></tr>\n";
        for (const auto& [id, picture] : s.images)
            h << "<tr><td>" << Html(id) << "</td><td>built-in picture <code>" << Html(picture)
              << "</code></td></tr>\n";
        h << "</table>\n";
        h << "<p><code>" << Html(CommandLine(s)) << "</code></p>\n";
        h << "<p>Live: <code>" << Html(ViewLine(s)) << "</code></p>\n";
        h << "<p><a href=\"" << Html(s.json) << "\">every control's value</a></p>\n</section>\n";
    }
    h << "</body></html>\n";
    return h.str();
}

} // namespace

void RunDemo(const std::string& folder, bool quiet) {
    Catalog catalog = Catalog::Load(quiet);
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (!fs::is_directory(folder)) throw Failure("cannot make the folder " + folder);
    const std::unique_ptr<Image> card = MakeTestCard(ImageDepth::Int16);
    WriteInputPng(*card, (fs::path(folder) / "input.png").string());

    std::vector<Shown> shown;
    std::vector<std::string> failed;
    for (Registry* entry : catalog.Entries()) {
        Shown s;
        s.name = DisplayName(*entry);
        s.help = entry->Text(tag::RegHelp);
        s.png = Lower(s.name) + ".png";
        s.json = Lower(s.name) + ".json";
        if (const DemoPreset* p = PresetFor(s.name)) {
            s.caption = p->caption;
            s.settings = p->settings;
            s.images = p->images;
            s.opaque = p->opaque;
        } else {
            s.caption = "at default settings";
        }
        try {
            RenderTool(*entry, *card, folder, s);
            if (!quiet)
                std::cerr << "qrvx: demo " << s.name << " -> "
                          << (fs::path(folder) / s.png).string() << "\n";
        } catch (const std::exception& e) {
            s.error = e.what();
            failed.push_back(s.name);
            std::cerr << "qrvx: error: demo " << s.name << ": " << e.what() << "\n";
        }
        shown.push_back(std::move(s));
    }
    const std::string index = (fs::path(folder) / "index.html").string();
    WriteTextFile(index, Page(shown));
    if (!quiet) std::cerr << "qrvx: demo of " << shown.size() << " tools -> " << index << "\n";
    if (!failed.empty())
        throw Failure("demo: " + std::to_string(failed.size()) + " tools failed: " + Join(failed));
}

} // namespace app
