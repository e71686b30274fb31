#include "devices/system_services.h"

#include "backend/hardware_backend.h"
#include "backend/map_constraints.h"
#include "devices/power_meter.h"
#include "devices/spi_flash.h"

#include <nuvra/services.h>

#include <memory>

namespace nuvra {

void register_system_services_with_engine() {
  SystemServices services;
  services.make_backend = []() -> std::unique_ptr<Backend> { return std::make_unique<HardwareBackend>(); };
  services.default_constraints = [](const std::shared_ptr<Device>& device) {
    return std::make_shared<MapConstraints>(device);
  };
  // The engine's SoC drivers log into the process-wide meter and hand it out without owning it.
  services.power_meter = [] { return std::shared_ptr<PowerMeter>(PowerMeter::get(), [](PowerMeter*) {}); };
  services.log_power_event = [](int64_t ts, uint32_t microvolts, uint32_t milliamps) {
    PowerMeter::get()->log_event({ts, microvolts, milliamps});
  };
  services.make_spi_flash = [] { return std::make_shared<SpiFlashController>(); };
  register_system_services(std::move(services));
}

}  // namespace nuvra
