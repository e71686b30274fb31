#include "run/thread_pool.h"

#include <nuvra/interrupt.h>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace nuvra::detail {

namespace {

// Set while a thread runs tasks of a parallel_for that the pool spreads.
thread_local bool in_task = false;

size_t usable_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<size_t>(CPU_COUNT(&set));
  return std::max(1u, std::thread::hardware_concurrency());
}

// One parallel_for. Indices are handed out in increasing order; after a failure at i no index
// above i starts, while every index below i has already started and may still fail with a lower
// index.
struct Job {
  const std::function<void(size_t)>* task;
  size_t count;
  std::atomic<size_t> next{0}, finished{0};
  std::atomic<size_t> failed_at{std::numeric_limits<size_t>::max()};
  std::mutex error_mutex;
  std::exception_ptr error;
  std::atomic<size_t> workers{0};  // workers inside take(); changed under the pool's mutex
  bool done() const { return finished.load() == count && workers.load() == 0; }
};

// Between the jobs of one run (a batch of one goes layer by layer, each layer a job) threads
// poll for a while before they sleep: waking a sleeping thread takes longer than many layers.
constexpr auto kSpin = std::chrono::microseconds(200);

// Room a worker's start-up frees right before it makes its thread's state. The allocations glibc
// makes for that state end the process when they fail, so they must find this room: a few pages,
// each mapped on its own when the thread got no malloc arena (the address space left is too small
// for one).
constexpr size_t kStartRoom = 64 * 1024;

[[gnu::noinline]] void throw_once() { throw std::bad_alloc(); }

// Makes, while it can still fail cleanly, what a thread's first exception and its thread-locals
// need later, when a task runs out of memory: glibc allocates a dynamically loaded library's
// thread-local block (libstdc++'s exception globals; this library's thread_locals, one block for
// all) on the thread's first use of it and ends the process when it cannot, and a first throw
// also binds the unwinder's symbols. False when the room for that cannot be had.
bool prepare_thread() {
  // malloc, not a nothrow new: libstdc++'s catches the throwing new's exception, the very thing
  // that cannot be made yet.
  void* room = std::malloc(kStartRoom);
  if (!room) return false;
  asm volatile("" : : "r"(room) : "memory");  // kept: a compiler may drop a malloc that is only freed
  std::free(room);
  asm volatile("" : : "r"(&in_task) : "memory");
  try {
    throw_once();
  } catch (const std::bad_alloc&) {
  }
  return true;
}

template <class Ready>
bool spin_until(Ready ready) {
  const auto end = std::chrono::steady_clock::now() + kSpin;
  for (unsigned i = 1;; ++i) {
    if (ready()) return true;
    __builtin_ia32_pause();
    if (i % 64 == 0 && std::chrono::steady_clock::now() > end) return false;
  }
}

