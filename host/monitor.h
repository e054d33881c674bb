// What a client may watch of the host while it works: how far renders are, and how much
// released pixel memory the pool keeps.
#pragma once

#include "host/export.h"

#include <cstddef>

namespace qrvx {

// How far the process's renders are: the bands of work begun and finished so far, counted
// from the start of the process over every render (a client watching one render takes the
// difference from its start). Read while a render runs, from any thread.
struct RenderProgress {
    long begun = 0;
    long finished = 0;
};
QRVX_HOST_API RenderProgress CurrentRenderProgress();

// The bytes of released pixel memory the pool keeps now. Within the limit that
// SetImagePoolLimit sets, the pool keeps only sizes asked for more than once, and no more
// than is in use plus two of the largest blocks asked for since the last trim
// (TrimImagePool gives back everything kept, and the allocator's free memory too).
QRVX_HOST_API std::size_t ImagePoolKept();

} // namespace qrvx
