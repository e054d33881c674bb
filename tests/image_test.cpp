// Host images and their operations, one group each: making images and the pool, the
// conversions between depths, resizing, merging and blurring, with hand-worked values.
#include "host/monitor.h"
#include "support.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace {

TEST(Images, NewImageTagsAndLimits) {
    const auto like = qrvx::MakeImage(7, 4, ImageDepth::Float32);
    std::unique_ptr<Image> a(NewImage({{tag::ImgTemplate, static_cast<const void*>(like.get())}}));
    EXPECT_EQ(a->Width(), 7);
    EXPECT_EQ(a->Height(), 4);
    EXPECT_TRUE(a->IsFloat());
    std::unique_ptr<Image> b(NewImage({{tag::ImgContext, 1},
                                       {tag::ImgWidth, 9},
                                       {tag::ImgHeight, 2},
                                       {tag::ImgDepth, int(ImageDepth::Float32)},
                                       {tag::ImgChannel, 2},
                                       {tag::ImgChannel, 1}}));
    EXPECT_EQ(b->Width(), 9);
    EXPECT_TRUE(b->IsFloat());
    std::unique_ptr<Image> c(
        NewImage({{tag::ImgTemplate, static_cast<const void*>(like.get())}, {tag::ImgHeight, 11}}));
    EXPECT_EQ(c->Height(), 11);
    EXPECT_EQ(c->Width(), 7); // the template's width where only the height is given
    EXPECT_EQ(a->RowBytes() % 64, 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a->RowTable()[1]) % 64, 0u);

    EXPECT_THROW(qrvx::MakeImage(0, 5, ImageDepth::Int16), HostError);
    EXPECT_THROW(qrvx::MakeImage(5, -1, ImageDepth::Int16), HostError);
    EXPECT_THROW(NewImage({{tag::ImgContext, 1}, {tag::ImgWidth, 1LL << 40}, {tag::ImgHeight, 1}}),
                 HostError);
    const auto limit = qrvx::MaxImagePixels();
    qrvx::SetMaxImagePixels(100);
    EXPECT_THROW(qrvx::MakeImage(11, 10, ImageDepth::Int16), HostError);
    EXPECT_NO_THROW(qrvx::MakeImage(10, 10, ImageDepth::Int16));
    qrvx::SetMaxImagePixels(limit);
}

TEST(Images, PoolReusesMemoryOfTheSameSize) {
    void* first;
    qrvx::MakeImage(640, 480, ImageDepth::Int16); // a size asked for once is not kept
    {
        const auto a = qrvx::MakeImage(640, 480, ImageDepth::Int16);
        first = a->RowTable()[0];
    }
    const auto b = qrvx::MakeImage(640, 480, ImageDepth::Int16);
    EXPECT_EQ(b->RowTable()[0], first);
}

// Scatter's resized stars come in many sizes, each asked for once: none of them is kept,
// and what is kept of recurring sizes stays within two of the largest block.
TEST(Images, PoolKeepsOnlyWhatFollowsUse) {
    qrvx::TrimImagePool();
    for (int i = 0; i < 200; ++i) qrvx::MakeImage(300 + 4 * i, 300, ImageDepth::Float32);
    EXPECT_EQ(qrvx::ImagePoolKept(), 0u);
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 50; ++i) qrvx::MakeImage(500 + i, 500, ImageDepth::Float32);
    const std::size_t largest = std::size_t(549) * 500 * 16;
    EXPECT_GT(qrvx::ImagePoolKept(), 0u);
    EXPECT_LE(qrvx::ImagePoolKept(), 2 * largest + 64 * 500);
    qrvx::TrimImagePool();
    EXPECT_EQ(qrvx::ImagePoolKept(), 0u);
}

