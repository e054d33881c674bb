#include "host/operator.h"

#include "host/access.h"
#include "host/parallel.h"
#include "host/registry.h"

#include <algorithm>

// ---- Object ------------------------------------------------------------------------

bool Object::SetAttrs(tag::Id, long long) { return false; }

void Object::Recycle() {
    auto* image = dynamic_cast<Image*>(this);
    if (image && Request::Current() && host::Access::Release(*Request::Current(), image)) return;
    delete this;
}

// ---- Input -------------------------------------------------------------------------

Input::Input(Operator& owner, InputDecl decl)
    : m_owner(owner), m_decl(std::move(decl)), m_visible(m_decl.visibleAtCreation) {
    if (IsPoint()) {
        // A point without a declared default starts at the image centre.
        m_value = std::make_unique<Point>(0.5, 0.5);
    } else if (!IsImage()) {
        m_value = std::make_unique<Number>(m_decl.defaultValue.value_or(0.0));
    }
}

Parameter* Input::GetValue(Request*, int) {
    if (IsImage()) return const_cast<Image*>(m_image);
    return m_value.get();
}

void Input::SetValue(const Parameter& value, double time, int, int) {
    if (IsImage()) throw HostError("\"" + m_decl.id + "\" is an image input, not a control");
    if (IsPoint()) {
        const auto* p = dynamic_cast<const Point*>(&value);
        if (!p) throw HostError("\"" + m_decl.id + "\" takes a point (x,y)");
        m_value = std::make_unique<Point>(p->X, p->Y, p->Z);
    } else {
        const auto* n = dynamic_cast<const Number*>(&value);
        if (!n) throw HostError("\"" + m_decl.id + "\" takes a number");
        m_value = std::make_unique<Number>(n->Value());
    }
    m_owner.NotifyChanged(this, m_value.get(), time, nullptr);
}

void Input::Connect(const Image* image) {
    if (!IsImage()) throw HostError("\"" + m_decl.id + "\" is a control, not an image input");
    m_image = image;
}

bool Input::SetAttrs(tag::Id id, long long value) {
    if (id != tag::Visible) return false;
    m_visible = value != 0;
    return true;
}

// ---- Output and Request ----------------------------------------------------------

void Output::Set(Request* request, Image* image, int) {
    if (request) host::Access::SetOutput(*request, this, image);
}

namespace {
thread_local Request* t_current = nullptr;
}

Request::~Request() = default;

Request* Request::Current() { return t_current; }

Request::Scope::Scope(Request& r) : m_previous(t_current) { t_current = &r; }
Request::Scope::~Scope() { t_current = m_previous; }

void Request::Adopt(Image* image) { m_temporaries.emplace_back(image); }

bool Request::Release(Image* image) {
    auto it = std::find_if(m_temporaries.begin(), m_temporaries.end(),
                           [&](const auto& p) { return p.get() == image; });
    if (it == m_temporaries.end()) return false;
    m_temporaries.erase(it);
    return true;
}

void Request::SetOutput(const Output* output, Image* image) {
    std::unique_ptr<Image> owned;
    auto it = std::find_if(m_temporaries.begin(), m_temporaries.end(),
                           [&](const auto& p) { return p.get() == image; });
    if (it != m_temporaries.end()) {
        owned = std::move(*it);
        m_temporaries.erase(it);
    } else {
        owned.reset(image);
    }
    for (auto& [out, img] : m_outputs) {
        if (out == output) {
            img = std::move(owned);
            return;
        }
    }
    m_outputs.emplace_back(output, std::move(owned));
}

std::unique_ptr<Image> Request::TakeOutput(const Output* output) {
    for (auto& [out, img] : m_outputs)
        if (out == output) return std::move(img);
    return nullptr;
}

// ---- Operator ----------------------------------------------------------------------

Operator::Operator(Registry*, const ScriptVal&, const TagList&) {}

Operator::~Operator() = default;

void Operator::AddControlPage(const char* name, int) { m_page = name; }

namespace {

// Everything the declaration tags say, read in order.
InputDecl Describe(const std::string& page, const char* name, const FuID& id, const TagList& tags) {
    InputDecl d;
    d.page = page;
    d.name = name;
    d.id = id.Text();
    d.tags = tags;
    for (const auto& [t, v] : tags) {
        switch (t) {
        case tag::DataType: d.dataType = v.AsText(); break;
        case tag::ControlKind: d.kind = v.AsText(); break;
        case tag::PreviewControl: d.previewKind = v.AsText(); break;
        case tag::ShownLow: d.shownLow = v.AsDouble(); break;
        case tag::ShownHigh: d.shownHigh = v.AsDouble(); break;
        case tag::AllowedLow: d.allowedLow = v.AsDouble(); break;
        case tag::AllowedHigh: d.allowedHigh = v.AsDouble(); break;
        case tag::Default: d.defaultValue = v.AsDouble(); break;
        case tag::RowShare: d.rowShare = v.AsDouble(); break;
        case tag::ComboEntry: d.comboEntries.push_back(v.AsText()); break;
        case tag::ColorGroupLabel: d.colorGroupLabel = v.AsText(); break;
        case tag::Group: d.group = int(v.AsInt()); break;
        case tag::GroupPlace: d.groupPlace = int(v.AsInt()); break;
        case tag::WholeNumbers: d.wholeNumbers = v.AsInt() != 0; break;
        case tag::NotifyOnChange: d.notifyOnChange = v.AsInt() != 0; break;
        case tag::ScrewFlag: d.screwFlag = v.AsInt() != 0; break;
        case tag::Visible: d.visibleAtCreation = v.AsInt() != 0; break;
        case tag::Required: d.required = v.AsInt() != 0; break;
        case tag::LinkNumber: d.linkNumber = int(v.AsInt()); break;
        default: break;
        }
    }
    return d;
}

} // namespace

Input* Operator::AddInput(const char* name, const FuID& id, const TagList& tags) {
    m_inputs.push_back(std::make_unique<Input>(*this, Describe(m_page, name, id, tags)));
    return m_inputs.back().get();
}

Output* Operator::AddOutput(const char* name, const FuID& id, const TagList&) {
    m_outputs.push_back(std::make_unique<Output>(name, id.Text()));
    return m_outputs.back().get();
}

void Operator::NotifyChanged(Input*, Parameter*, double, TagList*) {}

bool Operator::RegInit(Registry*) { return true; }
void Operator::RegCleanup(Registry*) {}

Input* Operator::FindInput(std::string_view id) const {
    for (const auto& in : m_inputs)
        if (in->Decl().id == id) return in.get();
    return nullptr;
}

// ---- ThreadedOperator ------------------------------------------------------------

const FuID ThreadedOperator::ClassID("ThreadedOperator");

void ThreadedOperator::DoMultiProcess(Request* request, long n) {
    if (host::SizeOnlyRun()) return; // only the output's size is asked for
    host::ParallelBands(n, host::DefaultBands(), [&](long begin, long end) {
        for (long i = begin; i < end; ++i) ProcessSlice(request, i);
    });
}

void ThreadedOperator::ProcessSlice(Request*, long) {}

long ThreadedOperator::BandCount(long n) { return host::RowBands(n); }
