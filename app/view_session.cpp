#include "app/view_session.h"

#include "app/catalog.h"
#include "app/errors.h"
#include "app/image_io.h"
#include "app/output_file.h"
#include "app/render.h"
#include "app/sequence.h"
#include "app/testcard.h"
#include "app/text.h"

#include <OpenImageIO/parallel.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <list>
#include <regex>
#include <set>

namespace app {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// True when path (canonical) is root or lies inside it.
bool IsUnder(const fs::path& path, const fs::path& root) {
    auto p = path.begin();
    for (auto r = root.begin(); r != root.end(); ++r, ++p)
        if (p == path.end() || *p != *r) return false;
    return true;
}

// Extensions the file picker offers (OpenImageIO reads more; these are the usual plates).
bool IsImageName(const std::string& name) {
    static const std::set<std::string> kinds = {".exr", ".png",  ".tif", ".tiff", ".jpg", ".jpeg",
                                                ".dpx", ".hdr",  ".tga", ".bmp",  ".sgi", ".rgb",
                                                ".psd", ".webp", ".ppm", ".pgm",  ".pnm", ".cin"};
    return kinds.count(Lower(fs::path(name).extension().string())) > 0;
}

// The most entries one folder listing shows.
constexpr std::size_t kMaxListed = 5000;

} // namespace

RootFolder::RootFolder(const std::string& folder) {
    std::error_code ec;
    m_root = fs::canonical(folder, ec);
    if (ec || !fs::is_directory(m_root)) throw UsageError("--root " + folder + " is not a folder");
}

fs::path RootFolder::Resolve(const std::string& relative) const {
    const fs::path rel(relative);
    if (rel.is_absolute())
        throw UsageError(Quoted(Excerpt(relative)) + " is not a path under the root");
    for (const fs::path& part : rel)
        if (part == "..")
            throw UsageError(Quoted(Excerpt(relative)) + " leads out of the root (..)");
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(m_root / rel, ec);
    if (ec || !IsUnder(resolved, m_root))
        throw UsageError(Quoted(Excerpt(relative)) + " leads out of the root");
    return resolved;
}

fs::path RootFolder::ResolveForWrite(const std::string& relative) const {
    const fs::path rel(relative);
    if (!rel.has_filename() || rel.filename() == "." || rel.filename() == "..")
        throw UsageError(Quoted(Excerpt(relative)) + " names no file");
    const fs::path folder = Resolve(rel.parent_path().string());
    if (!fs::is_directory(folder))
        throw UsageError(Quoted(Excerpt(relative)) + ": no such folder under the root");
    return folder / rel.filename();
}

std::string RootFolder::Relative(const fs::path& path) const {
    if (!IsUnder(path, m_root)) throw UsageError(path.string() + " is outside the root");
    const fs::path rel = path.lexically_relative(m_root);
    return rel == "." ? "" : rel.generic_string();
}

Json RootFolder::List(const std::string& relative) const {
    const fs::path folder = Resolve(relative);
    if (!fs::is_directory(folder)) throw UsageError(Quoted(Excerpt(relative)) + " is not a folder");
    std::vector<std::string> folders, files;
    // Numbered files grouped by what stands around the number: "shot." + 4 digits + ".exr".
    struct Run {
        std::vector<int> frames;
        std::vector<std::string> names;
    };
    std::map<std::tuple<std::string, std::size_t, std::string>, Run> runs;
    static const std::regex numbered(R"(^(.*?)(\d+)(\.[A-Za-z0-9]+)$)");
    std::error_code ec;
    std::size_t seen = 0;
    for (const fs::directory_entry& e : fs::directory_iterator(folder, ec)) {
        if (++seen > kMaxListed) break;
        const std::string name = e.path().filename().string();
        if (name.empty() || name[0] == '.') continue;
        std::error_code rc;
        const fs::path real = fs::canonical(e.path(), rc);
        if (rc || !IsUnder(real, m_root)) continue; // a link out of the root, or a broken one
        if (fs::is_directory(real)) {
            folders.push_back(name);
            continue;
        }
        if (!IsImageName(name)) continue;
        std::smatch m;
        if (std::regex_match(name, m, numbered) && m[2].length() <= 9) {
            Run& run = runs[{m[1].str(), std::size_t(m[2].length()), m[3].str()}];
            run.frames.push_back(std::stoi(m[2].str()));
            run.names.push_back(name);
        } else {
            files.push_back(name);
        }
    }
    Json sequences = Json::array();
    for (auto& [key, run] : runs) {
        const auto& [stem, digits, ext] = key;
        if (run.frames.size() < 2) {
            files.insert(files.end(), run.names.begin(), run.names.end());
            continue;
        }
        std::sort(run.frames.begin(), run.frames.end());
        sequences.push_back(
            {{"name", stem + FrameMark(int(digits)) + ext}, {"frames", run.frames}});
    }
    std::sort(folders.begin(), folders.end());
    std::sort(files.begin(), files.end());
    const std::string here = Relative(folder);
    return Json{{"folder", here}, {"folders", folders}, {"files", files}, {"sequences", sequences}};
}

