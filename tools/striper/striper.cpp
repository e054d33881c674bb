// Striper: overlays repeating horizontal scanlines (whole rows) and vertical scanlines
// (whole columns) in flat colours. In each direction a period of lines showing the input
// is followed ("show input first") or preceded ("show color first") by lines of colour;
// periods start at row 0 and column 0 of the output.
//
// "keep input size" hides input lines under the colour lines. "stretch input" repeats
// every input line as many times as a period is long and puts the colour lines in
// between: the output then has input size x (input lines + colour lines) in that
// direction, so output line i shows input line i / period. Either way every read lies
// inside the input. Where a colour row crosses a colour column the blend mode decides:
// 0 write over (the vertical colour), 1 add, 2 subtract (horizontal - vertical),
// 3 multiply, 4 divide (horizontal / vertical; where vertical is 0: 0 when horizontal is
// 0, else full value); other values act as 0. Colour values are multiplied by the
// channel scale and clamped to 0..65535 on both depths (NaN writes 0), so a float image
// takes colours above 1 but never below 0.
//
// With both directions off the output is an exact copy. Counts are held to 1..255 and
// combo values to their entries. A stretched output too large for the host is refused
// by the host with an error naming the size; the size is computed in 64 bits so that it
// cannot wrap around first.
#include "frame/tool.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

constexpr int kChannels = 4; // red, green, blue, alpha: storage order

// The controls of one direction.
struct AxisControls {
    Input* mode;
    Input* order;
    Input* inputLines;
    Input* colourLines;
    std::array<Input*, kChannels> colour;
    Input* active;
};

// One direction's prepared parameters.
struct Axis {
    bool active = false;
    bool stretch = false;
    bool colourFirst = false;
    int inputLines = 1, colourLines = 1;

    int Period() const { return inputLines + colourLines; }
    // The input line that output line i shows, or -1 for a colour line.
    std::int64_t Source(std::int64_t i) const {
        if (!active) return i;
        const int r = int(i % Period());
        const bool showsInput = colourFirst ? r >= colourLines : r < inputLines;
        if (!showsInput) return -1;
        return stretch ? i / Period() : i;
    }
};

