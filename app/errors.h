// The two kinds of error the command reports, each as one line on stderr. A usage error
// (unknown tool or control, bad value, options that do not fit together) exits with 2;
// a failure (missing or unreadable file, unwritable output, an image the host cannot
// make) exits with 1. HostError from the host counts as a failure.
#pragma once

#include <stdexcept>
#include <string>

namespace app {

struct UsageError : std::runtime_error {
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

struct Failure : std::runtime_error {
    explicit Failure(const std::string& message) : std::runtime_error(message) {}
};

// Text in double quotes, for naming a control, tool or file in a message.
inline std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

} // namespace app
