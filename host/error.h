// The one error type the host raises. It travels from where an operation fails (an image
// it cannot make, a plug-in it cannot load) to the caller of the app-facing API, which
// reports its message as one line.
#pragma once

#include "host/export.h"

#include <stdexcept>
#include <string>

class QRVX_HOST_API HostError : public std::runtime_error {
public:
    explicit HostError(const std::string& message) : std::runtime_error(message) {}
};
