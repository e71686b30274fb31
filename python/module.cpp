// Entry point of the extension module `core` and the module body that fills it.
#include "devices/system_services.h"
#include "python/bindings.h"
#include "python/enum_binding.h"
#include "python/metrics.h"
#include "python/numpy_convert.h"
#include "python/version_check.h"

#include <nuvra/functions.h>
#include <nuvra/types.h>
#include <nuvra/version.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <exception>
#include <memory>
#include <stdexcept>

namespace py = pybind11;

namespace {

constexpr const char* kEvaluateBitwidthDoc =
    "\n   Evalutate the maximum bitwidth that the values of the variable take.\n\n"
    "   Args:\n       variable (:obj:`numpy.ndarray`): The variable on which the bitwidth is evaluated.\n   ";

int evaluate_bitwidth(const py::array& variable) {
  const py::dtype dtype = variable.dtype();
  if (dtype.equal(py::dtype::of<float>())) return 0;
  std::shared_ptr<nuvra::Dense> dense;
  if (dtype.equal(py::dtype::of<int32_t>()))
    dense = nuvra::dense_from_numpy<int32_t>(variable, nuvra::TensorType::int32);
  else if (dtype.equal(py::dtype::of<int16_t>()))
    dense = nuvra::dense_from_numpy<int16_t>(variable, nuvra::TensorType::int16);
  else if (dtype.equal(py::dtype::of<int8_t>()))
    dense = nuvra::dense_from_numpy<int8_t>(variable, nuvra::TensorType::int8);
  else if (dtype.equal(py::dtype::of<uint8_t>()))
    dense = nuvra::dense_from_numpy<uint8_t>(variable, nuvra::TensorType::uint8);
  else
    throw std::runtime_error("Wrong py::array type: cannot evaluate the bitwidth.");
  return nuvra::evaluate_bitwidth(*dense);
}

// Registration order is part of the module's interface: later steps go in their slots.
void pybind11_init_core(py::module_& m) {
  nuvra::register_system_services_with_engine();
  nuvra::register_error_text_translator();
  m.doc() = "Nuvra core library";
  m.attr("__version__") = nuvra::version();

  nuvra::bind_enum<nuvra::BackendType>(m, "BackendType")
      .value("Software", nuvra::BackendType::Software)
      .value("Hardware", nuvra::BackendType::Hardware)
      .value("Hybrid", nuvra::BackendType::Hybrid)
      .export_values();

  nuvra::init_model(m);
  nuvra::init_layer(m);
  nuvra::init_layer_params(m);
  nuvra::init_optimizer(m);
  nuvra::init_variables(m);

  m.def("evaluate_bitwidth", &evaluate_bitwidth, py::arg("variable"), kEvaluateBitwidthDoc);

  nuvra::register_metrics(m);

  nuvra::init_device(m);
  nuvra::init_soc_driver(m);
  nuvra::init_hardware_device(m);
  nuvra::init_hw_version(m);
  nuvra::init_mesh(m);
  nuvra::init_np(m);
  nuvra::init_map_constraints(m);
  nuvra::init_sequences(m);
  nuvra::init_power(m);

  py::module_ soc = m.def_submodule("soc", "Nuvra Qrix specific functions");
  nuvra::bind_enum<nuvra::soc::ClockMode>(soc, "ClockMode", "Clock mode configuration")
      .value("Performance", nuvra::soc::ClockMode::Performance)
      .value("Economy", nuvra::soc::ClockMode::Economy)
      .value("LowPower", nuvra::soc::ClockMode::LowPower)
      .export_values();

  nuvra::init_program_memory(m);
  nuvra::init_nn(m);

  nuvra::bind_enum<nuvra::IpVersion>(m, "IpVersion", "The reference Nuvra IP version")
      .value("none", nuvra::IpVersion::none)
      .value("v1", nuvra::IpVersion::v1)
      .value("v2", nuvra::IpVersion::v2)
      .export_values();

  nuvra::init_flash(m);
  nuvra::bound_argument_texts(m);
}

py::module_::module_def core_module_def;

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_core() {
  const char* compiled = PYBIND11_TOSTRING(PY_MAJOR_VERSION) "." PYBIND11_TOSTRING(PY_MINOR_VERSION);
  const char* runtime = Py_GetVersion();
  if (!nuvra::python_version_compatible(runtime, compiled)) {
    PyErr_SetString(PyExc_ImportError, nuvra::python_version_mismatch_message(compiled, runtime).c_str());
    return nullptr;
  }
  PYBIND11_ENSURE_INTERNALS_READY

  // No exception may leave a C entry point: a failed creation keeps its Python error.
  py::module_ m;
  try {
    m = py::module_::create_extension_module("core", nullptr, &core_module_def);
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }

  try {
    pybind11_init_core(m);
    return m.ptr();
  } catch (py::error_already_set& e) {
    py::raise_from(e, PyExc_ImportError, "initialization failed");
    return nullptr;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return nullptr;
  }
}
