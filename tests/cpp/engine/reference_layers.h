// A plain reference of the software inference of every layer type the engine computes, written
// from the layer definitions: exact integers, loops over outputs, windows and channels. It reads
// the layers' parameters and variables only, and shares no code with the engine's steps or
// kernels, so a fault in what those share shows up against it.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/model.h>
#include <nuvra/tensor.h>

#include <cstdint>
#include <limits>
#include <vector>

namespace nuvra::test::ref {

// One sample's values of a layer: (x, y, c), channels innermost.
struct Values {
  uint32_t x = 1, y = 1, c = 1;
  std::vector<int64_t> v;

  Values() = default;
  Values(uint32_t x_, uint32_t y_, uint32_t c_) : x(x_), y(y_), c(c_), v(size_t{x_} * y_ * c_, 0) {}
  int64_t& at(uint32_t i, uint32_t j, uint32_t k) { return v[(size_t{i} * y + j) * c + k]; }
  int64_t at(uint32_t i, uint32_t j, uint32_t k) const { return v[(size_t{i} * y + j) * c + k]; }
};

// The values of an integer tensor in storage order.
std::vector<int64_t> integers(const Dense& t);

// The frames a temporal layer keeps from one sample to the next within a call.
struct Fifo {
  std::vector<Values> frames;  // oldest first
};

// Layers with neurons of their own: the convolutions, dense and temporal layers and the stem.
bool has_neurons(LayerType t);
bool first_generation(LayerType t);

// What a neuron layer's tail starts from: second generation, Σ (x << input_shift)·w +
// (bias << bias_shift) before the ReLU; first generation, the potentials after pooling.
Values sums(const Layer& layer, const std::vector<const Values*>& inputs, Fifo& fifo);
// The tail: second generation ReLU, pooling, sshift(· × scale, shift) saturated to the output
// range; first generation the threshold activation.
Values finish(const Layer& layer, Values sums);
// One layer's output for one sample.
Values output(const Layer& layer, const std::vector<const Values*>& inputs, Fifo& fifo);

// The samples of `inputs` ((n, x, y, c) or (n, k)) in the model input's (x, y, c).
std::vector<Values> samples(const Model& m, const Dense& inputs);
// The outputs of the first `count` layers (model order) for every sample; samples go in order,
// as time steps.
std::vector<std::vector<Values>> forward_all(const Model& m, const Dense& inputs, size_t count = SIZE_MAX);

// The learning rule of the model's last layer (a compiled FullyConnected), its state held here.
struct Learner {
  std::vector<std::vector<int64_t>> weights;  // [neuron][input]
  std::vector<int64_t> wins;                  // "thswap"
  double plasticity = std::numeric_limits<double>::quiet_NaN();

  explicit Learner(const Model& m);
  // What fit returns for these inputs and labels (empty, one for all, or one per input); the
  // state learns from each input in order.
  std::vector<Values> fit(const Model& m, const Dense& inputs, const std::vector<int32_t>& labels);
};

}  // namespace nuvra::test::ref
