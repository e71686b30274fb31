#include "devices/power_meter.h"
#include "python/bindings.h"

#include <nuvra/hardware.h>

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace nuvra {

void init_soc_driver(py::module_& m) {
  // Handed out by HardwareDevice.soc as a plain reference: the engine owns the driver.
  py::class_<SocDriver>(m, "SocDriver")
      .def_property(
          "clock_mode", [](SocDriver& self) { return self.clock_mode(); },
          [](SocDriver& self, soc::ClockMode mode) { self.set_clock_mode(mode); }, "Clock mode of the Qrix.")
      .def_property(
          "power_measurement_enabled", [](SocDriver& self) { return self.power_meter() != nullptr; },
          [](SocDriver& self, bool enabled) { self.set_power_measurement(enabled); },
          "Power measurement is off by default. Toggle it on to get power information in the statistics or when "
          "calling PowerMeter.events().")
      .def_property_readonly(
          "power_meter", [](SocDriver& self) { return self.power_meter(); }, "Power meter associated to the SoC.");
}

}  // namespace nuvra
