#include "app/listing.h"

#include "app/demo_presets.h"
#include "app/errors.h"
#include "app/settings.h"
#include "app/text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

namespace app {

using Json = nlohmann::ordered_json;

namespace {

Json OrNull(const std::optional<double>& v) { return v ? Json(*v) : Json(nullptr); }

std::string Text(const std::optional<double>& v) {
    return v ? FormatValue(ControlValue{false, *v, 0.0}) : "";
}

std::string Range(const std::optional<double>& low, const std::optional<double>& high) {
    if (!low && !high) return "-";
    return Text(low) + ".." + Text(high);
}

// Help texts hold line breaks; in the table each further line is indented.
std::string Indented(const std::string& text, const std::string& indent) {
    std::string out;
    for (char c : text) out += c == '\n' ? "\n" + indent : std::string(1, c);
    return out;
}

// Prints rows as columns padded to the widest cell, two spaces apart.
void PrintTable(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
    std::vector<std::size_t> width;
    for (const auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (width.size() <= c) width.push_back(0);
            width[c] = std::max(width[c], row[c].size());
        }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row[c] + std::string(width[c] - row[c].size() + 2, ' ')
                                       : row[c];
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << "\n";
    }
}

// Combo entries as "0 First | 1 Second".
std::string Entries(const InputDecl& d) {
    std::vector<std::string> entries;
    for (std::size_t i = 0; i < d.comboEntries.size(); ++i)
        entries.push_back(std::to_string(i) + " " + d.comboEntries[i]);
    return Join(entries, " | ");
}

// A control's kind, ranges, entries and default, as `render TOOL --help` shows them.
std::string Facts(const Input& in) {
    const InputDecl& d = in.Decl();
    if (in.IsImage()) return d.required ? "image, required" : "image, optional";
    std::vector<std::string> facts = {d.kind.empty() ? d.dataType : d.kind};
    if (in.IsPoint()) facts.push_back("x,y");
    if (d.shownLow || d.shownHigh) facts.push_back("shown " + Range(d.shownLow, d.shownHigh));
    if (d.allowedLow || d.allowedHigh)
        facts.push_back("allowed " + Range(d.allowedLow, d.allowedHigh));
    if (!d.comboEntries.empty()) facts.push_back(Entries(d));
    // A new tool holds every default, points included.
    std::string value = FormatValue(CurrentValue(in));
    const std::size_t entry = std::size_t(CurrentValue(in).x);
    if (!d.comboEntries.empty() && entry < d.comboEntries.size())
        value += " (" + d.comboEntries[entry] + ")";
    facts.push_back("default " + value);
    if (!in.IsVisible()) facts.push_back("hidden until another control shows it");
    return Join(facts, ", ");
}

// A command-line word in single quotes when the shell would split or expand it.
std::string ShellWord(const std::string& word) {
    if (word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                               "0123456789_-.,/=:#@%") == std::string::npos)
        return word;
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace

void PrintToolHelp(const qrvx::Tool& tool, std::ostream& out) {
    const std::string name = qrvx::DisplayName(tool.Entry());
    out << name << " (" << tool.Entry().ID().Text() << ")\n  "
        << Indented(tool.Entry().Text(tag::RegHelp), "  ") << "\n";
    const auto section = [&](bool images, const std::string& title) {
        out << "\n" << title << "\n";
        std::string page;
        for (const auto& in : tool.Inputs()) {
            if (in->IsImage() != images) continue;
            const InputDecl& d = in->Decl();
            if (!images && d.page != page && !d.page.empty())
                out << "  [" << (page = d.page) << "]\n";
            out << "  " << Quoted(d.id) << ": " << Facts(*in) << "\n";
            if (!d.description.empty())
                out << "      " << Indented(d.description, "      ") << "\n";
        }
    };
    section(true, "Image inputs (-i ID=PATH; -i PATH for \"Input\"):");
    section(false, "Controls (-s ID=VALUE; a point as x,y, a combo entry by name or number):");

    // The demo's settings make the first example; a tool without them shows its defaults.
    const DemoPreset* preset = nullptr;
    for (const DemoPreset& p : DemoPresets())
        if (SameText(p.tool, name)) preset = &p;
    std::string images;
    for (const auto& in : tool.Inputs()) {
        const InputDecl& d = in->Decl();
        if (!in->IsImage() || d.id == "Input") continue;
        std::string picture;
        if (preset)
            for (const auto& [id, file] : preset->images)
                if (id == d.id) picture = file;
        if (picture.empty() && !d.required) continue;
        if (picture.empty()) picture = d.id;
        std::string file;
        for (char c : picture)
            file += std::isalnum(static_cast<unsigned char>(c)) ? char(std::tolower(c)) : '-';
        images += " -i " + ShellWord(d.id + "=" + file + ".png");
    }
    std::string settings;
    if (preset)
        for (const auto& [id, value] : preset->settings)
            settings += " -s " + ShellWord(id + "=" + value);
    out << "\nExamples:\n"
        << "  qrvx render " << ShellWord(name) << " -i plate.exr" << images << settings
        << " --save-settings look.json -o out.exr\n"
        << "      " << (preset ? std::string(preset->caption) : "the tool at its defaults")
        << "; the settings saved in look.json\n"
        << "  qrvx render " << ShellWord(name) << " -i plate.####.exr" << images
        << " --settings look.json --frames 1001-1100 -o out.####.exr\n"
        << "      the same look over frames 1001 to 1100 of a sequence\n";
}

void ListTools(const Catalog& catalog, bool json, std::ostream& out) {
    Json list = Json::array();
    for (const Registry* entry : catalog.Entries()) {
        const PluginResources& res = catalog.PluginOf(*entry).Resources();
        const std::vector<std::string> versions = entry->Texts(tag::RegVersionText);
        Json t = Json::object();
        t["name"] = qrvx::DisplayName(*entry);
        t["id"] = entry->ID().Text();
        t["shortName"] = entry->Text(tag::RegShortName);
        t["scriptName"] = entry->Text(tag::RegScriptName);
        t["help"] = entry->Text(tag::RegHelp);
        t["built"] = versions.size() > 0 ? versions[0] : "";
        t["version"] = versions.size() > 1 ? versions[1] : "";
        t["pluginVersion"] = res.fileVersion;
        t["productVersion"] = res.productVersion;
        t["tileBitmap"] = entry->Number(tag::RegTileBitmap);
        t["hasTilePicture"] = res.tilePixels != nullptr;
        t["file"] = catalog.PluginOf(*entry).Path();
        list.push_back(std::move(t));
    }
    if (json) {
        out << list.dump(2) << "\n";
        return;
    }
    const std::string indent(15, ' ');
    for (const Json& t : list) {
        if (&t != &list.front()) out << "\n";
        const auto field = [&](const char* label, const std::string& value) {
            std::string l = label;
            out << "  " << l << std::string(13 - l.size(), ' ') << Indented(value, indent) << "\n";
        };
        out << t["name"].get<std::string>() << "  " << t["id"].get<std::string>() << "\n";
        field("short name", t["shortName"]);
        field("script name", t["scriptName"]);
        field("help", t["help"]);
        field("built", t["built"]);
        field("version", t["version"]);
        field("plug-in",
              t["pluginVersion"].get<std::string>() + "  " + t["file"].get<std::string>());
        field("tile bitmap", std::to_string(t["tileBitmap"].get<long long>()) +
                                 (t["hasTilePicture"].get<bool>() ? "" : " (none carried)"));
    }
}

void ListControls(const qrvx::Tool& tool, bool json, std::ostream& out) {
    Json controls = Json::array();
    std::vector<std::vector<std::string>> rows = {{"PAGE", "ID", "NAME", "KIND", "TYPE", "SHOWN",
                                                   "ALLOWED", "DEFAULT", "VALUE", "VISIBLE",
                                                   "REQUIRED", "ENTRIES", "DESCRIPTION"}};
    for (const auto& in : tool.Inputs()) {
        const InputDecl& d = in->Decl();
        Json c = Json::object();
        c["page"] = d.page;
        c["id"] = d.id;
        c["name"] = d.name;
        c["kind"] = in->IsImage() && d.kind.empty() ? "ImageControl" : d.kind;
        c["dataType"] = d.dataType;
        c["previewKind"] = d.previewKind;
        c["shownLow"] = OrNull(d.shownLow);
        c["shownHigh"] = OrNull(d.shownHigh);
        c["allowedLow"] = OrNull(d.allowedLow);
        c["allowedHigh"] = OrNull(d.allowedHigh);
        c["default"] = OrNull(d.defaultValue);
        c["wholeNumbers"] = d.wholeNumbers;
        c["comboEntries"] = d.comboEntries;
        c["visible"] = in->IsVisible();
        c["required"] = d.required;
        c["description"] = d.description;
        std::string value = "-";
        if (!in->IsImage()) {
            const ControlValue v = CurrentValue(*in);
            c["value"] = v.isPoint ? Json::array({v.x, v.y}) : Json(v.x);
            value = FormatValue(v);
        }
        controls.push_back(c);
        rows.push_back(
            {d.page.empty() ? "-" : d.page, d.id, d.name, c["kind"].get<std::string>(), d.dataType,
             Range(d.shownLow, d.shownHigh), Range(d.allowedLow, d.allowedHigh),
             d.defaultValue ? Text(d.defaultValue) : "-", value, in->IsVisible() ? "yes" : "no",
             in->IsImage() ? (d.required ? "yes" : "no") : "-", Entries(d), d.description});
    }
    if (json) {
        Json doc = Json::object();
        doc["tool"] = qrvx::DisplayName(tool.Entry());
        doc["id"] = tool.Entry().ID().Text();
        doc["controls"] = std::move(controls);
        out << doc.dump(2) << "\n";
        return;
    }
    out << qrvx::DisplayName(tool.Entry()) << " (" << tool.Entry().ID().Text() << ")\n";
    PrintTable(rows, out);
}

} // namespace app
