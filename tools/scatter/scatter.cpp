// Scatter: strews copies of up to twenty star images over a copy of the picture. Each
// of "density" placements (at most 1000) picks a star from the list of connected stars,
// a corner inside the placement region and a scale, and merges the star at that scale
// over the picture with the host's "over" merge; later placements lie over earlier ones.
//
// All choices come from one seeded generator, six draws per placement in this order:
// three for the list position (frame::ChoosePosition), then x, y and scale. Each of the
// last three is (draw mod n) + low over a range [low, high] with n = trunc(high + 1 -
// low): x over W * Xmin .. W * Xmax, y over H * Ymin .. H * Ymax, and the scale in
// hundredths over 100 * Zmin .. 100 * Zmax. The corner is the truncated W * (x / W),
// H * (y / H); the star's size is its own size times the scale, truncated. The six range
// ends, the corner's two products and the two scaled sides are each taken as the whole
// number they lie within a few units in the last place of before they are used: x / W
// times W may come back as x - 1e-13, and 0.29 x 100 as 28.999999999999996.
//
// At the edges: a reversed range is taken with its ends swapped; a star scaled to an
// empty size, or one that lands wholly outside the picture, places nothing; parts of a
// star outside the picture are cut. A resized star of which less than half lands in the
// picture is made only where it lands (the host's resize of a part gives the whole
// resize's values there), so a star scaled far beyond the picture costs no more than
// the picture. With no star connected the output is the picture.
//
// Process takes every draw, then runs the workers twice per group of placements, the
// groups in placement order and small enough that their resized stars fit a fixed memory
// budget however large the scales. The first pass resizes each star size the group needs
// once (placements that ask for the same star at the same size share one resized copy; a
// star kept at its own size is merged as it is). The second splits the output into bands
// of rows; each band copies its rows of the picture (first group only) and replays, in
// placement order, the part of every placement of the group that reaches it, so the
// result equals merging the placements one after another over a copy of the picture, on
// any number of threads.
#include "frame/offsets.h"
#include "frame/random.h"
#include "frame/tool.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <numeric>
#include <tuple>
#include <utility>
#include <vector>

