// Reading image files into host images and writing host images to files, through
// OpenImageIO.
//
// The host counts rows from the bottom of the picture, files from the top: file line r of
// the frame is host row H - 1 - r, in reading and in writing, on every path.
//
// Reading takes the first subimage at full resolution. 8- and 16-bit integer files give
// integer images (8-bit values times 257); half and float files give float images, unless
// the depth is forced. Alpha is data: it is read unassociated and written unassociated,
// so colour under zero alpha survives a round trip. A file without alpha gets full alpha;
// a grey file gives R = G = B.
//
// Writing stores an integer image as 16-bit integers and a float image as 32-bit floats
// (half with Depth::Half). A float image goes only into a format that holds floats,
// unless Depth::Int16 asks for integers. OpenEXR holds no 16-bit integers: an integer
// image goes into it as 32-bit float, which keeps every value exactly.
//
// Float images that go from an OpenEXR plate into OpenEXR, uncompressed or with ZIP, are
// written by exr::Write (see exr_file.h); everything else by OpenImageIO.
//
// Compression follows the main input when the output has the input's format (a ZIP
// OpenEXR plate gives ZIP OpenEXR frames, as oiiotool does), else it is the writer's
// default. WriteOptions::compression overrides it (none, rle, zip, zips, piz, dwaa:45, ...).
#pragma once

#include "app/exr_file.h"
#include "host/image.h"

#include <OpenImageIO/imageio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace app {

// Which of a file's windows is the host image's frame. Display: the display window (what
// a compositing application shows as the picture), with the data window's pixels in place
// and transparent black around them, and pixels outside it dropped; the output's data
// window is then the whole frame. Data: the data window is the frame (--data-window), and
// the output carries the source's windows as they are. Formats without windows have one
// window for both.
enum class Window { Display, Data };

// --depth: auto follows the input files; the others force a depth.
enum class Depth { Auto, Int16, Float, Half };

// A file's description without its pixels: windows, pixel aspect and metadata.
struct FileInfo {
    OIIO::ImageSpec spec;
    std::string format;   // the reader's format name, e.g. "openexr"
    bool isFloat = false; // half, float or double channels
    std::string path;     // the file described
};

// Reads a file's description. Throws Failure naming the file when it is missing, not an
// image OpenImageIO can read, or deep.
FileInfo ReadInfo(const std::string& path);

// The image depth a file is read at: forced by the depth, else float for float files.
ImageDepth ImageDepthFor(Depth depth, bool fileIsFloat);

// Reads a file's pixels into a new image of the given depth (see the rules above), and
// its description into info when given. Throws Failure naming the file, also when the
// host cannot make an image that large.
std::unique_ptr<Image> ReadImage(const std::string& path, ImageDepth depth,
                                 FileInfo* info = nullptr, Window window = Window::Display);

// How many pixels of the file's data window lie outside its display window (overscan),
// which reading the display window drops.
std::int64_t PixelsOutsideFrame(const OIIO::ImageSpec& spec);

// What a file will be written as.
struct OutputType {
    OIIO::TypeDesc pixel; // the channel type stored in the file
    std::string format;   // the writer's format name
};

// The type an image of that depth gets in the file at path, by the rules above. Throws
// UsageError when the extension names no format, or the format cannot hold floats and
// floats are asked for.
OutputType OutputTypeFor(const std::string& path, bool imageIsFloat, Depth depth);

// Checks a --compression value against what the format of path takes: a name and, for
// some, a level after a colon (zip:6, dwaa:45, jpeg:90). "" takes the default. Throws
// UsageError naming the value and what the format takes.
void CheckCompression(const std::string& path, const std::string& compression);

struct WriteOptions {
    Depth depth = Depth::Auto;
    // The main input's description: its data and display windows, pixel aspect and
    // metadata are carried to the output (keys of one format only into that format).
    const FileInfo* source = nullptr;
    // The window of the source that the image is (see Window).
    Window window = Window::Display;
    // Overrides the channel type chosen by the depth rules (the demo writes 8-bit PNGs).
    OIIO::TypeDesc pixel = OIIO::TypeUnknown;
    // The compression to write with; "" for the default (see above).
    std::string compression;
    // Text metadata to write (names "qrvx:..." are never carried from a source).
    std::vector<std::pair<std::string, std::string>> metadata;
};

// Writes an image to a temporary file beside path and renames it into place. Throws
// UsageError for a format, depth or compression that does not fit (see OutputTypeFor,
// CheckCompression), Failure naming
// the path when the file cannot be written; the target is then left as it was.
void WriteImage(const Image& image, const std::string& path, const WriteOptions& options);

} // namespace app
