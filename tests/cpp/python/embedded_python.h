// One interpreter for the whole test program, started before the first test.
#pragma once

#include <pybind11/embed.h>
#include <pybind11/numpy.h>

#include <string>

namespace nuvra::testing {

// Evaluates a Python expression with `np` bound to numpy.
pybind11::object py_eval(const std::string& expression);

}  // namespace nuvra::testing
