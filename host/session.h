// The app-facing side of the host: what its clients use (the qrvx command, the viewer,
// the Python module, the OpenFX bundle, the tests, the benchmarks and the fuzzers). It
// loads plug-in files, lists registry entries, makes tools through their factories, sets
// control values by ID, makes images and renders, and sets the process-wide limits. It
// never sees a tool's class. Everything here is in namespace qrvx; tools cannot include
// this header.
#pragma once

#include "host/error.h"
#include "host/export.h"
#include "host/image.h"
#include "host/operator.h"
#include "host/registry.h"
#include "host/resources.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qrvx {

// The most threads a render's workers use (default: every core). Values below 1 mean
// every core.
QRVX_HOST_API void SetThreadCount(int threads);
QRVX_HOST_API int ThreadCount();

// Sets the thread count for renders started on the calling thread while it lives (values
// below 1: the process-wide count), so that callers on several threads can each choose.
class QRVX_HOST_API ThreadCountScope {
public:
    explicit ThreadCountScope(int threads);
    ~ThreadCountScope();
    ThreadCountScope(const ThreadCountScope&) = delete;
    ThreadCountScope& operator=(const ThreadCountScope&) = delete;

private:
    int m_previous;
};

// An image of the given size and depth that the caller owns (no render adopts it). Pixel
// content is unspecified (it may be an earlier image's). Throws HostError when the size is
// not positive, over the pixel limit, or the memory cannot be had.
QRVX_HOST_API std::unique_ptr<Image> MakeImage(int width, int height, ImageDepth depth);
// An image over pixel memory the caller owns and keeps alive (and unchanged, while a tool
// reads it) while the image lives: row y at pixels + y * rowBytes (negative: rows go down
// in memory), no alignment asked, padding allowed. Throws HostError like MakeImage, and
// when |rowBytes| would not hold the width.
QRVX_HOST_API std::unique_ptr<Image> ImageOver(int width, int height, ImageDepth depth,
                                               void* pixels, std::ptrdiff_t rowBytes);

// The largest number of pixels the host makes in one image (default 2^28, 16K x 16K).
QRVX_HOST_API void SetMaxImagePixels(std::int64_t pixels);
QRVX_HOST_API std::int64_t MaxImagePixels();

// How many bytes of released pixel memory the pool keeps for reuse (default 4 GiB).
QRVX_HOST_API void SetImagePoolLimit(std::size_t bytes);
// Gives all kept memory back to the system.
QRVX_HOST_API void TrimImagePool();

// Runs work(k) once for every k in [0, count), on any threads, returns when all are done
// and passes on the first exception work throws.
using BandRunner = std::function<void(long count, const std::function<void(long)>& work)>;

// While it lives, the renders started on the calling thread run their bands through the
// runner, on threads of the application's own (an OpenFX host's), and cut their work for
// that many threads. Work that the bands themselves spread runs on the host's threads.
class QRVX_HOST_API BandRunnerScope {
public:
    BandRunnerScope(BandRunner runner, int threads);
    ~BandRunnerScope();
    BandRunnerScope(const BandRunnerScope&) = delete;
    BandRunnerScope& operator=(const BandRunnerScope&) = delete;

private:
    BandRunner m_runner;
    const BandRunner* m_previous;
    ThreadCountScope m_threads;
};

// One loaded plug-in file. Loading links its registration entry into the class registry;
// destroying the Plugin unloads the file and unlinks it again. Tools made from its entry
// must be destroyed first.
class QRVX_HOST_API Plugin {
public:
    // Loads a plug-in file. Throws HostError naming the file when it cannot be loaded or
    // registers no tool.
    static std::unique_ptr<Plugin> Load(const std::string& path);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const std::string& Path() const { return m_path; }
    // The entries its loading linked (one for every qrvx plug-in).
    const std::vector<Registry*>& Entries() const { return m_entries; }
    // Its version, texts and tile picture.
    const PluginResources& Resources() const { return *m_resources; }

private:
    Plugin() = default;
    std::string m_path;
    void* m_handle = nullptr;
    std::vector<Registry*> m_entries;
    const PluginResources* m_resources = nullptr;
};

// The name a tool's entry shows to the user (its display name): the one lookup every client
// and every message uses.
QRVX_HOST_API std::string DisplayName(const Registry& entry);

// Every plug-in file (QRVX_*.so) in a folder, sorted by name.
QRVX_HOST_API std::vector<std::string> FindPluginFiles(const std::string& folder);

// A tool object made through its entry's factory.
class QRVX_HOST_API Tool {
public:
    // Throws HostError when the factory gives no tool.
    explicit Tool(Registry& entry);
    ~Tool();
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;

    Registry& Entry() const { return m_entry; }
    // The tool's declarations, in order.
    const std::vector<std::unique_ptr<Input>>& Inputs() const;

    // The input with this ID. Throws HostError naming the tool and the ID when none.
    Input& FindInput(const std::string& id) const;
    // The input with this ID, or null.
    Input* InputOrNull(std::string_view id) const;

    // Set a control by ID, each through the tool's change notification.
    void SetNumber(const std::string& id, double value);
    void SetPoint(const std::string& id, double x, double y);
    // Connects an image to the image input with this ID (null disconnects).
    void Connect(const std::string& id, const Image* image);

    // Renders at a time and takes the image of the output "Output". Throws HostError
    // when "Input" has no image, when the tool gives no output, or when the host cannot
    // make an image the tool asks for; the message names the tool.
    std::unique_ptr<Image> Render(double time = 0.0);

    // The width and height the output of a render at this time would have, for the
    // images connected now (their pixels need not be set): the tool prepares the render
    // as Render does but runs none of its workers. Throws as Render does.
    std::pair<int, int> OutputSize(double time = 0.0);

private:
    std::unique_ptr<Image> Run(double time);

    Registry& m_entry;
    ThreadedOperator* m_op;
    std::mutex m_renderMutex;
};

} // namespace qrvx
