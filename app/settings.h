// Control values: parsing them from the command line (-s ID=VALUE) and from settings
// files, setting them on a tool, and saving every control's value so that loading the
// file reproduces a render exactly.
//
// A settings file is JSON:
//   {"tool": "Quorvane.QRVX_ChannelShift",
//    "controls": {"Red": 1, "Center Red": [0.52, 0.5], ...}}
// with the controls in declaration order. A value is a number, [x, y] for a point, or a
// string read like VALUE of -s. "tool" is optional; when given it must name the tool
// the file is loaded into.
#pragma once

#include "host/session.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

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
// picks a combo entry, and inside the control's allowed range. Throws UsageError naming
// the tool, the control and the value.
ControlValue ParseValue(const qrvx::Tool& tool, const Input& control, std::string_view text);

// The control with this ID; throws UsageError naming the tool and the ID when the tool
// has no such control or the ID names an image input.
Input& FindControl(const qrvx::Tool& tool, const std::string& id);

// Sets a control through the tool's change notification.
void SetValue(qrvx::Tool& tool, const Input& control, const ControlValue& value);
// The control's current value.
ControlValue CurrentValue(const Input& control);

// Applies one -s ID=VALUE (split at the first '=').
void ApplyAssignment(qrvx::Tool& tool, std::string_view assignment);

// Applies a settings file: each control in the file's order, then once more every control
// a later change notification (a preset) has changed since, so the tool ends with exactly
// the file's values. Throws Failure when the file cannot be read, UsageError for bad
// contents (naming the file and the control).
void LoadSettings(qrvx::Tool& tool, const std::string& path);

// Every control's current value by ID, in declaration order.
nlohmann::ordered_json SettingsJson(const qrvx::Tool& tool);
// Writes SettingsJson to a file through a temporary file renamed into place.
void SaveSettings(const qrvx::Tool& tool, const std::string& path);

// A value as -s would take it: "0.25", "0.52,0.5".
std::string FormatValue(const ControlValue& value);

} // namespace app
