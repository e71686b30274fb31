// Second-generation arithmetic: x' = x << input_shift[c], acc = Σ x'·w, then the neuron tail
// (bias, ReLU, pooling, scale and shift).
#include "run/common.h"
#include "run/packed.h"

#include "ops/common.h"
#include "ops/conv_rows.h"

#include <algorithm>
#include <cstring>

namespace nuvra::detail {

using ops::detail::sat32;
using ops::detail::saturate_signed;
using ops::detail::saturate_unsigned;
using ops::detail::sshift;

namespace {

// Conv2D, DepthwiseConv2D, their transposed forms, Dense1D and InputConv2D (on the raw uint8
// sample, padded with its "padding_value" per channel).
class ConvStep final : public LayerStep {
 public:
  explicit ConvStep(const Layer& layer)
      : type_(layer.type()), tail_(layer, true) {
    const auto w = variable(layer, "weights");
    const Shape s = w->shape();
    switch (type_) {
      case LayerType::InputConv2D:
        g_ = conv_geometry(layer);
        weights_ = ops::linearize_filters(*w);
        pads_ = variable(layer, "padding_value");
        kernel_ = s[0];
        return;
      case LayerType::Dense1D:  // (K, N): a 1x1 convolution of the flattened input
        weights_ = retagged(*w, TensorType::int8, Shape{1, 1, s[0], s[1]});
        break;
      case LayerType::Conv2DTranspose:
      case LayerType::DepthwiseConv2DTranspose: {
        const Shape in = layer.input_dimensions().at(0);
        kernel_ = s[0];
        g_.out_w = in[0] * 2;
        g_.out_h = in[1] * 2;
        weights_ = w;
        break;
      }
      default:
        g_ = conv_geometry(layer);
        weights_ = w;
    }
    shifts_ = input_shifts(layer);
  }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    std::shared_ptr<Dense> acc;
    switch (type_) {
      case LayerType::InputConv2D:
        acc = ops::input_conv2d(*in[0], *pads_, static_cast<signed char>(g_.stride_x),
                                static_cast<signed char>(g_.stride_y), g_.pad_top, g_.pad_bottom, g_.pad_left,
                                g_.pad_right, g_.out_w, g_.out_h, kernel_, kernel_, *weights_);
        break;
      case LayerType::Dense1D:
        acc = ops::conv2d_v2(*shifted(flattened(*in[0]), shifts_), 1, 1, 0, 0, 1, 1, *weights_, 0);
        break;
      case LayerType::DepthwiseConv2D:
        acc = ops::depthwise_conv2d(*shifted(in[0], shifts_), g_.stride_x, g_.stride_y, g_.pad_left, g_.pad_top,
                                    g_.out_w, g_.out_h, *weights_);
        break;
      case LayerType::Conv2DTranspose:
      case LayerType::DepthwiseConv2DTranspose: {
        // Stride 2, the output twice the input, cropped evenly.
        const int pad = std::max(static_cast<int>(kernel_) - 2, 0) >> 1;
        acc = ops::conv2d_transpose(*shifted(in[0], shifts_), *weights_, 2, pad, pad, g_.out_w, g_.out_h);
        break;
      }
      default:
        acc = ops::conv2d_v2(*shifted(in[0], shifts_), g_.stride_x, g_.stride_y, g_.pad_left, g_.pad_top, g_.out_w,
                             g_.out_h, *weights_, 0);
    }
    return tail_.apply(std::move(acc));
  }

 private:
  LayerType type_;
  NeuronTail tail_;
  ConvGeometry g_;
  std::shared_ptr<const Dense> weights_, shifts_, pads_;
  unsigned kernel_ = 0;
};

// BufferTempConv and DepthwiseBufferTempConv: every pixel keeps its last `taps` frames, oldest
// first, (x, y, taps · c); acc = Σ_t Σ_c frame_t[c] · w[t · c_in + c, f] (per channel when
// depthwise). The frames start at 0 with each run.
class TemporalStep final : public LayerStep {
 public:
  explicit TemporalStep(const Layer& layer)
      : depthwise_(layer.type() == LayerType::DepthwiseBufferTempConv), tail_(layer, false),
        weights_(variable(layer, "weights")), shifts_(input_shifts(layer)) {
    const Shape in = layer.input_dimensions().at(0);
    taps_ = static_cast<uint32_t>(layer.params()->get("fifo_size"));
    channels_ = in[2];
    history_ = Dense::create(TensorType::int32, Shape{in[0], in[1], taps_ * channels_});
  }
  bool sequential() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    const auto x = shifted(in[0], shifts_);
    const size_t c = channels_, row = size_t{taps_} * c, pixels = x->size() / c;
    int32_t* h = history_->data<int32_t>();
    const int32_t* frame = x->data<int32_t>();
    for (size_t p = 0; p < pixels; ++p) {
      int32_t* slots = h + p * row;
      std::memmove(slots, slots + c, (row - c) * sizeof(int32_t));
      std::memcpy(slots + row - c, frame + p * c, c * sizeof(int32_t));
    }
    if (!depthwise_) return tail_.apply(ops::conv2d_v2(*history_, 1, 1, 0, 0, x->shape()[0], x->shape()[1], *weights_, 0));

