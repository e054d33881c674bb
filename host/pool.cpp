#include "host/pool.h"

#include "host/image.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include <malloc.h>
#include <sys/mman.h>

namespace {

// Released pixel blocks, kept by size for the next image of that size. What is kept
// follows what is used: only sizes asked for more than once (frames, their inputs, tiles
// of a sequence, not the one-off sizes of Scatter's resized stars), and at most as much as
// is in use plus two of the largest blocks asked for since the last trim, within the
// limit. So a render's working set is reused from frame to frame, and memory that is no
// longer in use goes back once the pool is trimmed or a smaller render follows.
class Pool {
public:
    void* Acquire(std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            if (m_asked.size() > kMaxSizesCounted) m_asked.clear();
            ++m_asked[bytes];
            m_largest = std::max(m_largest, bytes);
            auto it = m_free.find(bytes);
            if (it != m_free.end() && !it->second.empty()) {
                void* p = it->second.back();
                it->second.pop_back();
                if (it->second.empty()) m_free.erase(it);
                m_kept -= bytes;
                m_inUse += bytes;
                return p;
            }
        }
        void* p = Allocate(bytes);
        if (!p) {
            Trim();
            p = Allocate(bytes);
        }
        if (p) {
            std::lock_guard lock(m_mutex);
            m_inUse += bytes;
        }
        return p;
    }

    void Release(void* p, std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            m_inUse -= bytes;
            const auto asked = m_asked.find(bytes);
            const bool recurs = asked != m_asked.end() && asked->second > 1;
            const std::size_t bound = std::min(m_limit, m_inUse + 2 * m_largest);
            if (recurs && m_kept + bytes <= bound) {
                m_free[bytes].push_back(p);
                m_kept += bytes;
                return;
            }
        }
        std::free(p);
    }

    void Trim() {
        {
            std::lock_guard lock(m_mutex);
            for (auto& [bytes, blocks] : m_free)
                for (void* p : blocks) std::free(p);
            m_free.clear();
            m_kept = 0;
            m_largest = 0;
            m_asked.clear();
        }
        // The allocator keeps freed memory of its own; hand that back too.
        malloc_trim(0);
    }

    void SetLimit(std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            m_limit = bytes;
        }
        Trim();
    }

    std::size_t Kept() {
        std::lock_guard lock(m_mutex);
        return m_kept;
    }

private:
    // Large blocks are aligned to 2 MiB and asked to be backed by huge pages: one page
    // fault and one TLB entry per 2 MiB instead of per 4 KiB.
    static void* Allocate(std::size_t bytes) {
        constexpr std::size_t kHuge = std::size_t(2) << 20;
        if (bytes < 2 * kHuge) return std::aligned_alloc(64, (bytes + 63) / 64 * 64);
        const std::size_t size = (bytes + kHuge - 1) / kHuge * kHuge;
        void* p = std::aligned_alloc(kHuge, size);
        if (p) madvise(p, size, MADV_HUGEPAGE);
        return p;
    }

    // Sizes counted at most; past it the counts start again (a long run of one-off sizes).
    static constexpr std::size_t kMaxSizesCounted = 4096;

    std::mutex m_mutex;
    std::map<std::size_t, std::vector<void*>> m_free;
    std::unordered_map<std::size_t, unsigned> m_asked; // times each size was asked for
    std::size_t m_kept = 0;
    std::size_t m_inUse = 0;
    std::size_t m_largest = 0;
    std::size_t m_limit = std::size_t(4) << 30;
};

Pool& ThePool() {
    static Pool* pool = new Pool; // lives to the end of the process, past static teardown
    return *pool;
}

} // namespace

namespace host {

void* AcquirePixels(std::size_t bytes) { return ThePool().Acquire(bytes); }
void ReleasePixels(void* p, std::size_t bytes) { ThePool().Release(p, bytes); }
void SetPoolLimit(std::size_t bytes) { ThePool().SetLimit(bytes); }
void TrimPool() { ThePool().Trim(); }
std::size_t PoolKept() { return ThePool().Kept(); }

} // namespace host