class Striper : public ThreadedOperator {
public:
    Striper(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        constexpr frame::Range kLines{1, 255};
        constexpr frame::Extra kCount{.allowed = kLines, .whole = true};
        constexpr const char* kColour = "Scanline Color";
        // clang-format off
        m_input = frame::ImageIn(*this, "Input")->Describe("The picture to draw scanlines over");
        AddControlPage("horizontal Scanlines");
        m_h.mode        = frame::Combo(*this, "ModeH", "Mode", {"keep input size", "stretch input"})->Describe("Cover rows of the picture with colour, or stretch the picture to make room for the horizontal lines");
        m_h.order       = frame::Combo(*this, "Scanline OrderH", "Scanline Order", {"show input first", "show color first"})->Describe("Whether each repeat starts with picture rows or with colour rows");
        m_h.inputLines  = frame::Screw(*this, "Hscanlines showing input", "scanlines showing input", 1, kLines, kCount)->Describe("How many picture rows each repeat shows");
        m_h.colourLines = frame::Screw(*this, "Hscanlines showing Color", "scanlines showing Color", 1, kLines, kCount)->Describe("How many colour rows each repeat shows");
        m_h.colour[0]   = frame::ColorChannel(*this, "RedH", "Red", 0.0, 1, 0, kColour)->Describe("Red of the horizontal lines' colour");
        m_h.colour[1]   = frame::ColorChannel(*this, "GreenH", "Green", 0.0, 1, 1, kColour)->Describe("Green of the horizontal lines' colour");
        m_h.colour[2]   = frame::ColorChannel(*this, "BlueH", "Blue", 0.0, 1, 2, kColour)->Describe("Blue of the horizontal lines' colour");
        m_h.colour[3]   = frame::ColorChannel(*this, "AlphaH", "Alpha", 1.0, 1, 3, kColour)->Describe("Alpha of the horizontal lines' colour");
        m_h.active      = frame::Checkbox(*this, "activate ScanlinesH", "activate Scanlines", 1.0, {.rowShare = 0.5})->Describe("Draws the horizontal scanlines");
        AddControlPage("vertical Scanlines");
        m_v.mode        = frame::Combo(*this, "ModeV", "Mode", {"keep input size", "stretch input"})->Describe("Cover columns of the picture with colour, or stretch the picture to make room for the vertical lines");
        m_v.order       = frame::Combo(*this, "Scanline OrderV", "Scanline Order", {"show input first", "show color first"})->Describe("Whether each repeat starts with picture columns or with colour columns");
        m_v.inputLines  = frame::Screw(*this, "Vscanlines showing input", "scanlines showing input", 1, kLines, kCount)->Describe("How many picture columns each repeat shows");
        m_v.colourLines = frame::Screw(*this, "Vscanlines showing Color", "scanlines showing Color", 1, kLines, kCount)->Describe("How many colour columns each repeat shows");
        m_v.colour[0]   = frame::ColorChannel(*this, "RedV", "Red", 0.0, 2, 0, kColour)->Describe("Red of the vertical lines' colour");
        m_v.colour[1]   = frame::ColorChannel(*this, "GreenV", "Green", 0.0, 2, 1, kColour)->Describe("Green of the vertical lines' colour");
        m_v.colour[2]   = frame::ColorChannel(*this, "BlueV", "Blue", 0.0, 2, 2, kColour)->Describe("Blue of the vertical lines' colour");
        m_v.colour[3]   = frame::ColorChannel(*this, "AlphaV", "Alpha", 1.0, 2, 3, kColour)->Describe("Alpha of the vertical lines' colour");
        m_blend         = frame::Combo(*this, "Blend Mode", "Blend Mode", {"none (write over)", "add", "subtract"})->Describe("How the colours mix where horizontal and vertical lines cross");
        m_v.active      = frame::Checkbox(*this, "activate ScanlinesV", "activate Scanlines", 0.0, {.rowShare = 0.5})->Describe("Draws the vertical scanlines");
        m_output = frame::ImageOut(*this);
        // clang-format on
    }

    void Process(Request* req) override {
        const Image* src = frame::MainImage(req, m_input);
        m_src = src;

        // Both directions off: an exact copy.
        const bool activeH = frame::On(m_h.active, req), activeV = frame::On(m_v.active, req);
        if (!activeH && !activeV) {
            m_output->Set(req, src->CopyOfImage(false));
            return;
        }
        m_rows = ReadAxis(m_h, activeH, req);
        m_cols = ReadAxis(m_v, activeV, req);

        // Stretching multiplies a side by its period (at most 510).
        const std::int64_t w2 = std::int64_t(src->Width()) * (m_cols.stretch ? m_cols.Period() : 1);
        const std::int64_t h2 =
            std::int64_t(src->Height()) * (m_rows.stretch ? m_rows.Period() : 1);
        m_dst = frame::NewImageLike(*src, w2, h2);

        // The colours, in channel units, clamped as they are written.
        const double scale = frame::ChannelScale(*src);
        const int blend = frame::Whole(m_blend, req);
        for (int c = 0; c < kChannels; ++c) {
            const double h = frame::Num(m_h.colour[c], req), v = frame::Num(m_v.colour[c], req);
            m_colourH[c] = ColourValue(h * scale);
            m_colourV[c] = ColourValue(v * scale);
            m_cross[c] = ColourValue(Blend(blend, h, v) * scale);
        }

        // The input column each output column shows, or -1 for a colour column.
        m_plainColumns = !m_cols.active;
        m_sourceColumn.resize(m_plainColumns ? 0 : std::size_t(w2));
        for (std::size_t x = 0; x < m_sourceColumn.size(); ++x)
            m_sourceColumn[x] = int(m_cols.Source(std::int64_t(x)));

        m_worker = frame::PickByDepth(*src, &Striper::Row<std::uint16_t>, &Striper::Row<float>);
        DoMultiProcess(req, long(h2));
        m_output->Set(req, m_dst);
    }

