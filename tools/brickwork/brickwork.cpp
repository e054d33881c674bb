// Brickwork: builds a wall texture by laying tile images in rows, like bricks. Up to
// twenty tiles are connected; every tile position of the wall shows a tile picked at
// random from a chosen part of the list of connected tiles, and the rows alternate
// between two sideways offsets (in tile widths). The output has the size and depth of
// "Input", whose pixels are not used.
//
// The tile list holds the numbers of the connected tiles in increasing order, Tile 1
// first. Tile 1 sets the tile size; other tiles of another size are resized to it by the
// host, and tiles of the other depth are converted (1.0 is 65535). There are
// width / tile width + 1 columns and height / tile height + 1 rows of tiles. Tile row r
// of column i has its top-left corner at (trunc(i * tile width + tile width * offset),
// r * tile height), the offset being "xOffset Line A" for even rows and "xOffset Line B"
// for odd ones; tiles are cut at the output's edges. The product tile width * offset is
// taken as the whole number it lies within a few units in the last place of, so that the
// tiles of a row lie exactly one tile width apart however far along the row.
//
// The choice: column i seeds its own generator with (i + 1) * seed (mod 2^32) and takes
// three draws per tile row, from row 0 down, whether or not the tile lands inside the
// output (frame::ChoosePosition: a reversed "Probability" range is taken with its ends
// swapped, a negative tolerance as 0). So a column's tiles depend only on its number and
// the seed, and the same seed gives the same wall on any number of threads.
//
// Edges: pixels no tile covers (the strip left of a shifted row's first tile, and any
// gap) are 0 in all four channels. Where tiles of one row overlap (offsets below 0 put
// columns 0 and 1 a pixel into each other) the later column wins, as if the columns
// were laid in increasing order. Without Tile 1 (possible only through the host API) the
// output is 0 everywhere.
//
// Parallel run: each worker index is a tile column. In each tile row the column owns the
// pixels from its tile's left edge (column 0: from x = 0) to the next column's left edge
// (the last column: to the right edge); it writes its tile, or 0, into exactly those,
// so the columns write disjoint pixels and no pixel is left unwritten.
#include "frame/offsets.h"
#include "frame/random.h"
#include "frame/tool.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kTiles = 20;

// A copy of image in the depth of like, converted through the image's own routines.
Image* InDepthOf(const Image& like, const Image& image) {
    Image* out = frame::NewImageLike(like, image.Width(), image.Height());
    for (int y = 0; y < image.Height(); ++y) {
        if (out->IsFloat())
            frame::ReadRowAs(image, y, out->Row<float>(y));
        else
            frame::ReadRowAs(image, y, out->Row<std::uint16_t>(y));
    }
    return out;
}

class Brickwork : public ThreadedOperator {
public:
    Brickwork(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        constexpr frame::Range kPositions{1, 20};
        constexpr frame::Range kSeeds{1, 65535};
        // clang-format off
        using About = frame::ChoiceAbout;
        m_input = frame::ImageIn(*this, "Input")->Describe("Gives the wall its size and depth; its pixels are not used");
        AddControlPage("Controls");
        m_seedInput      = frame::Screw(*this, "seed", "seed", 1, kSeeds, {.allowed = kSeeds, .whole = true})->Describe(About::kSeed);
        m_firstInput     = frame::RangeHandle(*this, "Probability Start", "Probability Start", 1, kPositions, 1, 0)->Describe(About::kFirst);
        m_lastInput      = frame::RangeHandle(*this, "Probability End", "Probability End", 20, kPositions, 1, 1)->Describe(About::kLast);
        m_toleranceInput = frame::Slider(*this, "Tolerance", "Tolerance", 0, {0, 20})->Describe(About::kTolerance);
        m_offsetA        = frame::Slider(*this, "xOffset Line A", "xOffset Line A", 0, {0, 1})->Describe("Sideways shift of the first, third, fifth ... row of tiles, in tile widths");
        m_offsetB        = frame::Slider(*this, "xOffset Line B", "xOffset Line B", 0.5, {0, 1})->Describe("Sideways shift of the second, fourth, sixth ... row of tiles, in tile widths");
        // clang-format on
        for (int t = 1; t <= kTiles; ++t) {
            if (t == 1) AddControlPage("Tiles 1-10");
            if (t == 11) AddControlPage("Tiles 11-20");
            const bool required = t == 1;
            const std::string name = required ? "Tile 1 (required)" : "Tile " + std::to_string(t);
            m_tileInputs[std::size_t(t - 1)] =
                frame::ImageControl(*this, name.c_str(), required)
                    ->Describe(
                        required ? "The first tile picture, needed; it sets the size of every tile"
                                 : "Another tile picture the wall may use");
        }
        m_output = frame::ImageOut(*this);
    }

