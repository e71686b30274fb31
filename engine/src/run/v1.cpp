// First-generation arithmetic: potentials p = Σ x·w over padded windows, pooling on p, then the
// threshold activation. Weights are packed (and depthwise taps prepared) once per step.
#include "run/common.h"
#include "run/depthwise.h"
#include "run/product.h"

#include "ops/common.h"

#include <nuvra/functions.h>

#include <algorithm>
#include <limits>
#include <optional>

namespace nuvra::detail {

namespace {

using ops::detail::Epilogue;
using ops::detail::Window;

// The window of a convolution over inputs of `in` with (kw, kh, C, F) weights of shape `ws`.
Window window(const ConvGeometry& g, const Shape& in, const Shape& ws) {
  Window w;
  w.x = in[0];
  w.y = in[1];
  w.c = in[2];
  w.kw = ws[0];
  w.kh = ws[1];
  w.sx = g.stride_x;
  w.sy = g.stride_y;
  w.pad_left = g.pad_left;
  w.pad_top = g.pad_top;
  w.out_w = g.out_w;
  w.out_h = g.out_h;
  return w;
}

// The int32 sums of `x` through the product, or null when it cannot take them.
std::shared_ptr<Dense> product_sums(const PackedProduct* product, const Dense& x) {
  const ops::detail::PackedFilters* packed = product ? product->packed_for(x) : nullptr;
  if (!packed) return nullptr;
  const Window& g = product->window();
  auto sums = ops::detail::result(TensorType::int32, Shape{g.out_w, g.out_h, product->filters()});
  Epilogue e;
  e.out = sums->storage().data();
  e.ldo = product->filters();
  product->convolve(*packed, x, e);
  return sums;
}

// InputConvolutional (on the raw uint8 sample, padded with "padding_value"), Convolutional and
// SeparableConvolutional (depthwise, then pointwise).
class ConvStep final : public LayerStep {
 public:
  explicit ConvStep(const Layer& layer)
      : type_(layer.type()), g_(conv_geometry(layer)), pooling_(layer, true), activation_(layer) {
    const auto w = variable(layer, "weights");
    const Shape s = w->shape();
    const Shape in = layer.input_dimensions().at(0);
    switch (type_) {
      case LayerType::InputConvolutional: {
        kernel_w_ = s[0];
        kernel_h_ = s[1];
        filters_ = ops::linearize_filters(*w);
        const int pad = layer.params()->get("padding_value");
        if (pad < 0 || pad > 255) step_error(layer, "padding_value must be 0 to 255");
        pads_ = Dense::create(TensorType::uint8, Shape{1});
        pads_->data<uint8_t>()[0] = static_cast<uint8_t>(pad);
        if (s[2] == in[2]) product_.emplace(w, window(g_, in, s), std::vector<int32_t>(in[2], pad));
        break;
      }
      case LayerType::Convolutional:  // stored (F, C, Kh, Kw) dimension 0 fastest: (Kw, Kh, C, F) row-major
        weights_ = retagged(*w, TensorType::int8, Shape{s[3], s[2], s[1], s[0]});
        if (s[1] == in[2]) product_.emplace(weights_, window(g_, in, weights_->shape()), std::vector<int32_t>(in[2], 0));
        break;
      default: {  // depthwise (1, C, K, K) and pointwise (F, C), both dimension 0 fastest
        weights_ = retagged(*w, TensorType::int8, Shape{s[3], s[2], 1, s[1]});
        const auto pw = variable(layer, "weights_pw");
        const Shape ps = pw->shape();
        pointwise_ = retagged(*pw, TensorType::int8, Shape{1, 1, ps[1], ps[0]});
        depthwise_.emplace(weights_, g_, in);
        if (ps[1] == s[1]) {
          Window p;
          p.x = p.out_w = g_.out_w;
          p.y = p.out_h = g_.out_h;
          p.c = ps[1];
          p.kw = p.kh = 1;
          product_.emplace(pointwise_, p, std::vector<int32_t>(p.c, 0));
        }
      }
    }
  }

  bool takes_narrow() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    const ConstDensePtr& x = in[0];
    std::shared_ptr<Dense> p;
    if (type_ == LayerType::InputConvolutional) {
      if (x->type() == TensorType::uint8) p = product_sums(product_ ? &*product_ : nullptr, *x);
      if (!p)
        p = ops::input_conv2d(*x, *pads_, static_cast<signed char>(g_.stride_x), static_cast<signed char>(g_.stride_y),
                              g_.pad_top, g_.pad_bottom, g_.pad_left, g_.pad_right, g_.out_w, g_.out_h, kernel_w_,
                              kernel_h_, *filters_);
    } else if (type_ == LayerType::Convolutional) {
      p = product_sums(product_ ? &*product_ : nullptr, *x);
      if (!p)
        p = ops::conv2d_v2(*as_int32(x), g_.stride_x, g_.stride_y, g_.pad_left, g_.pad_top, g_.out_w, g_.out_h,
                           *weights_, 0);
    } else {
      const ConstDensePtr d = depthwise(x);
      p = product_sums(product_ ? &*product_ : nullptr, *d);
      if (!p) p = ops::conv2d_v2(*as_int32(d), 1, 1, 0, 0, g_.out_w, g_.out_h, *pointwise_, 0);
    }
    if (pooling_.active()) p = pooling_.apply(std::move(p));
    return activation_.apply(std::move(p));
  }

