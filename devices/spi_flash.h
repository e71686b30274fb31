// The SPI flash of VLQ7300 boards, as the engine's flash-access driver hands it out.
#pragma once

#include <nuvra/types.h>

#include <cstdint>
#include <memory>

class NUVRA_EXPORT SpiFlashController {
 public:
  virtual ~SpiFlashController() = default;
  // Not available yet: always throws std::runtime_error.
  virtual uint16_t get_id() const;
};

namespace nuvra {

class Device;

// The flash controller of the device's board. A device without a board, a board without a
// driver or a driver without flash access throw std::invalid_argument.
std::shared_ptr<SpiFlashController> get_flash(const std::shared_ptr<Device>& device);

}  // namespace nuvra
