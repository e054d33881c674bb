// A small OpenFX host of the project's own, for the bundle's tests and its benchmark: the
// suites a host gives (properties, image effect, parameters, multi-thread, message),
// images laid out as a host chooses (bottom-up, rows of any step and padding), and the
// actions in the order hosts send them. Included by one source file of each program
// (QRVX_OFX_BINARY names the bundle's binary, QRVX_PLUGIN_DIR the build's plug-ins).
#pragma once

#include "ofx/api.h"

#include "host/image.h"
#include "host/session.h"

#include <dlfcn.h>
#include <sys/mman.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace {

// ---------------------------------------------------------------------------------------
// Properties.

using Value = std::variant<int, double, std::string, void*>;

struct PropertySet {
    std::map<std::string, std::vector<Value>> values;

    template <class T>
    OfxStatus Set(const char* name, int i, T v) {
        auto& list = values[name];
        if (i < 0 || i > int(list.size())) return kOfxStatErrBadIndex;
        if (i == int(list.size()))
            list.emplace_back(v);
        else
            list[std::size_t(i)] = v;
        return kOfxStatOK;
    }
    template <class T>
    OfxStatus Get(const char* name, int i, T* out) {
        auto it = values.find(name);
        if (it == values.end()) return kOfxStatErrUnknown;
        if (i < 0 || i >= int(it->second.size())) return kOfxStatErrBadIndex;
        if (!std::holds_alternative<T>(it->second[std::size_t(i)])) return kOfxStatErrUnknown;
        *out = std::get<T>(it->second[std::size_t(i)]);
        return kOfxStatOK;
    }
    // Test-side reads.
    int Int(const std::string& name, int i = 0) const {
        return std::get<int>(values.at(name).at(std::size_t(i)));
    }
    double Double(const std::string& name, int i = 0) const {
        return std::get<double>(values.at(name).at(std::size_t(i)));
    }
    std::string String(const std::string& name, int i = 0) const {
        return std::get<std::string>(values.at(name).at(std::size_t(i)));
    }
    bool Has(const std::string& name) const { return values.count(name) > 0; }
    std::size_t Count(const std::string& name) const {
        return values.count(name) ? values.at(name).size() : 0;
    }
};

PropertySet* P(OfxPropertySetHandle h) { return reinterpret_cast<PropertySet*>(h); }
OfxPropertySetHandle H(PropertySet* p) { return reinterpret_cast<OfxPropertySetHandle>(p); }

OfxPropertySuiteV1 MakePropertySuite() {
    OfxPropertySuiteV1 s{};
    s.propSetPointer = [](OfxPropertySetHandle h, const char* n, int i, void* v) {
        return P(h)->Set(n, i, v);
    };
    s.propSetString = [](OfxPropertySetHandle h, const char* n, int i, const char* v) {
        return P(h)->Set(n, i, std::string(v));
    };
    s.propSetDouble = [](OfxPropertySetHandle h, const char* n, int i, double v) {
        return P(h)->Set(n, i, v);
    };
    s.propSetInt = [](OfxPropertySetHandle h, const char* n, int i, int v) {
        return P(h)->Set(n, i, v);
    };
    s.propSetPointerN = [](OfxPropertySetHandle h, const char* n, int c, void* const* v) {
        for (int i = 0; i < c; ++i) P(h)->Set(n, i, v[i]);
        return kOfxStatOK;
    };
    s.propSetStringN = [](OfxPropertySetHandle h, const char* n, int c, const char* const* v) {
        for (int i = 0; i < c; ++i) P(h)->Set(n, i, std::string(v[i]));
        return kOfxStatOK;
    };
    s.propSetDoubleN = [](OfxPropertySetHandle h, const char* n, int c, const double* v) {
        for (int i = 0; i < c; ++i) P(h)->Set(n, i, v[i]);
        return kOfxStatOK;
    };
    s.propSetIntN = [](OfxPropertySetHandle h, const char* n, int c, const int* v) {
        for (int i = 0; i < c; ++i) P(h)->Set(n, i, v[i]);
        return kOfxStatOK;
    };
    s.propGetPointer = [](OfxPropertySetHandle h, const char* n, int i, void** v) {
        return P(h)->Get(n, i, v);
    };
    s.propGetString = [](OfxPropertySetHandle h, const char* n, int i, char** v) {
        auto it = P(h)->values.find(n);
        if (it == P(h)->values.end() || i < 0 || i >= int(it->second.size()) ||
            !std::holds_alternative<std::string>(it->second[std::size_t(i)]))
            return kOfxStatErrUnknown;
        *v = std::get<std::string>(it->second[std::size_t(i)]).data();
        return kOfxStatOK;
    };
    s.propGetDouble = [](OfxPropertySetHandle h, const char* n, int i, double* v) {
        return P(h)->Get(n, i, v);
    };
    s.propGetInt = [](OfxPropertySetHandle h, const char* n, int i, int* v) {
        return P(h)->Get(n, i, v);
    };
    s.propGetDimension = [](OfxPropertySetHandle h, const char* n, int* c) {
        *c = int(P(h)->Count(n));
        return kOfxStatOK;
    };
    return s;
}

