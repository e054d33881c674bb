// Shared by the fuzzers: every plug-in in the build's plug-in folder, loaded once, so that a
// fuzzer picks a tool by its index among them and covers tools added later too.
#pragma once

#include "host/session.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <memory>
#include <vector>

namespace fuzz {

// The registry entries of every plug-in loaded from QRVX_PLUGIN_DIR, sorted by file name.
inline const std::vector<Registry*>& Entries() {
    static const auto entries = [] {
        static std::vector<std::unique_ptr<qrvx::Plugin>> plugins;
        std::vector<Registry*> all;
        for (const auto& file : qrvx::FindPluginFiles(QRVX_PLUGIN_DIR)) {
            plugins.push_back(qrvx::Plugin::Load(file));
            for (Registry* e : plugins.back()->Entries()) all.push_back(e);
        }
        if (all.empty()) __builtin_trap(); // nothing to fuzz: the build is incomplete
        return all;
    }();
    return entries;
}

// A new tool, picked by the input.
inline std::unique_ptr<qrvx::Tool> PickTool(FuzzedDataProvider& data) {
    const auto& entries = Entries();
    return std::make_unique<qrvx::Tool>(
        *entries[data.ConsumeIntegralInRange<std::size_t>(0, entries.size() - 1)]);
}

} // namespace fuzz
