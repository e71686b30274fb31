// First-generation arithmetic: potentials p = Σ x·w over padded windows, pooling on p, then the
// threshold activation.
#include "run/common.h"

#include <nuvra/functions.h>

#include <algorithm>
#include <limits>

namespace nuvra::detail {

namespace {

// InputConvolutional (on the raw uint8 sample, padded with "padding_value"), Convolutional and
// SeparableConvolutional (depthwise, then pointwise).
class ConvStep final : public LayerStep {
 public:
  explicit ConvStep(const Layer& layer)
      : type_(layer.type()), g_(conv_geometry(layer)), pooling_(layer, true), activation_(layer) {
    const auto w = variable(layer, "weights");
    const Shape s = w->shape();
    switch (type_) {
      case LayerType::InputConvolutional: {
        kernel_w_ = s[0];
        kernel_h_ = s[1];
        filters_ = ops::linearize_filters(*w);
        const int pad = layer.params()->get("padding_value");
        if (pad < 0 || pad > 255) step_error(layer, "padding_value must be 0 to 255");
        pads_ = Dense::create(TensorType::uint8, Shape{1});
        pads_->data<uint8_t>()[0] = static_cast<uint8_t>(pad);
        break;
      }
      case LayerType::Convolutional:  // stored (F, C, Kh, Kw) dimension 0 fastest: (Kw, Kh, C, F) row-major
        weights_ = retagged(*w, TensorType::int8, Shape{s[3], s[2], s[1], s[0]});
        break;
      default: {  // depthwise (1, C, K, K) and pointwise (F, C), both dimension 0 fastest
        weights_ = retagged(*w, TensorType::int8, Shape{s[3], s[2], 1, s[1]});
        const auto pw = variable(layer, "weights_pw");
        const Shape ps = pw->shape();
        pointwise_ = retagged(*pw, TensorType::int8, Shape{1, 1, ps[1], ps[0]});
      }
    }
  }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    std::shared_ptr<Dense> p;
    if (type_ == LayerType::InputConvolutional) {
      p = ops::input_conv2d(*in[0], *pads_, static_cast<signed char>(g_.stride_x),
                            static_cast<signed char>(g_.stride_y), g_.pad_top, g_.pad_bottom, g_.pad_left,
                            g_.pad_right, g_.out_w, g_.out_h, kernel_w_, kernel_h_, *filters_);
    } else if (type_ == LayerType::Convolutional) {
      p = ops::conv2d_v2(*in[0], g_.stride_x, g_.stride_y, g_.pad_left, g_.pad_top, g_.out_w, g_.out_h, *weights_,
                         0);
    } else {
      const auto d = ops::depthwise_conv2d(*in[0], g_.stride_x, g_.stride_y, g_.pad_left, g_.pad_top, g_.out_w,
                                           g_.out_h, *weights_);
      p = ops::conv2d_v2(*d, 1, 1, 0, 0, g_.out_w, g_.out_h, *pointwise_, 0);
    }
    if (pooling_.active()) p = pooling_.apply(std::move(p));
    return activation_.apply(std::move(p));
  }

 private:
  LayerType type_;
  ConvGeometry g_;
  Pooling pooling_;
  ThresholdActivation activation_;
  std::shared_ptr<const Dense> weights_, pointwise_, filters_;
  std::shared_ptr<Dense> pads_;
  unsigned kernel_w_ = 0, kernel_h_ = 0;
};

}  // namespace

std::unique_ptr<LayerStep> make_v1_step(const Layer& layer) { return std::make_unique<ConvStep>(layer); }

ThresholdActivation::ThresholdActivation(const Layer& layer) : on_(layer.has_activation()) {
  if (!on_) return;
  const int bits = layer.params()->get("act_bits");
  max_ = bits >= 31 ? std::numeric_limits<int32_t>::max() : (int32_t{1} << bits) - 1;
  const auto threshold = variable(layer, "threshold");
  threshold_.assign(threshold->data<int32_t>(), threshold->data<int32_t>() + threshold->size());
  const auto t16 = get_threshold_t16_from_act_steps(*variable(layer, "act_step"));
  t16_.assign(t16->data<int32_t>(), t16->data<int32_t>() + t16->size());
}

ConstDensePtr ThresholdActivation::apply(std::shared_ptr<Dense> p) const {
  if (!on_) return p;
  int32_t* v = p->data<int32_t>();
  const size_t channels = threshold_.size(), n = p->size();
  for (size_t i = 0; i < n; i += channels)
    for (size_t c = 0; c < channels; ++c) {
      const int64_t above = int64_t{v[i + c]} - threshold_[c];
      if (above <= 0)
        v[i + c] = 0;
      else if (t16_[c] <= 0)  // no step: any potential above the threshold saturates
        v[i + c] = max_;
      else
        v[i + c] = static_cast<int32_t>(std::min<int64_t>((above * 16 + t16_[c] - 1) / t16_[c], max_));
    }
  return p;
}

FullyConnectedStep::FullyConnectedStep(const Layer& layer, const std::shared_ptr<const Dense>& weights)
    : activation_(std::make_unique<ThresholdActivation>(layer)) {
  // Stored (N, K, 1, 1) dimension 0 fastest: row-major (1, 1, K, N), neuron n's weight k at k·N + n.
  const Shape s = weights->shape();
  weights_ = retagged(*weights, TensorType::int8, Shape{1, 1, s[1], s[0]});
}

FullyConnectedStep::~FullyConnectedStep() = default;

std::shared_ptr<Dense> FullyConnectedStep::potentials(const Dense& input) const {
  return ops::conv2d_v2(*flattened(input), 1, 1, 0, 0, 1, 1, *weights_, 0);
}

ConstDensePtr FullyConnectedStep::activate(std::shared_ptr<Dense> p) const { return activation_->apply(std::move(p)); }

ConstDensePtr FullyConnectedStep::run(const std::vector<ConstDensePtr>& in) const {
  return activate(potentials(*in[0]));
}

}  // namespace nuvra::detail
