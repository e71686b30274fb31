#include <nuvra/interrupt.h>

#include <unistd.h>

#include <utility>

namespace nuvra {

namespace {

thread_local const InterruptScope* current = nullptr;

}  // namespace

InterruptScope::InterruptScope(std::function<bool()> check)
    : check_(std::move(check)), outer_(current), pid_(getpid()) {
  current = this;
}

InterruptScope::~InterruptScope() { current = outer_; }

void check_interrupt() {
  if (!current || !current->check_) return;
  if (current->check_()) throw Interrupted();
  // Stops at once: the rest of the sample could wait on a lock a thread of the parent held.
  if (getpid() != current->pid_) throw ForkedDuringRun();
}

}  // namespace nuvra
