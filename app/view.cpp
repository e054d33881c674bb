#include "app/view.h"

#include "app/catalog.h"
#include "app/errors.h"
#include "app/render.h"
#include "app/settings.h"
#include "app/text.h"
#include "app/view_ocio.h"
#include "app/view_page.h"
#include "app/view_session.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <filesystem>
#include <iostream>
#include <map>
#include <pthread.h>
#include <random>
#include <thread>

namespace app {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

namespace {

// The most pages open at once; opening another closes the one used longest ago.
constexpr std::size_t kMaxSessions = 16;
// Request threads: a page keeps a few connections open, and a render waits for its turn.
constexpr std::size_t kThreads = 16;

// A request the server refuses, with its status.
struct Refused : std::runtime_error {
    Refused(int status, const std::string& message) : std::runtime_error(message), status(status) {}
    int status;
};

std::string RandomHex(int bytes) {
    std::random_device device;
    std::string out;
    const char* hex = "0123456789abcdef";
    for (int i = 0; i < bytes; ++i) {
        const unsigned v = device() & 0xFF;
        out += hex[v >> 4];
        out += hex[v & 15];
    }
    return out;
}

// Compares in time independent of where the texts differ.
bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char d = 0;
    for (std::size_t i = 0; i < a.size(); ++i) d |= static_cast<unsigned char>(a[i] ^ b[i]);
    return d == 0;
}

void SendJson(httplib::Response& res, const Json& body, int status = 200) {
    res.status = status;
    res.set_content(body.dump(), "application/json");
}

Json Body(const httplib::Request& req) {
    try {
        Json body = Json::parse(req.body);
        if (!body.is_object()) throw Refused(400, "the request body is not a JSON object");
        return body;
    } catch (const Json::exception&) {
        throw Refused(400, "the request body is not JSON");
    }
}

std::string Text(const Json& body, const char* key) {
    const auto it = body.find(key);
    if (it == body.end() || !it->is_string())
        throw Refused(400, std::string("the request has no text \"") + key + "\"");
    return it->get<std::string>();
}

std::string Param(const httplib::Request& req, const char* key) {
    if (!req.has_param(key)) throw Refused(400, std::string("the request has no \"") + key + "\"");
    return req.get_param_value(key);
}

long long Whole(const std::string& text, const char* what) {
    try {
        std::size_t used = 0;
        const long long v = std::stoll(text, &used);
        if (used == text.size()) return v;
    } catch (const std::exception&) {
    }
    throw Refused(400, std::string(what) + " " + Quoted(Excerpt(text)) + " is not a whole number");
}

class ViewServer {
public:
    ViewServer(const ViewOptions& o)
        : m_catalog(Catalog::Load(o.quiet)), m_root(o.root), m_token(RandomHex(16)) {
        m_start = StartState(o);
        m_page = ViewPage();
        // Before the working folder changes, so that a relative $OCIO names what it named
        // where the command started.
        try {
            m_ocio = OcioViews::FromEnvironment();
        } catch (const Failure& e) {
            std::cerr << "qrvx: warning: " << e.what()
                      << "; float pictures are shown through sRGB\n";
            m_ocioError = e.what();
        }
        m_start["ocio"] = m_ocio ? m_ocio->Describe() : Json(nullptr);
        if (!m_ocioError.empty()) m_start["ocioError"] = m_ocioError;
        std::error_code ec;
        fs::current_path(m_root.Path(), ec);
        if (ec) throw Failure("cannot work in " + m_root.Path().string() + ": " + ec.message());
    }

    const std::string& Token() const { return m_token; }

    void Routes(httplib::Server& s) {
        s.set_payload_max_length(kMaxRequestBytes);
        s.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
        s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            std::string given = req.get_header_value("X-Token");
            if (given.empty()) given = req.get_param_value("t");
            if (SameSecret(given, m_token)) return httplib::Server::HandlerResponse::Unhandled;
            res.status = 403;
            res.set_content(
                "forbidden: the address lacks the access token that qrvx view printed\n",
                "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });
        s.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_header("X-Content-Type-Options", "nosniff");
        });
        s.set_exception_handler(
            [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
                SendJson(res, {{"error", "internal error"}}, 500);
            });