TEST(Images, FillCopyAndResize) {
    for (ImageDepth d : test::kDepths) {
        const auto img = qrvx::MakeImage(8, 6, d);
        img->Fill(FltPixel{.B = 0.25f, .G = 0.5f, .R = 1.0f, .A = 0.0f});
        std::unique_ptr<Image> copy(img->CopyOfImage());
        EXPECT_TRUE(test::SameImage(*img, *copy));
        EXPECT_EQ(test::At(*copy, 7, 5, 0), test::Scale(d));

        for (auto [w, h] : {std::pair{4, 3}, {16, 12}, {1, 1}, {13, 2}}) {
            std::unique_ptr<Image> r(img->ResizeOfImage(w, h));
            EXPECT_EQ(r->Width(), w);
            EXPECT_EQ(r->Height(), h);
            EXPECT_EQ(r->Depth(), d);
            // A constant image stays constant under resampling.
            EXPECT_NEAR(test::At(*r, w - 1, h - 1, 2), test::At(*img, 0, 0, 2),
                        1e-4 * test::At(*img, 0, 0, 2) + 1);
        }
        std::unique_ptr<Image> t(
            img->ResizeOfImage({{tag::ResizeWidth, 3}, {tag::ResizeFilter, 3}}));
        EXPECT_EQ(t->Width(), 3);
        EXPECT_EQ(t->Height(), 6);
    }
}

TEST(Images, MergeClipsAtAllFourEdges) {
    for (ImageDepth d : test::kDepths) {
        const double full = test::Scale(d);
        auto dst = test::MakeImage(6, 5, d, [](int, int, int) { return 0.0; });
        auto src = test::MakeImage(3, 3, d, [&](int, int, int) { return full; });
        for (auto [x, y] :
             {std::pair{-2, 1}, {4, 1}, {1, -2}, {1, 3}, {-2, -2}, {5, 4}, {-3, 0}, {6, 0}}) {
            dst->Fill(FltPixel{});
            dst->OXMerge(*src, x, y);
            for (int ty = 0; ty < 5; ++ty)
                for (int tx = 0; tx < 6; ++tx) {
                    const bool inside = tx >= x && tx < x + 3 && ty >= y && ty < y + 3;
                    ASSERT_EQ(test::At(*dst, tx, ty, 3), inside ? full : 0.0)
                        << "at " << tx << "," << ty << " merging at " << x << "," << y;
                }
        }
        // Over: half-transparent source over opaque target.
        auto half =
            test::MakeImage(1, 1, d, [&](int, int, int c) { return c == 3 ? full / 2 : 0.0; });
        auto under = test::MakeImage(1, 1, d, [&](int, int, int) { return full; });
        under->OXMerge(*half, 0, 0);
        EXPECT_NEAR(test::At(*under, 0, 0, 0), full / 2, full * 1e-4);
        EXPECT_NEAR(test::At(*under, 0, 0, 3), full, full * 1e-4);
    }
}

// Overlapping draws replayed in order per band of rows give the image that drawing them
// one after another over the whole image gives, for any cut into bands.
TEST(Images, MergeByBandsEqualsMergingInOrder) {
    for (ImageDepth d : test::kDepths) {
        auto sprite = test::NoiseImage(9, 7, d, 5);
        const std::pair<int, int> at[] = {{-3, -2}, {2, 1}, {4, 3}, {10, 12}, {3, 9}, {-1, 14}};
        auto whole = test::NoiseImage(14, 16, d, 6);
        auto banded = test::NoiseImage(14, 16, d, 6);
        for (auto [x, y] : at) whole->OXMerge(*sprite, x, y);
        for (int begin = 0; begin < 16; begin += 5)
            for (auto [x, y] : at)
                banded->OXMergeRows(*sprite, x, y, begin, std::min(16, begin + 5));
        EXPECT_TRUE(test::SameImage(*whole, *banded));
    }
}

// A source pixel whose four values are zero (of either sign) leaves every 16-bit value as
// it is, at the ends of a row and between drawn pixels; the drawn ones follow the rule.
TEST(Images, TransparentPixelsKeepEveryIntegerValue) {
    auto every = test::MakeImage(256, 64, ImageDepth::Int16,
                                 [](int x, int y, int c) { return double((y * 256 + x) * 4 + c); });
    for (ImageDepth ds : test::kDepths) {
        // Transparent but for columns 100 and 102 (opaque grey), with -0 in float.
        const bool flt = ds == ImageDepth::Float32;
        auto src = test::MakeImage(256, 64, ds, [&](int x, int, int c) {
            if (x == 100 || x == 102) return c == 3 ? (flt ? 1.0 : 65535.0) : (flt ? 0.5 : 32768.0);
            return flt && (x + c) % 2 ? -0.0 : 0.0;
        });
        std::unique_ptr<Image> dst(every->CopyOfImage());
        dst->OXMerge(*src, 0, 0);
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 256; ++x)
                for (int c = 0; c < 4; ++c) {
                    const double want =
                        x == 100 || x == 102 ? (c == 3 ? 65535 : 32768) : test::At(*every, x, y, c);
                    ASSERT_EQ(test::At(*dst, x, y, c), want) << x << "," << y << "," << c;
                }
    }
}

