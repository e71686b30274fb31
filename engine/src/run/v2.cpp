// Second-generation arithmetic of the temporal layers and the stem, and the choice of a step for
// each second-generation layer: x' = x << input_shift[c], acc = Σ x'·w, then the neuron tail
// (bias, ReLU, pooling, scale and shift).
#include "run/common.h"
#include "run/product.h"
#include "run/thread_pool.h"

#include "ops/common.h"
#include "ops/simd.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace nuvra::detail {

using ops::detail::sat32;

namespace {

using ops::detail::Window;

// Multiply-adds (or values moved) below which a sample's loop is not split over threads.
constexpr uint64_t kSplitWork = uint64_t{1} << 16;

// Per pixel and channel k: sat32(Σ_t h[t · c + k] · w[t · c + k]) over `taps` frames of c values.
template <class H>
NUVRA_INLINE void depthwise_frames(const H* h, const int8_t* w, size_t taps, size_t c, size_t p0, size_t p1,
                                   int32_t* out) {
  const size_t row = taps * c;
  for (size_t p = p0; p < p1; ++p)
    for (size_t k = 0; k < c; ++k) {
      int64_t sum = 0;
      for (size_t t = 0; t < taps; ++t) sum += int64_t{h[p * row + t * c + k]} * w[t * c + k];
      out[p * c + k] = sat32(sum);
    }
}

// BufferTempConv and DepthwiseBufferTempConv: every pixel keeps its last `taps` frames, oldest
// first, (x, y, taps · c); acc = Σ_t Σ_c frame_t[c] · w[t · c_in + c, f] (per channel when
// depthwise). The frames start at 0 with each run and are kept at the width the first one comes
// in (int32 once frames of several widths meet).
class TemporalStep final : public LayerStep {
 public:
  explicit TemporalStep(const Layer& layer)
      : depthwise_(layer.type() == LayerType::DepthwiseBufferTempConv), tail_(layer, false),
        weights_(variable(layer, "weights")), shifts_(input_shifts(layer)) {
    const Shape in = layer.input_dimensions().at(0);
    taps_ = static_cast<uint32_t>(layer.params()->get("fifo_size"));
    channels_ = in[2];
    shape_ = Shape{in[0], in[1], taps_ * channels_};
    if (!depthwise_ && weights_->shape()[2] == shape_[2]) {
      Window g;
      g.x = g.out_w = in[0];
      g.y = g.out_h = in[1];
      g.c = shape_[2];
      g.kw = g.kh = 1;
      product_.emplace(weights_, g, std::vector<int32_t>(g.c, 0));
    }
  }
  bool sequential() const override { return true; }
  bool takes_narrow() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    ConstDensePtr x = shifts_ ? shifted(as_int32(in[0]), shifts_) : in[0];
    if (!history_) history_ = Dense::create(x->type(), shape_);
    if (x->type() != history_->type()) {
      if (history_->type() != TensorType::int32)
        history_ = std::const_pointer_cast<Dense>(narrowed(history_, TensorType::int32));
      x = as_int32(x);
    }
    push(*x);
    if (!depthwise_) {
      const ops::detail::PackedFilters* packed = product_ ? product_->packed_for(*history_) : nullptr;
      if (!packed)
        return tail_.apply(ops::conv2d_v2(*as_int32(history_), 1, 1, 0, 0, shape_[0], shape_[1], *weights_, 0));
      NeuronTail::Output out = tail_.begin(Shape{shape_[0], shape_[1], product_->filters()});
      product_->convolve(*packed, *history_, out.e);
      return tail_.end(std::move(out));
    }
    auto acc = ops::detail::result(TensorType::int32, x->shape());
    const size_t c = channels_, pixels = x->size() / c;
    over_parts(pixels, uint64_t{x->size()} * taps_, kSplitWork, [&](size_t p0, size_t p1) {
      int32_t* out = acc->data<int32_t>();
      const int8_t* w = weights_->data<int8_t>();
      switch (history_->type()) {
        case TensorType::uint8: return depthwise_frames(history_->data<uint8_t>(), w, taps_, c, p0, p1, out);
        case TensorType::int8: return depthwise_frames(history_->data<int8_t>(), w, taps_, c, p0, p1, out);
        case TensorType::int16: return depthwise_frames(history_->data<int16_t>(), w, taps_, c, p0, p1, out);
        default: return depthwise_frames(history_->data<int32_t>(), w, taps_, c, p0, p1, out);
      }
    });
    return tail_.apply(std::move(acc));
  }