// The page's picture ----------------------------------------------------------------------

namespace {

// Image row shown as the page's top row r: the host's rows count from the bottom.
inline int ImageRowOfTopRow(const Image& image, int r) { return image.Height() - 1 - r; }

// The sRGB curve at 8 bits, looked up by the top bits of a float in 0..1: buckets of 2^14
// float codes (9 mantissa bits) are narrower than a step of the 8-bit result everywhere,
// so the table is off by at most one step, and only next to a step.
class SrgbTable {
public:
    SrgbTable() {
        for (std::uint32_t i = 0; i < kSize; ++i) {
            const double v = double(std::bit_cast<float>((i << 14) | (1u << 13)));
            const double e = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1 / 2.4) - 0.055;
            m_table[i] = std::uint8_t(std::lround(std::clamp(e, 0.0, 1.0) * 255));
        }
    }
    std::uint8_t operator()(float v) const {
        if (!(v > 0.0f)) return 0;
        if (v >= 1.0f) return 255;
        return m_table[std::bit_cast<std::uint32_t>(v) >> 14];
    }

private:
    static constexpr std::uint32_t kSize = (0x3F800000u >> 14) + 1;
    std::array<std::uint8_t, kSize> m_table{};
};

inline std::uint8_t RawByte(float v) {
    v = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
    return std::uint8_t(v * 255.0f + 0.5f);
}

} // namespace

// One row of the page's picture, each channel through the given conversion.
template <class T, class Convert>
void ViewRow(const T* s, std::uint8_t* d, int width, Convert convert) {
    for (int x = 0; x < width; ++x, s += 4, d += 4) {
        d[0] = convert(s[0]);
        d[1] = convert(s[1]);
        d[2] = convert(s[2]);
        d[3] = 255;
    }
}

namespace {

class SrgbRows final : public FloatView {
public:
    void Row(const float* s, std::uint8_t* d, int width) const override {
        ViewRow(s, d, width, [this](float v) { return m_table(v); });
    }

private:
    SrgbTable m_table;
};

class RawRows final : public FloatView {
public:
    void Row(const float* s, std::uint8_t* d, int width) const override {
        ViewRow(s, d, width, RawByte);
    }
};

} // namespace

const FloatView& SrgbView() {
    static const SrgbRows view;
    return view;
}

const FloatView& RawView() {
    static const RawRows view;
    return view;
}

std::string ViewPixels(const Image& image, const FloatView& view) {
    const int w = image.Width(), h = image.Height();
    std::string out(std::size_t(w) * std::size_t(h) * 4, '\0');
    auto* bytes = reinterpret_cast<std::uint8_t*>(out.data());
    // Bands of rows, few enough that handing them out costs nothing next to the work.
    OIIO::parallel_for_chunked(0, h, 64, [&](std::int64_t begin, std::int64_t end) {
        for (std::int64_t r = begin; r < end; ++r) {
            std::uint8_t* d = bytes + std::size_t(r) * std::size_t(w) * 4;
            const int row = ImageRowOfTopRow(image, int(r));
            if (!image.IsFloat())
                ViewRow(image.Row<std::uint16_t>(row), d, w,
                        [](std::uint32_t v) { return std::uint8_t((v * 255 + 32767) / 65535); });
            else
                view.Row(image.Row<float>(row), d, w);
        }
    });
    return out;
}

std::optional<std::array<double, 4>> HostPixel(const Image& image, int x, int y) {
    if (x < 0 || y < 0 || x >= image.Width() || y >= image.Height()) return std::nullopt;
    const int row = ImageRowOfTopRow(image, image.Height() - 1 - y);
    std::array<double, 4> v{};
    for (int c = 0; c < 4; ++c)
        v[c] = image.IsFloat() ? double(image.Row<float>(row)[4 * x + c])
                               : double(image.Row<std::uint16_t>(row)[4 * x + c]);
    return v;
}

// Images read from files --------------------------------------------------------------------

