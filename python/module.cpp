// qrvx._qrvx: the native half of the Python module. It loads the plug-ins once, makes
// tools, moves numpy arrays in and out of host images and renders with the GIL released.
//
// Arrays reach the host without a copy where their layout is the host's (four 16-bit or
// 32-bit float channels, pixels packed in each row): the image then borrows the array's
// memory, which tools only read. Rendered images whose rows are packed become arrays the
// same way, the array owning the image. Arrays have row 0 at the top of the picture, as
// every image library has; the host's row 0 is the bottom, so these images and arrays step
// through their rows in opposite directions. Every other layout is converted, by the rules the
// command applies to files: 8-bit values times 257, grey to R = G = B, full alpha where
// there is none.
#include "app/catalog.h"
#include "app/errors.h"
#include "app/image_io.h"
#include "app/listing.h"
#include "app/render.h"
#include "app/settings.h"
#include "app/testcard.h"
#include "app/text.h"
#include "app/version.h"
#include "host/session.h"

#include <Imath/half.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

// The plug-ins, loaded on first use and kept to the end of the process: tools and the
// arrays rendered by them may outlive every Python object that led to them. The package's
// own plug-ins (the ones built with this module) come first, then the command's folders.
std::vector<std::string> g_ownFolders;

app::Catalog& Plugins() {
    static app::Catalog* catalog = [] {
        // The package's own folder, then QRVX_PLUGIN_PATH; not the folder beside the
        // interpreter's binary, which the command's rule would give (/usr/plugins).
        std::vector<std::string> folders = g_ownFolders;
        const std::vector<std::string> others = app::PluginFolders(false);
        folders.insert(folders.end(), others.begin(), others.end());
        return new app::Catalog(app::Catalog::Load(true, folders));
    }();
    return *catalog;
}

// ---- Arrays and images ------------------------------------------------------------------

// An image made from an array, with the array kept alive while the image borrows it.
struct ArrayImage {
    std::unique_ptr<Image> image;
    py::object owner;
};

template <class S, class T>
void ConvertPixels(const py::array& a, Image& img) {
    const auto* base = static_cast<const char*>(a.data());
    const py::ssize_t sy = a.strides(0), sx = a.strides(1), sc = a.strides(2);
    const int channels = int(a.shape(2));
    const bool grey = channels == 1, alpha = channels == 4;
    constexpr bool kToInt = std::is_same_v<T, std::uint16_t>;
    // uint8 values are scaled by 257, so 255 is full; floats keep their values.
    auto value = [](S v) -> T {
        if constexpr (std::is_same_v<S, std::uint8_t>)
            return T(kToInt ? v * 257 : v * 257 / 65535.0f);
        else if constexpr (std::is_same_v<S, T>)
            return v;
        else if constexpr (kToInt)
            return RoundClamp16(float(v) * 65535.0f);
        else
            return T(float(v) / 65535.0f);
    };
    const T full = kToInt ? T(65535) : T(1);
    // Array row 0 is the top of the picture, the host's row Height() - 1.
    for (int y = 0; y < img.Height(); ++y) {
        T* d = img.Row<T>(img.Height() - 1 - y);
        for (int x = 0; x < img.Width(); ++x, d += 4) {
            const char* p = base + y * sy + x * sx;
            auto at = [&](int c) { return *reinterpret_cast<const S*>(p + c * sc); };
            d[0] = value(at(0));
            d[1] = grey ? d[0] : value(at(1));
            d[2] = grey ? d[0] : value(at(2));
            d[3] = alpha ? value(at(3)) : full;
        }
    }
}

// Whether the array holds values of this kind ('u', 'f') and size in native byte order.
// (By value: numpy makes new dtype objects, so comparing them by identity misses some.)
bool Holds(const py::array& a, char kind, py::ssize_t size) {
    return a.dtype().kind() == kind && a.itemsize() == size &&
           a.dtype().attr("isnative").cast<bool>();
}

