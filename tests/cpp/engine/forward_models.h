// Reproducible models for software inference, one recipe per family of layers the engine runs,
// with a batch of inputs. A recipe and a seed always give the same model and inputs.
#pragma once

#include <nuvra/model.h>
#include <nuvra/tensor.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nuvra::test {

struct ForwardModel {
  std::unique_ptr<Model> model;
  std::shared_ptr<Dense> inputs;  // (n, x, y, c) of the model input's type
};

// The recipe names forward_model takes.
const std::vector<std::string>& forward_recipes();

// Kernels, strides, shifts, pooling and input ranges are drawn from `seed`; variables are random,
// and each layer's output shifts (or first-generation thresholds and steps) are set from the
// values it computes on the inputs, so that its outputs spread over their range.
ForwardModel forward_model(const std::string& recipe, uint64_t seed);

// A tensor like `like` (type, shape, layout) holding value(i) at element i.
std::shared_ptr<Dense> filled(const Dense& like, const std::function<double(size_t)>& value);

// A 64-bit FNV-1a digest of a tensor's type, shape and bytes.
uint64_t tensor_digest(const Dense& t);

}  // namespace nuvra::test
