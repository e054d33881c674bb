// What `qrvx view` keeps for each open page: the files it may read and write (everything
// under one root folder), the tool being edited with its image inputs, and its renders.
// Rendering goes through the same app code as `qrvx render`: the same catalog, value
// parsing and change notifications, file reading, sequences and depth rules, so a picture
// in the viewer equals the command's output for the same settings.
#pragma once

#include "app/catalog.h"
#include "app/settings.h"
#include "host/image.h"

#include <nlohmann/json.hpp>

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace app {

// The folder the viewer reads and writes under, and its working folder while it serves,
// so that files are named as `qrvx render` run there names them. Paths from the page are
// relative to it;
// a path that is absolute, holds a ".." component, or leads out of the folder through a
// symbolic link is refused with a UsageError naming it.
class RootFolder {
public:
    // Throws UsageError when the folder does not exist.
    explicit RootFolder(const std::string& folder);

    const std::filesystem::path& Path() const { return m_root; }
    // The file or folder a relative path names, resolved through every link.
    std::filesystem::path Resolve(const std::string& relative) const;
    // The file a relative path names for writing: its folder must lie under the root; the
    // file itself, when it is a link, is replaced rather than followed.
    std::filesystem::path ResolveForWrite(const std::string& relative) const;
    // A path under the root as the page shows it ("shots/a.exr"); throws when outside.
    std::string Relative(const std::filesystem::path& path) const;
    // The folder's sub-folders, image files and frame sequences ("shot.#.exr" with its
    // frames) as JSON, skipping anything that leads out of the root.
    nlohmann::ordered_json List(const std::string& relative) const;

private:
    std::filesystem::path m_root; // canonical
};

// How the rows of a float picture are turned into the 8-bit colours the page draws: width
// pixels of R, G, B, A floats in, width pixels of R, G, B, A bytes out, the alpha byte
// full. Called from several threads at once.
class FloatView {
public:
    virtual ~FloatView() = default;
    virtual void Row(const float* pixels, std::uint8_t* bytes, int width) const = 0;
};

// The built-in views: values through the sRGB curve, and raw (values 0..1 straight to
// 0..255). Both clamp to 0..1 first and take anything not above 0 (NaN too) as 0.
const FloatView& SrgbView();
const FloatView& RawView();

// The picture as the page draws it: width x height RGBA, 8 bits a channel, top row first,
// alpha full (the page shows colour; the pixel readout shows alpha). Float pictures go
// through the view, in bands of rows on several threads; 16-bit values v give
// (255 v + 32767) / 65535 whatever the view.
std::string ViewPixels(const Image& image, const FloatView& view);

// The channel values R, G, B, A of the pixel at column x and row y counted from the
// bottom (host coordinates), or nothing outside the image.
std::optional<std::array<double, 4>> HostPixel(const Image& image, int x, int y);

// The state of the page's tool, its values set through the change notification, and its
// renders. Thread-safe: changes and renders may come from several request threads.
class ViewSession {
public:
    ViewSession(const RootFolder& root, Registry& entry);
    ~ViewSession();

    // The tool's name, ID and help, every control's declaration, value and visibility,
    // the connected image inputs, the frame and the change count, as JSON.
    nlohmann::ordered_json State() const;

    // One change, as -s ID=VALUE takes it: throws UsageError for an unknown control or
    // a bad value, leaving the state as it was. Returns the change count after it.
    std::uint64_t Set(const std::string& id, const std::string& value);
    // Applies a settings file's "controls" object, as `qrvx render --settings` does.
    std::uint64_t SetAll(const nlohmann::json& controls, const std::string& where);
    // Connects a file or # sequence under the root to an image input ("" disconnects).
    std::uint64_t Connect(const std::string& id, const std::string& relative);
    // The frame that sequences are read at (and the render time then).
    std::uint64_t SetFrame(int frame);

    // The result of one render.
    struct Rendered {
        bool dropped = false; // overtaken by a newer change before it started
        std::uint64_t change = 0;
        std::shared_ptr<const Image> output, input;
        std::string error; // the one-line message of a render that failed
    };
    // Renders the state as of change number `change`. A render asked for an older state
    // than the newest, or overtaken by a newer change while it waits for the one in
    // progress, is dropped at once instead of waiting its turn: at most one render runs
    // and at most the newest waits.
    Rendered Render(std::uint64_t change);
    // The last good render's output (or main input), for the pixel readout.
    std::shared_ptr<const Image> Last(bool input) const;

    // Saves every control's value as `qrvx render --settings` takes it.
    void SaveSettings(const std::string& relative) const;

    // When the page last used the session, for closing the oldest.
    std::uint64_t LastUse() const { return m_lastUse.load(); }
    void Touch(std::uint64_t now) { m_lastUse.store(now); }

private:
    struct Connected {
        std::string relative; // as the page gave it
        std::string pattern;  // the path the reader takes, relative to the root
        bool sequence = false;
        std::vector<int> frames; // of a sequence, on disk when it was connected
    };
    std::uint64_t Bump();
    // `qrvx render` arguments reproducing the view; with m_mutex held.
    std::vector<std::string> CommandArgs() const;
    bool AnySequence() const;

    const RootFolder& m_root;
    Registry& m_entry;
    mutable std::mutex m_mutex; // the edit tool, the inputs, the counters
    std::unique_ptr<qrvx::Tool> m_edit;
    std::map<std::string, Connected> m_inputs; // by input ID
    int m_frame = 0;
    std::uint64_t m_change = 0;

    // One render at a time: the render tool is used only by the render that set the flag.
    std::condition_variable m_turn;
    bool m_rendering = false;
    std::unique_ptr<qrvx::Tool> m_render;
    std::shared_ptr<const Image> m_lastOutput, m_lastInput;
    std::atomic<std::uint64_t> m_lastUse{0};
};

} // namespace app