// A float draw into an integer image rounds to the nearest value and clamps; NaN gives 0.
TEST(Images, MergeIntoIntegerRoundsAndClamps) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = HUGE_VAL;
    const double in[] = {-1, nan, -inf, inf, 1.5, 1000.4 / 65535, 1000.6 / 65535, 1};
    const double out[] = {0, 0, 0, 65535, 65535, 1000, 1001, 65535};
    auto src = test::MakeImage(8, 1, ImageDepth::Float32,
                               [&](int x, int, int c) { return c == 3 ? 0.0 : in[x]; });
    auto dst = test::MakeImage(8, 1, ImageDepth::Int16, [](int, int, int) { return 0.0; });
    dst->OXMerge(*src, 0, 0);
    for (int x = 0; x < 8; ++x) EXPECT_EQ(test::At(*dst, x, 0, 1), out[x]) << "value " << in[x];
}

// Every merged value is the "over" rule computed one channel at a time in float, on all
// four depth pairs, for an odd width and values out of range, infinite or not a number.
TEST(Images, MergeFollowsTheOverRuleChannelByChannel) {
    auto unit = [](const Image& img, int x, int y, int c) {
        return img.IsFloat() ? float(test::At(img, x, y, c))
                             : float(test::At(img, x, y, c)) * (1.0f / 65535.0f);
    };
    // A value in units as the target keeps it: float as it is, integer rounded and held
    // to 0..65535 (not a number: 0).
    auto stored = [](const Image& img, float v) -> double {
        if (img.IsFloat()) return v;
        const float w = v * 65535.0f;
        return !(w > 0) ? 0.0 : std::min(std::floor(w + 0.5f), 65535.0f);
    };
    const double wild[] = {NAN, INFINITY, -INFINITY, 1e30};
    for (ImageDepth ds : test::kDepths)
        for (ImageDepth dd : test::kDepths) {
            auto src = test::NoiseImage(9, 5, ds, 21), dst = test::NoiseImage(12, 7, dd, 22);
            if (src->IsFloat())
                for (int c = 0; c < 4; ++c) test::Set(*src, c, 1, c, wild[c]);
            std::unique_ptr<Image> before(dst->CopyOfImage());
            dst->OXMerge(*src, 2, 1);
            for (int y = 1; y < 6; ++y)
                for (int x = 2; x < 11; ++x)
                    for (int c = 0; c < 4; ++c) {
                        const float v =
                            unit(*src, x - 2, y - 1, c) +
                            unit(*before, x, y, c) * (1.0f - unit(*src, x - 2, y - 1, 3));
                        const double want = stored(*dst, v);
                        if (std::isnan(want))
                            EXPECT_TRUE(std::isnan(test::At(*dst, x, y, c)));
                        else
                            ASSERT_EQ(test::At(*dst, x, y, c), want) << x << "," << y << "," << c;
                    }
        }
}

// The wide merge (AVX-512, where the processor has it) gives the portable merge's values
// for every pair of depths, including float values outside 0..1, infinities and NaN.
TEST(Images, WideMergeEqualsPortableMerge) {
    for (ImageDepth ds : test::kDepths)
        for (ImageDepth dd : test::kDepths) {
            auto sprite = test::NoiseImage(37, 9, ds, 7);
            if (ds == ImageDepth::Float32) {
                const double odd[] = {std::nan(""), INFINITY, -INFINITY, -3.0, 70000.0 / 65535};
                for (int i = 0; i < 5; ++i) test::Set(*sprite, 3 * i, i, i % 4, odd[i]);
            }
            std::vector<std::unique_ptr<Image>> out;
            test::OnEachWorker([&] {
                out.push_back(test::NoiseImage(45, 12, dd, 8));
                out.back()->OXMerge(*sprite, 5, 2);
                out.back()->OXMergeRows(*sprite, -4, -3, 2, 7);
            });
            ASSERT_EQ(out.size(), 2u);
            EXPECT_TRUE(test::SameImage(*out[0], *out[1]));
        }
}

