// Declaration helpers: one call per control, so that a tool's constructor reads like its
// control table. Each helper declares the input on the operator's current page with the
// host's tags and returns the Input the tool keeps. Visible name and ID are given in
// that order only where they differ; where they are the same, one text serves both.
//
// Reading values in Process: Num, On, Whole, PointAt and ImageAt read an input at the
// request and convert it as the tools do (checkboxes are on above 0; whole numbers are
// truncated toward zero).
#pragma once

#include "host/operator.h"

#include <array>
#include <initializer_list>
#include <optional>

namespace frame {

struct Range {
    double low, high;
};

// Further attributes a number control may have.
struct Extra {
    std::optional<Range> allowed; // allowed range (none: values pass unchanged)
    double rowShare = 0;          // share of a row, 0 for the full row
    bool whole = false;           // whole numbers only
    bool notify = false;          // asks for change notification
    bool hidden = false;          // hidden at creation
    bool shown = false;           // declared shown at creation (the visibility tag with 1)
};

// Image inputs and the output. link: 1 main image, 2 second image.
Input* ImageIn(Operator& op, const char* nameAndId, int link = 1, bool required = true);
Output* ImageOut(Operator& op, const char* nameAndId = "Output");
// An image input shown as an image control on the current page (tiles, stars, figures,
// marks), without a link number.
Input* ImageControl(Operator& op, const char* nameAndId, bool required = false);

Input* Checkbox(Operator& op, const char* id, const char* name, double def, Extra extra = {});
Input* Slider(Operator& op, const char* id, const char* name, double def, Range shown,
              Extra extra = {});
// A thumbwheel ("ScrewControl").
Input* Screw(Operator& op, const char* id, const char* name, double def, Range shown,
             Extra extra = {});
// A combo box; its range is 0 to the last entry. With extra.notify the notification tag
// stands once before and once after the entries.
Input* Combo(Operator& op, const char* id, const char* name,
             std::initializer_list<const char*> entries, double def = 0, Extra extra = {});
// One channel of a colour control: group and place (red 0 .. alpha 3), labelled.
Input* ColorChannel(Operator& op, const char* id, const char* name, double def, int group,
                    int place, const char* groupLabel, Extra extra = {});
// One handle of a range control: group and place (start 0, end 1).
Input* RangeHandle(Operator& op, const char* id, const char* name, double def, Range shown,
                   int group, int place, Extra extra = {});
// The four channel switches "Red", "Green", "Blue", "Alpha" (ID and name alike), on by
// default, a quarter of a row each; indexed by channel (frame::kR .. frame::kA). Each is
// described by about with "%s" replaced by the channel's name in lower case.
std::array<Input*, 4> ChannelSwitches(Operator& op, const char* about);
// A point moved by an on-screen crosshair ("OffsetControl" + "CrosshairControl"),
// without a declared default: the host's (0.5, 0.5) applies.
Input* Offset(Operator& op, const char* id, const char* name, Extra extra = {});

double Num(Input* in, Request* req);
bool On(Input* in, Request* req);
// Truncated toward zero; values beyond the int range saturate, NaN gives 0.
int Whole(Input* in, Request* req);
Point PointAt(Input* in, Request* req);
// The connected image, or null.
const Image* ImageAt(Input* in, Request* req);

} // namespace frame