    auto acc = Dense::create(TensorType::int32, x->shape());
    int32_t* out = acc->data<int32_t>();
    const int8_t* w = weights_->data<int8_t>();
    for (size_t p = 0; p < pixels; ++p)
      for (size_t k = 0; k < c; ++k) {
        int64_t sum = 0;
        for (size_t t = 0; t < taps_; ++t) sum += int64_t{h[p * row + t * c + k]} * w[t * c + k];
        out[p * c + k] = sat32(sum);
      }
    return tail_.apply(std::move(acc));
  }

 private:
  bool depthwise_;
  NeuronTail tail_;
  std::shared_ptr<const Dense> weights_, shifts_;
  uint32_t taps_ = 0, channels_ = 0;
  std::shared_ptr<Dense> history_;  // changed by each run: the step is sequential
};

// Stem: k x k patches of the raw uint8 sample with stride k, the class tokens (<< tokens_shift)
// put ahead of them, plus the position embeddings (<< pos_embs_shift), then the neuron tail
// over every token: (1, tokens, filters).
class StemStep final : public LayerStep {
 public:
  explicit StemStep(const Layer& layer)
      : tail_(layer, false), weights_(variable(layer, "weights")), packed_(weights_),
        extra_(layer.params()->get("num_non_patch_tokens")), output_(layer.output_dimensions()) {
    if (extra_ > 0) {
      tokens_ = variable(layer, "tokens");
      token_shifts_ = variable(layer, "tokens_shift");
    }
    positions_ = ops::lshift(*as_int32(variable(layer, "pos_embedding")), *variable(layer, "pos_embs_shift"), 0);
    stride_ = static_cast<int>(weights_->shape()[0]);
  }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    ConstDensePtr tokens = patches(*in[0]);
    if (extra_ > 0) tokens = ops::concat_token(*tokens, *tokens_, *token_shifts_, extra_);
    const auto y = tail_.apply(ops::add(*tokens, *positions_, 0));
    return y->view(TensorType::int32, output_, Layout::RowMajor);
  }

 private:
  // stem_conv through the packed filters when the input is what it takes (else the kernel, and
  // its refusals).
  ConstDensePtr patches(const Dense& x) const {
    const Shape is = x.shape(), ws = weights_->shape();
    if (x.type() != TensorType::uint8 || is.size() != 3 || is[2] != ws[2] || is[0] < ws[0] || is[1] < ws[1] ||
        !packed_.fits(0, 255))
      return ops::stem_conv(x, *weights_, stride_);
    ops::detail::Window g;
    g.x = is[0];
    g.y = is[1];
    g.c = is[2];
    g.kw = ws[0];
    g.kh = ws[1];
    g.sx = g.sy = stride_;
    g.out_w = (is[0] - ws[0]) / static_cast<uint32_t>(stride_) + 1;
    g.out_h = (is[1] - ws[1]) / static_cast<uint32_t>(stride_) + 1;
    auto y = ops::detail::result(TensorType::int32, Shape{g.out_w * g.out_h, ws[3]});
    ops::detail::Epilogue e;
    e.out = y->storage().data();
    e.ldo = ws[3];
    const std::vector<int32_t> pads(g.c, 0);
    ops::detail::convolve_rows(packed_.packed(0, 255), ops::detail::ConvSource{x.storage().data(), x.type(), g, pads.data()},
                               0, g.pixels(), e);
    return y;
  }

  NeuronTail tail_;
  std::shared_ptr<const Dense> weights_, tokens_, token_shifts_;
  PackedCache packed_;
  std::shared_ptr<Dense> positions_;
  int extra_;
  int stride_ = 1;
  Shape output_;
};

}  // namespace

std::unique_ptr<LayerStep> make_conv_step(const Layer& layer);
std::unique_ptr<LayerStep> make_depthwise_step(const Layer& layer);

std::unique_ptr<LayerStep> make_v2_step(const Layer& layer) {
  switch (layer.type()) {
    case LayerType::Conv2D:
    case LayerType::Dense1D:
    case LayerType::InputConv2D: return make_conv_step(layer);
    case LayerType::DepthwiseConv2D: return make_depthwise_step(layer);
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: return std::make_unique<TemporalStep>(layer);
    case LayerType::Stem: return std::make_unique<StemStep>(layer);
    default: return std::make_unique<ConvStep>(layer);
  }
}

}  // namespace nuvra::detail
