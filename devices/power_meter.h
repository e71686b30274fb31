// The process-wide log of a board's power measurements: a ring of the latest events and the
// lowest power seen since the last reset. The engine's SoC driver writes it; the system reads it.
#pragma once

#include <nuvra/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace nuvra {

class NUVRA_EXPORT PowerMeter {
 public:
  struct PowerEvent {
    int64_t ts = 0;         // in the producer's unit
    uint32_t voltage = 0;   // µV
    uint32_t current = 0;   // mA
  };

  static constexpr size_t kCapacity = 100;

  PowerMeter();

  // The process-wide meter, made on first use and destroyed at exit.
  static PowerMeter* get();

  // Keeps the event unless its power is not positive or it is not later than the last reset;
  // when the ring is full the oldest event makes room.
  void log_event(PowerEvent&& event);
  bool has_events() const;
  // Lowest power (mW) kept since the last reset; 0.0 when none was.
  float floor() const;
  // Starts a new measuring period: the floor starts again and events not later than `ts` are
  // refused from now on. Kept events stay.
  void reset(long ts);
  // The kept events, oldest first.
  std::vector<PowerEvent> events() const;

 private:
  size_t next(size_t position) const { return position == last_ ? 0 : position + 1; }

  std::vector<PowerEvent> ring_;
  size_t write_ = 0;
  size_t read_ = 0;
  size_t last_ = kCapacity - 1;
  bool full_ = false;
  float floor_;
  int64_t reset_ts_ = 0;
  mutable std::mutex mutex_;
};

}  // namespace nuvra
