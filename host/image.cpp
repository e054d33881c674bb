// The Image class, NewImage and the limit on image sizes. The operations behind Image's methods
// have a file each (resize.cpp, blur.cpp, merge.cpp), the pixel memory pool.cpp.
#include "host/image.h"

#include "host/access.h"
#include "host/convert.h"
#include "host/image_ops.h"
#include "host/parallel.h"
#include "host/pool.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

using host::FromUnit;
using host::kInv65535;
using host::WithType;

namespace {

std::atomic<std::int64_t> g_maxPixels{std::int64_t(1) << 28};

// Hands a new image to the running request, if any, which then owns it.
Image* AdoptNew(Image* image) {
    if (Request* r = Request::Current()) host::Access::Adopt(*r, image);
    return image;
}

// The one wording of every refusal to make an image of a size.
HostError CannotMake(long long width, long long height, const std::string& why) {
    return HostError("cannot make an image of " + std::to_string(width) + " x " +
                     std::to_string(height) + " pixels" + why);
}

std::string OverTheLimit() {
    return ": more than the limit of " + std::to_string(g_maxPixels.load()) + " pixels";
}

// Refuses a depth or size the host cannot hold.
void CheckSize(int width, int height, ImageDepth depth) {
    if (depth != ImageDepth::Int16 && depth != ImageDepth::Float32)
        throw HostError("cannot make an image of depth " + std::to_string(int(depth)));
    if (width < 1 || height < 1)
        throw CannotMake(width, height, ": width and height must be positive");
    if (std::int64_t(width) * height > g_maxPixels.load())
        throw CannotMake(width, height, OverTheLimit());
}

} // namespace

Image::Image(int width, int height, ImageDepth depth)
    : m_width(width), m_height(height), m_depth(depth), m_rowBytes(0), m_bytes(0), m_data(nullptr),
      m_routines(depth == ImageDepth::Float32 ? &host::RoutinesOf<float>::kTable
                                              : &host::RoutinesOf<std::uint16_t>::kTable) {
    CheckSize(width, height, depth);
    m_rowBytes = (std::ptrdiff_t(width) * Stride() + 63) / 64 * 64;
    m_bytes = std::size_t(m_rowBytes) * std::size_t(height);
    m_data = host::AcquirePixels(m_bytes);
    if (!m_data) throw CannotMake(width, height, ": out of memory");
    m_rows.resize(std::size_t(height));
    for (int y = 0; y < height; ++y)
        m_rows[std::size_t(y)] = static_cast<char*>(m_data) + std::size_t(m_rowBytes) * y;
}

Image::Image(int width, int height, ImageDepth depth, void* pixels, std::ptrdiff_t rowBytes)
    : m_width(width), m_height(height), m_depth(depth), m_rowBytes(rowBytes), m_bytes(0),
      m_data(nullptr),
      m_routines(depth == ImageDepth::Float32 ? &host::RoutinesOf<float>::kTable
                                              : &host::RoutinesOf<std::uint16_t>::kTable) {
    CheckSize(width, height, depth);
    if (!pixels || std::abs(rowBytes) < std::ptrdiff_t(width) * Stride())
        throw CannotMake(width, height,
                         " over memory whose rows are " + std::to_string(rowBytes) + " bytes");
    m_rows.resize(std::size_t(height));
    for (int y = 0; y < height; ++y)
        m_rows[std::size_t(y)] = static_cast<char*>(pixels) + rowBytes * y;
}

// Borrowed memory (m_data null) stays with its owner.
Image::~Image() {
    if (m_data) host::ReleasePixels(m_data, m_bytes);
}

void Image::Fill(const IntPixel& p) {
    FltPixel f;
    f.R = float(p.R) * kInv65535, f.G = float(p.G) * kInv65535;
    f.B = float(p.B) * kInv65535, f.A = float(p.A) * kInv65535;
    if (IsFloat()) return Fill(f);
    const std::uint16_t v[4] = {
        std::uint16_t(std::clamp(p.R, 0, 65535)), std::uint16_t(std::clamp(p.G, 0, 65535)),
        std::uint16_t(std::clamp(p.B, 0, 65535)), std::uint16_t(std::clamp(p.A, 0, 65535))};
    host::ParallelBands(m_height, host::DefaultBands(), [&](long y0, long y1) {
        for (long y = y0; y < y1; ++y) {
            std::uint16_t* d = Row<std::uint16_t>(int(y));
            for (int i = 0; i < m_width * 4; ++i) d[i] = v[i & 3];
        }
    });
}

