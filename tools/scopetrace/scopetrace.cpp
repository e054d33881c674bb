// ScopeTrace: draws a waveform-monitor view of the picture. Every analysed pixel becomes
// a point whose column follows its own column and whose row follows a value of the pixel;
// the output has the input's size and depth and is black wherever nothing was drawn.
//
// Display types ("Type"): 0 the largest of R, G, B in white; 1 the saturation
// (max - min) / max in white; 2 R, G and B as three white points; 3 and 4 each active
// channel into its own channel plane with its own stretch and centre (4 differs only in the
// presets it loads); 5 to 8 red, green, blue or alpha as a pure red, green, blue or alpha
// point (colour points have alpha 0), with no stretch or centre. Other types draw nothing.
//
// A value v lands on row trunc(v * stretch * H / scale + centre y * H) (the saturation is
// first multiplied by the channel scale) and in column trunc(x + (centre x - 0.5) * W).
// Points outside the image, and values whose row is not a finite number (the saturation of
// a pixel whose largest channel is 0), are dropped. Points are drawn at full value: the
// output is the union of all points, so it does not depend on their order.
//
// "Roundness" blurs the analysed copy of the input first (size Roundness x 0.1). The rows
// analysed are trunc((H - 1) * top + a) for a = 0 .. trunc(H * (bottom - top)) - 1; rows
// that fall outside the image are skipped.
//
// The centre's offsets centre y * H and (centre x - 0.5) * W, the band's start
// (H - 1) * top and its length H * (bottom - top) are each taken as the whole number they
// lie within a few units in the last place of: a tenth of 360 rows computed as
// 35.99999999999999 would otherwise shift small positions by 35 and large ones by 36,
// leaving a column out of the trace or a row out of the band.
//
// Every point of a record lands in a column fixed by its source column, so the work is
// cut into bands of 64 output columns: each band plots the source columns that reach it
// into bit planes of its own (one 64-bit word per row and plane) and then expands them into
// its columns of the output. Bands write disjoint pixels; the result is the same on any
// number of threads. Rows are computed in vector lanes with the same double operations as
// one value at a time: the channel traces of the presets a pixel's four channels at once
// (two pixels at once on processors with AVX-512, chosen per render: scopetrace_wide.h),
// other traces four pixels at once.
#include "frame/offsets.h"
#include "frame/tool.h"
#include "frame/wide.h"
#include "scopetrace_wide.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

namespace {

constexpr int kChannels = 4;     // red, green, blue, alpha: storage order
constexpr int kBandColumns = 64; // output columns per band: one bit each in a word
constexpr int kTypes = 9;
constexpr std::size_t kAhead = 4; // rows read ahead of the one being plotted

enum Type { kLuminance, kChrominance, kComposite, kFullscreen, kParade, kStaticRed };

// What a trace plots of each pixel: one channel, the largest of R, G, B, or the saturation.
enum Value { kRed, kGreen, kBlue, kAlpha, kMax, kSaturation };

// A pixel's four channels as vector lanes, in double precision and as whole numbers.
using Doubles = double __attribute__((vector_size(32)));
using Ints = std::int32_t __attribute__((vector_size(16)));
// Output pixels as vectors of 32 bytes: the lanes, how many pixels, full value's bits.
template <class T>
struct Pixels;
template <>
struct Pixels<std::uint16_t> {
    using Lane = std::uint16_t;
    using Vec = Lane __attribute__((vector_size(32)));
    static constexpr int kPer = 4;
    static constexpr Lane kFull = 0xffff;
};
template <>
struct Pixels<float> {
    using Lane = std::uint32_t;
    using Vec = Lane __attribute__((vector_size(32)));
    static constexpr int kPer = 2;
    static constexpr Lane kFull = 0x3f800000; // 1.0f
};
// One set of points: every analysed pixel's value v goes to row
// trunc(((v * stretch) * scale) * factor + yOffset) of a bit plane, in the column that
// target gives for its source column.
struct Trace {
    Value value = kRed;
    int plane = 0;
    double stretch = 1, scale = 1, factor = 1, yOffset = 0;
    const std::vector<int>* target = nullptr;

