// Drivers and the hardware device: how the engine reaches a board.
#pragma once

#include <nuvra/tensor.h>
#include <nuvra/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

// The system's flash controller lives outside the engine's namespace.
class SpiFlashController;

namespace nuvra {

class PowerMeter;

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

  using Frames = std::vector<std::shared_ptr<const Tensor>>;
  using Outputs = std::vector<std::unique_ptr<Tensor>>;

  // See HardwareDevice for the meaning of each operation; arguments arrive checked for null.
  virtual void enable_clk_counter(bool enabled) = 0;
  virtual uint32_t read_clk_counter() = 0;
  virtual uint32_t program_clk() const = 0;
  virtual std::pair<uint32_t, uint32_t> memory() const = 0;
  virtual void reset_top_memory() = 0;
  virtual void program(const uint8_t* data, size_t size) = 0;
  virtual const std::pair<const uint8_t*, size_t>& program() const = 0;
  virtual void program_external(const uint8_t* data, size_t size, uint32_t address) = 0;
  virtual void unprogram() = 0;
  virtual void prepare_run(uint32_t count, bool flag) = 0;
  virtual bool learn_enabled() const = 0;
  virtual void learn_enabled(bool enabled) = 0;
  virtual uint32_t learn_mem_size() const = 0;
  virtual void read_learn_mem(uint32_t* out) = 0;
  virtual void write_learn_mem(const uint32_t* in) = 0;
  virtual Outputs fit(const Frames& frames, const std::vector<int>& labels) = 0;
  virtual Outputs forward(const Frames& frames) = 0;
  virtual Outputs predict(const Frames& frames) = 0;
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
  virtual std::shared_ptr<::SpiFlashController> spi_flash() = 0;
};

// The drivers of the boards the engine knows, in a list the engine owns.
std::vector<HardwareDriver*>& get_drivers();

// One opened board. While it runs frames (fit, forward, predict), code that the run reaches back
// into (a signal handler polled between frames) may read the board but not change it: every
// operation that programs, prepares, switches or runs it throws std::runtime_error(kBusy).
class HardwareDevice {
 public:
  // Opens the board behind `driver`, which resets it. A null driver throws
  // std::invalid_argument; a driver without a board throws std::runtime_error.
  static std::shared_ptr<HardwareDevice> create(HardwareDriver* driver);

  HardwareDevice(const HardwareDevice&) = delete;
  HardwareDevice& operator=(const HardwareDevice&) = delete;

  using Frames = BoardBackend::Frames;
  using Outputs = BoardBackend::Outputs;

  static constexpr const char* kBusy = "The device is busy: it cannot be used while it runs frames";
  bool running() const { return running_ != 0; }

  HwVersion version() const;
  const char* desc() const;
  HardwareDriver* driver() const { return driver_; }
  void read_np_registers(uint32_t* out, const hw::Ident& ident, uint32_t count);

  // The clock counter advances with runs only while enabled; it wraps at 2^32.
  void enable_clk_counter(bool enabled);
  uint32_t read_clk_counter();
  // Clock count of the last programming.
  uint32_t program_clk() const;
  // Board memory in use and the highest use since the last reset, in bytes.
  std::pair<uint32_t, uint32_t> memory() const;
  void reset_top_memory();

  // Loads a whole program (information and data parts). The board keeps its own copy, so the
  // caller's bytes may go away afterwards. Bytes that are not a program throw
  // std::invalid_argument("Invalid program: ...") and leave the board as it was; a board
  // failure throws std::runtime_error.
  void program(const uint8_t* data, size_t size);
  // The loaded program as the board holds it; null data when none is loaded.
  const std::pair<const uint8_t*, size_t>& program() const;
  // Loads the information part of a program whose data part already sits at `address` in
  // board memory.
  void program_external(const uint8_t* data, size_t size, uint32_t address);
  // Back to the unprogrammed state: no program, no learning memory, learning off.
  void unprogram();

  // Readies the board for runs of `count` frames; a run of another count is refused.
  void prepare_run(uint32_t count, bool flag);

  bool learn_enabled() const;
  // Switching learning on needs a loaded program with a learning layer.
  void learn_enabled(bool enabled);
  // Words of the learning layer's memory; 0 without one.
  uint32_t learn_mem_size() const;
  // `out` / `in` hold learn_mem_size() words.
  void read_learn_mem(uint32_t* out);
  void write_learn_mem(const uint32_t* in);
  // Who set the learning memory last: the `owner` of the last owned write, 0 once program,
  // program_external or unprogram set it since (or none did). Plain writes and runs keep the
  // owner, so that what a user writes over an owner's memory stays the owner's to read back.
  uint64_t learn_mem_owner() const { return learn_mem_owner_; }
  // write_learn_mem, then `owner` (not 0) owns the memory; a failed write leaves no owner.
  void write_learn_mem(const uint32_t* in, uint64_t owner);

  // One output per frame, in order. fit learns only while learning is on.
  Outputs fit(const Frames& frames, const std::vector<int>& labels);
  Outputs forward(const Frames& frames);
  Outputs predict(const Frames& frames);
  Outputs fit(const std::vector<std::shared_ptr<Dense>>& frames, const std::vector<int>& labels);
  Outputs forward(const std::vector<std::shared_ptr<Dense>>& frames);
  Outputs predict(const std::vector<std::shared_ptr<Dense>>& frames);

 private:
  HardwareDevice(HardwareDriver* driver, std::shared_ptr<BoardBackend> board);
  void refuse_if_running() const;
  template <class Run>
  Outputs run(Run&& run);

  HardwareDriver* driver_;
  std::shared_ptr<BoardBackend> board_;
  uint32_t running_ = 0;
  uint64_t learn_mem_owner_ = 0;
};

}  // namespace nuvra
