#include "python/metrics.h"

#include <pybind11/stl.h>

#include <memory>
#include <stdexcept>

namespace py = pybind11;

namespace nuvra {

std::vector<std::string> PyMetrics::names() const {
  std::vector<std::string> result;
  result.reserve(values_.size());
  for (const auto& entry : values_) result.push_back(entry.first);
  return result;
}

int64_t PyMetrics::get(const std::string& name) const {
  const auto it = values_.find(name);
  if (it == values_.end()) throw std::invalid_argument(name + " : no such metrics");
  return it->second;
}

void register_metrics(py::module_& m) {
  py::class_<PyMetrics, std::shared_ptr<PyMetrics>>(m, "Metrics",
                                                    "\n      A set of 64-bit integer metrics indexed by name.\n      ")
      .def_property_readonly("names", &PyMetrics::names, "The list of metrics names")
      // py::str rather than std::string: the string caster would also take bytes.
      .def("__getitem__", [](const PyMetrics& metrics, const py::str& name) {
        py::detail::make_caster<std::string> text;
        if (!text.load(name, false)) throw py::type_error("A metrics name is a str that encodes as UTF-8");
        return metrics.get(py::detail::cast_op<const std::string&>(text));
      });
}

}  // namespace nuvra
