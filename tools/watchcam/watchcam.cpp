// Watchcam: the look of a security-camera monitor. The picture is cut into a grid of
// cells the size of the "Motion" image; each cell is compared with the same cell of the
// "Reference" image, and a cell that changed gets the "Motion" image drawn over it, any
// other cell the "Passive" image when one is connected. The marks are drawn over a copy
// of the picture ("Merge over BG") or over the plain background colour ("Grid only");
// any other mode value acts as "Merge over BG".
//
// With source value a, reference value b and h = tolerance x channel scale / 2, a
// channel counts as changed unless a - h < b and b < a + h (both strict, in double
// precision): it changed when the two differ by h or more. So a tolerance of 0 marks
// every cell even for equal images, and NaN in a pixel or a tolerance counts as changed.
// A single changed channel marks the whole cell, and the test reads no further.
//
// Edges: cells are numbered row by row from (0, 0); the strips at the right and bottom
// that hold no whole cell are never tested or drawn. A motion image larger than the
// picture gives no cells. A reference of another size is compared after resizing to the
// picture's size, a passive image of another size is drawn after resizing to the cell
// size. A reference of the other depth is read converted to the picture's depth, as
// the host's pixel routines convert it. Without a reference or a motion image the output
// is solid red with zero alpha, whatever the mode. Cells never overlap, so the output
// is the same on any number of threads.
#include "frame/tool.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

namespace {

constexpr int kChannels = 4; // red, green, blue, alpha: storage order
// The cells of one worker index: a grid row, cut into runs of at most this many cells.
constexpr int kMaxRun = 1024;

class Watchcam : public ThreadedOperator {
public:
    Watchcam(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        constexpr frame::Range kUnit{0, 1};
        constexpr const char* kBackground = "Background Color";
        // clang-format off
        m_input     = frame::ImageIn(*this, "Input")->Describe("The camera picture");
        m_reference = frame::ImageIn(*this, "Reference", 2, false)->Describe("The picture to compare with, such as the empty scene; cells that differ count as motion");
        m_motion    = frame::ImageControl(*this, "Motion")->Describe("The mark drawn over every cell that changed; its size sets the grid");
        m_passive   = frame::ImageControl(*this, "Passive")->Describe("The mark drawn over every cell that did not change (optional)");
        m_mode      = frame::Combo(*this, "OutputMode", "Output Mode", {"Merge over BG", "Grid only"})->Describe("Draw the marks over the picture, or over the plain background colour");
        m_bg[0]     = frame::ColorChannel(*this, "Red", "Red", 0.0, 1, 0, kBackground)->Describe("Red of the background colour of Grid only");
        m_bg[1]     = frame::ColorChannel(*this, "Green", "Green", 0.0, 1, 1, kBackground)->Describe("Green of the background colour of Grid only");
        m_bg[2]     = frame::ColorChannel(*this, "Blue", "Blue", 0.0, 1, 2, kBackground)->Describe("Blue of the background colour of Grid only");
        m_bg[3]     = frame::ColorChannel(*this, "Alpha", "Alpha", 0.0, 1, 3, kBackground)->Describe("Alpha of the background colour of Grid only");
        m_tol[0]    = frame::Screw(*this, "ToleranceR", "Tolerance Red", 0.0, kUnit)->Describe("How much the red channel may change before a cell counts as changed");
        m_tol[1]    = frame::Screw(*this, "ToleranceG", "Tolerance Green", 0.0, kUnit)->Describe("How much the green channel may change before a cell counts as changed");
        m_tol[2]    = frame::Screw(*this, "ToleranceB", "Tolerance Blue", 0.0, kUnit)->Describe("How much the blue channel may change before a cell counts as changed");
        m_tol[3]    = frame::Screw(*this, "ToleranceA", "Tolerance Alpha", 0.0, kUnit)->Describe("How much the alpha channel may change before a cell counts as changed");
        m_output    = frame::ImageOut(*this);
        // clang-format on
    }

