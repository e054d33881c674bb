// ChannelShift: moves the red, green, blue and alpha channels each by the offset of its
// own point control, or leaves them in place. Values are moved, never changed.
//
// A source pixel (x, y) sends channel ch to (trunc(x + dx), trunc(y + dy)), where
// dx = width * (X - 0.5) and dy = height * (Y - 0.5) of the channel's point, each taken as
// the whole number it lies within a few units in the last place of (so that a shift by a
// tenth of the height moves every row by the same number of rows); positions
// outside the image are dropped, and output positions nothing reaches stay 0 in that
// channel. Where two sources land on one position (only at column 0 or row 0, since
// offsets between -1 and 0 truncate to 0) the later one in row-major order wins.
//
// Each output row is gathered: Process builds, per channel, the table of the last
// source row landing on every output row and of the last source column landing on every
// output column, with the very expression of the forward mapping, so the result equals
// the in-order scatter exactly on any number of threads. Inside the stretch where every
// channel's column table is a plain shift, whole pixels are assembled from four shifted
// rows with masks; the rest of the row reads the tables one value at a time.
#include "frame/offsets.h"
#include "frame/tool.h"

#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kChannels = 4; // red, green, blue, alpha: storage order

class ChannelShift : public ThreadedOperator {
public:
    ChannelShift(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        m_input = frame::ImageIn(*this, "Input")->Describe("The picture whose channels move");
        AddControlPage("Settings");
        m_on = frame::ChannelSwitches(*this, "Moves the %s channel; off leaves it in place");
        const auto centre = [&](const char* id, const char* channel) {
            return frame::Offset(*this, id, id)
                ->Describe(std::string("Where the ") + channel +
                           " channel's centre moves to: the channel shifts by this point's "
                           "distance from the "
                           "middle");
        };
        m_centre[frame::kR] = centre("Center Red", "red");
        m_centre[frame::kG] = centre("Center Green", "green");
        m_centre[frame::kB] = centre("Center Blue", "blue");
        m_centre[frame::kA] = centre("Center Alpha", "alpha");
        m_output = frame::ImageOut(*this);
    }

    void Process(Request* req) override {
        m_main = frame::Begin(req, m_input);
        for (int c = 0; c < kChannels; ++c) {
            const bool enabled = frame::On(m_on[c], req);
            const Point p = frame::PointAt(m_centre[c], req);
            // An offset meant to be whole (a tenth of 360 rows) is taken as whole, so
            // that every row and column moves by the same amount.
            const double dx =
                enabled ? frame::WholeIfClose(m_main.width * (p.X - 0.5), m_main.width) : 0.0;
            const double dy =
                enabled ? frame::WholeIfClose(m_main.height * (p.Y - 0.5), m_main.height) : 0.0;
            LastSources(dx, m_main.width, m_col[c]);
            LastSources(dy, m_main.height, m_row[c]);
            FindShift(m_col[c], m_shift[c], m_runBegin[c], m_runEnd[c]);
        }
        // The stretch of columns in which every channel that reads anything is a shift.
        m_begin = 0;
        m_end = m_main.width;
        for (int c = 0; c < kChannels; ++c) {
            if (m_runBegin[c] >= m_runEnd[c]) continue; // reads nothing: masked to 0
            m_begin = std::max(m_begin, m_runBegin[c]);
            m_end = std::min(m_end, m_runEnd[c]);
        }
        if (m_begin > m_end) m_begin = m_end;
        m_worker = frame::PickByDepth(*m_main.dst, &ChannelShift::Row<std::uint16_t>,
                                      &ChannelShift::Row<float>);
        DoMultiProcess(req, m_main.height);
        m_output->Set(req, m_main.dst);
    }

    void ProcessSlice(Request*, long y) override { (this->*m_worker)(int(y)); }

private:
    // For each target t in [0, n): the last source s in [0, n) (in increasing order)
    // with trunc(s + d) == t, or -1 when none lands there.
    static void LastSources(double d, int n, std::vector<int>& table) {
        table.assign(std::size_t(n), -1);
        for (int s = 0; s < n; ++s) {
            const double t = std::trunc(s + d);
            if (t >= 0 && t < n) table[std::size_t(t)] = s;
        }
    }

