#include "app/image_io.h"

#include "app/errors.h"
#include "app/output_file.h"
#include "app/text.h"
#include "host/session.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/strutil.h>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <tuple>

namespace app {

using OIIO::ImageInput;
using OIIO::ImageOutput;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

namespace {

// Which file channel fills each image channel R, G, B, A (-1: none in the file).
struct Layout {
    std::array<int, 4> source{-1, -1, -1, -1};
    bool grey = false; // one colour channel: it fills R, G and B
};

int FindChannel(const ImageSpec& spec, std::initializer_list<const char*> names) {
    for (int c = 0; c < spec.nchannels; ++c)
        for (const char* n : names)
            if (OIIO::Strutil::iequals(spec.channel_name(c), n)) return c;
    return -1;
}

Layout LayoutOf(const ImageSpec& spec) {
    Layout l;
    int alpha = spec.alpha_channel;
    if (alpha < 0 || alpha >= spec.nchannels) alpha = FindChannel(spec, {"A", "Alpha"});
    l.source[3] = alpha;
    const int r = FindChannel(spec, {"R", "Red"}), g = FindChannel(spec, {"G", "Green"}),
              b = FindChannel(spec, {"B", "Blue"});
    if (r >= 0 && g >= 0 && b >= 0) {
        l.source[0] = r, l.source[1] = g, l.source[2] = b;
        return l;
    }
    // Otherwise the channels other than alpha, in file order.
    std::vector<int> colour;
    for (int c = 0; c < spec.nchannels && colour.size() < 3; ++c)
        if (c != alpha) colour.push_back(c);
    for (std::size_t i = 0; i < colour.size(); ++i) l.source[i] = colour[i];
    l.grey = colour.size() == 1;
    return l;
}

// What a path that is not a regular file is, for messages.
std::string KindOf(const std::filesystem::file_status& status) {
    switch (status.type()) {
    case std::filesystem::file_type::directory: return "a folder";
    case std::filesystem::file_type::fifo: return "a FIFO";
    case std::filesystem::file_type::character:
    case std::filesystem::file_type::block: return "a device";
    case std::filesystem::file_type::socket: return "a socket";
    default: return "not a regular file";
    }
}

std::unique_ptr<ImageInput> OpenInput(const std::string& path) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) throw Failure("cannot read " + path + ": no such file");
    // A FIFO or a device would block or never end inside a reader's format probe.
    if (!std::filesystem::is_regular_file(status))
        throw Failure("cannot read " + path + ": it is " + KindOf(status) + ", not a regular file");
    // Alpha is data: no premultiplication on read.
    ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = ImageInput::open(path, &config);
    if (!in) {
        std::string why = OIIO::geterror();
        throw Failure("cannot read " + path + ": " + (why.empty() ? "not a readable image" : why));
    }
    if (in->spec().deep) throw Failure("cannot read " + path + ": deep images are not supported");
    // Only a movie's first frame would be read, for every frame of a sequence.
    if (std::string_view(in->format_name()) == "FFmpeg movie" ||
        in->spec().get_int_attribute("oiio:Movie") != 0)
        throw Failure("cannot read " + path +
                      ": movie files are not read (give an image sequence such as clip.#.exr)");
    return in;
}

bool IsFloatType(TypeDesc t) { return t.is_floating_point(); }

// Where a file's data window lands in the host image: the column of its first pixel, and
// how far its first line lies below the image's top row. Files count lines downward from
// the top and the host counts rows upward from the bottom, so file line r of the frame is
// host row Height() - 1 - r.
struct Placement {
    int left = 0, top = 0;
};

