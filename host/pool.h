// Inside the host library: the pool of pixel memory that images take their rows from
// (see host/image.h). An image of a size made before takes the memory an earlier image of
// that size gave back; beyond the pool's limit, released memory goes back to the system.
#pragma once

#include <cstddef>

namespace host {

// Memory for an image's pixels, 64-byte aligned (and on 2 MiB pages for large images), or
// null when it cannot be had even after giving back everything kept.
void* AcquirePixels(std::size_t bytes);
// Gives memory from AcquirePixels back: kept for reuse up to the limit, else freed.
void ReleasePixels(void* p, std::size_t bytes);

// How many bytes of released memory the pool keeps for reuse (qrvx::SetImagePoolLimit),
// giving all kept memory back (qrvx::TrimImagePool), and what it keeps now.
void SetPoolLimit(std::size_t bytes);
void TrimPool();
std::size_t PoolKept();

} // namespace host
