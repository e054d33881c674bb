// PanelSim: shows a picture as the light cells of a display panel. Every input pixel
// becomes a row of cells, one per enabled colour channel (red, green, blue, in that
// order, side by side); each cell is a block of output pixels shaped by a display pixel:
// the image connected to "DisplayPixel" (its top-left part up to the "max DisplayPixel"
// limits) or one of four built-in patterns. The output is cell width x enabled channels
// x input width by cell height x input height, cut to "max Output width" and "max Output
// height".
//
// A cell's alpha is the display pixel's component of the cell's own channel (red cells
// take its red); its colour comes from the channel's colour mode: 0 the input's own
// channel alone, 1 the input's colour, 2 the display pixel's colour, 3 the input's own
// channel times the custom colour (formed in double precision, then truncated and
// clamped to 0..65535 on integer images, rounded to float on float images, where values
// above 1 are kept). Mode values outside 0 to 3 act as 0. The input's alpha and the
// display pixel's alpha take no part.
//
// Edges: cells that do not fit the output whole stay black with zero alpha, as do the
// columns right of the last whole cell and the rows below the last whole row of cells.
// With no channel enabled the output is one black pixel. Sizes are computed in 64 bits,
// so an output too large for the host is refused by the host with an error naming the
// size instead of wrapping around. A display pixel of the other depth is read through
// the host's pixel conversion (1.0 is 65535). "Preset" loads one of three display setups
// into the other controls, each set through its own control, so each change notifies.
//
// Rendering: every output pixel is written once, row by row, as the bitwise OR of the
// input's part of its cell and the display pixel's part, each channel being all zero bits
// on one side. The display pixel's parts (every cell's alpha, the colour in mode 2) are
// a per-render table, a run per display pixel row; the input's parts are formed once per
// input row. One-pixel cells that take their colour from the input (the default) are
// written straight from the input pixel, on AVX-512 where the processor has it
// (panelsim_wide.h).
#include "frame/tool.h"
#include "frame/wide.h"
#include "panelsim_wide.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr int kChannels = 4; // red, green, blue, alpha: storage order
constexpr int kColours = 3;  // red, green, blue: the channels that get cells

// Where a cell's colour comes from: the entries of the three colour combos.
enum Mode { kOwnChannel = 0, kInputColour = 1, kPixelColour = 2, kCustomColour = 3 };

// The built-in display pixels by "Pixel Preset" entry, row by row, in value symbols:
// F full, H 0.8, D 0.534065, L 0.19989 of the channel scale, 0 nothing.
struct BuiltIn {
    int width, height;
    const char* values;
};
constexpr BuiltIn kBuiltIns[] = {
    {1, 2,
     "F"
     "F"},
    {3, 3,
     "0F0"
     "FFF"
     "0F0"},
    {4, 4,
     "LFFH"
     "LFHF"
     "LHFF"
     "0LLL"},
    {4, 4,
     "LDHD"
     "LHFH"
     "LDHD"
     "0LLL"},
};

// A symbol's value: on integer images the integers of the design, on float images the
// fractions rounded to single precision.
double SymbolValue(char symbol, bool isFloat) {
    switch (symbol) {
    case 'F': return isFloat ? 1.0 : 65535.0;
    case 'H': return isFloat ? double(float(0.8)) : 52428.0;
    case 'D': return isFloat ? double(float(0.534065)) : 35000.0;
    case 'L': return isFloat ? double(float(0.19989)) : 13100.0;
    default: return 0.0;
    }
}

// The worker handles pixels as their bytes: one 64-bit word per integer pixel, two per
// float pixel. A cell's output pixel is the bitwise OR of the input's part and the display
// pixel's part, every channel being all zero bits (0 or +0.0) on one side, so each value
// passes exactly, NaN and -0.0 included.
using Word = std::uint64_t;
template <class T>
constexpr std::size_t kWords = sizeof(T) * kChannels / sizeof(Word);

// A colour channel's controls.
struct ColourControls {
    Input* on;
    Input* mode;
    std::array<Input*, kColours> custom;
};

