#include "devices/power_meter.h"
#include "python/bindings.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

namespace py = pybind11;

namespace nuvra {

namespace {

constexpr const char* kPowerEventDoc =
    "\n    A timestamped power measurement.\n\n    Each PowerEvent contains:\n"
    "    - a voltage value in \xC2\xB5V (microvolt),\n    - a current value in mA (milliampere),\n"
    "    - the corresponding power value in mW (milliwatt).\n          ";
constexpr const char* kPowerMeterDoc =
    "\n    Gives access to power measurements.\n\n"
    "    When power measurements are enabled for a specific device, this object\n"
    "    stores them as a list of ``PowerEvent`` objects.\n"
    "    The events list cannot exceed a predefined size: when it is full, older\n"
    "    events are replaced by newer events.\n          ";

using PowerEvent = PowerMeter::PowerEvent;

}  // namespace

void init_power(py::module_& m) {
  py::class_<PowerEvent>(m, "PowerEvent", kPowerEventDoc)
      .def_readonly("ts", &PowerEvent::ts, "Timestamp of the event")
      .def_readonly("voltage", &PowerEvent::voltage, "Voltage value in \xC2\xB5V")
      .def_readonly("current", &PowerEvent::current, "Current value in mA")
      .def_property_readonly(
          "power", [](const PowerEvent& e) { return uint64_t{e.voltage} * e.current / 1000000; },
          "Power value in mW");

  py::class_<PowerMeter, std::shared_ptr<PowerMeter>>(m, "PowerMeter", kPowerMeterDoc)
      .def("events", &PowerMeter::events, "Retrieve all pending events")
      .def_property_readonly(
          "floor",
          [](const PowerMeter& self) -> py::object {
            if (!self.has_events()) return py::none();
            return py::float_(self.floor());
          },
          "Get the floor power");
}

}  // namespace nuvra
