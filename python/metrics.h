// Named 64-bit measurements of the last run of a model or a board, read-only from Python.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace nuvra {

class PyMetrics {
 public:
  // Inserts the name (value 0) when absent; writers assign through the reference.
  int64_t& operator[](const std::string& name) { return values_[name]; }
  std::vector<std::string> names() const;
  // Throws std::invalid_argument "<name> : no such metrics" for an absent name.
  int64_t get(const std::string& name) const;

 private:
  std::unordered_map<std::string, int64_t> values_;
};

// Registers the class `Metrics` (no constructor from Python).
void register_metrics(pybind11::module_& m);

}  // namespace nuvra
