// Warble: distorts an image with waves, each channel (red, green, blue, alpha) on its own.
// A channel is moved sideways by a wave that runs down the image (it depends on the row)
// and up or down by a wave that runs across it (it depends on the column), plus a shift
// of the whole channel from its centre point. Each axis picks one of thirteen wave
// functions with its own phase, amplitude (1.0 is 100 pixels) and frequency.
//
// The mapping is forward: source pixel (x, y) carries channel ch to
//   (trunc(x + dX(y)), trunc(y + dY(x))),   dX(y) = f(argX) * amplitudeX + offsetX,
//   argX = (y + phaseX) * frequencyX, and dY(x) likewise with x and the Y settings.
// The centre's shift offsetX = W * (cx - 0.5), offsetY = H * (cy - 0.5) is taken as the
// whole number it lies within a few units in the last place of, so that a shift by a
// tenth of the frame moves every row alike; the wave's own part is used as computed.
// A channel that is not active stays in place. Channel values are moved unchanged.
//
// Edges: targets outside the image are dropped; output positions that nothing reaches
// stay 0 in that channel (holes in alpha are transparent). Where several sources land on
// one position in one channel, the last in row-major order wins. A displacement that is
// not a finite number (a function outside its domain or at a pole: "LOG" of 0, "ASIN"
// beyond 1, "cotangens" at 0) drops its pixels as outside the image, as does one too
// large for any image. "None", and a formula index outside the list, give no wave.
//
// Parallel run: each worker index is a band of output rows. A band is built tile by tile
// (its rows by a strip of columns, as many as keep the tile within the processor's second
// cache) in scratch memory: the tile is cleared (channels that stay in place are copied
// instead), every source pixel whose target lies in it is written in row-major order, and
// the tile is copied into the output. Tiles share no target, so each holds exactly what
// the in-order run leaves there, on any number of threads; and a tile's targets stay in
// the cache while its sources go by.
//
// The displacements are computed once per request, dX per row and dY per column, and
// turned into whole-pixel steps: trunc(q + d) is q + floor(d) wherever that is not
// negative, and the one q just left of 0 lands on 0 when d has a fraction. Where a
// displacement lies so close below a whole number that q + d rounds up to it, the step
// would be one pixel short, so those targets are computed as trunc(q + d) in doubles
// pixel by pixel. When all four channels have the same steps, whole pixels move at once.
#include "frame/offsets.h"
#include "frame/tool.h"
#include "frame/wide.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kChannels = 4; // red, green, blue, alpha: storage order
// The scratch of one replay tile, about a core's second-level cache (measured: narrower
// tiles spend more on each row's piece than they save on misses). A tile is 16 to 256
// columns wide.
constexpr std::size_t kTileBytes = std::size_t(1024) << 10;
constexpr int kTileColumnsMin = 16, kTileColumnsMax = 256;
// How far ahead a tile asks for its pieces of source rows, in bytes of source.
constexpr std::size_t kAheadBytes = 8192;

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
    case 10: return 1.0 / std::cos(a); // secans
    case 11: return 1.0 / std::sin(a); // cosecans
    case 12: return 1.0 / std::tan(a); // cotangens
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
    const char* channel; // as the descriptions name it
};
constexpr ChannelNames kNames[kChannels] = {
    {"Red", "Red", "Red active", "Center_Red", "Center Red", 'R', "red"},
    {"Green", "Green", "Green active", "Center_Green", "Center Green", 'G', "green"},
    {"Blue", "Blue", "Blue active", "Center_Blue", "Center Blue", 'B', "blue"},
    {"Alpha", "Alpha", "Alpha active", "Center_Alpha", "Center Alpha", 'A', "alpha"},
};

Input* FormulaCombo(Operator& op, const std::string& id, const char* name) {
    return frame::Combo(op, id.c_str(), name,
                        {"None", "SIN", "COS", "TAN", "LOG", "EXP", "ASIN", "ACOS", "ATAN", "SQRT",
                         "secans", "cosecans", "cotangens"});
}

