// The OpenFX bundle, loaded by the project's small OpenFX host (ofx_host.h). Every tool
// is described and rendered through the bundle on both depths with random settings and
// compared bit for bit with a render through the host API.
#include "ofx_host.h"

#include "app/catalog.h"
#include "app/settings.h"
#include "support.h"

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <thread>
#include <variant>

namespace {

// The host API side: the build's plug-ins, loaded once.
const app::Catalog& Reference() {
    static const app::Catalog catalog = app::Catalog::Load(true, {QRVX_PLUGIN_DIR});
    return catalog;
}

std::string ClipName(const std::string& id) {
    std::string out;
    for (char c : id) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            out += c;
        else if (!out.empty() && out.back() != '_')
            out += '_';
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    return out;
}

// ---------------------------------------------------------------------------------------

TEST(Ofx, DescribesEveryToolWithItsControlsInOrder) {
    ASSERT_EQ(Bundle::Get().plugins.size(), 12u);
    for (Registry* entry : Reference().Entries()) {
        const std::string id = entry->ID().Text();
        SCOPED_TRACE(id);
        OfxEffect fx(id);
        const Effect& d = fx.Descriptor();
        EXPECT_EQ(d.props.String(kOfxPropLabel), entry->Text(tag::RegDisplayName));
        EXPECT_EQ(d.props.String(kOfxImageEffectPluginPropGrouping), "qrvx");
        EXPECT_EQ(d.props.String(kOfxPropPluginDescription), entry->Text(tag::RegHelp));
        EXPECT_EQ(d.props.Count(kOfxImageEffectPropSupportedPixelDepths), 2u);
        EXPECT_EQ(d.props.Int(kOfxImageEffectPropSupportsTiles), 0);

        qrvx::Tool tool(*entry);
        std::vector<std::string> controls, clips = {"Source"};
        for (const auto& in : tool.Inputs()) {
            if (!in->IsImage())
                controls.push_back(in->Decl().id);
            else if (in->Decl().id != "Input")
                clips.push_back(ClipName(in->Decl().id));
        }
        clips.push_back("Output");
        EXPECT_EQ(fx.Context(),
                  clips.size() > 2 ? kOfxImageEffectContextGeneral : kOfxImageEffectContextFilter);
        EXPECT_EQ(fx.ContextDescriptor().clipOrder, clips);
        std::vector<std::string> params;
        for (const auto& p : fx.ContextDescriptor().params) {
            if (p->type == kOfxParamTypePage) continue;
            params.push_back(p->name);
            EXPECT_FALSE(p->props.String(kOfxParamPropHint).empty()) << p->name;
            const std::string script = p->props.String(kOfxParamPropScriptName);
            EXPECT_TRUE(std::all_of(script.begin(), script.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
            })) << script;
        }
        EXPECT_EQ(params, controls);
        for (const auto& in : tool.Inputs()) {
            if (!in->IsImage() || in->Decl().id == "Input") continue;
            const Clip& clip = *fx.ContextDescriptor().clips.at(ClipName(in->Decl().id));
            EXPECT_EQ(clip.props.Int(kOfxImageClipPropOptional), in->Decl().required ? 0 : 1);
            EXPECT_EQ(clip.props.String(kOfxPropLabel), in->Decl().name);
        }
    }
}

// A random value for a control that the parameter can hold, as an artist might set it.
app::ControlValue RandomValue(const InputDecl& d, std::mt19937& rng) {
    auto uniform = [&](double a, double b) {
        return std::uniform_real_distribution<double>(a, b)(rng);
    };
    if (d.dataType == "Point") return {true, uniform(0.2, 0.8), uniform(0.2, 0.8)};
    if (d.kind == "CheckboxControl") return {false, double(rng() % 2), 0};
    if (d.kind == "ComboControl") return {false, double(rng() % d.comboEntries.size()), 0};
    double low = d.allowedLow.value_or(d.shownLow.value_or(0));
    double high = d.allowedHigh.value_or(d.shownHigh.value_or(1));
    if (d.wholeNumbers) {
        high = std::min(high, low + 40);
        return {false, std::floor(uniform(low, high + 1 - 1e-9)), 0};
    }
    return {false, uniform(low, high), 0};
}

