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
// is solid red with zero alpha, whatever the mode.
#include "frame/tool.h"

#include <array>
#include <cstdint>
#include <type_traits>

namespace {

constexpr int kChannels = 4; // red, green, blue, alpha: storage order

class Watchcam : public ThreadedOperator {
  public:
    Watchcam(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        constexpr frame::Range kUnit{0, 1};
        constexpr const char* kBackground = "Background Color";
        // clang-format off
        m_input     = frame::ImageIn(*this, "Input");
        m_reference = frame::ImageIn(*this, "Reference", 2, false);
        m_motion    = ImageControl("Motion");
        m_passive   = ImageControl("Passive");
        m_mode      = frame::Combo(*this, "OutputMode", "Output Mode", {"Merge over BG", "Grid only"});
        m_bg[0]     = frame::ColorChannel(*this, "Red", "Red", 0.0, 1, 0, kBackground);
        m_bg[1]     = frame::ColorChannel(*this, "Green", "Green", 0.0, 1, 1, kBackground);
        m_bg[2]     = frame::ColorChannel(*this, "Blue", "Blue", 0.0, 1, 2, kBackground);
        m_bg[3]     = frame::ColorChannel(*this, "Alpha", "Alpha", 0.0, 1, 3, kBackground);
        m_tol[0]    = frame::Screw(*this, "ToleranceR", "Tolerance Red", 0.0, kUnit);
        m_tol[1]    = frame::Screw(*this, "ToleranceG", "Tolerance Green", 0.0, kUnit);
        m_tol[2]    = frame::Screw(*this, "ToleranceB", "Tolerance Blue", 0.0, kUnit);
        m_tol[3]    = frame::Screw(*this, "ToleranceA", "Tolerance Alpha", 0.0, kUnit);
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

        // The base the marks are drawn over: the picture, or the background colour.
        if (frame::Whole(m_mode, req) == 1) {
            m_dst = frame::NewImageLike(*src, w, h);
            FillBackground(*m_dst, req);
        } else {
            m_dst = src->CopyOfImage(false);
        }

        for (int c = 0; c < kChannels; ++c)
            m_half[c] = frame::Num(m_tol[c], req) * scale * 0.5;

        // The reference at the picture's size and the passive image at the cell size, as
        // temporaries of this request.
        Image* resizedRef = nullptr;
        if (ref->Width() != w || ref->Height() != h) ref = resizedRef = ref->ResizeOfImage(w, h);
        m_cellW = motion->Width();
        m_cellH = motion->Height();
        Image* resizedPassive = nullptr;
        if (passive && (passive->Width() != m_cellW || passive->Height() != m_cellH))
            passive = resizedPassive = passive->ResizeOfImage(m_cellW, m_cellH);
        m_columns = w / m_cellW;
        const long cells = long(m_columns) * (h / m_cellH);

        m_src = src;
        m_ref = ref;
        m_motionImage = motion;
        m_passiveImage = passive;
        m_worker = PickWorker(*src, *ref);
        DoMultiProcess(req, cells);

        if (resizedRef) resizedRef->Recycle();
        if (resizedPassive) resizedPassive->Recycle();
        m_output->Set(req, m_dst);
    }

    void ProcessSlice(Request*, long n) override { (this->*m_worker)(n); }

  private:
    // An optional image input shown as an image control.
    Input* ImageControl(const char* nameAndId) {
        return AddInput(
            nameAndId, nameAndId,
            {{tag::DataType, "Image"}, {tag::ControlKind, "ImageControl"}, {tag::Required, 0}});
    }

    // "Grid only": the background colour, truncated toward zero and clamped on an
    // integer image (NaN gives 0), as given on a float image.
    void FillBackground(Image& img, Request* req) const {
        std::array<double, kChannels> v{};
        for (int c = 0; c < kChannels; ++c)
            v[c] = frame::Num(m_bg[c], req);
        if (img.IsFloat()) {
            img.Fill(
                FltPixel{.B = float(v[2]), .G = float(v[1]), .R = float(v[0]), .A = float(v[3])});
            return;
        }
        auto level = [](double u) { return frame::Depth<std::uint16_t>::Store(u * 65535.0); };
        img.Fill(IntPixel{.B = level(v[2]), .G = level(v[1]), .R = level(v[0]), .A = level(v[3])});
    }