    void Process(Request* req) override {
        const Image* src = frame::MainImage(req, m_input);
        const int w = src->Width(), h = src->Height();
        const double scale = frame::ChannelScale(*src);
        const Image* ref = frame::ImageAt(m_reference, req);
        const Image* motion = frame::ImageAt(m_motion, req);
        const Image* passive = frame::ImageAt(m_passive, req);

        // Without a reference or a motion image there is nothing to compare or draw:
        // solid red at zero alpha.
        if (!ref || !motion) {
            Image* red = frame::NewImageLike(*src, w, h);
            if (red->IsFloat())
                red->Fill(FltPixel{.R = 1.0f});
            else
                red->Fill(IntPixel{.R = 65535});
            m_output->Set(req, red);
            return;
        }

        // The grid.
        m_cellW = motion->Width();
        m_cellH = motion->Height();
        m_columns = w / m_cellW;
        const int rows = h / m_cellH;
        const long cells = long(m_columns) * rows;

        // The base the marks are drawn over: the background colour, or the picture. Each
        // cell copies its own part of the picture while it reads it for the test, so that
        // the marks are drawn over rows still in the cache; Process copies what no cell
        // covers.
        m_src = src;
        m_copyCells = false;
        if (frame::Whole(m_mode, req) == 1) {
            m_dst = frame::NewImageLike(*src, w, h);
            FillBackground(*m_dst, req);
        } else if (cells == 0) {
            m_dst = src->CopyOfImage(false);
        } else {
            m_dst = frame::NewImageLike(*src, w, h);
            CopyOutsideCells(m_columns * m_cellW, rows * m_cellH);
            m_copyCells = true;
        }

        // The half-widths, and for integer pictures the same test in whole levels, laid
        // out for one row of a cell. A half-width that is not above 0 (or NaN) makes
        // every channel of its kind, and so every cell, count as changed.
        bool levels = !src->IsFloat();
        m_everyCellChanged = false;
        m_halfRow.resize(std::size_t(m_cellW) * kChannels);
        m_levelRow.resize(m_halfRow.size());
        for (int c = 0; c < kChannels; ++c) {
            const double half = frame::Num(m_tol[c], req) * scale * 0.5;
            const std::optional<std::uint16_t> level = LevelLimit(half);
            m_everyCellChanged = m_everyCellChanged || !(half > 0.0);
            levels = levels && level;
            for (std::size_t k = std::size_t(c); k < m_halfRow.size(); k += kChannels) {
                m_halfRow[k] = half;
                m_levelRow[k] = level.value_or(0);
            }
        }

        // The reference at the picture's size and the passive image at the cell size, as
        // temporaries of this request.
        frame::Temporary resizedRef, resizedPassive;
        if (ref->Width() != w || ref->Height() != h) {
            resizedRef.reset(ref->ResizeOfImage(w, h));
            ref = resizedRef.get();
        }
        if (passive && (passive->Width() != m_cellW || passive->Height() != m_cellH)) {
            resizedPassive.reset(passive->ResizeOfImage(m_cellW, m_cellH));
            passive = resizedPassive.get();
        }

        m_ref = ref;
        m_motionImage = motion;
        m_passiveImage = passive;
        m_worker = PickWorker(*src, *ref, levels);
        // Cells go in runs along their row of the grid: the whole row, or kMaxRun cells.
        m_run = std::clamp(m_columns, 1, kMaxRun);
        m_runsPerRow = (m_columns + m_run - 1) / m_run;
        DoMultiProcess(req, cells == 0 ? 0 : long(m_runsPerRow) * rows);
        m_output->Set(req, m_dst);
    }

