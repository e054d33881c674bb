#include "app/image_io.h"

#include "app/errors.h"
#include "app/output_file.h"

#include <OpenImageIO/filesystem.h>
#include <OpenImageIO/strutil.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
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

std::unique_ptr<ImageInput> OpenInput(const std::string& path) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) throw Failure("cannot read " + path + ": no such file");
    // Alpha is data: no premultiplication on read.
    ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = ImageInput::open(path, &config);
    if (!in) {
        std::string why = OIIO::geterror();
        throw Failure("cannot read " + path + ": " + (why.empty() ? "not a readable image" : why));
    }
    if (in->spec().deep) throw Failure("cannot read " + path + ": deep images are not supported");
    return in;
}

bool IsFloatType(TypeDesc t) { return t.is_floating_point(); }

// Reads the file's channels into an image of channel type T, filling what the file lacks.
template <class T>
void ReadInto(ImageInput& in, const std::string& path, Image& img) {
    const Layout l = LayoutOf(in.spec());
    const TypeDesc type = std::is_same_v<T, float> ? TypeDesc::FLOAT : TypeDesc::UINT16;
    // Read each run of consecutive file channels in one call, straight into the rows.
    for (int d = 0; d < 4;) {
        if (l.source[d] < 0) {
            ++d;
            continue;
        }
        int n = 1;
        while (d + n < 4 && l.source[d + n] == l.source[d] + n) ++n;
        if (!in.read_image(0, 0, l.source[d], l.source[d] + n, type, img.Row<T>(0) + d,
                           img.Stride(), img.RowBytes())) {
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
    for (int y = 0; y < img.Height(); ++y) {
        T* p = img.Row<T>(y);
        for (int x = 0; x < img.Width(); ++x, p += 4) {
            if (noR) p[0] = 0;
            if (grey) p[1] = p[2] = p[0];
            if (noG) p[1] = 0;
            if (noB) p[2] = 0;
            if (noAlpha) p[3] = full;
        }
    }
}

// A float image to integers: round to nearest, clamp to 0..65535, NaN to 0.
void FloatToInt(const Image& src, Image& dst) {
    for (int y = 0; y < src.Height(); ++y) {
        const float* s = src.Row<float>(y);
        std::uint16_t* d = dst.Row<std::uint16_t>(y);
        for (int i = 0; i < src.Width() * 4; ++i) {
            const float v = std::isnan(s[i]) ? 0.0f : std::clamp(s[i], 0.0f, 1.0f);
            d[i] = std::uint16_t(std::lround(v * 65535.0f));
        }
    }
}

FileInfo InfoOf(ImageInput& in, const std::string& path) {
    return FileInfo{in.spec(), in.format_name(), IsFloatType(in.spec().format), path};
}

std::unique_ptr<Image> MakeImage(const std::string& path, int w, int h, ImageDepth depth) {
    try {
        return std::make_unique<Image>(w, h, depth);
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

std::unique_ptr<Image> ReadImage(const std::string& path, ImageDepth depth, FileInfo* info) {
    auto in = OpenInput(path);
    const ImageSpec& spec = in->spec();
    const bool fileIsFloat = IsFloatType(spec.format);
    if (info) *info = InfoOf(*in, path);
    auto img = MakeImage(path, spec.width, spec.height, depth);
    if (depth == ImageDepth::Float32) {
        // OpenEXR plates the command reads itself; the rest through OpenImageIO.
        if (std::string(in->format_name()) != "openexr" || !exr::ReadPixels(path, *img))
            ReadInto<float>(*in, path, *img);
    } else if (!fileIsFloat) {
        ReadInto<std::uint16_t>(*in, path, *img);
    } else {
        // Float files forced to integers: rounded and clamped here, not by the reader.
        auto floats = MakeImage(path, spec.width, spec.height, ImageDepth::Float32);
        ReadInto<float>(*in, path, *floats);
        FloatToInt(*floats, *img);
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
    return key.rfind("thumbnail_", 0) == 0 ||
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
ImageSpec OutputSpec(const Image& image, int channels, const OutputType& type,
                     const FileInfo* source, const std::string& compression) {
    ImageSpec spec(image.Width(), image.Height(), channels, type.pixel);
    spec.alpha_channel = channels == 4 ? 3 : -1;
    if (source) {
        const ImageSpec& s = source->spec;
        spec.x = s.x;
        spec.y = s.y;
        const bool sameWindows = s.full_x == s.x && s.full_y == s.y && s.full_width == s.width &&
                                 s.full_height == s.height;
        if (!sameWindows) {
            spec.full_x = s.full_x, spec.full_y = s.full_y;
            spec.full_width = s.full_width, spec.full_height = s.full_height;
        } else {
            spec.full_x = spec.x, spec.full_y = spec.y;
        }
        for (const auto& attr : s.extra_attribs)
            if (Carries(attr.name().string(), source->format, type.format))
                spec.attribute(attr.name(), attr.type(), attr.data());
    }
    spec.attribute("oiio:UnassociatedAlpha", 1);
    spec.attribute("Software", "qrvx");
    if (!compression.empty()) spec.attribute("compression", compression);
    return spec;
}

// How exr::Write lays the image out, when it can write it: a float image stored as float
// from an OpenEXR source, uncompressed or with ZIP; the windows and the compression are
// those of the output's description.
std::optional<exr::Layout> ExrLayout(const Image& image, const ImageSpec& spec,
                                     const OutputType& type, const FileInfo* source) {
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

} // namespace

OutputType OutputTypeFor(const std::string& path, bool imageIsFloat, Depth depth) {
    return TypeFor(*CreateOutput(path), path, imageIsFloat, depth);
}

void WriteImage(const Image& image, const std::string& path, const WriteOptions& options) {
    auto out = CreateOutput(path);
    OutputType type = TypeFor(*out, path, image.IsFloat(), options.depth);
    if (options.pixel != TypeDesc::UNKNOWN) type.pixel = options.pixel;
    const int channels = out->supports("alpha") ? 4 : 3;
    const ImageSpec spec = OutputSpec(image, channels, type, options.source, options.compression);
    if (const auto layout = ExrLayout(image, spec, type, options.source)) {
        PendingFile file(path);
        if (exr::Write(image, file.TempPath(), *layout)) {
            file.Commit();
            return;
        }
    }

    PendingFile file(path);
    const auto fail = [&](const std::string& why) {
        throw Failure("cannot write " + path + ": " + (why.empty() ? "unknown reason" : why));
    };
    if (!out->open(file.TempPath(), spec)) fail(out->geterror());
    const TypeDesc from = image.IsFloat() ? TypeDesc::FLOAT : TypeDesc::UINT16;
    const void* pixels = image.IsFloat() ? static_cast<const void*>(image.Row<float>(0))
                                         : static_cast<const void*>(image.Row<std::uint16_t>(0));
    if (!out->write_image(from, pixels, image.Stride(), image.RowBytes())) fail(out->geterror());
    if (!out->close()) fail(out->geterror());
    out.reset();
    file.Commit();
}

} // namespace app