// Reads the file's channels into an image of channel type T, filling what the file lacks.
// The data window lies inside the image at the placement; the rest is left as it is.
template <class T>
void ReadInto(ImageInput& in, const std::string& path, Image& img, Placement at) {
    const ImageSpec& spec = in.spec();
    const Layout l = LayoutOf(spec);
    const TypeDesc type = std::is_same_v<T, float> ? TypeDesc::FLOAT : TypeDesc::UINT16;
    // The file's first line into its host row, the next lines into the rows below it: a
    // negative row step turns the picture the host's way up within the read itself.
    const int topRow = img.Height() - 1 - at.top;
    T* const first = img.Row<T>(topRow) + 4 * std::ptrdiff_t(at.left);
    // Read each run of consecutive file channels in one call, straight into the rows.
    for (int d = 0; d < 4;) {
        if (l.source[d] < 0) {
            ++d;
            continue;
        }
        int n = 1;
        while (d + n < 4 && l.source[d + n] == l.source[d] + n) ++n;
        if (!in.read_image(0, 0, l.source[d], l.source[d] + n, type, first + d, img.Stride(),
                           -img.RowBytes())) {
            // Some readers give no reason for a file that ends before its pixels do.
            const std::string why = in.geterror();
            throw Failure("cannot read " + path + ": " +
                          (why.empty() ? "the pixels are damaged or the file ends early" : why));
        }
        d += n;
    }
    // Fill the rest: grey into G and B, full alpha, zero colour.
    const bool grey = l.grey, noAlpha = l.source[3] < 0;
    const bool noG = l.source[1] < 0 && !grey, noB = l.source[2] < 0 && !grey;
    const bool noR = l.source[0] < 0;
    if (!grey && !noAlpha && !noG && !noB && !noR) return;
    const T full = std::is_same_v<T, float> ? T(1) : T(65535);
    for (int y = topRow - spec.height + 1; y <= topRow; ++y) {
        T* p = img.Row<T>(y) + 4 * std::ptrdiff_t(at.left);
        for (int x = 0; x < spec.width; ++x, p += 4) {
            if (noR) p[0] = 0;
            if (grey) p[1] = p[2] = p[0];
            if (noG) p[1] = 0;
            if (noB) p[2] = 0;
            if (noAlpha) p[3] = full;
        }
    }
}

// A float image to integers by the host's rule (RoundClamp16): round to nearest, clamp
// to 0..65535, NaN to 0.
void FloatToInt(const Image& src, Image& dst) {
    for (int y = 0; y < src.Height(); ++y) {
        const float* s = src.Row<float>(y);
        std::uint16_t* d = dst.Row<std::uint16_t>(y);
        for (int i = 0; i < src.Width() * 4; ++i) d[i] = RoundClamp16(s[i] * 65535.0f);
    }
}

FileInfo InfoOf(ImageInput& in, const std::string& path) {
    return FileInfo{in.spec(), in.format_name(), IsFloatType(in.spec().format), path};
}

std::unique_ptr<Image> MakeImage(const std::string& path, int w, int h, ImageDepth depth) {
    try {
        return qrvx::MakeImage(w, h, depth);
    } catch (const HostError& e) {
        throw Failure(path + ": " + e.what());
    }
}

} // namespace

FileInfo ReadInfo(const std::string& path) { return InfoOf(*OpenInput(path), path); }

ImageDepth ImageDepthFor(Depth depth, bool fileIsFloat) {
    switch (depth) {
    case Depth::Int16: return ImageDepth::Int16;
    case Depth::Float:
    case Depth::Half: return ImageDepth::Float32;
    case Depth::Auto: break;
    }
    return fileIsFloat ? ImageDepth::Float32 : ImageDepth::Int16;
}

std::int64_t PixelsOutsideFrame(const ImageSpec& spec) {
    const auto overlap = [](std::int64_t a, std::int64_t n, std::int64_t b, std::int64_t m) {
        return std::max<std::int64_t>(0, std::min(a + n, b + m) - std::max(a, b));
    };
    const std::int64_t inside = overlap(spec.x, spec.width, spec.full_x, spec.full_width) *
                                overlap(spec.y, spec.height, spec.full_y, spec.full_height);
    return std::int64_t(spec.width) * spec.height - inside;
}

