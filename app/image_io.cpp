#include "app/image_io.h"

#include "app/errors.h"
#include "app/output_file.h"
#include "app/text.h"
#include "app/version.h"
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

// The first channel named prefix + one of the names, or -1.
int FindChannel(const ImageSpec& spec, const std::string& prefix,
                std::initializer_list<const char*> names) {
    for (int c = 0; c < spec.nchannels; ++c)
        for (const char* n : names)
            if (OIIO::Strutil::iequals(spec.channel_name(c), prefix + n)) return c;
    return -1;
}

// The channels the tool sees, found by name: R, G, B and A (of the layer, when one is
// given), or Y for grey. A file without such names gives its first channels other than
// alpha, in file order.
Layout LayoutOf(const ImageSpec& spec, const std::string& layer) {
    Layout l;
    const std::string prefix = layer.empty() ? "" : layer + ".";
    int alpha = layer.empty() ? spec.alpha_channel : -1;
    if (alpha < 0 || alpha >= spec.nchannels) alpha = FindChannel(spec, prefix, {"A", "Alpha"});
    l.source[3] = alpha;
    const int r = FindChannel(spec, prefix, {"R", "Red"}),
              g = FindChannel(spec, prefix, {"G", "Green"}),
              b = FindChannel(spec, prefix, {"B", "Blue"});
    if (r >= 0 && g >= 0 && b >= 0) {
        l.source[0] = r, l.source[1] = g, l.source[2] = b;
        return l;
    }
    if (const int y = FindChannel(spec, prefix, {"Y"}); y >= 0 || !layer.empty()) {
        l.source[0] = y;
        l.grey = y >= 0;
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

// The file's channels that the layout leaves out, in file order.
std::vector<int> OtherChannels(const ImageSpec& spec, const Layout& l) {
    std::vector<int> others;
    for (int c = 0; c < spec.nchannels; ++c)
        if (std::find(l.source.begin(), l.source.end(), c) == l.source.end()) others.push_back(c);
    return others;
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

std::unique_ptr<ImageInput> OpenFile(const std::string& path) {
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

// How many subimages (OpenEXR parts) the open file has; it is left on the first.
int PartCount(ImageInput& in) {
    int n = 1;
    while (in.seek_subimage(n, 0)) ++n;
    in.seek_subimage(0, 0);
    return n;
}

// Opens a file on the part asked for and checks that it has the layer asked for.
std::unique_ptr<ImageInput> OpenInput(const std::string& path, const ReadOptions& options = {}) {
    auto in = OpenFile(path);
    if (!options.part.empty()) {
        int part = -1;
        const std::string& p = options.part;
        if (std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
            p.size() < 6)
            part = std::stoi(p);
        else
            for (int i = 0; in->seek_subimage(i, 0); ++i)
                if (in->spec().get_string_attribute("name") == p) part = i;
        if (part < 0 || !in->seek_subimage(part, 0))
            throw Failure("cannot read " + path + ": it has no part " + Quoted(Excerpt(p)) +
                          " (--part takes a number from 0 or a part's name)");
        if (in->spec().deep)
            throw Failure("cannot read " + path + ": deep images are not supported");
    }
    const ImageSpec& spec = in->spec();
    if (!options.layer.empty() && LayoutOf(spec, options.layer).source[0] < 0) {
        std::vector<std::string> layers;
        for (int c = 0; c < spec.nchannels; ++c) {
            const std::string name = spec.channel_name(c);
            const std::size_t dot = name.rfind('.');
            if (dot != std::string::npos &&
                std::find(layers.begin(), layers.end(), name.substr(0, dot)) == layers.end())
                layers.push_back(name.substr(0, dot));
        }
        throw Failure(
            "cannot read " + path + ": it has no layer " + Quoted(Excerpt(options.layer)) +
            " with R, G and B or Y (" +
            (layers.empty() ? std::string("it has no layers") : "its layers: " + Join(layers)) +
            ")");
    }
    return in;
}

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
void ReadInto(ImageInput& in, const std::string& path, const std::string& layer, Image& img,
              Placement at) {
    const ImageSpec& spec = in.spec();
    const Layout l = LayoutOf(spec, layer);
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
        if (!in.read_image(in.current_subimage(), 0, l.source[d], l.source[d] + n, type, first + d,
                           img.Stride(), -img.RowBytes())) {
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

FileInfo InfoOf(ImageInput& in, const std::string& path, const ReadOptions& options) {
    const int part = in.current_subimage();
    FileInfo info{in.spec(), in.format_name(), IsFloatType(in.spec().format),
                  path,      options.layer,    part};
    info.parts = PartCount(in);
    in.seek_subimage(part, 0);
    return info;
}

// The channels of the open file's data window that the layout leaves out, or null.
std::shared_ptr<const ExtraChannels> ReadExtras(ImageInput& in, const std::string& path,
                                                const std::string& layer) {
    const ImageSpec& spec = in.spec();
    const std::vector<int> others = OtherChannels(spec, LayoutOf(spec, layer));
    if (others.empty()) return nullptr;
    auto extras = std::make_shared<ExtraChannels>();
    extras->width = spec.width, extras->height = spec.height;
    extras->left = std::int64_t(spec.x) - spec.full_x;
    extras->top = std::int64_t(spec.y) - spec.full_y;
    for (int c : others) {
        extras->names.push_back(spec.channel_name(c));
        extras->types.push_back(spec.channelformat(c));
    }
    // The span of channels holding them, read in one call and then picked out.
    const int first = others.front(), span = others.back() + 1 - first;
    const std::size_t pixels = std::size_t(spec.width) * std::size_t(spec.height);
    std::vector<float> all(pixels * std::size_t(span));
    if (!in.read_image(in.current_subimage(), 0, first, first + span, TypeDesc::FLOAT, all.data()))
        throw Failure("cannot read " + path + ": " + in.geterror());
    const std::size_t n = others.size();
    extras->values.resize(pixels * n);
    for (std::size_t i = 0; i < pixels; ++i)
        for (std::size_t k = 0; k < n; ++k)
            extras->values[i * n + k] = all[i * std::size_t(span) + std::size_t(others[k] - first)];
    return extras;
}

std::unique_ptr<Image> MakeImage(const std::string& path, int w, int h, ImageDepth depth) {
    try {
        return qrvx::MakeImage(w, h, depth);
    } catch (const HostError& e) {
        throw Failure(path + ": " + e.what());
    }
}

} // namespace

bool HasAlpha(const FileInfo& info) { return LayoutOf(info.spec, info.layer).source[3] >= 0; }

bool OutputAlpha(const Image& image, const FileInfo& source) {
    if (HasAlpha(source)) return true;
    for (int y = 0; y < image.Height(); ++y)
        for (int x = 0; x < image.Width(); ++x)
            if (image.IsFloat() ? image.Row<float>(y)[4 * x + 3] != 1.0f
                                : image.Row<std::uint16_t>(y)[4 * x + 3] != 65535)
                return true;
    return false;
}

FileInfo ReadInfo(const std::string& path, const ReadOptions& options) {
    return InfoOf(*OpenInput(path, options), path, options);
}

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
void ReadPixels(ImageInput& in, const std::string& path, const std::string& layer, Image& img,
                Placement at) {
    const bool fileIsFloat = IsFloatType(in.spec().format);
    if (img.IsFloat()) {
        // OpenEXR plates the command reads itself (their first part, plain R, G, B, A);
        // the rest through OpenImageIO.
        if (std::string(in.format_name()) != "openexr" || in.current_subimage() != 0 ||
            !layer.empty() || !exr::ReadPixels(path, img, at.left, at.top))
            ReadInto<float>(in, path, layer, img, at);
    } else if (!fileIsFloat) {
        ReadInto<std::uint16_t>(in, path, layer, img, at);
    } else {
        // Float files forced to integers are read as floats and converted here, not by the
        // reader: OpenImageIO's conversion hands a NaN to an integer cast (which C++ leaves
        // undefined) and rounds by its own rule, while this is the host's rule, so that the
        // file holds the values the host gives the same picture converted between depths.
        auto floats = MakeImage(path, img.Width(), img.Height(), ImageDepth::Float32);
        if (at.left != 0 || at.top != 0 || in.spec().width != img.Width() ||
            in.spec().height != img.Height())
            floats->Fill(FltPixel{});
        ReadInto<float>(in, path, layer, *floats, at);
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
                                 const ReadOptions& options) {
    auto in = OpenInput(path, options);
    const ImageSpec& spec = in->spec();
    if (info) {
        *info = InfoOf(*in, path, options);
        if (options.keepExtras) info->extras = ReadExtras(*in, path, options.layer);
    }
    if (options.window == Window::Data) {
        auto img = MakeImage(path, spec.width, spec.height, depth);
        ReadPixels(*in, path, options.layer, *img, {});
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
        ReadPixels(*in, path, options.layer, *img, {int(left), int(top)});
    } else {
        // Overscan: the data window read whole, and the part inside the frame kept.
        in.reset();
        ReadOptions whole = options;
        whole.window = Window::Data;
        CopyInside(*ReadImage(path, depth, nullptr, whole), left, top, *img);
    }
    return img;
}

bool ExtrasFit(const Image& image, const FileInfo& source, Window window) {
    const ImageSpec& s = source.spec;
    return window == Window::Display
               ? image.Width() == s.full_width && image.Height() == s.full_height
               : image.Width() == s.width && image.Height() == s.height;
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
// The text metadata a write adds: the options' own and, with --history, the source's
// ImageHistory with the command line appended (a line each, as oiiotool keeps it).
std::vector<std::pair<std::string, std::string>> Texts(const WriteOptions& options) {
    auto texts = options.metadata;
    if (!options.history.empty()) {
        std::string history =
            options.source ? options.source->spec.get_string_attribute("ImageHistory") : "";
        if (!history.empty()) history += "\n";
        texts.emplace_back("ImageHistory", history + options.history);
    }
    return texts;
}

// The image is the source's display window (its frame) unless window says it is the data
// window: then the source's windows are carried as they are.
bool Holds(const std::string& format, const std::string& path, TypeDesc type);

// The source's channels beyond the tool's that go into the output, or null: where the
// output has the source's frame size and a format that keeps named channels.
const ExtraChannels* ExtrasFor(const Image& image, const OutputType& type,
                               const WriteOptions& options) {
    const FileInfo* source = options.source;
    if (!source || !source->extras || !ExtrasFit(image, *source, options.window)) return nullptr;
    return type.format == "openexr" || type.format == "tiff" ? source->extras.get() : nullptr;
}

ImageSpec OutputSpec(const Image& image, int channels, const OutputType& type,
                     const WriteOptions& options) {
    const FileInfo* source = options.source;
    const Window window = options.window;
    const ExtraChannels* extras = ExtrasFor(image, type, options);
    const int total = channels + (extras ? int(extras->names.size()) : 0);
    ImageSpec spec(image.Width(), image.Height(), total, type.pixel);
    spec.alpha_channel = channels == 4 ? 3 : -1;
    // The tool's channels under the names of the layer it saw, the others as they were.
    const std::string prefix = source && !source->layer.empty() ? source->layer + "." : "";
    for (int c = 0; c < channels; ++c) spec.channelnames[std::size_t(c)] = prefix + "RGBA"[c];
    if (extras) {
        // Each channel keeps its type where the format stores a type per channel (OpenEXR);
        // TIFF stores one for all, the output's.
        if (type.format == "openexr") spec.channelformats.assign(std::size_t(channels), type.pixel);
        for (std::size_t k = 0; k < extras->names.size(); ++k) {
            spec.channelnames[std::size_t(channels) + k] = extras->names[k];
            if (type.format == "openexr")
                spec.channelformats.push_back(
                    Holds(type.format, "", extras->types[k]) ? extras->types[k] : type.pixel);
        }
    }
    if (type.bits) spec.attribute("oiio:BitsPerSample", type.bits);
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
    spec.attribute("Software", std::string("qrvx ") + kVersion);
    if (!options.compression.empty()) spec.attribute("compression", options.compression);
    for (const auto& [name, value] : Texts(options)) spec.attribute(name, value);
    return spec;
}

// The image's first `channels` channels and the extra channels, interleaved as floats with
// the file's first line first; extra channels are placed in the frame as the data window
// they came from (0 where they do not reach).
std::vector<float> WithExtras(const Image& image, int channels, const ExtraChannels& extras,
                              Window window) {
    const std::size_t w = std::size_t(image.Width()), h = std::size_t(image.Height());
    const std::size_t n = extras.names.size(), total = std::size_t(channels) + n;
    std::vector<float> all(w * h * total, 0.0f);
    for (std::size_t r = 0; r < h; ++r) {
        float* d = all.data() + r * w * total;
        const int row = int(h - 1 - r);
        for (std::size_t x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c)
                d[x * total + std::size_t(c)] =
                    image.IsFloat()
                        ? image.Row<float>(row)[4 * x + std::size_t(c)]
                        : float(image.Row<std::uint16_t>(row)[4 * x + std::size_t(c)]) / 65535.0f;
    }
    const std::int64_t left = window == Window::Display ? extras.left : 0,
                       top = window == Window::Display ? extras.top : 0;
    for (std::int64_t j = 0; j < extras.height; ++j) {
        const std::int64_t r = top + j;
        if (r < 0 || r >= std::int64_t(h)) continue;
        for (std::int64_t i = 0; i < extras.width; ++i) {
            const std::int64_t x = left + i;
            if (x < 0 || x >= std::int64_t(w)) continue;
            const float* s = extras.values.data() + std::size_t(j * extras.width + i) * n;
            std::copy(s, s + n,
                      all.data() + (std::size_t(r) * w + std::size_t(x)) * total +
                          std::size_t(channels));
        }
    }
    return all;
}

// How exr::Write lays the image out, when it can write it: a float image stored as float
// from an OpenEXR source, uncompressed or with ZIP; the windows and the compression are
// those of the output's description.
std::optional<exr::Layout>
ExrLayout(const Image& image, const ImageSpec& spec, const OutputType& type, const FileInfo* source,
          const std::vector<std::pair<std::string, std::string>>& metadata) {
    if (type.format != "openexr" || type.pixel != TypeDesc::FLOAT || !image.IsFloat() || !source ||
        source->format != "openexr" || source->parts > 1 || source->metadataChanged ||
        spec.nchannels > 4 || spec.channelnames[0] != "R")
        return {};
    const auto compression = exr::ParseCompression(spec.get_string_attribute("compression"));
    if (!compression) return {};
    exr::Layout l;
    l.alpha = spec.nchannels == 4;
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

// Whether files of the format hold channels of the type.
bool Holds(const std::string& format, const std::string& path, TypeDesc type) {
    const TypeDesc::BASETYPE t = TypeDesc::BASETYPE(type.basetype);
    const bool integer = t == TypeDesc::UINT8 || t == TypeDesc::UINT16;
    if (format == "openexr") return t == TypeDesc::HALF || t == TypeDesc::FLOAT;
    if (format == "tiff") return integer || t == TypeDesc::HALF || t == TypeDesc::FLOAT;
    if (format == "png" || format == "dpx" || format == "fits") return integer;
    if (format == "pnm")
        return OIIO::Strutil::iends_with(path, ".pfm") ? t == TypeDesc::FLOAT : integer;
    if (format == "hdr") return t == TypeDesc::FLOAT;
    if (format == "jpeg" || format == "targa" || format == "bmp" || format == "gif" ||
        format == "webp" || format == "ico")
        return t == TypeDesc::UINT8;
    // Others: what the rules before the -d option gave them.
    return t == TypeDesc::UINT16 || (t == TypeDesc::FLOAT && HoldsFloat(format, path));
}

// The channel type and bits per sample of a file's colour: its first channel's, since
// OpenEXR parts may give channels types of their own.
std::pair<TypeDesc, int> FileTypeOf(const FileInfo& source) {
    const ImageSpec& s = source.spec;
    const TypeDesc type = s.nchannels > 0 ? s.channelformat(0) : s.format;
    const int bits = s.get_int_attribute("oiio:BitsPerSample", 0);
    return {type, bits > 0 && bits < int(type.size() * 8) ? bits : 0};
}

std::string TypeName(TypeDesc t) { return t == TypeDesc::HALF ? "half" : t.c_str(); }

OutputType TypeFor(const ImageOutput& out, const std::string& path, bool imageIsFloat, Depth depth,
                   DataType asked, const FileInfo* source) {
    const std::string format = out.format_name();
    if (asked != DataType::Auto) {
        static const TypeDesc types[] = {TypeDesc::UNKNOWN, TypeDesc::UINT8, TypeDesc::UINT16,
                                         TypeDesc::HALF, TypeDesc::FLOAT};
        const TypeDesc t = types[int(asked)];
        if (!Holds(format, path, t))
            throw UsageError("cannot write " + path + ": " + format + " files hold no " +
                             TypeName(t) + " pixels (-d " + TypeName(t) + ")");
        return {t, format};
    }
    const bool holdsFloat = HoldsFloat(format, path);
    if (depth == Depth::Half && !holdsFloat)
        throw UsageError("cannot write " + path + ": " + format +
                         " files hold no half pixels (give --depth int16 to write 16-bit "
                         "integers)");
    if (depth == Depth::Half) return {TypeDesc::HALF, format};
    if (source) {
        const auto [type, bits] = FileTypeOf(*source);
        // Fewer bits than the type's only where the format stores them (DPX, TIFF).
        const bool keepsBits = format == "dpx" || format == "tiff";
        if (Holds(format, path, type)) return {type, format, keepsBits ? bits : 0};
    }
    const bool wantFloat = depth != Depth::Int16 && imageIsFloat;
    if (wantFloat && !holdsFloat)
        throw UsageError("cannot write " + path + ": " + format +
                         " files hold no float pixels (give --depth int16 to write 16-bit "
                         "integers)");
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

std::optional<DataType> DataTypeNamed(const std::string& name) {
    static const std::pair<const char*, DataType> names[] = {{"uint8", DataType::UInt8},
                                                             {"uint16", DataType::UInt16},
                                                             {"half", DataType::Half},
                                                             {"float", DataType::Float}};
    for (const auto& [n, t] : names)
        if (name == n) return t;
    return {};
}

std::string DataTypeName(const FileInfo& info) { return TypeName(FileTypeOf(info).first); }

OutputType OutputTypeFor(const std::string& path, bool imageIsFloat, Depth depth, DataType type,
                         const FileInfo* source) {
    return TypeFor(*CreateOutput(path), path, imageIsFloat, depth, type, source);
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

namespace {

// Whether the writer keeps the source's other parts: it is of the source's format and
// that format has parts.
bool KeepsParts(const ImageOutput& out, const FileInfo& source) {
    return source.format == out.format_name() && out.supports("multiimage");
}

} // namespace

bool KeepsParts(const std::string& path, const FileInfo& source) {
    return KeepsParts(*CreateOutput(path), source);
}

void WriteImage(const Image& image, const std::string& path, const WriteOptions& options) {
    CheckCompression(path, options.compression);
    auto out = CreateOutput(path);
    OutputType type =
        TypeFor(*out, path, image.IsFloat(), options.depth, options.type, options.source);
    if (options.pixel != TypeDesc::UNKNOWN) type.pixel = options.pixel;
    const int channels = options.alpha && out->supports("alpha") ? 4 : 3;
    const ImageSpec spec = OutputSpec(image, channels, type, options);
    if (const auto layout = ExrLayout(image, spec, type, options.source, Texts(options)))
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
    // The source's other parts, copied through beside the rendered one where the output
    // is of the source's multi-part format.
    std::unique_ptr<ImageInput> parts;
    std::vector<ImageSpec> specs{spec};
    const FileInfo* source = options.source;
    if (source && source->parts > 1 && KeepsParts(*out, *source)) {
        parts = OpenFile(source->path);
        specs.clear();
        for (int k = 0; k < source->parts && parts->seek_subimage(k, 0); ++k)
            specs.push_back(k == source->part ? spec : parts->spec());
    }
    const int rendered = parts ? source->part : 0;
    if (!out->open(file.TempPath(), int(specs.size()), specs.data())) fail(out->geterror());
    for (int k = 0; k < int(specs.size()); ++k) {
        if (k > 0 &&
            !out->open(file.TempPath(), specs[std::size_t(k)], ImageOutput::AppendSubimage))
            fail(out->geterror());
        if (k != rendered) {
            // Another part: its pixels as the file stores them, channel types and all.
            std::vector<unsigned char> native(specs[std::size_t(k)].image_bytes(true));
            if (!parts->read_image(k, 0, 0, specs[std::size_t(k)].nchannels, TypeDesc::UNKNOWN,
                                   native.data()))
                fail(parts->geterror());
            if (!out->write_image(TypeDesc::UNKNOWN, native.data())) fail(out->geterror());
        } else if (const ExtraChannels* extras = ExtrasFor(image, type, options)) {
            // With the source's other channels: all of them as floats in one buffer, which
            // the writer turns into each channel's type (floats hold every value of theirs).
            const std::vector<float> all = WithExtras(image, channels, *extras, options.window);
            if (!out->write_image(TypeDesc::FLOAT, all.data())) fail(out->geterror());
        } else {
            // The file's first line is the host's top row: written from there with a
            // negative row step, so the picture keeps its way up without a pass of its own.
            const TypeDesc from = image.IsFloat() ? TypeDesc::FLOAT : TypeDesc::UINT16;
            const void* top = image.Row<char>(image.Height() - 1);
            if (!out->write_image(from, top, image.Stride(), -image.RowBytes()))
                fail(out->geterror());
        }
    }
    if (!out->close()) fail(out->geterror());
    out.reset();
    proxy.reset();
    if (stream && std::fclose(stream.release()) != 0) fail(std::strerror(errno));
    file.Commit();
}

} // namespace app
