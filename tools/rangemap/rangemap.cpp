// RangeMap: maps channel values that lie inside an input range linearly onto an output
// range, channel by channel. Values outside the input range are kept ("Keep Luminance")
// or replaced by the colorize colour ("Colorize"). Two sets of range controls exist, one
// for 0..1 and one reaching 5 for float images with values above 1; "Ranges" picks the
// set in force and the notification hides the other set.
//
// For an active channel with value v and channel scale s (65535 or 1), u = v / s in
// double precision. When inStart <= u <= inEnd (both ends included) the result is
//   ((u - inStart) / (inEnd - inStart) * (outEnd - outStart) + outStart) * s,
// and outStart * s when the two ends are equal (only u equal to them is inside). An input
// range whose start lies above its end has no inside values. Results are not clamped on
// float images; integer images truncate toward zero and clamp to 0..65535, which also
// covers NaN and infinite control values. Inactive channels pass through unchanged.
//
// Integer images have only 65536 possible values, so Process evaluates that formula once
// per value into a table per channel and the worker looks every value up. Float images
// evaluate it per pixel in double precision, the four channels as the lanes of one vector
// and without branches, so that every value gets exactly the result above.
//
// On processors with AVX-512 float rows map two pixels at once, with the same arithmetic,
// and (with VBMI2) integer rows look up only the values inside the input range, packed
// together (rangemap_wide.h).
#include "frame/tool.h"
#include "frame/wide.h"
#include "rangemap_wide.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace {

constexpr int kChannels = 4;   // red, green, blue, alpha: storage order
constexpr int kValues = 65536; // every value an integer channel can hold

// A pixel's four channels as vector lanes: values in double precision, the comparison
// masks of those, and the pixel's floats as stored; and the values and masks of two
// pixels, which the wide float rows map at once.
using Doubles = double __attribute__((vector_size(32)));
using Masks = std::int64_t __attribute__((vector_size(32)));
using Floats = float __attribute__((vector_size(16)));
using Doubles2 = double __attribute__((vector_size(64)));
using Masks2 = std::int64_t __attribute__((vector_size(64)));

// The per-channel values of a mapping, one lane per channel value of a vector D.
template <class D, class L>
struct PerLane {
    D low{}, high{}; // inside is low <= u <= high
    L keepOutside{}; // all ones: a value outside stays; 0: it becomes colour
    D colour{};      // in channel units
    D outStart{};    // the output range's start, in every lane
};

inline Doubles Splat(double v) { return Doubles{v, v, v, v}; }

class RangeMap : public ThreadedOperator {
public:
    RangeMap(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        using frame::Range;
        constexpr const char* kLumas = "Colorize Luminances";
        constexpr Range k1{0, 1}, k5{0, 5};
        // clang-format off
        m_input = frame::ImageIn(*this, "Input")->Describe("The picture whose values are mapped");
        AddControlPage("Settings");
        m_on = frame::ChannelSwitches(*this, "Maps the %s channel; off leaves it unchanged");
        m_ranges          = frame::Combo(*this, "Ranges", "Ranges", {"0.0 to 1.0", "0.0 to 5.0"}, 0, {.notify = true})->Describe("The reach of the range controls: 0 to 1, or 0 to 5 for float pictures brighter than white");
        m_mode            = frame::Combo(*this, "Non Input Values", "Non Input Values", {"Keep Luminance", "Colorize"}, 0, {.notify = true})->Describe("What values outside the input range become: kept as they are, or the colorize colour");
        m_luma[frame::kR] = frame::ColorChannel(*this, "Red Luma", "Red Luma", 0.0, 1, 0, kLumas, {.hidden = true})->Describe("Red of the colour that values outside the input range become");
        m_luma[frame::kG] = frame::ColorChannel(*this, "Green Luma", "Green Luma", 0.0, 1, 1, kLumas, {.hidden = true})->Describe("Green of the colour that values outside the input range become");
        m_luma[frame::kB] = frame::ColorChannel(*this, "Blue Luma", "Blue Luma", 0.0, 1, 2, kLumas, {.hidden = true})->Describe("Blue of the colour that values outside the input range become");
        m_luma[frame::kA] = frame::ColorChannel(*this, "Alpha Luma", "Alpha Luma", 1.0, 1, 3, kLumas, {.hidden = true})->Describe("Alpha of the colour that values outside the input range become");
        m_set[0].inStart  = frame::RangeHandle(*this, "R1Input Region Start", "Input Region Start", 0.0, k1, 2, 0)->Describe("The lowest value that is mapped (0 to 1 range)");
        m_set[0].inEnd    = frame::RangeHandle(*this, "R1Input Region End", "Input Region End", 1.0, k1, 2, 1)->Describe("The highest value that is mapped (0 to 1 range)");
        m_set[0].outStart = frame::RangeHandle(*this, "R1Output Region Start", "Output Region Start", 0.0, k1, 3, 0)->Describe("What the lowest mapped value becomes (0 to 1 range)");
        m_set[0].outEnd   = frame::RangeHandle(*this, "R1Output Region End", "Output Region End", 1.0, k1, 3, 1)->Describe("What the highest mapped value becomes (0 to 1 range)");
        m_set[1].inStart  = frame::RangeHandle(*this, "R2Input Region Start", "Input Region Start", 0.0, k5, 4, 0, {.hidden = true})->Describe("The lowest value that is mapped (0 to 5 range)");
        m_set[1].inEnd    = frame::RangeHandle(*this, "R2Input Region End", "Input Region End", 1.0, k5, 4, 1, {.hidden = true})->Describe("The highest value that is mapped (0 to 5 range)");
        m_set[1].outStart = frame::RangeHandle(*this, "R2Output Region Start", "Output Region Start", 0.0, k5, 5, 0, {.hidden = true})->Describe("What the lowest mapped value becomes (0 to 5 range)");
        m_set[1].outEnd   = frame::RangeHandle(*this, "R2Output Region End", "Output Region End", 1.0, k5, 5, 1, {.hidden = true})->Describe("What the highest mapped value becomes (0 to 5 range)");
        m_output = frame::ImageOut(*this);
        // clang-format on
    }

