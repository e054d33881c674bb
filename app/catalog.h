// The loaded plug-ins and the tools they register, and how a name on the command line
// finds one of them.
#pragma once

#include "host/session.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace app {

// The folders searched for plug-ins, in order: those of QRVX_PLUGIN_PATH, then (unless
// besideBinary is false) ../plugins beside the running binary.
std::vector<std::string> PluginFolders(bool besideBinary = true);

class Catalog {
public:
    // Loads every plug-in file (QRVX_*.so) in the folders of QRVX_PLUGIN_PATH
    // (colon-separated, searched first) and in ../plugins beside the qrvx binary. A file
    // name met again in a later folder is skipped, so the first one found wins. A file
    // that fails to load, or that registers a tool whose registry ID is loaded already,
    // is reported on stderr (unless quiet) and skipped whole. Throws Failure when no tool
    // is loaded at all.
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

// The display name of a tool's entry (the host's lookup).
using qrvx::DisplayName;

// The required image inputs of a tool that are not among connected (input IDs), in
// declaration order: the one rule by which every client refuses a render the host would
// refuse. "Input" is never among them, since every client has something to stand in for
// it (the command and Python the test card, a compositing host its source clip).
std::vector<std::string> MissingImageInputs(const qrvx::Tool& tool,
                                            const std::vector<std::string>& connected);

// Throws UsageError for the first missing required image input, naming the tool and the
// input and saying how to give it: "Throng needs the image input \"Throng\" (give it with
// " + howToGive(id) + ")".
void RequireImageInputs(const qrvx::Tool& tool, const std::vector<std::string>& connected,
                        const std::function<std::string(const std::string& id)>& howToGive);

} // namespace app
