// Throng: puts figure images on marker dots. The artist paints single-pixel dots into the
// marker image ("Throng"), in up to four position colours; figure k ("Folk 1" to
// "Folk 4") is drawn, centred, on every marker pixel that matches position colour k.
// The output has the size and depth of "Input" (whose pixels are not used), starts black
// and transparent, and holds only the figures, ready to go over a background.
//
// A marker pixel matches figure k when each of its four channels lies within the
// tolerance of the colour's channel: colour - t*S <= M <= colour + t*S, bounds included,
// with the colour times the channel scale S in single precision and the comparison in
// doubles. A NaN colour or tolerance matches nothing. A fully black transparent pixel
// (0, 0, 0, 0) places nothing, even for the colour (0, 0, 0, 0). Figures without an image
// are skipped.
//
// Each match draws the figure over the output with the host's merge, its pixel (0, 0) at
// (x - width / 2, y - height / 2); what falls outside the output is cut. Draws land in
// the order of a scan: marker rows top to bottom, pixels left to right, figures 1 to 4
// on one pixel, later ones over earlier ones. A missing marker, or one of another size
// than "Input", gives red at the channel scale with zero alpha, and no figure.
//
// Parallel run, in two passes. First bands of marker rows are scanned at once, each into
// its own list of matching pixels (marker position and the set of figures it matches);
// the lists in band order are the scan order. Then each band of output rows is cleared
// and replays, in that order, the matches whose figures reach it, each draw limited to
// the band's rows. A pixel's draws all happen in one band, in scan order, so the result
// is that of the one-by-one scan on any number of threads. The bands are small (about
// 1 MB of output) so that a band stays in the cache while its figures are drawn.
#include "frame/tool.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kFigures = 4;
constexpr int kChannels = 4;         // red, green, blue, alpha: storage order
constexpr long kBandBytes = 1 << 20; // output bytes per band of the drawing pass

// A figure's match tolerance: a thumbwheel over 0..1, default 0, declared shown.
Input* Tolerance(Operator& op, const char* nameAndId) {
    return frame::Screw(op, nameAndId, nameAndId, 0.0, {0.0, 1.0}, {.shown = true});
}

// The controls of one figure page.
struct FigureControls {
    Input* image;
    std::array<Input*, kChannels> colour;
    Input* tolerance;
};

// One connected figure, prepared: its image, its anchor and its match window in channel
// units, per channel.
struct Figure {
    const Image* image = nullptr;
    int anchorX = 0, anchorY = 0;
    std::array<double, kChannels> low{}, high{};

    bool Matches(const double m[kChannels]) const {
        return low[0] <= m[0] && m[0] <= high[0] && low[1] <= m[1] && m[1] <= high[1] &&
               low[2] <= m[2] && m[2] <= high[2] && low[3] <= m[3] && m[3] <= high[3];
    }
};

// A marker pixel that matches at least one figure: bit k - 1 of figures for figure k.
struct Match {
    int x, y;
    unsigned figures;
};

class Throng : public ThreadedOperator {
public:
    Throng(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        static constexpr const char* kPage[] = {"Folk1", "Folk2", "Folk3", "Folk4"};
        static constexpr const char* kImage[] = {"Folk 1", "Folk 2", "Folk 3", "Folk 4"};
        static constexpr const char* kLabel[] = {"Position Color1", "Position Color2",
                                                 "Position Color3", "Position Color4"};
        static constexpr const char* kColour[][kChannels] = {{"1Red", "1Green", "1Blue", "1Alpha"},
                                                             {"2Red", "2Green", "2Blue", "2Alpha"},
                                                             {"3Red", "3Green", "3Blue", "3Alpha"},
                                                             {"4Red", "4Green", "4Blue", "4Alpha"}};
        static constexpr const char* kChannelName[] = {"Red", "Green", "Blue", "Alpha"};
        static constexpr const char* kTolerance[] = {"Tolerance 1", "Tolerance 2", "Tolerance 3",
                                                     "Tolerance 4"};
        m_input = frame::ImageIn(*this, "Input")
                      ->Describe("Gives the output its size and depth; its pixels are not used");
        m_marker = frame::ImageIn(*this, "Throng", 2)
                       ->Describe("The marker picture, as large as Input: one-pixel dots in the "
                                  "position colours where the figures go");
        for (int k = 0; k < kFigures; ++k) {
            FigureControls& f = m_controls[k];
            AddControlPage(kPage[k]);
            const std::string figure = std::to_string(k + 1);
            f.image = frame::ImageControl(*this, kImage[k])
                          ->Describe("The figure drawn, centred, on every dot of position colour " +
                                     figure);
            for (int c = 0; c < kChannels; ++c)
                f.colour[c] = frame::ColorChannel(*this, kColour[k][c], kColour[k][c], 0.0, k + 1,
                                                  c, kLabel[k])
                                  ->Describe(std::string(kChannelName[c]) +
                                             " of the dot colour that places figure " + figure);
            f.tolerance = Tolerance(*this, kTolerance[k])
                              ->Describe("How far a dot's colour may stray from position colour " +
                                         figure + " and still get figure " + figure);
        }
        m_output = frame::ImageOut(*this);
    }