// The array as an image of the given depth. The array has three dimensions (rows,
// columns, 1, 3 or 4 channels) and holds uint8, uint16 or float32 values (the Python
// side has checked and normalised it).
ArrayImage ToImage(const py::array& a, ImageDepth depth) {
    // What the Python side has checked, checked again: a wrong guess here misreads pixels.
    const bool isFloat = Holds(a, 'f', 4), isU16 = Holds(a, 'u', 2);
    if (a.ndim() != 3 || !(isFloat || isU16 || Holds(a, 'u', 1)))
        throw py::value_error("an image is a 3-dimensional array of native uint8, uint16 or "
                              "float32 values");
    if (a.shape(0) > INT_MAX || a.shape(1) > INT_MAX)
        throw py::value_error("an image of " + std::to_string(a.shape(1)) + " x " +
                              std::to_string(a.shape(0)) + " pixels is too large");
    const int h = int(a.shape(0)), w = int(a.shape(1)), channels = int(a.shape(2));
    const py::ssize_t item = a.itemsize();
    // The host's own layout: borrow the memory, the host's row 0 being the array's last row
    // (a negative row step turns the picture without a copy).
    const bool sameDepth = isFloat == (depth == ImageDepth::Float32) && (isFloat || isU16);
    const py::ssize_t rowStep = a.strides(0);
    if (sameDepth && channels == 4 && a.strides(2) == item && a.strides(1) == 4 * item &&
        std::abs(rowStep) >= w * 4 * item) {
        auto* bottom = static_cast<char*>(const_cast<void*>(a.data())) + (h - 1) * rowStep;
        return {qrvx::ImageOver(w, h, depth, bottom, -rowStep), a};
    }
    auto img = qrvx::MakeImage(w, h, depth);
    py::gil_scoped_release release;
    auto convert = [&]<class S>() {
        if (depth == ImageDepth::Float32)
            ConvertPixels<S, float>(a, *img);
        else
            ConvertPixels<S, std::uint16_t>(a, *img);
    };
    if (isFloat)
        convert.operator()<float>();
    else if (isU16)
        convert.operator()<std::uint16_t>();
    else
        convert.operator()<std::uint8_t>();
    return {std::move(img), py::none()};
}

// A new (rows, columns, 4) array of the image's channels, row 0 at the top: uint16 or
// float32. An image with packed rows is handed over whole, as a view whose rows step
// backwards through the image's memory (the host's top row is its last); other images are
// copied into a contiguous array.
py::array ToArray(std::unique_ptr<Image> img) {
    const py::dtype dtype =
        img->IsFloat() ? py::dtype::of<float>() : py::dtype::of<std::uint16_t>();
    const py::ssize_t h = img->Height(), w = img->Width(), item = img->IsFloat() ? 4 : 2;
    const std::vector<py::ssize_t> shape{h, w, 4};
    const py::ssize_t rowBytes = w * 4 * item;
    if (img->RowBytes() == rowBytes) {
        void* top = img->RowTable()[std::size_t(h - 1)];
        py::capsule owner(img.release(), [](void* p) { delete static_cast<Image*>(p); });
        return py::array(dtype, shape, {-rowBytes, 4 * item, item}, top, owner);
    }
    py::array out(dtype, shape, {rowBytes, 4 * item, item});
    auto* d = static_cast<char*>(out.mutable_data());
    {
        py::gil_scoped_release release;
        for (py::ssize_t y = 0; y < h; ++y)
            std::memcpy(d + y * rowBytes, img->RowTable()[std::size_t(h - 1 - y)],
                        std::size_t(rowBytes));
    }
    return out;
}

ImageDepth DepthOf(const py::array& a) {
    return Holds(a, 'f', 4) ? ImageDepth::Float32 : ImageDepth::Int16;
}

// A path from Python: refused with a NUL byte, which the system would take as its end.
const std::string& Path(const std::string& path) {
    if (path.find('\0') != std::string::npos)
        throw py::value_error("path " + app::Quoted(app::Excerpt(path)) + " holds a NUL byte");
    return path;
}

// ---- Tools --------------------------------------------------------------------------------