    // Shows the colorize colour in "Colorize" mode, and the range set in force.
    void NotifyChanged(Input* in, Parameter* value, double time, TagList* tags) override {
        if (const auto* n = dynamic_cast<const Number*>(value)) {
            const int entry = ComboEntry(n->Value());
            if (in == m_mode) {
                for (Input* luma : m_luma) luma->SetAttrs(tag::Visible, entry);
            } else if (in == m_ranges) {
                for (int set = 0; set < 2; ++set)
                    for (Input* handle : m_set[set].Handles())
                        handle->SetAttrs(tag::Visible, entry == set ? 1 : 0);
            }
        }
        ThreadedOperator::NotifyChanged(in, value, time, tags);
    }

    void Process(Request* req) override {
        m_main = frame::Begin(req, m_input);

        // Read the settings in force.
        Settings s;
        s.scale = m_main.scale;
        s.colorize = ComboEntry(frame::Num(m_mode, req)) == 1;
        const RangeSet& set = m_set[ComboEntry(frame::Num(m_ranges, req))];
        s.inStart = frame::Num(set.inStart, req);
        s.inEnd = frame::Num(set.inEnd, req);
        s.outStart = frame::Num(set.outStart, req);
        s.outEnd = frame::Num(set.outEnd, req);
        for (int c = 0; c < kChannels; ++c) {
            s.active[c] = frame::On(m_on[c], req);
            s.colour[c] = frame::Num(m_luma[c], req);
        }

        // The mapping all channels share, and per channel the bounds that count as
        // inside (none for an inactive channel) and what a value outside becomes.
        Mapping& m = m_map;
        m.scale = s.scale;
        m.inStart = s.inStart;
        m.inWidth = s.inEnd - s.inStart;
        m.outWidth = s.outEnd - s.outStart;
        m.pointRange = s.inEnd == s.inStart;
        // Dividing by a power of two gives the double that multiplying by its inverse
        // gives (one exact value, rounded once), and a multiply is many times faster.
        int exponent = 0;
        const bool powerOfTwo =
            std::isnormal(m.inWidth) && std::fabs(std::frexp(m.inWidth, &exponent)) == 0.5;
        m.inverse = powerOfTwo && std::isnormal(1 / m.inWidth) ? 1 / m.inWidth : 0;
        for (int c = 0; c < kChannels; ++c) {
            m.pixel.low[c] = s.active[c] ? s.inStart : kNever;
            m.pixel.high[c] = s.active[c] ? s.inEnd : -kNever;
            m.pixel.keepOutside[c] = !s.active[c] || !s.colorize ? -1 : 0;
            m.pixel.colour[c] = s.colour[c] * s.scale;
            m.pixel.outStart[c] = s.outStart;
        }
        for (int lane = 0; lane < 2 * kChannels; ++lane) {
            m.pair.low[lane] = m.pixel.low[lane % kChannels];
            m.pair.high[lane] = m.pixel.high[lane % kChannels];
            m.pair.keepOutside[lane] = m.pixel.keepOutside[lane % kChannels];
            m.pair.colour[lane] = m.pixel.colour[lane % kChannels];
            m.pair.outStart[lane] = s.outStart;
        }

        // Integer tables are built again only when the settings changed.
        if (!m_main.src->IsFloat() && !(m_tables.size() && s == m_tableSettings)) {
            BuildTables();
            m_tableSettings = s;
        }

        m_worker = frame::PickByDepth(*m_main.dst, &RangeMap::Row<std::uint16_t>,
                                      m.inverse != 0 ? &RangeMap::Row<float, true>
                                                     : &RangeMap::Row<float, false>);
#ifdef QRVX_WIDE_ROWS
        m_wide = m_main.src->IsFloat() ? host::PathTaken(host::Isa::Avx512)
                                       : frame::WideRows() && m_lanes.inside <= kWideMost;
#endif
        DoMultiProcess(req, m_main.height);
        m_output->Set(req, m_main.dst);
    }

