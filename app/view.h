// `qrvx view`: a local web server that shows a tool's controls and its picture side by
// side in a browser, rendering every change at once.
#pragma once

#include <string>
#include <vector>

namespace app {

struct ViewOptions {
    std::string tool;                // the tool to open with; "" for the first one
    std::vector<std::string> inputs; // -i [ID=]PATH, files or sequences under the root
    std::string settingsFile;        // --settings, applied to the tool first
    std::string root = ".";          // the folder the page may read and write under
    int port = 0;                    // 0: any free port
    std::string bind = "127.0.0.1";  // the address to listen on
    bool quiet = false;
};

// The largest request body the server takes (settings, paths): far more than any page
// sends, far less than would tie up memory.
inline constexpr std::size_t kMaxRequestBytes = 1 << 20;

// Checks the options, prints the page's address (with its access token) on stdout and
// serves until interrupted (SIGINT or SIGTERM). Throws UsageError for bad options and
// Failure when the address cannot be bound.
void RunView(const ViewOptions& options);

} // namespace app