// One random render through the bundle and through the host API, compared bit for bit.
void CompareRandomRender(Registry& entry, ImageDepth depth, unsigned seed, Layout layout) {
    const std::string id = entry.ID().Text();
    SCOPED_TRACE(id + (depth == ImageDepth::Float32 ? " float" : " short") + " seed " +
                 std::to_string(seed) + (layout.negative ? " negative rows" : "") +
                 (layout.padding ? " padded rows" : ""));
    std::mt19937 rng(seed);
    qrvx::Tool reference(entry);
    OfxEffect fx(id);

    std::vector<std::pair<const Input*, app::ControlValue>> values;
    for (const auto& in : reference.Inputs()) {
        if (in->IsImage()) continue;
        const app::ControlValue v = RandomValue(in->Decl(), rng);
        values.emplace_back(in.get(), v);
        Param& p = fx.ParamNamed(in->Decl().id);
        p.value = v.isPoint ? std::vector<double>{v.x, v.y} : std::vector<double>{v.x};
    }
    app::ApplyValues(reference, values);
    ASSERT_EQ(fx.Create(), kOfxStatOK);

    const int w = 20 + int(rng() % 50), h = 15 + int(rng() % 40);
    std::vector<std::unique_ptr<Image>> images;
    std::vector<Pixels> pixels;
    pixels.reserve(32);
    for (const auto& in : reference.Inputs()) {
        if (!in->IsImage()) continue;
        const InputDecl& d = in->Decl();
        const bool main = d.id == "Input";
        if (!main && !d.required && rng() % 2) continue;
        const bool fullSize = main || d.id == "Throng" || d.id == "Reference";
        const int iw = fullSize ? w : 2 + int(rng() % 10), ih = fullSize ? h : 2 + int(rng() % 10);
        images.push_back(test::NoiseImage(iw, ih, depth, seed * 31 + unsigned(images.size())));
        pixels.push_back(CopyIn(*images.back(), layout));
        reference.Connect(d.id, images.back().get());
        fx.Connect(main ? "Source" : ClipName(d.id), pixels.back(), depth);
    }
    const std::unique_ptr<Image> expected = reference.Render();

    std::optional<Pixels> out;
    const int threadCalls = Host::Get().threadCalls;
    ASSERT_EQ(fx.Render(depth, layout, out), kOfxStatOK);
    EXPECT_TRUE(Host::Get().images.empty()) << "images fetched and not released";
    EXPECT_GT(Host::Get().threadCalls, threadCalls) << "no work ran on the host's threads";
    EXPECT_TRUE(test::SameImage(*out->View(depth), *expected));
    // Nothing was written into the padding between rows.
    for (int y = 0; y < out->height; ++y)
        for (int i = 0; i < layout.padding; ++i)
            ASSERT_EQ(out->Row(y)[std::size_t(out->width) * out->pixelBytes + std::size_t(i)],
                      0x7f);
}

TEST(Ofx, RendersEveryToolOnBothDepthsLikeTheHostApi) {
    for (Registry* entry : Reference().Entries())
        for (ImageDepth depth : test::kDepths)
            for (unsigned seed = 1; seed <= 3; ++seed) CompareRandomRender(*entry, depth, seed, {});
}

TEST(Ofx, ReadsAndWritesRowsOfAnyStepInPlace) {
    for (Registry* entry : Reference().Entries())
        for (ImageDepth depth : test::kDepths) {
            CompareRandomRender(*entry, depth, 7, {.negative = true});
            CompareRandomRender(*entry, depth, 8, {.padding = 12});
            CompareRandomRender(*entry, depth, 9, {.negative = true, .padding = 24});
        }
}

