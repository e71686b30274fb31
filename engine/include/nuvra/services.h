// Factories the system registers with the engine (the engine includes no system header).
#pragma once

#include <nuvra/backend.h>

#include <cstdint>
#include <functional>
#include <memory>

class SpiFlashController;

namespace nuvra {

class Device;
class MapConstraints;
class PowerMeter;

struct SystemServices {
  std::function<std::unique_ptr<Backend>()> make_backend;
  std::function<std::shared_ptr<MapConstraints>(const std::shared_ptr<Device>&)> default_constraints;
  std::function<std::shared_ptr<PowerMeter>()> power_meter;
  std::function<void(int64_t ts, uint32_t uV, uint32_t mA)> log_power_event;
  std::function<std::shared_ptr<::SpiFlashController>()> make_spi_flash;
};

// Replaces any earlier registration.
void register_system_services(SystemServices services);
// The registered services. Every member is callable: one the system did not register throws
// std::runtime_error("Engine service <name> is not registered") when called.
const SystemServices& system_services();
std::unique_ptr<Backend> make_backend();
std::shared_ptr<MapConstraints> default_constraints(const std::shared_ptr<Device>& device);

}  // namespace nuvra
