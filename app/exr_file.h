// OpenEXR plates read and written on every core, ZIP blocks with libdeflate, for the case
// that dominates a pipeline: a float or half RGB(A) plate in, a float RGBA plate out,
// single-part scanlines stored uncompressed, with RLE (single lines), or with ZIP (blocks
// of 16 lines) or ZIPS (single lines). OpenEXR's own library deflates with zlib, which took
// most of a frame's time; libdeflate does the same work in about half of it at the same
// level and ratio.
//
// The files themselves (headers, attributes, block tables, block framing and their
// checks) are OpenEXR's core library's work; this file adds the blocks' ZIP and RLE coding and
// moves pixels between blocks and images. The files written are ordinary OpenEXR files
// that any reader takes. Everything else goes through OpenImageIO (see image_io.h).
#pragma once

#include "host/image.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace app::exr {

// Reads the pixels of a file's data window into a float image, alpha 1 where the file has
// none, and returns true; or returns false, having read nothing, when the file is not one
// this reader takes (more parts, tiles, other channels or channel types, sub-sampling,
// other compressions, another line order) or its data window does not fit in the image
// at (left, top), for OpenImageIO to read. (left, top) is where the data window's first
// pixel goes, counted as the file counts: top is the number of lines above it. The file's
// lines run down the picture and the image's rows up, so the file's first line lands on
// row Height() - 1 - top. Throws Failure naming the path when the file is damaged.
bool ReadPixels(const std::string& path, Image& image, int left = 0, int top = 0);

// The compressions this writer stores, by their numbers in the file.
enum class Compression : std::uint8_t { None = 0, Rle = 1, Zips = 2, Zip = 3 };

struct Layout {
    int x = 0, y = 0; // the data window's origin; its size is the image's
    int displayX = 0, displayY = 0, displayWidth = 0, displayHeight = 0;
    Compression compression = Compression::Zip;
    bool alpha = true; // A is written with R, G and B
    int zipLevel = 6;  // 1..9, as zlib counts; 6 is zlib's default, and so OpenEXR's
    // The file whose header attributes are carried: all of them but the layout (channels,
    // compression, windows, line order) and "Software", which is "qrvx VERSION".
    std::string source;
    // Text attributes written besides (they win over the source's of the same name).
    std::vector<std::pair<std::string, std::string>> texts;
};

// The compression and level for a compression name of OpenImageIO's ("none", "rle", "zip",
// "zips", each ZIP optionally with ":level"), or nothing when this writer does not store
// that compression.
std::optional<std::pair<Compression, int>> ParseCompression(const std::string& name);

// Writes a float image to path as laid out, its top row as the file's first line, through
// a temporary file renamed into place (see output_file.h), and returns true; or returns
// false, having written nothing, when the source is not a single-part scanline OpenEXR
// file whose header can be carried. Throws Failure naming the path when the file cannot
// be written.
bool Write(const Image& image, const std::string& path, const Layout& layout);

} // namespace app::exr