void Image::Fill(const FltPixel& p) {
    WithType(*this, [&]<class T>() {
        const T v[4] = {FromUnit<T>(p.R), FromUnit<T>(p.G), FromUnit<T>(p.B), FromUnit<T>(p.A)};
        host::ParallelBands(m_height, host::DefaultBands(), [&](long y0, long y1) {
            for (long y = y0; y < y1; ++y) {
                T* d = Row<T>(int(y));
                for (int i = 0; i < m_width * 4; ++i) d[i] = v[i & 3];
            }
        });
    });
}

Image* Image::CopyOfImage(bool) const {
    auto* copy = new Image(m_width, m_height, m_depth);
    host::ParallelBands(m_height, host::DefaultBands(), [&](long y0, long y1) {
        if (copy->m_rowBytes == m_rowBytes) {
            std::memcpy(copy->m_rows[std::size_t(y0)], m_rows[std::size_t(y0)],
                        std::size_t(m_rowBytes) * std::size_t(y1 - y0));
            return;
        }
        // Borrowed memory may have rows of another length.
        for (long y = y0; y < y1; ++y)
            std::memcpy(copy->m_rows[std::size_t(y)], m_rows[std::size_t(y)],
                        std::size_t(m_width) * std::size_t(Stride()));
    });
    return AdoptNew(copy);
}

Image* Image::ResizeOfImage(int width, int height) const {
    auto* out = new Image(width, height, m_depth);
    host::Resize(*this, *out);
    return AdoptNew(out);
}

Image* Image::ResizeOfImage(const TagList& tags) const {
    return ResizeOfImage(int(tags.GetInt(tag::ResizeWidth, m_width)),
                         int(tags.GetInt(tag::ResizeHeight, m_height)));
}

Image* Image::ResizeOfImage(const TagList& tags, int x, int y, int w, int h) const {
    const std::int64_t width = tags.GetInt(tag::ResizeWidth, m_width);
    const std::int64_t height = tags.GetInt(tag::ResizeHeight, m_height);
    if (w < 1 || h < 1 || x < 0 || y < 0 || x + std::int64_t(w) > width ||
        y + std::int64_t(h) > height || width > INT_MAX || height > INT_MAX)
        throw HostError("cannot resize the part " + std::to_string(w) + " x " + std::to_string(h) +
                        " at " + std::to_string(x) + ", " + std::to_string(y) + " of a " +
                        std::to_string(width) + " x " + std::to_string(height) + " resize");
    auto* out = new Image(w, h, m_depth);
    host::Resize(*this, *out, int(width), int(height), x, y);
    return AdoptNew(out);
}

void Image::OXMerge(const Image& src, int x, int y) { OXMergeRows(src, x, y, 0, m_height); }

void Image::OXMergeRows(const Image& src, int x, int y, int rowBegin, int rowEnd) {
    host::Merge(src, *this, x, y, rowBegin, rowEnd);
}

void Image::ImageBlur(Image* target, int, bool red, bool green, bool blue, bool alpha, double xSize,
                      double ySize, double, double) const {
    if (!target || target->Width() != m_width || target->Height() != m_height)
        throw HostError("blur target must have the size of the blurred image");
    const bool on[4] = {red, green, blue, alpha};
    host::Blur(*this, *target, on, xSize, ySize);
}

Image* NewImage(const TagList& tags) {
    const Image* like = nullptr;
    if (const TagValue* t = tags.Find(tag::ImgTemplate))
        like = static_cast<const Image*>(t->AsAddress());
    if (!like && !tags.Find(tag::ImgContext))
        throw HostError("NewImage needs a template image or the host context");
    const long long width = tags.GetInt(tag::ImgWidth, like ? like->Width() : 0);
    const long long height = tags.GetInt(tag::ImgHeight, like ? like->Height() : 0);
    if (width > INT_MAX || height > INT_MAX) throw CannotMake(width, height, OverTheLimit());
    const auto depth =
        ImageDepth(tags.GetInt(tag::ImgDepth, like ? int(like->Depth()) : int(ImageDepth::Int16)));
    return AdoptNew(host::Access::MakeImage(int(width), int(height), depth));
}

void host::SetMaxImagePixels(std::int64_t pixels) { g_maxPixels = pixels; }
std::int64_t host::MaxImagePixels() { return g_maxPixels.load(); }
