#include "support.h"

#include "frame/wide.h"

#include <cstdlib>
#include <cstring>

namespace test {

LoadedTool Load(const std::string& toolName) {
    LoadedTool t;
    t.plugin = qrvx::Plugin::Load(std::string(QRVX_PLUGIN_DIR) + "/QRVX_" + toolName + ".so");
    t.tool = std::make_unique<qrvx::Tool>(*t.plugin->Entries().at(0));
    return t;
}

std::unique_ptr<Image> MakeImage(int w, int h, ImageDepth depth,
                                 const std::function<double(int, int, int)>& f) {
    auto img = qrvx::MakeImage(w, h, depth);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c) Set(*img, x, y, c, f(x, y, c));
    return img;
}

std::unique_ptr<Image> NoiseImage(int w, int h, ImageDepth depth, unsigned seed) {
    unsigned state = seed * 2654435761u + 1;
    const bool isFloat = depth == ImageDepth::Float32;
    return MakeImage(w, h, depth, [&](int, int, int) {
        state = state * 1664525u + 1013904223u;
        const unsigned v = state >> 16;
        return isFloat ? (double(v) / 65535.0) * 1.5 - 0.25 : double(v);
    });
}

double At(const Image& img, int x, int y, int c) {
    return img.IsFloat() ? double(img.Row<float>(y)[x * 4 + c])
                         : double(img.Row<std::uint16_t>(y)[x * 4 + c]);
}

void Set(Image& img, int x, int y, int c, double v) {
    if (img.IsFloat())
        img.Row<float>(y)[x * 4 + c] = float(v);
    else
        img.Row<std::uint16_t>(y)[x * 4 + c] = std::uint16_t(v);
}

::testing::AssertionResult SameImage(const Image& a, const Image& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.Depth() != b.Depth())
        return ::testing::AssertionFailure()
               << "sizes or depths differ: " << a.Width() << "x" << a.Height() << " vs "
               << b.Width() << "x" << b.Height();
    const std::size_t bytes = std::size_t(a.Width()) * std::size_t(a.Stride());
    for (int y = 0; y < a.Height(); ++y) {
        if (std::memcmp(a.RowTable()[y], b.RowTable()[y], bytes) == 0) continue;
        for (int x = 0; x < a.Width(); ++x)
            for (int c = 0; c < 4; ++c)
                if (std::memcmp(static_cast<const char*>(a.RowTable()[y]) + x * a.Stride() +
                                    c * a.Stride() / 4,
                                static_cast<const char*>(b.RowTable()[y]) + x * b.Stride() +
                                    c * b.Stride() / 4,
                                std::size_t(a.Stride() / 4)) != 0)
                    return ::testing::AssertionFailure()
                           << "first difference at (" << x << ", " << y << ") channel " << c << ": "
                           << At(a, x, y, c) << " vs " << At(b, x, y, c);
    }
    return ::testing::AssertionSuccess();
}

std::unique_ptr<Image> RenderWithThreads(qrvx::Tool& tool, int threads) {
    qrvx::SetThreadCount(threads);
    auto out = tool.Render(0.0);
    qrvx::SetThreadCount(0);
    return out;
}

std::string DepthName(const ::testing::TestParamInfo<ImageDepth>& info) {
    return info.param == ImageDepth::Float32 ? "Float" : "Int16";
}

void InTempFolder::SetUp() {
    std::string name = (std::filesystem::temp_directory_path() / "qrvx_test_XXXXXX").string();
    ASSERT_NE(::mkdtemp(name.data()), nullptr);
    m_dir = name;
}

void InTempFolder::TearDown() { std::filesystem::remove_all(m_dir); }

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* before = std::getenv(name)) m_before = before;
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (m_before)
        ::setenv(m_name.c_str(), m_before->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

void OnEachWorker(const std::function<void()>& check) {
    const ScopedEnv all("QRVX_NO_AVX512", nullptr);
    {
        const ScopedEnv portable("QRVX_PORTABLE", "1");
        check();
    }
    const ScopedEnv vectors("QRVX_PORTABLE", nullptr);
#ifdef QRVX_WIDE_ROWS
    if (frame::WideRowsSupported()) return check();
#endif
    GTEST_SKIP() << "the portable rows passed; this processor has no AVX-512 BW and VBMI2, so "
                    "the wide rows were not run";
}

} // namespace test
