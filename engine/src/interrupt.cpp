#include <nuvra/interrupt.h>

#include <utility>

namespace nuvra {

namespace {

thread_local const InterruptScope* current = nullptr;

}  // namespace

InterruptScope::InterruptScope(std::function<bool()> check) : check_(std::move(check)), outer_(current) {
  current = this;
}

InterruptScope::~InterruptScope() { current = outer_; }

void check_interrupt() {
  if (current && current->check_ && current->check_()) throw Interrupted();
}

}  // namespace nuvra
