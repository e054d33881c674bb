#include "app/settings.h"

#include "app/errors.h"
#include "app/output_file.h"
#include "app/text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace app {

using Json = nlohmann::ordered_json;

namespace {

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

// The shortest text that reads back as the same double ("0.52", "-1000", "1e+308").
std::string Number(double v) {
    char buf[32];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, end) : std::string("?");
}

// How far beyond its shown range the command takes a value, in widths of that range (at
// least 1 wide; 0 to 1 where none is shown, as for checkboxes and points). Values further
// out only overflow a tool's arithmetic (1e308 makes every pixel infinite), so they are
// refused as the slips they are.
constexpr double kReach = 1000;

// Refuses a value that is not finite or lies too far outside the control's shown range;
// culprit names the control and the value for the message.
void CheckReach(const InputDecl& d, double v, const std::string& culprit) {
    const double shownLow = d.shownLow.value_or(0.0), shownHigh = d.shownHigh.value_or(1.0);
    const double reach = kReach * std::max(shownHigh - shownLow, 1.0);
    const double low = shownLow - reach, high = shownHigh + reach;
    if (std::isfinite(v) && v >= low && v <= high) return;
    std::string shown = d.dataType == "Point" ? "the image" : "0 to 1";
    if (d.shownLow && d.shownHigh)
        shown = "the shown range " + Number(shownLow) + " to " + Number(shownHigh);
    throw UsageError(culprit + " is too far outside " + shown + " (the command takes " +
                     Number(low) + " to " + Number(high) + ")");
}

// Checks a number against what the control takes; culprit as for CheckReach.
void CheckNumber(const InputDecl& d, double v, const std::string& culprit) {
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
    CheckReach(d, v, culprit);
}

void CheckPoint(const InputDecl& d, const ControlValue& p, const std::string& culprit) {
    CheckReach(d, p.x, culprit);
    CheckReach(d, p.y, culprit);
}

// The combo entry whose text is text, case and surrounding blanks ignored.
std::optional<std::size_t> EntryNamed(const InputDecl& d, std::string_view text) {
    for (std::size_t i = 0; i < d.comboEntries.size(); ++i)
        if (SameText(Trim(text), Trim(d.comboEntries[i]))) return i;
    return std::nullopt;
}

// "\"None\", \"SIN\", ...".
std::string Entries(const InputDecl& d) {
    std::vector<std::string> entries;
    for (const std::string& e : d.comboEntries) entries.push_back(Quoted(e));
    return Join(entries);
}

// " (did you mean \"Center Red\"?)" when an input's ID differs from id only in case.
std::string CaseHint(const qrvx::Tool& tool, std::string_view id) {
    for (const auto& in : tool.Inputs())
        if (SameText(in->Decl().id, id)) return " (did you mean " + Quoted(in->Decl().id) + "?)";
    return "";
}

// The control an input found by ID stands for; throws naming the ID (after where, when
// given) when there is none or it is an image input.
Input& AsControl(const qrvx::Tool& tool, Input* in, std::string_view id,
                 const std::string& where = "") {
    const std::string shown = Quoted(Excerpt(id));
    if (!in)
        throw UsageError(where + qrvx::DisplayName(tool.Entry()) + " has no control " + shown +
                         CaseHint(tool, id));
    if (in->IsImage())
        throw UsageError(where + qrvx::DisplayName(tool.Entry()) + ": " + shown +
                         " is an image input; connect it with -i " + std::string(id) + "=PATH");
    return *in;
}

} // namespace

Input& FindControl(const qrvx::Tool& tool, const std::string& id) {
    return AsControl(tool, tool.InputOrNull(id), id);
}

Input& FindImageInput(const qrvx::Tool& tool, const std::string& id) {
    Input* in = tool.InputOrNull(id);
    if (in && !in->IsImage())
        throw UsageError(qrvx::DisplayName(tool.Entry()) + ": " + Quoted(id) +
                         " is a control, not an image input; set it with -s");
    if (!in) {
        std::vector<std::string> images;
        for (const auto& i : tool.Inputs())
            if (i->IsImage()) images.push_back(Quoted(i->Decl().id));
        throw UsageError(qrvx::DisplayName(tool.Entry()) + " has no image input " +
                         Quoted(Excerpt(id)) + CaseHint(tool, id) +
                         " (image inputs: " + Join(images) + ")");
    }
    return *in;
}

