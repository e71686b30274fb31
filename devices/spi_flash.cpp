#include "devices/spi_flash.h"

#include "devices/device.h"

#include <nuvra/hardware.h>

#include <stdexcept>

uint16_t SpiFlashController::get_id() const { throw std::runtime_error("get_id function is not yet implemented"); }

namespace nuvra {

std::shared_ptr<SpiFlashController> get_flash(const std::shared_ptr<Device>& device) {
  HardwareDevice* hardware = device ? device->hardware() : nullptr;
  HardwareDriver* driver = hardware ? hardware->driver() : nullptr;
  // A cross cast: flash access is not a base of HardwareDriver.
  if (auto* flash = dynamic_cast<FlashAccessDriver*>(driver)) return flash->spi_flash();
  throw std::invalid_argument("The device does not contain an VLQ7300 flash");
}

}  // namespace nuvra
