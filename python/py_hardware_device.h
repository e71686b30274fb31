// The native object behind a Python HardwareDevice: one discovered board and what the Python
// side keeps for it (the loaded program's bytes, the metrics and power events of the last run).
#pragma once

#include "devices/device.h"
#include "devices/power_meter.h"
#include "python/metrics.h"

#include <nuvra/hardware.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

namespace nuvra {

class PyHardwareDevice : public Device {
 public:
  // `device` must have a board; the other members start empty.
  explicit PyHardwareDevice(std::shared_ptr<Device> device);

  HwVersion version() const override { return device_->version(); }
  const char* desc() const override { return device_->desc(); }
  Mesh* mesh() const override { return device_->mesh(); }
  HardwareDevice* hardware() const override { return device_->hardware(); }

  // The wrappers of get_devices(), made on the first call that succeeds; later calls return the
  // same wrappers.
  static const std::vector<std::shared_ptr<PyHardwareDevice>>& devices();

  // Unprograms the board, keeps a copy of `bytes` and loads the board from that copy (at
  // `external_address` when given), then records "program_clk".
  void program(const uint8_t* bytes, size_t size);
  void program_external(const uint8_t* bytes, size_t size, uint32_t address);
  void unprogram();
  const std::vector<uint8_t>& program_bytes() const { return program_; }

  // Switches the board's learning only when it differs from `enabled`.
  void set_learn_enabled(bool enabled);
  // The learning memory as 32-bit words (empty without one).
  std::vector<uint32_t> learn_mem() const;
  // Takes the whole words of `size` bytes; throws std::runtime_error "unexpected input buffer
  // size" unless their number is the board's learning memory size.
  void set_learn_mem(const uint8_t* bytes, size_t size);

  PyMetrics& metrics() { return metrics_; }
  std::vector<PowerMeter::PowerEvent>& power_events() { return power_events_; }
  const std::vector<PowerMeter::PowerEvent>& power_events() const { return power_events_; }

  // The board's SoC driver, or null.
  SocDriver* soc() const;

 private:
  HardwareDevice& board() const { return *hardware(); }
  template <class Load>
  void load(const uint8_t* bytes, size_t size, Load&& load_board);

  std::shared_ptr<Device> device_;
  // While loaded, the board was given a pointer into these bytes: they change only after
  // the board lets go of them.
  std::vector<uint8_t> program_;
  PyMetrics metrics_;
  std::vector<PowerMeter::PowerEvent> power_events_;
};

}  // namespace nuvra