namespace {

constexpr int kStars = 20;
// clang-format off
constexpr const char* kStarNames[kStars] = {
    "Star 1 (required)", "Star 2", "Star 3", "Star 4", "Star 5", "Star 6", "Star 7",
    "Star 8", "Star 9", "Star 10", "Star 11", "Star 12", "Star 13", "Star 14", "Star 15",
    "Star 16", "Star 17", "Star 18", "Star 19", "Star 20"};
// clang-format on
constexpr int kMaxPlacements = 1000;
constexpr long kBandRows = 32; // rows of output merged at a time
// The most bytes of resized stars held at once (one star larger than this is still made).
constexpr std::size_t kResizedBudget = std::size_t(256) << 20;

// A draw over [low, high] in whole steps from low: (draw mod n) + low with
// n = trunc(high + 1 - low). Reversed ends are swapped, so n is at least 1.
double DrawIn(frame::Random& rng, double low, double high) {
    if (high < low) std::swap(low, high);
    const double n = std::trunc(high + 1 - low);
    const std::uint32_t steps = !(n > 1) ? 1u : n >= 4294967295.0 ? 4294967295u : std::uint32_t(n);
    return double(rng.Draw() % steps) + low;
}

// A position truncated toward zero, or nothing when it is not a number or beyond the
// int range (and so beyond any image).
bool Truncated(double v, int& out) {
    const double t = std::trunc(v);
    if (!(t >= -2147483648.0 && t <= 2147483647.0)) return false;
    out = int(t);
    return true;
}

// A scaled side truncated toward zero (taken as whole first where it lies a few units in
// the last place from a whole number: 100 x 0.29 is 28.999999999999996); 0 for an empty
// side or not a number, and held to the int range so that a side no image can have still
// reaches the host, which refuses it.
int ScaledSide(int side, double scale) {
    const double t = std::trunc(frame::WholeIfClose(side * scale, side));
    return !(t >= 1) ? 0 : t >= 2147483647.0 ? 2147483647 : int(t);
}

class Scatter : public ThreadedOperator {
public:
    Scatter(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        constexpr frame::Range kUnit{0, 1}, kList{1, 20};
        constexpr frame::Extra kWhole{.whole = true};
        // clang-format off
        using About = frame::ChoiceAbout;
        m_input = frame::ImageIn(*this, "Input")->Describe("The picture the stars are strewn over");
        AddControlPage("Controls");
        m_seed      = frame::Screw(*this, "seed", "seed", 1, {1, 65535}, {.allowed = frame::Range{1, 65535}, .whole = true})->Describe(About::kSeed);
        m_first     = frame::RangeHandle(*this, "Probability Start", "Probability Start", 1, kList, 1, 0, kWhole)->Describe(About::kFirst);
        m_last      = frame::RangeHandle(*this, "Probability End", "Probability End", 20, kList, 1, 1, kWhole)->Describe(About::kLast);
        m_tolerance = frame::Slider(*this, "Tolerance", "Tolerance", 0, {0, 20}, kWhole)->Describe(About::kTolerance);
        m_xMin      = frame::RangeHandle(*this, "Xmin", "Xmin", 0, kUnit, 2, 0)->Describe("Left edge of the area where stars land, as a share of the width");
        m_xMax      = frame::RangeHandle(*this, "Xmax", "Xmax", 1, kUnit, 2, 1)->Describe("Right edge of the area where stars land, as a share of the width");
        m_yMin      = frame::RangeHandle(*this, "Ymin", "Ymin", 0, kUnit, 3, 0)->Describe("One edge of the band of heights where stars land, as a share of the height");
        m_yMax      = frame::RangeHandle(*this, "Ymax", "Ymax", 1, kUnit, 3, 1)->Describe("The other edge of the band of heights where stars land, as a share of the height");
        m_zMin      = frame::RangeHandle(*this, "Zmin", "Zmin", 0, kUnit, 4, 0)->Describe("Smallest size of a star; 1 is the star's own size");
        m_zMax      = frame::RangeHandle(*this, "Zmax", "Zmax", 1, kUnit, 4, 1)->Describe("Largest size of a star; 1 is the star's own size");
        m_density   = frame::Screw(*this, "density", "density", 1, {1, 1000}, kWhole)->Describe("How many stars are placed (up to 1000)");
        // clang-format on
        AddControlPage("Stars 1-10");
        for (int i = 0; i < kStars; ++i) {
            if (i == 10) AddControlPage("Stars 11-20");
            m_star[i] = frame::ImageControl(*this, kStarNames[i], i == 0)
                            ->Describe(i == 0 ? "The first star picture, needed for any star"
                                              : "Another star picture to strew");
        }
        m_output = frame::ImageOut(*this);
    }