// Inputs found by the command's rule for IDs (app/settings.h), its refusals raised as
// KeyError.
template <class F>
decltype(auto) KeyErrorOf(F&& find) {
    try {
        return find();
    } catch (const app::UsageError& e) {
        throw py::key_error(e.what());
    }
}

// A tool object. Every call takes the tool's lock, so a tool used from two threads at once
// serialises; the GIL is released while waiting for it and while rendering.
class PyTool {
public:
    explicit PyTool(const std::string& name) : m_tool(Plugins().Find(name)) {}

    std::string Name() const { return app::DisplayName(m_tool.Entry()); }

    std::string ControlsJson() {
        auto lock = Lock();
        std::ostringstream out;
        app::ListControls(m_tool, true, out);
        return out.str();
    }

    // The IDs of the controls (image inputs left out), in declaration order.
    std::vector<std::string> Ids() const {
        std::vector<std::string> ids;
        for (const auto& in : m_tool.Inputs())
            if (!in->IsImage()) ids.push_back(in->Decl().id);
        return ids;
    }

    void SetText(const std::string& id, const std::string& text) {
        auto lock = Lock();
        Input& control = Control(id);
        app::SetValue(m_tool, control, app::ParseValue(m_tool, control, text));
    }

    py::object Get(const std::string& id) {
        auto lock = Lock();
        const app::ControlValue v = app::CurrentValue(Control(id));
        if (v.isPoint) return py::make_tuple(v.x, v.y);
        return py::float_(v.x);
    }

    void SaveSettings(const std::string& path) {
        auto lock = Lock();
        app::SaveSettings(m_tool, Path(path));
    }
    // Every control's value as a settings file's JSON.
    std::string SettingsText() {
        auto lock = Lock();
        return app::SettingsJson(m_tool).dump(2) + "\n";
    }
    void LoadSettings(const std::string& path) {
        auto lock = Lock();
        app::LoadSettings(m_tool, Path(path));
    }

    // Renders with the main image (None: the test card) and the other image inputs by ID.
    py::array Render(const py::object& image,
                     const std::vector<std::pair<std::string, py::array>>& inputs, double time,
                     int threads) {
        auto lock = Lock();
        // Destroyed last: once the render's images are gone, the pool hands their memory
        // back, so the process keeps none of it between calls.
        struct TrimAfter {
            ~TrimAfter() { qrvx::TrimImagePool(); }
        } trimAfter;
        std::vector<ArrayImage> images;
        // Destroyed before the images: what this render connected is disconnected however
        // it ends, so the tool keeps no image of a call that is over.
        struct Connections {
            qrvx::Tool& tool;
            std::vector<std::string> ids;
            ~Connections() {
                for (const std::string& id : ids) tool.Connect(id, nullptr);
            }
        } connected{m_tool, {}};
        ImageDepth depth = ImageDepth::Int16;
        if (image.is_none()) {
            images.push_back({app::MakeTestCard(depth), py::none()});
        } else {
            const py::array main = image.cast<py::array>();
            depth = DepthOf(main);
            images.push_back(ToImage(main, depth));
        }
        m_tool.Connect("Input", images.back().image.get());
        connected.ids.push_back("Input");
        // Every other input is read at the main image's depth, as the command reads files.
        std::vector<std::string> given;
        for (const auto& [name, array] : inputs) {
            const std::string& id = name; // clang 14's lambdas cannot capture a binding
            KeyErrorOf([&]() -> Input& { return app::FindImageInput(m_tool, id); });
            if (id == "Input")
                throw py::value_error("the main image \"Input\" is render's first argument, "
                                      "not one of its inputs");
            given.push_back(id);
        }
        app::RequireImageInputs(m_tool, given, [](const std::string& id) {
            return "inputs={" + app::Quoted(id) + ": array}";
        });
        for (const auto& [id, array] : inputs) {
            images.push_back(ToImage(array, depth));
            m_tool.Connect(id, images.back().image.get());
            connected.ids.push_back(id);
        }
        std::unique_ptr<Image> out;
        {
            py::gil_scoped_release release;
            qrvx::ThreadCountScope scope(threads);
            out = m_tool.Render(time);
        }
        return ToArray(std::move(out));
    }

private:
    std::unique_lock<std::mutex> Lock() {
        py::gil_scoped_release release;
        return std::unique_lock(m_mutex);
    }