// A colour channel's prepared cell.
struct Cell {
    int channel = 0; // 0 red, 1 green, 2 blue
    int mode = kOwnChannel;
    std::array<double, kColours> custom{};
    // The channels the input gives (all bits set) in the cell's colour: its own in mode 0,
    // the three colours in modes 1 and 3 (in mode 3 those of the custom colour product).
    std::array<Word, 2> keep{};
};

class PanelSim : public ThreadedOperator {
public:
    PanelSim(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        constexpr frame::Extra kNotify{.notify = true};
        constexpr frame::Range kCellW{1, 65535}, kCellH{2, 65535}, kOutW{1, 30000}, kOutH{2, 30000};
        constexpr auto whole = [](frame::Range r) {
            return frame::Extra{.allowed = r, .whole = true};
        };
        ColourControls& r = m_colour[0];
        ColourControls& g = m_colour[1];
        ColourControls& b = m_colour[2];
        // clang-format off
        m_input       = frame::ImageIn(*this, "Input")->Describe("The picture shown on the panel; every pixel becomes a row of cells");
        m_pixel       = frame::ImageIn(*this, "DisplayPixel", 2, false)->Describe("A picture of one display cell, whose shape every cell takes (optional: else the pixel preset)");
        AddControlPage("Display Type");
        m_preset      = frame::Combo(*this, "Preset", "Preset", {"TV + Monitors", "Airport", "Diode Marquee"}, 0, kNotify)->Describe("Loads a display setup into the other controls: TV and monitors, airport board or diode marquee");
        AddControlPage("Settings");
        r.on          = frame::Checkbox(*this, "Red", "Red", 1.0, {.rowShare = 0.33})->Describe("Gives every pixel a red cell");
        g.on          = frame::Checkbox(*this, "Green", "Green", 1.0, {.rowShare = 0.34})->Describe("Gives every pixel a green cell");
        b.on          = frame::Checkbox(*this, "Blue", "Blue", 1.0, {.rowShare = 0.33})->Describe("Gives every pixel a blue cell");
        m_pixelPreset = frame::Combo(*this, "Pixel Preset", "Pixel Preset", {"Default(1x2 full RGBA)", "Diamond(3x3 full RGBA)", "Plaquette(4x4 RGBA)", "Diode(4x4 RGBA)"}, 0, kNotify)->Describe("The built-in cell shape, used when no DisplayPixel picture is connected");
        r.mode        = frame::Combo(*this, "Red Color", "Red Color", {"Red from Input", "Color from Input", "Color from Pixel", "Custom Color Pick"}, 0, kNotify)->Describe("Where the red cells take their colour: the input's red, the input's colour, the cell picture's colour or the custom colour");
        r.custom[0]   = frame::ColorChannel(*this, "newredR", "newredR", 0.0, 1, 0, "new Red Color")->Describe("Red of the custom colour of the red cells");
        r.custom[1]   = frame::ColorChannel(*this, "newredG", "newredG", 0.0, 1, 1, "new Red Color")->Describe("Green of the custom colour of the red cells");
        r.custom[2]   = frame::ColorChannel(*this, "newredB", "newredB", 0.0, 1, 2, "new Red Color")->Describe("Blue of the custom colour of the red cells");
        g.mode        = frame::Combo(*this, "green Color", "green Color", {"green from Input", "Color from Input", "Color from Pixel", "Custom Color Pick"}, 0, kNotify)->Describe("Where the green cells take their colour: the input's green, the input's colour, the cell picture's colour or the custom colour");
        g.custom[0]   = frame::ColorChannel(*this, "newgreenR", "newgreenR", 0.0, 2, 0, "new green Color")->Describe("Red of the custom colour of the green cells");
        g.custom[1]   = frame::ColorChannel(*this, "newgreenG", "newgreenG", 0.0, 2, 1, "new green Color")->Describe("Green of the custom colour of the green cells");
        g.custom[2]   = frame::ColorChannel(*this, "newgreenB", "newgreenB", 0.0, 2, 2, "new green Color")->Describe("Blue of the custom colour of the green cells");
        b.mode        = frame::Combo(*this, "blue Color", "blue Color", {"blue from Input", "Color from Input", "Color from Pixel", "Custom Color Pick"}, 0, kNotify)->Describe("Where the blue cells take their colour: the input's blue, the input's colour, the cell picture's colour or the custom colour");
        b.custom[0]   = frame::ColorChannel(*this, "newblueR", "newblueR", 0.0, 3, 0, "new blue Color")->Describe("Red of the custom colour of the blue cells");
        b.custom[1]   = frame::ColorChannel(*this, "newblueG", "newblueG", 0.0, 3, 1, "new blue Color")->Describe("Green of the custom colour of the blue cells");
        b.custom[2]   = frame::ColorChannel(*this, "newblueB", "newblueB", 0.0, 3, 2, "new blue Color")->Describe("Blue of the custom colour of the blue cells");
        AddControlPage("Boundaries");
        m_maxCellW    = frame::Screw(*this, "max DisplayPixel width", "max DisplayPixel width", 4, kCellW, whole(kCellW))->Describe("The most columns of the DisplayPixel picture a cell takes");
        m_maxCellH    = frame::Screw(*this, "max DisplayPixel height", "max DisplayPixel height", 4, kCellH, whole(kCellH))->Describe("The most rows of the DisplayPixel picture a cell takes");
        m_maxOutW     = frame::Screw(*this, "max Output width", "max Output width", 10000, kOutW, whole(kOutW))->Describe("The widest the output may grow; the panel is cut there");
        m_maxOutH     = frame::Screw(*this, "max Output height", "max Output height", 10000, kOutH, whole(kOutH))->Describe("The tallest the output may grow; the panel is cut there");
        m_output      = frame::ImageOut(*this);
        // clang-format on
    }

