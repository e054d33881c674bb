// ToneBands: cuts or boosts the channel values that lie in a tonal band, in the manner of
// the low-cut, high-cut, boost and band filters of audio software. Every enabled channel,
// alpha included, is judged on its own value; no luminance is computed.
//
// Eight filter types: four against a single level ("lowcut", "highcut", "lowboost",
// "highboost") and four against a region from a start to an end ("range inside/outside
// cut/boost"). A value on the affected side is pulled to the pull value, 0 for the cuts
// and the full value (the channel scale) for the boosts; within the smoothness of the
// level or of a region edge a straight-line ramp joins the untouched values to the pull
// value; where the two soft edges of a region overlap, their ramps are added. The ramps
// are evaluated in double precision from the 32-bit float parameters; float images
// receive the nearest float, integer images the result truncated toward zero (and held
// to 0..65535, which only control values outside 0..1 can leave). Untouched values and
// switched-off channels are copied bit for bit, values outside 0..1 on float images
// included.
//
// Edges: no control value is clamped or reordered. A region start above its end leaves
// the "inside" types with nothing to do and pulls every value for the "outside" types;
// a smoothness of 0 pulls every affected value at once and evaluates no ramp; a NaN
// control counts as 0. A filter type outside 0..7 passes the pixels through unchanged.
//
// Speed: the rules settle most values by their first comparisons, so Process turns those
// into thresholds on the raw value (found among the values of the depth with the rules'
// own tests) and each row is filtered in chunks: a branch-free pass classifies every
// value as untouched, pulled or left to the rule and writes the first two; the few values
// left, those inside a soft edge, are collected and evaluated exactly one at a time (on
// integer images from a table of exact results made once per render).
//
// On processors with AVX-512 (BW and VBMI2) integer rows take a wider path with the same
// results: the values each threshold test passes form at most two intervals of values, so
// Process turns the tests into interval bounds per vector lane, and the row is classified
// 32 values at a time (tonebands_wide.h).
#include "frame/tool.h"
#include "frame/values.h"
#include "frame/wide.h"
#include "tonebands_wide.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace {

constexpr int kChannels = 4;
constexpr int kChunk = 256;               // values classified before their soft edges are evaluated
constexpr int kLanes = frame::kWideLanes; // 16-bit values in one AVX-512 register

// What the filter type works against.
enum class Band { None, Below, Above, Inside, Outside };

// The filter parameters of one render. All numbers are 32-bit floats, as the rules use them.
struct Params {
    int type = 0; // filter type, 0..7 (others pass pixels through)
    Band band = Band::None;
    std::array<bool, kChannels> on{};                // channel switches, R, G, B, A
    float scale = 1;                                 // channel scale: the full value
    float pull = 0;                                  // what affected values are pulled to
    float level = 0, start = 0, end = 0, smooth = 0; // control units
    float scaledLevel = 0, scaledStart = 0, scaledEnd = 0, scaledSmooth = 0;
    float lowerKnee = 0, upperKnee = 0;
    float target = 0;     // 0 for the cuts, 1 for the boosts of a region
    float span = 0;       // 1 - level: the boost of types 2 and 3
    double levelRise = 0; // how far the level ramps rise: target - level, or span
};

// The four thresholds of a band; what a..d stand for is each band's own.
template <class T>
struct Thresholds {
    frame::Bound<T> a, b, c, d;
};

// The wide path's classification of integer values (see ToneBands::PrepareLanes).
struct Lanes {
    frame::Interval keep; // untouched values (with keepOutside: the others)
    bool keepOutside = false;
    std::array<frame::Interval, 2> rule; // values left to the rule
    std::uint32_t on = 0;                // lanes of switched-on channels
    std::uint16_t pull = 0;
};