namespace {

// The pixels of the file's data window into img at the placement, which lies inside it.
void ReadPixels(ImageInput& in, const std::string& path, Image& img, Placement at) {
    const bool fileIsFloat = IsFloatType(in.spec().format);
    if (img.IsFloat()) {
        // OpenEXR plates the command reads itself; the rest through OpenImageIO.
        if (std::string(in.format_name()) != "openexr" ||
            !exr::ReadPixels(path, img, at.left, at.top))
            ReadInto<float>(in, path, img, at);
    } else if (!fileIsFloat) {
        ReadInto<std::uint16_t>(in, path, img, at);
    } else {
        // Float files forced to integers are read as floats and converted here, not by the
        // reader: OpenImageIO's conversion hands a NaN to an integer cast (which C++ leaves
        // undefined) and rounds by its own rule, while this is the host's rule, so that the
        // file holds the values the host gives the same picture converted between depths.
        auto floats = MakeImage(path, img.Width(), img.Height(), ImageDepth::Float32);
        if (at.left != 0 || at.top != 0 || in.spec().width != img.Width() ||
            in.spec().height != img.Height())
            floats->Fill(FltPixel{});
        ReadInto<float>(in, path, *floats, at);
        FloatToInt(*floats, img);
    }
}

// Copies the pixels of a data window read on its own (whole), its first pixel at
// (left, top) of the frame counted as files count, into the frame where they fall inside
// it: the data window reaches outside the frame (overscan).
void CopyInside(const Image& whole, std::int64_t left, std::int64_t top, Image& frame) {
    const std::int64_t x0 = std::max<std::int64_t>(0, left),
                       x1 = std::min<std::int64_t>(frame.Width(), left + whole.Width());
    const std::int64_t r0 = std::max<std::int64_t>(0, top),
                       r1 = std::min<std::int64_t>(frame.Height(), top + whole.Height());
    if (x1 <= x0) return;
    const std::size_t px = std::size_t(frame.Stride());
    // Line r of the frame is line r - top of the data window; both count from the top.
    for (std::int64_t r = r0; r < r1; ++r)
        std::memcpy(frame.Row<char>(int(frame.Height() - 1 - r)) + std::size_t(x0) * px,
                    whole.Row<char>(int(whole.Height() - 1 - (r - top))) +
                        std::size_t(x0 - left) * px,
                    std::size_t(x1 - x0) * px);
}

} // namespace

std::unique_ptr<Image> ReadImage(const std::string& path, ImageDepth depth, FileInfo* info,
                                 Window window) {
    auto in = OpenInput(path);
    const ImageSpec& spec = in->spec();
    if (info) *info = InfoOf(*in, path);
    if (window == Window::Data) {
        auto img = MakeImage(path, spec.width, spec.height, depth);
        ReadPixels(*in, path, *img, {});
        return img;
    }
    // The display window is the frame: the data window's pixels in place, transparent
    // black around them.
    auto img = MakeImage(path, spec.full_width, spec.full_height, depth);
    const std::int64_t left = std::int64_t(spec.x) - spec.full_x,
                       top = std::int64_t(spec.y) - spec.full_y;
    const bool inside = left >= 0 && top >= 0 && left + spec.width <= img->Width() &&
                        top + spec.height <= img->Height();
    if (!inside || spec.width != img->Width() || spec.height != img->Height())
        img->Fill(IntPixel{});
    if (inside) {
        ReadPixels(*in, path, *img, {int(left), int(top)});
    } else {
        // Overscan: the data window read whole, and the part inside the frame kept.
        in.reset();
        CopyInside(*ReadImage(path, depth, nullptr, Window::Data), left, top, *img);
    }
    return img;
}