    // The row of value v's point, or height when it falls outside the image: rows
    // -1 < d < H truncate into it, and NaN fails both tests. Only the saturation has a
    // scale other than 1; the others skip multiplying by it.
    template <bool kScaled = true>
    int RowOf(double v, double height) const {
        double d = v * stretch;
        if constexpr (kScaled) d *= scale;
        d = d * factor + yOffset;
        return int(d > -1.0 && d < height ? d : height);
    }
};

class ScopeTrace : public ThreadedOperator {
public:
    ScopeTrace(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        constexpr frame::Range kStretch{0, 10};
        // clang-format off
        m_input = frame::ImageIn(*this, "Input")->Describe("The picture to analyse");
        AddControlPage("Settings");
        m_on = frame::ChannelSwitches(*this, "Draws the %s channel's trace in the RGBA types");
        m_type      = frame::Combo(*this, "Type", "Type", {"Luminance", "Chrominance", "Composite", "RGBA(fullscreen)", "RGBA(parade)",
                                   "static Red(fastest)", "static Green(fastest)", "static Blue(fastest)", "static Alpha(fastest)"},
                                   kParade, {.notify = true})->Describe("What the monitor shows: brightness, saturation, composite, RGBA overlaid or side by side, or one channel alone");
        m_roundness = frame::Slider(*this, "Roundness", "Roundness", 0.0, {0, 100}, {.allowed = frame::Range{0, 1}})->Describe("Softens the picture before tracing, for smoother traces");
        m_xStretch  = frame::Slider(*this, "X Stretch", "X Stretch", 1.0, kStretch, {.hidden = true})->Describe("Kept with the settings; it does not change the trace");
        m_yStretch  = frame::Slider(*this, "Y Stretch", "Y Stretch", 1.0, kStretch)->Describe("Height of the trace: at 1 full value reaches the picture's height");
        m_channelStretch[frame::kR] = frame::Slider(*this, "Y Stretch Red", "Y Stretch Red", 1.0, kStretch, {.hidden = true})->Describe("Height of the red trace in the RGBA types");
        m_channelStretch[frame::kG] = frame::Slider(*this, "Y Stretch Green", "Y Stretch Green", 1.0, kStretch, {.hidden = true})->Describe("Height of the green trace in the RGBA types");
        m_channelStretch[frame::kB] = frame::Slider(*this, "Y Stretch Blue", "Y Stretch Blue", 1.0, kStretch, {.hidden = true})->Describe("Height of the blue trace in the RGBA types");
        m_channelStretch[frame::kA] = frame::Slider(*this, "Y Stretch Alpha", "Y Stretch Alpha", 1.0, kStretch, {.hidden = true})->Describe("Height of the alpha trace in the RGBA types");
        m_centre    = frame::Offset(*this, "Center", "Center")->Describe("Moves the trace: up and down sets its zero line, sideways shifts it");
        m_channelCentre[frame::kR] = frame::Offset(*this, "Center Red", "Center Red")->Describe("Moves the red trace in the RGBA types: up and down sets its zero line, sideways shifts it");
        m_channelCentre[frame::kG] = frame::Offset(*this, "Center Green", "Center Green")->Describe("Moves the green trace in the RGBA types: up and down sets its zero line, sideways shifts it");
        m_channelCentre[frame::kB] = frame::Offset(*this, "Center Blue", "Center Blue")->Describe("Moves the blue trace in the RGBA types: up and down sets its zero line, sideways shifts it");
        m_channelCentre[frame::kA] = frame::Offset(*this, "Center Alpha", "Center Alpha")->Describe("Moves the alpha trace in the RGBA types: up and down sets its zero line, sideways shifts it");
        m_top       = frame::RangeHandle(*this, "Input Image Top", "Input Image Top", 0.0, {0, 1}, 1, 0, {.shown = true})->Describe("Where the band of analysed rows begins, as a share of the height");
        m_bottom    = frame::RangeHandle(*this, "Input Image Bottom", "Input Image Bottom", 1.0, {0, 1}, 1, 1, {.shown = true})->Describe("Where the band of analysed rows ends, as a share of the height");
        m_output = frame::ImageOut(*this);
        // clang-format on

        // A new tool starts as if its default type had just been chosen, with "Center" at
        // the top middle.
        m_type->SetValue(AutoNumber(kParade));
        SetPoint(m_centre, 0.5, 0.0, 0.0);
    }

