// The command's parsers and its output files, against their sources: frame lists, control
// values from -s and settings files, the excerpts that messages echo, and the temporary
// files beside a target. Large inputs here were slow before they were bounded or read in
// one pass; each now finishes at once.
#include "app/errors.h"
#include "app/image_io.h"
#include "app/output_file.h"
#include "app/sequence.h"
#include "app/settings.h"
#include "app/text.h"
#include "support.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using app::UsageError;
using Frames = std::vector<int>;

// The message of the UsageError that f throws, or "" when it throws none.
template <class F>
std::string UsageMessage(F f) {
    try {
        f();
    } catch (const UsageError& e) {
        return e.what();
    }
    return "";
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// ---- Frame lists -----------------------------------------------------------------------

TEST(FrameList, ItemsComeInTheOrderWritten) {
    EXPECT_EQ(app::ParseFrames("1-5"), (Frames{1, 2, 3, 4, 5}));
    EXPECT_EQ(app::ParseFrames("5-1"), (Frames{5, 4, 3, 2, 1}));
    EXPECT_EQ(app::ParseFrames("1-10x3"), (Frames{1, 4, 7, 10}));
    EXPECT_EQ(app::ParseFrames("10-1x4"), (Frames{10, 6, 2}));
    EXPECT_EQ(app::ParseFrames("1-7y3"), (Frames{2, 3, 5, 6}));
    EXPECT_EQ(app::ParseFrames("9,0,3-4"), (Frames{9, 0, 3, 4}));
    EXPECT_EQ(app::ParseFrames("7"), (Frames{7}));
}

TEST(FrameList, MalformedListsAndStepsBelowOneAreRefused) {
    for (const char* text :
         {"", ",", "1,,2", "1-", "-1", "1-5x", "1-5z2", "1-5x2x2", "a", "1 -5", "+1"})
        EXPECT_TRUE(Contains(UsageMessage([&] { app::ParseFrames(text); }), "not a frame list"))
            << text;
    for (const char* text : {"1-5x0", "1-5x-1", "1-5y0"})
        EXPECT_TRUE(
            Contains(UsageMessage([&] { app::ParseFrames(text); }), "step must be 1 or more"))
            << text;
    EXPECT_TRUE(Contains(UsageMessage([] { app::ParseFrames("1-5y1"); }), "selects no frames"));
}

TEST(FrameList, HugeRangesAreRefusedBeforeAnyFrameIsListed) {
    // Once listed frame by frame: the first grew without end, the second took seconds.
    EXPECT_TRUE(Contains(UsageMessage([] { app::ParseFrames("1-99999999999"); }), "99999999999"));
    EXPECT_TRUE(Contains(UsageMessage([] { app::ParseFrames("1-100000000"); }), "1000000 frames"));
    EXPECT_TRUE(Contains(UsageMessage([] { app::ParseFrames("5,0-1000000"); }), "1000000 frames"));
    EXPECT_TRUE(Contains(UsageMessage([] { app::ParseFrames("3000000000"); }), "3000000000"));
    // The most a render takes; an item that selects nothing costs nothing however long.
    EXPECT_EQ(app::ParseFrames("1-1000000").size(), std::size_t(app::kMaxFrames));
    EXPECT_EQ(app::ParseFrames("4,0-2000000000y1"), (Frames{4}));
    EXPECT_EQ(app::ParseFrames("2147483647"), (Frames{2147483647}));
}

// Each form of frame number, as artists, oiiotool, printf and Houdini write it.
TEST(PathPattern, EveryFormPadsToItsDigits) {
    const std::vector<std::tuple<const char*, int, const char*>> forms = {
        {"a.#.png", 4, "a.0007.png"},
        {"a.##.png", 2, "a.07.png"},
        {"a.####.png", 4, "a.0007.png"},
        {"a.######.png", 6, "a.000007.png"},
        {"a.@.png", 1, "a.7.png"},
        {"a.@@@.png", 3, "a.007.png"},
        {"a.%04d.png", 4, "a.0007.png"},
        {"a.%d.png", 1, "a.7.png"},
        {"a.%3d.png", 3, "a.  7.png"},
        {"a.$F4.png", 4, "a.0007.png"},
        {"a.$F.png", 1, "a.7.png"},
        {"$FPS/a.$F2.png", 2, "$FPS/a.07.png"},
        {"shot_##/a.png", 2, "shot_07/a.png"}};
    for (const auto& [text, digits, seven] : forms) {
        const app::PathPattern p(text, false);
        EXPECT_TRUE(p.IsSequence()) << text;
        EXPECT_EQ(p.Padding(), digits) << text;
        EXPECT_EQ(p.Frame(7), seven) << text;
    }
    // Padding is the least number of digits.
    EXPECT_EQ(app::PathPattern("a.####.png", false).Frame(12345), "a.12345.png");
    EXPECT_EQ(app::PathPattern("a.$F2.png", false).Frame(1001), "a.1001.png");
    // A frame list before the frame number belongs to the pattern.
    const app::PathPattern listed("a.1-10x2####.png", false);
    EXPECT_EQ(listed.EmbeddedFrames(), "1-10x2");
    EXPECT_EQ(listed.Frame(3), "a.0003.png");
    EXPECT_EQ(app::PathPattern("a-#.png", false).Frame(3), "a-0003.png");
    // The list stands in the file name, and a long name is read at once.
    EXPECT_EQ(app::PathPattern("x/1-10#.png", false).EmbeddedFrames(), "1-10");
    std::string many;
    for (int i = 0; i < 100000; ++i) many += "1,";
    EXPECT_EQ(app::PathPattern(many + "1#.png", false).EmbeddedFrames(), "");
    EXPECT_FALSE(app::PathPattern("a.$FPS.png", false).IsSequence());
    // The viewer names what it finds by the same rule.
    for (int d = 1; d <= 12; ++d)
        EXPECT_EQ(app::PathPattern("a." + app::FrameMark(d) + ".png", false).Padding(), d) << d;
}

TEST(PathPattern, TwoFrameNumbersOrTooManyDigitsAreRefused) {
    for (const std::string& path :
         std::vector<std::string>{"a#b#.png", "a.$F4.#.png", "a.#@.png", "a.$F100.png",
                                  "a.%0100d.png", "a." + std::string(100, '#') + ".png"})
        EXPECT_TRUE(Contains(UsageMessage([&] { app::PathPattern(path, false); }),
                             "not a usable frame pattern"))
            << path;
}

class Sequences : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qrvx_seq_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { fs::remove_all(m_dir); }
    void Touch(const std::string& name) const {
        fs::create_directories((m_dir / name).parent_path());
        std::ofstream(m_dir / name) << "x";
    }
    app::PathPattern In(const std::string& pattern) const {
        return app::PathPattern((m_dir / pattern).string(), false);
    }
    fs::path m_dir;
};

