#include <nuvra/services.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace nuvra {

namespace {

[[noreturn]] void missing(const char* name) {
  throw std::runtime_error(std::string("Engine service ") + name + " is not registered");
}

// Every slot the system left empty becomes a stub that reports itself, so that callers get
// a clear error instead of std::bad_function_call.
SystemServices with_stubs(SystemServices s) {
  if (!s.make_backend) s.make_backend = []() -> std::unique_ptr<Backend> { missing("make_backend"); };
  if (!s.default_constraints)
    s.default_constraints = [](const std::shared_ptr<Device>&) -> std::shared_ptr<MapConstraints> {
      missing("default_constraints");
    };
  if (!s.power_meter) s.power_meter = []() -> std::shared_ptr<PowerMeter> { missing("power_meter"); };
  if (!s.log_power_event) s.log_power_event = [](int64_t, uint32_t, uint32_t) { missing("log_power_event"); };
  if (!s.make_spi_flash)
    s.make_spi_flash = []() -> std::shared_ptr<::SpiFlashController> { missing("make_spi_flash"); };
  return s;
}

SystemServices& registry() {
  static SystemServices services = with_stubs({});
  return services;
}

}  // namespace

void register_system_services(SystemServices services) { registry() = with_stubs(std::move(services)); }

const SystemServices& system_services() { return registry(); }

std::unique_ptr<Backend> make_backend() { return registry().make_backend(); }

std::shared_ptr<MapConstraints> default_constraints(const std::shared_ptr<Device>& device) {
  return registry().default_constraints(device);
}

}  // namespace nuvra
