// The OpenEXR reader and writer of the command, checked against OpenImageIO: what one
// writes the other must read back bit for bit, with the header carried.
#include "app/errors.h"
#include "app/exr_file.h"
#include "support.h"

#include <OpenImageIO/imageio.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
namespace exr = app::exr;
using OIIO::ImageSpec;
using OIIO::TypeDesc;

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Float RGBA with every bit pattern likely, NaNs among them: deflate cannot shrink it,
// so such blocks are stored as they are.
std::unique_ptr<Image> RandomBits(int w, int h) {
    auto img = qrvx::MakeImage(w, h, ImageDepth::Float32);
    std::uint32_t state = 7;
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * 4; ++i) {
            state = state * 1664525u + 1013904223u;
            const std::uint32_t bits = state ^ (state >> 15);
            std::memcpy(img->Row<float>(y) + i, &bits, 4);
        }
    return img;
}

class Exr : public test::InTempFolder {
protected:
    // Writes the image's channels (R, G, B and A, or the first n) with OpenImageIO, the
    // file's first line being the image's top row (the host counts rows from the bottom).
    void WriteWithOiio(const Image& img, const std::string& name, TypeDesc type,
                       const std::string& compression, int channels = 4,
                       const std::function<void(ImageSpec&)>& adjust = {}) const {
        ImageSpec spec(img.Width(), img.Height(), channels, type);
        spec.attribute("compression", compression);
        if (adjust) adjust(spec);
        auto out = OIIO::ImageOutput::create(P(name));
        ASSERT_TRUE(out && out->open(P(name), spec)) << OIIO::geterror();
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, img.Row<float>(img.Height() - 1),
                                     4 * sizeof(float), -img.RowBytes()));
        ASSERT_TRUE(out->close());
    }

    // The file read by OpenImageIO into a float RGBA image, alpha 1 where it has none, the
    // file's first line into the image's top row.
    std::unique_ptr<Image> ReadWithOiio(const std::string& name, ImageSpec* spec = nullptr) const {
        auto in = OIIO::ImageInput::open(P(name));
        EXPECT_TRUE(in) << OIIO::geterror();
        if (!in) return nullptr;
        if (spec) *spec = in->spec();
        const ImageSpec& s = in->spec();
        auto img = qrvx::MakeImage(s.width, s.height, ImageDepth::Float32);
        img->Fill(FltPixel{1.0f, 1.0f, 1.0f, 1.0f});
        EXPECT_TRUE(in->read_image(0, 0, 0, std::min(s.nchannels, 4), TypeDesc::FLOAT,
                                   img->Row<float>(s.height - 1), img->Stride(), -img->RowBytes()));
        return img;
    }
};

// The header every written file carries in these tests: a plain OpenEXR file.
void WriteSource(const std::string& path, const std::function<void(ImageSpec&)>& adjust = {}) {
    ImageSpec spec(2, 2, 4, TypeDesc::HALF);
    if (adjust) adjust(spec);
    auto out = OIIO::ImageOutput::create(path);
    ASSERT_TRUE(out && out->open(path, spec));
    const std::vector<float> px(16, 0.5f);
    ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, px.data()));
    ASSERT_TRUE(out->close());
}

TEST_F(Exr, WrittenFilesReadBackBitForBitWithTheirWindows) {
    WriteSource(P("source.exr"));
    // 35 lines: the last ZIP block has 3. Smooth pixels deflate; random bits do not.
    const auto smooth = test::MakeImage(37, 35, ImageDepth::Float32, [](int x, int y, int c) {
        return 0.01 * x + 0.02 * y - 0.3 * c;
    });
    // Flat stretches longer than one RLE run beside pieces with no runs.
    const auto patchy = test::MakeImage(37, 35, ImageDepth::Float32, [](int x, int y, int c) {
        return x < 20 || y % 3 == 0 ? 0.25 : std::sin(x * y + c);
    });
    const auto random = RandomBits(37, 35);
    for (const Image* img : {smooth.get(), patchy.get(), random.get()})
        for (const auto& [name, compression] : {std::pair{"none", exr::Compression::None},
                                                {"rle", exr::Compression::Rle},
                                                {"zip", exr::Compression::Zip},
                                                {"zips", exr::Compression::Zips}}) {
            exr::Layout layout;
            layout.x = -5, layout.y = 7;
            layout.displayX = 0, layout.displayY = 0, layout.displayWidth = 64,
            layout.displayHeight = 48;
            layout.compression = compression;
            layout.source = P("source.exr");
            ASSERT_TRUE(exr::Write(*img, P("out.exr"), layout));
            ImageSpec spec;
            const auto back = ReadWithOiio("out.exr", &spec);
            ASSERT_TRUE(back);
            EXPECT_TRUE(test::SameImage(*img, *back)) << name;
            EXPECT_EQ(spec.get_string_attribute("compression"), name);
            EXPECT_EQ(spec.format, TypeDesc::FLOAT);
            EXPECT_EQ(spec.x, -5);
            EXPECT_EQ(spec.y, 7);
            EXPECT_EQ(spec.full_width, 64);
            EXPECT_EQ(spec.full_height, 48);
            // And the reader takes back what the writer wrote.
            const auto again = qrvx::MakeImage(37, 35, ImageDepth::Float32);
            ASSERT_TRUE(exr::ReadPixels(P("out.exr"), *again));
            EXPECT_TRUE(test::SameImage(*img, *again)) << name;
        }
    // The last file, random bits in single lines: no larger than the pixels, the header
    // and eight bytes of offset and eight of block head per line.
    EXPECT_LE(fs::file_size(P("out.exr")), 37u * 35 * 16 + 1024 + 35 * 16)
        << "random bits are stored as they are";
}