    Input& Control(const std::string& id) {
        return KeyErrorOf([&]() -> Input& { return app::FindControl(m_tool, id); });
    }

    qrvx::Tool m_tool;
    std::mutex m_mutex;
};

std::string ToolsJson() {
    std::ostringstream out;
    app::ListTools(Plugins(), true, out);
    return out.str();
}

// ---- Files ---------------------------------------------------------------------------------

// What read knows of a file besides its pixels: the description the command keeps of its
// main input (windows, metadata, channel types, the channels the tool does not see), and
// which of the file's windows the array is. Writing with it is writing as the command does
// with that file as the main input.
struct PyFile {
    app::FileInfo info;
    app::Window window = app::Window::Display;
};

// A (x, y, width, height) window, counted as files count (y down).
py::tuple WindowOf(int x, int y, int width, int height) {
    return py::make_tuple(x, y, width, height);
}

// A metadata value as Python has it: str, int or float, or a tuple of them for arrays
// (matrices, chromaticities, timecodes); None for a kind Python has no value of.
py::object ValueOf(const OIIO::ParamValue& p) {
    using OIIO::TypeDesc;
    const TypeDesc t = p.type();
    const std::size_t n = std::size_t(p.nvalues()) * t.basevalues();
    py::list values;
    auto add = [&]<class T>() {
        const T* v = static_cast<const T*>(p.data());
        for (std::size_t i = 0; i < n; ++i) {
            if constexpr (std::is_same_v<T, OIIO::ustring>)
                values.append(v[i].string());
            else if constexpr (std::is_floating_point_v<T> || std::is_same_v<T, Imath::half>)
                values.append(double(v[i]));
            else
                values.append(v[i]);
        }
    };
    switch (t.basetype) {
    case TypeDesc::STRING: add.operator()<OIIO::ustring>(); break;
    case TypeDesc::HALF: add.operator()<Imath::half>(); break;
    case TypeDesc::FLOAT: add.operator()<float>(); break;
    case TypeDesc::DOUBLE: add.operator()<double>(); break;
    case TypeDesc::UINT8: add.operator()<std::uint8_t>(); break;
    case TypeDesc::INT8: add.operator()<std::int8_t>(); break;
    case TypeDesc::UINT16: add.operator()<std::uint16_t>(); break;
    case TypeDesc::INT16: add.operator()<std::int16_t>(); break;
    case TypeDesc::UINT32: add.operator()<std::uint32_t>(); break;
    case TypeDesc::INT32: add.operator()<std::int32_t>(); break;
    case TypeDesc::UINT64: add.operator()<std::uint64_t>(); break;
    case TypeDesc::INT64: add.operator()<std::int64_t>(); break;
    default: return py::none();
    }
    if (n == 1 && t.arraylen == 0 && t.aggregate == TypeDesc::SCALAR) return values[0];
    return py::tuple(values);
}

py::dict MetadataOf(const OIIO::ImageSpec& spec) {
    py::dict d;
    for (const auto& attr : spec.extra_attribs) {
        py::object v = ValueOf(attr);
        if (!v.is_none()) d[py::str(attr.name().string())] = v;
    }
    return d;
}