ControlValue ParseValue(const qrvx::Tool& tool, const Input& control, std::string_view text) {
    const InputDecl& d = control.Decl();
    const std::string culprit = qrvx::DisplayName(tool.Entry()) + " control " + Quoted(d.id) +
                                ": value " + Quoted(Excerpt(text));
    ControlValue value;
    if (control.IsPoint()) {
        const std::size_t comma = text.find(',');
        if (comma == std::string_view::npos || !ParseNumber(text.substr(0, comma), value.x) ||
            !ParseNumber(text.substr(comma + 1), value.y))
            throw UsageError(culprit + " is not a point x,y");
        value.isPoint = true;
        CheckPoint(d, value, culprit);
        return value;
    }
    if (ParseNumber(text, value.x)) {
        CheckNumber(d, value.x, culprit);
        return value;
    }
    if (const auto entry = EntryNamed(d, text)) {
        value.x = double(*entry);
        return value;
    }
    if (d.kind == "ComboControl")
        throw UsageError(culprit + " is neither an entry number nor one of " + Entries(d));
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
        throw UsageError("-s " + Quoted(Excerpt(assignment)) + " is not ID=VALUE");
    Input& control = FindControl(tool, std::string(assignment.substr(0, eq)));
    SetValue(tool, control, ParseValue(tool, control, assignment.substr(eq + 1)));
}

namespace {

// A value as a settings file holds it: a number, [x, y] for a point, or the text of a
// combo entry. Anything else (true, "3", null) is the wrong type, as it is for -s.
ControlValue ValueFromJson(const Input& control, const Json& v, const std::string& where) {
    const InputDecl& d = control.Decl();
    const std::string culprit = where + ": value " + Excerpt(v.dump());
    ControlValue value;
    if (control.IsPoint()) {
        if (!v.is_array() || v.size() != 2 || !v[0].is_number() || !v[1].is_number())
            throw UsageError(culprit + " is not a point [x, y]");
        value.isPoint = true;
        value.x = v[0].get<double>();
        value.y = v[1].get<double>();
        CheckPoint(d, value, culprit);
        return value;
    }
    if (v.is_number()) {
        value.x = v.get<double>();
        CheckNumber(d, value.x, culprit);
        return value;
    }
    if (v.is_string() && d.kind == "ComboControl") {
        const auto entry = EntryNamed(d, v.get<std::string>());
        if (!entry) throw UsageError(culprit + " is not one of " + Entries(d));
        value.x = double(*entry);
        return value;
    }
    throw UsageError(culprit + " is not a number" +
                     (d.kind == "ComboControl" ? " or the text of an entry" : ""));
}

// The whole of a file, read as bytes. Throws UsageError for a folder, a device, a FIFO
// or another file that is not a regular file (a FIFO would block, a device never end),
// for a file larger than kMaxSettingsBytes or holding a NUL byte; Failure for a file
// that cannot be read.
std::string ReadSettingsText(const std::string& path) {
    const std::string what = "settings file " + path;
    // O_NONBLOCK: opening a FIFO does not wait for a writer.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::error_code ec;
        if (std::filesystem::is_directory(path, ec)) throw UsageError(what + " is a folder");
        throw Failure("cannot read " + what + ": " + std::strerror(errno));
    }
    struct Closer {
        int fd;
        ~Closer() { close(fd); }
    } closer{fd};
    struct stat st {};
    if (fstat(fd, &st) != 0) throw Failure("cannot read " + what + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw UsageError(what + " is a folder");
    if (!S_ISREG(st.st_mode)) throw UsageError(what + " is not a regular file");
    const auto tooLarge = [&] {
        return UsageError(what + " is larger than " + std::to_string(kMaxSettingsBytes >> 20) +
                          " MiB, which no settings file is");
    };
    if (std::uint64_t(st.st_size) > kMaxSettingsBytes) throw tooLarge();
    std::string text;
    char buf[65536];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw Failure("cannot read " + what + ": " + std::strerror(errno));
        if (n == 0) break;
        text.append(buf, std::size_t(n));
        if (text.size() > kMaxSettingsBytes) throw tooLarge(); // the file grew
    }
    // The JSON reader would stop at a NUL byte and take the text before it as the file.
    if (const std::size_t nul = text.find('\0'); nul != std::string::npos)
        throw UsageError(what + " holds a NUL byte at offset " + std::to_string(nul) +
                         "; it is not a text file");
    return text;
}

// Reads a settings file as its JSON is parsed (nlohmann's SAX events), so that the first
// unknown or repeated control or bad value ends the reading whatever follows it, each
// control is found in constant time, and a file of any size is read in one pass. Keys
// other than "tool" and "controls" are skipped.
class SettingsReader {
public:
    SettingsReader(const qrvx::Tool& tool, const std::string& path, const std::string& text)
        : m_tool(tool), m_path(path), m_text(text) {
        for (const auto& in : tool.Inputs()) m_index.emplace(in->Decl().id, in.get());
    }

    // The controls and their values, in the file's order. Throws UsageError naming the
    // file (and the control, or the line and column of a JSON error).
    std::vector<std::pair<const Input*, ControlValue>> Read() {
        Json::sax_parse(m_text, this);
        if (!m_sawControls)
            throw UsageError("settings file " + m_path + " has no \"controls\" object");
        return std::move(m_values);
    }

