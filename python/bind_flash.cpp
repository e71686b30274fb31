#include "devices/device.h"
#include "devices/spi_flash.h"
#include "python/bindings.h"

#include <pybind11/pybind11.h>

#include <memory>

namespace py = pybind11;

namespace nuvra {

void init_flash(py::module_& m) {
  py::module_ board = m.def_submodule(
      "boardVlq7300", "Spi flash controller for the vlq7300meant for testing, debugging and validation only.");
  board.def(
      "get_flash", [](const std::shared_ptr<Device>& device) { return get_flash(device); }, py::arg("device"));
  py::class_<SpiFlashController, std::shared_ptr<SpiFlashController>>(m, "SpiFlashController")
      .def("get_id", &SpiFlashController::get_id);
}

}  // namespace nuvra
