// The stand-in host and the frame: declarations, values and notification, images and
// their operations, the pixel cursor, worker runs, plug-in loading and registration.
#include "frame/random.h"
#include "frame/tool.h"
#include "support.h"

#include <atomic>
#include <cmath>
#include <cstdint>
#include <set>

namespace {

// A small tool declared with the frame's helpers; it counts notifications and hides
// "Level" whenever "Mode" is set to 1.
class Probe : public ThreadedOperator {
public:
    Probe(Registry* r, ScriptVal& s, TagList& t) : ThreadedOperator(r, s, t) {
        input = frame::ImageIn(*this, "Input");
        AddControlPage("Page A");
        on = frame::Checkbox(*this, "On", "On", 1.0, {.rowShare = 0.25});
        mode = frame::Combo(*this, "Mode", "Mode", {"first", "second"}, 0, {.notify = true});
        AddControlPage("Page B");
        level =
            frame::Slider(*this, "LevelId", "Level", 0.5, {0, 1}, {.allowed = frame::Range{0, 2}});
        centre = frame::Offset(*this, "Centre", "Centre");
        count = frame::Screw(*this, "Count", "Count", 3, {1, 255},
                             {.allowed = frame::Range{1, 255}, .whole = true});
        output = frame::ImageOut(*this);
    }
    void NotifyChanged(Input* in, Parameter* v, double t, TagList* tags) override {
        ++notified;
        if (in == mode && v) level->SetAttrs(tag::Visible, frame::Num(mode, nullptr) == 1 ? 0 : 1);
        ThreadedOperator::NotifyChanged(in, v, t, tags);
    }
    void Process(Request*) override {}
    Input *input, *on, *mode, *level, *centre, *count;
    Output* output;
    int notified = 0;
};

TEST(Declarations, KeepOrderPagesAndEveryTag) {
    Registry entry(ClassRegistry::List(), "Test.Probe", {});
    ScriptVal s;
    TagList t;
    Probe p(&entry, s, t);
    std::vector<std::string> ids;
    for (const auto& in : p.Inputs()) ids.push_back(in->Decl().id);
    EXPECT_EQ(ids, (std::vector<std::string>{"Input", "On", "Mode", "LevelId", "Centre", "Count"}));

    const InputDecl& level = p.level->Decl();
    EXPECT_EQ(level.page, "Page B");
    EXPECT_EQ(level.name, "Level");
    EXPECT_EQ(level.kind, "SliderControl");
    EXPECT_EQ(level.dataType, "Number");
    EXPECT_EQ(*level.shownHigh, 1.0);
    EXPECT_EQ(*level.allowedHigh, 2.0);
    EXPECT_EQ(*level.defaultValue, 0.5);
    EXPECT_EQ(p.input->Decl().page, "");
    EXPECT_EQ(p.input->Decl().linkNumber, 1);
    EXPECT_EQ(*p.on->Decl().rowShare, 0.25);
    EXPECT_TRUE(p.count->Decl().wholeNumbers);
    EXPECT_EQ(p.centre->Decl().previewKind, "CrosshairControl");

    // The combo's notification tag stands before and after its entries.
    std::vector<tag::Id> order;
    for (const auto& item : p.mode->Decl().tags) order.push_back(item.id);
    auto first = std::find(order.begin(), order.end(), tag::NotifyOnChange);
    auto entry0 = std::find(order.begin(), order.end(), tag::ComboEntry);
    EXPECT_LT(first, entry0);
    EXPECT_EQ(order.back(), tag::NotifyOnChange);
    EXPECT_EQ(p.mode->Decl().comboEntries, (std::vector<std::string>{"first", "second"}));
    ClassRegistry::List().Unlink(&entry);
}

TEST(Values, SetThroughNotificationAndPointsStartAtCentre) {
    Registry entry(ClassRegistry::List(), "Test.Probe", {});
    ScriptVal s;
    TagList t;
    Probe p(&entry, s, t);
    EXPECT_EQ(frame::Num(p.level, nullptr), 0.5);
    Point c = frame::PointAt(p.centre, nullptr);
    EXPECT_EQ(c.X, 0.5);
    EXPECT_EQ(c.Y, 0.5);

    p.mode->SetValue(AutoNumber(1));
    EXPECT_EQ(p.notified, 1);
    EXPECT_FALSE(p.level->IsVisible());
    p.on->SetValue(AutoNumber(0.5)); // another input: visibility unchanged, still notified
    EXPECT_EQ(p.notified, 2);
    EXPECT_FALSE(p.level->IsVisible());
    EXPECT_TRUE(frame::On(p.on, nullptr));
    p.on->SetValue(AutoNumber(-1));
    EXPECT_FALSE(frame::On(p.on, nullptr));

    p.centre->SetValue(AutoParameter(new Point(0.25, 1.5, 0)));
    c = frame::PointAt(p.centre, nullptr);
    EXPECT_EQ(c.X, 0.25);
    EXPECT_EQ(c.Y, 1.5);
    EXPECT_THROW(p.centre->SetValue(AutoNumber(1)), HostError);

    p.count->SetValue(AutoNumber(-2.7));
    EXPECT_EQ(frame::Whole(p.count, nullptr), -2);
    p.count->SetValue(AutoNumber(1e300));
    EXPECT_EQ(frame::Whole(p.count, nullptr), INT_MAX);
    ClassRegistry::List().Unlink(&entry);
}

TEST(Cursor, ReadsAndWritesBothDepths) {
    for (ImageDepth d : test::kDepths) {
        Image img(5, 3, d);
        img.Fill(FltPixel{});
        if (d == ImageDepth::Float32) {
            frame::PixelCursor<FltPixel> cur(img, 0, 0);
            cur.Write(2, 1, FltPixel{.B = -0.5f, .G = 2.5f, .R = 1.0f, .A = 0.25f});
            FltPixel p;
            cur.Read(2, 1, p);
            EXPECT_EQ(p.B, -0.5f); // values outside 0..1 pass unchanged
            EXPECT_EQ(p.G, 2.5f);
            EXPECT_EQ(img.Row<float>(1)[2 * 4 + frame::kR], 1.0f);
            // Sequential forms step one pixel.
            frame::PixelCursor<FltPixel> seq(img, 1, 1);
            seq.Read(p);
            seq.Read(p);
            EXPECT_EQ(p.G, 2.5f);
            EXPECT_EQ(seq.Position(), img.Row<float>(1) + 3 * 4);
        } else {
            frame::PixelCursor<IntPixel> cur(img, 0, 0);
            cur.Write(4, 2, IntPixel{.B = 70000, .G = -5, .R = 65535, .A = 12});
            IntPixel p;
            cur.Read(4, 2, p);
            EXPECT_EQ(p.B, 65535);
            EXPECT_EQ(p.G, 0);
            EXPECT_EQ(p.R, 65535);
            EXPECT_EQ(p.A, 12);
            frame::PixelCursor<IntPixel> seq(img, 0, 2);
            seq.Write(IntPixel{.B = 1, .G = 2, .R = 3, .A = 4});
            seq.Write(IntPixel{.B = 5, .G = 6, .R = 7, .A = 8});
            EXPECT_EQ(img.Row<std::uint16_t>(2)[4 + frame::kR], 7);
            EXPECT_EQ(img.Row<std::uint16_t>(2)[frame::kB], 1);
        }
    }
}

TEST(Cursor, StoreTruncatesAndClampsIntegersOnly) {
    using U = frame::Depth<std::uint16_t>;
    EXPECT_EQ(U::Store(-0.5), 0);
    EXPECT_EQ(U::Store(0.99), 0);
    EXPECT_EQ(U::Store(1.99), 1);
    EXPECT_EQ(U::Store(65534.9), 65534);
    EXPECT_EQ(U::Store(65535.0), 65535);
    EXPECT_EQ(U::Store(1e300), 65535);
    EXPECT_EQ(U::Store(std::nan("")), 0);
    EXPECT_EQ(U::StoreInt(-1), 0);
    EXPECT_EQ(U::StoreInt(70000), 65535);
    using F = frame::Depth<float>;
    EXPECT_EQ(F::Store(-0.5), -0.5f);
    EXPECT_EQ(F::Store(2.25), 2.25f);
}

TEST(Images, NewImageTagsAndLimits) {
    Image like(7, 4, ImageDepth::Float32);
    std::unique_ptr<Image> a(NewImage({{tag::ImgTemplate, static_cast<const void*>(&like)}}));
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
        NewImage({{tag::ImgTemplate, static_cast<const void*>(&like)}, {tag::ImgHeight, 11}}));
    EXPECT_EQ(c->Height(), 11);
    EXPECT_EQ(c->Width(), 7); // the template's width where only the height is given
    EXPECT_EQ(a->RowBytes() % 64, 0);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a->RowTable()[1]) % 64, 0u);

    EXPECT_THROW(Image(0, 5, ImageDepth::Int16), HostError);
    EXPECT_THROW(Image(5, -1, ImageDepth::Int16), HostError);
    EXPECT_THROW(NewImage({{tag::ImgContext, 1}, {tag::ImgWidth, 1LL << 40}, {tag::ImgHeight, 1}}),
                 HostError);
    const auto limit = MaxImagePixels();
    SetMaxImagePixels(100);
    EXPECT_THROW(Image(11, 10, ImageDepth::Int16), HostError);
    EXPECT_NO_THROW(Image(10, 10, ImageDepth::Int16));
    SetMaxImagePixels(limit);
}