    void Process(Request* req) override {
        m_main = frame::Begin(req, m_input);
        const Image* tile1 = frame::ImageAt(m_tileInputs[0], req);
        if (!tile1) {
            m_main.dst->Fill(IntPixel{});
            m_output->Set(req, m_main.dst);
            return;
        }
        m_seed = std::uint32_t(frame::Whole(m_seedInput, req));
        m_first = frame::Whole(m_firstInput, req);
        m_last = frame::Whole(m_lastInput, req);
        m_tolerance = frame::Whole(m_toleranceInput, req);
        double offset[2] = {frame::Num(m_offsetA, req), frame::Num(m_offsetB, req)};
        for (double& o : offset)
            if (std::isnan(o)) o = 0.0;

        // The tile list, every tile of Tile 1's size and of the output's depth.
        m_tileWidth = tile1->Width();
        m_tileHeight = tile1->Height();
        // Each row's shift in pixels, taken as whole where it is meant to be (0.29 of 100
        // pixels is 28.999999999999996), so that its tiles lie exactly a tile width apart.
        for (int r = 0; r < 2; ++r)
            m_shift[r] = frame::WholeIfClose(m_tileWidth * offset[r], m_tileWidth);
        std::vector<frame::Temporary> temporaries;
        m_list.clear();
        for (int t = 0; t < kTiles; ++t) {
            const Image* tile = frame::ImageAt(m_tileInputs[std::size_t(t)], req);
            if (!tile) continue;
            if (tile->Width() != m_tileWidth || tile->Height() != m_tileHeight) {
                tile =
                    temporaries.emplace_back(tile->ResizeOfImage(m_tileWidth, m_tileHeight)).get();
            }
            if (tile->IsFloat() != m_main.dst->IsFloat()) {
                tile = temporaries.emplace_back(InDepthOf(*m_main.dst, *tile)).get();
            }
            m_tiles[std::size_t(t)] = tile;
            m_list.push_back(t);
        }
        m_columns = m_main.width / m_tileWidth + 1;
        m_rows = m_main.height / m_tileHeight + 1;

        m_worker = frame::PickByDepth(*m_main.dst, &Brickwork::Column<std::uint16_t>,
                                      &Brickwork::Column<float>);
        DoMultiProcess(req, m_columns);
        m_output->Set(req, m_main.dst);
    }

    void ProcessSlice(Request*, long i) override { (this->*m_worker)(int(i)); }

private:
    // The left edge of column i's tiles in a row with this shift in pixels. Every column
    // computes its own and its right neighbour's edge with this one expression, so
    // neighbours agree on their border.
    double Left(int i, double shift) const { return std::trunc(double(i) * m_tileWidth + shift); }
    // A position held to 0..width.
    int Clip(double x) const { return x > 0 ? int(std::min(x, double(m_main.width))) : 0; }

    // Lays every tile row of column i, from row 0 down.
    template <class T>
    void Column(int i) {
        constexpr std::size_t kPixel = sizeof(T) * 4;
        frame::Random rng(std::uint32_t(i + 1) * m_seed);
        const int length = int(m_list.size());
        for (int r = 0; r < m_rows; ++r) {
            const int position = frame::ChoosePosition(rng, m_first, m_last, m_tolerance, length);
            const Image& tile = *m_tiles[std::size_t(m_list[std::size_t(position)])];
            const int y0 = r * m_tileHeight;
            if (y0 >= m_main.height) continue;

            // The pixels [own0, own1) of the row that this column owns, and the part
            // [cover0, cover1) of them that its tile covers, from tile column u0.
            const double shift = m_shift[r & 1];
            const double left = Left(i, shift);
            const int cover0 = Clip(left);
            const int own0 = i == 0 ? 0 : cover0;
            const int own1 = i == m_columns - 1 ? m_main.width : Clip(Left(i + 1, shift));
            const int cover1 = std::min(Clip(left + m_tileWidth), own1);
            const std::ptrdiff_t u0 = cover1 > cover0 ? std::ptrdiff_t(cover0 - left) : 0;

            const int yEnd = std::min(y0 + m_tileHeight, m_main.height);
            for (int y = y0; y < yEnd; ++y) {
                char* out = reinterpret_cast<char*>(m_main.dst->Row<T>(y));
                const char* in = reinterpret_cast<const char*>(tile.Row<T>(y - y0));
                std::memset(out + own0 * kPixel, 0, std::size_t(cover0 - own0) * kPixel);
                if (cover1 > cover0)
                    std::memcpy(out + cover0 * kPixel, in + u0 * kPixel,
                                std::size_t(cover1 - cover0) * kPixel);
                const int zeroFrom = std::max(cover0, cover1);
                std::memset(out + zeroFrom * kPixel, 0, std::size_t(own1 - zeroFrom) * kPixel);
            }
        }
    }

    Input* m_input;
    Input* m_seedInput;
    Input* m_firstInput;
    Input* m_lastInput;
    Input* m_toleranceInput;
    Input* m_offsetA;
    Input* m_offsetB;
    std::array<Input*, kTiles> m_tileInputs{};
    Output* m_output;

    // Prepared per request.
    frame::MainPair m_main; // the render's input and output
    std::uint32_t m_seed = 1;
    int m_first = 1, m_last = 20, m_tolerance = 0;
    double m_shift[2] = {0, 0}; // even rows, odd rows: the row offset in pixels
    int m_tileWidth = 1, m_tileHeight = 1;
    std::array<const Image*, kTiles> m_tiles{}; // by tile number - 1; null when unconnected
    std::vector<int> m_list;                    // tile numbers - 1 of the connected tiles
    int m_columns = 0, m_rows = 0;
    void (Brickwork::*m_worker)(int) = nullptr;
};

} // namespace

QRVX_REGISTER_TOOL(Brickwork, "Quorvane.QRVX_Brickwork", "Brickwork", "Brk", "QuorvaneBrickwork",
                   6000, "Built: Nov 26 2005",
                   "Create seamless textures like brick-walls using a set of single tiles.\n V 0.9 "
                   "public Beta")
