#include "devices/power_meter.h"

#include <limits>
#include <memory>

namespace nuvra {

namespace {

constexpr float kNoFloor = std::numeric_limits<float>::max();

}  // namespace

PowerMeter::PowerMeter() : ring_(kCapacity), floor_(kNoFloor) {}

PowerMeter* PowerMeter::get() {
  static const std::unique_ptr<PowerMeter> meter(new PowerMeter());
  return meter.get();
}

void PowerMeter::log_event(PowerEvent&& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Volts times milliamperes: milliwatts.
  const float power = static_cast<float>(event.voltage) / 1000000.0f * static_cast<float>(event.current);
  if (!(power > 0.0f) || event.ts <= reset_ts_) return;
  if (power < floor_) floor_ = power;
  ring_[write_] = event;
  if (full_) read_ = next(read_);
  write_ = next(write_);
  full_ = write_ == read_;
}

bool PowerMeter::has_events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return full_ || write_ != read_;
}

float PowerMeter::floor() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return floor_ == kNoFloor ? 0.0f : floor_;
}

void PowerMeter::reset(long ts) {
  std::lock_guard<std::mutex> lock(mutex_);
  floor_ = kNoFloor;
  reset_ts_ = ts;
}

std::vector<PowerMeter::PowerEvent> PowerMeter::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<PowerEvent> result;
  if (!full_ && write_ == read_) return result;
  const size_t count = full_ ? kCapacity : (write_ + kCapacity - read_) % kCapacity;
  result.reserve(count);
  for (size_t i = 0, p = read_; i < count; ++i, p = next(p)) result.push_back(ring_[p]);
  return result;
}

}  // namespace nuvra