    void ProcessSlice(Request*, long y) override { (this->*m_worker)(int(y)); }

private:
    static constexpr double kNever = HUGE_VAL; // a low bound no value reaches
    static constexpr int kLanes = frame::kWideLanes;
    // The most inside values for which the wide path pays: beyond them its table entries
    // outgrow the first-level cache and most values take a look-up anyway, where the
    // portable look-ups of whole pixels are faster.
    static constexpr int kWideMost = kValues / 2;

    // A combo value as its entry: truncated and held to the two entries.
    static int ComboEntry(double v) { return v >= 1.0 ? 1 : 0; }

    // The values of the controls that decide the results.
    struct Settings {
        double scale = 0;
        bool colorize = false;
        double inStart = 0, inEnd = 0, outStart = 0, outEnd = 0;
        std::array<bool, kChannels> active{};
        std::array<double, kChannels> colour{};
        bool operator==(const Settings&) const = default;
    };

    struct RangeSet {
        Input *inStart = nullptr, *inEnd = nullptr, *outStart = nullptr, *outEnd = nullptr;
        std::array<Input*, 4> Handles() const { return {inStart, inEnd, outStart, outEnd}; }
    };

    // Everything the worker reads, prepared by Process. Per-channel values are vectors
    // with one lane per channel (R, G, B, A), so that a pixel is mapped at once.
    struct Mapping {
        double scale = 1, inStart = 0, inWidth = 1, outWidth = 1;
        double inverse = 0;      // 1 / inWidth where that is exact (see Process), else 0
        bool pointRange = false; // the input range is one value
        PerLane<Doubles, Masks> pixel;
        PerLane<Doubles2, Masks2> pair; // the same for two pixels

        // The results r for values v, both in channel units, a channel value a lane: one
        // pixel's with the lanes of pixel, two pixels' with those of pair. Every lane is
        // computed both ways and one result selected, without a branch. Float images
        // (scale 1, where dividing and multiplying by it change nothing) skip both.
        // kByInverse multiplies by the exact inverse of the input width. The vectors go by
        // reference and the body is always inlined, so that the wide rows' 512-bit vectors
        // never cross a call compiled for narrower registers.
        template <bool kUnitScale, bool kByInverse, class D, class L>
        [[gnu::always_inline]] void Map(const D& v, const PerLane<D, L>& lanes, D& r) const {
            const D u = kUnitScale ? v : v / scale;
            const D stretched = kByInverse ? (u - inStart) * inverse : (u - inStart) / inWidth;
            D mapped = pointRange ? lanes.outStart : stretched * outWidth + lanes.outStart;
            if constexpr (!kUnitScale) mapped *= scale;
            const D outside = lanes.keepOutside ? v : lanes.colour;
            r = ((lanes.low <= u) & (u <= lanes.high)) ? mapped : outside;
        }
        // One pixel's results.
        template <bool kUnitScale, bool kByInverse = false>
        Doubles Apply(Doubles v) const {
            Doubles r;
            Map<kUnitScale, kByInverse>(v, pixel, r);
            return r;
        }
    };

    // Every integer value's result, in one table per channel. Channels whose tables come
    // out the same share one, so that fewer cache lines serve the look-ups.
    void BuildTables() {
        constexpr std::size_t kBytes = kValues * sizeof(std::uint16_t);
        m_tables.resize(std::size_t(kChannels) * kValues);
        for (int c = 0; c < kChannels; ++c) m_table[c] = &m_tables[std::size_t(c) * kValues];
        for (int v = 0; v < kValues; ++v) {
            const Doubles r = m_map.Apply<false>(Splat(v));
            for (int c = 0; c < kChannels; ++c)
                m_table[c][v] = frame::Depth<std::uint16_t>::Store(r[c]);
        }
        for (int c = 1; c < kChannels; ++c)
            for (int k = 0; k < c; ++k)
                if (std::memcmp(m_table[k], m_table[c], kBytes) == 0) {
                    m_table[c] = m_table[k];
                    break;
                }
        PrepareLanes();
    }

