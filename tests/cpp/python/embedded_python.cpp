#include "embedded_python.h"

#include <gtest/gtest.h>

#include <memory>

namespace py = pybind11;

namespace nuvra::testing {
namespace {

class EmbeddedPython : public ::testing::Environment {
 public:
  void SetUp() override { interpreter_ = std::make_unique<py::scoped_interpreter>(); }
  void TearDown() override { interpreter_.reset(); }

 private:
  std::unique_ptr<py::scoped_interpreter> interpreter_;
};

[[maybe_unused]] const auto* const environment = ::testing::AddGlobalTestEnvironment(new EmbeddedPython);

}  // namespace

py::object py_eval(const std::string& expression) {
  py::dict scope;
  scope["np"] = py::module_::import("numpy");
  return py::eval(expression, scope);
}

}  // namespace nuvra::testing