// A pattern finds exactly the names it would write: other paddings are other sequences.
TEST_F(Sequences, APatternFindsTheNamesItWrites) {
    for (const char* name : {"a.0001.png", "a.0002.png", "a.12345.png", "a.01003.png", "a.7.png",
                             "a.x.png", "b.0001.png", "shot_01/p.png", "shot_02/q.png"})
        Touch(name);
    EXPECT_EQ(In("a.####.png").FramesOnDisk(), (Frames{1, 2, 12345}));
    EXPECT_EQ(In("a.#.png").FramesOnDisk(), (Frames{1, 2, 12345}));
    EXPECT_EQ(In("a.$F4.png").FramesOnDisk(), (Frames{1, 2, 12345}));
    EXPECT_EQ(In("a.#####.png").FramesOnDisk(), (Frames{1003, 12345}));
    EXPECT_EQ(In("a.$F.png").FramesOnDisk(), (Frames{7, 12345}));
    EXPECT_EQ(In("shot_##/p.png").FramesOnDisk(), (Frames{1}));
    EXPECT_EQ(In("c.####.png").FramesOnDisk(), (Frames{}));
}

TEST_F(Sequences, NoMatchNamesThePatternItsPaddingAndANearMiss) {
    Touch("a.0001.png");
    const std::string none = In("c.###.png").NoFilesMessage();
    EXPECT_TRUE(Contains(none, "c.###.png matches no files")) << none;
    EXPECT_TRUE(Contains(none, "3-digit frame numbers, as in " + In("c.###.png").Frame(1))) << none;
    const std::string near = In("a.##.png").NoFilesMessage();
    EXPECT_TRUE(Contains(near, "a.0001.png has 4 digits, which " + (m_dir / "a.####.png").string() +
                                   " reads"))
        << near;
    EXPECT_TRUE(Contains(In("a.$F.png").NoFilesMessage(), "frame numbers without padding"));
}

// ---- Excerpts --------------------------------------------------------------------------

