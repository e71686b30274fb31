// Runs inputs through the program already loaded on a board, without a model.
#pragma once

#include "python/py_hardware_device.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <vector>

namespace nuvra {

enum class DeviceRunMode : int { fit = 0, forward = 1, predict = 2 };

// Splits `inputs` (n samples of 2 or 4 dimensions) into frames, runs the board's fit, forward
// or predict on them, stores the run's metrics and power events in `device` and returns the
// per-frame outputs as one array of shape (n, d0, d1, d2).
pybind11::array device_forward_with_metrics(PyHardwareDevice& device, const pybind11::array_t<uint8_t>& inputs,
                                            const std::vector<int32_t>& labels, DeviceRunMode mode);

}  // namespace nuvra
