#include <nuvra/functions.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace nuvra {

namespace {

int bit_length(uint32_t v) {
  int n = 0;
  for (; v; v >>= 1) ++n;
  return n;
}

// Two's-complement width of one value: 0 -> 1, -1 -> 1, 1 -> 2.
int signed_width(int32_t v) {
  const uint32_t magnitude = v < 0 ? ~static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  return bit_length(magnitude) + 1;
}

// The widest value is the smallest or the largest: the width grows with the distance from -1/2.
template <class T>
int max_signed_width(const Dense& t) {
  const T* p = t.data<T>();
  if (t.size() == 0) return 0;
  T lo = p[0], hi = p[0];
  for (size_t i = 1; i < t.size(); ++i) {
    lo = std::min(lo, p[i]);
    hi = std::max(hi, p[i]);
  }
  return std::max(signed_width(lo), signed_width(hi));
}

int max_unsigned_width(const uint8_t* p, size_t n) {
  uint32_t m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max<uint32_t>(m, p[i]);
  return bit_length(m);
}

}  // namespace

int evaluate_bitwidth(const Dense& t) {
  switch (t.type()) {
    case TensorType::float32: return 0;
    case TensorType::int32: return max_signed_width<int32_t>(t);
    case TensorType::int16: return max_signed_width<int16_t>(t);
    case TensorType::int8:
    case TensorType::int4:
    case TensorType::int2: return max_signed_width<int8_t>(t);
    // bit holds 0 and 1 only: measured as unsigned.
    case TensorType::bit: return max_unsigned_width(reinterpret_cast<const uint8_t*>(t.data<int8_t>()), t.size());
    case TensorType::uint8:
    case TensorType::uint4:
    case TensorType::uint2: return max_unsigned_width(t.data<uint8_t>(), t.size());
  }
  throw std::invalid_argument(std::string("Cannot evaluate the bitwidth of a tensor of type ") +
                              type_name(t.type()));
}

std::shared_ptr<Dense> get_threshold_t16_from_act_steps(const Dense& act_steps) {
  if (act_steps.type() != TensorType::float32)
    throw std::invalid_argument(std::string("act_step must be float32, got ") + type_name(act_steps.type()));
  auto out = Dense::create(TensorType::int32, act_steps.shape(), act_steps.layout());
  const float* in = act_steps.data<float>();
  int32_t* o = out->data<int32_t>();
  constexpr double lo = std::numeric_limits<int32_t>::min();
  constexpr double hi = std::numeric_limits<int32_t>::max();
  for (size_t i = 0; i < act_steps.size(); ++i) {
    if (std::isnan(in[i])) throw std::invalid_argument("act_step holds NaN");
    // Halves round away from zero, as lround does.
    const double r = std::round(static_cast<double>(in[i]) * 16.0);
    o[i] = r <= lo ? std::numeric_limits<int32_t>::min()
         : r >= hi ? std::numeric_limits<int32_t>::max()
                   : static_cast<int32_t>(r);
  }
  return out;
}

}  // namespace nuvra
