// Conv2D, Dense1D and InputConv2D through the product kernels: weights packed once per route and
// row type (when a run first needs them), inputs taken at their own width, the neuron tail run by
// the kernels on their tiles, and the output rows (or filters) of one sample spread over the
// inference threads when the samples alone cannot keep them busy.
#include "run/common.h"
#include "run/run.h"
#include "run/thread_pool.h"

#include "run/packed.h"

#include "ops/common.h"
#include "ops/conv_rows.h"

#include <limits>
#include <optional>

namespace nuvra::detail {

namespace {

using ops::detail::ConvSource;
using ops::detail::Epilogue;
using ops::detail::PackedFilters;
using ops::detail::Window;

// Values of an input of `type`: its range, or nothing for int32 (which must be scanned).
bool type_range(TensorType type, int64_t* lo, int64_t* hi) {
  switch (type) {
    case TensorType::uint8: *lo = 0, *hi = 255; return true;
    case TensorType::int8: *lo = -128, *hi = 127; return true;
    case TensorType::int16: *lo = -32768, *hi = 32767; return true;
    default: return false;
  }
}

template <class T>
void scan_as(const Dense& x, int64_t* lo, int64_t* hi) {
  const auto [l, h] = ops::detail::min_max(x.data<T>(), x.size());
  *lo = l, *hi = h;
}
void scan(const Dense& x, int64_t* lo, int64_t* hi) {
  switch (x.type()) {
    case TensorType::uint8: return scan_as<uint8_t>(x, lo, hi);
    case TensorType::int8: return scan_as<int8_t>(x, lo, hi);
    case TensorType::int16: return scan_as<int16_t>(x, lo, hi);
    default: return scan_as<int32_t>(x, lo, hi);
  }
}

// Multiply-adds below which a sample's layer is not split over threads.
constexpr uint64_t kSplitWork = 1 << 19;

class ConvStep final : public LayerStep {
 public:
  explicit ConvStep(const Layer& layer)
      : type_(layer.type()), tail_(layer, true),
        out_type_(output_type(layer.output_bits(), layer.output_signed())) {
    const auto w = variable(layer, "weights");
    const Shape s = w->shape();
    const Shape in = layer.input_dimensions().at(0);
    if (type_ == LayerType::Dense1D) {  // (K, N): a 1x1 convolution of the flattened input
      weights_ = retagged(*w, TensorType::int8, Shape{1, 1, s[0], s[1]});
      g_.x = g_.y = g_.kw = g_.kh = g_.out_w = g_.out_h = 1;
      g_.c = s[0];
    } else {
      const ConvGeometry cg = conv_geometry(layer);
      weights_ = w;
      g_.x = in[0];
      g_.y = in[1];
      g_.c = in[2];
      g_.kw = s[0];
      g_.kh = s[1];
      g_.sx = cg.stride_x;
      g_.sy = cg.stride_y;
      g_.pad_left = cg.pad_left;
      g_.pad_top = cg.pad_top;
      g_.out_w = cg.out_w;
      g_.out_h = cg.out_h;
      fallback_g_ = cg;
    }
    filters_ = weights_->shape()[3];
    // Weights of other channels than the input's reach the kernels' general path, which refuses them.
    usable_ = weights_->shape()[2] == g_.c;
    pads_.assign(g_.c, 0);
    if (type_ == LayerType::InputConv2D) {
      const auto z = variable(layer, "padding_value");
      for (size_t c = 0; c < g_.c; ++c) pads_[c] = z->data<uint8_t>()[z->size() == 1 ? 0 : c];
    } else {
      shifts_ = input_shifts(layer);
    }
    packed_.emplace(weights_);
    in_shape_ = Shape{g_.x, g_.y, g_.c};
    out_shape_ = type_ == LayerType::Dense1D ? Shape{1, 1, filters_} : Shape{g_.out_w, g_.out_h, filters_};
  }

  bool takes_narrow() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    ConstDensePtr x = in[0];
    if (type_ == LayerType::Dense1D) x = flattened(*x);
    if (shifts_) x = shifted(as_int32(x), shifts_);
    // InputConv2D takes the raw sample, which must be uint8.
    const bool raw = type_ == LayerType::InputConv2D && x->type() != TensorType::uint8;
    if (raw || !usable_ || x->shape() != in_shape_) return generic(x);
    int64_t lo = 0, hi = 0;
    if (!type_range(x->type(), &lo, &hi) || !fits(lo, hi)) scan(*x, &lo, &hi);
    if (!fits(lo, hi)) return generic(x);
    for (const int32_t p : pads_) lo = std::min<int64_t>(lo, p), hi = std::max<int64_t>(hi, p);
    const PackedFilters& packed = packed_->packed(lo, hi);

