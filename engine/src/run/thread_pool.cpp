#include "run/thread_pool.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
  // Up to `threads` - 1 workers besides the caller. A worker that cannot start (no thread or
  // memory left) ends the starting: the pool runs with those that did, or with the caller alone.
  Pool(size_t threads, const WorkerStart& start) {
    try {
      // Room for all first: a thread made must never be dropped by a vector that cannot grow.
      workers_.reserve(threads - 1);
      for (size_t i = 1; i < threads; ++i) workers_.push_back(start([this] { work(); }));
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
    take(job);
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
      take(*job);
      std::lock_guard<std::mutex> lock(mutex_);
      if (--job->workers == 0) done_.notify_all();
    }
  }

  void take(Job& job) {
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
      }
      if (job.finished.fetch_add(1) + 1 == job.count) {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.notify_all();
      }
    }
  }

  std::vector<std::thread> workers_;
  std::mutex job_mutex_;  // one job at a time; never waited for
  std::mutex mutex_;
  std::condition_variable wake_, done_;
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

size_t inference_threads() { return pool().threads(); }

bool can_split() { return !in_task && pool().threads() > 1; }

void parallel_for(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  if (count > 1 && !in_task && pool().threads() > 1 && pool().run(count, task)) return;
  for (size_t i = 0; i < count; ++i) task(i);
}

}  // namespace nuvra::detail
