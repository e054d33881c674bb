// Operators and their inputs and outputs: what a tool derives from and declares.
//
// A tool derives from ThreadedOperator. Its constructor declares inputs in order with
// AddControlPage / AddInput / AddOutput; the host keeps every declaration with what its
// tags say. Setting an input's value runs the tool's NotifyChanged, as the host does when
// the user edits a control. A render calls Process with a Request; Process reads inputs
// with Input::GetValue, runs its worker with DoMultiProcess and hands its image to
// Output::Set.
#pragma once

#include "host/export.h"
#include "host/image.h"
#include "host/params.h"
#include "host/script.h"
#include "host/taglist.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Operator;
class Registry;
class Request;
namespace host {
struct Access; // the host's own way to the private parts (host/access.h)
}

// Everything an input declaration's tags say, kept for listing and for the host's use.
struct InputDecl {
    std::string page;        // the control page it stands on; empty before the first page
    std::string name;        // visible name
    std::string id;          // identifier under which values are saved
    std::string dataType;    // "Image", "Number" or "Point"
    std::string kind;        // control kind, e.g. "SliderControl"; empty for images
    std::string previewKind; // on-screen control, e.g. "CrosshairControl"
    std::optional<double> shownLow, shownHigh, allowedLow, allowedHigh, defaultValue;
    std::optional<double> rowShare;
    std::vector<std::string> comboEntries;
    std::string colorGroupLabel;
    std::optional<int> group, groupPlace;
    bool wholeNumbers = false;
    bool notifyOnChange = false;
    bool screwFlag = false;
    bool visibleAtCreation = true;
    bool required = false;
    int linkNumber = 0;
    TagList tags; // the declaration's tags as given, in order
    // One line saying what the control does, in the artist's words: shown by the command's
    // listing, the help of the other clients and the hints of compositing applications.
    std::string description;
};

class QRVX_HOST_API Input : public Object {
public:
    Input(Operator& owner, InputDecl decl);

    const InputDecl& Decl() const { return m_decl; }
    bool IsVisible() const { return m_visible; }
    bool IsImage() const { return m_decl.dataType == "Image"; }
    bool IsPoint() const { return m_decl.dataType == "Point"; }

    // The value at the request's time (values are constant over time): the connected
    // Image (null when none), a Number or a Point.
    Parameter* GetValue(Request* request, int flags = 0);

    // Sets the control's value (a Number for number inputs, a Point for point inputs),
    // then runs the owner's NotifyChanged with the stored value. Throws HostError for a
    // value of the wrong kind.
    void SetValue(const Parameter& value, double time = 0.0, int a = 1, int b = 0);

    // Connects an image to an image input (null disconnects). The caller keeps the image
    // alive while it is connected.
    void Connect(const Image* image);

    // Handles tag::Visible.
    bool SetAttrs(tag::Id id, long long value) override;

    // Gives the input its one-line description; returns the input, so that a tool writes
    // it beside the declaration: m_x = frame::Slider(...)->Describe("...").
    Input* Describe(std::string text) {
        m_decl.description = std::move(text);
        return this;
    }

private:
    Operator& m_owner;
    InputDecl m_decl;
    bool m_visible;
    std::unique_ptr<Parameter> m_value;
    const Image* m_image = nullptr;
};

class QRVX_HOST_API Output : public Object {
public:
    Output(std::string name, std::string id) : m_name(std::move(name)), m_id(std::move(id)) {}
    const std::string& Name() const { return m_name; }
    const std::string& Id() const { return m_id; }

    // Hands the image to the host for this request; the host owns it from then on.
    void Set(Request* request, Image* image, int tags = 0);

private:
    std::string m_name;
    std::string m_id;
};

// One render request: its time, the images made while it runs and what each output got.
// Only the host makes requests and moves images into and out of them.
class QRVX_HOST_API Request {
public:
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    double Time() const { return m_time; }

    // The request that a render is running on this thread, or null.
    static Request* Current();

private:
    friend struct host::Access;
    explicit Request(double time) : m_time(time) {}

    // Takes ownership of an image made during the request.
    void Adopt(Image* image);
    // Gives up an adopted image at once. Returns false when it was not adopted here.
    bool Release(Image* image);
    // Moves an image (adopted here or not) into an output's slot.
    void SetOutput(const Output* output, Image* image);
    // Takes the image an output received, or null.
    std::unique_ptr<Image> TakeOutput(const Output* output);

    // Makes this the thread's current request while it lives.
    class Scope {
    public:
        explicit Scope(Request& r);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        Request* m_previous;
    };

    double m_time;
    std::vector<std::unique_ptr<Image>> m_temporaries;
    std::vector<std::pair<const Output*, std::unique_ptr<Image>>> m_outputs;
};

class QRVX_HOST_API Operator : public Object {
public:
    Operator(Registry* registry, const ScriptVal& table, const TagList& tags);
    ~Operator() override;

    // Later inputs stand on this page.
    void AddControlPage(const char* name, int flags = 0);
    Input* AddInput(const char* name, const FuID& id, const TagList& tags);
    Output* AddOutput(const char* name, const FuID& id, const TagList& tags);

    // Called after an input's value is set. The base does nothing; overrides end by
    // calling it with the same arguments.
    virtual void NotifyChanged(Input* input, Parameter* value, double time, TagList* tags);

    // Computes the outputs for a request.
    virtual void Process(Request* request) = 0;

    static bool RegInit(Registry* registry);
    static void RegCleanup(Registry* registry);

private:
    // The declarations in order and lookup by ID are the host's (qrvx::Tool lists them).
    friend struct host::Access;
    Input* FindInput(std::string_view id) const;

    std::string m_page;
    std::vector<std::unique_ptr<Input>> m_inputs;
    std::vector<std::unique_ptr<Output>> m_outputs;
};

class QRVX_HOST_API ThreadedOperator : public Operator {
public:
    using Operator::Operator;

    // The parent class ID that registration entries name.
    static const FuID ClassID;

    // Runs ProcessSlice(request, i) for every i in [0, n) and returns when all are done.
    // The range is cut into contiguous bands (band k is [n*k/b, n*(k+1)/b)) that run on
    // up to ThreadCount() threads; each index runs exactly once. An exception thrown by a
    // slice stops the run and reaches the caller.
    void DoMultiProcess(Request* request, long n);

    // The worker for one index. The base does nothing.
    virtual void ProcessSlice(Request* request, long index);

    // For tools whose worker index is a band of rows rather than a row: how many bands
    // to cut n rows into so that every thread the host uses has work (at most n, at
    // least 1), and band k's rows [begin, end).
    static long BandCount(long n);
    struct RowRange {
        long begin, end;
    };
    static RowRange BandRows(long k, long bands, long n) {
        return {n * k / bands, n * (k + 1) / bands};
    }
};