    // Choosing a type shows its controls and loads its presets, replacing what the user
    // had set; values other than 0..8 (2.5, 9) and other inputs change nothing here.
    void NotifyChanged(Input* in, Parameter* value, double time, TagList* tags) override {
        const auto* number = value ? dynamic_cast<const Number*>(value) : nullptr;
        if (in == m_type && number) {
            for (int t = 0; t < kTypes; ++t)
                if (number->Value() == t) ChooseType(t, time);
        }
        ThreadedOperator::NotifyChanged(in, value, time, tags);
    }

    void Process(Request* req) override {
        m_main = frame::Begin(req, m_input);

        // Analyse a blurred copy when "Roundness" asks for one.
        frame::Temporary blurred;
        const double blur = frame::Num(m_roundness, req) * 0.1;
        if (blur > 0) {
            blurred.reset(frame::NewImageLike(*m_main.src, m_main.width, m_main.height));
            m_main.src->ImageBlur(blurred.get(), 4, true, true, true, true, blur, blur, 1.0, 1.0);
        }
        m_analysed = blurred ? blurred.get() : m_main.src;

        PrepareTraces(frame::Whole(m_type, req), req);
        AnalysedRows(frame::Num(m_top, req), frame::Num(m_bottom, req));

#ifdef QRVX_WIDE_ROWS
        m_wide = host::PathTaken(host::Isa::Avx512);
#endif
        m_worker = frame::PickByDepth(*m_main.dst, &ScopeTrace::Band<std::uint16_t>,
                                      &ScopeTrace::Band<float>);
        DoMultiProcess(req, (m_main.width + kBandColumns - 1) / kBandColumns);
        m_output->Set(req, m_main.dst);
    }

    void ProcessSlice(Request*, long band) override { (this->*m_worker)(int(band)); }

private:
    void SetPoint(Input* in, double x, double y, double time) {
        in->SetValue(AutoParameter(new Point(x, y, 0)), time, 1, 0);
    }
    void SetNumber(Input* in, double v, double time) { in->SetValue(AutoNumber(v), time, 1, 0); }

    // Shows the controls type t reads and loads its presets.
    void ChooseType(int t, double time) {
        const bool mono = t <= kComposite, channels = t == kFullscreen || t == kParade;
        for (Input* in : m_on) in->SetAttrs(tag::Visible, channels);
        m_roundness->SetAttrs(tag::Visible, 1);
        m_yStretch->SetAttrs(tag::Visible, mono);
        for (Input* in : m_channelStretch) in->SetAttrs(tag::Visible, channels);
        m_centre->SetAttrs(tag::Visible, mono);
        for (Input* in : m_channelCentre) in->SetAttrs(tag::Visible, channels);

        if (mono) {
            SetNumber(m_yStretch, 1.0, time);
            SetPoint(m_centre, 0.5, 0.0, time);
        } else if (t == kFullscreen) {
            for (Input* in : m_channelStretch) SetNumber(in, 1.0, time);
            SetPoint(m_centre, 0.5, 0.0, time);
            for (Input* in : m_channelCentre) SetPoint(in, 0.5, 0.0, time);
        } else if (t == kParade) {
            // Red, green and blue stacked in thirds of the height; alpha over all of it.
            constexpr double kThird = 0.333333333;
            constexpr std::array<double, kChannels> kStretches{kThird, kThird, kThird, 1.0};
            constexpr std::array<double, kChannels> kTops{0.0, 0.34, 0.68, 0.0};
            for (int c = 0; c < kChannels; ++c) SetNumber(m_channelStretch[c], kStretches[c], time);
            for (int c = 0; c < kChannels; ++c) SetPoint(m_channelCentre[c], 0.5, kTops[c], time);
        }
    }

