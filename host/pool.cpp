#include "host/pool.h"

#include "host/image.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include <sys/mman.h>

namespace {

// Released pixel blocks, kept by size for the next image of that size.
class Pool {
public:
    void* Acquire(std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            auto it = m_free.find(bytes);
            if (it != m_free.end() && !it->second.empty()) {
                void* p = it->second.back();
                it->second.pop_back();
                m_kept -= bytes;
                return p;
            }
        }
        void* p = Allocate(bytes);
        if (!p) {
            Trim();
            p = Allocate(bytes);
        }
        return p;
    }

    void Release(void* p, std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            if (m_kept + bytes <= m_limit) {
                m_free[bytes].push_back(p);
                m_kept += bytes;
                return;
            }
        }
        std::free(p);
    }

    void Trim() {
        std::lock_guard lock(m_mutex);
        for (auto& [bytes, blocks] : m_free)
            for (void* p : blocks) std::free(p);
        m_free.clear();
        m_kept = 0;
    }

    void SetLimit(std::size_t bytes) {
        {
            std::lock_guard lock(m_mutex);
            m_limit = bytes;
        }
        Trim();
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

    std::mutex m_mutex;
    std::map<std::size_t, std::vector<void*>> m_free;
    std::size_t m_kept = 0;
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

} // namespace host

void SetImagePoolLimit(std::size_t bytes) { ThePool().SetLimit(bytes); }
void TrimImagePool() { ThePool().Trim(); }
