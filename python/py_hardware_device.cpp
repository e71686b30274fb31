#include "python/py_hardware_device.h"

#include "devices/discovery.h"

#include <cstring>
#include <stdexcept>

namespace nuvra {

PyHardwareDevice::PyHardwareDevice(std::shared_ptr<Device> device) : device_(std::move(device)) {
  if (!device_ || device_->hardware() == nullptr)
    throw std::invalid_argument("A hardware device needs a device with a board.");
}

const std::vector<std::shared_ptr<PyHardwareDevice>>& PyHardwareDevice::devices() {
  // A failed discovery leaves the static uninitialised: the next call tries again.
  static const std::vector<std::shared_ptr<PyHardwareDevice>> wrappers = [] {
    const std::vector<std::shared_ptr<Device>>& found = get_devices();
    std::vector<std::shared_ptr<PyHardwareDevice>> list;
    list.reserve(found.size());
    for (const auto& device : found) list.push_back(std::make_shared<PyHardwareDevice>(device));
    return list;
  }();
  return wrappers;
}

template <class Load>
void PyHardwareDevice::load(const uint8_t* bytes, size_t size, Load&& load_board) {
  board().unprogram();
  program_.assign(bytes, bytes + size);
  load_board(program_.data(), program_.size());
  metrics_["program_clk"] = static_cast<int64_t>(board().program_clk());
}

void PyHardwareDevice::program(const uint8_t* bytes, size_t size) {
  load(bytes, size, [this](const uint8_t* data, size_t n) { board().program(data, n); });
}

void PyHardwareDevice::program_external(const uint8_t* bytes, size_t size, uint32_t address) {
  load(bytes, size, [this, address](const uint8_t* data, size_t n) { board().program_external(data, n, address); });
}

void PyHardwareDevice::unprogram() {
  board().unprogram();
  program_.clear();
}

void PyHardwareDevice::set_learn_enabled(bool enabled) {
  if (board().learn_enabled() != enabled) board().learn_enabled(enabled);
}

std::vector<uint32_t> PyHardwareDevice::learn_mem() const {
  std::vector<uint32_t> words(board().learn_mem_size(), 0);
  board().read_learn_mem(words.data());
  return words;
}

void PyHardwareDevice::set_learn_mem(const uint8_t* bytes, size_t size) {
  const size_t words = size / 4;
  if (words != board().learn_mem_size()) throw std::runtime_error("unexpected input buffer size");
  // The caller's bytes need not be aligned for 32-bit words.
  std::vector<uint32_t> aligned(words);
  if (words != 0) std::memcpy(aligned.data(), bytes, words * 4);
  board().write_learn_mem(aligned.data());
}

SocDriver* PyHardwareDevice::soc() const { return dynamic_cast<SocDriver*>(board().driver()); }

}  // namespace nuvra
