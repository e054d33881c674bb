// The command's -s ID=VALUE on any tool: an assignment to a control the input picks (or
// to any text as the ID), applied as the command applies it. A bad one must throw the
// command's usage error; a good one must set a value that reads back the same and that
// FormatValue writes so that -s reads it back again.
#include "plugins.h"

#include "app/errors.h"
#include "app/settings.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    auto tool = fuzz::PickTool(data);
    const auto& inputs = tool->Inputs();
    const std::size_t pick = data.ConsumeIntegralInRange<std::size_t>(0, inputs.size());
    std::string id =
        pick < inputs.size() ? inputs[pick]->Decl().id : data.ConsumeRandomLengthString(64);
    const std::string text = id + "=" + data.ConsumeRemainingBytesAsString();
    try {
        app::ApplyAssignment(*tool, text);
    } catch (const app::UsageError&) {
        return 0;
    }
    // Taken: the value must survive a round trip through its text.
    const std::string eq = text.substr(0, text.find('='));
    const Input& control = app::FindControl(*tool, eq);
    const app::ControlValue v = app::CurrentValue(control);
    app::ApplyAssignment(*tool, eq + "=" + app::FormatValue(v));
    if (!(app::CurrentValue(control) == v)) __builtin_trap();
    return 0;
}
