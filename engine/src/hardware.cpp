#include <nuvra/hardware.h>

#include <stdexcept>
#include <utility>

namespace nuvra {

std::shared_ptr<HardwareDevice> HardwareDevice::create(HardwareDriver* driver) {
  if (driver == nullptr) throw std::invalid_argument("HardwareDevice::create: no driver given");
  std::shared_ptr<BoardBackend> board = driver->board();
  if (!board) throw std::runtime_error("HardwareDevice::create: the driver has no board");
  board->open();
  return std::shared_ptr<HardwareDevice>(new HardwareDevice(driver, std::move(board)));
}

HardwareDevice::HardwareDevice(HardwareDriver* driver, std::shared_ptr<BoardBackend> board)
    : driver_(driver), board_(std::move(board)) {}

HwVersion HardwareDevice::version() const { return board_->version(); }

const char* HardwareDevice::desc() const { return board_->desc(); }

void HardwareDevice::read_np_registers(uint32_t* out, const hw::Ident& ident, uint32_t count) {
  if (count == 0) return;
  if (out == nullptr) throw std::invalid_argument("read_np_registers: no output buffer");
  board_->read_np_registers(out, ident, count);
}

}  // namespace nuvra