    // "Preset" loads its display setup into the other controls, each through its own
    // set-value operation so that each change is notified like a user's edit.
    void NotifyChanged(Input* in, Parameter* value, double time, TagList* tags) override {
        if (const auto* n = dynamic_cast<const Number*>(value); n && in == m_preset) {
            for (const auto& [control, v] : PresetSettings(n->Value()))
                control->SetValue(AutoNumber(v), time, 1, 0);
        }
        ThreadedOperator::NotifyChanged(in, value, time, tags);
    }

    void Process(Request* req) override {
        const Image* src = frame::MainImage(req, m_input);
        const Image* connected = frame::ImageAt(m_pixel, req);
        m_src = src;
        m_inW = src->Width();
        m_inH = src->Height();

        // The display pixel and the cell size.
        frame::Temporary builtIn(connected ? nullptr
                                           : BuildPattern(frame::Whole(m_pixelPreset, req), *src));
        const Image& pattern = connected ? *connected : *builtIn;
        if (connected) {
            m_cellW = std::min(std::max(1, frame::Whole(m_maxCellW, req)), connected->Width());
            m_cellH = std::min(std::max(1, frame::Whole(m_maxCellH, req)), connected->Height());
        } else {
            m_cellW = builtIn->Width();
            m_cellH = builtIn->Height();
        }

        // The enabled channels, in the order red, green, blue.
        m_n = 0;
        for (int c = 0; c < kColours; ++c) {
            if (!frame::On(m_colour[c].on, req)) continue;
            Cell& cell = m_cells[std::size_t(m_n++)];
            cell.channel = c;
            const int mode = frame::Whole(m_colour[c].mode, req);
            cell.mode = mode >= kOwnChannel && mode <= kCustomColour ? mode : kOwnChannel;
            for (int j = 0; j < kColours; ++j)
                cell.custom[j] = frame::Num(m_colour[c].custom[j], req);
        }

        // The output size: the natural size in 64 bits, lowered to the maxima.
        std::int64_t outW = 1, outH = 1;
        if (m_n > 0) {
            outW = std::min<std::int64_t>(std::int64_t(m_cellW) * m_n * m_inW,
                                          std::max(1, frame::Whole(m_maxOutW, req)));
            outH = std::min<std::int64_t>(std::int64_t(m_cellH) * m_inH,
                                          std::max(1, frame::Whole(m_maxOutH, req)));
        }
        m_dst = frame::NewImageLike(*src, outW, outH);
        if (m_n == 0) {
            m_dst->Fill(IntPixel{});
            m_output->Set(req, m_dst);
            return;
        }

        // Cells that fit the output whole: the first cellsFit of every row of cells, and
        // the rows of cells of the first fullRows input rows.
        m_cellsFit = int(std::min<std::int64_t>(std::int64_t(m_n) * m_inW, outW / m_cellW));
        m_fullRows = int(std::min<std::int64_t>(m_inH, outH / m_cellH));
        // Input rows that reach the output at all (the last one perhaps only in part).
        m_rowsShown = int(std::min<std::int64_t>(m_inH, (outH + m_cellH - 1) / m_cellH));

        (this->*frame::PickByDepth(*src, &PanelSim::Prepare<std::uint16_t>,
                                   &PanelSim::Prepare<float>))(pattern);
        // The table holds all the workers need of the pattern.
        builtIn.reset();

        m_worker = frame::PickByDepth(*src, &PanelSim::Band<std::uint16_t>, &PanelSim::Band<float>);
        m_bands = BandCount(m_rowsShown);
        DoMultiProcess(req, m_bands);
        m_output->Set(req, m_dst);
    }

