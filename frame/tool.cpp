#include "frame/tool.h"

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace frame {

const Image* MainImage(Request* req, Input* main) {
    const Image* src = ImageAt(main, req);
    if (!src) throw HostError("\"" + main->Decl().id + "\" has no image");
    return src;
}

MainPair Begin(Request* req, Input* main) {
    const Image* src = MainImage(req, main);
    Image* dst = NewImage({{tag::ImgTemplate, static_cast<const void*>(src)}});
    return {src, dst, src->Width(), src->Height(), ChannelScale(*src)};
}

Image* NewImageLike(const Image& like, std::int64_t width, std::int64_t height) {
    return NewImage({{tag::ImgTemplate, static_cast<const void*>(&like)},
                     {tag::ImgWidth, width},
                     {tag::ImgHeight, height}});
}

TagList EntryTags(const ToolInfo& info, const ScriptInfo& script, ToolFactory factory) {
    return {
        {tag::RegInit, reinterpret_cast<const void*>(&Operator::RegInit)},
        {tag::RegCleanup, reinterpret_cast<const void*>(&Operator::RegCleanup)},
        {tag::RegVersion, 3},
        {tag::RegVersionText, info.builtText},
        {tag::RegParentClass, static_cast<const void*>(&ThreadedOperator::ClassID)},
        {tag::RegScriptInfo, static_cast<const void*>(&script)},
        {tag::RegFactory, reinterpret_cast<const void*>(factory)},
        {tag::RegTileBitmap, info.tileBitmap},
        {tag::RegCompany, "Quorvane"},
        {tag::RegDisplayName, info.displayName},
        {tag::RegShortName, info.shortName},
        {tag::RegScriptName, info.scriptName},
        {tag::RegHelp, info.helpText},
        {tag::RegVersionText, "V0.9 public Beta"},
        {tag::RegMaker, "Quorvane"},
        {tag::RegWebAddress, "https://qrvx.invalid/"},
    };
}

namespace {

constexpr int kTileW = 160, kTileH = 120;

// A tile picture of the tool's own: diagonal bands in two colours taken from the name,
// behind a darker frame. Deterministic, 24 bits, rows top first, B, G, R.
std::vector<std::uint8_t> DrawTile(const std::string& name) {
    unsigned hash = 2166136261u;
    for (unsigned char c : name) hash = (hash ^ c) * 16777619u;
    const std::uint8_t a[3] = {std::uint8_t(hash), std::uint8_t(hash >> 8),
                               std::uint8_t(hash >> 16)};
    const std::uint8_t b[3] = {std::uint8_t(255 - a[0]), std::uint8_t(255 - a[1]),
                               std::uint8_t(255 - a[2])};
    std::vector<std::uint8_t> px(std::size_t(kTileW) * kTileH * 3);
    for (int y = 0; y < kTileH; ++y) {
        for (int x = 0; x < kTileW; ++x) {
            const bool border = x < 4 || y < 4 || x >= kTileW - 4 || y >= kTileH - 4;
            const std::uint8_t* c = ((x + y) / 16) % 2 ? a : b;
            std::uint8_t* p = &px[(std::size_t(y) * kTileW + x) * 3];
            for (int k = 0; k < 3; ++k) p[k] = border ? std::uint8_t(c[k] / 4) : c[k];
        }
    }
    return px;
}

} // namespace

const PluginResources* MakeResources(const ToolInfo& info, const char* version) {
    static const std::vector<std::uint8_t> tile =
        info.tileBitmap == kNoTileBitmap ? std::vector<std::uint8_t>() : DrawTile(info.displayName);
    static const PluginResources resources{
        version,
        version,
        "public Beta",
        "public Beta",
        info.tileBitmap,
        tile.empty() ? 0 : kTileW,
        tile.empty() ? 0 : kTileH,
        tile.empty() ? nullptr : tile.data(),
    };
    return &resources;
}

} // namespace frame