TEST_F(Exr, TheSourceHeaderIsCarried) {
    WriteSource(P("source.exr"), [](ImageSpec& s) {
        s.attribute("Software", "something else");
        s.attribute("Artist", "someone");
        const float m[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
        s.attribute("worldtocamera", TypeDesc::TypeMatrix, m);
        s.attribute("PixelAspectRatio", 2.0f);
        s.attribute("screenWindowWidth", 1.5f);
        s.attribute("smpte:TimeCode", TypeDesc::TypeTimeCode,
                    std::vector<unsigned>{0x01020304, 0}.data());
    });
    exr::Layout layout;
    layout.displayWidth = 21, layout.displayHeight = 9;
    layout.source = P("source.exr");
    ASSERT_TRUE(exr::Write(*test::NoiseImage(21, 9, ImageDepth::Float32), P("out.exr"), layout));
    ImageSpec in, out;
    ReadWithOiio("source.exr", &in);
    ReadWithOiio("out.exr", &out);
    EXPECT_EQ(out.get_string_attribute("Software"), std::string("qrvx ") + QRVX_VERSION);
    EXPECT_EQ(out.get_string_attribute("compression"), "zip");
    for (const auto& a : in.extra_attribs) {
        const std::string name = a.name().string();
        if (name == "Software" || name == "compression" || name == "openexr:lineOrder") continue;
        const OIIO::ParamValue* b = out.find_attribute(name);
        ASSERT_TRUE(b) << name;
        EXPECT_EQ(a.type(), b->type()) << name;
        EXPECT_EQ(std::memcmp(a.data(), b->data(), a.type().size()), 0) << name;
    }
}

TEST_F(Exr, ReaderMatchesOpenImageIoOnTheFilesItTakes) {
    const auto img = test::NoiseImage(19, 33, ImageDepth::Float32, 3);
    for (const char* compression : {"none", "rle", "zip", "zips"})
        for (TypeDesc type : {TypeDesc::FLOAT, TypeDesc::HALF})
            for (int channels : {3, 4}) {
                WriteWithOiio(*img, "in.exr", type, compression, channels,
                              [](ImageSpec& s) { s.y = -3; });
                const auto expected = ReadWithOiio("in.exr");
                const auto got = qrvx::MakeImage(19, 33, ImageDepth::Float32);
                ASSERT_TRUE(exr::ReadPixels(P("in.exr"), *got));
                EXPECT_TRUE(test::SameImage(*expected, *got))
                    << compression << " " << type << " " << channels;
            }
}

TEST_F(Exr, OtherFilesAreLeftToOpenImageIo) {
    const auto img = test::NoiseImage(8, 8, ImageDepth::Float32);
    const auto got = qrvx::MakeImage(8, 8, ImageDepth::Float32);
    WriteWithOiio(*img, "piz.exr", TypeDesc::FLOAT, "piz");
    EXPECT_FALSE(exr::ReadPixels(P("piz.exr"), *got));
    WriteWithOiio(*img, "y.exr", TypeDesc::FLOAT, "zip", 1); // one channel, named Y
    EXPECT_FALSE(exr::ReadPixels(P("y.exr"), *got));
    WriteWithOiio(*img, "tiled.exr", TypeDesc::FLOAT, "zip", 4,
                  [](ImageSpec& s) { s.tile_width = s.tile_height = 4; });
    EXPECT_FALSE(exr::ReadPixels(P("tiled.exr"), *got));
    // A tiled source's header is not carried into scanlines: nothing is written.
    exr::Layout layout;
    layout.displayWidth = layout.displayHeight = 8;
    layout.source = P("tiled.exr");
    EXPECT_FALSE(exr::Write(*img, P("out.exr"), layout));
    EXPECT_FALSE(fs::exists(P("out.exr")));
    EXPECT_FALSE(exr::ParseCompression("piz"));
    EXPECT_FALSE(exr::ParseCompression("zip:0"));
    EXPECT_EQ(exr::ParseCompression("ZIP:9"), std::pair(exr::Compression::Zip, 9));
}

TEST_F(Exr, DamagedFilesFailWithTheirName) {
    const auto img = test::MakeImage(40, 40, ImageDepth::Float32,
                                     [](int x, int y, int c) { return 0.01 * (x + y + c); });
    WriteWithOiio(*img, "good.exr", TypeDesc::FLOAT, "zip");
    const std::string good = Slurp(P("good.exr"));
    auto expectFailure = [&](const std::string& bytes, const std::string& what) {
        std::ofstream(P("bad.exr"), std::ios::binary) << bytes;
        const auto got = qrvx::MakeImage(40, 40, ImageDepth::Float32);
        try {
            exr::ReadPixels(P("bad.exr"), *got);
            ADD_FAILURE() << what << " was read";
        } catch (const app::Failure& e) {
            EXPECT_NE(std::string(e.what()).find(P("bad.exr")), std::string::npos) << e.what();
        }
    };
    expectFailure(good.substr(0, good.size() - 100), "a truncated file");
    std::string flipped = good;
    flipped[good.size() - 50] = char(~flipped[good.size() - 50]);
    expectFailure(flipped, "a corrupted block");
}

} // namespace