TEST(Images, PoolReusesMemoryOfTheSameSize) {
    void* first;
    {
        Image a(640, 480, ImageDepth::Int16);
        first = a.RowTable()[0];
    }
    Image b(640, 480, ImageDepth::Int16);
    EXPECT_EQ(b.RowTable()[0], first);
}

TEST(Images, FillCopyAndResize) {
    for (ImageDepth d : test::kDepths) {
        Image img(8, 6, d);
        img.Fill(FltPixel{.B = 0.25f, .G = 0.5f, .R = 1.0f, .A = 0.0f});
        std::unique_ptr<Image> copy(img.CopyOfImage());
        EXPECT_TRUE(test::SameImage(img, *copy));
        EXPECT_EQ(test::At(*copy, 7, 5, 0), d == ImageDepth::Float32 ? 1.0 : 65535.0);

        for (auto [w, h] : {std::pair{4, 3}, {16, 12}, {1, 1}, {13, 2}}) {
            std::unique_ptr<Image> r(img.ResizeOfImage(w, h));
            EXPECT_EQ(r->Width(), w);
            EXPECT_EQ(r->Height(), h);
            EXPECT_EQ(r->Depth(), d);
            // A constant image stays constant under resampling.
            EXPECT_NEAR(test::At(*r, w - 1, h - 1, 2), test::At(img, 0, 0, 2),
                        1e-4 * test::At(img, 0, 0, 2) + 1);
        }
        std::unique_ptr<Image> t(
            img.ResizeOfImage({{tag::ResizeWidth, 3}, {tag::ResizeFilter, 3}}));
        EXPECT_EQ(t->Width(), 3);
        EXPECT_EQ(t->Height(), 6);
    }
}

