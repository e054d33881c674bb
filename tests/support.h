// Shared by the test programs: loading a tool from its plug-in, making small images and
// comparing them.
#pragma once

#include "host/session.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace test {

// A plug-in loaded from the build's plug-in folder and one tool made from it.
struct LoadedTool {
    std::unique_ptr<qrvx::Plugin> plugin;
    std::unique_ptr<qrvx::Tool> tool;
    qrvx::Tool* operator->() const { return tool.get(); }
};
LoadedTool Load(const std::string& toolName);

// An image whose every channel value is given by f(x, y, channel), channels R, G, B, A;
// the value is in channel units (0..65535 for integer images, as is for float).
std::unique_ptr<Image> MakeImage(int w, int h, ImageDepth depth,
                                 const std::function<double(int, int, int)>& f);
// A deterministic pseudo-random image (values across the full range; float images also
// hold values below 0 and above 1).
std::unique_ptr<Image> NoiseImage(int w, int h, ImageDepth depth, unsigned seed = 1);

// Channel value c (0 R, 1 G, 2 B, 3 A) of pixel (x, y), as a double.
double At(const Image& img, int x, int y, int c);
// Sets channel value c of pixel (x, y); exact for any value the image's depth holds.
void Set(Image& img, int x, int y, int c, double v);

// True when both images have the same size, depth and bit-identical pixels; on a
// difference, the message names the first one.
::testing::AssertionResult SameImage(const Image& a, const Image& b);

// Renders at the given thread count (0: every core) and restores the default.
std::unique_ptr<Image> RenderWithThreads(qrvx::Tool& tool, int threads);

// Sets an environment variable (or clears it, for a null value) while the object lives,
// then puts back what was there: a test that picks a vector path leaves the path the whole
// run was started with (QRVX_NO_AVX512=1, QRVX_PORTABLE=1) to the tests after it.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_before;
};

// Runs check on each row worker of a tool that has two: the portable one (QRVX_PORTABLE
// set), then the wide (AVX-512) one (neither switch set, whatever the run was started
// with); on a processor without the wide rows the test is marked skipped after the
// portable run, so that it does not pass as if both had run.
void OnEachWorker(const std::function<void()>& check);

inline constexpr ImageDepth kDepths[] = {ImageDepth::Int16, ImageDepth::Float32};
// The name of a test instantiated over kDepths: "Int16" or "Float".
std::string DepthName(const ::testing::TestParamInfo<ImageDepth>& info);
// The channel scale of a depth or an image: 65535 for integer images, 1 for float ones.
inline double Scale(ImageDepth depth) { return depth == ImageDepth::Float32 ? 1.0 : 65535.0; }
inline double Scale(const Image& image) { return Scale(image.Depth()); }

// The thread counts a tool's result must not depend on: one thread, then counts that cut
// the work into bands of other sizes than any machine's core count would, so that a fault
// at a band's edge shows on a machine of one core too.
inline constexpr int kThreadCounts[] = {1, 3, 7};

// A test whose files live in a fresh folder of its own, removed with everything in it when
// the test ends.
class InTempFolder : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // The path of a file in the folder.
    std::string P(const std::string& name) const { return (m_dir / name).string(); }

    std::filesystem::path m_dir;
};

} // namespace test
