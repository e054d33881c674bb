// Depth traits and the pixel cursor.
//
// A worker is written once as a template over the channel type T of its images:
// std::uint16_t for integer images, float for float images. Depth<T> gives the channel
// scale (65535 or 1), the matching pixel record and the one store rule: integer results
// are truncated toward zero and clamped to 0..65535, float results are stored as the
// nearest float and never clamped.
//
// Channel values are stored interleaved in memory order R, G, B, A; the index constants
// below name them for workers that index a row directly.
#pragma once

#include "host/image.h"

#include <cmath>
#include <cstdint>
#include <type_traits>

namespace frame {

inline constexpr int kR = 0, kG = 1, kB = 2, kA = 3;

template <class T>
struct Depth;

template <>
struct Depth<std::uint16_t> {
    using Record = IntPixel;
    static constexpr double kScale = 65535.0;
    // Truncates toward zero and clamps to 0..65535; NaN gives 0.
    static std::uint16_t Store(double v) {
        if (!(v > 0.0)) return 0;
        if (v >= 65535.0) return 65535;
        return static_cast<std::uint16_t>(v);
    }
    static std::uint16_t StoreInt(std::int32_t v) {
        return static_cast<std::uint16_t>(v < 0 ? 0 : (v > 65535 ? 65535 : v));
    }
};

template <>
struct Depth<float> {
    using Record = FltPixel;
    static constexpr double kScale = 1.0;
    static float Store(double v) { return static_cast<float>(v); }
};

// The channel scale of an image: 1.0 for float images, 65535.0 for integer images.
inline double ChannelScale(const Image& image) { return image.IsFloat() ? 1.0 : 65535.0; }

// Picks the worker for the image's depth, once per render.
template <class F>
F PickByDepth(const Image& image, F intWorker, F floatWorker) {
    return image.IsFloat() ? floatWorker : intWorker;
}

// Storage channel type for a pixel record.
template <class Rec>
struct StorageOf;
template <>
struct StorageOf<IntPixel> {
    using type = std::uint16_t;
};
template <>
struct StorageOf<FltPixel> {
    using type = float;
};

// The pixel cursor: reads and writes single pixels of one image by column and row,
// through plain loads and stores. Rec is IntPixel for integer images and FltPixel for
// float images; the image's depth must match (the tools choose the path by depth).
// The cursor checks no bounds: positions outside the image are never addressed.
// A float image's values pass through unchanged; writing an IntPixel clamps each
// channel to 0..65535.
template <class Rec>
class PixelCursor {
public:
    using T = typename StorageOf<Rec>::type;

    PixelCursor(const Image& image, int x, int y)
        : m_image(&image), m_stride(image.Stride()), m_rows(image.RowTable()) {
        Move(x, y);
    }

    // Moves to (x, y); the position is null for an image without a row table.
    void Move(int x, int y) {
        m_pos = m_rows ? static_cast<T*>(m_rows[y]) + std::ptrdiff_t(x) * 4 : nullptr;
    }

    void Read(int x, int y, Rec& p) {
        Move(x, y);
        Load(p);
    }
    void Write(int x, int y, const Rec& p) {
        Move(x, y);
        StoreAt(p);
    }

    // Sequential forms: access the current position, then step one pixel right.
    void Read(Rec& p) {
        Load(p);
        m_pos += 4;
    }
    void Write(const Rec& p) {
        StoreAt(p);
        m_pos += 4;
    }

    // The current position's channel values (R, G, B, A).
    T* Position() const { return m_pos; }
    const Image& Bound() const { return *m_image; }
    std::ptrdiff_t Stride() const { return m_stride; }

private:
    void Load(Rec& p) const {
        p.R = m_pos[kR];
        p.G = m_pos[kG];
        p.B = m_pos[kB];
        p.A = m_pos[kA];
    }
    void StoreAt(const Rec& p) const {
        if constexpr (std::is_same_v<T, float>) {
            m_pos[kR] = p.R;
            m_pos[kG] = p.G;
            m_pos[kB] = p.B;
            m_pos[kA] = p.A;
        } else {
            m_pos[kR] = Depth<T>::StoreInt(p.R);
            m_pos[kG] = Depth<T>::StoreInt(p.G);
            m_pos[kB] = Depth<T>::StoreInt(p.B);
            m_pos[kA] = Depth<T>::StoreInt(p.A);
        }
    }

    const Image* m_image;
    std::ptrdiff_t m_stride;
    void* const* m_rows;
    T* m_pos = nullptr;
};

// Row y of image as channel values of type T (R, G, B, A a pixel) in out, read through the
// image's own routines: for an input of the other depth than the one a worker runs at
// (1.0 is 65535; integers from floats are rounded and clamped, NaN gives 0).
template <class T>
void ReadRowAs(const Image& image, int y, T* out) {
    const PixelRoutines& r = image.Routines();
    const char* pos = static_cast<const char*>(image.RowTable()[y]);
    for (int x = 0; x < image.Width(); ++x, pos += image.Stride(), out += 4) {
        if constexpr (std::is_same_v<T, float>) {
            FltPixel p;
            r.readFlt(p, pos, nullptr, image);
            out[kR] = p.R, out[kG] = p.G, out[kB] = p.B, out[kA] = p.A;
        } else {
            IntPixel p;
            r.readInt(p, pos, nullptr, image);
            out[kR] = Depth<T>::StoreInt(p.R), out[kG] = Depth<T>::StoreInt(p.G);
            out[kB] = Depth<T>::StoreInt(p.B), out[kA] = Depth<T>::StoreInt(p.A);
        }
    }
}

} // namespace frame