class Warble : public ThreadedOperator {
public:
    Warble(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        m_input = frame::ImageIn(*this, "Input")->Describe("The picture to distort");
        for (int c = 0; c < kChannels; ++c) {
            const ChannelNames& n = kNames[c];
            const auto id = [&](const char* stem) { return stem + std::string(1, n.letter); };
            // A description naming this channel: "the %s channel" -> "the red channel".
            const auto about = [&](std::string text) {
                text.replace(text.find("%s"), 2, n.channel);
                return text;
            };
            ChannelControls& k = m_controls[c];
            AddControlPage(n.page);
            // clang-format off
            k.active      = frame::Checkbox(*this, n.activeId, n.activeName, 1.0, {.rowShare = 0.33})->Describe(about("Distorts the %s channel; off leaves it in place"));
            k.centre      = frame::Offset(*this, n.centreId, n.centreName)->Describe(about("Shifts the whole %s channel by this point's distance from the middle"));
            k.x.formula   = FormulaCombo(*this, id("FormulaX"), "Formula X")->Describe(about("The wave that moves the %s channel sideways; it runs down the picture"));
            k.x.phase     = frame::Screw(*this, id("phaseX").c_str(), "Phase X", 0.0, {0.0, 1.0})->Describe(about("Slides the sideways wave of the %s channel along the rows"));
            k.x.amplitude = frame::Screw(*this, id("amplitudeX").c_str(), "Amplitude X", 0.5, {0.0, 10.0})->Describe(about("How far the sideways wave moves the %s channel; 1 is 100 pixels"));
            k.x.frequency = frame::Screw(*this, id("frequencyX").c_str(), "Frequency X", 0.05, {0.0, 5.0})->Describe(about("How close together the sideways waves of the %s channel come"));
            k.y.formula   = FormulaCombo(*this, id("FormulaY"), "Formula Y")->Describe(about("The wave that moves the %s channel up and down; it runs across the picture"));
            k.y.phase     = frame::Screw(*this, id("phaseY").c_str(), "Phase Y", 0.0, {0.0, 1.0})->Describe(about("Slides the up-and-down wave of the %s channel along the columns"));
            k.y.amplitude = frame::Screw(*this, id("amplitudeY").c_str(), "Amplitude Y", 0.5, {0.0, 10.0})->Describe(about("How far the up-and-down wave moves the %s channel; 1 is 100 pixels"));
            k.y.frequency = frame::Screw(*this, id("frequencyY").c_str(), "Frequency Y", 0.05, {0.0, 5.0})->Describe(about("How close together the up-and-down waves of the %s channel come"));
            // clang-format on
        }
        m_output = frame::ImageOut(*this);
    }

    void Process(Request* req) override {
        m_main = frame::Begin(req, m_input);
        for (int c = 0; c < kChannels; ++c) {
            const ChannelControls& k = m_controls[c];
            Plan& p = m_plan[c];
            const Point centre = frame::PointAt(k.centre, req);
            // The centre's shift, taken as whole where it is meant to be (a tenth of 360
            // rows), so that a channel without waves moves every row alike.
            const double offsetX =
                frame::WholeIfClose(m_main.width * (centre.X - 0.5), m_main.width);
            const double offsetY =
                frame::WholeIfClose(m_main.height * (centre.Y - 0.5), m_main.height);
            // The horizontal wave runs down the image: its phase is in rows.
            Displacements(ReadAxis(k.x, req, m_main.height, offsetX), m_main.width, p.x);
            Displacements(ReadAxis(k.y, req, m_main.width, offsetY), m_main.height, p.y);
            const auto still = [](double d) { return d == 0.0; };
            p.moves =
                frame::On(k.active, req) && !(std::all_of(p.x.d.begin(), p.x.d.end(), still) &&
                                              std::all_of(p.y.d.begin(), p.y.d.end(), still));
            p.columnsRegular = std::all_of(p.y.regular.begin(), p.y.regular.end(),
                                           [](unsigned char r) { return r != 0; });
            // The range of dY over the columns whose pixels can land anywhere.
            p.dyLow = HUGE_VAL;
            p.dyHigh = -HUGE_VAL;
            for (double d : p.y.d)
                if (d != kDropped) p.dyLow = std::min(p.dyLow, d), p.dyHigh = std::max(p.dyHigh, d);
            const auto [low, high] = std::minmax_element(p.y.shift.begin(), p.y.shift.end());
            p.shiftYLow = *low;
            p.shiftYHigh = *high;
        }
        // Four channels with the same steps move as whole pixels.
        const auto same = [](const Plan& a, const Plan& b) {
            return a.moves && b.moves && a.x.d == b.x.d && a.y.d == b.y.d;
        };
        m_whole =
            same(m_plan[0], m_plan[1]) && same(m_plan[0], m_plan[2]) && same(m_plan[0], m_plan[3]);
        m_bands = BandCount(m_main.height);
        // Tiles as wide as fit kTileBytes, in whole cache lines of the output.
        const std::size_t pixelBytes = m_main.src->IsFloat() ? 16 : 8;
        const std::size_t bandRows = std::size_t((m_main.height + m_bands - 1) / m_bands);
        m_tileWidth = int(std::clamp<std::size_t>(kTileBytes / (bandRows * pixelBytes) / 16 * 16,
                                                  kTileColumnsMin, kTileColumnsMax));
        m_scratch.resize(std::size_t(m_main.height) * m_tileWidth * pixelBytes / 8);
        for (Plan& p : m_plan) {
            p.place.resize(p.y.shift.size());
            for (std::size_t x = 0; x < p.place.size(); ++x)
                p.place[x] = std::ptrdiff_t(p.y.shift[x]) * m_tileWidth * 4 + std::ptrdiff_t(x) * 4;
        }
        m_worker =
            frame::PickByDepth(*m_main.dst, &Warble::Band<std::uint16_t>, &Warble::Band<float>);
        DoMultiProcess(req, m_bands);
        m_output->Set(req, m_main.dst);
    }

