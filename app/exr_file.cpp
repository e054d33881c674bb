#include "app/exr_file.h"

#include "app/errors.h"
#include "app/output_file.h"
#include "app/version.h"

#include <OpenEXR/openexr.h>
#include <OpenImageIO/parallel.h>
#include <OpenImageIO/strutil.h>

#include <libdeflate.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <span>
#include <vector>

namespace app::exr {

namespace {

static_assert(std::endian::native == std::endian::little, "OpenEXR blocks are little-endian");

// ---- The library's contexts ------------------------------------------------------------

// The last message the library reported on this thread: its calls report failures to a
// handler rather than returning text, and blocks are read on several threads at once.
thread_local std::string t_message;

void KeepMessage(exr_const_context_t, exr_result_t code, const char* message) {
    t_message = message && *message ? message : exr_get_default_error_message(code);
}

// An open file of the library's, closed (and for writing, finished) on destruction.
class Context {
public:
    Context() = default;
    ~Context() {
        if (m_ctxt) exr_finish(&m_ctxt);
    }
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;

    // Opens a file for reading; false when it is not an OpenEXR file the library reads.
    bool Read(const std::string& path) {
        const exr_context_initializer_t init = Initializer();
        return exr_start_read(&m_ctxt, path.c_str(), &init) == EXR_ERR_SUCCESS;
    }
    // Starts writing into an open file (path names it in messages).
    exr_result_t Write(int fd, const std::string& path) {
        exr_context_initializer_t init = Initializer();
        m_fd = fd;
        init.user_data = &m_fd;
        init.write_fn = &WriteAt;
        return exr_start_write(&m_ctxt, path.c_str(), EXR_WRITE_FILE_DIRECTLY, &init);
    }
    // Finishes a written file: the block table goes in and the file is closed.
    exr_result_t Finish() { return exr_finish(&m_ctxt); }

    exr_context_t Get() const { return m_ctxt; }