        s.Get("/", [this](const httplib::Request&, httplib::Response& res) {
            res.set_header(
                "Content-Security-Policy",
                "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                "img-src data: blob:; connect-src 'self'");
            res.set_content(m_page, "text/html; charset=utf-8");
        });
        Route(s, "GET", "/api/start", [this](const auto&, auto& res) { SendJson(res, m_start); });
        Route(s, "GET", "/api/tools", [this](const auto&, auto& res) { SendJson(res, Tools()); });
        Route(s, "GET", "/api/files", [this](const auto& req, auto& res) {
            SendJson(res, m_root.List(req.has_param("dir") ? req.get_param_value("dir") : ""));
        });
        Route(s, "POST", "/api/session",
              [this](const auto& req, auto& res) { Open(Body(req), res); });
        Route(s, "GET", "/api/state", [this](const auto& req, auto& res) {
            SendJson(res, Find(Param(req, "s"))->State());
        });
        Route(s, "POST", "/api/set", [this](const auto& req, auto& res) {
            const Json b = Body(req);
            auto session = Find(Text(b, "s"));
            session->Set(Text(b, "id"), Text(b, "value"));
            SendJson(res, session->State());
        });
        Route(s, "POST", "/api/connect", [this](const auto& req, auto& res) {
            const Json b = Body(req);
            auto session = Find(Text(b, "s"));
            session->Connect(Text(b, "id"), Text(b, "path"));
            SendJson(res, session->State());
        });
        Route(s, "POST", "/api/frame", [this](const auto& req, auto& res) {
            const Json b = Body(req);
            auto session = Find(Text(b, "s"));
            const auto f = b.find("frame");
            if (f == b.end() || !f->is_number_integer() || *f < 0 || *f > 999'999'999)
                throw Refused(400, "the request has no frame number");
            session->SetFrame(f->get<int>());
            SendJson(res, session->State());
        });
        Route(s, "GET", "/api/render", [this](const auto& req, auto& res) { Render(req, res); });
        Route(s, "GET", "/api/picture", [this](const auto& req, auto& res) {
            auto session = Find(Param(req, "s"));
            const auto image = session->Last(Param(req, "which") == "input");
            if (!image) throw Refused(404, "nothing has been rendered yet");
            SendPicture(res, *image, *ViewOf(req));
        });
        Route(s, "GET", "/api/pixel", [this](const auto& req, auto& res) {
            auto session = Find(Param(req, "s"));
            const auto image = session->Last(Param(req, "which") == "input");
            const long long x = Whole(Param(req, "x"), "x"), y = Whole(Param(req, "y"), "y");
            const auto v = image && x >= 0 && y >= 0 && x < image->Width() && y < image->Height()
                               ? HostPixel(*image, int(x), int(y))
                               : std::nullopt;
            if (!v) return SendJson(res, {{"inside", false}});
            SendJson(res, {{"inside", true}, {"float", image->IsFloat()}, {"values", *v}});
        });
        Route(s, "POST", "/api/save", [this](const auto& req, auto& res) {
            const Json b = Body(req);
            auto session = Find(Text(b, "s"));
            const std::string path = Text(b, "path");
            session->SaveSettings(path);
            SendJson(res, {{"saved", path}});
        });
    }

private:
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    // Registers a handler whose errors become a JSON {"error": one line}: 400 for a
    // usage error (a bad value or path), 422 for a failure (a file that cannot be read),
    // the refusal's own status otherwise.
    static void Route(httplib::Server& s, const char* method, const char* path, Handler h) {
        auto guarded = [h](const httplib::Request& req, httplib::Response& res) {
            try {
                h(req, res);
            } catch (const Refused& e) {
                SendJson(res, {{"error", e.what()}}, e.status);
            } catch (const UsageError& e) {
                SendJson(res, {{"error", e.what()}}, 400);
            } catch (const std::bad_alloc&) {
                SendJson(res, {{"error", "out of memory"}}, 422);
            } catch (const std::exception& e) {
                SendJson(res, {{"error", e.what()}}, 422);
            }
        };
        if (std::string(method) == "GET")
            s.Get(path, guarded);
        else
            s.Post(path, guarded);
    }