 private:
  // Every pixel's frames move one place to the front and take x's values last.
  void push(const Dense& x) const {
    const size_t bytes = element_size(x.type()), c = channels_ * bytes, row = size_t{taps_} * c;
    const size_t pixels = x.size() / channels_;
    uint8_t* h = history_->storage().data();
    const uint8_t* frame = x.storage().data();
    over_parts(pixels, uint64_t{x.size()} * taps_, kSplitWork, [&](size_t p0, size_t p1) {
      for (size_t p = p0; p < p1; ++p) {
        uint8_t* slots = h + p * row;
        std::memmove(slots, slots + c, row - c);
        std::memcpy(slots + row - c, frame + p * c, c);
      }
    });
  }

  bool depthwise_;
  NeuronTail tail_;
  std::shared_ptr<const Dense> weights_, shifts_;
  uint32_t taps_ = 0, channels_ = 0;
  Shape shape_;
  std::optional<PackedProduct> product_;
  mutable std::shared_ptr<Dense> history_;  // changed by each run: the step is sequential
};

// Stem: k x k patches of the raw uint8 sample with stride k, the class tokens (<< tokens_shift)
// put ahead of them, plus the position embeddings (<< pos_embs_shift), then the neuron tail
// over every token: (1, tokens, filters).
class StemStep final : public LayerStep {
 public:
  explicit StemStep(const Layer& layer)
      : tail_(layer, false), weights_(variable(layer, "weights")),
        extra_(layer.params()->get("num_non_patch_tokens")), output_(layer.output_dimensions()) {
    if (extra_ > 0) {
      tokens_ = variable(layer, "tokens");
      token_shifts_ = variable(layer, "tokens_shift");
    }
    positions_ = ops::lshift(*as_int32(variable(layer, "pos_embedding")), *variable(layer, "pos_embs_shift"), 0);
    const Shape ws = weights_->shape(), is = layer.input_dimensions().at(0);
    stride_ = static_cast<int>(weights_->shape()[0]);
    if (ws.size() == 4 && is.size() == 3 && ws[2] == is[2] && is[0] >= ws[0] && is[1] >= ws[1] && stride_ >= 1) {
      Window g;
      g.x = is[0];
      g.y = is[1];
      g.c = is[2];
      g.kw = ws[0];
      g.kh = ws[1];
      g.sx = g.sy = stride_;
      g.out_w = (is[0] - ws[0]) / static_cast<uint32_t>(stride_) + 1;
      g.out_h = (is[1] - ws[1]) / static_cast<uint32_t>(stride_) + 1;
      product_.emplace(weights_, g, std::vector<int32_t>(g.c, 0));
    }
  }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    ConstDensePtr tokens = patches(*in[0]);
    if (extra_ > 0) tokens = ops::concat_token(*tokens, *tokens_, *token_shifts_, extra_);
    const auto y = tail_.apply(ops::add(*tokens, *positions_, 0));
    return y->view(y->type(), output_, Layout::RowMajor);
  }

 private:
  // stem_conv through the packed filters when the input is what it takes (else the kernel, and
  // its refusals).
  ConstDensePtr patches(const Dense& x) const {
    const ops::detail::PackedFilters* packed =
        product_ && x.type() == TensorType::uint8 ? product_->packed_for(x) : nullptr;
    if (!packed) return ops::stem_conv(x, *weights_, stride_);
    const Window& g = product_->window();
    auto y = ops::detail::result(TensorType::int32, Shape{g.out_w * g.out_h, product_->filters()});
    ops::detail::Epilogue e;
    e.out = y->storage().data();
    e.ldo = product_->filters();
    product_->convolve(*packed, x, e);
    return y;
  }

  NeuronTail tail_;
  std::shared_ptr<const Dense> weights_, tokens_, token_shifts_;
  std::optional<PackedProduct> product_;
  std::shared_ptr<Dense> positions_;
  int extra_;
  int stride_ = 1;
  Shape output_;
};

}  // namespace

std::unique_ptr<LayerStep> make_conv_step(const Layer& layer);
std::unique_ptr<LayerStep> make_depthwise_step(const Layer& layer);
std::unique_ptr<LayerStep> make_transposed_step(const Layer& layer);

std::unique_ptr<LayerStep> make_v2_step(const Layer& layer) {
  switch (layer.type()) {
    case LayerType::Conv2D:
    case LayerType::Dense1D:
    case LayerType::InputConv2D: return make_conv_step(layer);
    case LayerType::DepthwiseConv2D: return make_depthwise_step(layer);
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: return std::make_unique<TemporalStep>(layer);
    case LayerType::Stem: return std::make_unique<StemStep>(layer);
    default: return make_transposed_step(layer);
  }
}

}  // namespace nuvra::detail
