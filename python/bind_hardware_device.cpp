#include "python/bindings.h"
#include "python/cast_array.h"
#include "python/device_inference.h"
#include "python/fit_labels.h"
#include "python/numpy_convert.h"
#include "python/py_hardware_device.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

namespace py = pybind11;

namespace nuvra {

namespace {

constexpr const char* kLearnEnabledDoc =
    "\n        Property that enables/disables learning on current program (if\n        possible).\n        ";
constexpr const char* kProgramDoc =
    "\n        Property that retrieves current program or programs a device using a\n"
    "        serialized program bytes object.\n        ";
constexpr const char* kProgramExternalDoc =
    "\n        Program a device using a serialized program info bytes object,\n"
    "        and the address, as it is seen from nuvra on the device,\n"
    "        of corresponding program data that must have been written beforehand.\n        ";
constexpr const char* kUnprogramDoc =
    "\n        Clear current program from hardware device, restoring its initial\n        state\n        ";
constexpr const char* kFitDoc = "Learn from inputs on a programmed device.";
constexpr const char* kForwardDoc =
    "\n        Processes inputs on a programmed device.\n\n"
    "        :param inputs: ``numpy.ndarray`` with shape matching current program\n\n"
    "        :return ``numpy.ndarray`` with outputs from the device\n        ";
constexpr const char* kPredictDoc =
    "\n        Processes inputs on a programmed device, returns a float array.\n\n"
    "        :param inputs: ``numpy.ndarray`` with shape matching current program\n\n"
    "        :return ``numpy.ndarray`` with float outputs from the device\n        ";
constexpr const char* kMemoryDoc = "The device memory usage and top usage (in bytes)";
constexpr const char* kResetTopMemoryDoc = "Reset the device memory informations";
constexpr const char* kSocDoc =
    "\n        The SocDriver interface used by the device, or None if the device\n        is not a SoC\n        ";
constexpr const char* kMetricsDoc = "The metrics from this device";
constexpr const char* kPowerEventsDoc = "Copy of power events logged after inference";
constexpr const char* kLearnMemDoc =
    "\n        Property that retrieves learning layer's memory or updates a device\n"
    "        using a serialized learning layer memory buffer.\n        ";
constexpr const char* kDevicesDoc =
    "\n        Returns the full list of available hardware devices\n\n        :return: list of Device\n        ";

constexpr const char* kLabelsError = "fit method expects integers as labels";

// Any array-like becomes a new uint8 array (values cast, not checked) in the conversion pass; one
// too large for a tensor is refused by its conversion without being cast first.
using Inputs = CastArray<uint8_t>;

std::string_view bytes_of(const py::bytes& b) {
  char* data = nullptr;
  py::ssize_t size = 0;
  if (PyBytes_AsStringAndSize(b.ptr(), &data, &size) != 0) throw py::error_already_set();
  return {data, static_cast<size_t>(size)};
}

const uint8_t* data_of(std::string_view bytes) { return reinterpret_cast<const uint8_t*>(bytes.data()); }

int32_t whole_label(float x) {
  if (!std::isfinite(x) || std::trunc(x) != x || x < -2147483648.0f || x >= 2147483648.0f)
    throw std::invalid_argument(kLabelsError);
  return static_cast<int32_t>(x);
}

py::array fit(PyHardwareDevice& self, const Inputs& inputs, std::vector<int32_t> labels) {
  return device_forward_with_metrics(self, inputs, labels, DeviceRunMode::fit);
}

}  // namespace

void init_hardware_device(py::module_& m) {
  py::class_<PyHardwareDevice, Device, std::shared_ptr<PyHardwareDevice>>(m, "HardwareDevice")
      .def_property(
          "learn_enabled", [](const PyHardwareDevice& self) { return self.hardware()->learn_enabled(); },
          [](PyHardwareDevice& self, bool enabled) { self.set_learn_enabled(enabled); }, kLearnEnabledDoc)
      .def_property(
          "program",
          [](const PyHardwareDevice& self) -> py::object {
            const auto& [data, size] = self.hardware()->program();
            if (data == nullptr) return py::none();
            return bytes_copy(data, size);
          },
          [](PyHardwareDevice& self, const py::bytes& program) {
            const std::string_view bytes = bytes_of(program);
            self.program(data_of(bytes), bytes.size());
          },
          kProgramDoc)
      .def(
          "program_external",
          [](PyHardwareDevice& self, const py::bytes& program_info, uint32_t address) {
            const std::string_view bytes = bytes_of(program_info);
            self.program_external(data_of(bytes), bytes.size(), address);
          },
          kProgramExternalDoc)
      .def("unprogram", &PyHardwareDevice::unprogram, kUnprogramDoc)
      .def(
          "fit",
          [](PyHardwareDevice& self, const Inputs& inputs, float input_labels) {
            return fit(self, inputs, {whole_label(input_labels)});
          },
          py::arg("inputs"), py::arg("input_labels"), kFitDoc)
      .def(
          "fit",
          [](PyHardwareDevice& self, const Inputs& inputs, const py::array& input_labels) {
            std::optional<std::vector<int32_t>> labels = int32_labels(input_labels);
            if (!labels) throw std::invalid_argument(kLabelsError);
            return fit(self, inputs, std::move(*labels));
          },
          py::arg("inputs"), py::arg("input_labels"), kFitDoc)
      .def(
          "fit",
          [](PyHardwareDevice& self, const Inputs& inputs, const py::list& input_labels) {
            std::vector<int32_t> labels;
            labels.reserve(input_labels.size());
            try {
              for (const py::handle item : input_labels) labels.push_back(py::cast<int32_t>(item));
            } catch (const py::cast_error&) {
              throw std::invalid_argument(kLabelsError);
            }
            return fit(self, inputs, std::move(labels));
          },
          py::arg("inputs"), py::arg("input_labels") = py::list(), kFitDoc)
      .def(
          "forward",
          [](PyHardwareDevice& self, const Inputs& inputs) {
            return device_forward_with_metrics(self, inputs, {}, DeviceRunMode::forward);
          },
          kForwardDoc)
      .def(
          "predict",
          [](PyHardwareDevice& self, const Inputs& inputs) {
            return device_forward_with_metrics(self, inputs, {}, DeviceRunMode::predict);
          },
          kPredictDoc)
      .def_property_readonly(
          "memory", [](const PyHardwareDevice& self) { return self.hardware()->memory(); }, kMemoryDoc)
      .def(
          "reset_top_memory", [](PyHardwareDevice& self) { self.hardware()->reset_top_memory(); },
          kResetTopMemoryDoc)
      // The driver is the engine's: Python neither owns it nor keeps the device alive through it.
      .def_property_readonly("soc", &PyHardwareDevice::soc, py::return_value_policy::reference, kSocDoc)
      .def_property_readonly(
          "metrics", [](PyHardwareDevice& self) -> PyMetrics& { return self.metrics(); },
          py::return_value_policy::reference_internal, kMetricsDoc)
      .def_property_readonly(
          "inference_power_events", [](const PyHardwareDevice& self) { return self.power_events(); },
          kPowerEventsDoc)
      .def_property(
          "learn_mem",
          [](const PyHardwareDevice& self) -> py::object {
            const std::vector<uint32_t> words = self.learn_mem();
            if (words.empty()) return py::none();
            return bytes_copy(words.data(), words.size() * 4);
          },
          [](PyHardwareDevice& self, const py::bytes& memory) {
            const std::string_view bytes = bytes_of(memory);
            self.set_learn_mem(data_of(bytes), bytes.size());
          },
          kLearnMemDoc)
      .def("__eq__",
           [](const PyHardwareDevice& self, const Device& other) { return static_cast<const Device*>(&self) == &other; })
      .def_static(
          "devices", [] { return PyHardwareDevice::devices(); }, kDevicesDoc);
}

}  // namespace nuvra