// ---------------------------------------------------------------------------------------
// Effects, clips, parameters and images.

struct Effect;

struct Param {
    std::string type, name;
    PropertySet props;
    std::vector<double> value; // one per dimension
    Effect* owner = nullptr;   // the instance, once it is one
};

struct Clip {
    std::string name;
    PropertySet props;
    Effect* owner = nullptr;
    // What is connected: the pixels of one image, laid out as the host laid them out.
    bool connected = false;
    OfxRectI bounds{};
    char* data = nullptr;
    int rowBytes = 0;
    std::string depth;
};

struct Effect {
    PropertySet props;
    PropertySet paramSetProps;
    std::vector<std::unique_ptr<Param>> params;
    std::map<std::string, std::unique_ptr<Clip>> clips;
    std::vector<std::string> clipOrder;
    OfxPluginEntryPoint* entry = nullptr;
    Param* Find(const std::string& name) {
        for (auto& p : params)
            if (p->name == name) return p.get();
        return nullptr;
    }
};

// One host: what the bundle's suites reach. The host is a singleton, as a process has one.
struct Host {
    PropertySet hostProps;
    OfxHost ofxHost{};
    OfxPropertySuiteV1 props = MakePropertySuite();
    OfxImageEffectSuiteV1 effectSuite{};
    OfxParameterSuiteV1 paramSuite{};
    OfxMultiThreadSuiteV1 threadSuite{};
    OfxMessageSuiteV1 messageSuite{};
    std::vector<std::string> messages;
    std::vector<std::unique_ptr<PropertySet>> images; // fetched and not released
    int threadCalls = 0;
    unsigned cpus = 3; // the threads it offers (3 in the tests: more than the bands of some)
    static Host& Get();
};

Effect* E(OfxImageEffectHandle h) { return reinterpret_cast<Effect*>(h); }
Effect* E(OfxParamSetHandle h) { return reinterpret_cast<Effect*>(h); }
Param* PA(OfxParamHandle h) { return reinterpret_cast<Param*>(h); }

// Sends instance-changed for a parameter, as a host does after a value changes.
OfxStatus Changed(Effect& e, const std::string& name, const char* reason) {
    PropertySet in;
    in.Set(kOfxPropType, 0, std::string(kOfxTypeParameter));
    in.Set(kOfxPropName, 0, name);
    in.Set(kOfxPropChangeReason, 0, std::string(reason));
    in.Set(kOfxPropTime, 0, 0.0);
    in.Set(kOfxImageEffectPropRenderScale, 0, 1.0);
    in.Set(kOfxImageEffectPropRenderScale, 1, 1.0);
    return e.entry(kOfxActionInstanceChanged, &e, H(&in), nullptr);
}

bool IsInt(const std::string& type) {
    return type == kOfxParamTypeBoolean || type == kOfxParamTypeChoice ||
           type == kOfxParamTypeInteger;
}

