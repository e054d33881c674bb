// Inside the host library: channel values between the two depths, the four conversion
// routines of each depth, and the choice of code by an image's channel type.
#pragma once

#include "host/image.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace host {

constexpr float kInv65535 = 1.0f / 65535.0f;

// Channel value of type T as a float in units (0..1 nominal), and back.
template <class T>
inline float ToUnit(T v) {
    if constexpr (std::is_same_v<T, float>)
        return v;
    else
        return float(v) * kInv65535;
}
template <class T>
inline T FromUnit(float v) {
    if constexpr (std::is_same_v<T, float>)
        return v;
    else
        return RoundClamp16(v * 65535.0f);
}

// The four conversion routines of each depth.
template <class T>
struct RoutinesOf {
    static void ReadInt(IntPixel& p, const void* pos, const void*, const Image&) {
        const T* s = static_cast<const T*>(pos);
        if constexpr (std::is_same_v<T, float>) {
            p.R = RoundClamp16(s[0] * 65535.0f);
            p.G = RoundClamp16(s[1] * 65535.0f);
            p.B = RoundClamp16(s[2] * 65535.0f);
            p.A = RoundClamp16(s[3] * 65535.0f);
        } else {
            p.R = s[0], p.G = s[1], p.B = s[2], p.A = s[3];
        }
    }
    static void WriteInt(const IntPixel& p, void* pos, void*, const Image&) {
        T* d = static_cast<T*>(pos);
        const std::int32_t v[4] = {p.R, p.G, p.B, p.A};
        for (int c = 0; c < 4; ++c) {
            if constexpr (std::is_same_v<T, float>)
                d[c] = float(v[c]) * kInv65535;
            else
                d[c] = static_cast<T>(std::clamp(v[c], 0, 65535));
        }
    }
    static void ReadFlt(FltPixel& p, const void* pos, const void*, const Image&) {
        const T* s = static_cast<const T*>(pos);
        p.R = ToUnit(s[0]), p.G = ToUnit(s[1]), p.B = ToUnit(s[2]), p.A = ToUnit(s[3]);
    }
    static void WriteFlt(const FltPixel& p, void* pos, void*, const Image&) {
        T* d = static_cast<T*>(pos);
        d[0] = FromUnit<T>(p.R), d[1] = FromUnit<T>(p.G), d[2] = FromUnit<T>(p.B);
        d[3] = FromUnit<T>(p.A);
    }
    static constexpr PixelRoutines kTable{&ReadInt, &WriteInt, &ReadFlt, &WriteFlt};
};

// Calls f.template operator()<T>() with the image's channel type.
template <class F>
decltype(auto) WithType(const Image& image, F&& f) {
    if (image.IsFloat()) return f.template operator()<float>();
    return f.template operator()<std::uint16_t>();
}

} // namespace host
