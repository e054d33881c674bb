// The host's picture: four channels per pixel (red, green, blue, alpha), either 16-bit
// integer (0..65535) or 32-bit float (nominally 0..1, other values kept), stored as rows
// of interleaved channels in memory order R, G, B, A. Every row starts on a 64-byte
// boundary; a row table gives each row's address.
//
// Pixel memory comes from a pool: an image of a size made before takes the memory that
// an earlier image of that size gave back, so rendering a sequence does not touch fresh
// pages (page faults would otherwise cost far more than the work itself).
//
// Tools make images with NewImage (or an image's CopyOfImage and ResizeOfImage), which
// hand them to the running request. The host refuses to make an image it cannot hold: a
// width or height below 1, more pixels than the limit (qrvx::SetMaxImagePixels) or an
// allocation that fails raise HostError, which reaches the caller of the render.
#pragma once

#include "host/error.h"
#include "host/export.h"
#include "host/params.h"
#include "host/taglist.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// The pixel records through which tools read and write single pixels. Memory order is
// blue, green, red, alpha, as the host defines them.
struct IntPixel {
    std::int32_t B = 0, G = 0, R = 0, A = 0;
};
struct FltPixel {
    float B = 0, G = 0, R = 0, A = 0;
};

class Image;
namespace host {
struct Access; // the host's own way to the private parts (host/access.h)
}

// Rounds to the nearest and clamps to 0..65535 (NaN gives 0): the one rule by which a float
// channel value, already scaled by 65535, becomes a 16-bit one, wherever the host, a tool
// or a client converts between the depths. Both clamps act on v + 0.5 so that the compiler
// turns them into min and max and loops over pixels vectorise; (int) 65535.5 is 65535, and
// anything up to 0.5 gives 0.
inline std::uint16_t RoundClamp16(float v) {
    float w = v + 0.5f;
    w = w > 0.5f ? w : 0.0f;
    w = w < 65535.5f ? w : 65535.5f;
    return static_cast<std::uint16_t>(static_cast<int>(w));
}

// The image's four conversion routines between its storage and the pixel records. They
// take the record, the colour position, the auxiliary position and the image. Code that
// reads an image of either depth at one depth calls them (frame::ReadRowAs, PanelSim's
// pattern); the row workers read and write storage directly, through Image::Row.
struct PixelRoutines {
    void (*readInt)(IntPixel&, const void* pos, const void* aux, const Image&);
    void (*writeInt)(const IntPixel&, void* pos, void* aux, const Image&);
    void (*readFlt)(FltPixel&, const void* pos, const void* aux, const Image&);
    void (*writeFlt)(const FltPixel&, void* pos, void* aux, const Image&);
};

class QRVX_HOST_API Image : public Parameter {
public:
    ~Image() override;
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    bool IsFloat() const { return m_depth == ImageDepth::Float32; }
    ImageDepth Depth() const { return m_depth; }
    std::int64_t PixelCount() const { return std::int64_t(m_width) * m_height; }

    // Bytes from one pixel of a row to the next (8 or 16), and from one row to the next.
    std::ptrdiff_t Stride() const { return IsFloat() ? 16 : 8; }
    std::ptrdiff_t RowBytes() const { return m_rowBytes; }
    // The row table: the address of each row's first pixel.
    void* const* RowTable() const { return m_rows.data(); }
    // Row y as channel values of type T (std::uint16_t for integer images, float for
    // float images); 4 values per pixel.
    template <class T>
    T* Row(int y) const {
        return static_cast<T*>(m_rows[std::size_t(y)]);
    }

    const PixelRoutines& Routines() const { return *m_routines; }
    // The auxiliary plane of extra channels: empty in this host.
    void* const* AuxRowTable() const { return nullptr; }
    std::ptrdiff_t AuxStride() const { return 0; }

    // Sets every pixel. Integer channel values are clamped to 0..65535 on an integer
    // image; on a float image they are taken as value / 65535. A FltPixel on an integer
    // image is scaled by 65535, rounded and clamped.
    void Fill(const IntPixel& p);
    void Fill(const FltPixel& p);

