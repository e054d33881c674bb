#include "app/catalog.h"

#include "app/errors.h"
#include "app/text.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <set>
#include <sstream>

namespace app {

namespace fs = std::filesystem;

namespace {

// The names a tool answers to on the command line.
std::vector<std::string> NamesOf(const Registry& entry) {
    return {DisplayName(entry), entry.Text(tag::RegShortName), entry.Text(tag::RegScriptName),
            entry.ID().Text()};
}

} // namespace

std::vector<std::string> MissingImageInputs(const qrvx::Tool& tool,
                                            const std::vector<std::string>& connected) {
    std::vector<std::string> missing;
    for (const auto& in : tool.Inputs()) {
        const InputDecl& d = in->Decl();
        if (in->IsImage() && d.required && d.id != "Input" &&
            std::find(connected.begin(), connected.end(), d.id) == connected.end())
            missing.push_back(d.id);
    }
    return missing;
}

void RequireImageInputs(const qrvx::Tool& tool, const std::vector<std::string>& connected,
                        const std::function<std::string(const std::string& id)>& howToGive) {
    const std::vector<std::string> missing = MissingImageInputs(tool, connected);
    if (!missing.empty())
        throw UsageError(DisplayName(tool.Entry()) + " needs the image input " +
                         Quoted(missing.front()) + " (give it with " + howToGive(missing.front()) +
                         ")");
}

std::vector<std::string> PluginFolders(bool besideBinary) {
    std::vector<std::string> folders;
    if (const char* path = std::getenv("QRVX_PLUGIN_PATH")) {
        std::stringstream list(path);
        for (std::string folder; std::getline(list, folder, ':');)
            if (!folder.empty()) folders.push_back(folder);
    }
    if (!besideBinary) return folders;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) folders.push_back((self.parent_path().parent_path() / "plugins").string());
    return folders;
}

Catalog Catalog::Load(bool quiet, const std::vector<std::string>& folders) {
    Catalog catalog;
    std::set<std::string> fileNames, ids;
    for (const std::string& folder : folders) {
        for (const std::string& file : qrvx::FindPluginFiles(folder)) {
            if (!fileNames.insert(fs::path(file).filename().string()).second) continue;
            std::unique_ptr<qrvx::Plugin> plugin;
            try {
                plugin = qrvx::Plugin::Load(file);
            } catch (const HostError& e) {
                if (!quiet) std::cerr << "qrvx: warning: " << e.what() << "\n";
                continue;
            }
            // A plug-in any of whose tools is loaded already is dropped whole (and unloaded
            // again), and none of its IDs is taken.
            std::string taken;
            for (Registry* entry : plugin->Entries())
                if (taken.empty() && ids.count(entry->ID().Text())) taken = entry->ID().Text();
            if (!taken.empty()) {
                if (!quiet)
                    std::cerr << "qrvx: warning: skipped " << file << ": a tool with the ID "
                              << taken << " is loaded already\n";
                continue;
            }
            for (Registry* entry : plugin->Entries()) {
                ids.insert(entry->ID().Text());
                catalog.m_entries.push_back(entry);
            }
            catalog.m_plugins.push_back(std::move(plugin));
        }
    }
    if (catalog.m_entries.empty()) {
        const std::string where = Join(folders);
        throw Failure("no plug-ins found (looked in " + (where.empty() ? "nothing" : where) +
                      "; set QRVX_PLUGIN_PATH)");
    }
    std::sort(catalog.m_entries.begin(), catalog.m_entries.end(),
              [](const Registry* a, const Registry* b) {
                  return Lower(DisplayName(*a)) < Lower(DisplayName(*b));
              });
    return catalog;
}

const qrvx::Plugin& Catalog::PluginOf(const Registry& entry) const {
    for (const auto& plugin : m_plugins)
        for (const Registry* e : plugin->Entries())
            if (e == &entry) return *plugin;
    throw Failure(DisplayName(entry) + " was registered by no loaded plug-in");
}

Registry& Catalog::Find(const std::string& name) const {
    std::vector<Registry*> found;
    for (Registry* entry : m_entries)
        for (const std::string& n : NamesOf(*entry))
            if (SameText(n, name)) {
                found.push_back(entry);
                break;
            }
    if (found.size() == 1) return *found.front();
    std::vector<std::string> names;
    for (const Registry* e : found.empty() ? m_entries : found)
        names.push_back(DisplayName(*e) + (found.empty() ? "" : " (" + e->ID().Text() + ")"));
    if (found.empty())
        throw UsageError("unknown tool " + Quoted(Excerpt(name)) + " (tools: " + Join(names) + ")");
    throw UsageError("tool name " + Quoted(Excerpt(name)) + " is ambiguous: " + Join(names) +
                     " (give the registry ID)");
}

} // namespace app
