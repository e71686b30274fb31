// The second-generation neuron tail. Layers whose bounds keep every step within int32 (the usual
// case) take a form that the product kernels run on their tiles and the compiler vectorises; the
// others go through exact 64-bit steps.
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

  // The int32 form: x = clamp(v, below, above) + bias lies in [below + bias, above + bias], where
  // x · scale + round stays within int32; y = clamp((x · scale + round) >> right, lo, hi).
  bool int32 = false;
  bool narrow_activated = false;  // every x fits int16
  std::vector<int32_t> below, above, scale, round;
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

  // Channel k in the int32 form, when it has one. `saturating`: x may also be clamped where the
  // output no longer moves (not before an average, which such a clamp would change).
  bool int32_form(size_t k, bool saturating);
};

namespace {

using Channels = NeuronTail::Channels;

using int128 = __int128;

int128 floor_div(int128 a, int128 b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

NUVRA_INLINE void activate_rows(const Channels& c, int32_t* v, size_t n) {
  const int32_t *below = c.below.data(), *above = c.above.data(), *bias = c.bias.data();
  for (size_t i = 0; i < n; i += c.count)
    for (size_t k = 0; k < c.count; ++k) v[i + k] = std::min(std::max(v[i + k], below[k]), above[k]) + bias[k];
}
// The values of an activated int32 tensor, scaled, into Out.
template <class Out>
NUVRA_INLINE void scale_rows(const Channels& c, const int32_t* v, size_t n, Out* y) {
  const int32_t *scale = c.scale.data(), *round = c.round.data(), *right = c.right.data();
  const int32_t top = c.fused.top, bottom = c.fused.bottom;
  for (size_t i = 0; i < n; i += c.count)
    for (size_t k = 0; k < c.count; ++k)
      y[i + k] = static_cast<Out>(std::max(std::min((v[i + k] * scale[k] + round[k]) >> right[k], top), bottom));
}
template <class Out>
NUVRA_INLINE void finish_rows(const Channels& c, const int32_t* v, size_t n, Out* y) {
  const int32_t *below = c.below.data(), *above = c.above.data(), *bias = c.bias.data();
  const int32_t *scale = c.scale.data(), *round = c.round.data(), *right = c.right.data();
  const int32_t top = c.fused.top, bottom = c.fused.bottom;
  for (size_t i = 0; i < n; i += c.count)
    for (size_t k = 0; k < c.count; ++k) {
      const int32_t x = std::min(std::max(v[i + k], below[k]), above[k]) + bias[k];
      y[i + k] = static_cast<Out>(std::max(std::min((x * scale[k] + round[k]) >> right[k], top), bottom));
    }
}

void activate_base(const Channels& c, int32_t* v, size_t n) { activate_rows(c, v, n); }
NUVRA_AVX2 void activate_avx2(const Channels& c, int32_t* v, size_t n) { activate_rows(c, v, n); }

// scale_rows or finish_rows of the int32 form into a tensor of `type`.
template <bool kFinish>
NUVRA_INLINE void rows_into(const Channels& c, const int32_t* v, size_t n, Dense& y) {
  switch (y.type()) {
    case TensorType::uint8:
      return kFinish ? finish_rows(c, v, n, y.data<uint8_t>()) : scale_rows(c, v, n, y.data<uint8_t>());
    case TensorType::int8:
      return kFinish ? finish_rows(c, v, n, y.data<int8_t>()) : scale_rows(c, v, n, y.data<int8_t>());
    case TensorType::int16:
      return kFinish ? finish_rows(c, v, n, y.data<int16_t>()) : scale_rows(c, v, n, y.data<int16_t>());
    default:
      return kFinish ? finish_rows(c, v, n, y.data<int32_t>()) : scale_rows(c, v, n, y.data<int32_t>());
  }
}
template <bool kFinish>
void rows_base(const Channels& c, const int32_t* v, size_t n, Dense& y) { rows_into<kFinish>(c, v, n, y); }
template <bool kFinish>
NUVRA_AVX2 void rows_avx2(const Channels& c, const int32_t* v, size_t n, Dense& y) { rows_into<kFinish>(c, v, n, y); }

}  // namespace

bool NeuronTail::Channels::int32_form(size_t k, bool saturating) {
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min(), kMax = std::numeric_limits<int32_t>::max();
  if (right[k] > 30) return false;
  const int64_t multiplier = scale64[k] * (int64_t{1} << left[k]);
  if (multiplier > kMax) return false;
  // The values x may take: the ReLU's range, or all of int32.
  const int64_t lowest = relu ? 0 : kMin, highest = relu ? max[k] : kMax;
  int64_t a = lowest, b = highest;
  const int128 unit = int128{1} << right[k];
  if (multiplier == 0) {
    a = b = std::clamp<int64_t>(0, lowest, highest);  // every x gives the same output
  } else if (saturating) {
    // Past these, every x gives hi (or lo): the smallest x with x·m + round >= hi·2^right, and the
    // largest with x·m + round <= (lo + 1)·2^right - 1.
    const int128 top = floor_div(int128{hi} * unit - round64[k] + multiplier - 1, multiplier);
    const int128 bottom = floor_div((int128{lo} + 1) * unit - round64[k] - 1, multiplier);
    if (top < b) b = static_cast<int64_t>(std::max<int128>(top, kMin));
    if (bottom > a) a = static_cast<int64_t>(std::min<int128>(bottom, kMax));
    // All of x past one of them: any x of the range gives that output.
    if (a > b) a = b = lowest > top ? lowest : highest;
  }
  if (a * multiplier + round64[k] < kMin || b * multiplier + round64[k] > kMax) return false;
  if (a - bias[k] < kMin || a - bias[k] > kMax || b - bias[k] < kMin || b - bias[k] > kMax) return false;
  below.push_back(static_cast<int32_t>(a - bias[k]));
  above.push_back(static_cast<int32_t>(b - bias[k]));
  scale.push_back(static_cast<int32_t>(multiplier));
  round.push_back(static_cast<int32_t>(round64[k]));
  narrow_activated = narrow_activated && a >= std::numeric_limits<int16_t>::min() && b <= std::numeric_limits<int16_t>::max();
  return true;
}

NeuronTail::NeuronTail(const Layer& layer, bool with_pooling)
    : channels_(std::make_unique<Channels>()), type_(carried_type(layer.output_bits(), layer.output_signed())) {
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
  if (with_pooling) pooling_ = std::make_unique<Pooling>(layer, false);

  const auto bias = variable(layer, "bias");
  const auto bias_shift = variable(layer, "bias_shift");
  const auto scales = variable(layer, "output_scales");
  const auto shifts = variable(layer, "output_shift");
  const bool bounded = c.relu && layer.variables()->has("max_value");
  const auto max_value = bounded ? variable(layer, "max_value") : nullptr;
  const auto max_shift = bounded ? variable(layer, "max_value_shift") : nullptr;
  c.count = bias->size();
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
  }
  // Clamping x where the output stops moving commutes with a max, not with an average.
  const bool saturating = !pools() || pooling_->type() == PoolType::Max;
  c.int32 = true;
  c.narrow_activated = true;
  for (size_t i = 0; i < c.count && c.int32; ++i) c.int32 = c.int32_form(i, saturating);
  if (c.int32) {
    const size_t padded = (c.count + 15) / 16 * 16;
    for (auto* v : {&c.below, &c.above, &c.bias, &c.scale, &c.round, &c.right}) v->resize(padded, 0);
    c.fused = {c.below.data(), c.above.data(), c.bias.data(), c.scale.data(), c.round.data(), c.right.data(),
               static_cast<int32_t>(c.lo), static_cast<int32_t>(c.hi)};
  }
}