    void ProcessSlice(Request*, long band) override {
        const RowRange rows = BandRows(band, m_bands, m_main.dst->Height());
        (this->*m_worker)(int(rows.begin), int(rows.end));
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

    // The displacements along one axis, per position (row for dX, column for dY), and
    // the same as whole-pixel steps: q + d truncates to q + shift[p] for every q whose
    // q + shift[p] is not negative, where regular[p]; the one q with q + shift[p] == -1
    // lands on liftTo[p]: 0 when trunc(q + d) is 0 (d has a fraction), else -1 (dropped).
    // A displacement so close below a whole number that q + d rounds up to it for some q
    // is not regular; its pixels take the exact path in doubles.
    struct Steps {
        std::vector<double> d; // or kDropped
        std::vector<int> shift, liftTo;
        std::vector<unsigned char> regular;
    };

    // What a channel's band pass reads.
    struct Plan {
        bool moves = false;                // false: the channel stays in place
        bool columnsRegular = false;       // every column's dY is regular
        Steps x, y;                        // dX per source row, dY per source column
        double dyLow = 0, dyHigh = 0;      // range of dY other than kDropped (empty: low > high)
        int shiftYLow = 0, shiftYHigh = 0; // range of y.shift, dropped columns included
        // Per source column x, where its value goes in a tile relative to the place of
        // column 0 of its row: y.shift[x] tile rows and x pixels on.
        std::vector<std::ptrdiff_t> place;
    };

    static Axis ReadAxis(const AxisControls& k, Request* req, int length, double offset) {
        return {frame::Whole(k.formula, req),
                frame::Num(k.phase, req) * length,
                frame::Num(k.amplitude, req) * 100,
                frame::Num(k.frequency, req),
                offset,
                length};
    }

    // The displacement at every position along the wave, and its steps over a target
    // axis of `span` positions. Displacements that are not finite or that no image could
    // hold become kDropped.
    static void Displacements(const Axis& a, int span, Steps& s) {
        const std::size_t n = std::size_t(a.length);
        s.d.resize(n);
        s.shift.resize(n);
        s.liftTo.resize(n);
        s.regular.resize(n);
        const bool wave = a.formula > 0 && a.formula < kFormulaCount;
        for (int p = 0; p < a.length; ++p) {
            const double v =
                wave ? Wave(a.formula, (p + a.phase) * a.frequency) * a.amplitude + a.offset
                     : a.offset;
            const double d = std::abs(v) < -kDropped ? v : kDropped;
            const double whole = std::floor(d);
            // q + d lies in [q + whole, q + whole + 1]; rounding up to the upper end grows
            // with the size of q + d, so the last position tells for all of them.
            const double lifted = -1 - whole, last = span - 1;
            const std::size_t i = std::size_t(p);
            s.d[i] = d;
            s.shift[i] = int(whole);
            s.liftTo[i] = lifted >= 0 && lifted <= last && std::trunc(lifted + d) == 0 ? 0 : -1;
            s.regular[i] = last + whole < 0 || std::trunc(last + d) == last + whole;
        }
    }

    // Output rows [y0, y1), tile by tile: a tile of the band's rows and a strip of
    // columns is built in scratch memory, whose rows lie close together, and then copied
    // into the output. A tile starts cleared (or copied, for channels in place); then
    // every source pixel whose target lies in it is written, in row-major order. Tiles
    // share no target, so each replaying its own sources in that order keeps the in-order
    // result, and the targets of a tile stay in the cache while its sources go by.
    template <class T>
    void Band(int y0, int y1) {
        const int w = m_main.src->Width(), h = m_main.src->Height();
        const std::size_t pixelBytes = 4 * sizeof(T);
        bool keep[kChannels];
        int kept = 0;
        for (int c = 0; c < kChannels; ++c) kept += keep[c] = !m_plan[c].moves;
        if (kept == kChannels) {
            for (int y = y0; y < y1; ++y)
                std::memcpy(m_main.dst->Row<T>(y), m_main.src->Row<T>(y), w * pixelBytes);
            return;
        }
        // Per channel, the source rows that can reach the band (with rows of margin for
        // rounding; the test against the band is per pixel).
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
        const int tw = m_tileWidth;
        const frame::StreamedStores streamed;
        T* scratch = reinterpret_cast<T*>(m_scratch.data()) + std::size_t(y0) * tw * 4;
        for (int x0 = 0; x0 < w; x0 += tw) {
            const Tile<T> out{scratch, tw * 4, y0, unsigned(y1 - y0), x0, std::min(w, x0 + tw), w};
            const std::size_t bytes = std::size_t(out.x1 - x0) * pixelBytes;
            const int ahead = int(std::max<std::size_t>(2, kAheadBytes / bytes));
            // Start the tile.
            for (int y = y0; y < y1; ++y) {
                const T* s = m_main.src->Row<T>(y) + x0 * 4;
                T* o = out.RowAt(y);
                if (kept == 0)
                    std::memset(o, 0, bytes);
                else
                    for (int x = 0; x < out.x1 - x0; ++x)
                        for (int c = 0; c < kChannels; ++c)
                            o[x * 4 + c] = keep[c] ? s[x * 4 + c] : T(0);
            }
            // Replay; channels that move alike go as whole pixels, the others one at a time.
            for (int y = first; y < last; ++y) {
                const T* s = m_main.src->Row<T>(y);
                // A tile reads a short piece of each source row, too short for the
                // hardware to follow: ask for the piece some rows on.
                if (y + ahead < last) Prefetch<T>(y + ahead, out.x0, out.x1);
                for (int c = 0; c < kChannels; ++c) {
                    const Plan& p = m_plan[c];
                    if (y < from[c] || y >= to[c] || p.x.d[std::size_t(y)] == kDropped) continue;
                    if (m_whole) {
                        Replay<true>(out, s, 0, y, p);
                        break;
                    }
                    Replay<false>(out, s, c, y, p);
                }
            }
            // Hand the tile to the output: its pieces of output rows lie far apart, and an
            // ordinary store first reads the memory it overwrites, which the processor does
            // not see coming; so they are streamed (fenced when the band is done).
            for (int y = y0; y < y1; ++y)
                streamed.Copy(m_main.dst->Row<T>(y) + x0 * 4, out.RowAt(y), bytes);
        }
    }

    // Asks for the pieces of source row y that the channels moving into columns [x0, x1)
    // of a tile read.
    template <class T>
    void Prefetch(int y, int x0, int x1) const {
        int low = m_main.width, high = 0;
        for (int c = 0; c < (m_whole ? 1 : kChannels); ++c) {
            const Plan& p = m_plan[c];
            if (!p.moves) continue;
            const int shift = p.x.shift[std::size_t(y)];
            low = std::min(low, x0 - shift - 1);
            high = std::max(high, x1 - shift);
        }
        low = std::max(low, 0);
        high = std::min(high, m_main.width);
        const char* row = reinterpret_cast<const char*>(m_main.src->Row<T>(y));
        const char* end = row + std::ptrdiff_t(high) * 4 * sizeof(T);
        for (const char* at = row + std::ptrdiff_t(low) * 4 * sizeof(T); at < end; at += 64)
            __builtin_prefetch(at);
    }

    // A tile in scratch memory: rows [y0, y0 + span) of the band, columns [x0, x1) of the
    // image, one row every `stride` channel values.
    template <class T>
    struct Tile {
        T* base;
        int stride;
        int y0;
        unsigned span;
        int x0, x1;
        int width; // the image's
        bool Holds(int ty) const { return unsigned(ty - y0) < span; }
        T* RowAt(int ty) const { return base + std::ptrdiff_t(ty - y0) * stride; }
        // Channel c (or, kWhole, the whole pixel) of s at (tx, ty), both in the tile.
        template <bool kWhole>
        void Put(int tx, int ty, int c, const T* s) const {
            T* o = RowAt(ty) + (tx - x0) * 4;
            if constexpr (kWhole)
                std::memcpy(o, s, 4 * sizeof(T));
            else
                o[c] = s[c];
        }
    };

    // Channel c (or, kWhole, every channel) of the sources in row y that land in the tile.
    template <bool kWhole, class T>
    static void Replay(const Tile<T>& out, const T* s, int c, int y, const Plan& p) {
        const std::size_t row = std::size_t(y);
        if (!p.columnsRegular || !p.x.regular[row]) return ExactRow<kWhole>(out, s, c, y, p);
        // Rows whose every column lands inside the band need no test per pixel.
        if (y + p.shiftYLow >= out.y0 && y + p.shiftYHigh < out.y0 + int(out.span))
            return StepRow<kWhole, false, false>(out, s, c, y, p);
        if (out.y0 == 0) return StepRow<kWhole, true, true>(out, s, c, y, p);
        StepRow<kWhole, true, false>(out, s, c, y, p);
    }

    // Row y in whole-pixel steps, testing each target row against the band (kTest). In
    // the band that holds row 0 (kTop) the row just above it (-1) may land on row 0.
    template <bool kWhole, bool kTest, bool kTop, class T>
    static void StepRow(const Tile<T>& out, const T* s, int c, int y, const Plan& p) {
        const int* shiftY = p.y.shift.data();
        const int* liftY = p.y.liftTo.data();
        const auto put = [&](int x, int tx) {
            int ty = y + shiftY[x];
            if constexpr (kTop)
                if (ty == -1) ty = liftY[x];
            if (!kTest || out.Holds(ty)) out.template Put<kWhole>(tx, ty, c, s + x * 4);
        };
        const int shift = p.x.shift[std::size_t(y)];
        // The column that lands between -1 and 0 comes first in the row.
        const int lifted = -1 - shift;
        if (out.x0 == 0 && lifted >= 0 && lifted < out.width && p.x.liftTo[std::size_t(y)] == 0)
            put(lifted, 0);
        const int x1 = std::min(out.width, out.x1 - shift);
        int x = std::max(0, out.x0 - shift);
        if constexpr (!kTest || !kTop) {
            // The column's place in the tile, less the row's, is in the plan; without
            // kTest every target lies in the band, else only the columns whose target row
            // does are written.
            if (x < x1)
                Scatter<kWhole, kTest>(out.RowAt(y) + std::ptrdiff_t(shift - out.x0) * 4 + c, s + c,
                                       p.place.data(), shiftY, out.y0 - y, out.span, x, x1);
            return;
        }
        for (; x < x1; ++x) put(x, x + shift);
    }

    // Channel 0 (or, kWhole, the whole pixel) of source columns [x, x1) at o + place[x];
    // with kInBand only the columns x whose step shiftY[x] lies in [low, low + span), the
    // steps that reach the band from the row.
    template <bool kWhole, bool kInBand, class T>
    __attribute__((noinline)) static void
    Scatter(T* __restrict o, const T* __restrict s, const std::ptrdiff_t* __restrict place,
            const int* __restrict shiftY, int low, unsigned span, int x, int x1) {
        for (; x < x1; ++x) {
            if constexpr (kInBand)
                if (unsigned(shiftY[x] - low) >= span) continue;
            if constexpr (kWhole)
                std::memcpy(o + place[x], s + x * 4, 4 * sizeof(T));
            else
                o[place[x]] = s[x * 4];
        }
    }

    // Row y with the targets truncated from doubles, pixel by pixel. trunc(x + dX) is
    // x + shift or one more, or 0 from x = -1 - shift: the columns to try follow.
    template <bool kWhole, class T>
    static void ExactRow(const Tile<T>& out, const T* s, int c, int y, const Plan& p) {
        const double dx = p.x.d[std::size_t(y)];
        const double* dy = p.y.d.data();
        const int shift = p.x.shift[std::size_t(y)];
        const int x1 = std::min(out.width, out.x1 - shift);
        for (int x = std::max(0, out.x0 - shift - 1); x < x1; ++x) {
            const int tx = int(x + dx), ty = int(y + dy[x]);
            if (tx >= out.x0 && tx < out.x1 && out.Holds(ty))
                out.template Put<kWhole>(tx, ty, c, s + x * 4);
        }
    }

    Input* m_input;
    std::array<ChannelControls, kChannels> m_controls{};
    Output* m_output;

    // Prepared per request.
    frame::MainPair m_main; // the render's input and output
    std::array<Plan, kChannels> m_plan;
    bool m_whole = false;                 // all four channels move alike
    std::vector<std::uint64_t> m_scratch; // per image row, the pixels of one tile row
    int m_tileWidth = 16;                 // columns of one replay tile
    long m_bands = 1;
    void (Warble::*m_worker)(int, int) = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(Warble, "Quorvane.QRVX_Warble", "Warble", "Warble", "Quorvane_Warble",
                   frame::kNoTileBitmap, "Built: Dec  9 2005",
                   "Offset colour channels separately.\nV 0.9 public Beta")