    void ProcessSlice(Request*, long n) override { (this->*m_worker)(n); }

private:
    // "Grid only": the background colour, truncated toward zero and clamped on an
    // integer image (NaN gives 0), as given on a float image.
    void FillBackground(Image& img, Request* req) const {
        std::array<double, kChannels> v{};
        for (int c = 0; c < kChannels; ++c) v[c] = frame::Num(m_bg[c], req);
        if (img.IsFloat()) {
            img.Fill(
                FltPixel{.B = float(v[2]), .G = float(v[1]), .R = float(v[0]), .A = float(v[3])});
            return;
        }
        auto level = [](double u) { return frame::Depth<std::uint16_t>::Store(u * 65535.0); };
        img.Fill(IntPixel{.B = level(v[2]), .G = level(v[1]), .R = level(v[0]), .A = level(v[3])});
    }

    // Copies the picture where no cell lies: right of x = right and below y = bottom.
    void CopyOutsideCells(int right, int bottom) const {
        const std::size_t stride = std::size_t(m_src->Stride());
        const std::size_t rightBytes = std::size_t(m_src->Width() - right) * stride;
        for (int y = 0; y < m_src->Height(); ++y) {
            const std::size_t from = y < bottom ? std::size_t(right) * stride : 0;
            const std::size_t bytes =
                y < bottom ? rightBytes : std::size_t(m_src->Width()) * stride;
            std::memcpy(static_cast<char*>(m_dst->RowTable()[y]) + from,
                        static_cast<const char*>(m_src->RowTable()[y]) + from, bytes);
        }
    }

    // The test in whole levels for an integer picture: with integer values a and b, the
    // strict double test says changed exactly when |b - a| >= ceil(h), unless h lies
    // within rounding distance above a whole number (a - h and a + h are rounded to
    // doubles); there no limit is given and the double test runs. The limit is the
    // largest difference that is not a change, ceil(h) - 1.
    static std::optional<std::uint16_t> LevelLimit(double h) {
        if (!(h > 0.0)) return 0;      // NaN, 0 or below: every cell changed, nothing tested
        if (h > 65536.0) return 65535; // wider than the range: no change
        const double step = std::ceil(h);
        if (h - (step - 1.0) < 1e-6) return std::nullopt;
        return std::uint16_t(step - 1.0);
    }

    using Worker = void (Watchcam::*)(long);

    // The cell worker for the picture's depth (T), the reference's (R) and the test.
    static Worker PickWorker(const Image& src, const Image& ref, bool levels) {
        using U16 = std::uint16_t;
        if (src.IsFloat())
            return ref.IsFloat() ? &Watchcam::Cell<float, float, false>
                                 : &Watchcam::Cell<float, U16, false>;
        if (levels)
            return ref.IsFloat() ? &Watchcam::Cell<U16, float, true>
                                 : &Watchcam::Cell<U16, U16, true>;
        return ref.IsFloat() ? &Watchcam::Cell<U16, float, false>
                             : &Watchcam::Cell<U16, U16, false>;
    }

    // A reference channel value of type R in the picture's units (type T), converted as
    // the host converts a pixel between depths: a float scaled by 65535 and rounded to
    // 0..65535 (RoundClamp16), an integer divided by 65535 in float.
    template <class T, class R>
    static auto InUnitsOf(R v) {
        if constexpr (std::is_same_v<T, float>) {
            if constexpr (std::is_same_v<R, float>)
                return v;
            else
                return float(v) * (1.0f / 65535.0f);
        } else if constexpr (std::is_same_v<R, std::uint16_t>) {
            return int(v);
        } else {
            return int(RoundClamp16(v * 65535.0f));
        }
    }

    // True when some channel of one row of a cell (n channel values from a) differs
    // from the reference (b) by its half-width or more; with kCopy the row is copied to
    // out on the way. The whole row is tested, so that the test vectorises; the cell
    // stops testing at the first row that changed.
    template <class T, class R, bool kLevels, bool kCopy>
    bool RowChanged(const T* a, const R* b, T* out, int n) const {
        unsigned changed = 0;
        for (int k = 0; k < n; ++k) {
            if constexpr (kCopy) out[k] = a[k];
            if constexpr (kLevels) {
                // In 16-bit lanes: |a - b| as the larger less the smaller.
                const std::uint16_t u = a[k], v = std::uint16_t(InUnitsOf<T>(b[k]));
                changed |= std::uint16_t(std::max(u, v) - std::min(u, v)) > m_levelRow[k];
            } else {
                changed |= Outside(double(a[k]), double(InUnitsOf<T>(b[k])), m_halfRow[k]);
            }
        }
        return changed != 0;
    }

