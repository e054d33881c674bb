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
    return {entry.Text(tag::RegDisplayName), entry.Text(tag::RegShortName),
            entry.Text(tag::RegScriptName), entry.ID().Text()};
}

} // namespace

std::string DisplayName(const Registry& entry) { return entry.Text(tag::RegDisplayName); }

std::vector<std::string> PluginFolders() {
    std::vector<std::string> folders;
    if (const char* path = std::getenv("QRVX_PLUGIN_PATH")) {
        std::stringstream list(path);
        for (std::string folder; std::getline(list, folder, ':');)
            if (!folder.empty()) folders.push_back(folder);
    }
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
            bool fresh = true;
            for (Registry* entry : plugin->Entries())
                fresh = fresh && ids.insert(entry->ID().Text()).second;
            if (!fresh) continue; // unloads it again: the tool came from an earlier folder
            for (Registry* entry : plugin->Entries()) catalog.m_entries.push_back(entry);
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
    for (const Registry* e : found.empty() ? m_entries : found) names.push_back(DisplayName(*e));
    if (found.empty())
        throw UsageError("unknown tool " + Quoted(Excerpt(name)) + " (tools: " + Join(names) + ")");
    throw UsageError("tool name " + Quoted(name) + " is ambiguous: " + Join(names));
}

} // namespace app