OfxStatus GetValues(OfxParamHandle h, va_list ap) {
    Param* p = PA(h);
    if (p->type == kOfxParamTypePage) return kOfxStatErrBadHandle;
    for (double v : p->value) {
        if (IsInt(p->type))
            *va_arg(ap, int*) = int(v);
        else
            *va_arg(ap, double*) = v;
    }
    return kOfxStatOK;
}

OfxStatus GetValue(OfxParamHandle h, ...) {
    va_list ap;
    va_start(ap, h);
    const OfxStatus s = GetValues(h, ap);
    va_end(ap);
    return s;
}

OfxStatus GetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
    va_list ap;
    va_start(ap, time);
    const OfxStatus s = GetValues(h, ap);
    va_end(ap);
    return s;
}

// A value the plug-in sets; the host then tells the plug-in, as hosts do.
OfxStatus SetValue(OfxParamHandle h, ...) {
    Param* p = PA(h);
    va_list ap;
    va_start(ap, h);
    for (double& v : p->value) v = IsInt(p->type) ? va_arg(ap, int) : va_arg(ap, double);
    va_end(ap);
    if (p->owner) Changed(*p->owner, p->name, kOfxChangePluginEdited);
    return kOfxStatOK;
}

OfxStatus Message(void*, const char*, const char*, const char* format, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    Host::Get().messages.push_back(text);
    return kOfxStatOK;
}

