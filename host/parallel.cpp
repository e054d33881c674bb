#include "host/parallel.h"

#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

std::atomic<int> g_threads{0}; // 0: every core
std::atomic<long> g_bandsBegun{0}, g_bandsFinished{0};
thread_local int t_threads = 0; // this thread's own count; 0: the process-wide one
thread_local const host::BandRunner* t_runner = nullptr; // this thread's renders' runner

int Cores() { return std::max(1, tbb::this_task_arena::max_concurrency()); }

// The arena of the last thread count asked for: made when first needed and kept while
// renders ask for that count; a render at another count replaces it (renders that still
// run in the old one hold it until they end).
std::shared_ptr<tbb::task_arena> ArenaFor(int threads) {
    static std::mutex mutex;
    static std::shared_ptr<tbb::task_arena> arena;
    std::lock_guard lock(mutex);
    if (!arena || arena->max_concurrency() != threads)
        arena = std::make_shared<tbb::task_arena>(threads);
    return arena;
}

} // namespace

namespace host {

int ThreadCount() {
    static const int cores = Cores();
    int t = t_threads > 0 ? t_threads : g_threads.load();
    return t < 1 ? cores : t;
}

void SetThreadCount(int threads) { g_threads = threads < 1 ? 0 : threads; }

int ExchangeThreadCount(int threads) { return std::exchange(t_threads, threads < 1 ? 0 : threads); }

const BandRunner* ExchangeBandRunner(const BandRunner* runner) {
    return std::exchange(t_runner, runner);
}

void BandsSoFar(long& begun, long& finished) {
    // Finished first, so that it never exceeds begun.
    finished = g_bandsFinished.load();
    begun = g_bandsBegun.load();
}

bool& SizeOnlyRun() {
    thread_local bool sizeOnly = false;
    return sizeOnly;
}

long DefaultBands() { return 8L * ThreadCount(); }

long RowBands(long n) { return std::max(1L, std::min(n, 2L * ThreadCount())); }

void ParallelBands(long n, long maxBands, const std::function<void(long, long)>& body) {
    if (n <= 0) return;
    const long bands = std::max(1L, std::min(n, maxBands));
    const int threads = ThreadCount();
    g_bandsBegun.fetch_add(bands);
    auto band = [&](long k) {
        body(n * k / bands, n * (k + 1) / bands);
        g_bandsFinished.fetch_add(1);
    };
    if (threads == 1 || bands == 1) {
        for (long k = 0; k < bands; ++k) band(k);
        return;
    }
    if (t_runner) {
        (*t_runner)(bands, band);
        return;
    }
#ifdef QRVX_PLAIN_THREADS
    // The ThreadSanitizer build: oneTBB's library is not built with the sanitizer, which
    // then cannot see how it hands work over and reports its task objects as races. Here
    // the same bands run on plain threads, whose start and join it follows, so what it
    // reports is ours. The first exception a band throws is rethrown, as oneTBB does.
    std::atomic<long> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    auto work = [&] {
        try {
            for (long k; (k = next++) < bands;) band(k);
        } catch (...) {
            std::lock_guard lock(failureMutex);
            if (!failure) failure = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    for (long t = 1; t < std::min<long>(threads, bands); ++t) helpers.emplace_back(work);
    work();
    for (std::thread& h : helpers) h.join();
    if (failure) std::rethrow_exception(failure);
    return;
#endif
    ArenaFor(threads)->execute([&] {
        tbb::parallel_for(
            tbb::blocked_range<long>(0, bands, 1),
            [&](const tbb::blocked_range<long>& r) {
                for (long k = r.begin(); k < r.end(); ++k) band(k);
            },
            tbb::simple_partitioner());
    });
}

} // namespace host