    // The longest run [begin, end) of targets whose source is target - shift.
    static void FindShift(const std::vector<int>& table, int& shift, int& begin, int& end) {
        begin = end = shift = 0;
        const int n = int(table.size());
        for (int t = 0; t < n;) {
            if (table[std::size_t(t)] < 0) {
                ++t;
                continue;
            }
            const int s = t - table[std::size_t(t)];
            int u = t + 1;
            while (u < n && table[std::size_t(u)] == u - s) ++u;
            if (u - t > end - begin) begin = t, end = u, shift = s;
            t = u;
        }
    }

    template <class T>
    void Row(int y) {
        T* out = m_main.dst->Row<T>(y);
        const T* src[kChannels];
        bool reads[kChannels];
        for (int c = 0; c < kChannels; ++c) {
            const int sy = m_row[c][std::size_t(y)];
            reads[c] = sy >= 0 && m_runBegin[c] < m_runEnd[c];
            src[c] = m_main.src->Row<T>(reads[c] ? sy : y);
        }
        // Outside the common shift: one value at a time through the tables.
        auto gather = [&](int x0, int x1) {
            for (int x = x0; x < x1; ++x)
                for (int c = 0; c < kChannels; ++c) {
                    const int sx = m_col[c][std::size_t(x)];
                    out[x * 4 + c] = (reads[c] && sx >= 0) ? src[c][sx * 4 + c] : T(0);
                }
        };
        gather(0, m_begin);
        ShiftedPixels(out, src, reads, m_begin, m_end);
        gather(m_end, m_main.dst->Width());
    }

    // Pixels [x0, x1) assembled from four rows, each channel's row read at x - shift:
    // every pixel is moved as whole 64-bit words and each channel kept by a mask. The
    // words go through memcpy, which compiles to plain loads and stores.
    template <class T>
    void ShiftedPixels(T* out, const T* const src[], const bool reads[], int x0, int x1) const {
        constexpr int kWords = sizeof(T) * 4 / 8; // 64-bit words per pixel: 1 or 2
        constexpr int kPerWord = kChannels / kWords;
        constexpr int kBits = 64 / kPerWord;
        constexpr int kWordValues = kPerWord; // channel values in one word
        const std::uint64_t low = kBits == 64 ? ~0ull : (1ull << kBits) - 1;
        std::ptrdiff_t shift[kChannels];
        std::uint64_t mask[kChannels];
        for (int c = 0; c < kChannels; ++c) {
            // A channel that reads nothing is masked out; its row is read in place.
            shift[c] = reads[c] ? m_shift[c] : 0;
            mask[c] = reads[c] ? low << (kBits * (c % kPerWord)) : 0;
        }
        // Word w of pixel x - shift[c] in channel c's row, and word w of output pixel x.
        const auto in = [&](int c, int x, int w) {
            std::uint64_t word;
            std::memcpy(&word, src[c] + (x - shift[c]) * 4 + w * kWordValues, 8);
            return word & mask[c];
        };
        const auto put = [&](int x, int w, std::uint64_t word) {
            std::memcpy(out + std::ptrdiff_t(x) * 4 + w * kWordValues, &word, 8);
        };
        if constexpr (kWords == 1) {
            for (int x = x0; x < x1; ++x)
                put(x, 0, in(0, x, 0) | in(1, x, 0) | in(2, x, 0) | in(3, x, 0));
        } else {
            for (int x = x0; x < x1; ++x) {
                put(x, 0, in(0, x, 0) | in(1, x, 0));
                put(x, 1, in(2, x, 1) | in(3, x, 1));
            }
        }
    }

    Input* m_input;
    std::array<Input*, kChannels> m_on{};
    std::array<Input*, kChannels> m_centre{};
    Output* m_output;

    // Prepared per request.
    frame::MainPair m_main;                               // the render's input and output
    std::array<std::vector<int>, kChannels> m_col, m_row; // last source per target
    std::array<int, kChannels> m_shift{}, m_runBegin{}, m_runEnd{};
    int m_begin = 0, m_end = 0;
    void (ChannelShift::*m_worker)(int) = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(ChannelShift, "Quorvane.QRVX_ChannelShift", "ChannelShift", "ChSh",
                   "Quorvane_ChannelShift", frame::kNoTileBitmap, "Built: Dec 19 2005",
                   "Offset colour channels separately.\nV 0.9 public Beta")