Host& Host::Get() {
    static Host host;
    static bool made = false;
    if (made) return host;
    made = true;
    host.ofxHost.host = H(&host.hostProps);
    host.hostProps.Set(kOfxPropName, 0, std::string("qrvx.testhost"));
    host.ofxHost.fetchSuite = [](OfxPropertySetHandle, const char* name,
                                 int version) -> const void* {
        Host& h = Host::Get();
        const std::string n = name;
        if (n == kOfxPropertySuite && version == 1) return &h.props;
        if (n == kOfxImageEffectSuite && version == 1) return &h.effectSuite;
        if (n == kOfxParameterSuite && version == 1) return &h.paramSuite;
        if (n == kOfxMultiThreadSuite && version == 1) return &h.threadSuite;
        if (n == kOfxMessageSuite && version == 1) return &h.messageSuite;
        return nullptr;
    };

    OfxImageEffectSuiteV1& s = host.effectSuite;
    s.getPropertySet = [](OfxImageEffectHandle e, OfxPropertySetHandle* p) {
        *p = H(&E(e)->props);
        return kOfxStatOK;
    };
    s.getParamSet = [](OfxImageEffectHandle e, OfxParamSetHandle* p) {
        *p = reinterpret_cast<OfxParamSetHandle>(E(e));
        return kOfxStatOK;
    };
    s.clipDefine = [](OfxImageEffectHandle e, const char* name, OfxPropertySetHandle* p) {
        auto& clip = E(e)->clips[name];
        if (!clip) {
            clip = std::make_unique<Clip>();
            clip->name = name;
            E(e)->clipOrder.push_back(name);
        }
        *p = H(&clip->props);
        return kOfxStatOK;
    };
    s.clipGetHandle = [](OfxImageEffectHandle e, const char* name, OfxImageClipHandle* c,
                         OfxPropertySetHandle* p) {
        auto it = E(e)->clips.find(name);
        if (it == E(e)->clips.end()) return kOfxStatErrBadHandle;
        *c = reinterpret_cast<OfxImageClipHandle>(it->second.get());
        if (p) *p = H(&it->second->props);
        return kOfxStatOK;
    };
    s.clipGetPropertySet = [](OfxImageClipHandle c, OfxPropertySetHandle* p) {
        *p = H(&reinterpret_cast<Clip*>(c)->props);
        return kOfxStatOK;
    };
    s.clipGetImage = [](OfxImageClipHandle c, OfxTime, const OfxRectD*, OfxPropertySetHandle* p) {
        Clip* clip = reinterpret_cast<Clip*>(c);
        if (!clip->connected) return kOfxStatFailed;
        auto img = std::make_unique<PropertySet>();
        img->Set(kOfxImagePropData, 0, static_cast<void*>(clip->data));
        for (int i = 0; i < 4; ++i) img->Set(kOfxImagePropBounds, i, (&clip->bounds.x1)[i]);
        img->Set(kOfxImagePropRowBytes, 0, clip->rowBytes);
        img->Set(kOfxImageEffectPropPixelDepth, 0, clip->depth);
        img->Set(kOfxImageEffectPropComponents, 0, std::string(kOfxImageComponentRGBA));
        *p = H(img.get());
        Host::Get().images.push_back(std::move(img));
        return kOfxStatOK;
    };
    s.clipReleaseImage = [](OfxPropertySetHandle p) {
        auto& list = Host::Get().images;
        for (auto it = list.begin(); it != list.end(); ++it)
            if (it->get() == P(p)) {
                list.erase(it);
                return kOfxStatOK;
            }
        return kOfxStatErrBadHandle;
    };
    s.clipGetRegionOfDefinition = [](OfxImageClipHandle c, OfxTime, OfxRectD* r) {
        const Clip* clip = reinterpret_cast<Clip*>(c);
        *r = {double(clip->bounds.x1), double(clip->bounds.y1), double(clip->bounds.x2),
              double(clip->bounds.y2)};
        return kOfxStatOK;
    };
    s.abort = [](OfxImageEffectHandle) { return 0; };

    OfxParameterSuiteV1& q = host.paramSuite;
    q.paramDefine = [](OfxParamSetHandle set, const char* type, const char* name,
                       OfxPropertySetHandle* p) {
        Effect* e = E(set);
        if (e->Find(name)) return kOfxStatErrExists;
        auto param = std::make_unique<Param>();
        param->type = type;
        param->name = name;
        if (p) *p = H(&param->props);
        e->params.push_back(std::move(param));
        return kOfxStatOK;
    };
    q.paramGetHandle = [](OfxParamSetHandle set, const char* name, OfxParamHandle* h,
                          OfxPropertySetHandle* p) {
        Param* param = E(set)->Find(name);
        if (!param) return kOfxStatErrUnknown;
        *h = reinterpret_cast<OfxParamHandle>(param);
        if (p) *p = H(&param->props);
        return kOfxStatOK;
    };
    q.paramSetGetPropertySet = [](OfxParamSetHandle set, OfxPropertySetHandle* p) {
        *p = H(&E(set)->paramSetProps);
        return kOfxStatOK;
    };
    q.paramGetPropertySet = [](OfxParamHandle h, OfxPropertySetHandle* p) {
        *p = H(&PA(h)->props);
        return kOfxStatOK;
    };
    q.paramGetValue = &GetValue;
    q.paramGetValueAtTime = &GetValueAtTime;
    q.paramSetValue = &SetValue;

    OfxMultiThreadSuiteV1& t = host.threadSuite;
    t.multiThread = [](OfxThreadFunctionV1 func, unsigned int n, void* arg) {
        ++Host::Get().threadCalls;
        n = std::min(n, Host::Get().cpus);
        std::vector<std::thread> threads;
        for (unsigned i = 0; i < n; ++i) threads.emplace_back(func, i, n, arg);
        for (std::thread& th : threads) th.join();
        return kOfxStatOK;
    };
    t.multiThreadNumCPUs = [](unsigned int* n) {
        *n = Host::Get().cpus;
        return kOfxStatOK;
    };
    t.multiThreadIndex = [](unsigned int* i) {
        *i = 0;
        return kOfxStatOK;
    };
    t.multiThreadIsSpawnedThread = [] { return 0; };

    host.messageSuite.message = &Message;
    return host;
}

// ---------------------------------------------------------------------------------------
// The bundle, and instances made as a host makes them.

struct Bundle {
    void* handle = nullptr;
    std::vector<OfxPlugin*> plugins;
    static Bundle& Get() {
        static Bundle b = [] {
            Bundle b;
            b.handle = dlopen(QRVX_OFX_BINARY, RTLD_NOW | RTLD_LOCAL);
            if (!b.handle) return b;
            auto count = reinterpret_cast<int (*)()>(dlsym(b.handle, "OfxGetNumberOfPlugins"));
            auto get = reinterpret_cast<OfxPlugin* (*)(int)>(dlsym(b.handle, "OfxGetPlugin"));
            if (!count || !get) return b;
            for (int i = 0; i < count(); ++i) b.plugins.push_back(get(i));
            return b;
        }();
        return b;
    }
    OfxPlugin* Find(const std::string& id) const {
        for (OfxPlugin* p : plugins)
            if (p->pluginIdentifier == id) return p;
        return nullptr;
    }
};

