// Warble: distorts an image with waves, each channel (red, green, blue, alpha) on its own.
// A channel is moved sideways by a wave that runs down the image (it depends on the row)
// and up or down by a wave that runs across it (it depends on the column), plus a shift
// of the whole channel from its centre point. Each axis picks one of thirteen wave
// functions with its own phase, amplitude (1.0 is 100 pixels) and frequency.
//
// The mapping is forward: source pixel (x, y) carries channel ch to
//   (trunc(x + dX(y)), trunc(y + dY(x))),   dX(y) = f(argX) * amplitudeX + offsetX,
//   argX = (y + phaseX) * frequencyX, and dY(x) likewise with x and the Y settings.
// A channel that is not active stays in place. Channel values are moved unchanged.
//
// Edges: targets outside the image are dropped; output positions that nothing reaches
// stay 0 in that channel (holes in alpha are transparent). Where several sources land on
// one position in one channel, the last in row-major order wins. A displacement that is
// not a finite number (a function outside its domain or at a pole: "LOG" of 0, "ASIN"
// beyond 1, "cotangens" at 0) drops its pixels as outside the image, as does one too
// large for any image. "None", and a formula index outside the list, give no wave.
//
// Parallel run: each worker index is a band of output rows. A band first clears its rows
// (channels that stay in place are copied instead), then replays, in row-major order,
// every source pixel whose target row lies in the band, writing only into the band. So
// each band holds exactly what the in-order run leaves there, on any number of threads.
// The displacements are computed once per request: dX per row, dY per column; from the
// range of dY each band knows which source rows can reach it.
#include "frame/tool.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kChannels = 4; // red, green, blue, alpha: storage order

// Marks a displacement that drops its pixels: every x + d (or y + d) it gives is
// negative, yet still fits an int for any image the host can hold.
constexpr double kDropped = -1073741824.0; // -2^30

// The wave functions of the "Formula" combo boxes by entry index, angles in radians.
// Index 0 ("None") is handled by the caller: it gives no wave at all.
constexpr int kFormulaCount = 13;
double Wave(int formula, double a) {
    switch (formula) {
    case 1: return std::sin(a);
    case 2: return std::cos(a);
    case 3: return std::tan(a);
    case 4: return std::log(a);
    case 5: return std::exp(a);
    case 6: return std::asin(a);
    case 7: return std::acos(a);
    case 8: return std::atan(a);
    case 9: return std::sqrt(a);
    case 10: return 1.0 / std::cos(a);     // secans
    case 11: return 1.0 / std::sin(a);     // cosecans
    case 12: return 1.0 / std::tan(a);     // cotangens
    default: return 0.0;
    }
}

// The page, checkbox and centre names of each channel and the letter that ends the
// identifiers of its wave controls.
struct ChannelNames {
    const char* page;
    const char* activeId;
    const char* activeName;
    const char* centreId;
    const char* centreName;
    char letter;
};
constexpr ChannelNames kNames[kChannels] = {
    {"Red", "Red", "Red active", "Center_Red", "Center Red", 'R'},
    {"Green", "Green", "Green active", "Center_Green", "Center Green", 'G'},
    {"Blue", "Blue", "Blue active", "Center_Blue", "Center Blue", 'B'},
    {"Alpha", "Alpha", "Alpha active", "Center_Alpha", "Center Alpha", 'A'},
};

Input* FormulaCombo(Operator& op, const std::string& id, const char* name) {
    return frame::Combo(op, id.c_str(), name,
                        {"None", "SIN", "COS", "TAN", "LOG", "EXP", "ASIN", "ACOS", "ATAN",
                         "SQRT", "secans", "cosecans", "cotangens"});
}

class Warble : public ThreadedOperator {
public:
    Warble(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        m_input = frame::ImageIn(*this, "Input");
        for (int c = 0; c < kChannels; ++c) {
            const ChannelNames& n = kNames[c];
            const auto id = [&](const char* stem) { return stem + std::string(1, n.letter); };
            ChannelControls& k = m_controls[c];
            AddControlPage(n.page);
            k.active      = frame::Checkbox(*this, n.activeId, n.activeName, 1.0, {.rowShare = 0.33});
            k.centre      = frame::Offset(*this, n.centreId, n.centreName);
            k.x.formula   = FormulaCombo(*this, id("FormulaX"), "Formula X");
            k.x.phase     = frame::Screw(*this, id("phaseX").c_str(), "Phase X", 0.0, {0.0, 1.0});
            k.x.amplitude = frame::Screw(*this, id("amplitudeX").c_str(), "Amplitude X", 0.5, {0.0, 10.0});
            k.x.frequency = frame::Screw(*this, id("frequencyX").c_str(), "Frequency X", 0.05, {0.0, 5.0});
            k.y.formula   = FormulaCombo(*this, id("FormulaY"), "Formula Y");
            k.y.phase     = frame::Screw(*this, id("phaseY").c_str(), "Phase Y", 0.0, {0.0, 1.0});
            k.y.amplitude = frame::Screw(*this, id("amplitudeY").c_str(), "Amplitude Y", 0.5, {0.0, 10.0});
            k.y.frequency = frame::Screw(*this, id("frequencyY").c_str(), "Frequency Y", 0.05, {0.0, 5.0});
        }
        m_output = frame::ImageOut(*this);
    }