class Pool {
 public:
  // Up to `threads` - 1 workers besides the caller, started one at a time. A worker that cannot
  // start (no thread or memory left, or no room for its thread's state) ends the starting: the
  // pool runs with those that did, or with the caller alone.
  Pool(size_t threads, const WorkerStart& start) : owner_(getpid()) {
    try {
      // Room for all first: a thread made must never be dropped by a vector that cannot grow.
      workers_.reserve(threads - 1);
      for (size_t i = 1; i < threads; ++i) {
        std::thread worker = start([this] {
          if (report_start(prepare_thread())) work();
        });
        if (!started()) {
          worker.join();
          break;
        }
        workers_.push_back(std::move(worker));
      }
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
  }
  // Wakes the workers, which wait for a job or spin, and joins them. Only once no job runs.
  ~Pool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
      generation_.fetch_add(1);
    }
    wake_.notify_all();
    for (std::thread& t : workers_)
      if (t.joinable()) t.join();
  }
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;
  size_t threads() const { return workers_.size() + 1; }

  // The job ends once its tasks are done: workers that wake after that find no job, so a late
  // worker never holds up the caller. False, with nothing run, while another thread's job holds
  // the pool: a task may run host code (a signal handler) that lets other threads in, and one
  // that waited here for the pool could then wait for ever.
  bool run(size_t count, const std::function<void(size_t)>& task) {
    std::unique_lock<std::mutex> one_job(job_mutex_, std::try_to_lock);
    if (!one_job.owns_lock()) return false;
    Job job;
    job.task = &task;
    job.count = count;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      job_ = &job;
      generation_.fetch_add(1);
    }
    wake_.notify_all();
    take(job, true);
    // A child forked by a task (from a signal handler) has none of the workers that hold the
    // job's other indices: it would wait for them for ever.
    if (getpid() != owner_) throw ForkedDuringRun();
    spin_until([&] { return job.done(); });
    {
      std::unique_lock<std::mutex> lock(mutex_);
      done_.wait(lock, [&] { return job.done(); });
      job_ = nullptr;
    }
    if (job.error) std::rethrow_exception(job.error);
    return true;
  }

 private:
  // The worker's start-up result, for the constructor that waits for it. True when it started.
  bool report_start(bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    start_ = ok ? Start::kStarted : Start::kFailed;
    started_.notify_one();
    return ok;
  }

  bool started() {
    std::unique_lock<std::mutex> lock(mutex_);
    started_.wait(lock, [&] { return start_ != Start::kWaiting; });
    const bool ok = start_ == Start::kStarted;
    start_ = Start::kWaiting;
    return ok;
  }

  void work() {
    uint64_t seen = 0;
    for (;;) {
      Job* job;
      spin_until([&] { return generation_.load() != seen; });
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_.load() != seen; });
        if (stopping_) return;
        seen = generation_.load();
        job = job_;
        if (!job) continue;
        ++job->workers;
      }
      take(*job, false);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--job->workers == 0) done_.notify_all();
    }
  }

  // Only the caller's tasks run host code (signal handlers): a fork can happen in them alone.
  void take(Job& job, bool caller) {
    in_task = true;
    struct Leave {
      ~Leave() { in_task = false; }
    } leave;
    for (;;) {
      const size_t i = job.next.fetch_add(1);
      if (i >= job.count) return;
      if (i <= job.failed_at.load()) {
        try {
          (*job.task)(i);
        } catch (...) {
          std::lock_guard<std::mutex> lock(job.error_mutex);
          if (i < job.failed_at.load()) {
            job.failed_at.store(i);
            job.error = std::current_exception();
          }
        }
        // Forked by the task: the pool's locks may be held by threads the child lacks.
        if (caller && getpid() != owner_) return;
      }
      if (job.finished.fetch_add(1) + 1 == job.count) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.notify_all();
      }
    }
  }

  enum class Start { kWaiting, kStarted, kFailed };

  const pid_t owner_;
  std::vector<std::thread> workers_;
  std::mutex job_mutex_;  // one job at a time; never waited for
  std::mutex mutex_;
  std::condition_variable wake_, done_, started_;
  Start start_ = Start::kWaiting;  // changed under mutex_
  std::atomic<uint64_t> generation_{0};  // changed under mutex_
  Job* job_ = nullptr;
  bool stopping_ = false;  // changed under mutex_
};

std::thread start_thread(std::function<void()> work) { return std::thread(std::move(work)); }

struct Instance {
  std::mutex mutex;
  Pool* pool = nullptr;
  pid_t owner = 0;
  WorkerStart start = start_thread;
};

Instance& instance() {
  static Instance* one = new Instance;  // never destroyed, like its pool
  return *one;
}

// Never destroyed but by remake_pool: its workers wait for jobs until the process ends. A child
// made by fork has none of the parent's workers, so it makes a pool of its own.
Pool& pool() {
  Instance& i = instance();
  std::lock_guard<std::mutex> lock(i.mutex);
  if (!i.pool || i.owner != getpid()) {
    i.pool = new Pool(usable_cpus(), i.start);
    i.owner = getpid();
  }
  return *i.pool;
}

}  // namespace

void remake_pool(WorkerStart start) {
  Instance& i = instance();
  std::lock_guard<std::mutex> lock(i.mutex);
  // A pool inherited through fork has no threads here to join.
  if (i.owner == getpid()) delete i.pool;
  i.pool = nullptr;
  i.start = start ? std::move(start) : WorkerStart(start_thread);
  i.pool = new Pool(usable_cpus(), i.start);
  i.owner = getpid();
}

void prepare_calling_thread() {
  thread_local bool prepared = false;
  if (!prepared) prepared = prepare_thread();
}

size_t inference_threads() { return pool().threads(); }

bool can_split() { return !in_task && pool().threads() > 1; }

void parallel_for(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  if (count > 1 && !in_task && pool().threads() > 1 && pool().run(count, task)) return;
  for (size_t i = 0; i < count; ++i) task(i);
}

}  // namespace nuvra::detail