    using Worker = void (Watchcam::*)(long);

    // The cell worker for the picture's depth (T) and the reference's (R).
    static Worker PickWorker(const Image& src, const Image& ref) {
        if (src.IsFloat())
            return ref.IsFloat() ? &Watchcam::Cell<float, float>
                                 : &Watchcam::Cell<float, std::uint16_t>;
        return ref.IsFloat() ? &Watchcam::Cell<std::uint16_t, float>
                             : &Watchcam::Cell<std::uint16_t, std::uint16_t>;
    }

    // A reference channel value of type R in the picture's units (type T), converted as
    // the host converts a pixel between depths: a float scaled by 65535 and rounded to
    // 0..65535, an integer divided by 65535 in float.
    template <class T, class R> static double InUnitsOf(R v) {
        if constexpr (std::is_same_v<T, R>) {
            return double(v);
        } else if constexpr (std::is_same_v<T, float>) {
            return double(float(v) * (1.0f / 65535.0f));
        } else {
            const float s = v * 65535.0f;
            return !(s > 0.0f) ? 0.0 : s >= 65535.0f ? 65535.0 : double(std::uint16_t(s + 0.5f));
        }
    }

    // True when some channel of the cell at (x0, y0) differs from the reference by its
    // half-width or more. Rows are tested whole (so the test vectorises) and the cell is
    // left at the first row that holds a changed channel.
    template <class T, class R> bool Changed(int x0, int y0) const {
        const int n = m_cellW * kChannels;
        const double h0 = m_half[0], h1 = m_half[1], h2 = m_half[2], h3 = m_half[3];
        for (int i = 0; i < m_cellH; ++i) {
            const T* a = m_src->Row<T>(y0 + i) + std::ptrdiff_t(x0) * kChannels;
            const R* b = m_ref->Row<R>(y0 + i) + std::ptrdiff_t(x0) * kChannels;
            bool changed = false;
            for (int k = 0; k < n; k += kChannels) {
                changed |= Outside(double(a[k + 0]), InUnitsOf<T>(b[k + 0]), h0);
                changed |= Outside(double(a[k + 1]), InUnitsOf<T>(b[k + 1]), h1);
                changed |= Outside(double(a[k + 2]), InUnitsOf<T>(b[k + 2]), h2);
                changed |= Outside(double(a[k + 3]), InUnitsOf<T>(b[k + 3]), h3);
            }
            if (changed) return true;
        }
        return false;
    }

    // The strict test; false for NaN in any operand, which thus counts as changed.
    static bool Outside(double a, double b, double h) { return !(a - h < b && b < a + h); }

    // Cell n: its origin from the grid, then the motion image where it changed, else the
    // passive image when there is one. Cells do not overlap, so cells draw at once.
    template <class T, class R> void Cell(long n) {
        const int x0 = int(n % m_columns) * m_cellW, y0 = int(n / m_columns) * m_cellH;
        const Image* mark = Changed<T, R>(x0, y0) ? m_motionImage : m_passiveImage;
        if (mark) m_dst->OXMerge(*mark, x0, y0);
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
    std::array<double, kChannels> m_half{}; // tolerance x channel scale / 2, per channel
    int m_cellW = 0, m_cellH = 0, m_columns = 0;
    Worker m_worker = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(Watchcam, "Quorvane.QRVX_Watchcam", "Watchcam", "Wtch", "QuorvaneWatchcam",
                   frame::kNoTileBitmap, "Built: Dec 19 2005",
                   "Simulate the appearance of surveillance cameras by highliting motion or "
                   "changes in the image.\n V 0.9 public Beta")
