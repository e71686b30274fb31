// Drivers and the hardware device: how the engine reaches a board.
#pragma once

#include <nuvra/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nuvra {

class PowerMeter;
class SpiFlashController;

// Byte-addressed access to a board's register space.
class BlockDevice {
 public:
  virtual ~BlockDevice() = default;
  // Byte address of the accelerator registers.
  virtual uint32_t base_address() const = 0;
  virtual void read(uint32_t address, void* buffer, size_t bytes) = 0;
  virtual void write(uint32_t address, const void* buffer, size_t bytes) = 0;
};

// What stands behind a driver: the transport that programs and runs a board. Only
// HardwareDevice talks to it.
class BoardBackend {
 public:
  virtual ~BoardBackend() = default;
  virtual HwVersion version() const = 0;
  // NUL-terminated, owned by the board.
  virtual const char* desc() const = 0;
  // Called once per HardwareDevice::create; brings the board to its initial state or throws.
  virtual void open() = 0;
  // Fills `count` configuration words of the NP at `ident`.
  virtual void read_np_registers(uint32_t* out, const hw::Ident& ident, uint32_t count) = 0;
};

class HardwareDriver : public BlockDevice {
 public:
  // The board behind this driver; null for a driver that has none. The returned
  // pointer keeps the board (and, where the board is the driver itself, the driver) alive.
  virtual std::shared_ptr<BoardBackend> board() { return nullptr; }
};

// A driver may implement this besides HardwareDriver; it is reached by a cross cast.
class SocDriver {
 public:
  virtual ~SocDriver() = default;
  virtual soc::ClockMode clock_mode() = 0;
  virtual void set_clock_mode(const soc::ClockMode& mode) = 0;
  virtual void set_power_measurement(bool enabled) = 0;
  // Null while power measurement is off.
  virtual std::shared_ptr<PowerMeter> power_meter() = 0;
};

// A driver may implement this besides HardwareDriver; it is reached by a cross cast.
class FlashAccessDriver {
 public:
  virtual ~FlashAccessDriver() = default;
  virtual std::shared_ptr<SpiFlashController> spi_flash() = 0;
};

// The drivers of the boards the engine knows, in a list the engine owns.
std::vector<HardwareDriver*>& get_drivers();

// One opened board.
class HardwareDevice {
 public:
  // Opens the board behind `driver`, which resets it. A null driver throws
  // std::invalid_argument; a driver without a board throws std::runtime_error.
  static std::shared_ptr<HardwareDevice> create(HardwareDriver* driver);

  HardwareDevice(const HardwareDevice&) = delete;
  HardwareDevice& operator=(const HardwareDevice&) = delete;

  HwVersion version() const;
  const char* desc() const;
  HardwareDriver* driver() const { return driver_; }
  void read_np_registers(uint32_t* out, const hw::Ident& ident, uint32_t count);

 private:
  HardwareDevice(HardwareDriver* driver, std::shared_ptr<BoardBackend> board);

  HardwareDriver* driver_;
  std::shared_ptr<BoardBackend> board_;
};

}  // namespace nuvra
