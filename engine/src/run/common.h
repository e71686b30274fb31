// Helpers shared by the per-generation software steps.
#pragma once

#include "run/steps.h"

#include "ops/epilogue.h"

#include <nuvra/ops.h>
#include <nuvra/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nuvra::detail {

// std::runtime_error "Layer <name> (<type>): <reason>".
[[noreturn]] void step_error(const Layer& layer, const std::string& reason);

// The layer's variable, read (and so materialised) now.
std::shared_ptr<const Dense> variable(const Layer& layer, const char* name);
// The same bytes under another type of the byte family and another shape.
std::shared_ptr<const Dense> retagged(const Dense& t, TensorType type, const Shape& shape);
// (1, 1, elements): how dense layers read an (x, y, c) input.
std::shared_ptr<const Dense> flattened(const Dense& t);

struct ConvGeometry {
  int stride_x = 1, stride_y = 1;
  int pad_left = 0, pad_right = 0, pad_top = 0, pad_bottom = 0;
  uint32_t out_w = 0, out_h = 0;
};
// From the layer's convolution record and its stride keys ("stride_x"/"stride_y" or
// "kernel_stride").
ConvGeometry conv_geometry(const Layer& layer);

// Pooling after the convolution, from the layer's pooling record.
class Pooling {
 public:
  // `floor_mean`: a global average rounds down (first generation) instead of half up.
  Pooling(const Layer& layer, bool floor_mean);
  bool active() const { return type_ != PoolType::NoPooling; }
  PoolType type() const { return type_; }
  // A new int32 tensor from int32 or int16 values; only for an active pooling.
  std::shared_ptr<Dense> apply(ConstDensePtr values) const;

 private:
  PoolType type_ = PoolType::NoPooling;
  bool global_ = false, floor_mean_ = false;
  int width_ = 1, height_ = 1, stride_x_ = 1, stride_y_ = 1;
  PaddingParams padding_;
  uint32_t out_w_ = 0, out_h_ = 0;
};

// The second-generation neuron: accumulator + (bias << bias_shift), ReLU clamp, pooling, then
// sshift(· × output_scales, output_shift) saturated to the output range, given as type().
class NeuronTail {
 public:
  NeuronTail(const Layer& layer, bool with_pooling);
  ~NeuronTail();
  // The layer's values between layers: carried_type() of its output.
  TensorType type() const { return type_; }

  // What a product kernel writes for sums of `shape` (channels last), and how: the tail on its
  // tiles when every step of it stays within int32 (with a pooling, the activation only), else
  // the sums.
  struct Output {
    std::shared_ptr<Dense> values;
    ops::detail::Epilogue e;
  };
  Output begin(const Shape& shape) const;
  // The layer's output from what the kernel wrote through begin()'s epilogue.
  ConstDensePtr end(Output&& written) const;
  // The layer's output from int32 sums; `acc` is a fresh tensor of the caller's, channels last.
  ConstDensePtr apply(std::shared_ptr<Dense> acc) const;

  // The tail's int32 form (else null).
  const ops::detail::TailValues* fused() const;
  bool pools() const { return pooling_ && pooling_->active(); }

  struct Channels;

 private:
  std::unique_ptr<Channels> channels_;
  std::unique_ptr<Pooling> pooling_;
  TensorType type_;
};

// The first-generation output: 0 when p <= threshold[c], else min(2^act_bits - 1,
// ceil((p - threshold[c]) · 16 / t16[c])) with t16 = round(act_step · 16); p itself without
// activation.
class ThresholdActivation {
 public:
  explicit ThresholdActivation(const Layer& layer);
  // The output for potentials `p` (changed in place or replaced), as carried_type() of the
  // layer's output; the channel is the last axis.
  ConstDensePtr apply(std::shared_ptr<Dense> p) const;

 private:
  template <class Out>
  void into(const int32_t* p, size_t n, Out* y) const;

  bool on_;
  TensorType type_;
  int32_t max_ = 0;
  std::vector<int32_t> threshold_, t16_;
};

// The layer's per-input-channel shifts as a uint8 tensor; null when all are 0.
std::shared_ptr<const Dense> input_shifts(const Layer& layer, const char* name = "input_shift");
// x << shifts (or x itself without shifts).
ConstDensePtr shifted(const ConstDensePtr& x, const std::shared_ptr<const Dense>& shifts);

}  // namespace nuvra::detail