// Runs make under each of the host's vector paths (portable with QRVX_PORTABLE, AVX2
// with QRVX_NO_AVX512, and whatever the processor has) and expects the images it gives
// to be the portable ones bit for bit.
void ExpectEveryPathPortable(const std::function<std::unique_ptr<Image>()>& make) {
    const test::ScopedEnv vectors("QRVX_PORTABLE", nullptr);
    const auto portable = [&] {
        const test::ScopedEnv portable("QRVX_PORTABLE", "1");
        return make();
    }();
    const auto avx2 = [&] {
        const test::ScopedEnv avx2("QRVX_NO_AVX512", "1");
        return make();
    }();
    const test::ScopedEnv widest("QRVX_NO_AVX512", nullptr);
    const auto best = make();
    EXPECT_TRUE(test::SameImage(*portable, *avx2)) << "AVX2 path";
    EXPECT_TRUE(test::SameImage(*portable, *best)) << "widest path";
}

// The 16-bit merge's vector loops round and clamp as the portable one: over noise (colour
// above alpha, so results up to twice full value), over runs of fully transparent and
// fully opaque pixels and the extreme values, in rows of every length modulo four.
TEST(Images, MergeOnEveryPathEqualsThePortableMerge) {
    const double extremes[] = {0, 1, 2, 32767, 32768, 65533, 65534, 65535};
    const int w = 509, h = 131; // about 270,000 values: some land near every rounding edge
    auto sprite = test::NoiseImage(w, h, ImageDepth::Int16, 21);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            if (x < 3 + y % 5 || x > w - 7 + y % 4) // transparent ends of different lengths
                for (int c = 0; c < 4; ++c) test::Set(*sprite, x, y, c, 0.0);
            else if (y % 3 == 0)
                for (int c = 0; c < 4; ++c)
                    test::Set(*sprite, x, y, c, extremes[(x * 3 + c * 5 + y) % 8]);
        }
    for (ImageDepth dd : test::kDepths)
        ExpectEveryPathPortable([&] {
            auto dst = test::NoiseImage(w + 4, h + 7, dd, 22);
            for (int x = 0; x < w + 4; ++x)
                for (int c = 0; c < 4; ++c) test::Set(*dst, x, 4, c, extremes[(x + c) % 8]);
            dst->OXMerge(*sprite, 3, 2);
            dst->OXMerge(*sprite, -5, 9);
            for (int n = 1; n <= 9; ++n) {
                auto strip = test::NoiseImage(n, 2, ImageDepth::Int16, 30 + unsigned(n));
                dst->OXMergeRows(*strip, w - 6, n, 0, h);
            }
            return dst;
        });
}

// A 16-bit source over a zero target, and an opaque one over anything, keeps every
// source value on every path (the vector loops store such pixels without arithmetic).
TEST(Images, OpaqueOrOverZeroMergeKeepsEverySourceValue) {
    auto every = test::MakeImage(256, 64, ImageDepth::Int16,
                                 [](int x, int y, int c) { return double((y * 256 + x) * 4 + c); });
    auto opaque = test::MakeImage(256, 256, ImageDepth::Int16, [](int x, int y, int c) {
        return c == 3 ? 65535.0 : double((y * 256 + x) % 65536);
    });
    ExpectEveryPathPortable([&] {
        auto dst = test::MakeImage(256, 64, ImageDepth::Int16, [](int, int, int) { return 0.0; });
        dst->OXMerge(*every, 0, 0);
        EXPECT_TRUE(test::SameImage(*dst, *every)) << "over zero";
        auto under = test::NoiseImage(256, 256, ImageDepth::Int16, 9);
        under->OXMerge(*opaque, 0, 0);
        EXPECT_TRUE(test::SameImage(*under, *opaque)) << "opaque";
        return under;
    });
}

