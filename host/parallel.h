// The host's one way of spreading work over threads (inside the host library only).
#pragma once

#include <functional>

namespace host {

// The most threads a render's workers use: the calling thread's own count if it set one,
// else the process-wide count, else every core (qrvx::SetThreadCount and
// qrvx::ThreadCountScope set them; values below 1 mean none set).
int ThreadCount();
void SetThreadCount(int threads);
// Sets the calling thread's own count and returns the one it had.
int ExchangeThreadCount(int threads);

// Runs work(k) once for every k in [0, count) on an application's own threads
// (qrvx::BandRunner, the same type).
using BandRunner = std::function<void(long count, const std::function<void(long)>& work)>;
// Sets the runner of the calling thread's renders (null: the host's threads) and returns
// the one it had.
const BandRunner* ExchangeBandRunner(const BandRunner* runner);

// The bands of work begun and finished since the process started (qrvx::RenderProgress).
void BandsSoFar(long& begun, long& finished);

// Runs body(begin, end) over contiguous bands covering [0, n): band k of b is
// [n*k/b, n*(k+1)/b), with b = min(n, maxBands) and at most ThreadCount() threads at
// once. With one thread or one band the body runs on the calling thread.
void ParallelBands(long n, long maxBands, const std::function<void(long, long)>& body);

// The number of bands the host cuts work into for the current thread count.
long DefaultBands();

// The bands a tool that works in bands of rows cuts n rows into: two per thread (fewer
// when n is smaller), so that a slow band leaves other threads something to take.
long RowBands(long n);

// Set while a render on this thread only asks for the output's size: the tool's workers
// are skipped (qrvx::Tool::OutputSize).
bool& SizeOnlyRun();

} // namespace host
