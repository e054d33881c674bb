#include "app/settings.h"

#include "app/errors.h"
#include "app/output_file.h"
#include "app/text.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace app {

using Json = nlohmann::ordered_json;

namespace {

std::string ToolName(const qrvx::Tool& tool) { return tool.Entry().Text(tag::RegDisplayName); }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// A finite number, the whole text and nothing else; locale-independent.
bool ParseNumber(std::string_view text, double& value) {
    text = Trim(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(value);
}

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    // The shortest text that reads back as the same double.
    for (int digits = 1; digits <= 17; ++digits) {
        char shortBuf[32];
        std::snprintf(shortBuf, sizeof shortBuf, "%.*g", digits, v);
        if (std::strtod(shortBuf, nullptr) == v) return shortBuf;
    }
    return buf;
}

// Checks a number against what the control takes. `what` names the value for messages.
void CheckNumber(const qrvx::Tool& tool, const InputDecl& d, double v, const std::string& what) {
    const std::string culprit = ToolName(tool) + " control " + Quoted(d.id) + ": " + what;
    const bool combo = d.kind == "ComboControl";
    if ((d.wholeNumbers || combo) && v != std::trunc(v))
        throw UsageError(culprit + " is not a whole number");
    if (combo && (v < 0 || v >= double(d.comboEntries.size())))
        throw UsageError(culprit + " is not an entry number (0 to " +
                         std::to_string(int(d.comboEntries.size()) - 1) + ")");
    if ((d.allowedLow && v < *d.allowedLow) || (d.allowedHigh && v > *d.allowedHigh))
        throw UsageError(culprit + " is outside the allowed range " +
                         Number(d.allowedLow.value_or(-INFINITY)) + " to " +
                         Number(d.allowedHigh.value_or(INFINITY)));
}

} // namespace

Input& FindControl(const qrvx::Tool& tool, const std::string& id) {
    Input* in = tool.Op().FindInput(id);
    if (!in) throw UsageError(ToolName(tool) + " has no control " + Quoted(id));
    if (in->IsImage())
        throw UsageError(ToolName(tool) + ": " + Quoted(id) +
                         " is an image input; connect it with -i " + id + "=PATH");
    return *in;
}

ControlValue ParseValue(const qrvx::Tool& tool, const Input& control, std::string_view text) {
    const InputDecl& d = control.Decl();
    const std::string culprit =
        ToolName(tool) + " control " + Quoted(d.id) + ": value " + Quoted(std::string(text));
    ControlValue value;
    if (control.IsPoint()) {
        const std::size_t comma = text.find(',');
        if (comma == std::string_view::npos || !ParseNumber(text.substr(0, comma), value.x) ||
            !ParseNumber(text.substr(comma + 1), value.y))
            throw UsageError(culprit + " is not a point x,y");
        value.isPoint = true;
        return value;
    }
    if (ParseNumber(text, value.x)) {
        CheckNumber(tool, d, value.x, "value " + Quoted(std::string(text)));
        return value;
    }
    for (std::size_t i = 0; i < d.comboEntries.size(); ++i)
        if (SameText(Trim(text), Trim(d.comboEntries[i]))) {
            value.x = double(i);
            return value;
        }
    if (d.kind == "ComboControl") {
        std::vector<std::string> entries;
        for (const std::string& e : d.comboEntries) entries.push_back(Quoted(e));
        throw UsageError(culprit + " is neither an entry number nor one of " + Join(entries));
    }
    throw UsageError(culprit + " is not a number");
}

void SetValue(qrvx::Tool& tool, const Input& control, const ControlValue& value) {
    if (value.isPoint)
        tool.SetPoint(control.Decl().id, value.x, value.y);
    else
        tool.SetNumber(control.Decl().id, value.x);
}