    void Process(Request* req) override {
        m_main = frame::Begin(req, m_input);
        m_markerImage = frame::ImageAt(m_marker, req);

        // No marker, or one that does not fit: red with zero alpha.
        if (!m_markerImage || m_markerImage->Width() != m_main.width ||
            m_markerImage->Height() != m_main.height) {
            IntPixel red;
            red.R = 65535;
            m_main.dst->Fill(red);
            m_output->Set(req, m_main.dst);
            return;
        }
        // The connected figures, and how far above and below its marker row one reaches.
        int connected = 0;
        std::int64_t above = 0, below = 0;
        for (int k = 0; k < kFigures; ++k) {
            Figure& fig = m_figures[k];
            fig.image = frame::ImageAt(m_controls[k].image, req);
            if (!fig.image) continue;
            ++connected;
            fig.anchorX = fig.image->Width() / 2;
            fig.anchorY = fig.image->Height() / 2;
            const double t = double(float(frame::Num(m_controls[k].tolerance, req))) * m_main.scale;
            for (int c = 0; c < kChannels; ++c) {
                const double colour =
                    float(frame::Num(m_controls[k].colour[c], req) * m_main.scale);
                fig.low[c] = colour - t;
                fig.high[c] = colour + t;
            }
            above = std::max<std::int64_t>(above, fig.anchorY);
            below = std::max<std::int64_t>(below, fig.image->Height() - 1 - fig.anchorY);
        }
        m_above = above;
        m_below = below;
        if (connected == 0) {
            m_main.dst->Fill(IntPixel{});
            m_output->Set(req, m_main.dst);
            return;
        }

        // Find the matches, band by band of marker rows.
        m_scanBands = BandCount(m_main.height);
        m_matches = std::vector<std::vector<Match>>(std::size_t(m_scanBands));
        m_slice =
            frame::PickByDepth(*m_main.dst, &Throng::Scan<std::uint16_t>, &Throng::Scan<float>);
        DoMultiProcess(req, m_scanBands);

        // Clear the output and draw the figures, band by band of output rows; bands small
        // enough to stay in the cache while their figures are drawn.
        const long cacheRows = std::max<long>(1, kBandBytes / m_main.dst->RowBytes());
        m_drawBands =
            std::max(BandCount(m_main.height), (m_main.height + cacheRows - 1) / cacheRows);
        m_slice = &Throng::Draw;
        DoMultiProcess(req, m_drawBands);

        m_matches = {}; // the lists are per render: give their memory back
        m_output->Set(req, m_main.dst);
    }

    void ProcessSlice(Request*, long k) override { (this->*m_slice)(k); }

private:
    // True when all four channels are 0 (for floats, -0 too).
    template <class T>
    static bool IsBlack(const T* p) {
        if constexpr (sizeof(T) == 2) {
            std::uint64_t bits;
            std::memcpy(&bits, p, sizeof bits);
            return bits == 0;
        } else {
            std::uint32_t bits[kChannels];
            std::memcpy(bits, p, sizeof bits);
            return ((bits[0] | bits[1] | bits[2] | bits[3]) & 0x7fffffffu) == 0;
        }
    }

