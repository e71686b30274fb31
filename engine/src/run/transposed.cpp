// Conv2DTranspose and DepthwiseConv2DTranspose: stride 2, the output twice the input, cropped
// evenly. Inputs at their own width whose sums fit int32 go through weights prepared once, output
// columns spread over the inference threads; others through the general kernel.
#include "run/common.h"
#include "run/thread_pool.h"

#include "ops/simd.h"
#include "ops/transpose_rows.h"

#include <algorithm>
#include <limits>

namespace nuvra::detail {

namespace {

using ops::detail::Transposed;

// Multiply-adds below which a sample's layer is not split over threads.
constexpr uint64_t kSplitWork = 1 << 18;

template <class In>
NUVRA_AVX2 void columns_avx2(const In* in, const int32_t* w, const Transposed& t, uint32_t ox0, uint32_t ox1,
                             int32_t* out) {
  ops::detail::transposed_columns<int32_t>(in, w, t, ox0, ox1, out);
}
template <class In>
void columns_base(const In* in, const int32_t* w, const Transposed& t, uint32_t ox0, uint32_t ox1, int32_t* out) {
  ops::detail::transposed_columns<int32_t>(in, w, t, ox0, ox1, out);
}
template <class In>
void columns(const In* in, const int32_t* w, const Transposed& t, uint32_t ox0, uint32_t ox1, int32_t* out) {
  (ops::detail::has_avx2() ? columns_avx2<In> : columns_base<In>)(in, w, t, ox0, ox1, out);
}

class TransposedStep final : public LayerStep {
 public:
  explicit TransposedStep(const Layer& layer)
      : tail_(layer, true), weights_(variable(layer, "weights")), shifts_(input_shifts(layer)) {
    const Shape in = layer.input_dimensions().at(0), ws = weights_->shape();
    kernel_ = ws[0];
    out_w_ = in[0] * 2;
    out_h_ = in[1] * 2;
    pad_ = std::max(static_cast<int>(kernel_) - 2, 0) >> 1;
    if (ws.size() != 4 || in.size() != 3 || weights_->type() != TensorType::int8) return;
    const bool depthwise = ws[2] != in[2];
    // Weights the kernel would refuse stay with it.
    prepared_ = !depthwise || (ws[2] == 1 && ws[3] == in[2]);
    if (!prepared_) return;
    t_ = Transposed{in[0], in[1], in[2], ws[0], ws[1], ws[3], 2, pad_, pad_, out_w_, out_h_, depthwise};
    const int8_t* w = weights_->data<int8_t>();
    w_.assign(w, w + weights_->size());
    std::vector<uint64_t> sums(ws[3], 0);
    for (size_t k = 0; k < w_.size(); ++k) sums[k % ws[3]] += static_cast<uint64_t>(w_[k] < 0 ? -w_[k] : w_[k]);
    largest_ = *std::max_element(sums.begin(), sums.end());
  }

  bool takes_narrow() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    const ConstDensePtr x = shifts_ ? shifted(as_int32(in[0]), shifts_) : in[0];
    const Shape s = x->shape();
    const bool fits = prepared_ && s.size() == 3 && s[0] == t_.x && s[1] == t_.y && s[2] == t_.c &&
                      static_cast<unsigned __int128>(max_magnitude(*x)) * largest_ <=
                          std::numeric_limits<int32_t>::max();
    if (!fits)
      return tail_.apply(ops::conv2d_transpose(*as_int32(x), *weights_, 2, pad_, pad_, out_w_, out_h_));
    auto acc = ops::detail::result(TensorType::int32, Shape{out_w_, out_h_, t_.filters});
    const auto part = [&](uint32_t ox0, uint32_t ox1) {
      int32_t* out = acc->data<int32_t>();
      switch (x->type()) {
        case TensorType::uint8: return columns(x->data<uint8_t>(), w_.data(), t_, ox0, ox1, out);
        case TensorType::int8: return columns(x->data<int8_t>(), w_.data(), t_, ox0, ox1, out);
        case TensorType::int16: return columns(x->data<int16_t>(), w_.data(), t_, ox0, ox1, out);
        default: return columns(x->data<int32_t>(), w_.data(), t_, ox0, ox1, out);
      }
    };
    // Each output pixel takes about (kernel / 2)^2 input pixels.
    const uint64_t work = uint64_t{out_w_} * out_h_ * t_.filters * (t_.depthwise ? 1 : t_.c) * kernel_ * kernel_ / 4;
    if (work < kSplitWork || !can_split() || out_w_ < 2) {
      part(0, out_w_);
    } else {
      const uint32_t parts = static_cast<uint32_t>(std::min<size_t>(out_w_, 2 * inference_threads()));
      const uint32_t each = (out_w_ + parts - 1) / parts;
      parallel_for(parts, [&](size_t i) {
        part(std::min(out_w_, static_cast<uint32_t>(i) * each), std::min(out_w_, static_cast<uint32_t>(i + 1) * each));
      });
    }
    return tail_.apply(std::move(acc));
  }

 private:
  // The largest |value| x may hold: its type's, else scanned.
  static uint64_t max_magnitude(const Dense& x) {
    switch (x.type()) {
      case TensorType::uint8: return 255;
      case TensorType::int8: return 128;
      case TensorType::int16: return 32768;
      default: return ops::detail::max_abs(x.data<int32_t>(), x.size());
    }
  }

  NeuronTail tail_;
  std::shared_ptr<const Dense> weights_, shifts_;
  uint32_t kernel_ = 0, out_w_ = 0, out_h_ = 0;
  int pad_ = 0;
  bool prepared_ = false;
  Transposed t_{};
  std::vector<int32_t> w_;
  uint64_t largest_ = 0;
};

}  // namespace

std::unique_ptr<LayerStep> make_transposed_step(const Layer& layer) { return std::make_unique<TransposedStep>(layer); }

}  // namespace nuvra::detail