 private:
  // The depthwise sums, int16 when they fit it.
  ConstDensePtr depthwise(const ConstDensePtr& x) const {
    uint64_t bound = 0;
    if (!depthwise_->takes(*x, &bound)) return depthwise_->sums(x);
    const bool narrow = bound <= static_cast<uint64_t>(std::numeric_limits<int16_t>::max());
    auto sums = ops::detail::result(narrow ? TensorType::int16 : TensorType::int32, depthwise_->out_shape());
    Epilogue e;
    e.type = sums->type();
    e.out = sums->storage().data();
    e.ldo = sums->shape()[2];
    depthwise_->convolve(x, e);
    return sums;
  }

  LayerType type_;
  ConvGeometry g_;
  Pooling pooling_;
  ThresholdActivation activation_;
  std::shared_ptr<const Dense> weights_, pointwise_, filters_;
  std::shared_ptr<Dense> pads_;
  unsigned kernel_w_ = 0, kernel_h_ = 0;
  std::optional<PackedProduct> product_;
  std::optional<DepthwiseProduct> depthwise_;
};

}  // namespace

std::unique_ptr<LayerStep> make_v1_step(const Layer& layer) {
  if (layer.type() == LayerType::FullyConnected)
    return std::make_unique<FullyConnectedStep>(layer, variable(layer, "weights"), true);
  return std::make_unique<ConvStep>(layer);
}

ThresholdActivation::ThresholdActivation(const Layer& layer)
    : on_(layer.has_activation()), type_(carried_type(layer.output_bits(), layer.output_signed())) {
  if (!on_) return;
  const int bits = layer.params()->get("act_bits");
  max_ = bits >= 31 ? std::numeric_limits<int32_t>::max() : (int32_t{1} << bits) - 1;
  const auto threshold = variable(layer, "threshold");
  threshold_.assign(threshold->data<int32_t>(), threshold->data<int32_t>() + threshold->size());
  const auto t16 = get_threshold_t16_from_act_steps(*variable(layer, "act_step"));
  t16_.assign(t16->data<int32_t>(), t16->data<int32_t>() + t16->size());
}

template <class Out>
void ThresholdActivation::into(const int32_t* v, size_t n, Out* y) const {
  const size_t channels = threshold_.size();
  for (size_t i = 0; i < n; i += channels)
    for (size_t c = 0; c < channels; ++c) {
      const int64_t above = int64_t{v[i + c]} - threshold_[c];
      int32_t out;
      if (above <= 0)
        out = 0;
      else if (t16_[c] <= 0)  // no step: any potential above the threshold saturates
        out = max_;
      else
        out = static_cast<int32_t>(std::min<int64_t>((above * 16 + t16_[c] - 1) / t16_[c], max_));
      y[i + c] = static_cast<Out>(out);
    }
}

ConstDensePtr ThresholdActivation::apply(std::shared_ptr<Dense> p) const {
  if (!on_) return narrowed(p, type_);
  const int32_t* v = p->data<int32_t>();
  const size_t n = p->size();
  switch (type_) {
    case TensorType::uint8: {
      auto y = ops::detail::result(type_, p->shape());
      into(v, n, y->data<uint8_t>());
      return y;
    }
    case TensorType::int16: {
      auto y = ops::detail::result(type_, p->shape());
      into(v, n, y->data<int16_t>());
      return y;
    }
    default: into(v, n, p->data<int32_t>()); return p;
  }
}

FullyConnectedStep::FullyConnectedStep(const Layer& layer, const std::shared_ptr<const Dense>& weights, bool packed)
    : activation_(std::make_unique<ThresholdActivation>(layer)) {
  // Stored (N, K, 1, 1) dimension 0 fastest: row-major (1, 1, K, N), neuron n's weight k at k·N + n.
  const Shape s = weights->shape();
  weights_ = retagged(*weights, TensorType::int8, Shape{1, 1, s[1], s[0]});
  if (packed) {
    Window g;
    g.x = g.y = g.kw = g.kh = g.out_w = g.out_h = 1;
    g.c = s[1];
    packed_ = std::make_unique<PackedProduct>(weights_, g, std::vector<int32_t>(g.c, 0));
  }
}

FullyConnectedStep::~FullyConnectedStep() = default;

std::shared_ptr<Dense> FullyConnectedStep::potentials(const Dense& input) const {
  const auto flat = flattened(input);
  if (auto p = product_sums(packed_.get(), *flat)) return p;
  return ops::conv2d_v2(*as_int32(flat), 1, 1, 0, 0, 1, 1, *weights_, 0);
}

ConstDensePtr FullyConnectedStep::activate(std::shared_ptr<Dense> p) const { return activation_->apply(std::move(p)); }

ConstDensePtr FullyConnectedStep::run(const std::vector<ConstDensePtr>& in) const {
  return activate(potentials(*in[0]));
}

}  // namespace nuvra::detail