    void ProcessSlice(Request*, long band) override {
        const RowRange rows = BandRows(band, m_bands, m_rowsShown);
        (this->*m_worker)(int(rows.begin), int(rows.end));
    }

private:
    // The controls a display preset sets, in order, with their values; none for a value
    // that names no preset.
    std::vector<std::pair<Input*, double>> PresetSettings(double preset) const {
        const ColourControls& r = m_colour[0];
        const ColourControls& g = m_colour[1];
        const ColourControls& b = m_colour[2];
        const double entry = std::trunc(preset);
        if (!(entry >= 0 && entry <= 2)) return {}; // NaN included
        // clang-format off
        switch (int(entry)) {
        case 0: // "TV + Monitors"
            return {{r.on, 1}, {g.on, 1}, {b.on, 1}, {m_pixelPreset, 0},
                    {r.mode, 0}, {g.mode, 0}, {b.mode, 0}};
        case 1: // "Airport"
            return {{r.on, 1}, {g.on, 0}, {b.on, 0}, {m_pixelPreset, 2},
                    {r.mode, 3}, {r.custom[0], 0.75}, {r.custom[1], 0.9}, {r.custom[2], 0}};
        default: // "Diode Marquee"
            return {{r.on, 1}, {g.on, 0}, {b.on, 0}, {m_pixelPreset, 3},
                    {r.mode, 3}, {r.custom[0], 1}, {r.custom[1], 0}, {r.custom[2], 0}};
        }
        // clang-format on
    }

    // A built-in display pixel of the input's depth, a temporary of the render; entries
    // outside the list give entry 0.
    Image* BuildPattern(int entry, const Image& like) {
        const BuiltIn& p = kBuiltIns[entry >= 1 && entry <= 3 ? entry : 0];
        Image* image = NewImage({{tag::ImgContext, static_cast<const void*>(this)},
                                 {tag::ImgWidth, p.width},
                                 {tag::ImgHeight, p.height},
                                 {tag::ImgDepth, int(like.Depth())},
                                 {tag::ImgChannel, 2},
                                 {tag::ImgChannel, 1},
                                 {tag::ImgChannel, 0},
                                 {tag::ImgChannel, 3}});
        for (int y = 0; y < p.height; ++y) {
            for (int x = 0; x < p.width; ++x) {
                const double v = SymbolValue(p.values[y * p.width + x], like.IsFloat());
                if (like.IsFloat())
                    std::fill_n(image->Row<float>(y) + 4 * x, kChannels, float(v));
                else
                    std::fill_n(image->Row<std::uint16_t>(y) + 4 * x, kChannels, std::uint16_t(v));
            }
        }
        return image;
    }

