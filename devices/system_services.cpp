#include "devices/system_services.h"

#include "backend/hardware_backend.h"
#include "backend/map_constraints.h"

#include <nuvra/services.h>

#include <memory>

namespace nuvra {

void register_system_services_with_engine() {
  SystemServices services;
  services.make_backend = []() -> std::unique_ptr<Backend> { return std::make_unique<HardwareBackend>(); };
  services.default_constraints = [](const std::shared_ptr<Device>& device) {
    return std::make_shared<MapConstraints>(device);
  };
  // The slots left empty report themselves as not registered when called.
  register_system_services(std::move(services));
}

}  // namespace nuvra
