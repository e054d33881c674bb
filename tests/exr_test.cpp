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
    auto img = std::make_unique<Image>(w, h, ImageDepth::Float32);
    std::uint32_t state = 7;
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w * 4; ++i) {
            state = state * 1664525u + 1013904223u;
            const std::uint32_t bits = state ^ (state >> 15);
            std::memcpy(img->Row<float>(y) + i, &bits, 4);
        }
    return img;
}

class Exr : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qrvx_exr_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { fs::remove_all(m_dir); }
    std::string P(const std::string& name) const { return (m_dir / name).string(); }

    // Writes the image's channels (R, G, B and A, or the first n) with OpenImageIO.
    void WriteWithOiio(const Image& img, const std::string& name, TypeDesc type,
                       const std::string& compression, int channels = 4,
                       const std::function<void(ImageSpec&)>& adjust = {}) const {
        ImageSpec spec(img.Width(), img.Height(), channels, type);
        spec.attribute("compression", compression);
        if (adjust) adjust(spec);
        auto out = OIIO::ImageOutput::create(P(name));
        ASSERT_TRUE(out && out->open(P(name), spec)) << OIIO::geterror();
        ASSERT_TRUE(out->write_image(TypeDesc::FLOAT, img.Row<float>(0), 4 * sizeof(float),
                                     img.RowBytes()));
        ASSERT_TRUE(out->close());
    }

    // The file read by OpenImageIO into a float RGBA image, alpha 1 where it has none.
    std::unique_ptr<Image> ReadWithOiio(const std::string& name, ImageSpec* spec = nullptr) const {
        auto in = OIIO::ImageInput::open(P(name));
        EXPECT_TRUE(in) << OIIO::geterror();
        if (!in) return nullptr;
        if (spec) *spec = in->spec();
        const ImageSpec& s = in->spec();
        auto img = std::make_unique<Image>(s.width, s.height, ImageDepth::Float32);
        img->Fill(FltPixel{1.0f, 1.0f, 1.0f, 1.0f});
        EXPECT_TRUE(in->read_image(0, 0, 0, std::min(s.nchannels, 4), TypeDesc::FLOAT,
                                   img->Row<float>(0), img->Stride(), img->RowBytes()));
        return img;
    }

    fs::path m_dir;
};

TEST_F(Exr, WrittenFilesReadBackBitForBitWithTheirWindows) {
    // 35 lines: the last ZIP block has 3. Smooth pixels deflate; random bits do not.
    const auto smooth = test::MakeImage(37, 35, ImageDepth::Float32, [](int x, int y, int c) {
        return 0.01 * x + 0.02 * y - 0.3 * c;
    });
    const auto random = RandomBits(37, 35);
    for (const Image* img : {smooth.get(), random.get()})
        for (const auto& [name, compression] : {std::pair{"none", exr::Compression::None},
                                                {"zip", exr::Compression::Zip},
                                                {"zips", exr::Compression::Zips}}) {
            exr::Layout layout;
            layout.x = -5, layout.y = 7;
            layout.displayX = 0, layout.displayY = 0, layout.displayWidth = 64,
            layout.displayHeight = 48;
            layout.compression = compression;
            exr::Write(*img, P("out.exr"), layout);
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
            EXPECT_EQ(spec.get_string_attribute("Software"), "qrvx");
            // And the reader takes back what the writer wrote.
            Image again(37, 35, ImageDepth::Float32);
            ASSERT_TRUE(exr::ReadPixels(P("out.exr"), *exr::ReadHeader(P("out.exr")), again));
            EXPECT_TRUE(test::SameImage(*img, again)) << name;
        }
    // The last file, random bits in single lines: no larger than the pixels, the header
    // and eight bytes of offset and eight of block head per line.
    EXPECT_LE(fs::file_size(P("out.exr")), 37u * 35 * 16 + 1024 + 35 * 16)
        << "random bits are stored as they are";
}

