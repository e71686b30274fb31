// The software arithmetic of each layer type on one sample, built on the `ops` kernels. A step
// reads its layer's parameters and variables once, when it is made, in the calling thread; its
// run then touches only what it holds, so samples may run on several threads at once.
#pragma once

#include <nuvra/layer.h>
#include <nuvra/tensor.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace nuvra::detail {

using ConstDensePtr = std::shared_ptr<const Dense>;

class LayerStep {
 public:
  virtual ~LayerStep() = default;
  // One sample. An input layer gets the sample as the model received it (uint8, int8 or int16,
  // (x, y, c)); other layers get one value per inbound layer: int32, or when takes_narrow(),
  // the inbound's own result (of any integer type). The result is int32 or the layer's output
  // type, within the range of its output type.
  virtual ConstDensePtr run(const std::vector<ConstDensePtr>& inputs) const = 0;
  virtual bool takes_narrow() const { return false; }
  // True when the step carries state from one sample to the next: the samples of a run are then
  // time steps and go through it one after the other, in order.
  virtual bool sequential() const { return false; }
};

// Throws std::runtime_error("Software inference of <type> is not supported by this engine") for
// the types without software arithmetic, and std::runtime_error for variables or parameters the
// arithmetic cannot take.
std::unique_ptr<LayerStep> make_step(const Layer& layer);
// The same, kept with the layer (and its packed weights) until its variables change; steps that
// carry state between samples are made afresh for each run.
std::shared_ptr<const LayerStep> prepared_step(const Layer& layer);

class ThresholdActivation;
class PackedProduct;

// The first-generation dense layer split in two, so that learning can read the potentials.
class FullyConnectedStep final : public LayerStep {
 public:
  // `weights` is the layer's "weights" tensor or a working copy of it with the same declaration.
  // `packed`: they are packed once, when the step is made (they must not change while it is in
  // use); else the step reads them at every run.
  FullyConnectedStep(const Layer& layer, const std::shared_ptr<const Dense>& weights, bool packed = false);
  ~FullyConnectedStep() override;
  bool takes_narrow() const override { return true; }
  ConstDensePtr run(const std::vector<ConstDensePtr>& inputs) const override;
  // Σ x·w per neuron: int32 (1, 1, units), from an input of any integer type.
  std::shared_ptr<Dense> potentials(const Dense& input) const;
  // The layer's output for these potentials (changed in place or replaced).
  ConstDensePtr activate(std::shared_ptr<Dense> potentials) const;

 private:
  std::shared_ptr<const Dense> weights_;  // (1, 1, K, N) int8 view
  std::unique_ptr<PackedProduct> packed_;
  std::unique_ptr<ThresholdActivation> activation_;
};

// InputConvolutional, FullyConnected, Convolutional and SeparableConvolutional.
bool first_generation(LayerType type);

// An integer tensor of any byte family, int16 or int32 as int32 values, same shape.
ConstDensePtr as_int32(const ConstDensePtr& value);
// Values of any integer type as `type` (uint8, int8, int16 or int32), being in its range: the
// same tensor when it has the type.
ConstDensePtr narrowed(const ConstDensePtr& values, TensorType type);

// The element type that holds a layer output of `bits` bits: uint8 or int8 up to 8 bits, int32
// above.
TensorType output_type(int bits, bool is_signed);
// The type such values have between the layers of a run: output_type(), or int16 for 9 to 16
// bits (15 unsigned).
TensorType carried_type(int bits, bool is_signed);
// Clamps int32 values in place to the signed or unsigned range of `bits` bits (32: unchanged).
void saturate(Dense& values, int bits, bool is_signed);

}  // namespace nuvra::detail