namespace {

// The images the viewer read last, so that a change of a control does not read the plate
// again. A file is read again when its time or size changed. Shared by every session.
class ImageCache {
public:
    struct Entry {
        std::string path;
        ImageDepth depth;
        fs::file_time_type time;
        std::uintmax_t size;
        std::shared_ptr<const Image> image;
    };

    // Whether the file holds float pixels (read from its description).
    bool IsFloat(const std::string& path) {
        const auto [time, size] = Stamp(path);
        std::lock_guard lock(m_mutex);
        for (const auto& [p, t, s, f] : m_kinds)
            if (p == path && t == time && s == size) return f;
        const bool isFloat = ReadInfo(path).isFloat;
        m_kinds.push_front({path, time, size, isFloat});
        if (m_kinds.size() > 64) m_kinds.pop_back();
        return isFloat;
    }

    std::shared_ptr<const Image> Read(const std::string& path, ImageDepth depth) {
        const auto [time, size] = Stamp(path);
        {
            std::lock_guard lock(m_mutex);
            for (auto it = m_entries.begin(); it != m_entries.end(); ++it)
                if (it->path == path && it->depth == depth && it->time == time &&
                    it->size == size) {
                    m_entries.splice(m_entries.begin(), m_entries, it);
                    return it->image;
                }
        }
        std::shared_ptr<const Image> image = ReadImage(path, depth);
        std::lock_guard lock(m_mutex);
        m_entries.push_front({path, depth, time, size, image});
        if (m_entries.size() > kKept) m_entries.pop_back();
        return image;
    }

private:
    static constexpr std::size_t kKept = 6;
    static std::pair<fs::file_time_type, std::uintmax_t> Stamp(const std::string& path) {
        std::error_code ec;
        const auto time = fs::last_write_time(path, ec);
        if (ec) throw Failure("cannot read " + path + ": no such file");
        return {time, fs::file_size(path, ec)};
    }
    std::mutex m_mutex;
    std::list<Entry> m_entries;
    std::list<std::tuple<std::string, fs::file_time_type, std::uintmax_t, bool>> m_kinds;
};

ImageCache& Cache() {
    static ImageCache cache;
    return cache;
}

std::shared_ptr<const Image> TestCard(ImageDepth depth) {
    static std::mutex mutex;
    static std::shared_ptr<const Image> cards[2];
    std::lock_guard lock(mutex);
    auto& card = cards[depth == ImageDepth::Float32];
    if (!card) card = MakeTestCard(depth);
    return card;
}

Json OrNull(const std::optional<double>& v) { return v ? Json(*v) : Json(nullptr); }

// A control's tooltip: its description, else its name.
std::string Description(const InputDecl& d) {
    return d.description.empty() ? d.name : d.description;
}

// A value from a settings file's "controls" as -s would write it, so that it is read by
// the same rules.
std::string AsArgument(const nlohmann::json& v) {
    if (v.is_array() && v.size() == 2 && v[0].is_number() && v[1].is_number())
        return FormatValue({true, v[0].get<double>(), v[1].get<double>()});
    if (v.is_number()) return FormatValue({false, v.get<double>(), 0.0});
    if (v.is_string()) return v.get<std::string>();
    return v.dump(); // refused by the parser with the value in the message
}

// Shell quoting for the command line shown on the page.
std::string ShellWord(const std::string& word) {
    if (!word.empty() &&
        word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               "0123456789_./=,:+-") == std::string::npos)
        return word;
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

// The session --------------------------------------------------------------------------------

ViewSession::ViewSession(const RootFolder& root, Registry& entry)
    : m_root(root), m_entry(entry), m_edit(std::make_unique<qrvx::Tool>(entry)),
      m_render(std::make_unique<qrvx::Tool>(entry)) {}

ViewSession::~ViewSession() = default;

std::uint64_t ViewSession::Bump() {
    ++m_change;
    m_turn.notify_all();
    return m_change;
}

bool ViewSession::AnySequence() const {
    return std::any_of(m_inputs.begin(), m_inputs.end(),
                       [](const auto& i) { return i.second.sequence; });
}

Json ViewSession::State() const {
    std::lock_guard lock(m_mutex);
    Json controls = Json::array();
    for (const auto& in : m_edit->Inputs()) {
        const InputDecl& d = in->Decl();
        Json c = {{"id", d.id},
                  {"name", d.name},
                  {"description", Description(d)},
                  {"page", d.page},
                  {"kind", in->IsImage() && d.kind.empty() ? "ImageControl" : d.kind},
                  {"dataType", d.dataType},
                  {"previewKind", d.previewKind},
                  {"shownLow", OrNull(d.shownLow)},
                  {"shownHigh", OrNull(d.shownHigh)},
                  {"allowedLow", OrNull(d.allowedLow)},
                  {"allowedHigh", OrNull(d.allowedHigh)},
                  {"default", OrNull(d.defaultValue)},
                  {"wholeNumbers", d.wholeNumbers},
                  {"comboEntries", d.comboEntries},
                  {"colorGroup", d.colorGroupLabel},
                  {"group", d.group ? Json(*d.group) : Json(nullptr)},
                  {"groupPlace", d.groupPlace ? Json(*d.groupPlace) : Json(nullptr)},
                  {"visible", in->IsVisible()},
                  {"required", d.required}};
        if (in->IsImage()) {
            const auto it = m_inputs.find(d.id);
            c["path"] = it == m_inputs.end() ? "" : it->second.relative;
            if (it != m_inputs.end() && it->second.sequence) c["frames"] = it->second.frames;
        } else {
            const ControlValue v = CurrentValue(*in);
            c["value"] = v.isPoint ? Json::array({v.x, v.y}) : Json(v.x);
        }
        controls.push_back(std::move(c));
    }
    std::string command = "qrvx render";
    const std::vector<std::string> args = CommandArgs();
    for (std::size_t i = 1; i < args.size(); ++i) command += " " + ShellWord(args[i]);
    return Json{{"tool", DisplayName(m_entry)},
                {"id", m_entry.ID().Text()},
                {"help", m_entry.Text(tag::RegHelp)},
                {"controls", std::move(controls)},
                {"frame", m_frame},
                {"sequence", AnySequence()},
                {"change", m_change},
                {"command", command}};
}

std::uint64_t ViewSession::Set(const std::string& id, const std::string& value) {
    std::lock_guard lock(m_mutex);
    Input& control = FindControl(*m_edit, id);
    SetValue(*m_edit, control, ParseValue(*m_edit, control, value));
    return Bump();
}

std::uint64_t ViewSession::SetAll(const nlohmann::json& controls, const std::string& where) {
    if (!controls.is_object()) throw UsageError(where + ": \"controls\" is not an object");
    std::lock_guard lock(m_mutex);
    std::vector<std::pair<const Input*, ControlValue>> values;
    for (const auto& [id, v] : controls.items()) {
        const Input& control = FindControl(*m_edit, id);
        values.emplace_back(&control, ParseValue(*m_edit, control, AsArgument(v)));
    }
    ApplyValues(*m_edit, values);
    return Bump();
}

std::uint64_t ViewSession::Connect(const std::string& id, const std::string& relative) {
    std::lock_guard lock(m_mutex);
    Input& in = m_edit->FindInput(id);
    if (!in.IsImage()) throw UsageError(Quoted(id) + " is a control, not an image input");
    if (relative.empty()) {
        m_inputs.erase(id);
        return Bump();
    }
    const fs::path resolved = m_root.Resolve(relative);
    // Read by the path under the root (the working folder), so that messages name the file
    // as `qrvx render` run there names it.
    const std::string path = fs::path(relative).lexically_normal().string();
    const PathPattern pattern(path);
    Connected c{relative, path, pattern.IsSequence(), {}};
    if (c.sequence) {
        c.frames = pattern.FramesOnDisk();
        if (c.frames.empty()) throw Failure(pattern.NoFilesMessage());
        if (!AnySequence() || !std::binary_search(c.frames.begin(), c.frames.end(), m_frame))
            m_frame = c.frames.front();
    } else if (!fs::is_regular_file(resolved)) {
        throw Failure("cannot read " + relative + ": no such file");
    }
    m_inputs[id] = std::move(c);
    return Bump();
}

std::uint64_t ViewSession::SetFrame(int frame) {
    if (frame < 0) throw UsageError("frame " + std::to_string(frame) + " is not a frame number");
    std::lock_guard lock(m_mutex);
    m_frame = frame;
    return Bump();
}

ViewSession::Rendered ViewSession::Render(std::uint64_t change) {
    Rendered r;
    std::unique_lock lock(m_mutex);
    m_turn.wait(lock, [&] { return !m_rendering || m_change > change; });
    if (m_change > change || change > m_change) {
        r.dropped = true;
        return r;
    }
    m_rendering = true;
    r.change = m_change;
    // What to render, taken while the state cannot change.
    std::vector<std::pair<const Input*, ControlValue>> values;
    const auto& editInputs = m_edit->Inputs();
    const auto& renderInputs = m_render->Inputs();
    for (std::size_t i = 0; i < editInputs.size(); ++i)
        if (!editInputs[i]->IsImage())
            values.emplace_back(renderInputs[i].get(), CurrentValue(*editInputs[i]));
    const std::map<std::string, Connected> inputs = m_inputs;
    const int frame = m_frame;
    const bool sequence = AnySequence();
    lock.unlock();

    std::vector<std::shared_ptr<const Image>> held;
    try {
        ApplyValues(*m_render, values);
        // The depth follows the main input's file, as for the command.
        const auto main = inputs.find("Input");
        const auto fileOf = [&](const Connected& c) {
            const std::string file = c.sequence ? PathPattern(c.pattern).Frame(frame) : c.pattern;
            // A frame file may itself be a link out of the root.
            m_root.Resolve(file);
            return file;
        };
        const ImageDepth depth = ImageDepthFor(
            Depth::Auto, main != inputs.end() && Cache().IsFloat(fileOf(main->second)));
        std::vector<std::string> given;
        for (const auto& [id, c] : inputs) given.push_back(id);
        RequireImageInputs(*m_render, given,
                           [](const std::string& id) { return "the picker of " + Quoted(id); });
        for (const auto& [id, c] : inputs) {
            held.push_back(Cache().Read(fileOf(c), depth));
            m_render->Connect(id, held.back().get());
            if (id == "Input") r.input = held.back();
        }
        if (main == inputs.end()) {
            r.input = TestCard(depth);
            held.push_back(r.input);
            m_render->Connect("Input", r.input.get());
        }
        r.output = m_render->Render(sequence ? double(frame) : 0.0);
    } catch (const std::bad_alloc&) {
        r.error = "out of memory";
    } catch (const std::exception& e) {
        r.error = e.what();
    }
    for (const auto& in : m_render->Inputs())
        if (in->IsImage()) m_render->Connect(in->Decl().id, nullptr);

    lock.lock();
    m_rendering = false;
    if (r.output) {
        m_lastOutput = r.output;
        m_lastInput = r.input;
    }
    m_turn.notify_all();
    return r;
}

std::shared_ptr<const Image> ViewSession::Last(bool input) const {
    std::lock_guard lock(m_mutex);
    return input ? m_lastInput : m_lastOutput;
}

std::vector<std::string> ViewSession::CommandArgs() const {
    std::vector<std::string> args = {"render", DisplayName(m_entry)};
    for (const auto& [id, c] : m_inputs) {
        const bool plain = id == "Input" && c.relative.find('=') == std::string::npos;
        args.insert(args.end(), {"-i", plain ? c.relative : id + "=" + c.relative});
    }
    // The fewest -s that give the tool exactly these values: in declaration order those
    // that differ from what the earlier ones leave, again while a preset changed one.
    qrvx::Tool fresh(m_entry);
    const auto& mine = m_edit->Inputs();
    const auto& theirs = fresh.Inputs();
    for (int pass = 0; pass < 4; ++pass) {
        bool changed = false;
        for (std::size_t i = 0; i < mine.size(); ++i) {
            if (mine[i]->IsImage()) continue;
            const ControlValue want = CurrentValue(*mine[i]);
            if (CurrentValue(*theirs[i]) == want) continue;
            SetValue(fresh, *theirs[i], want);
            args.insert(args.end(), {"-s", mine[i]->Decl().id + "=" + FormatValue(want)});
            changed = true;
        }
        if (!changed) break;
    }
    bool isFloat = false;
    if (const auto main = m_inputs.find("Input"); main != m_inputs.end()) {
        try {
            const std::string file = main->second.sequence
                                         ? PathPattern(main->second.pattern).Frame(m_frame)
                                         : main->second.pattern;
            isFloat = Cache().IsFloat(file);
        } catch (const std::exception&) {
            // The render reports the missing file.
        }
    }
    const std::string ext = isFloat ? ".exr" : ".png";
    if (AnySequence())
        args.insert(args.end(), {"--frames", std::to_string(m_frame), "-o", "view.#" + ext});
    else
        args.insert(args.end(), {"-o", "view" + ext});
    return args;
}

void ViewSession::SaveSettings(const std::string& relative) const {
    const fs::path target = m_root.ResolveForWrite(relative);
    std::lock_guard lock(m_mutex);
    WriteTextFile(target.string(), SettingsJson(*m_edit).dump(2) + "\n");
}

} // namespace app