TEST(PathPattern, OneFrameNumberPerPathAndPercentSignsOtherwiseKept) {
    EXPECT_EQ(app::PathPattern("a.#.png", false).Frame(7), "a.0007.png");
    EXPECT_EQ(app::PathPattern("a.@@@.png", false).Frame(7), "a.007.png");
    EXPECT_EQ(app::PathPattern("a.%03d.png", false).Frame(7), "a.007.png");
    EXPECT_FALSE(app::PathPattern("50%.png", false).IsSequence());
    EXPECT_FALSE(app::PathPattern("a.%s.png", false).IsSequence());
    // Each of these once reached the name formatter: an abort, or 100 million digits.
    for (const char* path : {"a.%0m@.png", "a.%099999999d.png", "a.#.%d.png", "a.%d%d.png"})
        EXPECT_TRUE(Contains(UsageMessage([&] { app::PathPattern(path, false); }),
                             "not a usable frame pattern"))
            << path;
}

TEST(Excerpt, LongOrControlTextIsCutToOneShortLine) {
    EXPECT_EQ(app::Excerpt("plain"), "plain");
    EXPECT_EQ(app::Excerpt(std::string(80, 'a')), std::string(80, 'a'));
    EXPECT_EQ(app::Excerpt(std::string(100000, 'a')), std::string(80, 'a') + "...");
    EXPECT_EQ(app::Excerpt("a\nb\tc\x01"), "a\\nb\\tc\\x01");
    // Cut between characters, never inside one: 81 two-byte letters keep 80.
    std::string accents;
    for (int i = 0; i < 81; ++i) accents += "\xC3\xA9";
    EXPECT_EQ(app::Excerpt(accents), accents.substr(0, 160) + "...");
}

// ---- Control values --------------------------------------------------------------------

// Files in a fresh folder, removed with it.
class Settings : public test::InTempFolder {
protected:
    std::string File(const std::string& text, const std::string& name = "s.json") const {
        const std::string path = P(name);
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
};

TEST(ControlValue, ValuesFarOutsideTheShownRangeAreRefused) {
    test::LoadedTool rangeMap = test::Load("RangeMap"), shift = test::Load("ChannelShift");
    auto set = [](test::LoadedTool& t, const std::string& assignment) {
        return UsageMessage([&] { app::ApplyAssignment(*t.tool, assignment); });
    };
    // Shown 0 to 1: -1000 to 1001; shown 0 to 5: -5000 to 5005.
    EXPECT_EQ(set(rangeMap, "R1Output Region End=1001"), "");
    EXPECT_EQ(set(rangeMap, "R1Output Region End=-1000"), "");
    EXPECT_EQ(set(rangeMap, "R2Input Region Start=5005"), "");
    for (const char* bad : {"R1Output Region End=1e308", "R1Output Region End=1001.5",
                            "R2Input Region Start=-5000.5", "Red=-1001"})
        EXPECT_TRUE(Contains(set(rangeMap, bad), "too far outside")) << bad;
    // A point's coordinates: 0 to 1 spans the image.
    EXPECT_EQ(set(shift, "Center Red=-1000,1001"), "");
    EXPECT_TRUE(Contains(set(shift, "Center Red=1e308,1e308"), "-1000 to 1001"));
    EXPECT_TRUE(Contains(set(shift, "Center Red=0.5,1002"), "too far outside the image"));
    // Nothing refused was set.
    EXPECT_EQ(app::CurrentValue(shift->FindInput("Center Red")),
              (app::ControlValue{true, -1000, 1001}));
}

TEST(ControlValue, MessagesEchoAtMost80CharactersOfWhatWasTyped) {
    test::LoadedTool shift = test::Load("ChannelShift");
    const std::string huge(100000, '7');
    for (const std::string& assignment : {"Red=" + huge, "Center Red=" + huge, huge + "=1", huge}) {
        const std::string message =
            UsageMessage([&] { app::ApplyAssignment(*shift.tool, assignment); });
        EXPECT_TRUE(Contains(message, std::string(80, '7') + "...")) << message.substr(0, 200);
        EXPECT_LT(message.size(), 200u);
    }
}

TEST_F(Settings, ReadingStopsAtTheFirstUnknownControl) {
    test::LoadedTool shift = test::Load("ChannelShift");
    // 100000 unknown keys took 15 s when the whole file was read into an ordered object.
    std::string text = R"({"controls": {"Red": 0)";
    for (int i = 0; i < 100000; ++i) text += ", \"k" + std::to_string(i) + "\": 1";
    const std::string path = File(text + "}}");
    const std::string message = UsageMessage([&] { app::LoadSettings(*shift.tool, path); });
    EXPECT_TRUE(Contains(message, "no control \"k0\"")) << message;
    EXPECT_EQ(app::CurrentValue(shift->FindInput("Red")).x, 1.0); // nothing was set
}

TEST_F(Settings, LargeSkippedKeysAreReadInOnePass) {
    test::LoadedTool shift = test::Load("ChannelShift");
    std::string notes = "{";
    for (int i = 0; i < 100000; ++i)
        notes += (i ? ", \"n" : "\"n") + std::to_string(i) + "\": [1, {\"a\": []}]";
    const std::string path = File(R"({"tool": "ChannelShift", "notes": )" + notes +
                                  R"(}, "controls": {"Red": 0, "Center Red": [0.25, 0.75]}})");
    app::LoadSettings(*shift.tool, path);
    EXPECT_EQ(app::CurrentValue(shift->FindInput("Red")).x, 0.0);
    EXPECT_EQ(app::CurrentValue(shift->FindInput("Center Red")),
              (app::ControlValue{true, 0.25, 0.75}));
}

TEST_F(Settings, ValuesOfTheWrongTypeAreRefused) {
    test::LoadedTool warble = test::Load("Warble");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {R"("Red": true)", "is not a number"},
        {R"("Red": "3")", "is not a number"},
        {R"("Red": null)", "is not a number"},
        {R"("Red": [1])", "is not a number"},
        {R"("Red": {"x": 1})", "is not a number"},
        {R"("FormulaXR": "1")", "is not one of \"None\", \"SIN\""},
        {R"("FormulaXR": false)", "is not a number or the text of an entry"},
        {R"("Center_Red": [0.5, true])", "is not a point"},
        {R"("Center_Red": [0.5, 0.5, 0.5])", "is not a point"},
        {R"("Center_Red": [0.5, [0.5]])", "is not a point"},
        {R"("Center_Red": "0.5,0.5")", "is not a point"},
        {R"("Center_Red": [1e308, 0.5])", "too far outside the image"},
        {R"("phaseXR": 2e3)", "too far outside the shown range 0 to 1"},
        {R"("Red": 0, "Red": 1)", "given twice"},
        {R"("Input": 1)", "is an image input"},
    };
    for (const auto& [controls, culprit] : cases) {
        const std::string path = File(R"({"controls": {)" + controls + "}}");
        const std::string message = UsageMessage([&] { app::LoadSettings(*warble.tool, path); });
        EXPECT_TRUE(Contains(message, culprit)) << controls << ": " << message;
        EXPECT_TRUE(Contains(message, path)) << controls << ": " << message;
    }
    // A combo entry by its text, and numbers, are the right types.
    app::LoadSettings(*warble.tool,
                      File(R"({"controls": {"FormulaXR": "cos", "FormulaYR": 3, "Red": 0}})"));
    EXPECT_EQ(app::CurrentValue(warble->FindInput("FormulaXR")).x, 2.0);
    EXPECT_EQ(app::CurrentValue(warble->FindInput("FormulaYR")).x, 3.0);
}

