#include "run/thread_pool.h"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <limits>
#include <mutex>
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

class Pool {
 public:
  explicit Pool(size_t threads) {
    for (size_t i = 1; i < threads; ++i) workers_.emplace_back([this] { work(); });
  }
  size_t threads() const { return workers_.size() + 1; }

  void run(size_t count, const std::function<void(size_t)>& task) {
    std::lock_guard<std::mutex> one_job(job_mutex_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      task_ = &task;
      count_ = count;
      next_.store(0);
      failed_at_ = std::numeric_limits<size_t>::max();
      error_ = nullptr;
      busy_ = workers_.size();
      ++generation_;
    }
    wake_.notify_all();
    take_indices();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return busy_ == 0; });
    task_ = nullptr;
    if (error_) std::rethrow_exception(error_);
  }

 private:
  void work() {
    uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return generation_ != seen; });
        seen = generation_;
      }
      take_indices();
      std::lock_guard<std::mutex> lock(mutex_);
      if (--busy_ == 0) done_.notify_one();
    }
  }

  // Indices are handed out in increasing order; after a failure at i no index above i starts,
  // while every index below i has already started and may still fail with a lower index.
  void take_indices() {
    in_task = true;
    struct Leave {
      ~Leave() { in_task = false; }
    } leave;
    for (;;) {
      const size_t i = next_.fetch_add(1);
      if (i >= count_ || i > failed_at_.load()) return;
      try {
        (*task_)(i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(error_mutex_);
        if (i < failed_at_.load()) {
          failed_at_.store(i);
          error_ = std::current_exception();
        }
      }
    }
  }

  std::vector<std::thread> workers_;
  std::mutex job_mutex_;  // one job at a time
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  uint64_t generation_ = 0;
  size_t busy_ = 0;

  const std::function<void(size_t)>* task_ = nullptr;
  size_t count_ = 0;
  std::atomic<size_t> next_{0};
  std::atomic<size_t> failed_at_{std::numeric_limits<size_t>::max()};
  std::mutex error_mutex_;
  std::exception_ptr error_;
};

// Never destroyed: its workers wait for jobs until the process ends. A child made by fork has
// none of the parent's workers, so it makes a pool of its own.
Pool& pool() {
  static std::mutex mutex;
  static Pool* instance = nullptr;
  static pid_t owner = 0;
  std::lock_guard<std::mutex> lock(mutex);
  if (!instance || owner != getpid()) {
    instance = new Pool(usable_cpus());
    owner = getpid();
  }
  return *instance;
}

}  // namespace

size_t inference_threads() { return pool().threads(); }

bool can_split() { return !in_task && pool().threads() > 1; }

void parallel_for(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  if (count == 1 || in_task || pool().threads() == 1) {
    for (size_t i = 0; i < count; ++i) task(i);
    return;
  }
  pool().run(count, task);
}

}  // namespace nuvra::detail