// Pixels as a host lays them out: row y of the picture at data + y * rowBytes, rows
// padded by `padding` bytes, stored top-down (negative rowBytes) when asked.
struct Layout {
    bool negative = false;
    int padding = 0;
};

struct Pixels {
    // A host's image buffers are large blocks of their own, on huge pages where the system
    // gives them, as the host library's pooled images are: so that the bundle's cost is
    // measured against memory of the same kind.
    struct Free {
        void operator()(char* p) const { std::free(p); }
    };
    std::unique_ptr<char, Free> buffer;
    char* data = nullptr;
    int rowBytes = 0;
    int width = 0, height = 0;
    std::size_t pixelBytes = 0;

    Pixels(int w, int h, std::size_t px, Layout layout, char fill)
        : width(w), height(h), pixelBytes(px) {
        const int step = int(std::size_t(w) * px) + layout.padding;
        constexpr std::size_t kHuge = std::size_t(2) << 20;
        const std::size_t bytes = std::size_t(step) * std::size_t(h);
        const std::size_t size = (bytes + kHuge - 1) / kHuge * kHuge;
        buffer.reset(static_cast<char*>(std::aligned_alloc(kHuge, size)));
        if (!buffer) throw std::bad_alloc();
        madvise(buffer.get(), size, MADV_HUGEPAGE);
        std::memset(buffer.get(), fill, bytes);
        data = layout.negative ? buffer.get() + std::ptrdiff_t(step) * (h - 1) : buffer.get();
        rowBytes = layout.negative ? -step : step;
    }
    char* Row(int y) const { return data + std::ptrdiff_t(y) * rowBytes; }
    // A host image over these pixels.
    std::unique_ptr<Image> View(ImageDepth depth) const {
        return qrvx::ImageOver(width, height, depth, data, rowBytes);
    }
};

Pixels CopyIn(const Image& img, Layout layout) {
    Pixels p(img.Width(), img.Height(), std::size_t(img.Stride()), layout, 0x55);
    for (int y = 0; y < img.Height(); ++y)
        std::memcpy(p.Row(y), img.Row<char>(y), p.pixelBytes * std::size_t(img.Width()));
    return p;
}

const char* DepthName(ImageDepth d) {
    return d == ImageDepth::Float32 ? kOfxBitDepthFloat : kOfxBitDepthShort;
}

class OfxEffect {
public:
    explicit OfxEffect(const std::string& id) : m_plugin(Bundle::Get().Find(id)) {
        if (!m_plugin) throw std::runtime_error("no plug-in " + id);
        Host& host = Host::Get();
        m_plugin->setHost(&host.ofxHost);
        Entry(kOfxActionLoad, nullptr);
        m_descriptor.entry = m_plugin->mainEntry;
        if (Entry(kOfxActionDescribe, &m_descriptor) != kOfxStatOK)
            throw std::runtime_error(id + ": describe failed");
        m_context.entry = m_plugin->mainEntry;
        PropertySet in;
        in.Set(kOfxImageEffectPropContext, 0, Context());
        if (Entry(kOfxImageEffectActionDescribeInContext, &m_context, &in) != kOfxStatOK)
            throw std::runtime_error(id + ": describe in context failed");
        // The instance: the context's clips and parameters, each at its default.
        m_instance.entry = m_plugin->mainEntry;
        for (const std::string& name : m_context.clipOrder) {
            auto clip = std::make_unique<Clip>(*m_context.clips.at(name));
            clip->owner = &m_instance;
            m_instance.clips[name] = std::move(clip);
            m_instance.clipOrder.push_back(name);
        }
        for (const auto& p : m_context.params) {
            auto param = std::make_unique<Param>(*p);
            param->owner = &m_instance;
            const std::size_t dims = param->type == kOfxParamTypeDouble2D ? 2 : 1;
            for (std::size_t i = 0; i < dims && param->type != kOfxParamTypePage; ++i) {
                double d = 0;
                if (param->props.Has(kOfxParamPropDefault)) {
                    const Value& v = param->props.values.at(kOfxParamPropDefault).at(i);
                    d = std::holds_alternative<int>(v) ? std::get<int>(v) : std::get<double>(v);
                }
                param->value.push_back(d);
            }
            m_instance.params.push_back(std::move(param));
        }
    }
    ~OfxEffect() {
        if (m_created) Entry(kOfxActionDestroyInstance, &m_instance);
        Entry(kOfxActionUnload, nullptr);
    }

