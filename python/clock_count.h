// The board's clock counter over one run: it counts only during the run and stops on every way
// out of it.
//
// Python code inside a run (a signal handler between two board runs of a model, or between two
// frames) may run the same board again. The board has one counter, so a run inside another leaves
// it counting and hands its own clocks to the enclosing run, which leaves them out: each run's
// count is its own frames. A run inside another never switches the counter: a board that runs
// frames refuses that, and a model that runs only in software must still run beside it.
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
    std::vector<ClockCount*>& counting = active();
    for (auto it = counting.rbegin(); it != counting.rend() && !outer_; ++it)
      if ((*it)->board_ == board_) outer_ = *it;
    // Whoever runs the board's frames already counts on it.
    switches_ = !outer_ && !board_->running();
    if (switches_) board_->enable_clk_counter(true);
    start_ = board_->read_clk_counter();
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
    else if (switches_ && !outlived())
      board_->enable_clk_counter(false);
    return clocks;
  }

  bool outlived() const {
    for (const ClockCount* count : active())
      if (count->outer_ == this) return true;
    return false;
  }

  // Counts made inside this one that outlive it (another thread's run) hand their clocks on to
  // the enclosing one, or switch the counter off themselves when there is none.
  void leave() {
    std::vector<ClockCount*>& counting = active();
    for (ClockCount* count : counting) {
      if (count->outer_ != this) continue;
      count->outer_ = outer_;
      if (!outer_) count->switches_ = switches_;
    }
    const auto it = std::find(counting.begin(), counting.end(), this);
    if (it != counting.end()) counting.erase(it);
  }

  HardwareDevice* board_;
  ClockCount* outer_ = nullptr;
  uint32_t start_ = 0;
  uint32_t inner_ = 0;  // clocks of the runs made inside this one
  bool stopped_ = false;
  bool switches_ = false;  // this count switched the counter on, so it switches it off
};

}  // namespace nuvra
