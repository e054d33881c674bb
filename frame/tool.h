// What every tool's main file uses besides controls and pixels: the first steps of
// Process, and the registration of the tool at the end of the file.
#pragma once

#include "frame/controls.h"
#include "frame/pixel.h"
#include "host/operator.h"
#include "host/registry.h"
#include "host/resources.h"

#include <cstdint>
#include <memory>
#include <new>

namespace frame {

// What most tools' Process starts with and their workers read: the main input's image, an
// output made like it (same size and depth), the size and the channel scale. A tool keeps
// one as a member (m_main) rather than copies of its parts.
struct MainPair {
    const Image* src = nullptr;
    Image* dst = nullptr;
    int width = 0;
    int height = 0;
    double scale = 1.0;
};

// Reads the main input at the request and makes the output like it. Throws HostError
// when the input holds no image or the output cannot be made.
MainPair Begin(Request* req, Input* main);
// Reads the main input only (for tools whose output size differs).
const Image* MainImage(Request* req, Input* main);
// An image of the given size with the depth of like. The size is passed to the host
// as computed, so a size beyond what the host can hold is refused with HostError rather
// than wrapped around.
Image* NewImageLike(const Image& like, std::int64_t width, std::int64_t height);

// An image a render makes for its own use (a resized or blurred copy, a built-in pattern)
// and gives back before Process returns, however it returns: the owner recycles it.
struct RecycleImage {
    void operator()(Image* image) const { image->Recycle(); }
};
using Temporary = std::unique_ptr<Image, RecycleImage>;

// The values of a tool's registration entry.
struct ToolInfo {
    const char* registryId;
    const char* displayName;
    const char* shortName;
    const char* scriptName;
    int tileBitmap; // kNoTileBitmap for the tools that carry no picture
    const char* builtText;
    const char* helpText;
};

inline constexpr int kNoTileBitmap = 343;

// The tag list of a registration entry, in the host's order.
TagList EntryTags(const ToolInfo& info, const ScriptInfo& script, ToolFactory factory);

// The resources a plug-in carries: version record and, unless the entry names
// kNoTileBitmap, a 160 x 120 24-bit tile picture drawn from the tool's name.
const PluginResources* MakeResources(const ToolInfo& info, const char* version);

// The factory: a new tool object, or null when the memory cannot be had or the
// constructor fails (its memory is then freed again).
template <class Tool>
ThreadedOperator* Factory(Registry* registry, ScriptVal& table, TagList& tags) {
    try {
        return new (std::nothrow) Tool(registry, table, tags);
    } catch (...) {
        return nullptr;
    }
}

} // namespace frame

#ifndef QRVX_PLUGIN_VERSION
#define QRVX_PLUGIN_VERSION "0.9.0.0"
#endif

// Registers the tool: ends every tool's main file. Builds, in this order, the script
// description, the registry ID and the registration entry, which links itself into the
// class registry while the library loads and unlinks when it unloads; and exports the
// plug-in's resources.
#define QRVX_REGISTER_TOOL(ToolClass, ...)                                                         \
    namespace {                                                                                    \
    const frame::ToolInfo kToolInfo{__VA_ARGS__};                                                  \
    const ScriptInfo kScriptInfo(1, kToolInfo.registryId, "", "");                                 \
    const FuID kRegistryId(kToolInfo.registryId);                                                  \
    Registry kRegistration(ClassRegistry::List(), kRegistryId,                                     \
                           frame::EntryTags(kToolInfo, kScriptInfo, &frame::Factory<ToolClass>));  \
    }                                                                                              \
    extern "C" __attribute__((visibility("default"))) const PluginResources* qrvx_resources() {    \
        return frame::MakeResources(kToolInfo, QRVX_PLUGIN_VERSION);                               \
    }
