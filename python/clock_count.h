// The board's clock counter over one run: it counts only during the run and stops on every way
// out of it.
//
// Python code inside a run (a signal handler between two board runs of a model) may run the same
// board again. The board has one counter, so a run inside another leaves it counting and hands
// its own clocks to the enclosing run, which leaves them out: each run's count is its own frames.
#pragma once

#include <nuvra/hardware.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace nuvra {

class ClockCount {
 public:
  // Null: no board, nothing counted.
  explicit ClockCount(HardwareDevice* board) : board_(board) {
    if (!board_) return;
    board_->enable_clk_counter(true);
    start_ = board_->read_clk_counter();
    std::vector<ClockCount*>& counting = active();
    for (auto it = counting.rbegin(); it != counting.rend() && !outer_; ++it)
      if ((*it)->board_ == board_) outer_ = *it;
    counting.push_back(this);
  }
  ClockCount(const ClockCount&) = delete;
  ClockCount& operator=(const ClockCount&) = delete;
  ~ClockCount() {
    if (!board_ || stopped_) return;
    try {
      finish();
    } catch (...) {  // the run's own failure is the one to report
    }
    leave();
  }
  // Clocks since the start, modulo 2^32, less those of the runs made inside this one; the
  // counter is off after, unless an enclosing run still counts.
  uint32_t stop() {
    stopped_ = true;
    struct Leave {
      ClockCount* count;
      ~Leave() { count->leave(); }
    } leave{this};
    return finish() - inner_;
  }

 private:
  // Every count alive, innermost last. Runs hold the interpreter lock, so one list serves all
  // threads.
  static std::vector<ClockCount*>& active() {
    static std::vector<ClockCount*> counts;
    return counts;
  }

  uint32_t finish() {
    const uint32_t clocks = board_->read_clk_counter() - start_;
    if (outer_)
      outer_->inner_ += clocks;
    else
      board_->enable_clk_counter(false);
    return clocks;
  }

  // Counts made inside this one that outlive it (another thread's run) hand their clocks on to
  // the enclosing one.
  void leave() {
    std::vector<ClockCount*>& counting = active();
    for (ClockCount* count : counting)
      if (count->outer_ == this) count->outer_ = outer_;
    const auto it = std::find(counting.begin(), counting.end(), this);
    if (it != counting.end()) counting.erase(it);
  }

  HardwareDevice* board_;
  ClockCount* outer_ = nullptr;
  uint32_t start_ = 0;
  uint32_t inner_ = 0;  // clocks of the runs made inside this one
  bool stopped_ = false;
};

}  // namespace nuvra