    std::string Context() const {
        return m_descriptor.props.String(kOfxImageEffectPropSupportedContexts);
    }
    Effect& Descriptor() { return m_descriptor; }
    Effect& ContextDescriptor() { return m_context; }
    Effect& Instance() { return m_instance; }
    Param& ParamNamed(const std::string& name) {
        Param* p = m_instance.Find(name);
        if (!p) throw std::runtime_error("no parameter " + name);
        return *p;
    }

    OfxStatus Create() {
        const OfxStatus s = Entry(kOfxActionCreateInstance, &m_instance);
        m_created = s == kOfxStatOK;
        return s;
    }

    void Connect(const std::string& clip, const Pixels& p, ImageDepth depth) {
        Clip& c = *m_instance.clips.at(clip);
        c.connected = true;
        c.props.Set(kOfxImageClipPropConnected, 0, 1);
        c.props.Set(kOfxImageEffectPropPixelDepth, 0, std::string(DepthName(depth)));
        c.bounds = {0, 0, p.width, p.height};
        c.data = p.data;
        c.rowBytes = p.rowBytes;
        c.depth = DepthName(depth);
    }

    // Region of definition, then a render of all of it into pixels of the layout (those of
    // `out` when it holds pixels of that size already, as a host reuses its buffers).
    // Returns the render's status; the output is in `out` when it is OK.
    OfxStatus Render(ImageDepth depth, Layout layout, std::optional<Pixels>& out) {
        for (auto& [name, clip] : m_instance.clips)
            if (!clip->connected) clip->props.Set(kOfxImageClipPropConnected, 0, 0);
        PropertySet args, rod;
        args.Set(kOfxPropTime, 0, 0.0);
        args.Set(kOfxImageEffectPropRenderScale, 0, 1.0);
        args.Set(kOfxImageEffectPropRenderScale, 1, 1.0);
        const OfxStatus r =
            Entry(kOfxImageEffectActionGetRegionOfDefinition, &m_instance, &args, &rod);
        if (r != kOfxStatOK) return r;
        const int x2 = int(rod.Double(kOfxImageEffectPropRegionOfDefinition, 2));
        const int y2 = int(rod.Double(kOfxImageEffectPropRegionOfDefinition, 3));
        const std::size_t px = depth == ImageDepth::Float32 ? 16 : 8;
        if (!out || out->width != x2 || out->height != y2 || out->pixelBytes != px)
            out.emplace(x2, y2, px, layout, 0x7f);
        Clip& o = *m_instance.clips.at(kOfxImageEffectOutputClipName);
        o.connected = true;
        o.bounds = {0, 0, x2, y2};
        o.data = out->data;
        o.rowBytes = out->rowBytes;
        o.depth = DepthName(depth);
        o.props.Set(kOfxImageEffectPropPixelDepth, 0, o.depth);
        for (int i : {0, 1, 2, 3}) args.Set(kOfxImageEffectPropRenderWindow, i, (&o.bounds.x1)[i]);
        return Entry(kOfxImageEffectActionRender, &m_instance, &args);
    }

private:
    OfxStatus Entry(const char* action, Effect* e, PropertySet* in = nullptr,
                    PropertySet* out = nullptr) {
        return m_plugin->mainEntry(action, e, in ? H(in) : nullptr, out ? H(out) : nullptr);
    }
    OfxPlugin* m_plugin;
    Effect m_descriptor, m_context, m_instance;
    bool m_created = false;
};

} // namespace
