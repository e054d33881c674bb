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
// Writing keeps the main input's channel type, whatever depth the tool computed in: an
// 8-bit PNG gives an 8-bit PNG (rounded from 16 bits), a 10-bit DPX a 10-bit DPX, half
// OpenEXR half (see OutputTypeFor; -d chooses another). Without an input, or where the
// output's format cannot hold the input's type, an integer image is stored as 16-bit
// integers and a float image as 32-bit floats. A float image goes only into a format that
// holds floats, unless Depth::Int16 asks for integers. OpenEXR holds no 16-bit integers:
// an integer image goes into it as 32-bit float, which keeps every value exactly. The
// output has alpha when WriteOptions::alpha says so (an RGB input gives an RGB output
// unless the tool made an alpha that is not opaque) and its format has one.
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
#include <optional>
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

// What a read takes from a file besides the depth.
struct ReadOptions {
    Window window = Window::Display;
    // --layer: the layer whose R, G, B and A (layer.R, ...) the tool sees; "" for the
    // channels without a layer.
    std::string layer;
    // --part: the OpenEXR part (subimage) read, by number or name; "" for the first.
    std::string part;
    // Whether ReadImage keeps the channels the tool does not see in FileInfo::extras.
    bool keepExtras = false;
};

// The channels of a file that the tool does not see (Z, other layers), kept to be written
// back unchanged beside the tool's output.
struct ExtraChannels {
    std::vector<std::string> names;
    std::vector<OIIO::TypeDesc> types; // each channel's type in the file
    int width = 0, height = 0;         // the data window's size
    // Where the data window's first pixel lies in the frame, counted as files count (top
    // lines above it).
    std::int64_t left = 0, top = 0;
    std::vector<float> values; // names.size() values a pixel, lines from the top
};

// A file's description without its pixels: windows, pixel aspect and metadata.
struct FileInfo {
    OIIO::ImageSpec spec; // of the part read
    std::string format;   // the reader's format name, e.g. "openexr"
    bool isFloat = false; // half, float or double channels
    std::string path;     // the file described
    std::string layer;    // the layer the tool sees (ReadOptions::layer)
    int part = 0;         // the part read
    int parts = 1;        // how many parts the file has
    // Filled by ReadImage: the channels the tool does not see; null when there are none.
    std::shared_ptr<const ExtraChannels> extras;
};

// Reads a file's description (of the part and layer asked for). Throws Failure naming the
// file when it is missing, not an image OpenImageIO can read, deep, or has no such part
// or layer.
FileInfo ReadInfo(const std::string& path, const ReadOptions& options = {});

// The image depth a file is read at: forced by the depth, else float for float files.
ImageDepth ImageDepthFor(Depth depth, bool fileIsFloat);

// Reads a file's pixels into a new image of the given depth (see the rules above), and
// its description into info when given. Throws Failure naming the file, also when the
// host cannot make an image that large.
std::unique_ptr<Image> ReadImage(const std::string& path, ImageDepth depth,
                                 FileInfo* info = nullptr, const ReadOptions& options = {});

// Whether a file written to path keeps the source's other parts beside the rendered one:
// it is of the source's format, and the format has parts.
bool KeepsParts(const std::string& path, const FileInfo& source);

// Whether the file's channels beyond the tool's can go into an output of the image's
// size: the image is the size of the file's frame.
bool ExtrasFit(const Image& image, const FileInfo& source, Window window);

// Whether the file has an alpha channel in the layer the tool sees (named A or Alpha, or
// marked as alpha).
bool HasAlpha(const FileInfo& info);

// How many pixels of the file's data window lie outside its display window (overscan),
// which reading the display window drops.
std::int64_t PixelsOutsideFrame(const OIIO::ImageSpec& spec);

// -d: the channel type of the output file, named as oiiotool names them; Auto keeps the
// main input's.
enum class DataType { Auto, UInt8, UInt16, Half, Float };

// The -d value for a name ("uint8", "uint16", "half", "float"), or nothing.
std::optional<DataType> DataTypeNamed(const std::string& name);

// What a file will be written as.
struct OutputType {
    OIIO::TypeDesc pixel; // the channel type stored in the file
    std::string format;   // the writer's format name
    int bits = 0;         // bits per sample where fewer than the type's (10-bit DPX), or 0
};

// The type an image of that depth gets in the file at path: the type -d names; else half
// for Depth::Half; else the main input's type (and bits, 10 or 12 in DPX and TIFF) where
// the format holds it; else, by the image: 16-bit integers for integer images (32-bit
// float in OpenEXR, which holds no 16-bit integers), 32-bit float for float images. Throws
// UsageError when the extension names no format, or the format cannot hold the type that
// -d or the depth asks for, or a float image with nothing else to go by.
OutputType OutputTypeFor(const std::string& path, bool imageIsFloat, Depth depth,
                         DataType type = DataType::Auto, const FileInfo* source = nullptr);

// Checks a --compression value against what the format of path takes: a name and, for
// some, a level after a colon (zip:6, dwaa:45, jpeg:90). "" takes the default. Throws
// UsageError naming the value and what the format takes.
void CheckCompression(const std::string& path, const std::string& compression);

struct WriteOptions {
    Depth depth = Depth::Auto;
    DataType type = DataType::Auto; // -d
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
    // Whether the file gets an alpha channel (where its format has one).
    bool alpha = true;
    // A command line to append to the source's ImageHistory (--history); "" for none.
    std::string history;
};

// Writes an image to a temporary file beside path and renames it into place. Throws
// UsageError for a format, depth or compression that does not fit (see OutputTypeFor,
// CheckCompression), Failure naming
// the path when the file cannot be written; the target is then left as it was.
void WriteImage(const Image& image, const std::string& path, const WriteOptions& options);

} // namespace app
