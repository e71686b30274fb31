// Element-wise kernels: shifts, scaling, sums, division, activation, look-up, dequantisation.
#include "ops/common.h"

#include <cstdlib>

namespace nuvra::ops {

using namespace detail;

namespace {

// y[i] = f(x[i], b[j]) with b broadcast to x's shape; the types are checked by the caller.
template <class X, class B, class Y, class F>
void zip(const char* kernel, const Dense& x, const Dense& b, const char* b_name, Dense& y, F f) {
  const X* xp = x.data<X>();
  const B* bp = b.data<B>();
  Y* yp = y.data<Y>();
  Broadcast<1>(kernel, x.shape(), {&b}, {b_name}).rows([&](size_t o, size_t n, const auto& at, const auto& step) {
    const B* br = bp + at[0];
    if (step[0]) {
      for (size_t k = 0; k < n; ++k) yp[o + k] = f(xp[o + k], br[k]);
    } else {
      const B v = *br;
      for (size_t k = 0; k < n; ++k) yp[o + k] = f(xp[o + k], v);
    }
  });
}

// An int32 result of x's shape from x (int32) and a broadcast operand of `b_type`.
template <class B, class F>
DensePtr int32_with(const char* kernel, const Dense& x, const Dense& b, TensorType b_type, const char* b_name, F f) {
  expect_type(kernel, "the input", x, TensorType::int32);
  expect_type(kernel, b_name, b, b_type);
  Broadcast<1>(kernel, x.shape(), {&b}, {b_name});  // shapes are refused before anything is made
  DensePtr y = result(TensorType::int32, x.shape());
  zip<int32_t, B, int32_t>(kernel, x, b, b_name, *y, f);
  return y;
}

}  // namespace

// The shifts are bytes: one shifter per byte value serves every element.
DensePtr lshift(const Dense& x, const Dense& shifts, int bits) {
  const auto by = shifters<uint8_t>([](uint8_t s) { return int64_t{s}; });
  return int32_with<uint8_t>("lshift", x, shifts, TensorType::uint8, "the shifts",
                             [&by, bits](int32_t v, uint8_t s) { return saturate_signed(by[s](v), bits); });
}

DensePtr shift(const Dense& x, const Dense& shifts, int bits) {
  const auto by = shifters<int8_t>([](int8_t s) { return int64_t{s}; });
  return int32_with<int8_t>("shift", x, shifts, TensorType::int8, "the shifts", [&by, bits](int32_t v, int8_t s) {
    return saturate_signed(by[static_cast<uint8_t>(s)](v), bits);
  });
}

DensePtr shift_out(const Dense& x, const Dense& shifts, int bits) {
  if (bits < 1 || bits > 31) refuse("shift_out", "the output bits must be 1 to 31, got " + std::to_string(bits));
  const auto by = shifters<int8_t>([](int8_t s) { return -int64_t{s}; });
  return int32_with<int8_t>("shift_out", x, shifts, TensorType::int8, "the shifts", [&by, bits](int32_t v, int8_t s) {
    return saturate_unsigned(by[static_cast<uint8_t>(s)](v), bits);
  });
}

DensePtr add(const Dense& a, const Dense& b, int shift) {
  const Shifter by(-int64_t{shift});
  return int32_with<int32_t>("add", a, b, TensorType::int32, "the second operand",
                             [by](int32_t u, int32_t v) { return sat32(by(int64_t{u} + v)); });
}

DensePtr divide(const Dense& a, const Dense& b) {
  expect_type("divide", "the input", a, TensorType::int32);
  expect_type("divide", "the divisor", b, TensorType::int32);
  const int32_t* bp = b.data<int32_t>();
  for (size_t i = 0; i < b.size(); ++i)
    if (bp[i] == 0) refuse("divide", "division by zero");
  // In 64 bits: -2^31 / -1 saturates instead of overflowing.
  return int32_with<int32_t>("divide", a, b, TensorType::int32, "the divisor",
                             [](int32_t u, int32_t v) { return sat32(int64_t{u} / v); });
}

DensePtr relu_activation(const Dense& x, const Dense& max_values) {
  expect_type("relu_activation", "the input", x, TensorType::int32);
  expect_type("relu_activation", "the max values", max_values, TensorType::int32);
  if (min_max(max_values.data<int32_t>(), max_values.size()).first < 0)
    refuse("relu_activation", "the max values must not be negative");
  return int32_with<int32_t>("relu_activation", x, max_values, TensorType::int32, "the max values",
                             [](int32_t v, int32_t m) { return std::min(std::max(v, 0), m); });
}

DensePtr scale_out(const Dense& x, const Dense& scales, const Dense& shifts, int bits, int is_signed) {
  const char* kernel = "scale_out";
  if (bits < 1 || bits > (is_signed ? 32 : 31))
    refuse(kernel, std::string("the output bits must be 1 to ") + (is_signed ? "32" : "31") + ", got " +
                       std::to_string(bits));
  expect_type(kernel, "the input", x, TensorType::int32);
  expect_type(kernel, "the scales", scales, TensorType::uint8);
  expect_type(kernel, "the shifts", shifts, TensorType::int8);
  const Broadcast<2> rows(kernel, x.shape(), {&scales, &shifts}, {"the scales", "the shifts"});
  DensePtr y = result(TensorType::int32, x.shape());
  const int32_t* xp = x.data<int32_t>();
  const uint8_t* sc = scales.data<uint8_t>();
  const int8_t* sh = shifts.data<int8_t>();
  int32_t* yp = y->data<int32_t>();
  const auto by = shifters<int8_t>([](int8_t s) { return int64_t{s}; });
  rows.rows([&](size_t o, size_t n, const auto& at, const auto& step) {
    for (size_t k = 0; k < n; ++k) {
      const int64_t v = by[static_cast<uint8_t>(sh[at[1] + k * step[1]])](int64_t{xp[o + k]} * sc[at[0] + k * step[0]]);
      yp[o + k] = is_signed ? saturate_signed(v, bits) : saturate_unsigned(v, bits);
    }
  });
  return y;
}

DensePtr rounded_rshift(const Dense& x, const Dense& shifts, int bits) {
  const auto by = shifters<uint8_t>([](uint8_t s) { return -int64_t{s}; });
  return int32_with<uint8_t>("rounded_rshift", x, shifts, TensorType::uint8, "the shifts",
                             [&by, bits](int32_t v, uint8_t s) { return saturate_signed(by[s](v), bits); });
}

DensePtr look_up(const Dense& indices, const Dense& table) {
  expect_type("look_up", "the indices", indices, TensorType::int32);
  expect_type("look_up", "the table", table, TensorType::int32);
  DensePtr y = result(TensorType::int32, indices.shape());
  const int32_t* ip = indices.data<int32_t>();
  const int32_t* tp = table.data<int32_t>();
  int32_t* yp = y->data<int32_t>();
  const int64_t last = static_cast<int64_t>(table.size()) - 1;
  for (size_t i = 0; i < indices.size(); ++i) yp[i] = tp[std::clamp<int64_t>(ip[i], 0, last)];
  return y;
}

DensePtr dequantize(const Dense& x, const Dense& scales) {
  expect_type("dequantize", "the input", x, TensorType::int32);
  expect_type("dequantize", "the scales", scales, TensorType::float32);
  Broadcast<1>("dequantize", x.shape(), {&scales}, {"the scales"});
  DensePtr y = result(TensorType::float32, x.shape());
  // Most outputs stay within 2^24, where a float32 product is already rounded once.
  if (exact_in_float(x.data<int32_t>(), x.size()))
    zip<int32_t, float, float>("dequantize", x, scales, "the scales", *y,
                               [](int32_t v, float s) { return static_cast<float>(v) * s; });
  else
    zip<int32_t, float, float>("dequantize", x, scales, "the scales", *y,
                               [](int32_t v, float s) { return scaled_once(v, s); });
  return y;
}

DensePtr sum_abs(const Dense& x, int axis) {
  expect_type("sum_abs", "the input", x, TensorType::int32);
  const Shape shape = x.shape();
  const int n = static_cast<int>(shape.size());
  if (axis < -n || axis >= n)
    refuse("sum_abs", "axis " + std::to_string(axis) + " is out of range for " + shape.to_string());
  const size_t a = static_cast<size_t>(axis < 0 ? axis + n : axis);
  size_t outer = 1, inner = 1;
  for (size_t d = 0; d < a; ++d) outer *= shape[d];
  for (size_t d = a + 1; d < shape.size(); ++d) inner *= shape[d];
  const size_t length = shape[a];
  Shape out = shape;
  out[a] = 1;
  DensePtr y = result(TensorType::int32, out);
  const int32_t* xp = x.data<int32_t>();
  int32_t* yp = y->data<int32_t>();
  // Fewer than 2^32 terms of at most 2^31: the sums fit 64 bits.
  std::vector<int64_t> acc(inner);
  for (size_t o = 0; o < outer; ++o) {
    std::fill(acc.begin(), acc.end(), 0);
    for (size_t l = 0; l < length; ++l) {
      const int32_t* row = xp + (o * length + l) * inner;
      for (size_t i = 0; i < inner; ++i) acc[i] += std::abs(int64_t{row[i]});
    }
    for (size_t i = 0; i < inner; ++i) yp[o * inner + i] = sat32(acc[i]);
  }
  return y;
}

}  // namespace nuvra::ops