class ToneBands : public ThreadedOperator {
public:
    ToneBands(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        m_input = frame::ImageIn(*this, "Input")->Describe("The picture to filter");
        AddControlPage("Settings");
        m_on = frame::ChannelSwitches(*this, "Filters the %s channel; off leaves it unchanged");
        m_filter = frame::Combo(*this, "Filter Options", "Filter Options",
                                {"lowcut", "highcut", "lowboost", "highboost", "range inside cut",
                                 "range inside boost", "range outside cut", "range outside boost"},
                                0, {.notify = true})
                       ->Describe("Which values are pulled: below or above the level (cut to "
                                  "black, boost to full), or inside or outside the region");
        m_level = frame::Slider(*this, "Luminance", "Luminance", 0.5, {0, 1})
                      ->Describe("The level that divides pulled from untouched values, for the cut "
                                 "and boost filters");
        m_start = frame::RangeHandle(*this, "Luminance Region Start", "Luminance Region Start", 0.0,
                                     {0, 1}, 1, 0, {.hidden = true})
                      ->Describe("Where the region of the range filters begins");
        m_end = frame::RangeHandle(*this, "Luminance Region End", "Luminance Region End", 1.0,
                                   {0, 1}, 1, 1, {.hidden = true})
                    ->Describe("Where the region of the range filters ends");
        m_smooth = frame::Slider(*this, "Smoothness Range", "Smoothness Range", 0.1, {0, 1})
                       ->Describe("Width of the soft ramp at the level or the region's edges; 0 "
                                  "gives a hard edge");
        m_output = frame::ImageOut(*this);
    }

    // Shows "Luminance" for the level types 0..3 and the two region handles for the region
    // types 4..7; other values (2.5, 8) and other inputs change nothing.
    void NotifyChanged(Input* in, Parameter* value, double time, TagList* tags) override {
        const auto* number = value ? dynamic_cast<const Number*>(value) : nullptr;
        if (in == m_filter && number) {
            const double v = number->Value();
            const bool levelType = v == 0 || v == 1 || v == 2 || v == 3;
            const bool regionType = v == 4 || v == 5 || v == 6 || v == 7;
            if (levelType || regionType) {
                m_level->SetAttrs(tag::Visible, levelType ? 1 : 0);
                m_start->SetAttrs(tag::Visible, regionType ? 1 : 0);
                m_end->SetAttrs(tag::Visible, regionType ? 1 : 0);
            }
        }
        ThreadedOperator::NotifyChanged(in, value, time, tags);
    }

    void Process(Request* req) override {
        m_main = frame::Begin(req, m_input);
        Params p;
        for (int c = 0; c < kChannels; ++c) p.on[c] = frame::On(m_on[c], req);
        p.type = frame::Whole(m_filter, req);
        // Read the four numbers whether their controls are shown or not; NaN counts as 0.
        auto number = [&](Input* in) {
            const double v = frame::Num(in, req);
            return std::isnan(v) ? 0.0f : float(v);
        };
        p.level = number(m_level);
        p.start = number(m_start);
        p.end = number(m_end);
        p.smooth = number(m_smooth);
        // Scale to channel units in 32-bit floats, then the knees either side of the level.
        p.scale = float(m_main.scale);
        p.scaledLevel = p.scale * p.level;
        p.scaledStart = p.scale * p.start;
        p.scaledEnd = p.scale * p.end;
        p.scaledSmooth = p.scale * p.smooth;
        p.lowerKnee = p.scaledLevel - p.scaledSmooth;
        p.upperKnee = p.scaledLevel + p.scaledSmooth;
        // Per type: what it works against, what it pulls to, and where its ramps lead.
        static constexpr Band kBands[8] = {Band::Below,   Band::Above,  Band::Below,
                                           Band::Above,   Band::Inside, Band::Inside,
                                           Band::Outside, Band::Outside};
        const bool known = p.type >= 0 && p.type <= 7;
        p.band = known ? kBands[p.type] : Band::None;
        const bool boost = p.type == 2 || p.type == 3 || p.type == 5 || p.type == 7;
        p.pull = boost ? p.scale : 0.0f;
        p.target = (p.type == 5 || p.type == 7) ? 1.0f : 0.0f;
        p.span = float(1.0 - double(p.level));
        p.levelRise = (p.type == 2 || p.type == 3) ? double(p.span) : double(p.target) - p.level;
        if (!(p.on[0] || p.on[1] || p.on[2] || p.on[3])) p.band = Band::None;
        m_p = p;
        const auto prepare = frame::PickByDepth(*m_main.dst, &ToneBands::ForDepth<std::uint16_t>,
                                                &ToneBands::ForDepth<float>);
        m_worker = (this->*prepare)();
        DoMultiProcess(req, m_main.height);
        m_output->Set(req, m_main.dst);
    }