    // Pattern pixel (u, v) in the output's representation, through the pattern image's
    // own conversion: integer for integer output, float for float output.
    template <class T>
    static std::array<T, kChannels> PatternPixel(const Image& pattern, int u, int v) {
        const void* pos = static_cast<const char*>(pattern.RowTable()[v]) + u * pattern.Stride();
        typename frame::Depth<T>::Record q;
        if constexpr (std::is_same_v<T, float>)
            pattern.Routines().readFlt(q, pos, nullptr, pattern);
        else
            pattern.Routines().readInt(q, pos, nullptr, pattern);
        return {T(q.R), T(q.G), T(q.B), T(q.A)};
    }

    // A cell's keep mask, as words of a pixel of type T.
    template <class T>
    static void KeepMask(Cell& cell) {
        unsigned char keep[sizeof cell.keep] = {};
        for (int ch = 0; ch < kColours; ++ch) {
            const bool given =
                cell.mode == kOwnChannel ? ch == cell.channel : cell.mode != kPixelColour;
            if (given) std::memset(keep + ch * sizeof(T), 0xff, sizeof(T));
        }
        std::memcpy(cell.keep.data(), keep, sizeof keep);
    }

    // The per-render tables. Per cell its keep mask; and per display pixel row v, the
    // display pixel's part of the cells: the alpha of every cell and the colour of the
    // cells in mode 2. A table row holds one input pixel's group of cells (those of them
    // that ever fit, so that a huge display pixel costs no more than the output) repeated
    // to a run of at least kRunPixels, so that output rows are drawn in long runs.
    template <class T>
    void Prepare(const Image& pattern) {
        constexpr int kRunPixels = 256;
        constexpr std::size_t W = kWords<T>;
        m_direct = m_cellW == 1;
        for (int k = 0; k < m_n; ++k) {
            KeepMask<T>(m_cells[std::size_t(k)]);
            m_direct = m_direct && m_cells[std::size_t(k)].mode != kCustomColour;
        }
#if QRVX_WIDE_ROWS
        m_wide = m_direct && host::PathTaken(host::Isa::Avx512);
        m_wideCells.Prepare(m_n, int(W), [&](int k) { return m_cells[std::size_t(k)].keep; });
#endif
        // Direct rows read every cell's part (their cells are one pixel wide).
        const int cells = m_direct ? m_n : std::min(m_n, m_cellsFit);
        const int group = cells * m_cellW;
        m_runPixels = cells == 0 ? 0 : (kRunPixels + group - 1) / group * group;
        const std::size_t run = std::size_t(m_runPixels) * W;
        m_table.assign(run * std::size_t(m_cellH), 0);
        for (int v = 0; v < m_cellH; ++v) {
            Word* row = m_table.data() + std::size_t(v) * run;
            for (int k = 0; k < cells; ++k) {
                const Cell& cell = m_cells[std::size_t(k)];
                for (int u = 0; u < m_cellW; ++u) {
                    const std::array<T, kChannels> q = PatternPixel<T>(pattern, u, v);
                    T part[kChannels] = {};
                    if (cell.mode == kPixelColour) std::copy_n(q.begin(), kColours, part);
                    part[frame::kA] = q[std::size_t(cell.channel)];
                    std::memcpy(row + (std::size_t(k) * m_cellW + u) * W, part, sizeof part);
                }
            }
            for (std::size_t i = std::size_t(group) * W; i < run; ++i)
                row[i] = row[i - std::size_t(group) * W];
        }
    }

    // A pixel's words ANDed with a mask.
    template <class T>
    static void Masked(const T* pixel, const std::array<Word, 2>& mask, Word* out) {
        std::memcpy(out, pixel, kWords<T> * sizeof(Word));
        for (std::size_t i = 0; i < kWords<T>; ++i) out[i] &= mask[i];
    }