    // What the first page opens with: the tool, inputs and settings of the command line.
    // Checks them all, so that a mistake stops the command before it serves.
    Json StartState(const ViewOptions& o) {
        Registry& entry = o.tool.empty() ? DefaultTool() : m_catalog.Find(o.tool);
        qrvx::Tool tool(entry);
        Json inputs = Json::object();
        for (const std::string& arg : o.inputs) {
            const Binding b = ParseBinding(tool, arg);
            const std::string id = b.input->Decl().id;
            if (inputs.contains(id))
                throw UsageError("image input " + Quoted(id) + " is given twice");
            std::string rel;
            try {
                rel = m_root.Relative(fs::weakly_canonical(fs::absolute(b.path.Text())));
            } catch (const UsageError&) {
                throw UsageError("-i " + arg + " is outside the root " + m_root.Path().string() +
                                 " (choose it with --root)");
            }
            inputs[id] = rel;
        }
        if (!o.settingsFile.empty()) LoadSettings(tool, o.settingsFile);
        return {{"tool", DisplayName(entry)},
                {"inputs", inputs},
                {"controls", SettingsJson(tool)["controls"]},
                {"root", m_root.Path().string()}};
    }

    Registry& DefaultTool() const {
        for (Registry* e : m_catalog.Entries())
            if (DisplayName(*e) == "ChannelShift") return *e;
        return *m_catalog.Entries().front();
    }

    Json Tools() const {
        Json list = Json::array();
        for (const Registry* e : m_catalog.Entries())
            list.push_back({{"name", DisplayName(*e)},
                            {"id", e->ID().Text()},
                            {"help", e->Text(tag::RegHelp)}});
        return list;
    }

    // Opens a page's session: {"tool", "inputs": {ID: path}, "frame", "controls": {...}}.
    // Inputs that cannot be connected are reported beside the state; the session opens.
    void Open(const Json& b, httplib::Response& res) {
        auto session = std::make_shared<ViewSession>(m_root, m_catalog.Find(Text(b, "tool")));
        Json errors = Json::array();
        if (const auto c = b.find("controls"); c != b.end() && c->is_object()) {
            try {
                session->SetAll(*c, "settings");
            } catch (const std::exception& e) {
                errors.push_back(e.what());
            }
        }
        if (const auto in = b.find("inputs"); in != b.end() && in->is_object())
            for (const auto& [id, path] : in->items()) {
                try {
                    if (path.is_string()) session->Connect(id, path.get<std::string>());
                } catch (const std::exception& e) {
                    errors.push_back(e.what());
                }
            }
        if (const auto f = b.find("frame"); f != b.end() && f->is_number_integer() && *f >= 0)
            session->SetFrame(f->get<int>());
        std::string id = RandomHex(8);
        {
            std::lock_guard lock(m_mutex);
            if (m_sessions.size() >= kMaxSessions) {
                auto oldest = m_sessions.begin();
                for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it)
                    if (it->second->LastUse() < oldest->second->LastUse()) oldest = it;
                m_sessions.erase(oldest);
            }
            session->Touch(++m_uses);
            m_sessions[id] = session;
        }
        Json state = session->State();
        state["session"] = id;
        state["errors"] = errors;
        SendJson(res, state);
    }

    std::shared_ptr<ViewSession> Find(const std::string& id) {
        std::lock_guard lock(m_mutex);
        const auto it = m_sessions.find(id);
        if (it == m_sessions.end())
            throw Refused(404, "the page's session is closed; reload the page");
        it->second->Touch(++m_uses);
        return it->second;
    }

    // The view transform of float pictures that a picture request names: "view=raw",
    // "view=srgb", or "view=ocio&display=D&ocioView=V" (the config's default display or
    // view where one is not given); without "view", the config's default display and view
    // when $OCIO named one, else sRGB.
    std::shared_ptr<const FloatView> ViewOf(const httplib::Request& req) {
        const auto builtIn = [](const FloatView& v) {
            return std::shared_ptr<const FloatView>(std::shared_ptr<const FloatView>(), &v);
        };
        const std::string kind = req.has_param("view") ? req.get_param_value("view")
                                 : m_ocio              ? "ocio"
                                                       : "srgb";
        if (kind == "raw") return builtIn(RawView());
        if (kind == "srgb") return builtIn(SrgbView());
        if (kind != "ocio")
            throw Refused(400, "view " + Quoted(Excerpt(kind)) + " is not raw, srgb or ocio");
        if (!m_ocio)
            throw Refused(400, m_ocioError.empty() ? "no OpenColorIO config: $OCIO is not set"
                                                   : m_ocioError);
        const Json& ocio = m_start.at("ocio");
        std::string display = req.get_param_value("display");
        if (display.empty()) display = ocio["display"].get<std::string>();
        std::string view = req.get_param_value("ocioView");
        if (view.empty())
            for (const Json& d : ocio["displays"])
                if (d["name"] == display) view = d["defaultView"].get<std::string>();
        return m_ocio->View(display, view);
    }

