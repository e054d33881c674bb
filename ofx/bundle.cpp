// The qrvx OpenFX bundle: the twelve tools as image effects of any OpenFX host, driven
// through the host library's app-facing API exactly as the qrvx command drives them (the
// same registry, declarations, values, change notifications and render).
//
// Layout of the bundle: Contents/Linux-x86-64/qrvx.ofx (this file), lib/libqrvxhost.so and
// plugins/QRVX_*.so beside it, found through relative run paths; Resources/<identifier>.png
// holds a tool's tile picture. The tool plug-ins load when the host first asks how many
// effects the binary holds, and every loaded tool is one effect, in display-name order.
//
// Mapping: a tool's main image input is the clip "Source" (filter context; tools with more
// image inputs offer the general context, their other inputs being clips named after the
// input's ID as a plain identifier and labelled with its visible name, optional unless
// the input is required). Every control is a parameter named by its control ID, on pages
// as the tool declares them: checkbox -> Boolean, combo -> Choice, whole-number control ->
// Integer, other numbers -> Double (shown range as display range, allowed range as hard
// range), point -> Double2D in normalised coordinates. The tool object of an instance
// holds the values; a change runs the tool's change notification and what it changes
// (presets, shown or hidden controls) goes back to the host's parameters.
//
// Images: rows are bottom-up in both, so OpenFX row y of an input is the host's row y,
// read in place whatever the row step. The tool renders into its own image, which is
// copied once into the host's output; the tool's bands run on the host's threads.
#include "ofx/api.h"

#include "app/catalog.h"
#include "app/settings.h"
#include "host/cpu.h"
#include "host/session.h"

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#define QRVX_OFX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// ---------------------------------------------------------------------------------------
// The host's suites, fetched in the load action.

OfxHost* g_host = nullptr;
const OfxPropertySuiteV1* g_prop = nullptr;
const OfxImageEffectSuiteV1* g_effect = nullptr;
const OfxParameterSuiteV1* g_param = nullptr;
const OfxMultiThreadSuiteV1* g_thread = nullptr;
const OfxMessageSuiteV1* g_message = nullptr;

// A failure that the action reports with this status (and a message, when there is one).
struct ActionError {
    OfxStatus status;
    std::string message;
};

// A property set through the property suite.
class Props {
public:
    explicit Props(OfxPropertySetHandle h) : m_h(h) {}
    OfxPropertySetHandle Handle() const { return m_h; }

    // Setters ignore the status: a property a host lacks is no reason to fail.
    void Set(const char* name, const std::string& v, int i = 0) const {
        g_prop->propSetString(m_h, name, i, v.c_str());
    }
    void Set(const char* name, const char* v, int i = 0) const {
        g_prop->propSetString(m_h, name, i, v);
    }
    void SetInt(const char* name, int v, int i = 0) const { g_prop->propSetInt(m_h, name, i, v); }
    void SetDouble(const char* name, double v, int i = 0) const {
        g_prop->propSetDouble(m_h, name, i, v);
    }
    void SetPointer(const char* name, void* v) const { g_prop->propSetPointer(m_h, name, 0, v); }
    void SetStrings(const char* name, const std::vector<std::string>& v) const {
        for (std::size_t i = 0; i < v.size(); ++i) Set(name, v[i], int(i));
    }
    void SetDoubles(const char* name, std::initializer_list<double> v) const {
        int i = 0;
        for (double d : v) SetDouble(name, d, i++);
    }

    int GetInt(const char* name, int fallback = 0, int i = 0) const {
        int v = fallback;
        return g_prop->propGetInt(m_h, name, i, &v) == kOfxStatOK ? v : fallback;
    }
    double GetDouble(const char* name, double fallback = 0, int i = 0) const {
        double v = fallback;
        return g_prop->propGetDouble(m_h, name, i, &v) == kOfxStatOK ? v : fallback;
    }
    std::string GetString(const char* name, int i = 0) const {
        char* v = nullptr;
        return g_prop->propGetString(m_h, name, i, &v) == kOfxStatOK && v ? v : "";
    }
    void* GetPointer(const char* name) const {
        void* v = nullptr;
        return g_prop->propGetPointer(m_h, name, 0, &v) == kOfxStatOK ? v : nullptr;
    }

private:
    OfxPropertySetHandle m_h;
};

Props EffectProps(OfxImageEffectHandle effect) {
    OfxPropertySetHandle h = nullptr;
    g_effect->getPropertySet(effect, &h);
    return Props(h);
}

// Posts an error message to the user of an instance (null: no instance).
void Tell(OfxImageEffectHandle instance, const std::string& text) {
    if (g_message)
        g_message->message(instance, kOfxMessageError, "", "%s", text.c_str());
    else
        std::cerr << "qrvx: " << text << "\n";
}