    // Output row v of input row `in` when every cell is one pixel wide and takes its
    // colour straight from the input: each of the N cells of an input pixel is written as
    // the pixel masked and ORed with the display pixel's part, with no table of the
    // input's parts. Masks and parts are copied to locals so that they stay in registers.
    template <class T, int N>
    void DirectRow(const T* in, const Word* pattern, T* out, int x0 = 0) const {
        constexpr std::size_t W = kWords<T>;
        Word keep[N][W], part[N][W];
        for (int k = 0; k < N; ++k)
            for (std::size_t i = 0; i < W; ++i) {
                keep[k][i] = m_cells[std::size_t(k)].keep[i];
                part[k][i] = pattern[std::size_t(k) * W + i];
            }
        const auto cell = [&](const T* p, int k, unsigned char* o) {
            Word w[W];
            std::memcpy(w, p, sizeof w);
            for (std::size_t i = 0; i < W; ++i) w[i] = (w[i] & keep[k][i]) | part[k][i];
            std::memcpy(o, w, sizeof w);
        };
        constexpr std::size_t kCellBytes = sizeof(Word) * W;
        auto* o = reinterpret_cast<unsigned char*>(out) + std::size_t(x0) * N * kCellBytes;
        const int whole = m_cellsFit / N; // input pixels all of whose cells fit
        for (int x = x0; x < whole; ++x, o += N * kCellBytes)
            for (int k = 0; k < N; ++k)
                cell(in + std::size_t(x) * kChannels, k, o + k * kCellBytes);
        for (int k = 0; k < m_cellsFit % N; ++k, o += kCellBytes)
            cell(in + std::size_t(whole) * kChannels, k, o);
        std::fill(reinterpret_cast<T*>(o), out + std::size_t(m_dst->Width()) * kChannels, T(0));
    }

    // One-pixel cells straight from the input. On the wide path the input pixels of whole
    // registers go first (panelsim_wide.h, the pattern table row one period long per
    // register), the rest by the portable row.
    template <class T, int N>
    void DirectRows(const T* in, const Word* pattern, T* out) const {
        int x0 = 0;
#if QRVX_WIDE_ROWS
        if (m_wide) {
            constexpr int kPixels = 8 / int(kWords<T>); // input pixels per register
            const int registers = m_cellsFit / N / kPixels;
            m_wideCells.Row<N>(in, registers, pattern, out);
            x0 = registers * kPixels;
        }
#endif
        DirectRow<T, N>(in, pattern, out, x0);
    }

    // For input row `in`, the input's part of each fitting cell, as wide as the cell: the
    // input pixel masked, or in mode 3 the custom colour product; alpha 0.
    template <class T>
    void InputParts(const T* in, Word* parts) const {
        constexpr std::size_t W = kWords<T>;
        const std::size_t cellWords = std::size_t(m_cellW) * W;
        const std::size_t step = std::size_t(m_n) * cellWords;
        for (int k = 0; k < std::min(m_n, m_cellsFit); ++k) {
            const Cell& cell = m_cells[std::size_t(k)];
            const int count = (m_cellsFit - k + m_n - 1) / m_n; // input pixels whose cell k fits
            const T* const end = in + std::size_t(count) * kChannels;
            Word* o = parts + std::size_t(k) * cellWords;
            if (cell.mode == kCustomColour) {
                for (const T* p = in; p < end; p += kChannels, o += step) {
                    T colour[kChannels] = {};
                    for (int j = 0; j < kColours; ++j)
                        colour[j] = frame::Depth<T>::Store(double(p[cell.channel]) *
                                                           cell.custom[std::size_t(j)]);
                    std::memcpy(o, colour, sizeof colour);
                }
            } else {
                for (const T* p = in; p < end; p += kChannels, o += step) Masked(p, cell.keep, o);
            }
        }
        // Each cell's first pixel across the cell.
        if (m_cellW > 1) {
            for (Word* o = parts; o < parts + std::size_t(m_cellsFit) * cellWords; o += cellWords)
                for (std::size_t i = W; i < cellWords; ++i) o[i] = o[i - W];
        }
    }