// Sets a metadata value from Python on the file's description: of the type it had in the file where
// the value still fits it (a float[8] stays a float[8]), else a string, int or float, or an array
// of ints or floats.
void SetMetadata(OIIO::ImageSpec& spec, const std::string& name, const py::handle& value,
                 const OIIO::ParamValue* was) {
    std::vector<py::handle> items;
    const bool sequence = py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value);
    if (sequence)
        for (const py::handle& item : value) items.push_back(item);
    else
        items.push_back(value);
    const auto all = [&](auto&& test) { return std::all_of(items.begin(), items.end(), test); };
    // Integers that fit 32 bits (what OpenImageIO stores); larger ones are stored as floats.
    const auto isInt = [](const py::handle& h) {
        return py::isinstance<py::int_>(h) && py::int_(INT_MIN) <= h && h <= py::int_(INT_MAX);
    };
    const auto isNumber = [](const py::handle& h) {
        return py::isinstance<py::int_>(h) || py::isinstance<py::float_>(h);
    };
    const auto floats = [&] {
        std::vector<float> v;
        for (const py::handle& h : items)
            v.push_back(float(double(py::float_(py::reinterpret_borrow<py::object>(h)))));
        return v;
    };
    const auto ints = [&] {
        std::vector<int> v;
        for (const py::handle& h : items) v.push_back(h.cast<int>());
        return v;
    };
    if (was && all(isNumber) &&
        int(items.size()) == was->nvalues() * int(was->type().basevalues())) {
        const OIIO::TypeDesc t = was->type();
        if (t.basetype == OIIO::TypeDesc::FLOAT) {
            const auto v = floats();
            spec.attribute(name, t, v.data());
            return;
        }
        if (t.basetype == OIIO::TypeDesc::INT32 && all(isInt)) {
            const auto v = ints();
            spec.attribute(name, t, v.data());
            return;
        }
    }
    if (!sequence && py::isinstance<py::str>(value)) {
        spec.attribute(name, value.cast<std::string>());
    } else if (!sequence && py::isinstance<py::bool_>(value)) {
        spec.attribute(name, int(value.cast<bool>()));
    } else if (!items.empty() && all(isInt)) {
        const auto v = ints();
        spec.attribute(name, OIIO::TypeDesc(OIIO::TypeDesc::INT, int(sequence ? v.size() : 0)),
                       v.data());
    } else if (!items.empty() && all(isNumber)) {
        const auto v = floats();
        spec.attribute(name, OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, int(sequence ? v.size() : 0)),
                       v.data());
    } else {
        throw py::type_error("metadata " + app::Quoted(name) +
                             ": a value is a str, an int, a float or a tuple of numbers, not " +
                             py::str(py::type::of(value).attr("__name__")).cast<std::string>());
    }
}

// The file's description with the metadata replaced by the dict's: names missing from it
// dropped, changed values set, unchanged ones kept with their types from the file.
app::FileInfo WithMetadata(const app::FileInfo& info, const py::dict& metadata) {
    app::FileInfo out = info;
    OIIO::ImageSpec& spec = out.spec;
    for (const auto& attr : info.spec.extra_attribs) {
        const std::string name = attr.name().string();
        if (!metadata.contains(name) && !ValueOf(attr).is_none()) {
            spec.erase_attribute(name, OIIO::TypeUnknown, true);
            out.metadataChanged = true;
        }
    }
    for (const auto& [key, value] : metadata) {
        const std::string name = py::str(key).cast<std::string>();
        const OIIO::ParamValue* was = info.spec.find_attribute(name, OIIO::TypeUnknown, true);
        if (was && ValueOf(*was).equal(value)) continue;
        if (was) spec.erase_attribute(name, OIIO::TypeUnknown, true);
        SetMetadata(spec, name, value, was);
        out.metadataChanged = true;
    }
    return out;
}

// Reads a file as the command reads its main input: the pixels of its display window (or
// of its data window), with its description.
std::pair<py::array, PyFile> Read(const std::string& path, bool dataWindow) {
    Path(path);
    PyFile file;
    file.window = dataWindow ? app::Window::Data : app::Window::Display;
    std::unique_ptr<Image> img;
    {
        py::gil_scoped_release release;
        const app::ReadOptions options{.window = file.window, .keepExtras = true};
        img = app::ReadImage(
            path, app::ImageDepthFor(app::Depth::Auto, app::ReadInfo(path, options).isFloat),
            &file.info, options);
    }
    return {ToArray(std::move(img)), std::move(file)};
}