    // SAX events. Each returns true to go on; errors throw.
    bool null() { return Value(Json(nullptr)); }
    bool boolean(bool v) { return Value(Json(v)); }
    bool number_integer(Json::number_integer_t v) { return Value(Json(v)); }
    bool number_unsigned(Json::number_unsigned_t v) { return Value(Json(v)); }
    bool number_float(Json::number_float_t v, const std::string&) { return Value(Json(v)); }
    bool string(std::string& v) { return Value(Json(std::move(v))); }
    bool binary(Json::binary_t&) { return Value(Json()); }
    bool start_object(std::size_t) { return Open(Json::object()); }
    bool start_array(std::size_t) { return Open(Json::array()); }
    bool end_object() { return Close(); }
    bool end_array() { return Close(); }

    bool key(std::string& k) {
        if (m_depth == 1) m_topKey = k;
        if (m_depth != 2 || m_state != State::Controls) return true;
        const auto found = m_index.find(k);
        m_control = &AsControl(m_tool, found == m_index.end() ? nullptr : found->second, k,
                               "settings file " + m_path + ": ");
        m_where = "settings file " + m_path + ", control " + Quoted(m_control->Decl().id);
        if (!m_seen.insert(m_control).second) throw UsageError(m_where + " is given twice");
        return true;
    }

    template <class Exception>
    bool parse_error(std::size_t position, const std::string&, const Exception&) {
        // position counts the bytes read, the offending one included.
        const std::string_view before(m_text.data(),
                                      std::min(position, m_text.size() + 1) - (position > 0));
        const std::size_t lineStart = before.rfind('\n');
        const std::size_t line = 1 + std::size_t(std::count(before.begin(), before.end(), '\n'));
        const std::size_t column =
            before.size() - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
        const std::string at =
            "line " + std::to_string(line) + ", column " + std::to_string(column);
        throw UsageError("settings file " + m_path +
                         (position > m_text.size()
                              ? " ends before its JSON is complete (" + at + ")"
                              : " is not valid JSON at " + at));
    }

private:
    // Where the reader stands: skipping what it does not read, inside "controls", inside
    // the array of a control's value.
    enum class State { Skip, Controls, Array };

    // A value at the current depth: the root, a top-level member, a control's value, or an
    // element of a control's array.
    bool Value(Json v) {
        if (m_depth == 0 && !v.is_object())
            throw UsageError("settings file " + m_path + " has no \"controls\" object");
        if (m_depth == 1 && m_topKey == "tool") CheckTool(v);
        if (m_depth == 1 && m_topKey == "controls") {
            if (!v.is_object())
                throw UsageError("settings file " + m_path + " has no \"controls\" object");
            if (m_sawControls)
                throw UsageError("settings file " + m_path + " has two \"controls\" objects");
            m_sawControls = true;
        }
        if (m_depth == 2 && m_state == State::Controls) Take(v);
        if (m_depth == 3 && m_state == State::Array) {
            // No value holds more than [x, y] of plain numbers: refuse more at once.
            if (v.is_structured() || m_array.size() == 2)
                throw UsageError(m_where + ": value is not " +
                                 (m_control->IsPoint() ? "a point [x, y]" : "a number"));
            m_array.push_back(std::move(v));
        }
        return true;
    }

    bool Open(Json container) {
        const bool controls = m_depth == 1 && m_topKey == "controls";
        if (m_depth == 2 && m_state == State::Controls && container.is_array()) {
            m_array = Json::array();
            m_state = State::Array;
        } else {
            Value(std::move(container));
        }
        if (controls) m_state = State::Controls;
        ++m_depth;
        return true;
    }

    bool Close() {
        --m_depth;
        if (m_depth == 2 && m_state == State::Array) {
            m_state = State::Controls;
            Take(m_array);
        }
        if (m_depth == 1 && m_state == State::Controls) m_state = State::Skip;
        return true;
    }

    void Take(const Json& v) {
        m_values.emplace_back(m_control, ValueFromJson(*m_control, v, m_where));
    }

    void CheckTool(const Json& name) {
        if (!name.is_string() ||
            (name.get<std::string>() != m_tool.Entry().ID().Text() &&
             !SameText(name.get<std::string>(), qrvx::DisplayName(m_tool.Entry()))))
            throw UsageError("settings file " + m_path + " is for " + Excerpt(name.dump()) +
                             ", not " + qrvx::DisplayName(m_tool.Entry()));
    }

    const qrvx::Tool& m_tool;
    const std::string& m_path;
    const std::string& m_text;
    std::unordered_map<std::string_view, Input*> m_index;
    int m_depth = 0;
    std::string m_topKey;
    State m_state = State::Skip;
    bool m_sawControls = false;
    const Input* m_control = nullptr;
    std::unordered_set<const Input*> m_seen;
    std::string m_where;
    Json m_array;
    std::vector<std::pair<const Input*, ControlValue>> m_values;
};

} // namespace

void LoadSettings(qrvx::Tool& tool, const std::string& path) {
    LoadSettingsText(tool, ReadSettingsText(path), path);
}

void LoadSettingsText(qrvx::Tool& tool, const std::string& text, const std::string& name) {
    // Read every value first, so a bad one changes nothing.
    ApplyValues(tool, SettingsReader(tool, name, text).Read());
}

void ApplyValues(qrvx::Tool& tool,
                 const std::vector<std::pair<const Input*, ControlValue>>& values) {
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
