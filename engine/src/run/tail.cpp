// The second-generation neuron tail. ReLU layers whose bounds keep every step within int32 (the
// usual case) take a form the compiler vectorises; the others go through exact 64-bit steps.
#include "run/common.h"

#include "ops/common.h"
#include "ops/simd.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace nuvra::detail {

using ops::detail::has_avx2;
using ops::detail::sat32;
using ops::detail::sshift;

// Per channel, one vector per field so that rows of channels load as lanes.
struct NeuronTail::Channels {
  size_t count = 0;
  bool relu = false;
  int64_t lo = 0, hi = 0;  // the output range
  std::vector<int32_t> bias, max;  // bias << bias_shift; the ReLU bound (INT32_MAX without one)
  // sshift(v · scale, shift) as (v · scale · 2^left + round) >> right, |v · scale| < 2^39: a left
  // shift takes every value of 2^31 or more in magnitude past the output range alike, and right
  // shifts of 61 or more give 0.
  std::vector<int64_t> scale64, round64;
  std::vector<int32_t> left, right;

  // The int32 form: x = clamp(v, below, above) + bias lies in [0, max], and x · scale + round
  // stays below 2^31.
  bool int32 = false;
  std::vector<int32_t> below, above, scale, round;
  int32_t top = 0;
  ops::detail::TailValues fused;  // over the vectors above, padded to whole runs of 16

  int32_t activated(int32_t acc, size_t k) const {
    const int32_t x = sat32(int64_t{acc} + bias[k]);
    return relu ? std::clamp(x, 0, max[k]) : x;
  }
  int32_t scaled(int32_t x, size_t k) const {
    constexpr int64_t kBound = int64_t{1} << 31;
    int64_t v = int64_t{x} * scale64[k];
    if (left[k] > 0) v = std::clamp(v, -kBound, kBound) * (int64_t{1} << left[k]);
    return static_cast<int32_t>(std::clamp((v + round64[k]) >> right[k], lo, hi));
  }
};

namespace {

using Channels = NeuronTail::Channels;

NUVRA_INLINE void activate_rows(const Channels& c, int32_t* v, size_t n) {
  const int32_t *below = c.below.data(), *above = c.above.data(), *bias = c.bias.data();
  for (size_t i = 0; i < n; i += c.count)
    for (size_t k = 0; k < c.count; ++k) v[i + k] = std::min(std::max(v[i + k], below[k]), above[k]) + bias[k];
}
NUVRA_INLINE void scale_rows(const Channels& c, int32_t* v, size_t n) {
  const int32_t *scale = c.scale.data(), *round = c.round.data(), *right = c.right.data();
  for (size_t i = 0; i < n; i += c.count)
    for (size_t k = 0; k < c.count; ++k) v[i + k] = std::min((v[i + k] * scale[k] + round[k]) >> right[k], c.top);
}
NUVRA_INLINE void finish_rows(const Channels& c, int32_t* v, size_t n) {
  const int32_t *below = c.below.data(), *above = c.above.data(), *bias = c.bias.data();
  const int32_t *scale = c.scale.data(), *round = c.round.data(), *right = c.right.data();
  for (size_t i = 0; i < n; i += c.count)
    for (size_t k = 0; k < c.count; ++k) {
      const int32_t x = std::min(std::max(v[i + k], below[k]), above[k]) + bias[k];
      v[i + k] = std::min((x * scale[k] + round[k]) >> right[k], c.top);
    }
}

void activate_base(const Channels& c, int32_t* v, size_t n) { activate_rows(c, v, n); }
void scale_base(const Channels& c, int32_t* v, size_t n) { scale_rows(c, v, n); }
void finish_base(const Channels& c, int32_t* v, size_t n) { finish_rows(c, v, n); }
NUVRA_AVX2 void activate_avx2(const Channels& c, int32_t* v, size_t n) { activate_rows(c, v, n); }
NUVRA_AVX2 void scale_avx2(const Channels& c, int32_t* v, size_t n) { scale_rows(c, v, n); }
NUVRA_AVX2 void finish_avx2(const Channels& c, int32_t* v, size_t n) { finish_rows(c, v, n); }

}  // namespace