    void ProcessSlice(Request*, long y) override { (this->*m_worker)(int(y)); }

private:
    static Axis ReadAxis(const AxisControls& a, bool active, Request* req) {
        Axis axis;
        axis.active = active;
        axis.stretch = active && frame::Whole(a.mode, req) >= 1;
        axis.colourFirst = frame::Whole(a.order, req) >= 1;
        axis.inputLines = std::clamp(frame::Whole(a.inputLines, req), 1, 255);
        axis.colourLines = std::clamp(frame::Whole(a.colourLines, req), 1, 255);
        return axis;
    }

    // A crossing's colour from the horizontal and vertical colours (0..1 units). The combo
    // declares three entries (write over, add, subtract), as the tool always has; a value
    // set past them through the host (a script, a saved setting) still reaches multiply (3)
    // and divide (4), which the tool has always given, so they stay.
    static double Blend(int mode, double h, double v) {
        switch (mode) {
        case 1: return v + h;
        case 2: return h - v;
        case 3: return v * h;
        case 4: return v != 0.0 ? h / v : (h == 0.0 ? 0.0 : 1.0);
        default: return v;
        }
    }

    // A colour value as written: clamped to 0..65535, NaN as 0.
    static double ColourValue(double v) { return v > 0.0 ? std::min(v, 65535.0) : 0.0; }

    template <class T>
    static std::array<T, kChannels> Pixel(const std::array<double, kChannels>& v) {
        return {frame::Depth<T>::Store(v[0]), frame::Depth<T>::Store(v[1]),
                frame::Depth<T>::Store(v[2]), frame::Depth<T>::Store(v[3])};
    }

    // Output row y: a colour row (with crossings at colour columns) or an input row
    // (with the vertical colour at colour columns).
    template <class T>
    void Row(int y) {
        constexpr std::size_t kPixel = sizeof(T) * kChannels;
        T* out = m_dst->Row<T>(y);
        const int w2 = m_dst->Width();
        const int* column = m_sourceColumn.data();
        const std::int64_t sy = m_rows.Source(y);
        if (sy < 0) {
            const std::array<T, kChannels> line = Pixel<T>(m_colourH), cross = Pixel<T>(m_cross);
            for (int x = 0; x < w2; ++x) {
                const T* p = m_plainColumns || column[x] >= 0 ? line.data() : cross.data();
                std::memcpy(out + std::ptrdiff_t(x) * kChannels, p, kPixel);
            }
            return;
        }
        const T* in = m_src->Row<T>(int(sy));
        if (m_plainColumns) {
            std::memcpy(out, in, kPixel * std::size_t(w2));
            return;
        }
        const std::array<T, kChannels> line = Pixel<T>(m_colourV);
        for (int x = 0; x < w2; ++x) {
            const T* p = column[x] >= 0 ? in + std::ptrdiff_t(column[x]) * kChannels : line.data();
            std::memcpy(out + std::ptrdiff_t(x) * kChannels, p, kPixel);
        }
    }

    Input* m_input;
    AxisControls m_h{}, m_v{};
    Input* m_blend = nullptr;
    Output* m_output;

    // Prepared per request.
    const Image* m_src = nullptr;
    Image* m_dst = nullptr;
    Axis m_rows, m_cols;
    std::array<double, kChannels> m_colourH{}, m_colourV{}, m_cross{};
    bool m_plainColumns = true;
    std::vector<int> m_sourceColumn;
    void (Striper::*m_worker)(int) = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(Striper, "Quorvane.QRVX_Striper", "Striper", "Strp", "QuorvaneStriper", 10000,
                   "Built: Nov 26 2005",
                   "Add variable scanlines to footage, both horizontally and vertically.\n V 0.9 "
                   "public Beta")