// The wide blur's enlargement gives the portable values on every path, for every pair
// of depths, with channels off, widths that are not a multiple of four and float values
// outside 0..1, infinities and NaN.
TEST(Images, WideBlurOnEveryPathEqualsThePortableBlur) {
    for (ImageDepth ds : test::kDepths)
        for (ImageDepth dd : test::kDepths) {
            auto img = test::NoiseImage(83, 41, ds, 5);
            if (ds == ImageDepth::Float32) {
                // NaN and infinities spread over their whole channel: blue holds them.
                const double odd[] = {-3.0, 70000.0 / 65535, std::nan(""), 2.5, INFINITY};
                for (int i = 0; i < 5; ++i) test::Set(*img, 11 * i, 7 * i, i == 4 ? 2 : i, odd[i]);
            }
            for (bool alpha : {true, false})
                ExpectEveryPathPortable([&] {
                    auto out = qrvx::MakeImage(83, 41, dd);
                    // Standard deviations of 41.5 and 20.75 pixels: reduced by 5 and 2.
                    img->ImageBlur(out.get(), 4, true, true, true, alpha, 0.5, 0.25, 1.0, 1.0);
                    return out;
                });
        }
}

TEST(Images, BlurIsIdentityAtZeroAndSmoothsAboveIt) {
    for (ImageDepth d : test::kDepths) {
        auto img = test::NoiseImage(40, 30, d, 3);
        const auto out = qrvx::MakeImage(40, 30, d);
        img->ImageBlur(out.get(), 4, true, true, true, true, 0.0, 0.0, 1.0, 1.0);
        EXPECT_TRUE(test::SameImage(*img, *out));

        img->ImageBlur(out.get(), 4, true, true, true, false, 0.1, 0.1, 1.0, 1.0);
        double spreadIn = 0, spreadOut = 0;
        for (int x = 1; x < 40; ++x) {
            spreadIn += std::abs(test::At(*img, x, 15, 0) - test::At(*img, x - 1, 15, 0));
            spreadOut += std::abs(test::At(*out, x, 15, 0) - test::At(*out, x - 1, 15, 0));
        }
        EXPECT_LT(spreadOut, spreadIn / 4);
        EXPECT_EQ(test::At(*out, 7, 9, 3), test::At(*img, 7, 9, 3)); // alpha off: unchanged
    }
}

// Both of the blur's ways (full size for narrow blurs, reduced for wide ones) stay close
// to a true Gaussian of the documented width, evaluated here directly away from the
// edges (where the box passes extend each pass's border rather than the image's), and
// keep a flat image flat everywhere.
TEST(Images, BlurFollowsAGaussianOfTheGivenWidth) {
    const int w = 240, h = 160;
    auto img = test::MakeImage(w, h, ImageDepth::Float32, [](int x, int y, int c) {
        return c == 3 ? 1.0 : ((x / 20 + y / 20) % 2 ? 1.0 : 0.0) * (c + 1) / 3.0;
    });
    for (double size : {0.01, 0.1}) {
        const double sigma = size * w;
        const auto out = qrvx::MakeImage(w, h, ImageDepth::Float32);
        img->ImageBlur(out.get(), 4, true, true, true, true, size, size, 1.0, 1.0);
        for (auto [px, py] : {std::pair{120, 80}, {63, 101}, {180, 60}}) {
            double acc = 0, weights = 0;
            const int reach = int(4 * sigma);
            for (int dy = -reach; dy <= reach; ++dy)
                for (int dx = -reach; dx <= reach; ++dx) {
                    const double g = std::exp(-(dx * dx + dy * dy) / (2 * sigma * sigma));
                    const int sx = std::clamp(px + dx, 0, w - 1),
                              sy = std::clamp(py + dy, 0, h - 1);
                    acc += g * test::At(*img, sx, sy, 0);
                    weights += g;
                }
            EXPECT_NEAR(test::At(*out, px, py, 0), acc / weights, 0.02)
                << "size " << size << " at " << px << "," << py;
        }
        for (int y = 0; y < h; y += 7)
            for (int x = 0; x < w; x += 7) ASSERT_NEAR(test::At(*out, x, y, 3), 1.0, 1e-4);
    }
}

