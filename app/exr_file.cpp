#include "app/exr_file.h"

#include "app/errors.h"

#include <OpenImageIO/parallel.h>
#include <OpenImageIO/strutil.h>

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app::exr {

namespace {

static_assert(std::endian::native == std::endian::little, "OpenEXR files are little-endian");

constexpr std::uint32_t kMagic = 20000630;
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kLongNames = 0x400;
constexpr std::uint32_t kNotScanlines = 0x200 | 0x800 | 0x1000; // tiled, multi-part, deep
constexpr std::size_t kShortName = 31, kLongName = 255;
constexpr std::int32_t kHalfChannel = 1, kFloatChannel = 2;

// The attributes the writer makes itself: the layout, and what the source file's layout
// alone decides (tiles, parts, chunk counts).
bool IsLayout(const std::string& name) {
    static const char* const names[] = {"channels",  "compression", "dataWindow", "displayWindow",
                                        "lineOrder", "tiles",       "type",       "name",
                                        "version",   "chunkCount"};
    for (const char* n : names)
        if (name == n) return true;
    return OIIO::Strutil::iequals(name, "Software");
}

// Values appended to a byte string as stored: little-endian, no padding.
template <class T> void Put(std::string& out, T v) {
    out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

std::string Box(int x0, int y0, int width, int height) {
    std::string b;
    for (std::int32_t v : {x0, y0, x0 + width - 1, y0 + height - 1})
        Put(b, v);
    return b;
}

// The file's channels, in the order OpenEXR keeps them: by name, so A, B, G, R.
constexpr std::array<const char*, 4> kChannelNames{"A", "B", "G", "R"};
constexpr std::array<int, 4> kImageChannel{3, 2, 1, 0}; // where each sits in an RGBA pixel
constexpr std::array<std::string_view, 4> kRgbaNames{"R", "G", "B", "A"};

std::string ChannelList() {
    std::string list;
    for (const char* name : kChannelNames) {
        list.append(name).push_back('\0');
        Put<std::int32_t>(list, kFloatChannel);
        list.append(4, '\0');       // pLinear and three reserved bytes
        Put<std::int32_t>(list, 1); // x sampling
        Put<std::int32_t>(list, 1); // y sampling
    }
    list.push_back('\0');
    return list;
}

std::string HeaderBytes(const Image& image, const Layout& layout) {
    std::vector<Attribute> attrs;
    for (const Attribute& a : layout.carried)
        if (!IsLayout(a.name)) attrs.push_back(a);
    auto has = [&](const char* name) {
        return std::any_of(attrs.begin(), attrs.end(),
                           [&](const Attribute& a) { return a.name == name; });
    };
    // Attributes every file must have, for a source without them.
    std::string v;
    if (!has("pixelAspectRatio"))
        Put(v, 1.0f), attrs.push_back({"pixelAspectRatio", "float", v}), v.clear();
    if (!has("screenWindowCenter"))
        Put(v, 0.0f), Put(v, 0.0f), attrs.push_back({"screenWindowCenter", "v2f", v}), v.clear();
    if (!has("screenWindowWidth"))
        Put(v, 1.0f), attrs.push_back({"screenWindowWidth", "float", v}), v.clear();
    attrs.push_back({"channels", "chlist", ChannelList()});
    attrs.push_back({"compression", "compression", std::string(1, char(layout.compression))});
    attrs.push_back(
        {"dataWindow", "box2i", Box(layout.x, layout.y, image.Width(), image.Height())});
    attrs.push_back(
        {"displayWindow", "box2i",
         Box(layout.displayX, layout.displayY, layout.displayWidth, layout.displayHeight)});
    attrs.push_back({"lineOrder", "lineOrder", std::string(1, '\0')}); // increasing y
    attrs.push_back({"Software", "string", "qrvx"});
    std::sort(attrs.begin(), attrs.end(),
              [](const Attribute& a, const Attribute& b) { return a.name < b.name; });

    std::uint32_t version = kVersion;
    for (const Attribute& a : attrs)
        if (a.name.size() > kShortName || a.type.size() > kShortName) version |= kLongNames;
    std::string h;
    Put(h, kMagic);
    Put(h, version);
    for (const Attribute& a : attrs) {
        h.append(a.name).push_back('\0');
        h.append(a.type).push_back('\0');
        Put(h, std::int32_t(a.value.size()));
        h.append(a.value);
    }
    h.push_back('\0');
    return h;
}

// A zlib-format deflater per thread, kept for the thread's life.
libdeflate_compressor* Deflater(int level) {
    struct Owned {
        int level = 0;
        std::unique_ptr<libdeflate_compressor, decltype(&libdeflate_free_compressor)> c{
            nullptr, &libdeflate_free_compressor};
    };
    thread_local Owned owned;
    if (!owned.c || owned.level != level) {
        owned.c.reset(libdeflate_alloc_compressor(level));
        owned.level = level;
        if (!owned.c) throw Failure("cannot allocate a ZIP compressor");
    }
    return owned.c.get();
}

// The stored bytes of lines [y0, y0 + n) of the image: each line channel by channel in
// the file's order, then for ZIP the bytes split into the even and odd ones, each byte
// replaced by its difference from the one before, and deflated. A block that does not
// shrink is stored as it is, which readers recognise by its size.
std::vector<char> Block(const Image& image, int y0, int n, const Layout& layout) {
    const std::size_t width = std::size_t(image.Width());
    const std::size_t lineBytes = width * 4 * sizeof(float);
    const std::size_t size = lineBytes * std::size_t(n);
    std::vector<char> raw(size);
    for (int line = 0; line < n; ++line) {
        const float* src = image.Row<float>(y0 + line);
        float* dst = reinterpret_cast<float*>(raw.data() + lineBytes * std::size_t(line));
        for (int c = 0; c < 4; ++c, dst += width)
            for (std::size_t x = 0; x < width; ++x)
                dst[x] = src[4 * x + std::size_t(kImageChannel[c])];
    }
    if (layout.compression == Compression::None) return raw;

    std::vector<unsigned char> split(size);
    const auto* in = reinterpret_cast<const unsigned char*>(raw.data());
    const std::size_t half = (size + 1) / 2;
    for (std::size_t i = 0; i < size / 2; ++i) {
        split[i] = in[2 * i];
        split[half + i] = in[2 * i + 1];
    }
    if (size % 2) split[half - 1] = in[size - 1];
    for (std::size_t i = size - 1; i > 0; --i)
        split[i] = (unsigned char)(split[i] - split[i - 1] + 128);

    libdeflate_compressor* deflater = Deflater(layout.zipLevel);
    std::vector<char> packed(libdeflate_zlib_compress_bound(deflater, size));
    const std::size_t packedSize =
        libdeflate_zlib_compress(deflater, split.data(), size, packed.data(), packed.size());
    if (packedSize == 0 || packedSize >= size) return raw;
    packed.resize(packedSize);
    return packed;
}

// A file written with stdio; every failure throws Failure naming the path.
class OutFile {
  public:
    explicit OutFile(const std::string& path)
        : m_path(path), m_file(std::fopen(path.c_str(), "wb")) {
        if (!m_file) Fail();
    }
    ~OutFile() {
        if (m_file) std::fclose(m_file);
    }
    void Write(const void* data, std::size_t size) {
        if (size && std::fwrite(data, 1, size, m_file) != size) Fail();
    }
    void Close() {
        std::FILE* f = std::exchange(m_file, nullptr);
        if (std::fclose(f) != 0) Fail();
    }

  private:
    [[noreturn]] void Fail() const {
        throw Failure("cannot write " + m_path + ": " + std::strerror(errno ? errno : EIO));
    }
    std::string m_path;
    std::FILE* m_file;
};

// A zlib-format inflater per thread, kept for the thread's life.
libdeflate_decompressor* Inflater() {
    thread_local std::unique_ptr<libdeflate_decompressor, decltype(&libdeflate_free_decompressor)>
        owned{libdeflate_alloc_decompressor(), &libdeflate_free_decompressor};
    if (!owned) throw Failure("cannot allocate a ZIP decompressor");
    return owned.get();
}

// A half's value as a float; every half is exactly a float.
float HalfToFloat(std::uint16_t h) {
    const std::uint32_t sign = std::uint32_t(h & 0x8000u) << 16, exponent = (h >> 10) & 0x1fu,
                        mantissa = h & 0x3ffu;
    if (exponent == 0x1f) return std::bit_cast<float>(sign | 0x7f800000u | mantissa << 13);
    if (exponent != 0) return std::bit_cast<float>(sign | (exponent + 112) << 23 | mantissa << 13);
    return std::bit_cast<float>(sign | std::bit_cast<std::uint32_t>(float(mantissa) * 0x1p-24f));
}

// Runs task(b) for every block b on every core, and rethrows the first block's error
// (by block order) once all are done.
template <class Task> void ForEachBlock(int blocks, Task task) {
    std::vector<std::exception_ptr> errors(std::size_t(blocks), nullptr);
    OIIO::parallel_for(
        0, blocks,
        [&](int b) {
            try {
                task(b);
            } catch (...) {
                errors[std::size_t(b)] = std::current_exception();
            }
        },
        OIIO::paropt(0, OIIO::paropt::SplitDir::Y, /*minitems=*/1));
    for (const std::exception_ptr& e : errors)
        if (e) std::rethrow_exception(e);
}

// A whole file mapped into memory, read only.
class MappedFile {
  public:
    explicit MappedFile(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st {};
        if (fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size > 0) {
            m_size = std::size_t(st.st_size);
            void* p = ::mmap(nullptr, m_size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
            m_data = p == MAP_FAILED ? nullptr : static_cast<const unsigned char*>(p);
        }
        if (fd >= 0) ::close(fd);
        if (!m_data)
            throw Failure("cannot read " + path + ": " + std::strerror(errno ? errno : EIO));
    }
    ~MappedFile() { ::munmap(const_cast<unsigned char*>(m_data), m_size); }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    const unsigned char* Data() const { return m_data; }
    std::size_t Size() const { return m_size; }

  private:
    const unsigned char* m_data = nullptr;
    std::size_t m_size = 0;
};

template <class T> T Get(const unsigned char* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// A channel of the file: its type's size in bytes and where it goes in an RGBA pixel.
struct FileChannel {
    int bytes = 4;
    int pixel = 0;
};

// The channels, when every one is R, G, B or A, half or float and not sub-sampled, and
// R, G and B are all there.
std::optional<std::vector<FileChannel>> ChannelsOf(const std::string& list) {
    std::vector<FileChannel> channels;
    unsigned seen = 0;
    std::size_t at = 0;
    while (at < list.size() && list[at] != '\0') {
        const std::size_t end = list.find('\0', at);
        if (end == std::string::npos || end + 17 > list.size()) return {};
        const std::string name = list.substr(at, end - at);
        const auto* p = reinterpret_cast<const unsigned char*>(list.data() + end + 1);
        const std::int32_t type = Get<std::int32_t>(p);
        const std::int32_t xs = Get<std::int32_t>(p + 8), ys = Get<std::int32_t>(p + 12);
        const auto where = std::find(std::begin(kRgbaNames), std::end(kRgbaNames), name);
        if (where == std::end(kRgbaNames) || (type != kHalfChannel && type != kFloatChannel) ||
            xs != 1 || ys != 1)
            return {};
        const int pixel = int(where - std::begin(kRgbaNames));
        if (seen & (1u << pixel)) return {};
        seen |= 1u << pixel;
        channels.push_back({type == kHalfChannel ? 2 : 4, pixel});
        at = end + 17;
    }
    if ((seen & 7u) != 7u) return {};
    return channels;
}

// Undoes what Block did to ZIP data: the running sum of the differences, then the even
// and odd bytes put back in place.
void Unpredict(unsigned char* t, std::size_t size, unsigned char* out) {
    for (std::size_t i = 1; i < size; ++i)
        t[i] = (unsigned char)(t[i - 1] + t[i] - 128);
    const std::size_t half = (size + 1) / 2;
    for (std::size_t i = 0; i < size / 2; ++i) {
        out[2 * i] = t[i];
        out[2 * i + 1] = t[half + i];
    }
    if (size % 2) out[size - 1] = t[half - 1];
}

} // namespace

std::optional<std::vector<Attribute>> ReadHeader(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::uint32_t magic = 0, version = 0;
    in.read(reinterpret_cast<char*>(&magic), 4).read(reinterpret_cast<char*>(&version), 4);
    if (!in || magic != kMagic || (version & 0xff) != kVersion || (version & kNotScanlines))
        return {};
    const std::size_t longest = version & kLongNames ? kLongName : kShortName;
    auto text = [&](std::string& s) {
        s.clear();
        for (char c; in.get(c) && c != '\0';)
            if (s.size() == longest)
                return false;
            else
                s.push_back(c);
        return bool(in);
    };
    std::vector<Attribute> attrs;
    for (;;) {
        Attribute a;
        if (!text(a.name)) return {};
        if (a.name.empty()) return attrs; // the header's end
        std::int32_t size = 0;
        if (!text(a.type) || !in.read(reinterpret_cast<char*>(&size), 4) || size < 0 ||
            size > (1 << 26))
            return {};
        a.value.resize(std::size_t(size));
        if (!in.read(a.value.data(), size)) return {};
        attrs.push_back(std::move(a));
    }
}

bool ReadPixels(const std::string& path, const std::vector<Attribute>& header, Image& image) {
    auto find = [&](const char* name, const char* type, std::size_t size) -> const std::string* {
        for (const Attribute& a : header)
            if (a.name == name)
                return a.type == type && a.value.size() == size ? &a.value : nullptr;
        return nullptr;
    };
    const std::string* list = nullptr;
    for (const Attribute& a : header)
        if (a.name == "channels" && a.type == "chlist") list = &a.value;
    const std::string* compression = find("compression", "compression", 1);
    const std::string* window = find("dataWindow", "box2i", 16);
    const std::string* order = find("lineOrder", "lineOrder", 1);
    if (!list || !compression || !window || !image.IsFloat()) return false;
    if (order && (*order)[0] != 0) return false; // blocks stored from the bottom up
    const auto channels = ChannelsOf(*list);
    const int method = (*compression)[0];
    if (!channels || (method != int(Compression::None) && method != int(Compression::Zips) &&
                      method != int(Compression::Zip)))
        return false;
    const auto* box = reinterpret_cast<const unsigned char*>(window->data());
    const std::int32_t x0 = Get<std::int32_t>(box), y0 = Get<std::int32_t>(box + 4);
    if (std::int64_t(Get<std::int32_t>(box + 8)) - x0 + 1 != image.Width() ||
        std::int64_t(Get<std::int32_t>(box + 12)) - y0 + 1 != image.Height())
        return false;

    const std::size_t width = std::size_t(image.Width());
    std::size_t lineBytes = 0;
    for (const FileChannel& c : *channels)
        lineBytes += width * std::size_t(c.bytes);
    const int linesPerBlock = method == int(Compression::Zip) ? 16 : 1;
    const int blocks = (image.Height() + linesPerBlock - 1) / linesPerBlock;
    std::size_t headerSize = 9;
    for (const Attribute& a : header)
        headerSize += a.name.size() + a.type.size() + 6 + a.value.size();

    const MappedFile file(path);
    const auto damaged = [&](const std::string& what) {
        return Failure("cannot read " + path + ": damaged OpenEXR file (" + what + ")");
    };
    if (headerSize + std::size_t(blocks) * 8 > file.Size()) throw damaged("truncated offset table");
    const bool noAlpha = channels->size() == 3;
    ForEachBlock(blocks, [&](int b) {
        const int first = b * linesPerBlock,
                  lines = std::min(linesPerBlock, image.Height() - first);
        const std::uint64_t offset =
            Get<std::uint64_t>(file.Data() + headerSize + 8 * std::size_t(b));
        if (offset > file.Size() || file.Size() - offset < 8)
            throw damaged("block " + std::to_string(b) + " outside the file");
        const unsigned char* chunk = file.Data() + offset;
        const std::int32_t y = Get<std::int32_t>(chunk), size = Get<std::int32_t>(chunk + 4);
        if (std::int64_t(y) != std::int64_t(y0) + first || size < 0 ||
            std::size_t(size) > file.Size() - offset - 8)
            throw damaged("block " + std::to_string(b));
        const std::size_t expected = lineBytes * std::size_t(lines);
        std::vector<unsigned char> packed, raw;
        const unsigned char* data = chunk + 8;
        if (std::size_t(size) != expected) {
            packed.resize(expected);
            raw.resize(expected);
            std::size_t got = 0;
            if (libdeflate_zlib_decompress(Inflater(), data, std::size_t(size), packed.data(),
                                           expected, &got) != LIBDEFLATE_SUCCESS ||
                got != expected)
                throw damaged("block " + std::to_string(b) + " does not inflate");
            Unpredict(packed.data(), expected, raw.data());
            data = raw.data();
        }
        for (int line = 0; line < lines; ++line) {
            float* dst = image.Row<float>(first + line);
            const unsigned char* src = data + lineBytes * std::size_t(line);
            for (const FileChannel& c : *channels) {
                float* out = dst + c.pixel;
                if (c.bytes == 4)
                    for (std::size_t x = 0; x < width; ++x)
                        out[4 * x] = Get<float>(src + 4 * x);
                else
                    for (std::size_t x = 0; x < width; ++x)
                        out[4 * x] = HalfToFloat(Get<std::uint16_t>(src + 2 * x));
                src += width * std::size_t(c.bytes);
            }
            if (noAlpha)
                for (std::size_t x = 0; x < width; ++x)
                    dst[4 * x + 3] = 1.0f;
        }
    });
    return true;
}

std::optional<std::pair<Compression, int>> ParseCompression(const std::string& name) {
    const auto parts = OIIO::Strutil::splits(OIIO::Strutil::lower(name), ":");
    if (parts.empty() || parts.size() > 2) return {};
    int level = 6;
    if (parts.size() == 2) {
        level = OIIO::Strutil::stoi(parts[1]);
        if (level < 1 || level > 9 || parts[0] == "none") return {};
    }
    if (parts[0] == "none") return std::pair{Compression::None, level};
    if (parts[0] == "zip") return std::pair{Compression::Zip, level};
    if (parts[0] == "zips") return std::pair{Compression::Zips, level};
    return {};
}

void Write(const Image& image, const std::string& path, const Layout& layout) {
    const int linesPerBlock = layout.compression == Compression::Zip ? 16 : 1;
    const int blocks = (image.Height() + linesPerBlock - 1) / linesPerBlock;
    std::vector<std::vector<char>> stored(std::size_t(blocks), std::vector<char>{});
    ForEachBlock(blocks, [&](int b) {
        const int y0 = b * linesPerBlock;
        stored[std::size_t(b)] =
            Block(image, y0, std::min(linesPerBlock, image.Height() - y0), layout);
    });

    // The header, the table of block offsets, then each block after its first line's y
    // and its size.
    const std::string header = HeaderBytes(image, layout);
    std::vector<std::uint64_t> offsets(static_cast<std::size_t>(blocks));
    std::uint64_t at = header.size() + offsets.size() * sizeof(std::uint64_t);
    for (std::size_t b = 0; b < offsets.size(); ++b) {
        offsets[b] = at;
        at += 2 * sizeof(std::int32_t) + stored[b].size();
    }
    OutFile file(path);
    file.Write(header.data(), header.size());
    file.Write(offsets.data(), offsets.size() * sizeof(std::uint64_t));
    for (int b = 0; b < blocks; ++b) {
        const std::vector<char>& data = stored[std::size_t(b)];
        const std::int32_t lead[2] = {layout.y + b * linesPerBlock, std::int32_t(data.size())};
        file.Write(lead, sizeof lead);
        file.Write(data.data(), data.size());
    }
    file.Close();
}

} // namespace app::exr
