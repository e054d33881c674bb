#include "host/session.h"

#include "host/parallel.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>
#include <mutex>
#include <new>

namespace qrvx {

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

namespace {

std::string ToolName(const Registry& entry) { return entry.Text(tag::RegDisplayName); }

} // namespace

Tool::Tool(Registry& entry) : m_entry(entry), m_op(nullptr) {
    ToolFactory factory = entry.Factory();
    ScriptVal table;
    TagList tags;
    if (factory) m_op = factory(&entry, table, tags);
    if (!m_op) throw HostError(ToolName(entry) + ": the tool could not be made");
}

Tool::~Tool() { delete m_op; }

Input& Tool::FindInput(const std::string& id) const {
    Input* in = m_op->FindInput(id);
    if (!in) throw HostError(ToolName(m_entry) + " has no control \"" + id + "\"");
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
    const std::string name = ToolName(m_entry);
    Input* main = m_op->FindInput("Input");
    if (main && main->IsImage() && !main->GetValue(nullptr))
        throw HostError(name + ": \"Input\" has no image");
    if (m_op->Outputs().empty()) throw HostError(name + " declares no output");
    // The tool keeps a request's parameters in itself: one Process at a time.
    std::lock_guard lock(m_renderMutex);
    Request request(time);
    Request::Scope scope(request);
    try {
        m_op->Process(&request);
    } catch (const std::bad_alloc&) {
        throw HostError(name + ": out of memory");
    } catch (const std::exception& e) {
        throw HostError(name + ": " + e.what());
    }
    std::unique_ptr<Image> out = request.TakeOutput(m_op->Outputs().front().get());
    if (!out) throw HostError(name + " gave no output image");
    return out;
}

} // namespace qrvx