// A clip or script name: the text with every run of other characters than letters and
// digits turned into one "_", none at either end ("Tile 1 (required)" -> "Tile_1_required").
std::string Identifier(const std::string& text) {
    std::string out;
    for (char c : text) {
        const bool plain =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain)
            out += c;
        else if (!out.empty() && out.back() != '_')
            out += '_';
    }
    while (!out.empty() && out.back() == '_') out.pop_back();
    if (out.empty() || (out[0] >= '0' && out[0] <= '9')) out = "p" + out;
    return out;
}

// ---------------------------------------------------------------------------------------
// Work spread over the host's threads.

// Runs work(k) for every k in [0, count) on the threads of the host's multi-thread suite
// and returns when all are done; the first exception a band throws is rethrown here. Runs
// on the calling thread when the host has no such suite or is already inside one.
void OnHostThreads(long count, const std::function<void(long)>& work) {
    struct Shared {
        long count;
        const std::function<void(long)>* work;
        std::atomic<long> next{0};
        std::mutex failureMutex;
        std::exception_ptr failure;
    } shared{count, &work};
    auto run = [](unsigned int, unsigned int, void* arg) {
        auto& s = *static_cast<Shared*>(arg);
        try {
            for (long k; (k = s.next++) < s.count;) (*s.work)(k);
        } catch (...) {
            std::lock_guard lock(s.failureMutex);
            if (!s.failure) s.failure = std::current_exception();
            s.next = s.count; // the other threads stop taking bands
        }
    };
    unsigned int cpus = 1;
    if (g_thread && count > 1 && g_thread->multiThreadNumCPUs(&cpus) == kOfxStatOK && cpus > 1 &&
        g_thread->multiThread(run, unsigned(std::min<long>(cpus, count)), &shared) == kOfxStatOK) {
    } else {
        run(0, 1, &shared); // takes whatever bands are left
    }
    if (shared.failure) std::rethrow_exception(shared.failure);
}

int HostThreadCount() {
    unsigned int cpus = 1;
    if (!g_thread || g_thread->multiThreadNumCPUs(&cpus) != kOfxStatOK || cpus < 1) return 1;
    return int(cpus);
}

// ---------------------------------------------------------------------------------------
// The effects: one per loaded tool.

constexpr int kMaxEffects = 32;

struct Effect {
    Registry* entry = nullptr;
    const PluginResources* resources = nullptr;
    std::string identifier;
    std::vector<std::string> extraClips; // IDs of the image inputs after "Input"
    OfxPlugin plugin{};
};

OfxStatus Dispatch(int index, const char* action, const void* handle, OfxPropertySetHandle in,
                   OfxPropertySetHandle out);

template <int N>
OfxStatus MainEntry(const char* action, const void* handle, OfxPropertySetHandle in,
                    OfxPropertySetHandle out) {
    return Dispatch(N, action, handle, in, out);
}

template <int... N>
constexpr std::array<OfxPluginEntryPoint*, sizeof...(N)>
EntryTable(std::integer_sequence<int, N...>) {
    return {&MainEntry<N>...};
}
constexpr auto kEntries = EntryTable(std::make_integer_sequence<int, kMaxEffects>());

void SetHost(OfxHost* host) { g_host = host; }

// The folder of this binary (Contents/Linux-x86-64).
std::string OwnFolder() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&SetHost), &info) || !info.dli_fname) return ".";
    return std::filesystem::path(info.dli_fname).parent_path().string();
}

class Bundle {
public:
    static Bundle& Get() {
        static Bundle bundle;
        return bundle;
    }
    std::vector<Effect>& Effects() { return m_effects; }

private:
    Bundle() {
        try {
            m_catalog.emplace(app::Catalog::Load(false, {OwnFolder() + "/plugins"}));
        } catch (const std::exception& e) {
            std::cerr << "qrvx.ofx: " << e.what() << "\n";
            return;
        }
        for (Registry* entry : m_catalog->Entries()) {
            if (int(m_effects.size()) == kMaxEffects) break;
            Effect e;
            e.entry = entry;
            e.resources = &m_catalog->PluginOf(*entry).Resources();
            e.identifier = entry->ID().Text();
            qrvx::Tool tool(*entry);
            for (const auto& in : tool.Inputs())
                if (in->IsImage() && in->Decl().id != "Input")
                    e.extraClips.push_back(in->Decl().id);
            m_effects.push_back(std::move(e));
        }
        for (std::size_t i = 0; i < m_effects.size(); ++i) {
            Effect& e = m_effects[i];
            unsigned major = 0, minor = 0;
            std::sscanf(e.resources->fileVersion, "%u.%u", &major, &minor);
            e.plugin = {kOfxImageEffectPluginApi,
                        1,
                        e.identifier.c_str(),
                        major,
                        minor,
                        &SetHost,
                        kEntries[i]};
        }
    }
    std::optional<app::Catalog> m_catalog;
    std::vector<Effect> m_effects;
};

// ---------------------------------------------------------------------------------------
// Controls as parameters.

enum class Kind { Boolean, Choice, Integer, Double, Point };

Kind KindOf(const InputDecl& d) {
    if (d.dataType == "Point") return Kind::Point;
    if (d.kind == "CheckboxControl") return Kind::Boolean;
    if (d.kind == "ComboControl") return Kind::Choice;
    if (d.wholeNumbers) return Kind::Integer;
    return Kind::Double;
}