    void ProcessSlice(Request*, long y) override { (this->*m_worker)(int(y)); }

private:
    using Worker = void (ToneBands::*)(int);

    // Prepares the thresholds of the band (and on integer images the table of exact
    // results) for the image's depth T and returns the row worker.
    template <class T>
    Worker ForDepth() {
        switch (m_p.band) {
        case Band::Below: return ForBand<T, BelowBand>();
        case Band::Above: return ForBand<T, AboveBand>();
        case Band::Inside: return ForBand<T, InsideBand>();
        case Band::Outside: return ForBand<T, OutsideBand>();
        case Band::None: break;
        }
        return &ToneBands::Copy<T>;
    }

    template <class T, class B>
    Worker ForBand() {
        Thresholds<T>& th = BoundsOf<T>();
        th = B::template Bounds<T>(m_p);
        m_wide = false;
        m_ruleOfMany = false;
        if constexpr (requires { B::RulesApart(m_p); }) m_ruleOfMany = B::RulesApart(m_p);
        if constexpr (std::is_same_v<T, std::uint16_t>) {
            // The exact result of every value the classifying pass leaves to the rule.
            m_table.resize(65536);
            for (int v = 0; v < 65536; ++v)
                if (!B::Keep(T(v), th) && !B::Pull(T(v), th))
                    m_table[std::size_t(v)] = B::Rule(T(v), m_p);
#ifdef QRVX_WIDE_ROWS
            m_wide = frame::WideRows() && PrepareLanes<B>(th);
#endif
        }
        return &ToneBands::Row<T, B>;
    }

    // The classification of integer values as the wide path tests it, per lane of 32
    // values (channel = lane % 4): untouched values lie inside keep (or outside it, when
    // keepOutside), values left to the rule inside one of two intervals, and the others
    // are pulled; lanes of switched-off channels are untouched. False when the band's
    // tests do not come out that way (they always do: each is one or two thresholds), or
    // when more than half the values are left to the rule: then the table entries used
    // outgrow the first-level cache, most values take a look-up anyway, and the portable
    // pass is faster.
    template <class B>
    bool PrepareLanes(const Thresholds<std::uint16_t>& th) {
        using T = std::uint16_t;
        std::array<frame::Interval, 2> keep, rule;
        if (!frame::TwoRuns([&](int v) { return B::Keep(T(v), th); }, keep) ||
            !frame::TwoRuns([&](int v) { return !B::Keep(T(v), th) && !B::Pull(T(v), th); }, rule))
            return false;
        if (rule[0].last - rule[0].first + rule[1].last - rule[1].first + 2 > 32768) return false;
        Lanes& l = m_lanes;
        l.keepOutside = keep[1].first <= keep[1].last; // two runs: 0..x and y..65535
        if (l.keepOutside) {
            if (keep[0].first != 0 || keep[1].last != 65535) return false;
            keep[0] = {keep[0].last + 1, keep[1].first - 1};
        }
        l.keep = keep[0], l.rule = rule;
        l.on = 0;
        for (int lane = 0; lane < kLanes; ++lane)
            if (m_p.on[std::size_t(lane % kChannels)]) l.on |= 1u << lane;
        l.pull = T(m_p.pull);
        return true;
    }

    template <class T>
    Thresholds<T>& BoundsOf() {
        if constexpr (std::is_same_v<T, float>)
            return m_floatBounds;
        else
            return m_intBounds;
    }

    // The unit value t = v / scale, and a result in unit values stored in channel units by
    // the depth's rule. The scale is the depth's own (1 on float images, where v / 1 is v).
    template <class T>
    static double Unit(T v) {
        return double(v) / frame::Depth<T>::kScale;
    }
    template <class T>
    static T Stored(double unit) {
        return frame::Depth<T>::Store(frame::Depth<T>::kScale * unit);
    }

