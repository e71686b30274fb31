// Model inference from Python: the timed run with metrics shared by fit, forward, predict and
// evaluate, and the three forms of fit labels.
#pragma once

#include "python/py_model.h"

#include <nuvra/tensor.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace nuvra {

using RunFunction = std::function<std::shared_ptr<Tensor>(const std::shared_ptr<Dense>&)>;

// Refuses an empty model and an input dtype other than the model's (uint8, or int8/int16 for
// signed inputs), converts the array, then runs `run` on it, timed and, on a board, clock
// counted; writes the run's metrics and refreshes the model's power events.
std::shared_ptr<Tensor> forward_with_metrics(PyModel& model, const pybind11::array& inputs, const RunFunction& run);

// fit labels: a float that must hold an integer, an integer array of one value per row, or a
// list of integers, every value within int32. Anything else raises TypeError "fit method
// expects integers as labels".
std::vector<int32_t> labels_from_float(float label);
std::vector<int32_t> labels_from_array(const pybind11::array& labels);
std::vector<int32_t> labels_from_list(const pybind11::list& labels);

}  // namespace nuvra
