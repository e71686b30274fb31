#include "python/bindings.h"

#include "backend/mesh.h"
#include "devices/device.h"
#include "devices/virtual_device.h"

#include <nuvra/types.h>

#include <pybind11/pybind11.h>

#include <memory>

namespace py = pybind11;

namespace nuvra {

void init_device(py::module_& m) {
  py::class_<Device, std::shared_ptr<Device>>(m, "Device")
      .def(py::init(&make_virtual_device))
      .def_property_readonly(
          "desc", [](const Device& d) { return d.desc(); },
          "Returns the Device description\n:return: a string describing the Device")
      .def_property_readonly(
          "version", [](const Device& d) { return d.version(); }, "The device hardware version.")
      // A view of the device's own mesh: writes through it reach the device.
      .def_property_readonly(
          "mesh", [](const Device& d) { return d.mesh(); }, py::return_value_policy::reference_internal,
          "The device Mesh layout");
}

}  // namespace nuvra