// A tool's value as the parameter can hold it.
app::ControlValue AsParam(Kind kind, app::ControlValue v) {
    switch (kind) {
    case Kind::Boolean: v.x = v.x > 0 ? 1 : 0; break;
    case Kind::Choice:
    case Kind::Integer:
        v.x = std::isfinite(v.x) ? std::trunc(std::clamp(v.x, -2147483648.0, 2147483647.0)) : 0;
        break;
    default: break;
    }
    return v;
}

app::ControlValue ReadParam(Kind kind, OfxParamHandle p, OfxTime time) {
    app::ControlValue v;
    if (kind == Kind::Point) {
        v.isPoint = true;
        g_param->paramGetValueAtTime(p, time, &v.x, &v.y);
    } else if (kind == Kind::Double) {
        g_param->paramGetValueAtTime(p, time, &v.x);
    } else {
        int i = 0;
        g_param->paramGetValueAtTime(p, time, &i);
        v.x = i;
    }
    return v;
}

void WriteParam(Kind kind, OfxParamHandle p, const app::ControlValue& v) {
    if (kind == Kind::Point)
        g_param->paramSetValue(p, v.x, v.y);
    else if (kind == Kind::Double)
        g_param->paramSetValue(p, v.x);
    else
        g_param->paramSetValue(p, int(v.x));
}

const char* ParamType(Kind kind) {
    switch (kind) {
    case Kind::Boolean: return kOfxParamTypeBoolean;
    case Kind::Choice: return kOfxParamTypeChoice;
    case Kind::Integer: return kOfxParamTypeInteger;
    case Kind::Double: return kOfxParamTypeDouble;
    case Kind::Point: return kOfxParamTypeDouble2D;
    }
    return kOfxParamTypeDouble;
}

// Script names: the control ID as a plain identifier, made unique within the tool.
std::vector<std::string> ScriptNames(const qrvx::Tool& tool) {
    std::vector<std::string> names;
    for (const auto& in : tool.Inputs()) {
        std::string name = Identifier(in->Decl().id);
        for (int n = 2; std::find(names.begin(), names.end(), name) != names.end(); ++n)
            name = Identifier(in->Decl().id) + "_" + std::to_string(n);
        names.push_back(name);
    }
    return names;
}

void DefineParam(OfxParamSetHandle set, const Input& in, const std::string& scriptName) {
    const InputDecl& d = in.Decl();
    const Kind kind = KindOf(d);
    OfxPropertySetHandle h = nullptr;
    if (g_param->paramDefine(set, ParamType(kind), d.id.c_str(), &h) != kOfxStatOK || !h)
        throw ActionError{kOfxStatFailed, "cannot define parameter " + d.id};
    const Props p(h);
    p.Set(kOfxPropLabel, d.name);
    p.Set(kOfxParamPropHint, d.description);
    p.Set(kOfxParamPropScriptName, scriptName);
    p.SetInt(kOfxParamPropSecret, in.IsVisible() ? 0 : 1);
    const app::ControlValue def = AsParam(kind, app::CurrentValue(in));
    switch (kind) {
    case Kind::Boolean: p.SetInt(kOfxParamPropDefault, int(def.x)); break;
    case Kind::Choice:
        p.SetStrings(kOfxParamPropChoiceOption, d.comboEntries);
        p.SetInt(kOfxParamPropDefault, int(def.x));
        break;
    case Kind::Integer:
        p.SetInt(kOfxParamPropDefault, int(def.x));
        if (d.allowedLow && d.allowedHigh) {
            p.SetInt(kOfxParamPropMin, int(*d.allowedLow));
            p.SetInt(kOfxParamPropMax, int(*d.allowedHigh));
        }
        if (d.shownLow && d.shownHigh) {
            p.SetInt(kOfxParamPropDisplayMin, int(*d.shownLow));
            p.SetInt(kOfxParamPropDisplayMax, int(*d.shownHigh));
        }
        break;
    case Kind::Double:
        p.SetDouble(kOfxParamPropDefault, def.x);
        p.Set(kOfxParamPropDoubleType, kOfxParamDoubleTypePlain);
        if (d.allowedLow && d.allowedHigh) {
            p.SetDouble(kOfxParamPropMin, *d.allowedLow);
            p.SetDouble(kOfxParamPropMax, *d.allowedHigh);
        }
        if (d.shownLow && d.shownHigh) {
            p.SetDouble(kOfxParamPropDisplayMin, *d.shownLow);
            p.SetDouble(kOfxParamPropDisplayMax, *d.shownHigh);
            p.SetDouble(kOfxParamPropIncrement, (*d.shownHigh - *d.shownLow) / 100);
        }
        p.SetInt(kOfxParamPropDigits, 3);
        break;
    case Kind::Point:
        p.SetDoubles(kOfxParamPropDefault, {def.x, def.y});
        p.Set(kOfxParamPropDoubleType, kOfxParamDoubleTypePlain);
        p.SetDoubles(kOfxParamPropDisplayMin, {0, 0});
        p.SetDoubles(kOfxParamPropDisplayMax, {1, 1});
        p.SetInt(kOfxParamPropDigits, 3);
        break;
    }
}