namespace {

bool HoldsFloat(const std::string& format, const std::string& path) {
    if (format == "openexr" || format == "tiff" || format == "fits" || format == "hdr") return true;
    return format == "pnm" && OIIO::Strutil::iends_with(path, ".pfm");
}

// Keys that describe the source file's own layout or reading; a writer must not take them.
bool DescribesSourceFile(const std::string& key) {
    static const char* const keys[] = {"planarconfig",
                                       "openexr:chunkcount",
                                       "tiff:compression",
                                       "tiff:photometricinterpretation",
                                       "tiff:planarconfiguration",
                                       "tiff:rowsperstrip",
                                       "dpx:imagedescriptor",
                                       "dpx:packing",
                                       "dpx:endoflinepadding",
                                       "dpx:endofimagepadding",
                                       "software"};
    for (const char* k : keys)
        if (key == k) return true;
    // "qrvx:..." describes the render that made the source, not the one writing now.
    return key.rfind("thumbnail_", 0) == 0 || key.rfind("qrvx:", 0) == 0 ||
           (key.rfind("oiio:", 0) == 0 && key != "oiio:colorspace");
}

// Whether a metadata key of the source goes into a file of the target format: keys named
// after a format ("openexr:...", "png:...") only into that format.
bool Carries(const std::string& name, const std::string& sourceFormat,
             const std::string& targetFormat) {
    const std::string key = OIIO::Strutil::lower(name);
    if (DescribesSourceFile(key)) return false;
    // Compression names differ between formats: kept only within one format.
    if (key == "compression") return sourceFormat == targetFormat;
    const std::size_t colon = key.find(':');
    if (colon == std::string::npos) return true;
    static const std::vector<std::string> formats =
        OIIO::Strutil::splits(OIIO::get_string_attribute("format_list"), ",");
    const std::string prefix = key.substr(0, colon);
    if (std::find(formats.begin(), formats.end(), prefix) == formats.end()) return true;
    return prefix == targetFormat;
}

// The output's description: size, channels, windows and metadata.
// The image is the source's display window (its frame) unless window says it is the data
// window: then the source's windows are carried as they are.
ImageSpec OutputSpec(const Image& image, int channels, const OutputType& type,
                     const FileInfo* source, Window window, const std::string& compression,
                     const std::vector<std::pair<std::string, std::string>>& metadata) {
    ImageSpec spec(image.Width(), image.Height(), channels, type.pixel);
    spec.alpha_channel = channels == 4 ? 3 : -1;
    if (source) {
        const ImageSpec& s = source->spec;
        const bool sameWindows = s.full_x == s.x && s.full_y == s.y && s.full_width == s.width &&
                                 s.full_height == s.height;
        if (window == Window::Display || sameWindows) {
            // A tool may draw anywhere in the frame: the data window is the whole of it.
            spec.x = spec.full_x = s.full_x;
            spec.y = spec.full_y = s.full_y;
        } else {
            spec.x = s.x;
            spec.y = s.y;
            spec.full_x = s.full_x, spec.full_y = s.full_y;
            spec.full_width = s.full_width, spec.full_height = s.full_height;
        }
        for (const auto& attr : s.extra_attribs)
            if (Carries(attr.name().string(), source->format, type.format))
                spec.attribute(attr.name(), attr.type(), attr.data());
    }
    spec.attribute("oiio:UnassociatedAlpha", 1);
    spec.attribute("Software", "qrvx");
    if (!compression.empty()) spec.attribute("compression", compression);
    for (const auto& [name, value] : metadata) spec.attribute(name, value);
    return spec;
}

// How exr::Write lays the image out, when it can write it: a float image stored as float
// from an OpenEXR source, uncompressed or with ZIP; the windows and the compression are
// those of the output's description.
std::optional<exr::Layout>
ExrLayout(const Image& image, const ImageSpec& spec, const OutputType& type, const FileInfo* source,
          const std::vector<std::pair<std::string, std::string>>& metadata) {
    if (type.format != "openexr" || type.pixel != TypeDesc::FLOAT || !image.IsFloat() || !source ||
        source->format != "openexr")
        return {};
    const auto compression = exr::ParseCompression(spec.get_string_attribute("compression"));
    if (!compression) return {};
    exr::Layout l;
    l.x = spec.x, l.y = spec.y;
    l.displayX = spec.full_x, l.displayY = spec.full_y;
    l.displayWidth = spec.full_width, l.displayHeight = spec.full_height;
    std::tie(l.compression, l.zipLevel) = *compression;
    l.source = source->path;
    l.texts = metadata;
    return l;
}

std::unique_ptr<ImageOutput> CreateOutput(const std::string& path) {
    auto out = ImageOutput::create(path);
    if (!out) {
        OIIO::geterror(); // clear it
        throw UsageError("cannot write " + path + ": no image format for the extension " +
                         Quoted(std::filesystem::path(path).extension().string()));
    }
    return out;
}

OutputType TypeFor(const ImageOutput& out, const std::string& path, bool imageIsFloat,
                   Depth depth) {
    const std::string format = out.format_name();
    const bool holdsFloat = HoldsFloat(format, path);
    const bool wantFloat = depth == Depth::Half || (depth != Depth::Int16 && imageIsFloat);
    if (wantFloat && !holdsFloat)
        throw UsageError("cannot write " + path + ": " + format + " files hold no " +
                         (depth == Depth::Half ? "half" : "float") +
                         " pixels (give --depth int16 to write 16-bit integers)");
    if (depth == Depth::Half) return {TypeDesc::HALF, format};
    if (wantFloat || format == "openexr") return {TypeDesc::FLOAT, format};
    return {TypeDesc::UINT16, format};
}

// A compression a format's writer takes: a name, and the range of the level that may
// follow it after a colon (none when the name takes no level).
struct CompressionName {
    const char* name;
    int lowest = 0, highest = -1;
};

// What each format's writer takes. The writers quietly store anything else with their
// default, so a slip (zip:999, bogus) would pass unnoticed.
const std::vector<CompressionName>* CompressionsOf(const std::string& format) {
    static const std::map<std::string, std::vector<CompressionName>> compressions = {
        {"openexr",
         {{"none"},
          {"rle"},
          {"zip", 1, 9},
          {"zips", 1, 9},
          {"piz"},
          {"pxr24"},
          {"b44"},
          {"b44a"},
          {"dwaa", 1, 1000},
          {"dwab", 1, 1000}}},
        {"tiff", {{"none"}, {"lzw"}, {"zip", 1, 9}, {"packbits"}}},
        {"png", {{"zip", 0, 9}}},
        {"jpeg", {{"jpeg", 1, 100}}},
        {"targa", {{"none"}, {"rle"}}},
    };
    const auto found = compressions.find(format);
    return found == compressions.end() ? nullptr : &found->second;
}

} // namespace