TEST_F(Settings, BadFilesAreNamedInOurOwnWords) {
    test::LoadedTool shift = test::Load("ChannelShift");
    const std::string broken = File("{\n  \"controls\": {\n    \"Red\": tru\n  }\n}");
    std::string message = UsageMessage([&] { app::LoadSettings(*shift.tool, broken); });
    EXPECT_TRUE(Contains(message, broken + " is not valid JSON at line 3, column 15")) << message;
    EXPECT_FALSE(Contains(message, "json.exception")) << message;
    message =
        UsageMessage([&] { app::LoadSettings(*shift.tool, File(R"({"controls": {"Red": 1)")); });
    EXPECT_TRUE(Contains(message, "ends before its JSON is complete (line 1, column 23)"))
        << message;
    for (const char* text : {"[]", "3", R"({"controls": 1})", R"({"tool": "ChannelShift"})"})
        EXPECT_TRUE(Contains(UsageMessage([&] { app::LoadSettings(*shift.tool, File(text)); }),
                             "no \"controls\" object"))
            << text;
    EXPECT_TRUE(Contains(UsageMessage([&] {
                             app::LoadSettings(*shift.tool,
                                               File(R"({"controls": {}, "controls": {}})"));
                         }),
                         "two \"controls\" objects"));
    EXPECT_TRUE(Contains(UsageMessage([&] {
                             app::LoadSettings(*shift.tool,
                                               File(R"({"tool": "Warble", "controls": {}})"));
                         }),
                         "is for \"Warble\", not ChannelShift"));
    // A folder is named as one, as a usage error.
    EXPECT_EQ(UsageMessage([&] { app::LoadSettings(*shift.tool, m_dir.string()); }),
              "settings file " + m_dir.string() + " is a folder");
}

// ---- Output files ----------------------------------------------------------------------

class OutputFile : public Settings {};