    void Process(Request* req) override {
        m_main = frame::Begin(req, m_input);
        const int w = m_main.width, h = m_main.height;
        // The resized stars go back to the host however the render ends.
        struct Cleanup {
            Scatter& tool;
            ~Cleanup() {
                tool.m_placements.clear();
                tool.m_sized.clear();
            }
        } cleanup{*this};

        // The connected stars, in number order.
        std::vector<const Image*> stars;
        for (Input* in : m_star)
            if (const Image* star = frame::ImageAt(in, req)) stars.push_back(star);

        const int first = frame::Whole(m_first, req), last = frame::Whole(m_last, req);
        const int tolerance = frame::Whole(m_tolerance, req);
        // The range ends in pixels and hundredths, each taken as whole where it is meant to
        // be (0.29 x 100 is 28.999999999999996), so that the steps start on it.
        const auto end = [&](Input* in, int span) {
            return frame::WholeIfClose(frame::Num(in, req) * span, span);
        };
        const double xMin = end(m_xMin, w), xMax = end(m_xMax, w);
        const double yMin = end(m_yMin, h), yMax = end(m_yMax, h);
        const double zMin = end(m_zMin, 100), zMax = end(m_zMax, 100);
        const int density = std::clamp(frame::Whole(m_density, req), 0, kMaxPlacements);
        const int count = stars.empty() ? 0 : density;
        frame::Random rng(std::uint32_t(frame::Whole(m_seed, req)));

        // Draw every placement; note each star at each size it is placed at once.
        for (int q = 0; q < count; ++q) {
            const int position =
                frame::ChoosePosition(rng, first, last, tolerance, int(stars.size()));
            const double fx = DrawIn(rng, xMin, xMax) / w;
            const double fy = DrawIn(rng, yMin, yMax) / h;
            const double s = DrawIn(rng, zMin, zMax) / 100;

            const Image* star = stars[std::size_t(position)];
            Placement p;
            const int sw = ScaledSide(star->Width(), s), sh = ScaledSide(star->Height(), s);
            if (sw == 0 || sh == 0) continue; // scaled to nothing
            if (!Truncated(frame::WholeIfClose(w * fx, w), p.x) ||
                !Truncated(frame::WholeIfClose(h * fy, h), p.y))
                continue;
            if (p.x >= w || p.y >= h || std::int64_t(p.x) + sw <= 0 || std::int64_t(p.y) + sh <= 0)
                continue; // wholly outside
            // A resized star of which less than half lands in the picture is made only
            // where it lands; others are made whole, so that placements at one size share
            // them (a star at its own size is merged whole, as it is).
            Window part{0, 0, sw, sh};
            if (sw != star->Width() || sh != star->Height()) {
                Window in;
                in.x = std::max(0, -p.x);
                in.y = std::max(0, -p.y);
                in.w = int(std::min<std::int64_t>(sw, std::int64_t(w) - p.x)) - in.x;
                in.h = int(std::min<std::int64_t>(sh, std::int64_t(h) - p.y)) - in.y;
                if (2 * std::int64_t(in.w) * in.h < std::int64_t(sw) * sh) part = in;
            }
            const auto same = [&](const Sized& k) {
                return k.source == star && k.width == sw && k.height == sh && k.part == part;
            };
            auto known = std::find_if(m_sized.begin(), m_sized.end(), same);
            if (known == m_sized.end())
                known = m_sized.insert(m_sized.end(), Sized{star, position, sw, sh, part});
            p.sized = int(known - m_sized.begin());
            p.x += part.x;
            p.y += part.y;
            p.height = part.h;
            m_placements.push_back(p);
        }

        // Placements are merged in groups, in order, so that the resized stars held at once
        // stay within kResizedBudget however large the scales (a group holds at least one
        // placement). The first group's bands also copy the picture.
        SortSizesByStar();
        m_bands = std::max(BandCount(h), (h + kBandRows - 1) / kBandRows);
        std::vector<char> made(m_sized.size());
        m_groupEnd = 0;
        do {
            m_groupBegin = m_groupEnd;
            m_making.clear();
            std::size_t bytes = 0;
            for (; m_groupEnd < m_placements.size(); ++m_groupEnd) {
                const int s = m_placements[m_groupEnd].sized;
                if (made[std::size_t(s)]) continue;
                const Sized& k = m_sized[std::size_t(s)];
                const std::size_t size =
                    std::size_t(k.part.w) * std::size_t(k.part.h) * std::size_t(k.source->Stride());
                if (!m_making.empty() && bytes + size > kResizedBudget) break;
                bytes += size;
                made[std::size_t(s)] = 1;
                m_making.push_back(s);
            }
            // Make the stars at their sizes, each on its own, the sizes of one star one
            // after another so that the star stays in the cache between them.
            std::sort(m_making.begin(), m_making.end());
            m_pass = Pass::Resize;
            DoMultiProcess(req, long(m_making.size()));
            // Merge the group band by band, in bands small enough to stay in a core's
            // cache while every placement that reaches them is merged.
            m_pass = Pass::Merge;
            DoMultiProcess(req, m_bands);
            for (int s : m_making) {
                m_sized[std::size_t(s)].resized.reset();
                made[std::size_t(s)] = 0;
            }
        } while (m_groupEnd < m_placements.size());
        m_output->Set(req, m_main.dst);
    }

