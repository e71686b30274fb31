// Integer label arrays of fit, shared by Model.fit and HardwareDevice.fit.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace nuvra {

// The dtypes fit takes labels of: int8, uint8, int16, uint16, int32, uint32, int64, uint64.
bool is_integer_label_dtype(const pybind11::dtype& dtype);

// The labels as int32 along the array's first axis, or nothing when the dtype is not an integer
// one, a row holds other than one value (a 0-d array has no rows) or a value does not fit an int32.
std::optional<std::vector<int32_t>> int32_labels(const pybind11::array& labels);

}  // namespace nuvra
