// Settings files of any content loaded into any tool. A bad file must throw the command's
// usage error and leave the tool as it was; a good one must set values that the tool's
// saved settings reproduce.
#include "plugins.h"

#include "app/errors.h"
#include "app/settings.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace {

const std::string& ScratchPath() {
    static const std::string path =
        "/tmp/qrvx-settings-fuzz-" + std::to_string(::getpid()) + ".json";
    return path;
}

void Write(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) __builtin_trap();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    auto tool = fuzz::PickTool(data);
    const auto before = app::SettingsJson(*tool);
    Write(ScratchPath(), data.ConsumeRemainingBytesAsString());
    try {
        app::LoadSettings(*tool, ScratchPath());
    } catch (const app::UsageError&) {
        if (app::SettingsJson(*tool) != before) __builtin_trap(); // changed on a refusal
        return 0;
    }
    // Loaded: saving and loading again into a fresh tool gives the same values.
    const auto loaded = app::SettingsJson(*tool);
    Write(ScratchPath(), loaded.dump());
    qrvx::Tool again(tool->Entry());
    app::LoadSettings(again, ScratchPath());
    if (app::SettingsJson(again) != loaded) __builtin_trap();
    return 0;
}