NeuronTail::NeuronTail(const Layer& layer, bool with_pooling) : channels_(std::make_unique<Channels>()) {
  const LayerParams& p = *layer.params();
  const int activation = p.has("activation") ? p.get("activation") : 0;
  if (activation != 0 && activation != static_cast<int>(ActivationType::ReLU))
    step_error(layer, "activation " + std::to_string(activation) + " has no software arithmetic");
  const int bits = layer.output_bits();
  if (bits < 1 || bits > 32) step_error(layer, "output bits must be 1 to 32");
  Channels& c = *channels_;
  c.relu = activation != 0;
  c.lo = c.relu ? 0 : -(int64_t{1} << (bits - 1));
  c.hi = c.relu ? (int64_t{1} << std::min(bits, 31)) - 1 : (int64_t{1} << (bits - 1)) - 1;

  const auto bias = variable(layer, "bias");
  const auto bias_shift = variable(layer, "bias_shift");
  const auto scales = variable(layer, "output_scales");
  const auto shifts = variable(layer, "output_shift");
  const bool bounded = c.relu && layer.variables()->has("max_value");
  const auto max_value = bounded ? variable(layer, "max_value") : nullptr;
  const auto max_shift = bounded ? variable(layer, "max_value_shift") : nullptr;
  c.count = bias->size();
  constexpr int64_t kHalf = int64_t{1} << 30;
  c.int32 = c.relu;
  for (size_t i = 0; i < c.count; ++i) {
    const int32_t b = sat32(sshift<int64_t>(bias->data<int8_t>()[i], bias_shift->data<uint8_t>()[i]));
    const int32_t m = bounded ? sat32(sshift<int64_t>(max_value->data<uint8_t>()[i], max_shift->data<uint8_t>()[i]))
                              : std::numeric_limits<int32_t>::max();
    const int shift = shifts->data<int8_t>()[i];
    const int64_t scale = shift <= -61 ? 0 : scales->data<uint8_t>()[i];
    const int right = std::clamp(-shift, 0, 60);
    c.bias.push_back(b);
    c.max.push_back(m);
    c.scale64.push_back(scale);
    c.left.push_back(std::clamp(shift, 0, 31));
    c.right.push_back(right);
    c.round64.push_back(right ? int64_t{1} << (right - 1) : 0);
    c.int32 = c.int32 && shift <= 0 && right <= 30 && b >= -kHalf && b <= kHalf && m <= kHalf &&
              m * scale + c.round64.back() < (int64_t{1} << 31);
  }
  if (c.int32) {
    c.top = static_cast<int32_t>(c.hi);
    for (size_t i = 0; i < c.count; ++i) {
      c.below.push_back(-c.bias[i]);
      c.above.push_back(c.max[i] - c.bias[i]);
      c.scale.push_back(static_cast<int32_t>(c.scale64[i]));
      c.round.push_back(static_cast<int32_t>(c.round64[i]));
    }
    const size_t padded = (c.count + 15) / 16 * 16;
    for (auto* v : {&c.below, &c.above, &c.bias, &c.scale, &c.round, &c.right}) v->resize(padded, 0);
    c.fused = {c.below.data(), c.above.data(), c.bias.data(), c.scale.data(), c.round.data(), c.right.data(), c.top};
  }
  if (with_pooling) pooling_ = std::make_unique<Pooling>(layer, false);
}

NeuronTail::~NeuronTail() = default;

const ops::detail::TailValues* NeuronTail::fused() const { return channels_->int32 ? &channels_->fused : nullptr; }

std::shared_ptr<Dense> NeuronTail::finish_pooled(std::shared_ptr<Dense> activated) const {
  const Channels& c = *channels_;
  auto pooled = pooling_->apply(std::move(activated));
  (has_avx2() ? scale_avx2 : scale_base)(c, pooled->data<int32_t>(), pooled->size());
  return pooled;
}

std::shared_ptr<Dense> NeuronTail::apply(std::shared_ptr<Dense> acc) const {
  const Channels& c = *channels_;
  const size_t n = acc->size();
  if (n % c.count != 0) throw std::runtime_error("Accumulator does not hold whole channels");
  int32_t* v = acc->data<int32_t>();
  const bool pooling = pooling_ && pooling_->active();
  if (c.int32) {
    if (!pooling) {
      (has_avx2() ? finish_avx2 : finish_base)(c, v, n);
      return acc;
    }
    (has_avx2() ? activate_avx2 : activate_base)(c, v, n);
    auto pooled = pooling_->apply(std::move(acc));
    (has_avx2() ? scale_avx2 : scale_base)(c, pooled->data<int32_t>(), pooled->size());
    return pooled;
  }
  for (size_t i = 0; i < n; i += c.count)
    for (size_t k = 0; k < c.count; ++k) v[i + k] = c.activated(v[i + k], k);
  if (pooling) acc = pooling_->apply(std::move(acc));
  int32_t* y = acc->data<int32_t>();
  for (size_t i = 0; i < acc->size(); i += c.count)
    for (size_t k = 0; k < c.count; ++k) y[i + k] = c.scaled(y[i + k], k);
  return acc;
}

}  // namespace nuvra::detail
