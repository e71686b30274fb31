// A pool whose workers cannot all start runs with those that did (or with the caller alone):
// software runs give what a full pool gives, and the pool still stops and joins its workers.
#include "forward_models.h"

#include "run/thread_pool.h"

#include <nuvra/model.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace nuvra::test {
namespace {

std::vector<uint8_t> forward(Model& m, const std::shared_ptr<Dense>& inputs) {
  const auto y = Tensor::ensure_dense(m.forward(inputs));
  return std::vector<uint8_t>(y->storage().data(), y->storage().data() + y->byte_size());
}

// Puts the ordinary pool back whatever the test did.
struct OrdinaryPoolAfter {
  ~OrdinaryPoolAfter() { detail::remake_pool(nullptr); }
};

// Starts `started` workers, then fails as thread creation does once the address space is full.
// The workers already started have had time to go to sleep on the pool's condition variable.
detail::WorkerStart failing_after(size_t started) {
  auto count = std::make_shared<std::atomic<size_t>>(0);
  return [started, count](std::function<void()> work) {
    if (count->fetch_add(1) == started) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::thread(std::move(work));
  };
}

TEST(ThreadPool, WorkersThatCannotStartLeaveThePoolToThoseThatDid) {
  const OrdinaryPoolAfter restore;
  const size_t full = detail::inference_threads();
  std::vector<std::pair<ForwardModel, std::vector<uint8_t>>> runs;
  for (const std::string& recipe : forward_recipes()) {
    auto made = forward_model(recipe, 5);
    auto expected = forward(*made.model, made.inputs);
    runs.emplace_back(std::move(made), std::move(expected));
  }
  for (const size_t started : {0, 1, 3}) {
    detail::remake_pool(failing_after(started));
    EXPECT_EQ(detail::inference_threads(), std::min(started + 1, full)) << started << " started";
    for (const auto& [made, expected] : runs) EXPECT_EQ(forward(*made.model, made.inputs), expected) << started;
    // Failures keep their order: the lowest index's is the one seen.
    std::vector<std::atomic<int>> ran(64);
    std::string failure;
    try {
      detail::parallel_for(ran.size(), [&](size_t i) {
        ++ran[i];
        if (i == 9 || i == 40) throw std::runtime_error(std::to_string(i));
      });
    } catch (const std::runtime_error& e) {
      failure = e.what();
    }
    EXPECT_EQ(failure, "9") << started;
    for (size_t i = 0; i <= 9; ++i) EXPECT_EQ(ran[i], 1) << i;
  }
}

// A task that forks (as a signal handler may) leaves the child without the workers that hold the
// job's other indices: there the call raises instead of waiting for them, and the parent's call
// completes.
TEST(ThreadPool, ACallForkedByATaskRaisesInTheChild) {
  if (detail::inference_threads() < 2) GTEST_SKIP() << "one thread: nothing is spread";
  const std::thread::id caller = std::this_thread::get_id();
  std::atomic<pid_t> child{-1};
  std::vector<std::atomic<int>> ran(64);
  std::string raised;
  try {
    detail::parallel_for(ran.size(), [&](size_t i) {
      ++ran[i];
      if (std::this_thread::get_id() == caller && child.load() == -1) {
        child = fork();
        if (child == 0) alarm(30);  // ends a child that waits
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));  // leaves the caller indices of its own
    });
  } catch (const std::runtime_error& e) {
    raised = e.what();
  } catch (...) {
    raised = "another exception";
  }
  if (child == 0) _exit(raised.find("forked during it") != std::string::npos ? 0 : 1);  // never back into the tests
  EXPECT_EQ(raised, "");
  ASSERT_GT(child.load(), 0);
  for (size_t i = 0; i < ran.size(); ++i) EXPECT_EQ(ran[i], 1) << i;
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace nuvra::test
