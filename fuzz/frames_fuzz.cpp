// Frame lists (--frames, or one written into a path) and frame-number patterns of any
// text. A bad list must throw the command's usage error; a good one holds 1 to kMaxFrames
// frames, none negative. A pattern names every frame with its number in it.
#include "app/errors.h"
#include "app/sequence.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    const int frame = data.ConsumeIntegralInRange(0, 1'000'000);
    const bool asPattern = data.ConsumeBool();
    const std::string text = data.ConsumeRemainingBytesAsString();
    try {
        if (asPattern) {
            // Patterns are read as given: no file of that name is looked for.
            const app::PathPattern pattern(text, false);
            const std::string path = pattern.Frame(frame);
            if (pattern.IsSequence() && path.find(std::to_string(frame)) == std::string::npos)
                __builtin_trap();
            if (!pattern.EmbeddedFrames().empty()) app::ParseFrames(pattern.EmbeddedFrames());
        } else {
            const auto frames = app::ParseFrames(text);
            if (frames.empty() || std::int64_t(frames.size()) > app::kMaxFrames) __builtin_trap();
            for (int f : frames)
                if (f < 0) __builtin_trap();
        }
    } catch (const app::UsageError&) {
    }
    return 0;
}
