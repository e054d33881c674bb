// Inside the host library: the image operations behind Image's methods, one file each.
// Each works on images the caller has made and checked; the contracts are those of the
// methods in host/image.h.
#pragma once

#include "host/image.h"

namespace host {

// dst resampled from src (any sizes, the same depth): ResizeOfImage.
void Resize(const Image& src, Image& dst);

// dst (the size of src, any depth) a blur of src: ImageBlur, whose sizes are the
// standard deviations in fractions of src's width.
void Blur(const Image& src, Image& dst, const bool on[4], double xSize, double ySize);

// src drawn over dst's rows [rowBegin, rowEnd) with its pixel (0, 0) at (x, y): OXMergeRows.
void Merge(const Image& src, Image& dst, int x, int y, int rowBegin, int rowEnd);

} // namespace host
