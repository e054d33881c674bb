// The loaded plug-ins and the tools they register, and how a name on the command line
// finds one of them.
#pragma once

#include "host/session.h"

#include <memory>
#include <string>
#include <vector>

namespace app {

// The folders searched for plug-ins, in order.
std::vector<std::string> PluginFolders();

class Catalog {
public:
    // Loads every plug-in file (QRVX_*.so) in the folders of QRVX_PLUGIN_PATH
    // (colon-separated, searched first) and in ../plugins beside the qrvx binary. A file
    // name met again in a later folder is skipped, as is a tool whose registry ID is
    // already loaded, so the first one found wins. A file that fails to load is reported
    // on stderr (unless quiet) and skipped. Throws Failure when no tool is loaded at all.
    static Catalog Load(bool quiet, const std::vector<std::string>& folders = PluginFolders());

    // Every loaded tool's registration entry, sorted by display name.
    const std::vector<Registry*>& Entries() const { return m_entries; }
    // The plug-in that registered an entry.
    const qrvx::Plugin& PluginOf(const Registry& entry) const;

    // The tool whose display name, short name, script name or registry ID equals name,
    // ignoring case. Throws UsageError naming the unknown or ambiguous name.
    Registry& Find(const std::string& name) const;

private:
    std::vector<std::unique_ptr<qrvx::Plugin>> m_plugins;
    std::vector<Registry*> m_entries;
};

// The display name of a tool's entry.
std::string DisplayName(const Registry& entry);

} // namespace app