NeuronTail::~NeuronTail() = default;

const ops::detail::TailValues* NeuronTail::fused() const { return channels_->int32 ? &channels_->fused : nullptr; }

NeuronTail::Output NeuronTail::begin(const Shape& shape) const {
  const Channels& c = *channels_;
  Output o;
  ops::detail::Epilogue& e = o.e;
  if (!c.int32) {
    e.type = TensorType::int32;
  } else if (pools()) {
    e.kind = ops::detail::Epilogue::Kind::activate;
    e.type = c.narrow_activated ? TensorType::int16 : TensorType::int32;
  } else {
    e.kind = ops::detail::Epilogue::Kind::finish;
    e.type = type_;
  }
  if (c.int32) e.tail = c.fused;
  o.values = ops::detail::result(e.type, shape);
  e.out = o.values->storage().data();
  e.ldo = shape[shape.size() - 1];
  return o;
}

ConstDensePtr NeuronTail::end(Output&& written) const {
  switch (written.e.kind) {
    case ops::detail::Epilogue::Kind::finish: return std::move(written.values);
    case ops::detail::Epilogue::Kind::activate: {
      const Channels& c = *channels_;
      const auto pooled = pooling_->apply(std::move(written.values));
      auto y = ops::detail::result(type_, pooled->shape());
      (has_avx2() ? rows_avx2<false> : rows_base<false>)(c, pooled->data<int32_t>(), pooled->size(), *y);
      return y;
    }
    default: return apply(std::move(written.values));
  }
}

ConstDensePtr NeuronTail::apply(std::shared_ptr<Dense> acc) const {
  const Channels& c = *channels_;
  const size_t n = acc->size();
  if (n % c.count != 0) throw std::runtime_error("Accumulator does not hold whole channels");
  int32_t* v = acc->data<int32_t>();
  const bool pooling = pools();
  if (c.int32) {
    if (!pooling) {
      if (type_ == TensorType::int32) {
        (has_avx2() ? rows_avx2<true> : rows_base<true>)(c, v, n, *acc);
        return acc;
      }
      auto y = ops::detail::result(type_, acc->shape());
      (has_avx2() ? rows_avx2<true> : rows_base<true>)(c, v, n, *y);
      return y;
    }
    (has_avx2() ? activate_avx2 : activate_base)(c, v, n);
    const auto pooled = pooling_->apply(std::move(acc));
    auto y = ops::detail::result(type_, pooled->shape());
    (has_avx2() ? rows_avx2<false> : rows_base<false>)(c, pooled->data<int32_t>(), pooled->size(), *y);
    return y;
  }
  for (size_t i = 0; i < n; i += c.count)
    for (size_t k = 0; k < c.count; ++k) v[i + k] = c.activated(v[i + k], k);
  if (pooling) acc = pooling_->apply(std::move(acc));
  int32_t* y = acc->data<int32_t>();
  for (size_t i = 0; i < acc->size(); i += c.count)
    for (size_t k = 0; k < c.count; ++k) y[i + k] = c.scaled(y[i + k], k);
  return narrowed(acc, type_);
}

}  // namespace nuvra::detail