    // A new image of the same size, depth and pixels. The flag is the host's and unused.
    Image* CopyOfImage(bool flag = false) const;

    // A resampled copy of the given size (a smooth, separable filter: bilinear when
    // enlarging, an area-weighted triangle when reducing). Same depth.
    Image* ResizeOfImage(int width, int height) const;
    // Tag form: tag::ResizeWidth, tag::ResizeHeight (missing ones keep this image's size)
    // and tag::ResizeFilter (accepted, the filter is always the one above).
    Image* ResizeOfImage(const TagList& tags) const;
    // The part [x, x + w) x [y, y + h) of the tagged resize, pixel for pixel what the
    // whole resize holds there: for a draw of which only that part can land in the
    // picture. Throws HostError when the part is empty or not inside the resize.
    Image* ResizeOfImage(const TagList& tags, int x, int y, int w, int h) const;

    // Draws src over this image with src's pixel (0, 0) at (x, y), dropping what falls
    // outside. The rule is "over" for premultiplied colour: out = src + this * (1 - src
    // alpha), per channel, computed in float; integer results are rounded and clamped.
    // Only the overlapped pixels are written, so draws into disjoint areas may run at once.
    // Either depth may be drawn into either.
    void OXMerge(const Image& src, int x, int y);
    // The same draw limited to this image's rows [rowBegin, rowEnd): a tool whose draws
    // overlap replays them in order per band of rows, each band on its own thread, and
    // gets the result of drawing them one after another over the whole image.
    void OXMergeRows(const Image& src, int x, int y, int rowBegin, int rowEnd);

    // Blurs this image into target (same size; any depth) with filter type 4, a Gaussian
    // approximated by three box passes. xSize and ySize give the standard deviation as a
    // fraction of this image's width (both axes measure in widths, so equal sizes give a
    // round blur): 0.1 on a 3840-wide frame is a 384-pixel soft blur. A size of 0 leaves
    // that axis unchanged; channels whose flag is false are copied unchanged. Edges
    // repeat the border pixel. The two factors are accepted and unused. Other filter
    // types are treated as 4.
    void ImageBlur(Image* target, int filterType, bool red, bool green, bool blue, bool alpha,
                   double xSize, double ySize, double factor1 = 1.0, double factor2 = 1.0) const;

private:
    friend struct host::Access;
    // Makes an image of the given size and depth, owned by the caller (no request adopts
    // it). Pixel content is unspecified (it may be an earlier image's). Throws HostError
    // when the size is not positive, over the pixel limit, or the memory cannot be had.
    Image(int width, int height, ImageDepth depth);
    // An image over pixel memory the caller owns and keeps alive (and unchanged, when a tool
    // reads it) while the image lives: row y at pixels + y * rowBytes (negative: rows go
    // down in memory), no alignment asked, padding allowed. Throws HostError like the
    // constructor above, and when |rowBytes| would not hold the width.
    Image(int width, int height, ImageDepth depth, void* pixels, std::ptrdiff_t rowBytes);

    int m_width;
    int m_height;
    ImageDepth m_depth;
    std::ptrdiff_t m_rowBytes;
    std::size_t m_bytes;
    void* m_data;
    std::vector<void*> m_rows;
    const PixelRoutines* m_routines;
};

// Makes a new image from tags: tag::ImgTemplate (an Image*: its size and depth), or
// tag::ImgContext with tag::ImgWidth, tag::ImgHeight and optionally tag::ImgDepth
// (default 16-bit integer); width and height tags also override a template's size.
// tag::ImgChannel tags are accepted; every image holds all four channels.
// Throws HostError for a missing or bad size, or an image the host cannot hold.
// Inside a render, the render owns the new image until Output::Set takes it or
// Object::Recycle releases it; outside one, the caller owns it.
QRVX_HOST_API Image* NewImage(const TagList& tags);