// Writes an array as the command writes its output: with a file's description (as the
// main input's), its metadata taken from the dict, and the -d type ("" for the file's).
void Write(const std::string& path, const py::array& array, const std::string& compression,
           const PyFile* file, const std::optional<py::dict>& metadata, const std::string& type) {
    Path(path);
    std::optional<app::DataType> dataType = app::DataType::Auto;
    if (!type.empty()) dataType = app::DataTypeNamed(type);
    if (!dataType)
        throw py::value_error("dtype " + app::Quoted(app::Excerpt(type)) +
                              " is not uint8, uint16, half or float");
    std::optional<app::FileInfo> source;
    if (file) source = metadata ? WithMetadata(file->info, *metadata) : file->info;
    const ArrayImage img = ToImage(array, DepthOf(array));
    py::gil_scoped_release release;
    app::WriteImage(*img.image, path,
                    {.type = *dataType,
                     .source = source ? &*source : nullptr,
                     .window = file ? file->window : app::Window::Display,
                     .compression = compression,
                     .alpha = !source || app::OutputAlpha(*img.image, *source)});
}

py::array TestCard(bool isFloat) {
    return ToArray(app::MakeTestCard(isFloat ? ImageDepth::Float32 : ImageDepth::Int16));
}

// ---- Renders of the command ---------------------------------------------------------------

// `qrvx render`'s options from a dict with the keys tool, inputs (-i), settings (-s),
// settings_file, save_settings, output, frames (a list of frame numbers or a frame list's
// text), depth, compression and threads; missing keys take the command's defaults.
app::RenderOptions RenderOptionsFrom(const py::dict& d) {
    auto get = [&]<class T>(const char* key, T fallback) {
        return d.contains(key) && !d[key].is_none() ? d[key].cast<T>() : fallback;
    };
    app::RenderOptions o;
    o.tool = get("tool", std::string());
    o.inputs = get("inputs", std::vector<std::string>());
    for (const std::string& i : o.inputs) Path(i);
    o.settings = get("settings", std::vector<std::string>());
    o.settingsFile = Path(get("settings_file", std::string()));
    o.settingsText = get("settings_text", std::string());
    o.saveSettings = Path(get("save_settings", std::string()));
    o.output = Path(get("output", std::string()));
    o.metadata = get("metadata", std::vector<std::pair<std::string, std::string>>());
    if (d.contains("frames") && py::isinstance<py::str>(d["frames"])) {
        o.frames = d["frames"].cast<std::string>();
    } else {
        for (int f : get("frames", std::vector<int>()))
            o.frames += (o.frames.empty() ? "" : ",") + std::to_string(f);
    }
    static const std::map<std::string, app::Depth> depths = {{"auto", app::Depth::Auto},
                                                             {"int16", app::Depth::Int16},
                                                             {"float", app::Depth::Float},
                                                             {"half", app::Depth::Half}};
    const std::string depth = get("depth", std::string("auto"));
    if (!depths.count(depth))
        throw app::UsageError("--depth " + app::Quoted(depth) +
                              " is not auto, int16, float or half");
    o.depth = depths.at(depth);
    o.compression = get("compression", std::string());
    // As --threads: 0 for every core, more than the cores as every core.
    if (d.contains("threads") && !d["threads"].is_none()) {
        const py::int_ threads = d["threads"].cast<py::int_>();
        if (threads < py::int_(0))
            throw app::UsageError("threads " + py::repr(threads).cast<std::string>() +
                                  " is not a thread count (0 for every core, or more)");
        o.threads = threads > py::int_(INT_MAX) ? INT_MAX : threads.cast<int>();
    }
    o.quiet = true;
    o.catalog = &Plugins();
    return o;
}

// Checks a render as the command does before it reads any pixel and returns its files
// frame by frame: {"frames": [...], "outputs": [...], "inputs": [[...], ...]}, and whether
// the frames are rendered as float ("float").
py::dict PlanRender(const py::dict& options) {
    app::RenderOptions o = RenderOptionsFrom(options);
    app::RenderFiles files;
    o.plan = &files;
    {
        py::gil_scoped_release release;
        app::RunRender(o);
    }
    py::dict out;
    out["frames"] = files.frames;
    out["outputs"] = files.outputs;
    out["inputs"] = files.inputs;
    out["float"] = files.isFloat;
    return out;
}

