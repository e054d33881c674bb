// Inside the host library: the image operations behind Image's methods, one file each.
// Each works on images the caller has made and checked; the contracts are those of the
// methods in host/image.h.
#pragma once

#include "host/cpu.h" // the vector paths the operations take: VectorPaths, Avx2Vectors, WideVectors
#include "host/image.h"

#include <cstdint>

namespace host {

// The largest number of pixels the host makes in one image (qrvx::SetMaxImagePixels).
void SetMaxImagePixels(std::int64_t pixels);
std::int64_t MaxImagePixels();

// dst resampled from src (any sizes, the same depth): ResizeOfImage.
void Resize(const Image& src, Image& dst);
// dst the part of src resampled to width x height whose pixel (0, 0) is (x, y) of it:
// the window form of ResizeOfImage, the same values pixel for pixel.
void Resize(const Image& src, Image& dst, int width, int height, int x, int y);

// dst (the size of src, any depth) a blur of src: ImageBlur, whose sizes are the
// standard deviations in fractions of src's width.
void Blur(const Image& src, Image& dst, const bool on[4], double xSize, double ySize);

// src drawn over dst's rows [rowBegin, rowEnd) with its pixel (0, 0) at (x, y): OXMergeRows.
void Merge(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd);

} // namespace host
