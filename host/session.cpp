// The app-facing side of the host over its inside: every declaration of host/session.h
// and host/monitor.h is defined here, so that the host's own files never include them.
#include "host/session.h"

#include "host/access.h"
#include "host/image_ops.h"
#include "host/monitor.h"
#include "host/parallel.h"
#include "host/pool.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <new>

namespace qrvx {

void SetThreadCount(int threads) { host::SetThreadCount(threads); }
int ThreadCount() { return host::ThreadCount(); }

ThreadCountScope::ThreadCountScope(int threads) : m_previous(host::ExchangeThreadCount(threads)) {}
ThreadCountScope::~ThreadCountScope() { host::ExchangeThreadCount(m_previous); }

BandRunnerScope::BandRunnerScope(BandRunner runner, int threads)
    : m_runner(std::move(runner)), m_previous(host::ExchangeBandRunner(&m_runner)),
      m_threads(threads) {}
BandRunnerScope::~BandRunnerScope() { host::ExchangeBandRunner(m_previous); }

RenderProgress CurrentRenderProgress() {
    RenderProgress p;
    host::BandsSoFar(p.begun, p.finished);
    return p;
}

std::unique_ptr<Image> MakeImage(int width, int height, ImageDepth depth) {
    return std::unique_ptr<Image>(host::Access::MakeImage(width, height, depth));
}
std::unique_ptr<Image> ImageOver(int width, int height, ImageDepth depth, void* pixels,
                                 std::ptrdiff_t rowBytes) {
    return std::unique_ptr<Image>(host::Access::ImageOver(width, height, depth, pixels, rowBytes));
}

void SetMaxImagePixels(std::int64_t pixels) { host::SetMaxImagePixels(pixels); }
std::int64_t MaxImagePixels() { return host::MaxImagePixels(); }
void SetImagePoolLimit(std::size_t bytes) { host::SetPoolLimit(bytes); }
void TrimImagePool() { host::TrimPool(); }
std::size_t ImagePoolKept() { return host::PoolKept(); }

std::unique_ptr<Plugin> Plugin::Load(const std::string& path) {
    const auto before = ClassRegistry::List().Entries();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        throw HostError("cannot load plug-in " + path + ": " + (why ? why : "unknown reason"));
    }
    std::unique_ptr<Plugin> plugin(new Plugin);
    plugin->m_path = path;
    plugin->m_handle = handle;
    for (Registry* entry : ClassRegistry::List().Entries())
        if (std::find(before.begin(), before.end(), entry) == before.end())
            plugin->m_entries.push_back(entry);
    auto resources = reinterpret_cast<ResourcesFn>(dlsym(handle, kResourcesSymbol));
    if (plugin->m_entries.empty() || !resources)
        throw HostError("plug-in " + path + " registers no tool");
    plugin->m_resources = resources();
    return plugin;
}

Plugin::~Plugin() {
    if (m_handle) dlclose(m_handle);
}

std::vector<std::string> FindPluginFiles(const std::string& folder) {
    std::vector<std::string> files;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("QRVX_", 0) == 0 && e.path().extension() == ".so")
            files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string DisplayName(const Registry& entry) { return entry.Text(tag::RegDisplayName); }

Tool::Tool(Registry& entry) : m_entry(entry), m_op(nullptr) {
    ToolFactory factory = entry.Factory();
    ScriptVal table;
    TagList tags;
    if (factory) m_op = factory(&entry, table, tags);
    if (!m_op) throw HostError(DisplayName(entry) + ": the tool could not be made");
}

Tool::~Tool() { delete m_op; }

const std::vector<std::unique_ptr<Input>>& Tool::Inputs() const {
    return host::Access::Inputs(*m_op);
}

Input* Tool::InputOrNull(std::string_view id) const { return host::Access::FindInput(*m_op, id); }

Input& Tool::FindInput(const std::string& id) const {
    Input* in = InputOrNull(id);
    if (!in) throw HostError(DisplayName(m_entry) + " has no control \"" + id + "\"");
    return *in;
}

void Tool::SetNumber(const std::string& id, double value) {
    FindInput(id).SetValue(AutoNumber(value));
}

void Tool::SetPoint(const std::string& id, double x, double y) {
    FindInput(id).SetValue(AutoParameter(new Point(x, y, 0)));
}

void Tool::Connect(const std::string& id, const Image* image) { FindInput(id).Connect(image); }

std::unique_ptr<Image> Tool::Render(double time) { return Run(time); }

std::pair<int, int> Tool::OutputSize(double time) {
    bool& sizeOnly = host::SizeOnlyRun();
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{sizeOnly};
    sizeOnly = true;
    const std::unique_ptr<Image> out = Run(time);
    return {out->Width(), out->Height()};
}

std::unique_ptr<Image> Tool::Run(double time) {
    const std::string name = DisplayName(m_entry);
    Input* main = InputOrNull("Input");
    if (main && main->IsImage() && !main->GetValue(nullptr))
        throw HostError(name + ": \"Input\" has no image");
    const auto& outputs = host::Access::Outputs(*m_op);
    if (outputs.empty()) throw HostError(name + " declares no output");
    // The tool keeps a request's parameters in itself: one Process at a time.
    std::lock_guard lock(m_renderMutex);
    Request request = host::Access::MakeRequest(time);
    host::Access::RequestScope scope(request);
    try {
        m_op->Process(&request);
    } catch (const std::bad_alloc&) {
        throw HostError(name + ": out of memory");
    } catch (const std::exception& e) {
        throw HostError(name + ": " + e.what());
    }
    std::unique_ptr<Image> out = host::Access::TakeOutput(request, outputs.front().get());
    if (!out) throw HostError(name + " gave no output image");
    return out;
}

} // namespace qrvx