    // The traces of the display type, each with its record's stretch, row offset and
    // column table, and which plane feeds each output channel.
    void PrepareTraces(int type, Request* req) {
        const double factor = m_main.height / m_main.scale;
        m_traces.clear();
        m_together = false;
        m_planes = 1;
        m_planeOf.fill(-1);
        auto record = [&](Input* stretch, Input* centre, int table) {
            const Point p = frame::PointAt(centre, req);
            Trace t;
            t.stretch = frame::Num(stretch, req);
            t.factor = factor;
            t.yOffset = frame::WholeIfClose(p.Y * m_main.height, m_main.height);
            ColumnTable(frame::WholeIfClose((p.X - 0.5) * m_main.width, m_main.width),
                        m_target[std::size_t(table)]);
            t.target = &m_target[std::size_t(table)];
            return t;
        };
        if (type == kLuminance || type == kChrominance || type == kComposite) {
            Trace t = record(m_yStretch, m_centre, 0);
            if (type == kChrominance) t.scale = m_main.scale;
            // White points: every output channel comes from the one plane.
            m_planeOf.fill(0);
            if (type != kComposite) {
                t.value = type == kLuminance ? kMax : kSaturation;
                m_traces.push_back(t);
                return;
            }
            for (Value v : {kRed, kGreen, kBlue}) {
                t.value = v;
                m_traces.push_back(t);
            }
        } else if (type == kFullscreen || type == kParade) {
            m_planes = kChannels;
            for (int c = 0; c < kChannels; ++c) {
                m_planeOf[std::size_t(c)] = c;
                if (!frame::On(m_on[c], req)) continue;
                Trace t = record(m_channelStretch[c], m_channelCentre[c], 1 + c);
                t.value = Value(c);
                t.plane = c;
                m_traces.push_back(t);
            }
            PrepareLanes();
        } else if (type >= kStaticRed && type < kTypes) {
            // Straight from value to row: no stretch, no offset, the column itself.
            Trace t;
            t.value = Value(type - kStaticRed);
            t.factor = factor;
            ColumnTable(0.0, m_target[0]);
            t.target = &m_target[0];
            m_traces.push_back(t);
            m_planeOf[std::size_t(type - kStaticRed)] = 0;
        }
    }

    // When the channel traces all share one column table (the presets do), a pixel's four
    // rows are computed together, one channel per lane. A channel that is switched off
    // gets a NaN stretch: its rows are not finite and land in its plane's spare word.
    void PrepareLanes() {
        for (const Trace& t : m_traces)
            if (*t.target != *m_traces.front().target) return;
        m_together = !m_traces.empty();
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (int c = 0; c < kChannels; ++c) {
            m_lanes.stretch[c] = nan;
            m_lanes.offset[c] = 0;
            m_lanes.plane[c] = c * (m_main.height + 1);
        }
        for (const Trace& t : m_traces) {
            m_lanes.stretch[t.plane] = t.stretch;
            m_lanes.offset[t.plane] = t.yOffset;
            m_lanes.factor[t.plane] = t.factor;
        }
    }

    // For each source column x: its output column trunc(x + offset), held to -1 below the
    // image and to W beyond it, so that the table never decreases.
    void ColumnTable(double offset, std::vector<int>& table) const {
        table.resize(std::size_t(m_main.width));
        for (int x = 0; x < m_main.width; ++x) {
            const double t = std::trunc(x + offset);
            table[std::size_t(x)] = t < 0 ? -1 : (t < m_main.width ? int(t) : m_main.width);
        }
    }

    // The rows trunc((H - 1) * top + a) for a in [0, trunc(H * span)) that lie inside the
    // image, in increasing order, each once (row 0 can be reached twice).
    void AnalysedRows(double top, double bottom) {
        m_rows.clear();
        const double base = frame::WholeIfClose((m_main.height - 1) * top, m_main.height - 1);
        const double count =
            std::trunc(frame::WholeIfClose(m_main.height * (bottom - top), m_main.height));
        // Beyond 2^52 whole numbers no longer step by one, so rows could not be told apart:
        // a band that starts that far out analyses nothing.
        constexpr double kExact = 4503599627370496.0;
        if (!(count > 0) || !(std::fabs(base) < kExact)) return;
        // Only a in (-1 - base, H - base) can land inside; test each candidate exactly.
        const double first = std::max(0.0, std::floor(-1.0 - base));
        const double last = std::min(count - 1, std::ceil(m_main.height - base));
        for (double a = first; a <= last; ++a) {
            const double r = std::trunc(base + a);
            if (r >= 0 && r < m_main.height && (m_rows.empty() || m_rows.back() != int(r)))
                m_rows.push_back(int(r));
        }
    }