    // True when the kRun pixels from p are all black (IsBlack), in one pass over their
    // bits that the compiler turns into a few vector instructions.
    static constexpr int kRun = 8;
    template <class T>
    static bool RunIsBlack(const T* p) {
        constexpr std::uint32_t kMask = sizeof(T) == 2 ? 0xffffffffu : 0x7fffffffu;
        constexpr int kWords = kRun * kChannels * int(sizeof(T)) / 4;
        std::uint32_t bits[kWords];
        std::memcpy(bits, p, sizeof bits);
        std::uint32_t any = 0;
        for (int i = 0; i < kWords; ++i) any |= bits[i] & kMask;
        return any == 0;
    }

    // Scans band k of the marker rows into m_matches[k], in scan order. T is the output's
    // channel type; a marker of the other depth is read through its own conversion.
    template <class T>
    void Scan(long k) {
        const RowRange rows = BandRows(k, m_scanBands, m_main.dst->Height());
        const int w = m_main.dst->Width();
        const bool sameDepth = m_markerImage->IsFloat() == m_main.dst->IsFloat();
        std::vector<T> converted(sameDepth ? 0 : std::size_t(w) * kChannels);
        std::vector<Match>& out = m_matches[std::size_t(k)];
        for (long y = rows.begin; y < rows.end; ++y) {
            const T* row = sameDepth ? m_markerImage->Row<T>(int(y)) : Convert(int(y), converted);
            for (int x = 0; x < w; ++x) {
                // Markers are mostly black: skip whole runs of black 16-bit pixels at once
                // (for floats, whose runs are twice as long, the pixel test was faster).
                if (sizeof(T) == 2 && x % kRun == 0 && x + kRun <= w &&
                    RunIsBlack(row + std::ptrdiff_t(x) * kChannels)) {
                    x += kRun - 1;
                    continue;
                }
                const T* p = row + std::ptrdiff_t(x) * kChannels;
                if (IsBlack(p)) continue;
                const double m[kChannels] = {double(p[0]), double(p[1]), double(p[2]),
                                             double(p[3])};
                unsigned figures = 0;
                for (int f = 0; f < kFigures; ++f)
                    if (m_figures[f].image && m_figures[f].Matches(m)) figures |= 1u << f;
                if (figures) out.push_back({x, int(y), figures});
            }
        }
    }

    // Marker row y in the output's representation, through the marker's own routines.
    template <class T>
    const T* Convert(int y, std::vector<T>& row) const {
        frame::ReadRowAs(*m_markerImage, y, row.data());
        return row.data();
    }

    // Clears band k of the output rows and draws into it every figure that reaches it, in
    // scan order.
    void Draw(long k) {
        const RowRange rows = BandRows(k, m_drawBands, m_main.dst->Height());
        for (long y = rows.begin; y < rows.end; ++y)
            std::memset(m_main.dst->RowTable()[y], 0, std::size_t(m_main.dst->RowBytes()));
        // The marker rows whose figures can reach these rows.
        const std::int64_t first = std::int64_t(rows.begin) - m_below;
        const std::int64_t last = std::int64_t(rows.end) - 1 + m_above;
        for (const std::vector<Match>& band : m_matches) {
            if (band.empty() || band.back().y < first) continue;
            if (band.front().y > last) break;
            auto it = std::lower_bound(band.begin(), band.end(), first,
                                       [](const Match& m, std::int64_t y) { return m.y < y; });
            for (; it != band.end() && it->y <= last; ++it)
                for (int f = 0; f < kFigures; ++f) {
                    if (!(it->figures & (1u << f))) continue;
                    const Figure& fig = m_figures[f];
                    m_main.dst->OXMergeRows(*fig.image, it->x - fig.anchorX, it->y - fig.anchorY,
                                            int(rows.begin), int(rows.end));
                }
        }
    }

    Input* m_input;
    Input* m_marker;
    std::array<FigureControls, kFigures> m_controls{};
    Output* m_output;

    // Prepared per request.
    frame::MainPair m_main; // the render's input and output
    const Image* m_markerImage = nullptr;
    std::array<Figure, kFigures> m_figures{};
    std::int64_t m_above = 0, m_below = 0; // rows a figure reaches above / below its marker
    long m_scanBands = 1, m_drawBands = 1;
    std::vector<std::vector<Match>> m_matches; // per band of marker rows, in scan order
    void (Throng::*m_slice)(long) = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(Throng, "Quorvane.QRVX_Throng", "Throng", "Thrg", "QuorvaneThrong",
                   frame::kNoTileBitmap, "Built: Jan  5 2006",
                   "Quickly create a crowd by replacing colored dots.\n V 0.9 public Beta")