    // Index i: the i-th star size the group needs, or the i-th band of output rows.
    void ProcessSlice(Request*, long i) override {
        if (m_pass == Pass::Resize)
            Resize(m_sized[std::size_t(m_making[std::size_t(i)])]);
        else
            MergeBand(i);
    }

private:
    // A rectangle of a star at a size: the part made and merged.
    struct Window {
        int x = 0, y = 0, w = 0, h = 0;
        bool operator==(const Window&) const = default;
    };
    // A star at a size it is placed at: the star itself at its own size, else the part of
    // it that lands in the picture, resized by the host.
    struct Sized {
        const Image* source = nullptr;
        int star = 0; // position of source in the list of stars
        int width = 0, height = 0;
        Window part;
        frame::Temporary resized; // given back to the host when the entry goes
        const Image* image = nullptr;
    };
    // One star (or its part) to merge, its pixel (0, 0) at (x, y) of the output.
    struct Placement {
        int sized = 0; // index into m_sized
        int x = 0, y = 0, height = 0;
    };
    enum class Pass { Resize, Merge };

    // Orders m_sized by star, then size, and points the placements at the new places.
    void SortSizesByStar() {
        std::vector<int> order(m_sized.size()), place(m_sized.size());
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [&](int a, int b) {
            const Sized &ka = m_sized[std::size_t(a)], &kb = m_sized[std::size_t(b)];
            return std::tie(ka.star, ka.width, ka.height, ka.part.x, ka.part.y) <
                   std::tie(kb.star, kb.width, kb.height, kb.part.x, kb.part.y);
        });
        std::vector<Sized> sorted;
        sorted.reserve(m_sized.size());
        for (std::size_t i = 0; i < order.size(); ++i) {
            place[std::size_t(order[i])] = int(i);
            sorted.push_back(std::move(m_sized[std::size_t(order[i])]));
        }
        m_sized = std::move(sorted);
        for (Placement& p : m_placements) p.sized = place[std::size_t(p.sized)];
    }

    void Resize(Sized& k) {
        if (k.width == k.source->Width() && k.height == k.source->Height()) {
            k.image = k.source;
            return;
        }
        k.resized.reset(k.source->ResizeOfImage(TagList{{tag::ResizeWidth, k.width},
                                                        {tag::ResizeHeight, k.height},
                                                        {tag::ResizeFilter, 3}},
                                                k.part.x, k.part.y, k.part.w, k.part.h));
        k.image = k.resized.get();
    }

    // Band k of the output: the picture's rows (with the first group), then the part of
    // every placement of the group that reaches them, in order.
    void MergeBand(long k) {
        const RowRange rows = BandRows(k, m_bands, m_main.height);
        const std::size_t rowBytes =
            std::size_t(m_main.src->Width()) * std::size_t(m_main.src->Stride());
        if (m_groupBegin == 0)
            for (long y = rows.begin; y < rows.end; ++y)
                std::memcpy(m_main.dst->RowTable()[y], m_main.src->RowTable()[y], rowBytes);
        for (std::size_t i = m_groupBegin; i < m_groupEnd; ++i)
            if (const Placement& p = m_placements[i]; p.y < rows.end && p.y + p.height > rows.begin)
                m_main.dst->OXMergeRows(*m_sized[std::size_t(p.sized)].image, p.x, p.y,
                                        int(rows.begin), int(rows.end));
    }

    Input* m_input;
    Input* m_seed;
    Input* m_first;
    Input* m_last;
    Input* m_tolerance;
    Input* m_xMin;
    Input* m_xMax;
    Input* m_yMin;
    Input* m_yMax;
    Input* m_zMin;
    Input* m_zMax;
    Input* m_density;
    std::array<Input*, kStars> m_star{};
    Output* m_output;

    // Prepared per request.
    frame::MainPair m_main; // the render's input and output
    std::vector<Sized> m_sized;
    std::vector<Placement> m_placements;
    Pass m_pass = Pass::Merge;
    std::vector<int> m_making;                    // the star sizes the group makes
    std::size_t m_groupBegin = 0, m_groupEnd = 0; // the placements merged in this pass
    long m_bands = 1;
};

} // namespace

QRVX_REGISTER_TOOL(
    Scatter, "Quorvane.QRVX_Scatter", "Scatter", "Sctr", "QuorvaneScatter", 13001,
    "Built: Nov 26 2005",
    "Generate random starfields or other randomly distributed images.\n V 0.9 public Beta")
