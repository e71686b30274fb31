// The board's clock counter over one run: it counts only during the run and stops on every way
// out of it.
#pragma once

#include <nuvra/hardware.h>

#include <cstdint>

namespace nuvra {

class ClockCount {
 public:
  // Null: no board, nothing counted.
  explicit ClockCount(HardwareDevice* board) : board_(board) {
    if (!board_) return;
    board_->enable_clk_counter(true);
    start_ = board_->read_clk_counter();
  }
  ClockCount(const ClockCount&) = delete;
  ClockCount& operator=(const ClockCount&) = delete;
  ~ClockCount() {
    if (!board_ || stopped_) return;
    try {
      board_->enable_clk_counter(false);
    } catch (...) {  // the run's own failure is the one to report
    }
  }
  // Clocks since the start, modulo 2^32; the counter is off after.
  uint32_t stop() {
    const uint32_t end = board_->read_clk_counter();
    board_->enable_clk_counter(false);
    stopped_ = true;
    return end - start_;
  }

 private:
  HardwareDevice* board_;
  uint32_t start_ = 0;
  bool stopped_ = false;
};

}  // namespace nuvra