    void Process(Request* req) override {
        const frame::Frame f = frame::Begin(req, m_input);
        m_src = f.src;
        m_dst = f.dst;
        for (int c = 0; c < kChannels; ++c) {
            const ChannelControls& k = m_controls[c];
            Plan& p = m_plan[c];
            const Point centre = frame::PointAt(k.centre, req);
            // The horizontal wave runs down the image: its phase is in rows.
            Displacements(ReadAxis(k.x, req, f.height, f.width * (centre.X - 0.5)), p.dx);
            Displacements(ReadAxis(k.y, req, f.width, f.height * (centre.Y - 0.5)), p.dy);
            const auto still = [](double d) { return d == 0.0; };
            p.moves = frame::On(k.active, req) &&
                      !(std::all_of(p.dx.begin(), p.dx.end(), still) &&
                        std::all_of(p.dy.begin(), p.dy.end(), still));
            // The range of dY over the columns whose pixels can land anywhere.
            p.dyLow = HUGE_VAL;
            p.dyHigh = -HUGE_VAL;
            for (double d : p.dy)
                if (d != kDropped) p.dyLow = std::min(p.dyLow, d), p.dyHigh = std::max(p.dyHigh, d);
        }
        m_bands = std::min(f.height, 2 * ThreadCount());
        m_worker = frame::PickByDepth(*m_dst, &Warble::Band<std::uint16_t>, &Warble::Band<float>);
        DoMultiProcess(req, m_bands);
        m_output->Set(req, m_dst);
    }

    void ProcessSlice(Request*, long band) override {
        const long h = m_dst->Height();
        (this->*m_worker)(int(h * band / m_bands), int(h * (band + 1) / m_bands));
    }

private:
    struct AxisControls {
        Input *formula, *phase, *amplitude, *frequency;
    };
    struct ChannelControls {
        Input *active, *centre;
        AxisControls x, y;
    };

    // One axis's wave in pixels: phase in positions along the wave, amplitude in pixels,
    // and the centre point's shift.
    struct Axis {
        int formula;
        double phase, amplitude, frequency, offset;
        int length; // rows for the horizontal wave, columns for the vertical one
    };

    // What a channel's band pass reads.
    struct Plan {
        bool moves = false;     // false: the channel stays in place
        std::vector<double> dx; // per source row: sideways displacement, or kDropped
        std::vector<double> dy; // per source column: vertical displacement, or kDropped
        double dyLow = 0, dyHigh = 0; // range of dy other than kDropped (empty: low > high)
    };

    static Axis ReadAxis(const AxisControls& k, Request* req, int length, double offset) {
        return {frame::Whole(k.formula, req), frame::Num(k.phase, req) * length,
                frame::Num(k.amplitude, req) * 100, frame::Num(k.frequency, req), offset,
                length};
    }

    // The displacement at every position along the wave; those that are not finite or
    // that no image could hold become kDropped.
    static void Displacements(const Axis& a, std::vector<double>& d) {
        d.resize(std::size_t(a.length));
        const bool wave = a.formula > 0 && a.formula < kFormulaCount;
        for (int p = 0; p < a.length; ++p) {
            const double v =
                wave ? Wave(a.formula, (p + a.phase) * a.frequency) * a.amplitude + a.offset
                     : a.offset;
            d[std::size_t(p)] = std::abs(v) < -kDropped ? v : kDropped;
        }
    }

    // Output rows [y0, y1): cleared (or copied, for channels in place), then every source
    // pixel whose target row is in the band is written, in row-major order.
    template <class T>
    void Band(int y0, int y1) {
        const int w = m_src->Width(), h = m_src->Height();
        bool keep[kChannels];
        for (int c = 0; c < kChannels; ++c) keep[c] = !m_plan[c].moves;
        for (int y = y0; y < y1; ++y) {
            const T* s = m_src->Row<T>(y);
            T* o = m_dst->Row<T>(y);
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < kChannels; ++c) o[x * 4 + c] = keep[c] ? s[x * 4 + c] : T(0);
        }
        // Per channel, the source rows that can reach the band (with a row of margin for
        // rounding; the exact test is per pixel).
        int from[kChannels], to[kChannels];
        int first = h, last = 0;
        for (int c = 0; c < kChannels; ++c) {
            const Plan& p = m_plan[c];
            from[c] = to[c] = 0;
            if (!p.moves || p.dyLow > p.dyHigh) continue;
            from[c] = int(std::clamp(std::floor(y0 - p.dyHigh) - 2, 0.0, double(h)));
            to[c] = int(std::clamp(std::ceil(y1 - p.dyLow) + 2, 0.0, double(h)));
            first = std::min(first, from[c]);
            last = std::max(last, to[c]);
        }
        void* const* rows = m_dst->RowTable();
        const unsigned span = unsigned(y1 - y0);
        for (int y = first; y < last; ++y) {
            const T* s = m_src->Row<T>(y);
            for (int c = 0; c < kChannels; ++c) {
                const double dx = m_plan[c].dx[std::size_t(y)];
                if (y < from[c] || y >= to[c] || dx == kDropped) continue;
                const double* dy = m_plan[c].dy.data();
                for (int x = 0; x < w; ++x) {
                    const int ty = int(y + dy[x]);
                    if (unsigned(ty - y0) >= span) continue;
                    const int tx = int(x + dx);
                    if (unsigned(tx) >= unsigned(w)) continue;
                    static_cast<T*>(rows[ty])[tx * 4 + c] = s[x * 4 + c];
                }
            }
        }
    }

    Input* m_input;
    std::array<ChannelControls, kChannels> m_controls{};
    Output* m_output;

    // Prepared per request.
    Image* m_src = nullptr;
    Image* m_dst = nullptr;
    std::array<Plan, kChannels> m_plan;
    int m_bands = 1;
    void (Warble::*m_worker)(int, int) = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(Warble, "Quorvane.QRVX_Warble", "Warble", "Warble", "Quorvane_Warble",
                   frame::kNoTileBitmap, "Built: Dec  9 2005",
                   "Offset colour channels separately.\nV 0.9 public Beta")