    static void SendPicture(httplib::Response& res, const Image& image, const FloatView& t) {
        res.set_header("X-Width", std::to_string(image.Width()));
        res.set_header("X-Height", std::to_string(image.Height()));
        res.set_header("X-Float", image.IsFloat() ? "1" : "0");
        const auto start = std::chrono::steady_clock::now();
        std::string pixels = ViewPixels(image, t);
        res.set_header("X-Convert-Ms", std::to_string(std::chrono::duration<double, std::milli>(
                                                          std::chrono::steady_clock::now() - start)
                                                          .count()));
        res.set_content(std::move(pixels), "application/octet-stream");
    }

    // Renders the session's state as of the change the page names; 409 when a newer change
    // overtook it, 422 with the one-line message when the render failed.
    void Render(const httplib::Request& req, httplib::Response& res) {
        auto session = Find(Param(req, "s"));
        const long long change = Whole(Param(req, "change"), "change");
        const auto view = ViewOf(req);
        const auto start = std::chrono::steady_clock::now();
        const ViewSession::Rendered r = session->Render(std::uint64_t(std::max(change, 0LL)));
        if (r.dropped) return SendJson(res, {{"dropped", true}}, 409);
        if (!r.error.empty()) return SendJson(res, {{"error", r.error}, {"change", r.change}}, 422);
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        res.set_header("X-Change", std::to_string(r.change));
        res.set_header("X-Render-Ms", std::to_string(ms));
        res.set_header("X-Input-Width", std::to_string(r.input ? r.input->Width() : 0));
        res.set_header("X-Input-Height", std::to_string(r.input ? r.input->Height() : 0));
        SendPicture(res, *r.output, *view);
    }

    Catalog m_catalog;
    RootFolder m_root;
    std::string m_token;
    Json m_start;
    std::string m_page;
    std::unique_ptr<OcioViews> m_ocio; // $OCIO's config, when it names one that reads
    std::string m_ocioError;           // why the config that $OCIO names does not
    std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<ViewSession>> m_sessions;
    std::uint64_t m_uses = 0;
};

} // namespace

void RunView(const ViewOptions& o) {
    if (o.port < 0 || o.port > 65535)
        throw UsageError("--port " + std::to_string(o.port) + " is not a port");
    ViewServer view(o);
    // A page closed in the middle of a reply must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    // Ctrl-C and SIGTERM are taken by one thread, which stops the server; every other
    // thread (the request threads start later) inherits the blocked set.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    httplib::Server server;
    view.Routes(server);
    int port = o.port;
    if (port == 0)
        port = server.bind_to_any_port(o.bind);
    else if (!server.bind_to_port(o.bind, port))
        port = -1;
    if (port <= 0) throw Failure("cannot listen on " + o.bind + ":" + std::to_string(o.port));
    if (o.bind != "127.0.0.1" && o.bind != "localhost" && o.bind != "::1")
        std::cerr << "qrvx: warning: serving on " << o.bind
                  << ": anyone who can reach this address and learns the link can read and write "
                     "files under the root\n";
    const std::string host = o.bind.find(':') != std::string::npos ? "[" + o.bind + "]" : o.bind;
    std::cout << "http://" << host << ":" << port << "/?t=" << view.Token() << std::endl;
    if (!o.quiet) std::cerr << "qrvx: view: open the address above in a browser; Ctrl-C stops\n";

    std::thread([&server, stopSignals] {
        int signal = 0;
        sigwait(&stopSignals, &signal);
        server.stop();
    }).detach();
    server.listen_after_bind();
}

} // namespace app