// Runs the render as `qrvx render` with these options does (quietly), and hands the
// pool's memory back when it is done.
void RenderCommand(const py::dict& options) {
    const app::RenderOptions o = RenderOptionsFrom(options);
    py::gil_scoped_release release;
    struct Trim {
        ~Trim() { qrvx::TrimImagePool(); }
    } trim;
    app::RunRender(o);
}

// The look of these options as a settings file's JSON: the settings file, the settings
// text, then the -s values, as the command applies them.
std::string LookOf(const py::dict& options) {
    app::RenderOptions o = RenderOptionsFrom(options);
    o.output.clear();
    o.saveSettings.clear();
    std::string text;
    o.savedSettings = &text;
    py::gil_scoped_release release;
    app::RunRender(o);
    return text;
}

// A string of a file's metadata ("" when it has none by that name).
std::string ReadMetadata(const std::string& path, const std::string& name) {
    Path(path);
    py::gil_scoped_release release;
    return app::ReadInfo(path).spec.get_string_attribute(name);
}

} // namespace

PYBIND11_MODULE(_qrvx, m) {
    m.doc() = "The native part of qrvx; use the qrvx package.";
    m.attr("__version__") = app::kVersion;
    // The command's two kinds of error, and the host's refusals.
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const app::UsageError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const app::Failure& e) {
            PyErr_SetString(PyExc_OSError, e.what());
        } catch (const HostError& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
        }
    });

    m.def("add_plugin_folder", [](const std::string& folder) { g_ownFolders.push_back(folder); });
    m.def("tools_json", &ToolsJson);
    m.def("read", &Read);
    m.def("write", &Write);

    py::class_<PyFile>(m, "FileInfo")
        .def_property_readonly("path", [](const PyFile& f) { return f.info.path; })
        .def_property_readonly("format", [](const PyFile& f) { return f.info.format; })
        .def_property_readonly("data_type",
                               [](const PyFile& f) { return app::DataTypeName(f.info); })
        .def_property_readonly("channels",
                               [](const PyFile& f) {
                                   std::vector<std::string> names;
                                   for (int c = 0; c < f.info.spec.nchannels; ++c)
                                       names.push_back(f.info.spec.channel_name(c));
                                   return names;
                               })
        .def_property_readonly("data_window",
                               [](const PyFile& f) {
                                   const auto& s = f.info.spec;
                                   return WindowOf(s.x, s.y, s.width, s.height);
                               })
        .def_property_readonly("display_window",
                               [](const PyFile& f) {
                                   const auto& s = f.info.spec;
                                   return WindowOf(s.full_x, s.full_y, s.full_width, s.full_height);
                               })
        .def_property_readonly(
            "window",
            [](const PyFile& f) { return f.window == app::Window::Data ? "data" : "display"; })
        .def("metadata", [](const PyFile& f) { return MetadataOf(f.info.spec); });
    m.def("test_card", &TestCard);
    m.def("plan_render", &PlanRender);
    m.def("render_command", &RenderCommand);
    m.def("look_of", &LookOf);
    m.def("read_metadata", &ReadMetadata);
    m.def("trim_memory", [] { qrvx::TrimImagePool(); });

    py::class_<PyTool>(m, "Tool")
        .def(py::init<const std::string&>())
        .def_property_readonly("name", &PyTool::Name)
        .def("controls_json", &PyTool::ControlsJson)
        .def("ids", &PyTool::Ids)
        .def("set_text", &PyTool::SetText)
        .def("get", &PyTool::Get)
        .def("save_settings", &PyTool::SaveSettings)
        .def("settings_text", &PyTool::SettingsText)
        .def("load_settings", &PyTool::LoadSettings)
        .def("render", &PyTool::Render);
}
