#include "frame/controls.h"

#include <climits>
#include <cmath>
#include <string>

namespace frame {

namespace {

// The tags every number control shares, in the host's order.
TagList NumberTags(const char* kind, double def, std::optional<Range> shown, const Extra& e) {
    TagList t{{tag::DataType, "Number"}, {tag::ControlKind, kind}};
    if (shown) {
        t.Add(tag::ShownLow, shown->low);
        t.Add(tag::ShownHigh, shown->high);
    }
    if (e.allowed) {
        t.Add(tag::AllowedLow, e.allowed->low);
        t.Add(tag::AllowedHigh, e.allowed->high);
    }
    t.Add(tag::Default, def);
    if (e.rowShare > 0) t.Add(tag::RowShare, e.rowShare);
    if (e.whole) t.Add(tag::WholeNumbers, 1);
    if (e.hidden)
        t.Add(tag::Visible, 0);
    else if (e.shown)
        t.Add(tag::Visible, 1);
    return t;
}

} // namespace

Input* ImageIn(Operator& op, const char* nameAndId, int link, bool required) {
    return op.AddInput(
        nameAndId, nameAndId,
        {{tag::DataType, "Image"}, {tag::Required, required ? 1 : 0}, {tag::LinkNumber, link}});
}

Input* ImageControl(Operator& op, const char* nameAndId, bool required) {
    return op.AddInput(nameAndId, nameAndId,
                       {{tag::DataType, "Image"},
                        {tag::ControlKind, "ImageControl"},
                        {tag::Required, required ? 1 : 0}});
}

Output* ImageOut(Operator& op, const char* nameAndId) {
    return op.AddOutput(nameAndId, nameAndId, {{tag::DataType, "Image"}, {tag::LinkNumber, 1}});
}

Input* Checkbox(Operator& op, const char* id, const char* name, double def, Extra extra) {
    TagList t = NumberTags("CheckboxControl", def, std::nullopt, extra);
    if (extra.notify) t.Add(tag::NotifyOnChange, 1);
    return op.AddInput(name, id, t);
}

Input* Slider(Operator& op, const char* id, const char* name, double def, Range shown,
              Extra extra) {
    TagList t = NumberTags("SliderControl", def, shown, extra);
    if (extra.notify) t.Add(tag::NotifyOnChange, 1);
    return op.AddInput(name, id, t);
}

Input* Screw(Operator& op, const char* id, const char* name, double def, Range shown, Extra extra) {
    TagList t = NumberTags("ScrewControl", def, shown, extra);
    t.Add(tag::ScrewFlag, 1);
    if (extra.notify) t.Add(tag::NotifyOnChange, 1);
    return op.AddInput(name, id, t);
}

Input* Combo(Operator& op, const char* id, const char* name,
             std::initializer_list<const char*> entries, double def, Extra extra) {
    TagList t = NumberTags("ComboControl", def, Range{0, double(entries.size()) - 1}, extra);
    if (extra.notify) t.Add(tag::NotifyOnChange, 1);
    for (const char* e : entries) t.Add(tag::ComboEntry, e);
    if (extra.notify) t.Add(tag::NotifyOnChange, 1);
    return op.AddInput(name, id, t);
}

Input* ColorChannel(Operator& op, const char* id, const char* name, double def, int group,
                    int place, const char* groupLabel, Extra extra) {
    TagList t = NumberTags("ColorControl", def, Range{0, 1}, extra);
    t.Add(tag::ColorGroupLabel, groupLabel);
    t.Add(tag::Group, group);
    t.Add(tag::GroupPlace, place);
    return op.AddInput(name, id, t);
}

Input* RangeHandle(Operator& op, const char* id, const char* name, double def, Range shown,
                   int group, int place, Extra extra) {
    TagList t = NumberTags("RangeControl", def, shown, extra);
    t.Add(tag::Group, group);
    t.Add(tag::GroupPlace, place);
    return op.AddInput(name, id, t);
}

std::array<Input*, 4> ChannelSwitches(Operator& op, const char* about) {
    // Declared in the order red, green, blue, alpha, which is also the storage order.
    std::array<Input*, 4> on{};
    const char* const names[4] = {"Red", "Green", "Blue", "Alpha"};
    const char* const lower[4] = {"red", "green", "blue", "alpha"};
    for (int c = 0; c < 4; ++c) {
        std::string text = about;
        if (const auto at = text.find("%s"); at != std::string::npos) text.replace(at, 2, lower[c]);
        on[c] = Checkbox(op, names[c], names[c], 1.0, {.rowShare = 0.25})->Describe(text);
    }
    return on;
}

Input* Offset(Operator& op, const char* id, const char* name, Extra extra) {
    TagList t{{tag::DataType, "Point"},
              {tag::ControlKind, "OffsetControl"},
              {tag::PreviewControl, "CrosshairControl"}};
    if (extra.hidden) t.Add(tag::Visible, 0);
    return op.AddInput(name, id, t);
}

double Num(Input* in, Request* req) {
    const auto* n = dynamic_cast<const Number*>(in->GetValue(req));
    return n ? n->Value() : 0.0;
}

bool On(Input* in, Request* req) { return Num(in, req) > 0.0; }

int Whole(Input* in, Request* req) {
    const double v = std::trunc(Num(in, req));
    if (std::isnan(v)) return 0;
    if (v >= double(INT_MAX)) return INT_MAX;
    if (v <= double(INT_MIN)) return INT_MIN;
    return int(v);
}

Point PointAt(Input* in, Request* req) {
    const auto* p = dynamic_cast<const Point*>(in->GetValue(req));
    return p ? *p : Point(0.5, 0.5);
}

const Image* ImageAt(Input* in, Request* req) {
    return dynamic_cast<const Image*>(in->GetValue(req));
}

} // namespace frame
