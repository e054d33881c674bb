// A tool as small as a tool can be, compiled against the headers tools see. Without
// REACH it must compile; with REACH set to a case below it reaches for something only
// the host or its clients may use, and must not compile (see check.cmake).
#include "frame/tool.h"

#if REACH == 1
#include "host/session.h"
#elif REACH == 2
#include "host/access.h"
#endif

namespace {

class Probe : public ThreadedOperator {
public:
    Probe(Registry* registry, ScriptVal& table, TagList& tags)
        : ThreadedOperator(registry, table, tags) {
        m_input = frame::ImageIn(*this, "Input");
        m_output = frame::ImageOut(*this);
    }

    void Process(Request* req) override {
        const frame::MainPair f = frame::Begin(req, m_input);
#if REACH == 3
        Image* own = new Image(f.width, f.height, f.src->Depth()); // an image no render owns
        own->Recycle();
#elif REACH == 4
        Image over(f.width, f.height, f.src->Depth(), f.dst->Row<void>(0), f.dst->RowBytes());
#elif REACH == 5
        for (const auto& in : Inputs()) (void)in; // the declarations as the host lists them
#elif REACH == 6
        (void)FindInput("Input");
#elif REACH == 7
        req->Adopt(f.dst);
#elif REACH == 8
        (void)req->TakeOutput(m_output);
#elif REACH == 9
        Request other(0.0); // a render of its own
#elif REACH == 10
        Request::Scope scope(*req);
#elif REACH == 11
        SetMaxImagePixels(1);
#elif REACH == 12
        TrimImagePool();
#elif REACH == 13
        qrvx::SetThreadCount(1);
#elif REACH == 14
        (void)Outputs();
#endif
        DoMultiProcess(req, f.height);
        m_output->Set(req, f.dst);
    }

private:
    Input* m_input;
    Output* m_output;
};

} // namespace

QRVX_REGISTER_TOOL(Probe, "Probe.Tool", "Probe", "Prb", "Probe", frame::kNoTileBitmap, "", "")
