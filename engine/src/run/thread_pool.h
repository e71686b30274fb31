// Worker threads for software inference: samples of a batch are independent, so a run spreads
// them over the cores. The pool is made on first use, never at load time.
#pragma once

#include <cstddef>
#include <functional>

namespace nuvra::detail {

// Threads the pool runs with: the CPUs this process may use (its affinity), at least 1.
size_t inference_threads();

// Calls task(i) for every i in [0, count), spread over the pool; the calling thread takes part
// and returns once all calls are done. When calls throw, the exception of the lowest i is
// rethrown (the others are dropped), so what a caller sees does not depend on the thread count.
// Called from within a task, it runs the calls itself, in order.
void parallel_for(size_t count, const std::function<void(size_t)>& task);

// Whether work split by parallel_for on this thread would spread over several threads: the
// pool has more than one and the thread is not running a task of it.
bool can_split();

}  // namespace nuvra::detail