    // One output row: the drawn cells are the input's parts ORed with the pattern table
    // row, run by run; the rest is black.
    template <class T>
    void CellRow(const Word* parts, const Word* pattern, T* out) const {
        const std::size_t drawn = std::size_t(m_cellsFit) * m_cellW * kWords<T>;
        const std::size_t run = std::size_t(m_runPixels) * kWords<T>;
        auto* o = reinterpret_cast<unsigned char*>(out);
        for (std::size_t s = 0; s < drawn; s += run) {
            const std::size_t length = std::min(run, drawn - s);
            for (std::size_t i = 0; i < length; ++i) {
                const Word w = parts[s + i] | pattern[i];
                std::memcpy(o + (s + i) * sizeof(Word), &w, sizeof w);
            }
        }
        std::fill(reinterpret_cast<T*>(o + drawn * sizeof(Word)),
                  out + std::size_t(m_dst->Width()) * kChannels, T(0));
    }

    // Input rows [y0, y1): each draws its cell rows, or black where its cells are cut.
    template <class T>
    void Band(int y0, int y1) {
        const std::size_t run = std::size_t(m_runPixels) * kWords<T>;
        const int outH = m_dst->Height();
        std::vector<Word> parts(m_direct ? 0 : std::size_t(m_cellsFit) * m_cellW * kWords<T>);
        for (int y = y0; y < y1; ++y) {
            const int top = y * m_cellH, bottom = std::min(top + m_cellH, outH);
            if (y >= m_fullRows) {
                for (int r = top; r < bottom; ++r)
                    std::fill_n(m_dst->Row<T>(r), std::size_t(m_dst->Width()) * kChannels, T(0));
                continue;
            }
            const T* in = m_src->Row<T>(y);
            if (!m_direct) InputParts(in, parts.data());
            for (int v = 0; v < m_cellH; ++v) {
                const Word* pattern = m_table.data() + std::size_t(v) * run;
                T* out = m_dst->Row<T>(top + v);
                switch (m_direct ? m_n : 0) {
                case 1: DirectRows<T, 1>(in, pattern, out); break;
                case 2: DirectRows<T, 2>(in, pattern, out); break;
                case 3: DirectRows<T, 3>(in, pattern, out); break;
                default: CellRow(parts.data(), pattern, out);
                }
            }
        }
    }

    Input* m_input;
    Input* m_pixel;
    Input* m_preset;
    Input* m_pixelPreset;
    std::array<ColourControls, kColours> m_colour{};
    Input *m_maxCellW, *m_maxCellH, *m_maxOutW, *m_maxOutH;
    Output* m_output;

    // Prepared per request.
    const Image* m_src = nullptr;
    Image* m_dst = nullptr;
    int m_inW = 0, m_inH = 0;
    int m_cellW = 1, m_cellH = 1;
    int m_n = 0;                          // enabled channels
    std::array<Cell, kColours> m_cells{}; // the enabled ones, in order
    int m_cellsFit = 0;                   // whole cells per row of cells
    int m_fullRows = 0;                   // input rows whose cells fit whole
    int m_rowsShown = 0;                  // input rows that reach the output
    int m_runPixels = 0;                  // pixels of a pattern table row
    std::vector<Word> m_table;            // the display pixel's parts, a run per row
    bool m_direct = false;                // one-pixel cells, none in mode 3
    bool m_wide = false;                  // direct rows on the AVX-512 path
#if QRVX_WIDE_ROWS
    panelsim::WideCells m_wideCells; // what they need of the cells
#endif
    long m_bands = 1;
    void (PanelSim::*m_worker)(int, int) = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(
    PanelSim, "Quorvane.QRVX_PanelSim", "PanelSim", "PnSm", "QuorvanePanelSim", 9000,
    "Built: Dec 19 2005",
    "Simulates display systems like TV/Monitor,Airport & public Displays etc.\n V 0.9 "
    "public Beta")