// ---- Conversions ---------------------------------------------------------------------

TEST(Conversions, FillRoundsAndClampsIntoIntegersAndScalesIntoFloats) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto i = qrvx::MakeImage(2, 1, ImageDepth::Int16);
    // 0.25 * 65535 = 16383.75 rounds up; below 0, NaN and above 1 are held to the range.
    i->Fill(FltPixel{.B = -0.1f, .G = float(nan), .R = 0.25f, .A = 1.5f});
    EXPECT_EQ(test::At(*i, 1, 0, 0), 16384);
    EXPECT_EQ(test::At(*i, 1, 0, 1), 0);
    EXPECT_EQ(test::At(*i, 1, 0, 2), 0);
    EXPECT_EQ(test::At(*i, 1, 0, 3), 65535);
    i->Fill(IntPixel{.B = -5, .G = 7, .R = 70000, .A = 65535});
    EXPECT_EQ(test::At(*i, 0, 0, 0), 65535);
    EXPECT_EQ(test::At(*i, 0, 0, 1), 7);
    EXPECT_EQ(test::At(*i, 0, 0, 2), 0);
    const auto f = qrvx::MakeImage(1, 1, ImageDepth::Float32);
    f->Fill(IntPixel{.B = 0, .G = 13107, .R = 65535, .A = 131070});
    EXPECT_EQ(test::At(*f, 0, 0, 0), 1.0f);
    EXPECT_EQ(test::At(*f, 0, 0, 1), float(13107) * (1.0f / 65535.0f));
    EXPECT_EQ(test::At(*f, 0, 0, 3), float(131070) * (1.0f / 65535.0f)); // not clamped
}

TEST(Conversions, RoutinesReadAndWriteEitherRecordOnEitherDepth) {
    const auto f = qrvx::MakeImage(1, 1, ImageDepth::Float32);
    test::Set(*f, 0, 0, 0, 0.5), test::Set(*f, 0, 0, 1, -1), test::Set(*f, 0, 0, 2, 2);
    test::Set(*f, 0, 0, 3, 0.1);
    IntPixel ip;
    f->Routines().readInt(ip, f->RowTable()[0], nullptr, *f);
    EXPECT_EQ(ip.R, 32768); // 32767.5 rounds up
    EXPECT_EQ(ip.G, 0);
    EXPECT_EQ(ip.B, 65535);
    EXPECT_EQ(ip.A, 6554); // 6553.5 rounds up
    const auto i = qrvx::MakeImage(1, 1, ImageDepth::Int16);
    i->Routines().writeFlt(FltPixel{.B = 0.5f, .G = 0.0f, .R = 1.0f, .A = 2.0f}, i->RowTable()[0],
                           nullptr, *i);
    EXPECT_EQ(test::At(*i, 0, 0, 0), 65535);
    EXPECT_EQ(test::At(*i, 0, 0, 2), 32768);
    EXPECT_EQ(test::At(*i, 0, 0, 3), 65535);
    FltPixel fp;
    i->Routines().readFlt(fp, i->RowTable()[0], nullptr, *i);
    EXPECT_EQ(fp.B, 32768.0f / 65535.0f);
}

// ---- Resize --------------------------------------------------------------------------

// Resizes a row (or, transposed, a column) of four values in channel 0.
std::vector<double> ResizeLine(ImageDepth d, const std::vector<double>& in, int out, bool column) {
    const int n = int(in.size());
    auto img = test::MakeImage(column ? 1 : n, column ? n : 1, d,
                               [&](int x, int y, int) { return in[std::size_t(x + y)]; });
    std::unique_ptr<Image> r(img->ResizeOfImage(column ? 1 : out, column ? out : 1));
    std::vector<double> v;
    for (int k = 0; k < out; ++k) v.push_back(test::At(*r, column ? 0 : k, column ? k : 0, 0));
    return v;
}