    // Whether the file is one part of scanlines, and so has one header to carry.
    bool IsOnePartOfScanlines() const {
        int parts = 0;
        exr_storage_t storage = EXR_STORAGE_LAST_TYPE;
        return exr_get_count(m_ctxt, &parts) == EXR_ERR_SUCCESS && parts == 1 &&
               exr_get_storage(m_ctxt, 0, &storage) == EXR_ERR_SUCCESS &&
               storage == EXR_STORAGE_SCANLINE;
    }

private:
    static exr_context_initializer_t Initializer() {
        exr_context_initializer_t init = EXR_DEFAULT_CONTEXT_INITIALIZER;
        init.error_handler_fn = &KeepMessage;
        return init;
    }
    static int64_t WriteAt(exr_const_context_t ctxt, void* fd, const void* buffer, uint64_t size,
                           uint64_t offset, exr_stream_error_func_ptr_t error) {
        const auto* p = static_cast<const char*>(buffer);
        for (uint64_t done = 0; done < size;) {
            const ssize_t n =
                pwrite(*static_cast<int*>(fd), p + done, size - done, off_t(offset + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                error(ctxt, EXR_ERR_WRITE_IO, "%s", std::strerror(n < 0 ? errno : ENOSPC));
                return -1;
            }
            done += uint64_t(n);
        }
        return int64_t(size);
    }
    exr_context_t m_ctxt = nullptr;
    int m_fd = -1;
};

// Runs task(b) for every block b on every core, and rethrows the first block's error
// (by block order) once all are done.
template <class Task>
void ForEachBlock(int blocks, Task task) {
    std::vector<std::exception_ptr> errors(static_cast<std::size_t>(blocks), nullptr);
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

// ---- ZIP blocks ---------------------------------------------------------------------------
//
// A ZIP block is the block's bytes split into the even and the odd ones, each byte then
// replaced by its difference from the one before (plus 128), deflated in zlib's format.
// A block that deflating does not shrink is stored as it is, which readers recognise by
// its size.

struct FreeCoder {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

// A deflater per thread and level, kept for the thread's life.
libdeflate_compressor* Deflater(int level) {
    thread_local std::array<std::unique_ptr<libdeflate_compressor, FreeCoder>, 13> owned;
    auto& c = owned[std::size_t(std::clamp(level, 1, 12))];
    if (!c) c.reset(libdeflate_alloc_compressor(level));
    if (!c) throw Failure("cannot allocate a ZIP compressor");
    return c.get();
}

libdeflate_decompressor* Inflater() {
    thread_local std::unique_ptr<libdeflate_decompressor, FreeCoder> owned{
        libdeflate_alloc_decompressor()};
    if (!owned) throw Failure("cannot allocate a ZIP decompressor");
    return owned.get();
}

// Buffers a thread codes blocks in, grown as needed and kept, so that coding a block
// neither allocates nor clears memory.
struct Scratch {
    std::vector<unsigned char> raw, split, packed;
};

Scratch& ThreadScratch() {
    thread_local Scratch scratch;
    return scratch;
}

unsigned char* AtLeast(std::vector<unsigned char>& buffer, std::size_t size) {
    if (buffer.size() < size) buffer.resize(size);
    return buffer.data();
}

// A block's bytes as ZIP and RLE code them: the even bytes, then the odd ones, each byte
// replaced by its difference from the one before plus 128.
unsigned char* Predicted(const unsigned char* raw, std::size_t size) {
    unsigned char* split = AtLeast(ThreadScratch().split, size);
    const std::size_t half = (size + 1) / 2;
    for (std::size_t i = 0; i < size / 2; ++i) {
        split[i] = raw[2 * i];
        split[half + i] = raw[2 * i + 1];
    }
    if (size % 2) split[half - 1] = raw[size - 1];
    for (std::size_t i = size - 1; i > 0; --i)
        split[i] = (unsigned char)(split[i] - split[i - 1] + 128);
    return split;
}

// The inverse of Predicted, in place in split, into raw.
void Unpredict(unsigned char* split, std::size_t size, unsigned char* raw) {
    for (std::size_t i = 1; i < size; ++i)
        split[i] = (unsigned char)(split[i - 1] + split[i] - 128);
    const std::size_t half = (size + 1) / 2;
    for (std::size_t i = 0; i < size / 2; ++i) {
        raw[2 * i] = split[i];
        raw[2 * i + 1] = split[half + i];
    }
    if (size % 2) raw[size - 1] = split[half - 1];
}

// The ZIP form of size bytes of raw into stored; false when it would not be smaller.
bool Zip(const unsigned char* raw, std::size_t size, int level,
         std::vector<unsigned char>& stored) {
    const unsigned char* split = Predicted(raw, size);
    libdeflate_compressor* deflater = Deflater(level);
    const std::size_t bound = libdeflate_zlib_compress_bound(deflater, size);
    unsigned char* packed = AtLeast(ThreadScratch().packed, bound);
    const std::size_t n = libdeflate_zlib_compress(deflater, split, size, packed, bound);
    if (n == 0 || n >= size) return false;
    stored.assign(packed, packed + n);
    return true;
}

// The raw bytes of a ZIP block into raw, of the block's size; false when the data does
// not inflate to exactly that size.
bool Unzip(const unsigned char* packed, std::size_t size, unsigned char* raw, std::size_t rawSize) {
    unsigned char* split = AtLeast(ThreadScratch().split, rawSize);
    std::size_t got = 0;
    if (libdeflate_zlib_decompress(Inflater(), packed, size, split, rawSize, &got) !=
            LIBDEFLATE_SUCCESS ||
        got != rawSize)
        return false;
    Unpredict(split, got, raw);
    return true;
}

// ---- RLE blocks ---------------------------------------------------------------------------
//
// An RLE block is the predicted bytes as runs: 3 to 128 equal bytes as a count byte n - 1
// and the byte, and the bytes between runs in pieces of up to 127 as a count byte -n
// (as a signed byte) and the bytes themselves.

constexpr std::size_t kLongestRun = 128, kLongestLiteral = 127;

// The RLE form of size bytes of raw into stored; false when it would not be smaller.
bool Rle(const unsigned char* raw, std::size_t size, std::vector<unsigned char>& stored) {
    const unsigned char* in = Predicted(raw, size);
    // The worst case: every byte in a literal piece, a count byte for each 127.
    unsigned char* out = AtLeast(ThreadScratch().packed, size + size / kLongestLiteral + 1);
    const auto runAt = [&](std::size_t i) {
        std::size_t n = 1;
        while (i + n < size && n < kLongestRun && in[i + n] == in[i]) ++n;
        return n;
    };
    std::size_t o = 0;
    for (std::size_t i = 0; i < size;) {
        if (const std::size_t run = runAt(i); run >= 3) {
            out[o++] = (unsigned char)(run - 1);
            out[o++] = in[i];
            i += run;
            continue;
        }
        // Literal bytes up to the next run of three or the piece's limit.
        std::size_t end = i + 1;
        while (end < size && end - i < kLongestLiteral &&
               !(end + 2 < size && in[end] == in[end + 1] && in[end] == in[end + 2]))
            ++end;
        out[o++] = (unsigned char)(-int(end - i));
        std::memcpy(out + o, in + i, end - i);
        o += end - i;
        i = end;
        if (o >= size) return false;
    }
    if (o >= size) return false;
    stored.assign(out, out + o);
    return true;
}

// The raw bytes of an RLE block into raw, of the block's size; false when the runs do not
// make exactly that size.
bool Unrle(const unsigned char* packed, std::size_t size, unsigned char* raw, std::size_t rawSize) {
    unsigned char* split = AtLeast(ThreadScratch().split, rawSize);
    std::size_t o = 0;
    for (std::size_t i = 0; i < size;) {
        const int count = int(static_cast<signed char>(packed[i++]));
        if (count < 0) {
            const std::size_t n = std::size_t(-count);
            if (n > size - i || n > rawSize - o) return false;
            std::memcpy(split + o, packed + i, n);
            i += n, o += n;
        } else {
            const std::size_t n = std::size_t(count) + 1;
            if (i == size || n > rawSize - o) return false;
            std::memset(split + o, packed[i++], n);
            o += n;
        }
    }
    if (o != rawSize) return false;
    Unpredict(split, rawSize, raw);
    return true;
}

// ---- Pixels and blocks ----------------------------------------------------------------------
//
// A block holds its lines one after the other, each line channel by channel in the
// channel list's order (by name), each channel the line's values in little-endian order.

// A half's value as a float; every half is exactly a float.
float HalfToFloat(std::uint16_t h) {
    const std::uint32_t sign = std::uint32_t(h & 0x8000u) << 16, exponent = (h >> 10) & 0x1fu,
                        mantissa = h & 0x3ffu;
    if (exponent == 0x1f) return std::bit_cast<float>(sign | 0x7f800000u | mantissa << 13);
    if (exponent != 0) return std::bit_cast<float>(sign | (exponent + 112) << 23 | mantissa << 13);
    return std::bit_cast<float>(sign | std::bit_cast<std::uint32_t>(float(mantissa) * 0x1p-24f));
}

// A channel of the file: its values' size in bytes and where it goes in an RGBA pixel.
struct FileChannel {
    int bytes = 4;
    int pixel = 0;
};

constexpr std::array<const char*, 4> kRgba{"R", "G", "B", "A"};

// The channels, when every one is R, G, B or A, half or float and not sub-sampled, and R,
// G and B are all there.
std::optional<std::vector<FileChannel>> ChannelsOf(const exr_attr_chlist_t& list) {
    std::vector<FileChannel> channels;
    unsigned seen = 0;
    for (int i = 0; i < list.num_channels; ++i) {
        const exr_attr_chlist_entry_t& e = list.entries[i];
        const auto where = std::find_if(kRgba.begin(), kRgba.end(), [&](const char* n) {
            return std::string_view(e.name.str, std::size_t(e.name.length)) == n;
        });
        const bool typed = e.pixel_type == EXR_PIXEL_HALF || e.pixel_type == EXR_PIXEL_FLOAT;
        if (where == kRgba.end() || !typed || e.x_sampling != 1 || e.y_sampling != 1) return {};
        const int pixel = int(where - kRgba.begin());
        if (seen & (1u << pixel)) return {};
        seen |= 1u << pixel;
        channels.push_back({e.pixel_type == EXR_PIXEL_HALF ? 2 : 4, pixel});
    }
    if ((seen & 7u) != 7u) return {};
    return channels;
}

// The lines of a block, width pixels each, into the image: line `first` of the file's
// data window (lines count down from its top) at image row topRow - first, from column
// left; the next lines into the rows below it.
void Unpack(const unsigned char* data, int lines, const std::vector<FileChannel>& channels,
            std::size_t width, Image& image, int topRow, int left, int first) {
    for (int line = 0; line < lines; ++line) {
        float* dst = image.Row<float>(topRow - first - line) + 4 * std::size_t(left);
        for (const FileChannel& c : channels) {
            float* out = dst + c.pixel;
            if (c.bytes == 4)
                for (std::size_t x = 0; x < width; ++x) std::memcpy(out + 4 * x, data + 4 * x, 4);
            else
                for (std::size_t x = 0; x < width; ++x) {
                    std::uint16_t h;
                    std::memcpy(&h, data + 2 * x, 2);
                    out[4 * x] = HalfToFloat(h);
                }
            data += width * std::size_t(c.bytes);
        }
        if (channels.size() == 3)
            for (std::size_t x = 0; x < width; ++x) dst[4 * x + 3] = 1.0f;
    }
}

// The channels the writer stores, in the channel list's order, and where each sits in an
// RGBA pixel.
constexpr std::array<const char*, 4> kWritten{"A", "B", "G", "R"};
constexpr std::array<int, 4> kWrittenPixel{3, 2, 1, 0};

// The channels written: all four, or without alpha (the first).
std::span<const int> WrittenPixels(bool alpha) {
    return std::span(kWrittenPixel).subspan(alpha ? 0 : 1);
}

// File lines first.. of a float image as a block's raw bytes, channels as written. The
// file's first line is the image's top row.
void Pack(const Image& image, int first, int lines, bool alpha, unsigned char* raw) {
    const std::size_t width = std::size_t(image.Width());
    auto* dst = reinterpret_cast<float*>(raw);
    for (int line = 0; line < lines; ++line) {
        const float* src = image.Row<float>(image.Height() - 1 - first - line);
        for (int c : WrittenPixels(alpha)) {
            for (std::size_t x = 0; x < width; ++x) dst[x] = src[4 * x + std::size_t(c)];
            dst += width;
        }
    }
}

} // namespace

// ---- Reading --------------------------------------------------------------------------------

bool ReadPixels(const std::string& path, Image& image, int left, int top) {
    Context file;
    if (!image.IsFloat() || !file.Read(path) || !file.IsOnePartOfScanlines()) return false;
    exr_context_t f = file.Get();
    const exr_attr_chlist_t* list = nullptr;
    exr_compression_t compression = EXR_COMPRESSION_LAST_TYPE;
    exr_lineorder_t order = EXR_LINEORDER_LAST_TYPE;
    exr_attr_box2i_t window{};
    int32_t linesPerBlock = 0, blocks = 0;
    if (exr_get_channels(f, 0, &list) || exr_get_compression(f, 0, &compression) ||
        exr_get_lineorder(f, 0, &order) || exr_get_data_window(f, 0, &window) ||
        exr_get_scanlines_per_chunk(f, 0, &linesPerBlock) || exr_get_chunk_count(f, 0, &blocks))
        return false;
    const auto channels = ChannelsOf(*list);
    const bool coded = compression == EXR_COMPRESSION_NONE || compression == EXR_COMPRESSION_RLE ||
                       compression == EXR_COMPRESSION_ZIP || compression == EXR_COMPRESSION_ZIPS;
    const std::int64_t width = std::int64_t(window.max.x) - window.min.x + 1,
                       height = std::int64_t(window.max.y) - window.min.y + 1;
    if (!channels || !coded || order != EXR_LINEORDER_INCREASING_Y || left < 0 || top < 0 ||
        left + width > image.Width() || top + height > image.Height())
        return false;
    const int topRow = image.Height() - 1 - top;

    ForEachBlock(blocks, [&](int b) {
        const auto damaged = [&](const std::string& what) {
            return Failure("cannot read " + path + ": damaged OpenEXR block " + std::to_string(b) +
                           " (" + what + ")");
        };
        const int first = b * linesPerBlock;
        exr_chunk_info_t info{};
        if (exr_read_scanline_chunk_info(f, 0, window.min.y + first, &info) != EXR_ERR_SUCCESS)
            throw damaged(t_message);
        Scratch& scratch = ThreadScratch();
        unsigned char* packed = AtLeast(scratch.packed, info.packed_size);
        if (exr_read_chunk(f, 0, &info, packed) != EXR_ERR_SUCCESS) throw damaged(t_message);
        const unsigned char* raw = packed;
        if (info.packed_size != info.unpacked_size) {
            raw = AtLeast(scratch.raw, info.unpacked_size);
            const bool unpacked =
                compression == EXR_COMPRESSION_RLE
                    ? Unrle(packed, info.packed_size, scratch.raw.data(), info.unpacked_size)
                    : compression != EXR_COMPRESSION_NONE &&
                          Unzip(packed, info.packed_size, scratch.raw.data(), info.unpacked_size);
            if (!unpacked) throw damaged("does not unpack");
        }
        if (info.height != std::min<std::int64_t>(linesPerBlock, height - first))
            throw damaged("wrong line count");
        Unpack(raw, info.height, *channels, std::size_t(width), image, topRow, left, first);
    });
    return true;
}

// ---- Writing --------------------------------------------------------------------------------

std::optional<std::pair<Compression, int>> ParseCompression(const std::string& name) {
    const auto parts = OIIO::Strutil::splits(OIIO::Strutil::lower(name), ":");
    if (parts.empty() || parts.size() > 2) return {};
    int level = 6;
    if (parts.size() == 2) {
        level = OIIO::Strutil::stoi(parts[1]);
        if (level < 1 || level > 9 || parts[0] == "none") return {};
    }
    if (parts[0] == "none") return std::pair{Compression::None, level};
    if (parts[0] == "rle" && parts.size() == 1) return std::pair{Compression::Rle, level};
    if (parts[0] == "zip") return std::pair{Compression::Zip, level};
    if (parts[0] == "zips") return std::pair{Compression::Zips, level};
    return {};
}

bool Write(const Image& image, const std::string& path, const Layout& layout) {
    Context source;
    if (!source.Read(layout.source) || !source.IsOnePartOfScanlines()) return false;

    // Blocks are coded on every core, then written in order.
    const int linesPerBlock = layout.compression == Compression::Zip ? 16 : 1;
    const int blocks = (image.Height() + linesPerBlock - 1) / linesPerBlock;
    std::vector<std::vector<unsigned char>> stored(static_cast<std::size_t>(blocks));
    ForEachBlock(blocks, [&](int b) {
        const int first = b * linesPerBlock;
        const int lines = std::min(linesPerBlock, image.Height() - first);
        const std::size_t size = std::size_t(image.Width()) * WrittenPixels(layout.alpha).size() *
                                 sizeof(float) * std::size_t(lines);
        unsigned char* raw = AtLeast(ThreadScratch().raw, size);
        Pack(image, first, lines, layout.alpha, raw);
        std::vector<unsigned char>& out = stored[std::size_t(b)];
        bool packed = false;
        switch (layout.compression) {
        case Compression::None: break;
        case Compression::Rle: packed = Rle(raw, size, out); break;
        case Compression::Zips:
        case Compression::Zip: packed = Zip(raw, size, layout.zipLevel, out); break;
        }
        if (!packed) out.assign(raw, raw + size);
    });

    const auto fail = [&](exr_result_t) {
        return Failure("cannot write " + path + ": " + t_message);
    };
    PendingFile pending(path);
    Context file;
    if (exr_result_t r = file.Write(pending.Fd(), path)) throw fail(r);
    exr_context_t f = file.Get();
    int part = 0;
    // A window from its first pixel and its size.
    const auto window = [](int x, int y, int width, int height) {
        exr_attr_box2i_t box{};
        box.min.x = x, box.min.y = y;
        box.max.x = x + width - 1, box.max.y = y + height - 1;
        return box;
    };
    const exr_attr_box2i_t data = window(layout.x, layout.y, image.Width(), image.Height());
    const exr_attr_box2i_t display =
        window(layout.displayX, layout.displayY, layout.displayWidth, layout.displayHeight);
    // The source's pixel aspect and screen window, as the required attributes they are.
    float aspect = 1, screenWidth = 1;
    exr_attr_v2f_t screenCenter{};
    exr_get_pixel_aspect_ratio(source.Get(), 0, &aspect);
    exr_get_screen_window_center(source.Get(), 0, &screenCenter);
    exr_get_screen_window_width(source.Get(), 0, &screenWidth);
    exr_result_t r = exr_add_part(f, "", EXR_STORAGE_SCANLINE, &part);
    if (!r)
        r = exr_initialize_required_attr(f, part, &display, &data, aspect, &screenCenter,
                                         screenWidth, EXR_LINEORDER_INCREASING_Y,
                                         exr_compression_t(layout.compression));
    for (const char* name : std::span(kWritten).subspan(layout.alpha ? 0 : 1))
        if (!r)
            r = exr_add_channel(f, part, name, EXR_PIXEL_FLOAT, EXR_PERCEPTUALLY_LOGARITHMIC, 1, 1);
    if (!r) r = exr_attr_set_string(f, part, "Software", (std::string("qrvx ") + kVersion).c_str());
    for (const auto& [name, value] : layout.texts)
        if (!r) r = exr_attr_set_string(f, part, name.c_str(), value.c_str());
    // Everything else the source's header holds and this one does not yet.
    if (!r) r = exr_copy_unset_attributes(f, part, source.Get(), 0);
    if (!r) r = exr_write_header(f);
    for (int b = 0; b < blocks && !r; ++b) {
        const std::vector<unsigned char>& block = stored[std::size_t(b)];
        r = exr_write_scanline_chunk(f, part, layout.y + b * linesPerBlock, block.data(),
                                     block.size());
    }
    if (!r) r = file.Finish();
    if (r) throw fail(r);
    pending.Commit();
    return true;
}

} // namespace app::exr