// A pid that belonged to a process which has ended.
pid_t EndedPid() {
    const pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

// The temporary name a writer on this machine (or on host) gives its file.
std::string TempName(const std::string& stem, pid_t pid, const std::string& ext,
                     std::string host = "") {
    if (host.empty()) {
        char name[256] = {};
        gethostname(name, sizeof name - 1);
        host = name;
    }
    return "." + stem + ".qrvx-tmp" + host + "-" + std::to_string(pid) + ext;
}

TEST_F(OutputFile, AWriteRemovesTheTemporariesOfKilledWritersOfItsTarget) {
    const pid_t ended = EndedPid();
    const std::string stale = TempName("out", ended, ".json");
    const std::string live = TempName("out", getppid(), ".json");
    const std::string otherTarget = TempName("other", ended, ".json");
    const std::string noExtension = TempName("out", ended, "");
    const std::string otherHost = TempName("out", ended, ".json", "elsewhere-7");
    for (const std::string& name : {stale, live, otherTarget, noExtension, otherHost})
        File("partial", name);
    app::WriteTextFile((m_dir / "out.json").string(), "done");
    app::WriteTextFile((m_dir / "out").string(), "done");
    EXPECT_FALSE(fs::exists(m_dir / stale));
    EXPECT_FALSE(fs::exists(m_dir / noExtension));
    EXPECT_TRUE(fs::exists(m_dir / live));        // its writer may still be at work
    EXPECT_TRUE(fs::exists(m_dir / otherTarget)); // another target's
    EXPECT_TRUE(fs::exists(m_dir / otherHost));   // its pid means nothing here
    std::string text;
    std::ifstream(m_dir / "out.json") >> text;
    EXPECT_EQ(text, "done");
}

TEST_F(OutputFile, ALinkAtTheTargetIsReplacedAndItsFileLeftAlone) {
    File("kept", "target.json");
    fs::create_symlink("target.json", m_dir / "link.json");
    app::WriteTextFile((m_dir / "link.json").string(), "new");
    EXPECT_FALSE(fs::is_symlink(m_dir / "link.json"));
    std::string text;
    std::ifstream(m_dir / "target.json") >> text;
    EXPECT_EQ(text, "kept");
    std::ifstream(m_dir / "link.json") >> text;
    EXPECT_EQ(text, "new");
}

// A link planted where a writer of earlier versions put its temporary file (the name was
// the host and the pid, so anyone could foresee it) made the write go through the link:
// the link's target was overwritten and the output became a link to it. Text, PNG and
// both OpenEXR writers are tried.
TEST_F(OutputFile, ALinkPlantedAtATemporaryNameIsNeverWrittenThrough) {
    auto image = test::NoiseImage(8, 6, ImageDepth::Float32);
    app::WriteImage(*image, (m_dir / "plate.exr").string(), {});
    const app::FileInfo plate = app::ReadInfo((m_dir / "plate.exr").string());
    const std::vector<std::pair<std::string, std::function<void(const std::string&)>>> writers = {
        {"out.json", [](const std::string& p) { app::WriteTextFile(p, "{}"); }},
        {"out.png",
         [&](const std::string& p) { app::WriteImage(*image, p, {.depth = app::Depth::Int16}); }},
        {"oiio.exr", [&](const std::string& p) { app::WriteImage(*image, p, {}); }},
        {"own.exr", [&](const std::string& p) { app::WriteImage(*image, p, {.source = &plate}); }},
    };
    for (const auto& [name, write] : writers) {
        const fs::path target = m_dir / name;
        File("precious", "victim");
        fs::create_symlink(m_dir / "victim", m_dir / TempName(target.stem().string(), getpid(),
                                                              target.extension().string()));
        write(target.string());
        std::string text;
        std::ifstream(m_dir / "victim") >> text;
        EXPECT_EQ(text, "precious") << name;
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target))) << name;
        fs::remove(m_dir / "victim");
    }
}

// The temporary file is made at once under a fresh name, as a regular file; a writer
// that opens it by name finds it replaced by a link at its peril: the commit refuses.
TEST_F(OutputFile, TheTemporaryFileIsFreshAndCheckedBeforeItIsRenamed) {
    const std::string target = (m_dir / "out.json").string();
    app::PendingFile a(target), b(target);
    EXPECT_NE(a.TempPath(), b.TempPath());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(a.TempPath())));
    File("precious", "victim");
    fs::remove(a.TempPath());
    fs::create_symlink(m_dir / "victim", a.TempPath());
    EXPECT_THROW(a.Commit(), app::Failure);
    EXPECT_FALSE(fs::exists(target));
    std::string text;
    std::ifstream(m_dir / "victim") >> text;
    EXPECT_EQ(text, "precious");
    b.Commit();
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(target)));
}

} // namespace
