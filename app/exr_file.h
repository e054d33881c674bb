// OpenEXR scanline files read and written by qrvx itself, for the case that dominates a
// pipeline: a float or half RGB(A) plate in, a float RGBA plate out, stored uncompressed
// or with ZIP (blocks of 16 lines) or ZIPS (single lines). The blocks are inflated and
// deflated on every core with libdeflate, which does zlib's work in about half the time
// at the same ratio; the files written are ordinary OpenEXR files that any reader takes.
// Everything else goes through OpenImageIO (see image_io.h).
//
// The header is the source file's own: every attribute of the main input is carried in
// its stored form, whatever its type, and only the layout (channels, compression, the
// windows, the line order) and "Software" are written anew. The attributes are written
// sorted by name, as OpenEXR's own writer does, so that with "none" the file is the one
// OpenImageIO writes, byte for byte.
#pragma once

#include "host/image.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace app::exr {

// One header attribute as stored: its name, its type's name and its value's bytes.
struct Attribute {
    std::string name, type, value;
    bool operator==(const Attribute&) const = default;
};

// The attributes of a single-part scanline OpenEXR file, in file order; nothing for any
// other file (tiled, multi-part, deep, not OpenEXR, unreadable or malformed).
std::optional<std::vector<Attribute>> ReadHeader(const std::string& path);

// Reads the pixels of a file with that header into a float image of the data window's
// size, alpha 1 where the file has none, and returns true; or returns false, having read
// nothing, when the file is not one this reader takes (other channels or channel types,
// other compressions, sub-sampling), for OpenImageIO to read. Throws Failure naming the
// path when the file is damaged.
bool ReadPixels(const std::string& path, const std::vector<Attribute>& header, Image& image);

// The compressions this writer stores, by their numbers in the file.
enum class Compression : std::uint8_t { None = 0, Zips = 2, Zip = 3 };

struct Layout {
    int x = 0, y = 0; // the data window's origin; its size is the image's
    int displayX = 0, displayY = 0, displayWidth = 0, displayHeight = 0;
    Compression compression = Compression::Zip;
    int zipLevel = 6;               // 1..12; 6 is the default of zlib, and so of OpenEXR
    std::vector<Attribute> carried; // the source's attributes, layout ones included
};

// The layout's compression and level for a compression name of OpenImageIO's ("none",
// "zip", "zips", each ZIP optionally with ":level"), or nothing when this writer does
// not store that compression.
std::optional<std::pair<Compression, int>> ParseCompression(const std::string& name);

// Writes a float image to path as laid out. Throws Failure naming the path.
void Write(const Image& image, const std::string& path, const Layout& layout);

} // namespace app::exr