ControlValue CurrentValue(const Input& control) {
    ControlValue value;
    Parameter* p = const_cast<Input&>(control).GetValue(nullptr);
    if (const auto* point = dynamic_cast<const Point*>(p)) {
        value.isPoint = true;
        value.x = point->X;
        value.y = point->Y;
    } else if (const auto* number = dynamic_cast<const ::Number*>(p)) {
        value.x = number->Value();
    }
    return value;
}

void ApplyAssignment(qrvx::Tool& tool, std::string_view assignment) {
    const std::size_t eq = assignment.find('=');
    if (eq == std::string_view::npos)
        throw UsageError("-s " + Quoted(std::string(assignment)) + " is not ID=VALUE");
    Input& control = FindControl(tool, std::string(assignment.substr(0, eq)));
    SetValue(tool, control, ParseValue(tool, control, assignment.substr(eq + 1)));
}

namespace {

// A value as a settings file holds it: a number, [x, y], or text read like -s VALUE.
ControlValue ValueFromJson(const qrvx::Tool& tool, const Input& control, const Json& v,
                           const std::string& where) {
    if (v.is_string()) return ParseValue(tool, control, v.get<std::string>());
    ControlValue value;
    if (control.IsPoint()) {
        if (!v.is_array() || v.size() != 2 || !v[0].is_number() || !v[1].is_number())
            throw UsageError(where + " is not a point [x, y]");
        value.isPoint = true;
        value.x = v[0].get<double>();
        value.y = v[1].get<double>();
        return value;
    }
    if (!v.is_number() && !v.is_boolean()) throw UsageError(where + " is not a number");
    value.x = v.is_boolean() ? double(v.get<bool>()) : v.get<double>();
    CheckNumber(tool, control.Decl(), value.x, "value " + v.dump());
    return value;
}

} // namespace

void LoadSettings(qrvx::Tool& tool, const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot read settings file " + path + ": " + std::strerror(errno));
    Json file;
    try {
        file = Json::parse(in);
    } catch (const Json::exception& e) {
        throw UsageError("settings file " + path + " is not valid JSON: " + e.what());
    }
    if (!file.is_object() || !file.contains("controls") || !file["controls"].is_object())
        throw UsageError("settings file " + path + " has no \"controls\" object");
    if (file.contains("tool")) {
        const Json& name = file["tool"];
        if (!name.is_string() || (name.get<std::string>() != tool.Entry().ID().Text() &&
                                  !SameText(name.get<std::string>(), ToolName(tool))))
            throw UsageError("settings file " + path + " is for " + name.dump() + ", not " +
                             ToolName(tool));
    }
    // Read every value first, so a bad one changes nothing.
    std::vector<std::pair<const Input*, ControlValue>> values;
    for (const auto& [id, v] : file["controls"].items()) {
        const Input& control = FindControl(tool, id);
        values.emplace_back(
            &control,
            ValueFromJson(tool, control, v, "settings file " + path + ", control " + Quoted(id)));
    }
    for (const auto& [control, v] : values) SetValue(tool, *control, v);
    // A preset applied by a later control may have overwritten earlier ones.
    for (const auto& [control, v] : values)
        if (!(CurrentValue(*control) == v)) SetValue(tool, *control, v);
}

Json SettingsJson(const qrvx::Tool& tool) {
    Json controls = Json::object();
    for (const auto& in : tool.Inputs()) {
        if (in->IsImage()) continue;
        const ControlValue v = CurrentValue(*in);
        controls[in->Decl().id] = v.isPoint ? Json::array({v.x, v.y}) : Json(v.x);
    }
    Json file = Json::object();
    file["tool"] = tool.Entry().ID().Text();
    file["controls"] = std::move(controls);
    return file;
}

void SaveSettings(const qrvx::Tool& tool, const std::string& path) {
    WriteTextFile(path, SettingsJson(tool).dump(2) + "\n");
}

std::string FormatValue(const ControlValue& value) {
    return value.isPoint ? Number(value.x) + "," + Number(value.y) : Number(value.x);
}

} // namespace app