TEST(Ofx, AMissingRequiredClipFailsWithAMessage) {
    for (const char* id : {"Quorvane.QRVX_Throng", "Quorvane.QRVX_Brickwork"}) {
        SCOPED_TRACE(id);
        OfxEffect fx(id);
        ASSERT_EQ(fx.Create(), kOfxStatOK);
        const auto img = test::NoiseImage(16, 12, ImageDepth::Int16);
        const Pixels source = CopyIn(*img, {});
        fx.Connect("Source", source, ImageDepth::Int16);
        Host::Get().messages.clear();
        std::optional<Pixels> out;
        EXPECT_EQ(fx.Render(ImageDepth::Int16, {}, out), kOfxStatFailed);
        ASSERT_FALSE(Host::Get().messages.empty());
        const std::string& m = Host::Get().messages.back();
        EXPECT_NE(m.find(std::string(id) == "Quorvane.QRVX_Throng" ? "\"Throng\""
                                                                   : "\"Tile 1 (required)\""),
                  std::string::npos)
            << m;
        EXPECT_TRUE(Host::Get().images.empty());
    }
}

TEST(Ofx, AnImageTheHostLibraryCannotHoldFailsWithAMessage) {
    OfxEffect fx("Quorvane.QRVX_PanelSim");
    ASSERT_EQ(fx.Create(), kOfxStatOK);
    const auto img = test::NoiseImage(64, 64, ImageDepth::Float32);
    const Pixels source = CopyIn(*img, {});
    fx.Connect("Source", source, ImageDepth::Float32);
    Host::Get().messages.clear();
    qrvx::SetMaxImagePixels(5000); // the panel of a 64 x 64 picture has 24576 pixels
    std::optional<Pixels> out;
    const OfxStatus s = fx.Render(ImageDepth::Float32, {}, out);
    qrvx::SetMaxImagePixels(std::int64_t(1) << 28);
    EXPECT_EQ(s, kOfxStatFailed);
    ASSERT_FALSE(Host::Get().messages.empty());
    EXPECT_NE(Host::Get().messages.back().find("PanelSim"), std::string::npos)
        << Host::Get().messages.back();
    EXPECT_TRUE(Host::Get().images.empty());
}

TEST(Ofx, InstanceChangedLoadsScopeTracePresetsAndHidesControls) {
    OfxEffect fx("Quorvane.QRVX_ScopeTrace");
    ASSERT_EQ(fx.Create(), kOfxStatOK);
    auto secret = [&](const char* name) {
        return fx.ParamNamed(name).props.Int(kOfxParamPropSecret);
    };
    // The parade (the default type) shows the channel stretches.
    fx.ParamNamed("Type").value = {0}; // Luminance
    ASSERT_EQ(Changed(fx.Instance(), "Type", kOfxChangeUserEdited), kOfxStatOK);
    EXPECT_EQ(secret("Y Stretch"), 0);
    EXPECT_EQ(secret("Center"), 0);
    EXPECT_EQ(secret("Y Stretch Red"), 1);
    EXPECT_EQ(secret("Red"), 1);
    EXPECT_EQ(fx.ParamNamed("Center").value, (std::vector<double>{0.5, 0.0}));

    fx.ParamNamed("Y Stretch Green").value = {2.0};
    fx.ParamNamed("Type").value = {4}; // RGBA(parade): loads its stretches and centres
    ASSERT_EQ(Changed(fx.Instance(), "Type", kOfxChangeUserEdited), kOfxStatOK);
    EXPECT_EQ(secret("Y Stretch"), 1);
    EXPECT_EQ(secret("Y Stretch Green"), 0);
    EXPECT_EQ(secret("Red"), 0);
    EXPECT_EQ(fx.ParamNamed("Y Stretch Green").value, (std::vector<double>{0.333333333}));
    EXPECT_EQ(fx.ParamNamed("Center Blue").value, (std::vector<double>{0.5, 0.68}));

    // Another control changes no visibility.
    fx.ParamNamed("Roundness").value = {0.3};
    ASSERT_EQ(Changed(fx.Instance(), "Roundness", kOfxChangeUserEdited), kOfxStatOK);
    EXPECT_EQ(secret("Y Stretch Green"), 0);
    EXPECT_EQ(secret("Y Stretch"), 1);
}

} // namespace