    // What the wide path needs, per lane of 32 values (channel = lane % 4): the values
    // first..last inside the channel's range (an empty range 1..0 where there are none,
    // as in inactive channels), what an outside value becomes, and a table for the inside
    // values, which map alike in every channel. The inside values form one interval, as
    // u = v / scale rises with v.
    void PrepareLanes() {
        std::array<int, kChannels> first, last;
        first.fill(1), last.fill(0);
        m_lanes.table = m_table[0];
        for (int c = 0; c < kChannels; ++c) {
            for (int v = 0; v < kValues; ++v) {
                const double u = v / m_map.scale;
                if (m_map.pixel.low[c] <= u && u <= m_map.pixel.high[c]) {
                    if (first[c] > last[c]) first[c] = v;
                    last[c] = v;
                }
            }
            if (first[c] <= last[c]) m_lanes.table = m_table[c];
        }
        m_lanes.keep = 0;
        m_lanes.inside = 0;
        for (int c = 0; c < kChannels; ++c)
            m_lanes.inside = std::max(m_lanes.inside, last[c] - first[c] + 1);
        for (int lane = 0; lane < kLanes; ++lane) {
            const int c = lane % kChannels;
            m_lanes.low[lane] = std::uint16_t(first[c]);
            m_lanes.high[lane] = std::uint16_t(last[c]);
            m_lanes.colour[lane] = frame::Depth<std::uint16_t>::Store(m_map.pixel.colour[c]);
            if (m_map.pixel.keepOutside[c]) m_lanes.keep |= 1u << lane;
        }
    }

    // Row y of the output from row y of the input. On the wide path its whole registers
    // go first (rangemap_wide.h), the pixels after them as here.
    template <class T, bool kByInverse = false>
    void Row(int y) {
        const T* in = m_main.src->Row<T>(y);
        T* out = m_main.dst->Row<T>(y);
        const int n = m_main.src->Width() * kChannels;
        int i = 0;
#ifdef QRVX_WIDE_ROWS
        if (m_wide) {
            if constexpr (std::is_same_v<T, std::uint16_t>) {
                i = n - n % kLanes;
                rangemap::WideLookUps(in, out, i, m_lanes);
            } else {
                i = n - n % (2 * kChannels);
                rangemap::WidePairs<kByInverse>(in, out, i, m_map);
            }
        }
#endif
        const auto map = PixelMap<T, kByInverse>();
        for (; i < n; i += kChannels) map(in + i, out + i);
    }

    // What Row applies to one pixel: table look-ups on integer images, the mapping
    // itself on float images. Both read local copies of the prepared block.
    template <class T, bool kByInverse = false>
    auto PixelMap() const {
        if constexpr (std::is_same_v<T, std::uint16_t>) {
            // The pixel is read and written as one 64-bit word (channel c in bits
            // 16c..16c+15 on this little-endian machine).
            static_assert(std::endian::native == std::endian::little);
            return [t = m_table](const std::uint16_t* in, std::uint16_t* out) {
                std::uint64_t p;
                std::memcpy(&p, in, sizeof p);
                const std::uint64_t r = std::uint64_t(t[0][p & 0xffff]) |
                                        std::uint64_t(t[1][(p >> 16) & 0xffff]) << 16 |
                                        std::uint64_t(t[2][(p >> 32) & 0xffff]) << 32 |
                                        std::uint64_t(t[3][p >> 48]) << 48;
                std::memcpy(out, &r, sizeof r);
            };
        } else {
            return [m = m_map](const float* in, float* out) {
                Floats v;
                std::memcpy(&v, in, sizeof v);
                const Doubles r = m.Apply<true, kByInverse>(__builtin_convertvector(v, Doubles));
                const Floats f = __builtin_convertvector(r, Floats);
                std::memcpy(out, &f, sizeof f);
            };
        }
    }

    Input* m_input;
    std::array<Input*, kChannels> m_on{};
    Input* m_ranges;
    Input* m_mode;
    std::array<Input*, kChannels> m_luma{};
    RangeSet m_set[2];
    Output* m_output;

    // Prepared per request.
    frame::MainPair m_main; // the render's input and output
    Mapping m_map;
    std::vector<std::uint16_t> m_tables;
    Settings m_tableSettings; // what m_tables were built for
    std::array<std::uint16_t*, kChannels> m_table{};
    struct Lanes {
        std::array<std::uint16_t, kLanes> low{}, high{}, colour{};
        std::uint32_t keep = 0;               // lanes whose outside values stay
        int inside = 0;                       // the most inside values of a channel
        const std::uint16_t* table = nullptr; // the mapped values of inside values
    } m_lanes;                                // the wide path's view of the tables
    bool m_wide = false;                      // the rows take the wide path
    void (RangeMap::*m_worker)(int) = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(RangeMap, "Quorvane.QRVX_RangeMap", "RangeMap", "RMp", "Quorvane_RangeMap", 4000,
                   "Built: Dec  5 2005",
                   "Expand (or contract) a luminance range into another.\nV 0.9 public Beta")