    // The strict test; false for NaN in any operand, which thus counts as changed. Both
    // comparisons are made (no branch), so that the test vectorises.
    static bool Outside(double a, double b, double h) { return !((a - h < b) & (b < a + h)); }

    // Run n of cells along a row of the grid: the rows of its cells, image row by image
    // row, each cell tested until a row holds a change (and copied when the cells make
    // their own copy of the picture); then over each cell the motion image where it
    // changed, else the passive image when there is one. Cells do not overlap, so runs
    // draw at once; a run's pieces of the image rows are long enough for the processor to
    // follow on its own, and its cells are still in the cache when the marks go over them.
    template <class T, class R, bool kLevels>
    void Cell(long n) {
        const int first = int(n % m_runsPerRow) * m_run;
        const int count = std::min(m_run, m_columns - first);
        const int x0 = first * m_cellW, y0 = int(n / m_runsPerRow) * m_cellH;
        const int values = m_cellW * kChannels;
        const std::size_t rowBytes = std::size_t(values) * sizeof(T);
        // Per cell of the run: whether it changed.
        bool changed[kMaxRun];
        std::fill_n(changed, count, m_everyCellChanged);
        int open = m_everyCellChanged ? 0 : count; // cells not yet known to have changed
        for (int y = y0; y < y0 + m_cellH; ++y) {
            if (open == 0 && !m_copyCells) break;
            const T* a = m_src->Row<T>(y) + std::ptrdiff_t(x0) * kChannels;
            const R* b = m_ref->Row<R>(y) + std::ptrdiff_t(x0) * kChannels;
            T* out = m_dst->Row<T>(y) + std::ptrdiff_t(x0) * kChannels;
            for (int k = 0; k < count; ++k, a += values, b += values, out += values) {
                if (changed[k]) {
                    if (m_copyCells) std::memcpy(out, a, rowBytes);
                    continue;
                }
                changed[k] = m_copyCells ? RowChanged<T, R, kLevels, true>(a, b, out, values)
                                         : RowChanged<T, R, kLevels, false>(a, b, out, values);
                open -= changed[k];
            }
        }
        for (int k = 0; k < count; ++k) {
            const Image* mark = changed[k] ? m_motionImage : m_passiveImage;
            if (mark) m_dst->OXMerge(*mark, x0 + k * m_cellW, y0);
        }
    }

    Input* m_input;
    Input* m_reference;
    Input* m_motion;
    Input* m_passive;
    Input* m_mode;
    std::array<Input*, kChannels> m_bg{};
    std::array<Input*, kChannels> m_tol{};
    Output* m_output;

    // Prepared per request.
    const Image* m_src = nullptr;
    const Image* m_ref = nullptr; // at the picture's size
    const Image* m_motionImage = nullptr;
    const Image* m_passiveImage = nullptr; // at the cell size, or null
    Image* m_dst = nullptr;
    bool m_copyCells = false;              // each cell copies its part of the picture
    std::vector<double> m_halfRow;         // per value of a cell row: tolerance x scale / 2
    std::vector<std::uint16_t> m_levelRow; // the same in whole levels (integer pictures)
    bool m_everyCellChanged = false;       // some half-width is not above 0
    int m_cellW = 0, m_cellH = 0, m_columns = 0;
    int m_run = 1, m_runsPerRow = 1; // cells to a worker index, and such runs to a grid row
    Worker m_worker = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(Watchcam, "Quorvane.QRVX_Watchcam", "Watchcam", "Wtch", "QuorvaneWatchcam",
                   frame::kNoTileBitmap, "Built: Dec 19 2005",
                   "Simulate the appearance of surveillance cameras by highliting motion or "
                   "changes in the image.\n V 0.9 public Beta")