    const ops::detail::TailValues* fused = tail_.fused();
    const bool pools = tail_.pools();
    Epilogue e;
    std::shared_ptr<Dense> out = ops::detail::result(fused && !pools ? out_type_ : TensorType::int32, out_shape_);
    e.kind = !fused ? Epilogue::Kind::store : pools ? Epilogue::Kind::activate : Epilogue::Kind::finish;
    e.type = out->type();
    e.out = out->storage().data();
    e.ldo = filters_;
    if (fused) e.tail = *fused;
    const ConvSource source{x->storage().data(), x->type(), g_, pads_.data()};
    convolve(packed, source, e);
    if (e.kind == Epilogue::Kind::finish) return out;
    return narrowed(pools && fused ? tail_.finish_pooled(std::move(out)) : tail_.apply(std::move(out)), out_type_);
  }

 private:
  bool fits(int64_t lo, int64_t hi) const {
    for (const int32_t p : pads_) lo = std::min<int64_t>(lo, p), hi = std::max<int64_t>(hi, p);
    return packed_->fits(lo, hi);
  }

  // The sums of every output row and filter, in parts over the threads when they are free.
  void convolve(const PackedFilters& packed, const ConvSource& source, const Epilogue& e) const {
    const size_t pixels = g_.pixels(), span = packed.span();
    const size_t spans = (filters_ + span - 1) / span;
    const uint64_t work = uint64_t{pixels} * filters_ * g_.depth();
    if (work < kSplitWork || !can_split()) return ops::detail::convolve_rows(packed, source, 0, pixels, e);
    // A grid of row parts by filter parts: each row part reads every packed filter of its part
    // and each filter part every row, so the grid that reads the fewest bytes wins.
    const size_t want = 2 * inference_threads();
    const double filter_bytes = static_cast<double>(filters_) * packed.row_bytes();
    const double row_bytes = static_cast<double>(pixels) * packed.row_bytes();
    size_t row_parts = 1;
    double best = -1;
    for (size_t r = 1; r <= std::min(want, std::max<size_t>(pixels / 4, 1)); ++r) {
      const size_t f = std::min(spans, (want + r - 1) / r);
      const double cost = static_cast<double>(r) * filter_bytes + static_cast<double>(f) * row_bytes;
      if (r * f >= std::min(want, spans * std::max<size_t>(pixels / 4, 1)) && (best < 0 || cost < best)) {
        best = cost;
        row_parts = r;
      }
    }
    const size_t filter_parts = std::min(spans, (want + row_parts - 1) / row_parts);
    const size_t rows_each = (pixels + row_parts - 1) / row_parts;
    const size_t spans_each = (spans + filter_parts - 1) / filter_parts;
    parallel_for(row_parts * filter_parts, [&](size_t i) {
      const size_t r = i / filter_parts, f = i % filter_parts;
      ops::detail::convolve_rows(packed, source, r * rows_each, std::min(pixels, (r + 1) * rows_each), e,
                                 f * spans_each * span, (f + 1) * spans_each * span);
    });
  }

  // Sums past int32, or an input of another shape or type: the kernels' general path (and its
  // refusals).
  ConstDensePtr generic(const ConstDensePtr& x) const {
    std::shared_ptr<Dense> acc;
    const auto& cg = fallback_g_;
    if (type_ == LayerType::InputConv2D) {
      const auto pads = Dense::create(TensorType::uint8, Shape{g_.c});
      for (size_t c = 0; c < g_.c; ++c) pads->data<uint8_t>()[c] = static_cast<uint8_t>(pads_[c]);
      acc = ops::input_conv2d(*x, *pads, static_cast<signed char>(cg.stride_x), static_cast<signed char>(cg.stride_y),
                              cg.pad_top, cg.pad_bottom, cg.pad_left, cg.pad_right, cg.out_w, cg.out_h, g_.kw, g_.kh,
                              *ops::linearize_filters(*weights_));
    } else if (type_ == LayerType::Dense1D) {
      acc = ops::conv2d_v2(*as_int32(x), 1, 1, 0, 0, 1, 1, *weights_, 0);
    } else {
      acc = ops::conv2d_v2(*as_int32(x), cg.stride_x, cg.stride_y, cg.pad_left, cg.pad_top, cg.out_w, cg.out_h,
                           *weights_, 0);
    }
    return narrowed(tail_.apply(std::move(acc)), out_type_);
  }

  LayerType type_;
  NeuronTail tail_;
  TensorType out_type_;
  std::shared_ptr<const Dense> weights_, shifts_;  // weights (kw, kh, C, F)
  Window g_;
  ConvGeometry fallback_g_;
  uint32_t filters_ = 0;
  std::vector<int32_t> pads_;
  std::optional<PackedCache> packed_;
  bool usable_ = true;
  Shape in_shape_, out_shape_;
};

}  // namespace

std::unique_ptr<LayerStep> make_conv_step(const Layer& layer) { return std::make_unique<ConvStep>(layer); }

}  // namespace nuvra::detail
