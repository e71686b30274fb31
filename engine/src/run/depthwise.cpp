// DepthwiseConv2D through prepared taps, with the neuron tail run on each pixel's sums.
#include "run/depthwise.h"
#include "run/thread_pool.h"

#include "ops/common.h"
#include "ops/route.h"

#include <algorithm>
#include <limits>

namespace nuvra::detail {

namespace {

using ops::detail::ConvSource;
using ops::detail::DepthwiseFilters;
using ops::detail::Epilogue;
using ops::detail::Window;

// Multiply-adds below which a sample's layer is not split over threads.
constexpr uint64_t kSplitWork = 1 << 18;

uint64_t max_magnitude(TensorType type) {
  return type == TensorType::uint8 ? 255 : type == TensorType::int8 ? 128 : 32768;
}

class DepthwiseStep final : public LayerStep {
 public:
  explicit DepthwiseStep(const Layer& layer)
      : tail_(layer, true), shifts_(input_shifts(layer)),
        product_(variable(layer, "weights"), conv_geometry(layer), layer.input_dimensions().at(0)) {}

  bool takes_narrow() const override { return true; }

  ConstDensePtr run(const std::vector<ConstDensePtr>& in) const override {
    const ConstDensePtr x = shifts_ ? shifted(as_int32(in[0]), shifts_) : in[0];
    // int32 inputs keep the kernel's own scan and choice.
    if (!product_.takes(*x)) return tail_.apply(product_.sums(x));
    NeuronTail::Output out = tail_.begin(product_.out_shape());
    product_.convolve(x, out.e);
    return tail_.end(std::move(out));
  }

 private:
  NeuronTail tail_;
  std::shared_ptr<const Dense> shifts_;
  DepthwiseProduct product_;
};

}  // namespace

DepthwiseProduct::DepthwiseProduct(std::shared_ptr<const Dense> weights, const ConvGeometry& g, const Shape& in)
    : weights_(std::move(weights)), cg_(g) {
  const Shape s = weights_->shape();
  g_.x = in[0];
  g_.y = in[1];
  g_.c = in[2];
  g_.kw = s[0];
  g_.kh = s[1];
  g_.sx = g.stride_x;
  g_.sy = g.stride_y;
  g_.pad_left = g.pad_left;
  g_.pad_top = g.pad_top;
  g_.out_w = g.out_w;
  g_.out_h = g.out_h;
  // Weights of other channels than the input's reach the kernel, which refuses them.
  usable_ = s.size() == 4 && s[2] == 1 && s[3] == in[2];
  if (!usable_) return;
  std::vector<uint64_t> sums(g_.c, 0);
  const int8_t* w = weights_->data<int8_t>();
  for (size_t t = 0; t < weights_->size(); ++t) sums[t % g_.c] += static_cast<uint64_t>(w[t] < 0 ? -w[t] : w[t]);
  for (const uint64_t v : sums) largest_sum_ = std::max(largest_sum_, v);
}

const DepthwiseFilters& DepthwiseProduct::filters() const {
  const bool avx2 = ops::detail::active_route().route != ops::detail::Route::portable;
  std::lock_guard<std::mutex> lock(mutex_);
  auto& slot = avx2 ? avx2_ : portable_;
  if (!slot) slot = std::make_unique<DepthwiseFilters>(weights_->data<int8_t>(), size_t{g_.kw} * g_.kh, g_.c, avx2);
  return *slot;
}

bool DepthwiseProduct::takes(const Dense& x, uint64_t* bound) const {
  const Shape s = x.shape();
  if (!usable_ || x.type() == TensorType::int32 || s.size() != 3 || s[0] != g_.x || s[1] != g_.y || s[2] != g_.c)
    return false;
  const unsigned __int128 most = static_cast<unsigned __int128>(max_magnitude(x.type())) * largest_sum_;
  if (most > std::numeric_limits<int32_t>::max()) return false;
  if (bound) *bound = static_cast<uint64_t>(most);
  return true;
}

void DepthwiseProduct::convolve(ConstDensePtr x, const Epilogue& e) const {
  const DepthwiseFilters& w = filters();
  const Window& g = g_;
  const uint64_t work = uint64_t{g.out_w} * g.out_h * g.c * g.kw * g.kh;
  if (work < kSplitWork || !can_split() || g.out_w < 2) return columns(w, *x, 0, g.out_w, e);
  const size_t parts = std::min<size_t>(g.out_w, 2 * inference_threads());
  const size_t each = (g.out_w + parts - 1) / parts;
  parallel_for(parts, [&](size_t i) {
    columns(w, *x, static_cast<uint32_t>(std::min<size_t>(i * each, g.out_w)),
            static_cast<uint32_t>(std::min<size_t>((i + 1) * each, g.out_w)), e);
  });
}

void DepthwiseProduct::columns(const DepthwiseFilters& w, const Dense& x, uint32_t ox0, uint32_t ox1,
                               const Epilogue& e) const {
  if (ox0 >= ox1) return;
  const Window& g = g_;
  const uint8_t* data = x.storage().data();
  // The input columns these outputs read, within the input.
  const int64_t x_lo = g.first_x(ox0), x_hi = g.first_x(ox1 - 1) + g.kw;
  const int64_t s0 = std::clamp<int64_t>(x_lo, 0, g.x), s1 = std::clamp<int64_t>(x_hi, 0, g.x);
  // With whole runs of 16 channels the vector route takes every pixel of a zero-padded copy of
  // just those columns, made by the thread that reads it.
  if (w.wide_channels() != g.c || s0 >= s1 || !ops::detail::reaches_out(g))
    return ops::detail::depthwise_rows(w, ConvSource{data, x.type(), g, nullptr}, ox0, ox1, e);
  Window part = g;
  part.x = static_cast<uint32_t>(s1 - s0);
  part.pad_left = s0 - x_lo;
  part.out_w = ox1 - ox0;
  // Output column ox0 is the part's first.
  const size_t column = size_t{g.y} * g.c, at = static_cast<size_t>(s0) * column;
  Epilogue shifted = e;
  shifted.out = static_cast<uint8_t*>(e.out) + size_t{ox0} * g.out_h * e.ldo * element_size(e.type);
  std::shared_ptr<Dense> copy;
  switch (x.type()) {
    case TensorType::uint8: copy = ops::detail::padded<uint8_t>(x.data<uint8_t>() + at, x.type(), part); break;
    case TensorType::int8: copy = ops::detail::padded<int8_t>(x.data<int8_t>() + at, x.type(), part); break;
    default: copy = ops::detail::padded<int16_t>(x.data<int16_t>() + at, x.type(), part); break;
  }
  ops::detail::depthwise_rows(w, ConvSource{copy->storage().data(), x.type(), part, nullptr}, 0, part.out_w, shifted);
}

std::shared_ptr<Dense> DepthwiseProduct::sums(const ConstDensePtr& x) const {
  return ops::depthwise_conv2d(*as_int32(x), cg_.stride_x, cg_.stride_y, cg_.pad_left, cg_.pad_top, cg_.out_w,
                               cg_.out_h, *weights_);
}

std::unique_ptr<LayerStep> make_depthwise_step(const Layer& layer) { return std::make_unique<DepthwiseStep>(layer); }

}  // namespace nuvra::detail
