// LineDrop: drops rows in a repeating pattern, a block of kept rows then a block of
// dropped rows ("show input first") or the other way round ("show color first"), and
// stacks the kept rows without gaps into a shorter image of the same width and depth.
// Deinterlacing is keep 1, drop 1.
//
// The output height counts only whole periods (keep + drop rows) as shortened:
// H2 = H - (H / period) * drop. The rows of a last, incomplete period all count as kept
// in that height, so when that part of the period holds dropped rows the output has
// more rows than kept rows; those last rows are set to zero (transparent black). An
// input shorter than one period keeps its height. Counts are held to 1..255.
//
// Process walks the pattern once, in row order, to find each output row's input row;
// the row worker then copies whole rows unchanged, so rows can be copied on all cores.
#include "frame/tool.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

class LineDrop : public ThreadedOperator {
public:
    LineDrop(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        constexpr frame::Range kLines{1, 255};
        constexpr frame::Extra kCount{.allowed = kLines, .whole = true};
        // clang-format off
        m_input = frame::ImageIn(*this, "Input")->Describe("The footage to drop scanlines from");
        AddControlPage("Controls");
        m_order = frame::Combo(*this, "Scanline OrderH", "Scanline Order", {"show input first", "show color first"})->Describe("Whether each repeat starts with kept rows or with dropped rows");
        m_keep  = frame::Screw(*this, "Hscanlines showing input", "scanlines showing input", 1, kLines, kCount)->Describe("How many rows each repeat keeps");
        m_drop  = frame::Screw(*this, "Hscanlines showing Color", "scanlines to crop", 1, kLines, kCount)->Describe("How many rows each repeat drops");
        m_output = frame::ImageOut(*this);
        // clang-format on
    }

    void Process(Request* req) override {
        const Image* src = frame::MainImage(req, m_input);
        const int w = src->Width(), h = src->Height();
        const int keep = std::clamp(frame::Whole(m_keep, req), 1, 255);
        const int drop = std::clamp(frame::Whole(m_drop, req), 1, 255);
        const int h2 = h - h / (keep + drop) * drop;
        m_src = src;
        m_dst = frame::NewImageLike(*src, w, h2);

        // Walk the input rows through the keep/drop pattern: the kept ones fill the output
        // rows in order, and rows no kept row reaches stay without a source (-1).
        m_source.assign(std::size_t(h2), -1);
        bool keeping = frame::Whole(m_order, req) < 1;
        int kept = 0, dropped = 0, next = 0;
        for (int y = 0; y < h; ++y) {
            if (keeping) {
                m_source[std::size_t(next++)] = y;
                ++kept;
            } else {
                ++dropped;
            }
            if (kept >= keep) kept = 0, keeping = false;
            if (dropped >= drop) dropped = 0, keeping = true;
        }
        DoMultiProcess(req, h2);
        m_output->Set(req, m_dst);
    }

    // Output row y: its input row copied unchanged, or zero (new images start with any
    // content) where no kept row reaches it.
    void ProcessSlice(Request*, long y) override {
        const std::size_t rowBytes = std::size_t(m_src->Width()) * std::size_t(m_src->Stride());
        const int from = m_source[std::size_t(y)];
        if (from >= 0)
            std::memcpy(m_dst->RowTable()[y], m_src->RowTable()[from], rowBytes);
        else
            std::memset(m_dst->RowTable()[y], 0, rowBytes);
    }

private:
    Input* m_input;
    Input* m_order;
    Input* m_keep;
    Input* m_drop;
    Output* m_output;

    // Prepared per request.
    const Image* m_src = nullptr;
    Image* m_dst = nullptr;
    std::vector<int> m_source; // per output row: the input row it shows, or -1
};

} // namespace

QRVX_REGISTER_TOOL(LineDrop, "Quorvane.QRVX_LineDrop", "LineDrop", "LnDr", "QuorvaneLineDrop",
                   11000, "Built: Nov 26 2005",
                   "Crop certain scanlines to repair or deinterlace footage.\n V 0.9 public Beta")