TEST(Resize, EnlargingIsBilinearWithClampedEdges) {
    // Output centres fall at -0.25, 0.25, 0.75 and 1.25 input pixels: weights 1/4 and 3/4,
    // the outer ones reaching past the edge onto the edge pixel.
    for (bool column : {false, true}) {
        EXPECT_EQ(ResizeLine(ImageDepth::Int16, {0, 1000}, 4, column),
                  (std::vector<double>{0, 250, 750, 1000}));
        EXPECT_EQ(ResizeLine(ImageDepth::Float32, {0.5, -1}, 4, column),
                  (std::vector<double>{0.5, 0.125, -0.625, -1}));
    }
}

TEST(Resize, ReducingAveragesOverATriangleTwiceAsWide) {
    // Halving: a triangle of radius 2 around 0.5 and 2.5 gives the taps 1/8, 3/8, 3/8, 1/8,
    // the outer ones clamped to the edge pixel.
    for (bool column : {false, true}) {
        EXPECT_EQ(ResizeLine(ImageDepth::Int16, {0, 800, 1600, 2400}, 2, column),
                  (std::vector<double>{500, 1900}));
        EXPECT_EQ(ResizeLine(ImageDepth::Float32, {0, 0.25, 0.5, 0.75}, 2, column),
                  (std::vector<double>{0.15625, 0.59375}));
    }
    // Integer results are rounded: the edge pixel's 3/8 + 1/8 of 1 is 0.5, which rounds up;
    // 1/8 and 3/8 of 1 round down.
    EXPECT_EQ(ResizeLine(ImageDepth::Int16, {0, 0, 0, 1}, 2, false), (std::vector<double>{0, 1}));
    EXPECT_EQ(ResizeLine(ImageDepth::Int16, {0, 0, 1, 0}, 2, false), (std::vector<double>{0, 0}));
}

// The wide resize (AVX-512, where the processor has it) gives the portable resize's values
// on both depths, reducing and enlarging, for widths that leave pixels past the last whole
// vector, and for float values outside 0..1, infinities and NaN of both signs.
TEST(Resize, WideResizeEqualsPortableResize) {
    for (ImageDepth d : test::kDepths) {
        auto img = test::NoiseImage(70, 45, d, 9);
        if (d == ImageDepth::Float32) {
            const double odd[] = {std::nan(""), -std::nan(""), INFINITY, -INFINITY, -0.0, -3.0};
            for (int i = 0; i < 6; ++i) test::Set(*img, 11 * i + 3, 7 * i + 2, i % 4, odd[i]);
        }
        const std::pair<int, int> sizes[] = {{23, 15}, {70, 44},  {9, 9},
                                             {1, 3},   {141, 97}, {37, 60}};
        std::vector<std::unique_ptr<Image>> out;
        test::OnEachWorker([&] {
            for (auto [w, h] : sizes) out.emplace_back(img->ResizeOfImage(w, h));
        });
        ASSERT_EQ(out.size(), 2 * std::size(sizes));
        for (std::size_t i = 0; i < std::size(sizes); ++i)
            EXPECT_TRUE(test::SameImage(*out[i], *out[i + std::size(sizes)]));
    }
}

