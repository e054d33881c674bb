// Control values: parsing them from the command line (-s ID=VALUE) and from settings
// files, setting them on a tool, and saving every control's value so that loading the
// file reproduces a render exactly.
//
// A settings file is JSON:
//   {"tool": "Quorvane.QRVX_ChannelShift",
//    "controls": {"Red": 1, "Center Red": [0.52, 0.5], ...}}
// with the controls in declaration order. A value is a number, [x, y] for a point, or for
// a combo box the text of an entry; true, "3" or null are the wrong type. "tool" is
// optional; when given it must name the tool the file is loaded into. Other keys are
// skipped.
#pragma once

#include "host/session.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace app {

// A control's value: a number (x), or a point (x, y).
struct ControlValue {
    bool isPoint = false;
    double x = 0.0;
    double y = 0.0;
    bool operator==(const ControlValue&) const = default;
};

// Reads VALUE for a control: a number, "x,y" for a point, or the text of a combo entry
// (case ignored). Numbers must be finite, whole where the control takes whole numbers or
// picks a combo entry, inside the control's allowed range, and at most 1000 widths of
// its shown range outside it (0 to 1 for checkboxes and point coordinates; a shown range
// counts as at least 1 wide): so 0 to 1 takes -1000 to 1001. Throws UsageError naming the
// tool, the control and the value (its first 80 characters).
ControlValue ParseValue(const qrvx::Tool& tool, const Input& control, std::string_view text);

// Inputs are found by ID exactly as declared, case included: the IDs under which the
// host saves and loads values (-s, -i ID=, settings files and the Python module all come
// here). An ID that differs from one only in case is refused with a message naming it.
//
// The control with this ID; throws UsageError naming the tool and the ID when the tool
// has no such control or the ID names an image input.
Input& FindControl(const qrvx::Tool& tool, const std::string& id);
// The image input with this ID; throws UsageError naming the tool and the ID when the
// tool has no such image input (listing those it has) or the ID names a control.
Input& FindImageInput(const qrvx::Tool& tool, const std::string& id);

// Sets a control through the tool's change notification.
void SetValue(qrvx::Tool& tool, const Input& control, const ControlValue& value);
// The control's current value.
ControlValue CurrentValue(const Input& control);

// Sets controls in the order given, then once more every one that a later control's change
// notification (a preset) has changed since, so the tool ends with exactly these values.
void ApplyValues(qrvx::Tool& tool,
                 const std::vector<std::pair<const Input*, ControlValue>>& values);

// Applies one -s ID=VALUE (split at the first '=').
void ApplyAssignment(qrvx::Tool& tool, std::string_view assignment);

// The largest settings file read: far above any tool's (a few kilobytes), far below
// what would exhaust memory.
constexpr std::size_t kMaxSettingsBytes = std::size_t(16) << 20;

// Applies a settings file: each control in the file's order, then once more every control
// a later change notification (a preset) has changed since, so the tool ends with exactly
// the file's values. Reading stops at the first unknown or repeated control or bad value,
// and takes time in proportion to the file's size. Throws Failure when the file cannot be
// read, UsageError for a folder, a path that is not a regular file, a file larger than
// kMaxSettingsBytes or holding a NUL byte, or bad contents (naming the file and the
// control, or the line and column of a JSON error); the tool is then left as it was.
void LoadSettings(qrvx::Tool& tool, const std::string& path);
// The same for a settings file's text held in memory; name stands for the file in messages.
void LoadSettingsText(qrvx::Tool& tool, const std::string& text, const std::string& name);

// Every control's current value by ID, in declaration order.
nlohmann::ordered_json SettingsJson(const qrvx::Tool& tool);
// Writes SettingsJson to a file through a temporary file renamed into place.
void SaveSettings(const qrvx::Tool& tool, const std::string& path);

// A value as -s would take it: "0.25", "0.52,0.5".
std::string FormatValue(const ControlValue& value);

} // namespace app
