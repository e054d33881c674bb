// Inside the host library (and its tests): the parts of the tool-facing classes that only
// the host itself uses. Tools see the classes through their public members; the making of
// requests and images outside NewImage, the images a request holds, and an operator's
// declarations as a list are reached only through here. This header is not among the
// headers a tool can include, so a tool that names any of it does not compile.
#pragma once

#include "host/image.h"
#include "host/operator.h"

#include <cstddef>
#include <memory>
#include <string_view>
#include <vector>

namespace host {

struct Access {
    // An image no request adopts: the caller owns it.
    static Image* MakeImage(int width, int height, ImageDepth depth) {
        return new Image(width, height, depth);
    }
    static std::unique_ptr<Image> Owned(int width, int height, ImageDepth depth) {
        return std::unique_ptr<Image>(MakeImage(width, height, depth));
    }
    static Image* ImageOver(int width, int height, ImageDepth depth, void* pixels,
                            std::ptrdiff_t rowBytes) {
        return new Image(width, height, depth, pixels, rowBytes);
    }

    static Request MakeRequest(double time) { return Request(time); }
    // Makes the request the thread's current one while it lives.
    using RequestScope = Request::Scope;
    static void Adopt(Request& request, Image* image) { request.Adopt(image); }
    static bool Release(Request& request, Image* image) { return request.Release(image); }
    static void SetOutput(Request& request, const Output* output, Image* image) {
        request.SetOutput(output, image);
    }
    static std::unique_ptr<Image> TakeOutput(Request& request, const Output* output) {
        return request.TakeOutput(output);
    }

    static const std::vector<std::unique_ptr<Input>>& Inputs(const Operator& op) {
        return op.m_inputs;
    }
    static Input* FindInput(const Operator& op, std::string_view id) { return op.FindInput(id); }
    static const std::vector<std::unique_ptr<Output>>& Outputs(const Operator& op) {
        return op.m_outputs;
    }
};

} // namespace host
