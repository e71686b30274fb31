#include "embedded_python.h"

#include "python/bindings.h"
#include "python/metrics.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace py = pybind11;

namespace nuvra::testing {
namespace {

class EmbeddedPython : public ::testing::Environment {
 public:
  // Python finds its prefix, and so numpy, from its program's path: left unset, that is the first
  // python3 on PATH, which may be a virtual environment or a version manager's shim. The build's
  // interpreter is named instead. The rest is pybind11's default configuration.
  void SetUp() override {
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    config.isolated = 0;
    config.use_environment = 1;
    const PyStatus status = PyConfig_SetBytesString(&config, &config.program_name, NUVRA_PYTHON_EXECUTABLE);
    if (PyStatus_Exception(status)) {
      PyConfig_Clear(&config);
      throw std::runtime_error(status.err_msg ? status.err_msg : "cannot name the interpreter");
    }
    interpreter_ = std::make_unique<py::scoped_interpreter>(&config);
  }
  void TearDown() override { interpreter_.reset(); }

 private:
  std::unique_ptr<py::scoped_interpreter> interpreter_;
};

[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new EmbeddedPython);

}  // namespace

py::module_ scratch_module() {
  static const py::handle module = [] {
    py::module_ m = py::module_::import("types").attr("ModuleType")("scratch");
    init_device(m), init_soc_driver(m), init_hardware_device(m), init_hw_version(m), init_power(m);
    init_mesh(m), init_np(m), init_map_constraints(m);
    init_layer(m), init_layer_params(m), init_variables(m), register_metrics(m);
    return m.release();
  }();
  return py::reinterpret_borrow<py::module_>(module);
}

py::object py_eval(const std::string& expression) {
  py::dict scope;
  scope["np"] = py::module_::import("numpy");
  return py::eval(expression, scope);
}

py::dict py_run(const std::string& code, std::vector<std::pair<const char*, py::object>> objects) {
  py::dict scope;
  scope["np"] = py::module_::import("numpy");
  for (auto& [name, object] : objects) scope[name] = std::move(object);
  py::exec(R"(
def raises(kind, call):
    try:
        call()
    except kind as e:
        return str(e)
    raise AssertionError("no error")
)" + code,
           scope);
  return scope;
}

}  // namespace nuvra::testing