    // The bands. Rule is the whole rule of a filter type for one value of an enabled
    // channel, computed in full: v compared with the 32-bit scaled parameters, t = v /
    // scale and every ramp in double precision. Bounds turns the rule's first tests into
    // thresholds on v, found among the values of the depth with those very tests, so that
    // Keep holds exactly where the rule returns v untouched and Pull where it returns the
    // pull value; values passing neither (NaN among them) take the rule.
    // Types 0 and 2. a: the least value not below the level; b: the greatest value at or
    // below the lower knee.
    struct BelowBand {
        template <class T>
        static Thresholds<T> Bounds(const Params& p) {
            return {frame::LeastWhere<T>([&](T v) { return !(float(v) < p.scaledLevel); }),
                    frame::GreatestWhere<T>([&](T v) { return float(v) <= p.lowerKnee; })};
        }
        template <class T>
        static bool Keep(T v, const Thresholds<T>& t) {
            return frame::AtLeast(v, t.a);
        }
        template <class T>
        static bool Pull(T v, const Thresholds<T>& t) {
            return frame::AtMost(v, t.b);
        }
        template <class T>
        static T Rule(T v, const Params& p) {
            const float f = float(v); // exact for both depths
            if (!(f < p.scaledLevel)) return v;
            if (f <= p.lowerKnee || p.smooth == 0) return T(p.pull);
            const double level = p.level;
            return Stored<T>(level + (Unit(v) - level) / -double(p.smooth) * p.levelRise);
        }
    };
    // Types 1 and 3. a: the greatest value not above the level; b: the least value at or
    // above the upper knee.
    struct AboveBand {
        template <class T>
        static Thresholds<T> Bounds(const Params& p) {
            return {frame::GreatestWhere<T>([&](T v) { return !(float(v) > p.scaledLevel); }),
                    frame::LeastWhere<T>([&](T v) { return float(v) >= p.upperKnee; })};
        }
        template <class T>
        static bool Keep(T v, const Thresholds<T>& t) {
            return frame::AtMost(v, t.a);
        }
        template <class T>
        static bool Pull(T v, const Thresholds<T>& t) {
            return frame::AtLeast(v, t.b);
        }
        template <class T>
        static T Rule(T v, const Params& p) {
            const float f = float(v);
            if (!(f > p.scaledLevel)) return v;
            if (f >= p.upperKnee || p.smooth == 0) return T(p.pull);
            const double level = p.level;
            return Stored<T>(level + (Unit(v) - level) / double(p.smooth) * p.levelRise);
        }
    };
    // Types 4 and 5. a: the greatest value below the region; b: the least value above it;
    // c..d: the values with start + s <= t <= end - s.
    struct InsideBand {
        template <class T>
        static Thresholds<T> Bounds(const Params& p) {
            const double from = double(p.start) + p.smooth, to = double(p.end) - p.smooth;
            return {frame::GreatestWhere<T>([&](T v) { return float(v) < p.scaledStart; }),
                    frame::LeastWhere<T>([&](T v) { return float(v) > p.scaledEnd; }),
                    frame::LeastWhere<T>([&](T v) { return from <= Unit(v); }),
                    frame::GreatestWhere<T>([&](T v) { return Unit(v) <= to; })};
        }
        template <class T>
        static bool Keep(T v, const Thresholds<T>& t) {
            return int(frame::AtMost(v, t.a)) |
                   int(frame::AtLeast(v, t.b)); // both tested: no branch
        }
        template <class T>
        static bool Pull(T v, const Thresholds<T>& t) {
            return int(frame::AtLeast(v, t.c)) & int(frame::AtMost(v, t.d));
        }
        template <class T>
        static T Rule(T v, const Params& p) {
            const float f = float(v);
            if (f < p.scaledStart || f > p.scaledEnd) return v;
            const T pull = T(p.pull);
            if (p.smooth == 0) return pull;
            const double t = Unit(v);
            const double start = p.start, end = p.end, s = p.smooth, target = p.target;
            if (start + s <= t && t <= end - s) return pull;
            if (start <= t && t <= start + s && end - s <= t && t < end) {
                // The two soft edges overlap: the ramps are added.
                const float e1 = float(start + (t - start) / s * (target - start));
                const float e2 = float(end + (t - end) / -s * (target - end));
                const double e = double(e1) + double(e2);
                if (p.type == 4) return Stored<T>(t > e ? e : t);
                return frame::Depth<T>::kScale * e < frame::Depth<T>::kScale ? Stored<T>(e) : pull;
            }
            // One soft edge; where both apply (only at t == end) the upper one wins.
            if (end - s <= t && t <= end) return Stored<T>(end + (t - end) / -s * (target - end));
            if (start <= t && t <= start + s)
                return Stored<T>(start + (t - start) / s * (target - start));
            return pull;
        }
        // Whether RuleOfMany gives Rule's results: the soft edges do not overlap, so that
        // a value takes one ramp, or none.
        static bool RulesApart(const Params& p) {
            return p.smooth != 0 && double(p.start) + p.smooth < double(p.end) - p.smooth;
        }
        // Rule for n float values at once where RulesApart: four values a register, both
        // ramps computed for every value and the result selected in the order of Rule's
        // tests, without a branch (on noisy pictures a value's ramp is a guess the
        // processor gets wrong half the time). Each lane does Rule's operations on the
        // value widened to double, which is exact; v and r hold n rounded up to four.
        static void RuleOfMany(const float* v, float* r, int n, const Params& p) {
            using D = double __attribute__((vector_size(32)));
            using F = float __attribute__((vector_size(16)));
            const double start = p.start, end = p.end, s = p.smooth, target = p.target;
            const double low = start + s, high = end - s, pull = p.pull;
            const double scaledStart = p.scaledStart, scaledEnd = p.scaledEnd;
            for (int k = 0; k < n; k += 4) {
                F f;
                std::memcpy(&f, v + k, sizeof f);
                const D t = __builtin_convertvector(f, D); // Unit: v / 1 on float images
                const D up = end + (t - end) / -s * (target - end);
                const D down = start + (t - start) / s * (target - start);
                D x = start <= t && t <= low ? down : pull;
                x = high <= t && t <= end ? up : x;
                x = low <= t && t <= high ? pull : x;
                x = t < scaledStart || t > scaledEnd ? t : x;
                f = __builtin_convertvector(x, F); // Stored: rounded to float
                std::memcpy(r + k, &f, sizeof f);
            }
        }
    };
    // Types 6 and 7. a..b: the values inside the region; c: the greatest value with
    // t <= start - s; d: the least value with t >= end + s.
    struct OutsideBand {
        template <class T>
        static Thresholds<T> Bounds(const Params& p) {
            const double below = double(p.start) - p.smooth, above = double(p.end) + p.smooth;
            return {frame::LeastWhere<T>([&](T v) { return float(v) >= p.scaledStart; }),
                    frame::GreatestWhere<T>([&](T v) { return float(v) <= p.scaledEnd; }),
                    frame::GreatestWhere<T>([&](T v) { return Unit(v) <= below; }),
                    frame::LeastWhere<T>([&](T v) { return Unit(v) >= above; })};
        }
        template <class T>
        static bool Keep(T v, const Thresholds<T>& t) {
            return int(frame::AtLeast(v, t.a)) & int(frame::AtMost(v, t.b));
        }
        template <class T>
        static bool Pull(T v, const Thresholds<T>& t) {
            return int(frame::AtMost(v, t.c)) | int(frame::AtLeast(v, t.d));
        }
        template <class T>
        static T Rule(T v, const Params& p) {
            const float f = float(v);
            if (f >= p.scaledStart && f <= p.scaledEnd) return v;
            const T pull = T(p.pull);
            if (p.smooth == 0) return pull;
            const double t = Unit(v);
            const double start = p.start, end = p.end, s = p.smooth, target = p.target;
            if (t <= start - s || t >= end + s) return pull;
            // Where both ramps apply the upper one wins.
            if (end <= t && t <= end + s) return Stored<T>(end + (t - end) / s * (target - end));
            if (start - s <= t && t <= start)
                return Stored<T>(start + (t - start) / -s * (target - start));
            return pull;
        }
    };

