// One interpreter for the whole test program, started before the first test.
#pragma once

#include <pybind11/embed.h>
#include <pybind11/numpy.h>

#include <string>
#include <utility>
#include <vector>

namespace nuvra::testing {

// A module holding the classes the tests drive (the hardware description, the devices, Layer,
// LayerParams, Variables, Metrics, power events), registered once per interpreter: a type registers only once.
pybind11::module_ scratch_module();

// Evaluates a Python expression with `np` bound to numpy.
pybind11::object py_eval(const std::string& expression);

// Runs Python statements with `np`, the given objects and `raises(kind, call)` in scope; the
// latter returns the message of the `kind` exception that `call()` raises, and fails if it
// raises none. Returns the scope.
pybind11::dict py_run(const std::string& code, std::vector<std::pair<const char*, pybind11::object>> objects = {});

}  // namespace nuvra::testing
