// Hands the engine the system objects it makes on its own: the hardware back end, the default
// mapping constraints of a device, the power meter and the SPI flash controller.
#pragma once

namespace nuvra {

// Replaces whatever was registered before. Called first thing when the module is imported and
// by the C++ test programs before any test runs.
void register_system_services_with_engine();

}  // namespace nuvra
