// The project's version ("0.9.0"), from the VERSION file at the top of the source tree,
// which the build passes to the app library as QRVX_VERSION.
#pragma once

#ifndef QRVX_VERSION
#error "QRVX_VERSION is defined by the build (CMakeLists.txt, from the VERSION file)"
#endif

namespace app {

inline constexpr const char* kVersion = QRVX_VERSION;

} // namespace app
