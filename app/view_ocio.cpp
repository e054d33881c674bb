#include "app/view_ocio.h"

#include "app/errors.h"
#include "app/text.h"

#include <bit>
#include <cstdlib>
#include <limits>
#include <vector>

#if QRVX_HAVE_OCIO
#include <OpenColorIO/OpenColorIO.h>
namespace OCIO = OCIO_NAMESPACE;
#endif

namespace app {

using Json = nlohmann::ordered_json;

std::unique_ptr<OcioViews> OcioViews::FromEnvironment() {
    const char* file = std::getenv("OCIO");
    if (!file || !*file) return nullptr;
    return std::make_unique<OcioViews>(file);
}

#if QRVX_HAVE_OCIO

namespace {

// OpenColorIO's message on one line.
std::string OneLine(const std::string& message) {
    std::string out;
    for (char c : message) {
        if (c == '\n' || c == '\r') c = ' ';
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out += c;
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

// Rows through one OpenColorIO processor, optimised for float in and bytes out: the
// processor scales to 0..255, clamps and rounds as it packs the bytes.
class OcioRows final : public FloatView {
public:
    explicit OcioRows(OCIO::ConstCPUProcessorRcPtr cpu) : m_cpu(std::move(cpu)) {}

    void Row(const float* s, std::uint8_t* d, int width) const override {
        // The source is only read; the descriptor's pointer is not const.
        OCIO::PackedImageDesc src(const_cast<float*>(s), width, 1, 4);
        OCIO::PackedImageDesc dst(d, width, 1, 4, OCIO::BIT_DEPTH_UINT8, 1, 4,
                                  std::ptrdiff_t(width) * 4);
        m_cpu->apply(src, dst);
        for (int x = 0; x < width; ++x) d[4 * x + 3] = 255;
    }

private:
    OCIO::ConstCPUProcessorRcPtr m_cpu;
};

// Rows through a processor whose channels do not mix (each output channel follows its own
// input channel alone, as display curves do), looked up in a table of the processor's
// results made once: one entry of R, G, B bytes for every 2^14 float codes (the top 18
// bits of a float: sign, exponent and 9 bits of mantissa), each the processor's result
// at the middle of its codes. A bucket spans 0.2% of its values, so an entry differs from
// the processor's own result by at most one step, and only next to a step, wherever the
// curve climbs less than two steps across 0.2% of the value. The buckets of infinity hold
// the processor's result for it (and so NaNs of payloads below 2^14 show as infinity),
// all others with the largest exponent that of NaN.
class OcioTableRows final : public FloatView {
public:
    explicit OcioTableRows(const OCIO::CPUProcessor& cpu) : m_table(std::size_t(kEntries) * 4) {
        std::vector<float> in(std::size_t(kEntries) * 4);
        for (std::uint32_t i = 0; i < kEntries; ++i) {
            float v = std::bit_cast<float>((i << kShift) | (1u << (kShift - 1)));
            const std::uint32_t exponent = (i << kShift) & 0x7F800000u;
            if (exponent == 0x7F800000u)
                v = ((i << kShift) & 0x7FFFFFFFu) == 0x7F800000u
                        ? std::bit_cast<float>(i << kShift) // +-infinity
                        : std::numeric_limits<float>::quiet_NaN();
            in[4 * i] = in[4 * i + 1] = in[4 * i + 2] = v;
            in[4 * i + 3] = 1.0f;
        }
        // The processor takes the whole table as one picture of kEntries x 1 pixels.
        OCIO::PackedImageDesc src(in.data(), kEntries, 1, 4);
        OCIO::PackedImageDesc dst(m_table.data(), kEntries, 1, 4, OCIO::BIT_DEPTH_UINT8, 1, 4,
                                  std::ptrdiff_t(kEntries) * 4);
        cpu.apply(src, dst);
    }

    void Row(const float* s, std::uint8_t* d, int width) const override {
        const std::uint8_t* t = m_table.data();
        for (int x = 0; x < width; ++x, s += 4, d += 4) {
            d[0] = t[4 * (std::bit_cast<std::uint32_t>(s[0]) >> kShift)];
            d[1] = t[4 * (std::bit_cast<std::uint32_t>(s[1]) >> kShift) + 1];
            d[2] = t[4 * (std::bit_cast<std::uint32_t>(s[2]) >> kShift) + 2];
            d[3] = 255;
        }
    }

private:
    static constexpr int kShift = 14;
    static constexpr std::uint32_t kEntries = 1u << (32 - kShift);
    std::vector<std::uint8_t> m_table; // R, G, B and an unused byte per entry
};

// The colour space pictures are taken to be in: the config's scene-linear role, else its
// default role, else its first colour space.
std::string InputSpace(const OCIO::Config& config) {
    for (const char* role : {OCIO::ROLE_SCENE_LINEAR, OCIO::ROLE_DEFAULT})
        if (const auto space = config.getColorSpace(role)) return space->getName();
    if (config.getNumColorSpaces() > 0) return config.getColorSpaceNameByIndex(0);
    return "";
}

} // namespace

struct OcioViews::Config {
    std::string file;
    OCIO::ConstConfigRcPtr config;
    std::string input;
};

OcioViews::OcioViews(const std::string& file) : m_config(std::make_unique<Config>()) {
    m_config->file = file;
    try {
        m_config->config = OCIO::Config::CreateFromFile(file.c_str());
        m_config->config->validate();
    } catch (const std::exception& e) {
        throw Failure("OpenColorIO config " + file + ": " + OneLine(e.what()));
    }
    m_config->input = InputSpace(*m_config->config);
    if (m_config->input.empty())
        throw Failure("OpenColorIO config " + file + ": it has no colour spaces");
    if (m_config->config->getNumDisplays() == 0)
        throw Failure("OpenColorIO config " + file + ": it has no displays");
}

Json OcioViews::Describe() const {
    const OCIO::Config& c = *m_config->config;
    Json displays = Json::array();
    for (int i = 0; i < c.getNumDisplays(); ++i) {
        const char* display = c.getDisplay(i);
        std::vector<std::string> views;
        for (int v = 0; v < c.getNumViews(display); ++v) views.push_back(c.getView(display, v));
        displays.push_back(
            {{"name", display}, {"views", views}, {"defaultView", c.getDefaultView(display)}});
    }
    const char* display = c.getDefaultDisplay();
    return Json{{"config", m_config->file},
                {"input", m_config->input},
                {"displays", displays},
                {"display", display},
                {"view", c.getDefaultView(display)}};
}

std::shared_ptr<const FloatView> OcioViews::View(const std::string& display,
                                                 const std::string& view, OcioPath path) {
    std::lock_guard lock(m_mutex);
    const auto key = std::make_tuple(display, view, path);
    if (const auto it = m_views.find(key); it != m_views.end()) return it->second;
    const OCIO::Config& c = *m_config->config;
    bool known = false;
    for (int i = 0; i < c.getNumDisplays() && !known; ++i)
        if (display == c.getDisplay(i))
            for (int v = 0; v < c.getNumViews(display.c_str()) && !known; ++v)
                known = view == c.getView(display.c_str(), v);
    if (!known)
        throw UsageError("the OpenColorIO config has no display " + Quoted(Excerpt(display)) +
                         " with a view " + Quoted(Excerpt(view)));
    try {
        const auto processor = c.getProcessor(m_config->input.c_str(), display.c_str(),
                                              view.c_str(), OCIO::TRANSFORM_DIR_FORWARD);
        const auto cpu = processor->getOptimizedCPUProcessor(
            OCIO::BIT_DEPTH_F32, OCIO::BIT_DEPTH_UINT8, OCIO::OPTIMIZATION_DEFAULT);
        std::shared_ptr<const FloatView> rows;
        if (path == OcioPath::Exact || processor->hasChannelCrosstalk() || processor->isDynamic())
            rows = std::make_shared<const OcioRows>(cpu);
        else
            rows = std::make_shared<const OcioTableRows>(*cpu);
        m_views.emplace(key, rows);
        return rows;
    } catch (const OCIO::Exception& e) {
        throw Failure("OpenColorIO, display " + Quoted(display) + ", view " + Quoted(view) + ": " +
                      OneLine(e.what()));
    }
}

#else // built without OpenColorIO

struct OcioViews::Config {};

OcioViews::OcioViews(const std::string& file) {
    throw Failure("$OCIO names " + file +
                  ", but this qrvx was built without OpenColorIO (install libopencolorio-dev "
                  "and build again)");
}

Json OcioViews::Describe() const { return nullptr; }

std::shared_ptr<const FloatView> OcioViews::View(const std::string&, const std::string&, OcioPath) {
    throw UsageError("this qrvx was built without OpenColorIO");
}

#endif

OcioViews::~OcioViews() = default;

} // namespace app
