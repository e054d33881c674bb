// Renders any tool on small images with any control values: a size of 1 to 64 pixels each
// side at either depth, pixel values that include NaN, infinities, negatives and values
// above 1, every extra image input connected or not (each of its own size and depth), and
// any value for every control (out of range, NaN, infinite, huge, combo entries that do
// not exist). The render must neither crash nor touch memory it does not own, and it must
// give the same bytes on one thread as on every core and on an uneven thread count, and
// with the portable rows (QRVX_NO_AVX512) as with the AVX-512 ones.
#include "plugins.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// A control value: mostly ones the command could set, often ones it refuses.
double AnyValue(FuzzedDataProvider& data, const InputDecl& d) {
    const double low = d.shownLow.value_or(d.allowedLow.value_or(0.0));
    const double high = d.shownHigh.value_or(d.allowedHigh.value_or(1.0));
    constexpr double inf = std::numeric_limits<double>::infinity();
    switch (data.ConsumeIntegralInRange(0, 9)) {
    case 0: return d.defaultValue.value_or(0.0);
    case 1: return low;
    case 2: return high;
    case 3: return low + (high - low) * data.ConsumeProbability<double>();
    case 4: // whole numbers around the range: combo indices past either end
        return double(data.ConsumeIntegralInRange<int>(-3, int(d.comboEntries.size()) + 3));
    case 5: return std::numeric_limits<double>::quiet_NaN();
    case 6: return data.ConsumeBool() ? inf : -inf;
    case 7: return data.ConsumeBool() ? 1e300 : -1e300;
    case 8: return low + (high - low) * double(data.ConsumeIntegralInRange<int>(-1000, 1001));
    default: return data.ConsumeFloatingPoint<double>();
    }
}

// A float channel value from 16 bits: NaN, infinities, negatives, above 1 or in 0..1.
float FloatValue(std::uint16_t v) {
    const float f = float(v >> 4) / 4095.0f;
    switch (v & 15) {
    case 0: return std::numeric_limits<float>::quiet_NaN();
    case 1: return std::numeric_limits<float>::infinity();
    case 2: return -std::numeric_limits<float>::infinity();
    case 3: return -f * 4.0f;
    case 4: return 1.0f + f * 4.0f;
    case 5: return f * 1e30f;
    case 6: return std::numeric_limits<float>::denorm_min();
    case 7: return -0.0f;
    default: return f;
    }
}

struct Picture {
    int width, height;
    bool isFloat;
    std::unique_ptr<Image> image;
};

Picture PickPicture(FuzzedDataProvider& data) {
    Picture p;
    p.width = data.ConsumeIntegralInRange(1, 64);
    p.height = data.ConsumeIntegralInRange(1, 64);
    p.isFloat = data.ConsumeBool();
    return p;
}

// Fills the picture's pixels from bytes, repeated as needed (zeros when there are none).
void Fill(Picture& p, const std::vector<std::uint8_t>& bytes) {
    p.image =
        qrvx::MakeImage(p.width, p.height, p.isFloat ? ImageDepth::Float32 : ImageDepth::Int16);
    std::size_t k = 0;
    auto next = [&]() -> std::uint16_t {
        if (bytes.size() < 2) return 0;
        if (k + 1 >= bytes.size()) k = 0;
        const std::uint16_t v = std::uint16_t(bytes[k] | bytes[k + 1] << 8);
        k += 2;
        return v;
    };
    for (int y = 0; y < p.height; ++y)
        for (int i = 0; i < p.width * 4; ++i) {
            if (p.isFloat)
                p.image->Row<float>(y)[i] = FloatValue(next());
            else
                p.image->Row<std::uint16_t>(y)[i] = next();
        }
}

bool SameBytes(const Image& a, const Image& b) {
    if (a.Width() != b.Width() || a.Height() != b.Height() || a.Depth() != b.Depth()) return false;
    const std::size_t bytes = std::size_t(a.Width()) * std::size_t(a.Stride());
    for (int y = 0; y < a.Height(); ++y)
        if (std::memcmp(a.RowTable()[y], b.RowTable()[y], bytes) != 0) return false;
    return true;
}

// Renders at a thread count; null when the host refuses the render.
std::unique_ptr<Image> Render(qrvx::Tool& tool, int threads) {
    qrvx::ThreadCountScope scope(threads);
    try {
        return tool.Render(0.0);
    } catch (const HostError&) {
        return nullptr;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Outputs the controls make large (PanelSim's cells, say) are refused by the host
    // past 4M pixels rather than filling memory; no freed pixels are kept for reuse, so
    // that AddressSanitizer sees every use of a released image.
    qrvx::SetMaxImagePixels(std::int64_t(1) << 22);
    qrvx::SetImagePoolLimit(0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    auto tool = fuzz::PickTool(data);

    std::vector<Picture> pictures;
    pictures.push_back(PickPicture(data));
    std::vector<Input*> extra; // the other image inputs given an image
    for (const auto& in : tool->Inputs()) {
        if (in->IsImage()) {
            if (in->Decl().id == "Input" || !data.ConsumeBool()) continue;
            const Picture& main = pictures[0];
            pictures.push_back(data.ConsumeBool() ? Picture{main.width, main.height, main.isFloat}
                                                  : PickPicture(data));
            extra.push_back(in.get());
        } else if (in->IsPoint()) {
            const double x = AnyValue(data, in->Decl()), y = AnyValue(data, in->Decl());
            in->SetValue(Point(x, y, 0));
        } else {
            in->SetValue(Number(AnyValue(data, in->Decl())));
        }
    }
    // QRVX_FUZZ_SHOW=1 prints what an input sets up, to turn a finding into a test.
    if (std::getenv("QRVX_FUZZ_SHOW")) {
        std::fprintf(stderr, "%s %dx%d %s\n", tool->Entry().ID().Text().c_str(), pictures[0].width,
                     pictures[0].height, pictures[0].isFloat ? "float" : "int16");
        for (const auto& in : tool->Inputs()) {
            if (in->IsImage()) continue;
            const Parameter* v = in->GetValue(nullptr);
            if (const auto* p = dynamic_cast<const Point*>(v))
                std::fprintf(stderr, "  %s = %g,%g\n", in->Decl().id.c_str(), p->X, p->Y);
            else if (const auto* n = dynamic_cast<const Number*>(v))
                std::fprintf(stderr, "  %s = %g\n", in->Decl().id.c_str(), n->Value());
        }
        for (std::size_t i = 0; i < extra.size(); ++i)
            std::fprintf(stderr, "  %s: %dx%d\n", extra[i]->Decl().id.c_str(),
                         pictures[i + 1].width, pictures[i + 1].height);
    }
    const auto pixels = data.ConsumeRemainingBytes<std::uint8_t>();
    for (auto& p : pictures) Fill(p, pixels);
    tool->Connect("Input", pictures[0].image.get());
    for (std::size_t i = 0; i < extra.size(); ++i) extra[i]->Connect(pictures[i + 1].image.get());

    const auto one = Render(*tool, 1);
    const auto all = Render(*tool, 0);
    const auto seven = Render(*tool, 7);
    // The portable rows, where the processor would take AVX-512 ones.
    ::setenv("QRVX_NO_AVX512", "1", 1);
    const auto portable = Render(*tool, 0);
    ::unsetenv("QRVX_NO_AVX512");
    if (!one != !all || !one != !seven || !one != !portable)
        __builtin_trap(); // refused on some only
    if (one && (!SameBytes(*one, *all) || !SameBytes(*one, *seven) || !SameBytes(*one, *portable)))
        __builtin_trap();
    return 0;
}