TEST(Images, MergeClipsAtAllFourEdges) {
    for (ImageDepth d : test::kDepths) {
        const double full = d == ImageDepth::Float32 ? 1.0 : 65535.0;
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

TEST(Images, BlurIsIdentityAtZeroAndSmoothsAboveIt) {
    for (ImageDepth d : test::kDepths) {
        auto img = test::NoiseImage(40, 30, d, 3);
        Image out(40, 30, d);
        img->ImageBlur(&out, 4, true, true, true, true, 0.0, 0.0, 1.0, 1.0);
        EXPECT_TRUE(test::SameImage(*img, out));

        img->ImageBlur(&out, 4, true, true, true, false, 0.1, 0.1, 1.0, 1.0);
        double spreadIn = 0, spreadOut = 0;
        for (int x = 1; x < 40; ++x) {
            spreadIn += std::abs(test::At(*img, x, 15, 0) - test::At(*img, x - 1, 15, 0));
            spreadOut += std::abs(test::At(out, x, 15, 0) - test::At(out, x - 1, 15, 0));
        }
        EXPECT_LT(spreadOut, spreadIn / 4);
        EXPECT_EQ(test::At(out, 7, 9, 3), test::At(*img, 7, 9, 3)); // alpha off: unchanged
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
        Image out(w, h, ImageDepth::Float32);
        img->ImageBlur(&out, 4, true, true, true, true, size, size, 1.0, 1.0);
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
            EXPECT_NEAR(test::At(out, px, py, 0), acc / weights, 0.02)
                << "size " << size << " at " << px << "," << py;
        }
        for (int y = 0; y < h; y += 7)
            for (int x = 0; x < w; x += 7) ASSERT_NEAR(test::At(out, x, y, 3), 1.0, 1e-4);
    }
}

TEST(Threads, EveryIndexRunsOnceOnAnyThreadCount) {
    struct Counter : ThreadedOperator {
        using ThreadedOperator::ThreadedOperator;
        void Process(Request*) override {}
        void ProcessSlice(Request*, long i) override { hits[std::size_t(i)]++; }
        std::vector<std::atomic<int>> hits = std::vector<std::atomic<int>>(1000);
    };
    Registry entry(ClassRegistry::List(), "Test.Counter", {});
    ScriptVal s;
    TagList t;
    for (int threads : {1, 2, 0}) {
        SetThreadCount(threads);
        Counter c(&entry, s, t);
        for (long n : {0L, 1L, 7L, 1000L}) {
            for (auto& h : c.hits) h = 0;
            c.DoMultiProcess(nullptr, n);
            for (long i = 0; i < 1000; ++i) ASSERT_EQ(c.hits[std::size_t(i)], i < n ? 1 : 0);
        }
    }
    SetThreadCount(0);
    ClassRegistry::List().Unlink(&entry);
}

TEST(Plugins, LoadingLinksOneEntryAndUnloadingRemovesIt) {
    const auto before = ClassRegistry::List().Entries().size();
    {
        auto plugin = qrvx::Plugin::Load(std::string(QRVX_PLUGIN_DIR) + "/QRVX_ChannelShift.so");
        ASSERT_EQ(plugin->Entries().size(), 1u);
        EXPECT_EQ(ClassRegistry::List().Entries().size(), before + 1);
        const Registry& e = *plugin->Entries()[0];
        EXPECT_EQ(e.ID().Text(), "Quorvane.QRVX_ChannelShift");
        EXPECT_EQ(e.Texts(tag::RegVersionText),
                  (std::vector<std::string>{"Built: Dec 19 2005", "V0.9 public Beta"}));
        EXPECT_EQ(e.Number(tag::RegTileBitmap), 343);
        EXPECT_EQ(e.Text(tag::RegShortName), "ChSh");
        // The entry's tags stand in the host's order.
        std::vector<tag::Id> order;
        for (const auto& item : e.Tags()) order.push_back(item.id);
        EXPECT_EQ(order,
                  (std::vector<tag::Id>{
                      tag::RegInit, tag::RegCleanup, tag::RegVersion, tag::RegVersionText,
                      tag::RegParentClass, tag::RegScriptInfo, tag::RegFactory, tag::RegTileBitmap,
                      tag::RegCompany, tag::RegDisplayName, tag::RegShortName, tag::RegScriptName,
                      tag::RegHelp, tag::RegVersionText, tag::RegMaker, tag::RegWebAddress}));
        EXPECT_STREQ(plugin->Resources().fileVersion, "0.9.0.0");
        EXPECT_EQ(plugin->Resources().tilePixels, nullptr);
    }
    EXPECT_EQ(ClassRegistry::List().Entries().size(), before);
    EXPECT_THROW(qrvx::Plugin::Load("/nonexistent/QRVX_None.so"), HostError);
}

TEST(Render, RefusesWithoutAnInputImage) {
    auto t = test::Load("ChannelShift");
    try {
        t->Render();
        FAIL() << "rendered without an input";
    } catch (const HostError& e) {
        EXPECT_NE(std::string(e.what()).find("Input"), std::string::npos);
    }
    EXPECT_THROW(t->SetNumber("Nope", 1), HostError);
}

} // namespace

// The generator's first draws for seed 1 are those of the classic C runtime generator.
TEST(Random, DrawsFollowTheClassicGenerator) {
    frame::Random rng(1);
    for (std::uint32_t expected : {41u, 18467u, 6334u, 26500u, 19169u})
        EXPECT_EQ(rng.Draw(), expected);
}

TEST(Random, ChoiceStaysInTheListForAnyRange) {
    frame::Random rng(7);
    // A single position with no tolerance always gives it.
    for (int i = 0; i < 50; ++i) EXPECT_EQ(frame::ChoosePosition(rng, 3, 3, 0, 5), 2);
    // Reversed ends are swapped; extreme ends and negative tolerances stay in the list.
    for (int i = 0; i < 200; ++i) {
        const int p = frame::ChoosePosition(rng, 4, 2, 0, 10);
        EXPECT_TRUE(p >= 1 && p <= 3) << p;
        const int q = frame::ChoosePosition(rng, INT32_MIN, INT32_MAX, -5, 4);
        EXPECT_TRUE(q >= 0 && q <= 3) << q;
        const int r = frame::ChoosePosition(rng, 1, 20, INT32_MAX, 6);
        EXPECT_TRUE(r >= 0 && r <= 5) << r;
    }
}