    // A filter type that does nothing, or no channel switched on: the row as it is.
    template <class T>
    void Copy(int y) {
        std::memcpy(m_main.dst->Row<T>(y), m_main.src->Row<T>(y),
                    std::size_t(m_main.src->Width()) * kChannels * sizeof(T));
    }

    // Filters row y (R, G, B, A interleaved) chunk by chunk: a branch-free pass writes the
    // untouched and pulled values of every channel alike and flags the rest; switched-off
    // channels are then copied back and unflagged, and the flagged values take the rule (on
    // integer images its result from the table). A last odd pixel takes the rule directly;
    // on the wide path the whole registers take the place of the chunks, and the values
    // after them take the rule directly.
    template <class T, class B>
    void Row(int y) {
        const T* in = m_main.src->Row<T>(y);
        T* out = m_main.dst->Row<T>(y);
        const int n = m_main.src->Width() * kChannels;
        const Params& p = m_p;
        const Thresholds<T> th = BoundsOf<T>();
        const T pull = T(p.pull);
        alignas(64) std::uint8_t flags[kChunk];
        alignas(64) std::uint16_t at[kChunk + 8];
        int from = 0, paired = n - n % 8; // whole pairs of pixels: flags are read 8 at a time
#ifdef QRVX_WIDE_ROWS
        if constexpr (std::is_same_v<T, std::uint16_t>) {
            if (m_wide) {
                from = paired = n - n % kLanes;
                tonebands::WideLookUps(in, out, paired, m_table.data(), m_lanes);
            }
        }
#endif
        for (int c0 = from; c0 < paired; c0 += kChunk) {
            const int len = std::min(kChunk, paired - c0);
            const T* src = in + c0;
            T* dst = out + c0;
            for (int i = 0; i < len; ++i) {
                const T v = src[i];
                const bool keep = B::Keep(v, th);
                const bool pulled = B::Pull(v, th);
                dst[i] = keep ? v : pull;
                flags[i] = std::uint8_t(!keep & !pulled);
            }
            for (int c = 0; c < kChannels; ++c) {
                if (p.on[std::size_t(c)]) continue;
                for (int i = c; i < len; i += kChannels) dst[i] = src[i], flags[i] = 0;
            }
            const int count = frame::SetPositions(flags, len, at);
            if constexpr (std::is_same_v<T, float> && requires { B::RuleOfMany; }) {
                if (m_ruleOfMany) {
                    alignas(64) float values[kChunk + 3], results[kChunk + 3];
                    for (int k = 0; k < count; ++k) values[k] = src[at[k]];
                    for (int k = count; k % 4; ++k) values[k] = 0;
                    B::RuleOfMany(values, results, count, p);
                    for (int k = 0; k < count; ++k) dst[at[k]] = results[k];
                    continue;
                }
            }
            for (int k = 0; k < count; ++k) {
                const T v = src[at[k]];
                if constexpr (std::is_same_v<T, float>)
                    dst[at[k]] = B::Rule(v, p);
                else
                    dst[at[k]] = m_table[v];
            }
        }
        for (int i = paired; i < n; ++i)
            out[i] = p.on[std::size_t(i % kChannels)] ? B::Rule(in[i], p) : in[i];
    }

    Input* m_input;
    std::array<Input*, kChannels> m_on{};
    Input* m_filter;
    Input* m_level;
    Input* m_start;
    Input* m_end;
    Input* m_smooth;
    Output* m_output;

    // Prepared per request.
    frame::MainPair m_main; // the render's input and output
    Params m_p;
    Thresholds<std::uint16_t> m_intBounds;
    Thresholds<float> m_floatBounds;
    std::vector<std::uint16_t> m_table; // exact results of integer values left to the rules
    Lanes m_lanes;                      // the wide path's classification
    bool m_ruleOfMany = false;          // float values left to the rule go as a batch
    bool m_wide = false;                // integer rows take the wide path
    Worker m_worker = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(ToneBands, "Quorvane.QRVX_ToneBands", "ToneBands", "TnBd", "QuorvaneToneBands",
                   3000, "Built: Nov 22 2005",
                   "Use this to cut or boost certain luminances in the style of Filters in "
                   "Audio-Software.\n V 0.9 public Beta")