    // Band k: output columns [64k, 64k + 64). Plots every trace of every analysed row into
    // the band's bit planes, then writes its columns of the output from them.
    template <class T>
    void Band(int k) {
        const int c0 = k * kBandColumns, c1 = std::min(c0 + kBandColumns, m_main.width);
        // One word per row and plane, and one more word per plane that takes the points
        // falling outside the image, so that plotting needs no branch.
        const std::size_t words = std::size_t(m_main.height) + 1;
        std::vector<std::uint64_t> scratch(words * std::size_t(m_planes), 0);
        std::uint64_t* planes = scratch.data();

        // The source columns whose points reach the band form a run, since the column
        // tables never decrease; it is cut into pieces of at most 64, each with the bits
        // of its output columns.
        constexpr int kPiece = kBandColumns;
        struct Piece {
            const Trace* trace;
            int begin, count;
            PlotFn<T> plot;
            std::array<std::uint64_t, kPiece> bits;
        };
        std::vector<Piece> pieces;
        for (const Trace& t : m_traces) {
            if (m_together && &t != &m_traces.front()) break; // one run serves all channels
            const auto& table = *t.target;
            const int first = int(std::lower_bound(table.begin(), table.end(), c0) - table.begin());
            const int last =
                int(std::lower_bound(table.begin() + first, table.end(), c1) - table.begin());
            for (int x0 = first; x0 < last; x0 += kPiece) {
                Piece& p = pieces.emplace_back(
                    Piece{&t, x0, std::min(kPiece, last - x0), PlotFor<T>(t.value), {}});
                for (int j = 0; j < p.count; ++j)
                    p.bits[std::size_t(j)] = std::uint64_t(1) << (table[std::size_t(x0 + j)] - c0);
            }
        }
        int rowOf[kPiece * kChannels];
        for (std::size_t k = 0; k < m_rows.size(); ++k) {
            const T* in = m_analysed->Row<T>(m_rows[k]);
            // The band reads a short stretch of each row, too short for the processor to
            // fetch the next row's ahead by itself: ask for it while this row is plotted.
            if (k + kAhead < m_rows.size()) {
                const char* next =
                    reinterpret_cast<const char*>(m_analysed->Row<T>(m_rows[k + kAhead]));
                for (const Piece& p : pieces) {
                    const char* from = next + std::ptrdiff_t(p.begin) * sizeof(T) * kChannels;
                    for (std::ptrdiff_t b = 0; b < std::ptrdiff_t(p.count * sizeof(T) * kChannels);
                         b += 64)
                        __builtin_prefetch(from + b);
                }
            }
            if (m_together) {
                for (const Piece& p : pieces) {
                    const T* from = in + std::ptrdiff_t(p.begin) * kChannels;
                    AllRows(from, p.count, rowOf);
                    for (int j = 0; j < p.count; ++j) {
                        const std::uint64_t bit = p.bits[std::size_t(j)];
                        const int* at = rowOf + j * kChannels;
                        planes[at[0]] |= bit;
                        planes[at[1]] |= bit;
                        planes[at[2]] |= bit;
                        planes[at[3]] |= bit;
                    }
                }
                continue;
            }
            for (const Piece& p : pieces) {
                std::uint64_t* plane = planes + words * std::size_t(p.trace->plane);
                p.plot(in + std::ptrdiff_t(p.begin) * kChannels, p.count, *p.trace, m_main.height,
                       rowOf);
                for (int j = 0; j < p.count; ++j) plane[rowOf[j]] |= p.bits[std::size_t(j)];
            }
        }
        Expand<T>(planes, words, c0, c1);
    }

    // Computes the rows of n pixels' points; rows outside the image become H.
    template <class T>
    using PlotFn = void (*)(const T* in, int n, const Trace& t, int height, int* rowOf);

