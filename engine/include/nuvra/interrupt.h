// Stopping long runs: the host installs a check that runs poll between samples (and between the
// batches of a board run) on the thread that started them. The engine itself knows nothing of
// what the check looks at (a signal, a flag), so it stays free of any host language.
#pragma once

#include <functional>
#include <stdexcept>

namespace nuvra {

// Thrown by a run whose check asked it to stop, once no worker runs a sample of it any more.
// What the run had already done stays as documented by the run (Model::fit keeps the samples it
// learnt from); the model and the board stay usable.
class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("Interrupted") {}
};

// Thrown by a run in a child that host code forked during it (a signal handler run by a check):
// the threads the run shares its work with, and what they hold, stay with the parent.
class ForkedDuringRun : public std::runtime_error {
 public:
  ForkedDuringRun()
      : std::runtime_error(
            "A run cannot go on in a process forked during it: the threads it was spread over are not in this "
            "process") {}
};

// While alive, `check` is polled by runs started on the constructing thread; returning true stops
// the run with Interrupted. Scopes nest; the innermost one is polled. Not copyable, not movable.
class InterruptScope {
 public:
  explicit InterruptScope(std::function<bool()> check);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  std::function<bool()> check_;
  const InterruptScope* outer_;
  const int pid_;  // the process that made the scope
  friend void check_interrupt();
};

// Polls the calling thread's check, if any: throws Interrupted when it asks to stop, and
// ForkedDuringRun in a child that the check forked. Worker threads have none, so only the thread
// that started a run polls.
void check_interrupt();

}  // namespace nuvra