// A part of a resize holds, pixel for pixel, what the whole resize holds there: on both
// depths and both paths, enlarging and reducing, square and not, with odd float values.
TEST(Resize, APartEqualsTheSameRectangleOfTheWhole) {
    struct Part {
        int width, height, x, y, w, h;
    };
    const Part parts[] = {{141, 97, 0, 0, 141, 97},
                          {141, 97, 30, 11, 40, 9},
                          {300, 300, 120, 120, 17, 17},
                          {23, 15, 22, 14, 1, 1},
                          {9, 200, 3, 150, 6, 50}};
    for (ImageDepth d : test::kDepths) {
        auto img = test::NoiseImage(70, 45, d, 10);
        auto square = test::NoiseImage(40, 40, d, 11);
        if (d == ImageDepth::Float32)
            for (int i = 0; i < 4; ++i)
                test::Set(*img, 9 * i + 5, 6 * i + 1, i, i % 2 ? INFINITY : std::nan(""));
        test::OnEachWorker([&] {
            for (const Part& p : parts) {
                const Image& from = p.width == p.height ? *square : *img;
                const TagList size{{tag::ResizeWidth, p.width}, {tag::ResizeHeight, p.height}};
                std::unique_ptr<Image> whole(from.ResizeOfImage(size));
                std::unique_ptr<Image> part(from.ResizeOfImage(size, p.x, p.y, p.w, p.h));
                ASSERT_EQ(part->Width(), p.w);
                ASSERT_EQ(part->Height(), p.h);
                for (int y = 0; y < p.h; ++y)
                    for (int x = 0; x < p.w; ++x)
                        for (int c = 0; c < 4; ++c) {
                            const double a = test::At(*part, x, y, c);
                            const double b = test::At(*whole, p.x + x, p.y + y, c);
                            ASSERT_TRUE(a == b || (std::isnan(a) && std::isnan(b)))
                                << p.width << "x" << p.height << " at " << x << "," << y;
                        }
            }
        });
    }
    auto img = test::NoiseImage(8, 8, ImageDepth::Int16, 12);
    const TagList size{{tag::ResizeWidth, 20}, {tag::ResizeHeight, 10}};
    EXPECT_THROW(img->ResizeOfImage(size, 15, 0, 6, 10), HostError);
    EXPECT_THROW(img->ResizeOfImage(size, -1, 0, 5, 5), HostError);
    EXPECT_THROW(img->ResizeOfImage(size, 0, 0, 0, 5), HostError);
}

// ---- Merge ---------------------------------------------------------------------------

TEST(Merge, OverIsComputedInUnitsAcrossDepths) {
    // out = src + dst * (1 - src alpha): 0.25 + 40000/65535 * 0.5 -> 36383.75 -> 36384.
    auto dst = test::MakeImage(1, 1, ImageDepth::Int16, [](int, int, int c) {
        return c == 0 ? 40000.0 : (c == 3 ? 65535.0 : 0.0);
    });
    auto src = test::MakeImage(1, 1, ImageDepth::Float32, [](int, int, int c) {
        return c == 0 ? 0.25 : (c == 3 ? 0.5 : (c == 1 ? -0.25 : 0.0));
    });
    dst->OXMerge(*src, 0, 0);
    EXPECT_EQ(test::At(*dst, 0, 0, 0), 36384);
    EXPECT_EQ(test::At(*dst, 0, 0, 1), 0); // -0.25 + 0 held at 0
    EXPECT_EQ(test::At(*dst, 0, 0, 3), 65535);
    // On a float image nothing is held: 0.5 + 2 * (1 - 0.5) = 1.5.
    auto fdst = test::MakeImage(1, 1, ImageDepth::Float32, [](int, int, int) { return 2.0; });
    auto fsrc = test::MakeImage(1, 1, ImageDepth::Float32, [](int, int, int) { return 0.5; });
    fdst->OXMerge(*fsrc, 0, 0);
    EXPECT_EQ(test::At(*fdst, 0, 0, 0), 1.5);
}

// ---- Blur ----------------------------------------------------------------------------

TEST(Blur, ThreeBoxPassesSpreadAnImpulseOverSevenPixels) {
    // A standard deviation of sqrt(2) pixels gives boxes of radius 1; three of them turn
    // an impulse into 1, 3, 6, 7, 6, 3, 1 (/ 27). Blue is off and keeps its values.
    constexpr int w = 11;
    auto in = test::MakeImage(w, 2, ImageDepth::Float32, [](int x, int, int c) {
        return x == 5 ? (c == 2 ? 9.0 : 1.0) : 0.0;
    });
    const auto out = qrvx::MakeImage(w, 2, ImageDepth::Float32);
    in->ImageBlur(out.get(), 4, true, true, false, true, std::sqrt(2.0) / w, 0.0);
    const double weights[w] = {0, 0, 1, 3, 6, 7, 6, 3, 1, 0, 0};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < w; ++x) {
            EXPECT_NEAR(test::At(*out, x, y, 0), weights[x] / 27, 1e-6) << x;
            EXPECT_NEAR(test::At(*out, x, y, 3), weights[x] / 27, 1e-6) << x;
            EXPECT_EQ(test::At(*out, x, y, 2), x == 5 ? 9.0 : 0.0);
        }
}

} // namespace