// ---------------------------------------------------------------------------------------
// Describing.

bool IsGeneral(const Effect& e) { return !e.extraClips.empty(); }

OfxStatus Describe(const Effect& e, OfxImageEffectHandle descriptor) {
    const Props p = EffectProps(descriptor);
    const std::string name = qrvx::DisplayName(*e.entry);
    const std::vector<std::string> versions = e.entry->Texts(tag::RegVersionText);
    p.Set(kOfxPropLabel, name);
    p.Set(kOfxPropShortLabel, name);
    p.Set(kOfxPropLongLabel, name);
    p.Set(kOfxImageEffectPluginPropGrouping, "qrvx");
    p.Set(kOfxPropPluginDescription, e.entry->Text(tag::RegHelp));
    unsigned v[4] = {0, 0, 0, 0};
    std::sscanf(e.resources->fileVersion, "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]);
    for (int i = 0; i < 4; ++i) p.SetInt(kOfxPropVersion, int(v[i]), i);
    p.Set(kOfxPropVersionLabel, versions.size() > 1 ? versions[1] : e.resources->fileVersion);
    p.Set(kOfxImageEffectPropSupportedContexts,
          IsGeneral(e) ? kOfxImageEffectContextGeneral : kOfxImageEffectContextFilter);
    p.SetStrings(kOfxImageEffectPropSupportedPixelDepths, {kOfxBitDepthShort, kOfxBitDepthFloat});
    p.Set(kOfxImageEffectPluginRenderThreadSafety, kOfxImageEffectRenderInstanceSafe);
    p.SetInt(kOfxImageEffectPluginPropHostFrameThreading, 0);
    p.SetInt(kOfxImageEffectPropSupportsMultiResolution, 1);
    p.SetInt(kOfxImageEffectPropSupportsTiles, 0);
    p.SetInt(kOfxImageEffectPropTemporalClipAccess, 0);
    p.SetInt(kOfxImageEffectPluginPropFieldRenderTwiceAlways, 0);
    return kOfxStatOK;
}

void DefineClip(OfxImageEffectHandle descriptor, const char* name, const std::string& label,
                bool optional) {
    OfxPropertySetHandle h = nullptr;
    if (g_effect->clipDefine(descriptor, name, &h) != kOfxStatOK || !h)
        throw ActionError{kOfxStatFailed, std::string("cannot define clip ") + name};
    const Props p(h);
    p.Set(kOfxImageEffectPropSupportedComponents, kOfxImageComponentRGBA);
    p.Set(kOfxPropLabel, label);
    p.SetInt(kOfxImageClipPropOptional, optional ? 1 : 0);
    p.SetInt(kOfxImageEffectPropSupportsTiles, 0);
    p.SetInt(kOfxImageEffectPropTemporalClipAccess, 0);
    p.Set(kOfxImageClipPropFieldExtraction, kOfxImageFieldBoth);
}

OfxStatus DescribeInContext(const Effect& e, OfxImageEffectHandle descriptor) {
    qrvx::Tool tool(*e.entry);
    for (const auto& in : tool.Inputs()) {
        if (!in->IsImage()) continue;
        const InputDecl& d = in->Decl();
        if (d.id == "Input")
            DefineClip(descriptor, kOfxImageEffectSimpleSourceClipName, d.name, false);
        else
            DefineClip(descriptor, Identifier(d.id).c_str(), d.name, !d.required);
    }
    DefineClip(descriptor, kOfxImageEffectOutputClipName, "Output", false);

    OfxParamSetHandle set = nullptr;
    g_effect->getParamSet(descriptor, &set);
    const std::vector<std::string> scriptNames = ScriptNames(tool);
    std::vector<std::pair<std::string, std::vector<std::string>>> pages;
    for (std::size_t i = 0; i < tool.Inputs().size(); ++i) {
        const Input& in = *tool.Inputs()[i];
        if (in.IsImage()) continue;
        DefineParam(set, in, scriptNames[i]);
        if (pages.empty() || pages.back().first != in.Decl().page)
            pages.emplace_back(in.Decl().page, std::vector<std::string>{});
        pages.back().second.push_back(in.Decl().id);
    }
    for (const auto& [page, children] : pages) {
        const std::string name = "page_" + Identifier(page.empty() ? "Controls" : page);
        OfxPropertySetHandle h = nullptr;
        if (g_param->paramDefine(set, kOfxParamTypePage, name.c_str(), &h) != kOfxStatOK || !h)
            continue; // a page is layout only
        const Props p(h);
        p.Set(kOfxPropLabel, page.empty() ? "Controls" : page);
        p.SetStrings(kOfxParamPropPageChild, children);
    }
    return kOfxStatOK;
}

// ---------------------------------------------------------------------------------------
// Instances.

struct Instance {
    struct Control {
        Input* input;
        Kind kind;
        OfxParamHandle param;
        bool secret;
    };
    struct Clip {
        std::string id; // the input's ID
        OfxImageClipHandle clip;
        bool required;
    };

    const Effect* effect;
    OfxImageEffectHandle handle;
    std::unique_ptr<qrvx::Tool> tool;
    std::vector<Control> controls;
    std::vector<Clip> clips; // "Input" (the clip "Source") first
    OfxImageClipHandle output = nullptr;
    std::recursive_mutex mutex; // setting a parameter in instance-changed comes back here
};

std::string ToolName(const Instance& in) { return qrvx::DisplayName(*in.effect->entry); }

Instance& InstanceOf(OfxImageEffectHandle handle) {
    auto* in = static_cast<Instance*>(EffectProps(handle).GetPointer(kOfxPropInstanceData));
    if (!in) throw ActionError{kOfxStatErrBadHandle, ""};
    return *in;
}

bool Connected(OfxImageClipHandle clip) {
    OfxPropertySetHandle h = nullptr;
    if (!clip || g_effect->clipGetPropertySet(clip, &h) != kOfxStatOK) return false;
    return Props(h).GetInt(kOfxImageClipPropConnected, 0) != 0;
}

std::string ClipDepth(OfxImageClipHandle clip) {
    OfxPropertySetHandle h = nullptr;
    if (!clip || g_effect->clipGetPropertySet(clip, &h) != kOfxStatOK) return "";
    return Props(h).GetString(kOfxImageEffectPropPixelDepth);
}

// Sets the tool's controls to the parameters' values at a time, in declaration order, each
// only when it differs from the tool's (so no notification runs for a control that holds
// its value already); then again, as long as a change notification (a preset) overwrote a
// control set before it, so that the tool ends with exactly the parameters' values.
void PullValues(Instance& in, OfxTime time) {
    for (std::size_t round = 0; round <= in.controls.size(); ++round) {
        bool changed = false;
        for (const Instance::Control& c : in.controls) {
            const app::ControlValue v = ReadParam(c.kind, c.param, time);
            if (AsParam(c.kind, app::CurrentValue(*c.input)) == v) continue;
            app::SetValue(*in.tool, *c.input, v);
            changed = true;
        }
        if (!changed) return;
    }
}

// Hands what the tool's change notifications changed back to the host: values (presets)
// and shown or hidden controls.
void PushChanges(Instance& in, OfxTime time) {
    for (Instance::Control& c : in.controls) {
        const app::ControlValue v = AsParam(c.kind, app::CurrentValue(*c.input));
        if (!(ReadParam(c.kind, c.param, time) == v)) WriteParam(c.kind, c.param, v);
        const bool secret = !c.input->IsVisible();
        if (secret != c.secret) {
            OfxPropertySetHandle h = nullptr;
            if (g_param->paramGetPropertySet(c.param, &h) == kOfxStatOK)
                Props(h).SetInt(kOfxParamPropSecret, secret ? 1 : 0);
            c.secret = secret;
        }
    }
}

OfxStatus CreateInstance(const Effect& e, OfxImageEffectHandle handle) {
    auto in = std::make_unique<Instance>();
    in->effect = &e;
    in->handle = handle;
    in->tool = std::make_unique<qrvx::Tool>(*e.entry);
    OfxParamSetHandle set = nullptr;
    g_effect->getParamSet(handle, &set);
    for (const auto& input : in->tool->Inputs()) {
        const InputDecl& d = input->Decl();
        if (input->IsImage()) {
            const std::string name =
                d.id == "Input" ? kOfxImageEffectSimpleSourceClipName : Identifier(d.id);
            OfxImageClipHandle clip = nullptr;
            g_effect->clipGetHandle(handle, name.c_str(), &clip, nullptr);
            in->clips.push_back({d.id, clip, d.required});
            continue;
        }
        OfxParamHandle param = nullptr;
        if (g_param->paramGetHandle(set, d.id.c_str(), &param, nullptr) != kOfxStatOK || !param)
            throw ActionError{kOfxStatFailed, ToolName(*in) + ": no parameter " + d.id};
        in->controls.push_back({input.get(), KindOf(d), param, !input->IsVisible()});
    }
    g_effect->clipGetHandle(handle, kOfxImageEffectOutputClipName, &in->output, nullptr);
    // A saved setup's values are in the parameters already.
    PullValues(*in, 0);
    PushChanges(*in, 0);
    EffectProps(handle).SetPointer(kOfxPropInstanceData, in.release());
    return kOfxStatOK;
}

OfxStatus DestroyInstance(OfxImageEffectHandle handle) {
    delete &InstanceOf(handle);
    EffectProps(handle).SetPointer(kOfxPropInstanceData, nullptr);
    return kOfxStatOK;
}

OfxStatus InstanceChanged(OfxImageEffectHandle handle, Props args) {
    if (args.GetString(kOfxPropType) != kOfxTypeParameter) return kOfxStatReplyDefault;
    Instance& in = InstanceOf(handle);
    std::lock_guard lock(in.mutex);
    const std::string name = args.GetString(kOfxPropName);
    const OfxTime time = args.GetDouble(kOfxPropTime);
    for (const Instance::Control& c : in.controls)
        if (c.input->Decl().id == name) {
            const app::ControlValue v = ReadParam(c.kind, c.param, time);
            if (!(AsParam(c.kind, app::CurrentValue(*c.input)) == v))
                app::SetValue(*in.tool, *c.input, v);
            PushChanges(in, time);
            return kOfxStatOK;
        }
    return kOfxStatReplyDefault;
}

OfxStatus ClipPreferences(OfxImageEffectHandle handle, Props out) {
    Instance& in = InstanceOf(handle);
    for (const Instance::Clip& c : in.clips) {
        const std::string name =
            c.id == "Input" ? kOfxImageEffectSimpleSourceClipName : Identifier(c.id);
        if (Connected(c.clip))
            out.Set(("OfxImageClipPropComponents_" + name).c_str(), kOfxImageComponentRGBA);
    }
    return kOfxStatOK;
}

// The images connected for one render or size probe, disconnected again when it ends.
class Connections {
public:
    explicit Connections(Instance& in) : m_in(in) {}
    ~Connections() {
        for (const std::string& id : m_ids) m_in.tool->Connect(id, nullptr);
        for (OfxPropertySetHandle h : m_fetched) g_effect->clipReleaseImage(h);
    }
    Connections(const Connections&) = delete;
    Connections& operator=(const Connections&) = delete;

    void Connect(const std::string& id, std::unique_ptr<Image> image) {
        m_in.tool->Connect(id, image.get());
        m_ids.push_back(id);
        m_images.push_back(std::move(image));
    }
    void Fetched(OfxPropertySetHandle h) { m_fetched.push_back(h); }

private:
    Instance& m_in;
    std::vector<std::string> m_ids;
    std::vector<std::unique_ptr<Image>> m_images;
    std::vector<OfxPropertySetHandle> m_fetched;
};

ImageDepth DepthOf(const std::string& depth) {
    return depth == kOfxBitDepthFloat ? ImageDepth::Float32 : ImageDepth::Int16;
}

OfxRectD ClipRoD(OfxImageClipHandle clip, OfxTime time) {
    OfxRectD r{0, 0, 0, 0};
    g_effect->clipGetRegionOfDefinition(clip, time, &r);
    return r;
}

// The required image inputs must be connected; names the first one that is not. The
// other inputs follow the rule every client shares (app::MissingImageInputs); the source
// clip, which that rule leaves to each client, is checked here.
void CheckRequired(const Instance& in) {
    std::vector<std::string> connected;
    std::vector<std::string> missing;
    for (const Instance::Clip& c : in.clips) {
        if (Connected(c.clip))
            connected.push_back(c.id);
        else if (c.id == "Input" && c.required)
            missing.push_back(c.id);
    }
    if (missing.empty()) missing = app::MissingImageInputs(*in.tool, connected);
    if (!missing.empty())
        throw ActionError{kOfxStatFailed, ToolName(in) + ": the required image input \"" +
                                              missing.front() + "\" is not connected"};
}

// The size of the tool's output for the connected inputs' sizes and the parameters at a
// time: the tool's Process runs with stand-in images of those sizes and without its
// workers.
std::pair<int, int> OutputSize(Instance& in, OfxTime time) {
    CheckRequired(in);
    Connections connections(in);
    for (const Instance::Clip& c : in.clips) {
        if (!Connected(c.clip)) continue;
        const OfxRectD r = ClipRoD(c.clip, time);
        const int w = int(std::lround(r.x2 - r.x1)), h = int(std::lround(r.y2 - r.y1));
        connections.Connect(c.id, qrvx::MakeImage(w, h, DepthOf(ClipDepth(c.clip))));
    }
    PullValues(in, time);
    return in.tool->OutputSize(time);
}

OfxStatus RegionOfDefinition(OfxImageEffectHandle handle, Props args, Props out) {
    Instance& in = InstanceOf(handle);
    std::lock_guard lock(in.mutex);
    const OfxTime time = args.GetDouble(kOfxPropTime);
    const OfxRectD source = ClipRoD(in.clips.front().clip, time);
    const auto [w, h] = OutputSize(in, time);
    out.SetDoubles(kOfxImageEffectPropRegionOfDefinition,
                   {source.x1, source.y1, source.x1 + w, source.y1 + h});
    return kOfxStatOK;
}

OfxStatus RegionsOfInterest(OfxImageEffectHandle handle, Props args, Props out) {
    Instance& in = InstanceOf(handle);
    const OfxTime time = args.GetDouble(kOfxPropTime);
    for (const Instance::Clip& c : in.clips) {
        if (!Connected(c.clip)) continue;
        const OfxRectD r = ClipRoD(c.clip, time);
        const std::string name =
            c.id == "Input" ? kOfxImageEffectSimpleSourceClipName : Identifier(c.id);
        out.SetDoubles(("OfxImageClipPropRoI_" + name).c_str(), {r.x1, r.y1, r.x2, r.y2});
    }
    return kOfxStatOK;
}

// An image the host gave: its pixel rectangle, first pixel, row step and depth.
struct HostImage {
    OfxRectI bounds{};
    char* data = nullptr;
    std::ptrdiff_t rowBytes = 0;
    ImageDepth depth = ImageDepth::Int16;
};

HostImage ReadImage(const std::string& tool, const std::string& clip, OfxPropertySetHandle h) {
    const Props p(h);
    HostImage img;
    for (int i = 0; i < 4; ++i) (&img.bounds.x1)[i] = p.GetInt(kOfxImagePropBounds, 0, i);
    img.data = static_cast<char*>(p.GetPointer(kOfxImagePropData));
    img.rowBytes = p.GetInt(kOfxImagePropRowBytes);
    const std::string depth = p.GetString(kOfxImageEffectPropPixelDepth);
    const std::string components = p.GetString(kOfxImageEffectPropComponents);
    if ((depth != kOfxBitDepthShort && depth != kOfxBitDepthFloat) ||
        components != kOfxImageComponentRGBA)
        throw ActionError{kOfxStatErrImageFormat,
                          tool + ": clip \"" + clip + "\" gives " + components + " " + depth +
                              " pixels; this tool takes RGBA of 16-bit (short) or float depth"};
    img.depth = DepthOf(depth);
    if (!img.data || img.bounds.x2 <= img.bounds.x1 || img.bounds.y2 <= img.bounds.y1)
        throw ActionError{kOfxStatFailed, tool + ": clip \"" + clip + "\" gives an empty image"};
    return img;
}

// Copies the tool's output (its row 0 at the output's y origin) into the host's output
// image over the render window, zero where the tool's output does not reach. The rows go
// in streamed (host::CopyStreamed): the host's image is written once and read by the
// host, not by the copy, so reading it into the caches first would only add traffic.
void CopyOut(const Image& src, int originX, int originY, const HostImage& dst,
             const OfxRectI& window) {
    const OfxRectI w{std::max(window.x1, dst.bounds.x1), std::max(window.y1, dst.bounds.y1),
                     std::min(window.x2, dst.bounds.x2), std::min(window.y2, dst.bounds.y2)};
    if (w.x2 <= w.x1 || w.y2 <= w.y1) return;
    const std::size_t px = std::size_t(src.Stride());
    const long rows = w.y2 - w.y1;
    const long bands = std::min<long>(rows, 4L * HostThreadCount());
    OnHostThreads(bands, [&](long k) {
        for (long y = w.y1 + rows * k / bands; y < w.y1 + rows * (k + 1) / bands; ++y) {
            char* out = dst.data + std::ptrdiff_t(y - dst.bounds.y1) * dst.rowBytes +
                        std::ptrdiff_t(w.x1 - dst.bounds.x1) * std::ptrdiff_t(px);
            const long sy = y - originY;
            long a = std::clamp<long>(originX, w.x1, w.x2);
            long b = std::clamp<long>(long(originX) + src.Width(), w.x1, w.x2);
            if (sy < 0 || sy >= src.Height()) a = b = w.x2;
            std::memset(out, 0, std::size_t(a - w.x1) * px);
            if (b > a)
                host::CopyStreamed(out + (a - w.x1) * px,
                                   src.Row<char>(int(sy)) + std::size_t(a - originX) * px,
                                   std::size_t(b - a) * px);
            std::memset(out + (std::max(a, b) - w.x1) * px, 0,
                        std::size_t(w.x2 - std::max(a, b)) * px);
        }
        host::FenceStreamed(); // the streamed rows are in memory before the band counts as done
    });
}

OfxStatus Render(OfxImageEffectHandle handle, Props args) {
    Instance& in = InstanceOf(handle);
    std::lock_guard lock(in.mutex);
    const std::string tool = ToolName(in);
    const OfxTime time = args.GetDouble(kOfxPropTime);
    OfxRectI window{};
    for (int i = 0; i < 4; ++i)
        (&window.x1)[i] = args.GetInt(kOfxImageEffectPropRenderWindow, 0, i);
    CheckRequired(in);

    Connections connections(in);
    ImageDepth depth = ImageDepth::Int16;
    for (const Instance::Clip& c : in.clips) {
        if (!Connected(c.clip)) continue;
        OfxPropertySetHandle h = nullptr;
        if (g_effect->clipGetImage(c.clip, time, nullptr, &h) != kOfxStatOK || !h) {
            if (c.required)
                throw ActionError{kOfxStatFailed,
                                  tool + ": the host gave no image for \"" + c.id + "\""};
            continue;
        }
        connections.Fetched(h);
        const HostImage img = ReadImage(tool, c.id, h);
        if (c.id == "Input") depth = img.depth;
        connections.Connect(c.id, qrvx::ImageOver(img.bounds.x2 - img.bounds.x1,
                                                  img.bounds.y2 - img.bounds.y1, img.depth,
                                                  img.data, img.rowBytes));
    }
    PullValues(in, time);

    std::unique_ptr<Image> result;
    {
        qrvx::BandRunnerScope runner(&OnHostThreads, HostThreadCount());
        result = in.tool->Render(time);
    }

    OfxPropertySetHandle outHandle = nullptr;
    if (g_effect->clipGetImage(in.output, time, nullptr, &outHandle) != kOfxStatOK || !outHandle)
        throw ActionError{kOfxStatFailed, tool + ": the host gave no output image"};
    connections.Fetched(outHandle);
    const HostImage out = ReadImage(tool, "Output", outHandle);
    if (out.depth != depth || result->Depth() != depth)
        throw ActionError{kOfxStatErrImageFormat,
                          tool + ": the output clip's depth differs from the Source's"};
    const OfxRectD source = ClipRoD(in.clips.front().clip, time);
    CopyOut(*result, int(std::lround(source.x1)), int(std::lround(source.y1)), out, window);
    return kOfxStatOK;
}

// ---------------------------------------------------------------------------------------

OfxStatus Load() {
    if (!g_host) return kOfxStatErrMissingHostFeature;
    g_prop = static_cast<const OfxPropertySuiteV1*>(
        g_host->fetchSuite(g_host->host, kOfxPropertySuite, 1));
    g_effect = static_cast<const OfxImageEffectSuiteV1*>(
        g_host->fetchSuite(g_host->host, kOfxImageEffectSuite, 1));
    g_param = static_cast<const OfxParameterSuiteV1*>(
        g_host->fetchSuite(g_host->host, kOfxParameterSuite, 1));
    g_thread = static_cast<const OfxMultiThreadSuiteV1*>(
        g_host->fetchSuite(g_host->host, kOfxMultiThreadSuite, 1));
    g_message = static_cast<const OfxMessageSuiteV1*>(
        g_host->fetchSuite(g_host->host, kOfxMessageSuite, 1));
    if (!g_prop || !g_effect || !g_param) return kOfxStatErrMissingHostFeature;
    return kOfxStatOK;
}

OfxStatus Dispatch(int index, const char* action, const void* handle, OfxPropertySetHandle in,
                   OfxPropertySetHandle out) {
    auto effect = static_cast<OfxImageEffectHandle>(const_cast<void*>(handle));
    const std::string a = action ? action : "";
    // Messages go to an instance only: descriptors are not (pitfall of some hosts).
    const bool isInstance = a != kOfxActionLoad && a != kOfxActionUnload &&
                            a != kOfxActionDescribe && a != kOfxImageEffectActionDescribeInContext;
    try {
        std::vector<Effect>& effects = Bundle::Get().Effects();
        if (index < 0 || index >= int(effects.size())) return kOfxStatErrFatal;
        const Effect& e = effects[std::size_t(index)];
        if (a == kOfxActionLoad) return Load();
        if (a == kOfxActionUnload) return kOfxStatOK;
        if (!g_prop) return kOfxStatErrFatal; // no load action came first
        if (a == kOfxActionDescribe) return Describe(e, effect);
        if (a == kOfxImageEffectActionDescribeInContext) return DescribeInContext(e, effect);
        if (a == kOfxActionCreateInstance) return CreateInstance(e, effect);
        if (a == kOfxActionDestroyInstance) return DestroyInstance(effect);
        if (a == kOfxActionInstanceChanged) return InstanceChanged(effect, Props(in));
        if (a == kOfxImageEffectActionGetClipPreferences)
            return ClipPreferences(effect, Props(out));
        if (a == kOfxImageEffectActionGetRegionOfDefinition)
            return RegionOfDefinition(effect, Props(in), Props(out));
        if (a == kOfxImageEffectActionGetRegionsOfInterest)
            return RegionsOfInterest(effect, Props(in), Props(out));
        if (a == kOfxImageEffectActionRender) return Render(effect, Props(in));
        return kOfxStatReplyDefault;
    } catch (const ActionError& e) {
        if (!e.message.empty()) Tell(isInstance ? effect : nullptr, e.message);
        return e.status;
    } catch (const std::bad_alloc&) {
        Tell(isInstance ? effect : nullptr, "qrvx: out of memory");
        return kOfxStatErrMemory;
    } catch (const std::exception& e) {
        Tell(isInstance ? effect : nullptr, e.what());
        return kOfxStatFailed;
    } catch (...) {
        Tell(isInstance ? effect : nullptr, "qrvx: unknown failure");
        return kOfxStatFailed;
    }
}

} // namespace

QRVX_OFX_EXPORT int OfxGetNumberOfPlugins(void) {
    try {
        return int(Bundle::Get().Effects().size());
    } catch (...) {
        return 0;
    }
}

QRVX_OFX_EXPORT OfxPlugin* OfxGetPlugin(int nth) {
    try {
        std::vector<Effect>& effects = Bundle::Get().Effects();
        if (nth < 0 || nth >= int(effects.size())) return nullptr;
        return &effects[std::size_t(nth)].plugin;
    } catch (...) {
        return nullptr;
    }
}
