// DepthwiseConv2D through prepared taps: inputs at their own width, the neuron tail run on each
// pixel's sums, output columns spread over the inference threads when the samples alone cannot
// keep them busy.
#include "run/common.h"
#include "run/run.h"
#include "run/thread_pool.h"

#include "ops/common.h"
#include "ops/depthwise_rows.h"
#include "ops/route.h"
#include "ops/simd.h"

#include <limits>
#include <mutex>

namespace nuvra::detail {

namespace {

using ops::detail::ConvSource;
using ops::detail::DepthwiseFilters;
using ops::detail::Epilogue;
using ops::detail::Window;

// Multiply-adds below which a sample's layer is not split over threads.
constexpr uint64_t kSplitWork = 1 << 18;

class DepthwiseStep final : public LayerStep {
 public:
  explicit DepthwiseStep(const Layer& layer)
      : tail_(layer, true), out_type_(output_type(layer.output_bits(), layer.output_signed())),
        weights_(variable(layer, "weights")), shifts_(input_shifts(layer)), g_(conv_geometry(layer)) {
    const Shape in = layer.input_dimensions().at(0), s = weights_->shape();
    in_shape_ = Shape{in[0], in[1], in[2]};
    // Weights of other channels than the input's reach the kernel, which refuses them.
    usable_ = s[2] == 1 && s[3] == in[2];
  }

  bool takes_narrow() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    ConstDensePtr x = shifts_ ? shifted(as_int32(in[0]), shifts_) : in[0];
    const ops::detail::TailValues* fused = tail_.fused();
    // Narrow inputs whose sums fit int32 go through the prepared taps (int32 ones keep the
    // kernel's own scan and choice).
    const uint64_t max_in = x->type() == TensorType::uint8 ? 255 : x->type() == TensorType::int8 ? 128 : 32768;
    if (!usable_ || x->type() == TensorType::int32 || x->shape() != in_shape_ ||
        static_cast<unsigned __int128>(max_in) * filters().largest_sum() > std::numeric_limits<int32_t>::max()) {
      return narrowed(tail_.apply(ops::depthwise_conv2d(*as_int32(x), g_.stride_x, g_.stride_y, g_.pad_left,
                                                        g_.pad_top, g_.out_w, g_.out_h, *weights_)),
                      out_type_);
    }
    const DepthwiseFilters& w = filters();
    Window g;
    g.x = in_shape_[0];
    g.y = in_shape_[1];
    g.c = in_shape_[2];
    g.kw = weights_->shape()[0];
    g.kh = weights_->shape()[1];
    g.sx = g_.stride_x;
    g.sy = g_.stride_y;
    g.pad_left = g_.pad_left;
    g.pad_top = g_.pad_top;
    g.out_w = g_.out_w;
    g.out_h = g_.out_h;
    // With whole runs of 16 channels the vector route takes every pixel of a zero-padded copy.
    std::shared_ptr<Dense> copy;
    if (w.wide_channels() == g.c && ops::detail::reaches_out(g)) {
      switch (x->type()) {
        case TensorType::uint8: copy = ops::detail::padded<uint8_t>(x->data<uint8_t>(), x->type(), g); break;
        case TensorType::int8: copy = ops::detail::padded<int8_t>(x->data<int8_t>(), x->type(), g); break;
        default: copy = ops::detail::padded<int16_t>(x->data<int16_t>(), x->type(), g); break;
      }
      x = copy;
    }
    const bool pools = tail_.pools();
    std::shared_ptr<Dense> out = ops::detail::result(fused && !pools ? out_type_ : TensorType::int32,
                                                     Shape{g.out_w, g.out_h, g.c});
    Epilogue e;
    e.kind = !fused ? Epilogue::Kind::store : pools ? Epilogue::Kind::activate : Epilogue::Kind::finish;
    e.type = out->type();
    e.out = out->storage().data();
    e.ldo = g.c;
    if (fused) e.tail = *fused;
    const ConvSource source{x->storage().data(), x->type(), g, nullptr};
    const uint64_t work = uint64_t{g.out_w} * g.out_h * g.c * g.kw * g.kh;
    if (work < kSplitWork || !can_split() || g.out_w < 2) {
      ops::detail::depthwise_rows(w, source, 0, g.out_w, e);
    } else {
      const size_t parts = std::min<size_t>(g.out_w, 2 * inference_threads());
      const size_t each = (g.out_w + parts - 1) / parts;
      parallel_for(parts, [&](size_t i) {
        ops::detail::depthwise_rows(w, source, static_cast<uint32_t>(std::min<size_t>(i * each, g.out_w)),
                                    static_cast<uint32_t>(std::min<size_t>((i + 1) * each, g.out_w)), e);
      });
    }
    if (e.kind == Epilogue::Kind::finish) return out;
    return narrowed(pools && fused ? tail_.finish_pooled(std::move(out)) : tail_.apply(std::move(out)), out_type_);
  }

 private:
  // The taps prepared for the CPU's route, made on first use.
  const DepthwiseFilters& filters() const {
    const bool avx2 = ops::detail::active_route().route != ops::detail::Route::portable;
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = avx2 ? avx2_ : portable_;
    if (!slot) {
      const Shape s = weights_->shape();
      slot = std::make_unique<DepthwiseFilters>(weights_->data<int8_t>(), size_t{s[0]} * s[1], s[3], avx2);
    }
    return *slot;
  }

  NeuronTail tail_;
  TensorType out_type_;
  std::shared_ptr<const Dense> weights_, shifts_;
  ConvGeometry g_;
  Shape in_shape_;
  bool usable_ = true;
  mutable std::mutex mutex_;
  mutable std::unique_ptr<DepthwiseFilters> avx2_, portable_;
};

}  // namespace

std::unique_ptr<LayerStep> make_depthwise_step(const Layer& layer) { return std::make_unique<DepthwiseStep>(layer); }

}  // namespace nuvra::detail