    template <class T>
    static PlotFn<T> PlotFor(Value v) {
        static constexpr PlotFn<T> kRows[] = {&Rows<T, kRed>,  &Rows<T, kGreen>,
                                              &Rows<T, kBlue>, &Rows<T, kAlpha>,
                                              &Rows<T, kMax>,  &Rows<T, kSaturation>};
        return kRows[v];
    }

    template <class T, Value V>
    static void Rows(const T* in, int n, const Trace& t, int height, int* rowOf) {
        const double h = height;
        int i = 0;
        // Four pixels at a time, one per lane, without branches: noise would mispredict
        // the largest and smallest channel.
        const Doubles stretch = Doubles{} + t.stretch, scale = Doubles{} + t.scale,
                      factor = Doubles{} + t.factor, offset = Doubles{} + t.yOffset,
                      hv = Doubles{} + h;
        for (; i + 4 <= n; i += 4) {
            const T* p = in + std::ptrdiff_t(i) * kChannels;
            const auto lanes = [&](int c) {
                return Doubles{double(p[c]), double(p[kChannels + c]), double(p[2 * kChannels + c]),
                               double(p[3 * kChannels + c])};
            };
            Doubles v;
            if constexpr (V == kMax || V == kSaturation) {
                const Doubles r = lanes(frame::kR), g = lanes(frame::kG), b = lanes(frame::kB);
                Doubles mx = r < g ? g : r; // std::max, lane by lane
                mx = mx < b ? b : mx;
                if constexpr (V == kMax) {
                    v = mx;
                } else {
                    Doubles mn = g < r ? g : r; // std::min
                    mn = b < mn ? b : mn;
                    v = (mx - mn) / mx;
                }
            } else {
                v = lanes(V);
            }
            Doubles d = v * stretch;
            if constexpr (V == kSaturation) d = d * scale;
            d = d * factor;
            d = d + offset;
            d = ((d > -1.0) & (d < hv)) ? d : hv;
            const Ints row = __builtin_convertvector(d, Ints);
            std::memcpy(rowOf + i, &row, sizeof row);
        }
        for (; i < n; ++i) {
            const T* p = in + std::ptrdiff_t(i) * kChannels;
            double v;
            if constexpr (V == kMax || V == kSaturation) {
                const double r = p[frame::kR], g = p[frame::kG], b = p[frame::kB];
                const double mx = std::max(std::max(r, g), b);
                v = V == kMax ? mx : (mx - std::min(std::min(r, g), b)) / mx;
            } else {
                v = p[V];
            }
            rowOf[i] = t.RowOf<V == kSaturation>(v, h);
        }
    }

    // The traces computed together: for n pixels, each channel's row as an index into the
    // planes (its plane's spare word when it falls outside the image), four per pixel. On
    // the wide path pairs of pixels go first (scopetrace_wide.h).
    template <class T>
    void AllRows(const T* in, int n, int* at) const {
        const Doubles height = Doubles{} + double(m_main.height);
        const Doubles stretch = m_lanes.stretch, factor = m_lanes.factor, offset = m_lanes.offset;
        const Ints plane = m_lanes.plane;
        int i = 0;
#ifdef QRVX_WIDE_ROWS
        if (m_wide) i = scopetrace::WideAllRows(in, n, m_lanes, m_main.height, at);
#endif
        for (; i < n; ++i) {
            Doubles d = scopetrace::ToDoubles(in + std::ptrdiff_t(i) * kChannels) * stretch;
            d = d * factor;
            d = d + offset;
            d = ((d > -1.0) & (d < height)) ? d : height;
            const Ints row = __builtin_convertvector(d, Ints) + plane;
            std::memcpy(at + i * kChannels, &row, sizeof row);
        }
    }

