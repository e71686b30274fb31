// Worker threads for software inference: samples of a batch are independent, so a run spreads
// them over the cores. The pool is made on first use, never at load time.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

namespace nuvra::detail {

// Threads the pool runs with: the CPUs this process may use (its affinity), at least 1, or
// fewer when some of its workers could not be started.
size_t inference_threads();

// Starts a thread running `work`; throws (std::system_error, std::bad_alloc) when it cannot.
using WorkerStart = std::function<std::thread(std::function<void()>)>;

// Replaces the pool by a new one whose workers `start` starts (null: plain std::thread), after
// joining the old one's workers. For tests, and only while no call of this header runs.
void remake_pool(WorkerStart start);

// Makes, once for the calling thread, what its first exception needs, as each worker does before
// it counts as started: a run's calling thread takes part in its tasks. At the start of a run,
// before it allocates; without the room for it the thread is left as it was.
void prepare_calling_thread();

// Calls task(i) for every i in [0, count), spread over the pool; the calling thread takes part
// and returns once all calls are done. When calls throw, the exception of the lowest i is
// rethrown (the others are dropped), so what a caller sees does not depend on the thread count.
// Called from within a task, or while another thread's calls hold the pool, it runs the calls
// itself, in order: it never waits for the pool. In a child forked by one of its calls (a signal
// handler's fork) it throws ForkedDuringRun rather than wait for workers the child lacks.
void parallel_for(size_t count, const std::function<void(size_t)>& task);

// Whether work split by parallel_for on this thread would spread over several threads: the
// pool has more than one and the thread is not running a task of it.
bool can_split();

// f(begin, end) over parts of [0, count) spread over the pool when `work` reaches `worth` and it
// can split, else f(0, count) on this thread. The parts cover every index once.
template <class F>
void over_parts(size_t count, uint64_t work, uint64_t worth, F&& f) {
  if (work < worth || count < 2 || !can_split()) return f(size_t{0}, count);
  const size_t parts = std::min(count, 2 * inference_threads()), each = (count + parts - 1) / parts;
  parallel_for(parts, [&](size_t i) { f(std::min(count, i * each), std::min(count, (i + 1) * each)); });
}

}  // namespace nuvra::detail