TEST_F(Exr, UncompressedOutputIsTheFileOpenImageIoWrites) {
    const auto img = test::NoiseImage(21, 9, ImageDepth::Float32);
    WriteWithOiio(*img, "oiio.exr", TypeDesc::FLOAT, "none", 4, [](ImageSpec& s) {
        s.attribute("Software", "qrvx");
        s.attribute("Artist", "someone");
        s.attribute("worldtocamera", TypeDesc::TypeMatrix, std::vector<float>(16, 0.5f).data());
        s.attribute("PixelAspectRatio", 2.0f);
    });
    exr::Layout layout;
    layout.displayWidth = 21, layout.displayHeight = 9;
    layout.compression = exr::Compression::None;
    layout.carried = *exr::ReadHeader(P("oiio.exr"));
    exr::Write(*img, P("qrvx.exr"), layout);
    EXPECT_EQ(Slurp(P("qrvx.exr")), Slurp(P("oiio.exr")));
}

TEST_F(Exr, ReaderMatchesOpenImageIoOnTheFilesItTakes) {
    const auto img = test::NoiseImage(19, 33, ImageDepth::Float32, 3);
    for (const char* compression : {"none", "zip", "zips"})
        for (TypeDesc type : {TypeDesc::FLOAT, TypeDesc::HALF})
            for (int channels : {3, 4}) {
                WriteWithOiio(*img, "in.exr", type, compression, channels,
                              [](ImageSpec& s) { s.y = -3; });
                const auto expected = ReadWithOiio("in.exr");
                Image got(19, 33, ImageDepth::Float32);
                ASSERT_TRUE(exr::ReadPixels(P("in.exr"), *exr::ReadHeader(P("in.exr")), got));
                EXPECT_TRUE(test::SameImage(*expected, got))
                    << compression << " " << type << " " << channels;
            }
}

TEST_F(Exr, OtherFilesAreLeftToOpenImageIo) {
    const auto img = test::NoiseImage(8, 8, ImageDepth::Float32);
    Image got(8, 8, ImageDepth::Float32);
    WriteWithOiio(*img, "piz.exr", TypeDesc::FLOAT, "piz");
    EXPECT_FALSE(exr::ReadPixels(P("piz.exr"), *exr::ReadHeader(P("piz.exr")), got));
    WriteWithOiio(*img, "y.exr", TypeDesc::FLOAT, "zip", 1); // one channel, named Y
    EXPECT_FALSE(exr::ReadPixels(P("y.exr"), *exr::ReadHeader(P("y.exr")), got));
    WriteWithOiio(*img, "tiled.exr", TypeDesc::FLOAT, "zip", 4,
                  [](ImageSpec& s) { s.tile_width = s.tile_height = 4; });
    EXPECT_FALSE(exr::ReadHeader(P("tiled.exr")));
    std::ofstream(P("not.exr")) << "not an image";
    EXPECT_FALSE(exr::ReadHeader(P("not.exr")));
    EXPECT_FALSE(exr::ParseCompression("piz"));
    EXPECT_FALSE(exr::ParseCompression("zip:0"));
    EXPECT_EQ(exr::ParseCompression("ZIP:9"), std::pair(exr::Compression::Zip, 9));
}

TEST_F(Exr, DamagedFilesFailWithTheirName) {
    const auto img = test::MakeImage(40, 40, ImageDepth::Float32,
                                     [](int x, int y, int c) { return 0.01 * (x + y + c); });
    WriteWithOiio(*img, "good.exr", TypeDesc::FLOAT, "zip");
    const std::string good = Slurp(P("good.exr"));
    const auto header = *exr::ReadHeader(P("good.exr"));
    auto expectFailure = [&](const std::string& bytes, const std::string& what) {
        std::ofstream(P("bad.exr"), std::ios::binary) << bytes;
        Image got(40, 40, ImageDepth::Float32);
        try {
            exr::ReadPixels(P("bad.exr"), header, got);
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