    // Writes the output columns [c0, c1) of every row: each channel at full value where
    // the plane that feeds it has the pixel's bit, else 0. Eight pixels at a time: a byte
    // of each plane's word goes into one 32-bit number, which every lane of a vector of
    // pixels holds; each lane keeps its channel's bit of its pixel and becomes all ones
    // where that bit is set (full value for integers, the bits of 1.0 for floats).
    template <class T>
    void Expand(const std::uint64_t* planes, std::size_t words, int c0, int c1) const {
        using Vec = typename Pixels<T>::Vec;
        constexpr int kPer = Pixels<T>::kPer, kVecs = 8 / kPer;
        constexpr int kLaneBytes = int(sizeof(T));
        // Where channel c's byte goes in the 32-bit number: integers (two lanes to it)
        // put red and blue in the low half, green and alpha in the high half.
        constexpr std::array<int, kChannels> kPos =
            kLaneBytes == 2 ? std::array{0, 2, 1, 3} : std::array{0, 1, 2, 3};
        const std::array<Vec, kVecs> bits = [&] {
            std::array<Vec, kVecs> bits{};
            for (int k = 0; k < kVecs; ++k)
                for (int p = 0; p < kPer; ++p)
                    for (int c = 0; c < kChannels; ++c)
                        bits[std::size_t(k)][p * kChannels + c] = typename Pixels<T>::Lane(
                            1u << (k * kPer + p + 8 * (kPos[c] % kLaneBytes)));
            return bits;
        }();
        const Vec full = Vec{} + Pixels<T>::kFull;
        const int n = c1 - c0;
        const frame::StreamedStores stores; // past the caches where a band's row allows
        for (int y = 0; y < m_main.height; ++y) {
            std::array<std::uint64_t, kChannels> word{};
            for (int c = 0; c < kChannels; ++c)
                if (m_planeOf[std::size_t(c)] >= 0)
                    word[std::size_t(c)] =
                        planes[words * std::size_t(m_planeOf[std::size_t(c)]) + std::size_t(y)];
            T* out = m_main.dst->Row<T>(y) + std::ptrdiff_t(c0) * kChannels;
            const bool streamed = frame::StreamedStores::Streams(out);
            for (int j0 = 0; j0 < n; j0 += 8) {
                std::uint32_t number = 0;
                for (int c = 0; c < kChannels; ++c)
                    number |= std::uint32_t((word[std::size_t(c)] >> j0) & 255) << (8 * kPos[c]);
                using Numbers = std::uint32_t __attribute__((vector_size(32)));
                const Vec all = Vec(Numbers{} + number);
                T* o = out + std::ptrdiff_t(j0) * kChannels;
                if (j0 + 8 <= n) {
                    for (int k = 0; k < kVecs; ++k) {
                        const Vec px = Vec((all & bits[std::size_t(k)]) != 0) & full;
                        stores.Put(o + k * kPer * kChannels, px, streamed);
                    }
                } else {
                    std::array<Vec, kVecs> px;
                    for (int k = 0; k < kVecs; ++k)
                        px[std::size_t(k)] = Vec((all & bits[std::size_t(k)]) != 0) & full;
                    std::memcpy(o, px.data(), std::size_t(n - j0) * sizeof(T) * kChannels);
                }
            }
        }
    }

    Input* m_input;
    std::array<Input*, kChannels> m_on{};
    Input* m_type;
    Input* m_roundness;
    Input* m_xStretch; // stored with the tool; nothing reads it
    Input* m_yStretch;
    std::array<Input*, kChannels> m_channelStretch{};
    Input* m_centre;
    std::array<Input*, kChannels> m_channelCentre{};
    Input* m_top;
    Input* m_bottom;
    Output* m_output;

    // Prepared per request.
    const Image* m_analysed = nullptr; // the input or its blurred copy
    frame::MainPair m_main;            // the render's input and output
    std::vector<Trace> m_traces;
    bool m_together = false; // the traces are the channels, with one column table
    bool m_wide = false;     // they take the AVX-512 rows
    struct {
        Doubles stretch, factor, offset;
        Ints plane; // first word of each channel's plane
    } m_lanes{};
    int m_planes = 1;
    std::array<int, kChannels> m_planeOf{}; // plane feeding each output channel, or -1
    std::array<std::vector<int>, 1 + kChannels> m_target; // general record, then R, G, B, A
    std::vector<int> m_rows;
    void (ScopeTrace::*m_worker)(int) = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(ScopeTrace, "Quorvane.QRVX_ScopeTrace", "ScopeTrace", "ScTr",
                   "QuorvaneScopeTrace", 12000, "Built: Nov 12 2005",
                   "From editing well known waveform analyzer as software.\n V 0.9 public Beta")
