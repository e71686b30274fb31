// Ctrl-C during long engine runs. The engine polls an InterruptScope between samples; here the
// scope asks Python's signal handlers, on the calling thread, which holds the GIL.
#pragma once

#include <nuvra/interrupt.h>

#include <pybind11/pybind11.h>

#include <optional>

namespace nuvra {

// Returns run(), during which engine runs on this thread poll for signals. A handler that raises
// (KeyboardInterrupt for SIGINT) stops the engine run, and its exception is raised from here.
template <class Run>
auto with_signal_checks(Run&& run) -> decltype(run()) {
  std::optional<pybind11::error_already_set> raised;
  try {
    const InterruptScope scope([&raised] {
      if (PyErr_CheckSignals() == 0) return false;
      raised.emplace();  // takes the handler's exception off the thread
      return true;
    });
    return run();
  } catch (const Interrupted&) {
    if (raised) throw *raised;
    throw;
  }
}

}  // namespace nuvra