OutputType OutputTypeFor(const std::string& path, bool imageIsFloat, Depth depth) {
    return TypeFor(*CreateOutput(path), path, imageIsFloat, depth);
}

void CheckCompression(const std::string& path, const std::string& compression) {
    if (compression.empty()) return;
    const std::string format = CreateOutput(path)->format_name();
    const std::vector<CompressionName>* names = CompressionsOf(format);
    const std::string asked = "--compression " + Quoted(Excerpt(compression));
    if (!names) throw UsageError(asked + ": " + format + " files take no compression setting");
    const std::size_t colon = compression.find(':');
    const std::string name = OIIO::Strutil::lower(compression.substr(0, colon));
    std::vector<std::string> accepted;
    for (const CompressionName& c : *names) {
        accepted.push_back(c.highest < c.lowest
                               ? c.name
                               : std::string(c.name) + "[:" + std::to_string(c.lowest) + "-" +
                                     std::to_string(c.highest) + "]");
        if (name != c.name) continue;
        if (colon == std::string::npos) return;
        const std::string level = compression.substr(colon + 1);
        int value = 0;
        const auto [end, ec] = std::from_chars(level.data(), level.data() + level.size(), value);
        if (c.highest >= c.lowest && ec == std::errc() && end == level.data() + level.size() &&
            value >= c.lowest && value <= c.highest)
            return;
        throw UsageError(asked + ": " + format + " " + c.name +
                         (c.highest < c.lowest
                              ? " takes no level"
                              : " levels are whole numbers from " + std::to_string(c.lowest) +
                                    " to " + std::to_string(c.highest)));
    }
    throw UsageError(asked + " is not a compression of " + format + " files (they take " +
                     Join(accepted) + ")");
}

void WriteImage(const Image& image, const std::string& path, const WriteOptions& options) {
    CheckCompression(path, options.compression);
    auto out = CreateOutput(path);
    OutputType type = TypeFor(*out, path, image.IsFloat(), options.depth);
    if (options.pixel != TypeDesc::UNKNOWN) type.pixel = options.pixel;
    const int channels = out->supports("alpha") ? 4 : 3;
    const ImageSpec spec = OutputSpec(image, channels, type, options.source, options.window,
                                      options.compression, options.metadata);
    if (const auto layout = ExrLayout(image, spec, type, options.source, options.metadata))
        if (exr::Write(image, path, *layout)) return;

    PendingFile file(path);
    const auto fail = [&](const std::string& why) {
        throw Failure("cannot write " + path + ": " + (why.empty() ? "unknown reason" : why));
    };
    // The writer writes through the temporary file's descriptor where its format allows;
    // the others open the file by its name (which Commit checks). TIFF is among them:
    // libtiff reads back what it wrote, which a write-only stream does not give it.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> stream(nullptr, &std::fclose);
    std::optional<OIIO::Filesystem::IOFile> proxy;
    if (out->supports("ioproxy") && type.format != "tiff") {
        const int fd = dup(file.Fd());
        stream.reset(fd >= 0 ? fdopen(fd, "wb") : nullptr);
        if (!stream) {
            if (fd >= 0) close(fd);
            fail(std::strerror(errno));
        }
        proxy.emplace(stream.get(), OIIO::Filesystem::IOProxy::Write);
        out->set_ioproxy(&*proxy);
    }
    if (!out->open(file.TempPath(), spec)) fail(out->geterror());
    // The file's first line is the host's top row: written from there with a negative row
    // step, so the picture keeps its way up without a pass of its own.
    const TypeDesc from = image.IsFloat() ? TypeDesc::FLOAT : TypeDesc::UINT16;
    const void* top = image.Row<char>(image.Height() - 1);
    if (!out->write_image(from, top, image.Stride(), -image.RowBytes())) fail(out->geterror());
    if (!out->close()) fail(out->geterror());
    out.reset();
    proxy.reset();
    if (stream && std::fclose(stream.release()) != 0) fail(std::strerror(errno));
    file.Commit();
}

} // namespace app
