// Kernels at their edges: both int16 product routes, the rounding and clamping of the neuron
// kernels against plain references, and malformed arguments (refused, never read out of bounds).
// Most results against numpy references are in the Python tests.
#include <nuvra/ops.h>

#include "ops/gemm.h"
#include "routes_here.h"
#include "support/error_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

namespace nuvra {
namespace {

using test::error_text;

std::mt19937 rng(15);

template <class T>
std::shared_ptr<Dense> random(TensorType type, Shape shape, int lo, int hi) {
  auto t = Dense::create(type, shape);
  std::uniform_int_distribution<int> d(lo, hi);
  for (size_t i = 0; i < t->size(); ++i) t->data<T>()[i] = static_cast<T>(d(rng));
  return t;
}

TEST(Ops, BothInt16ProductRoutesMatchPlainSums) {
  using ops::detail::Route;
  for (const auto& [rows, filters, depth] : {std::tuple{1, 1, 1}, {5, 9, 7}, {9, 20, 40}, {4, 16, 2}, {3, 8, 33}}) {
    std::vector<int16_t> w(filters * depth);
    for (auto& v : w) v = static_cast<int16_t>(rng() % 511) - 255;
    for (Route route : {Route::portable, Route::avx2}) {
      if (!ops::detail::route_available(route)) continue;
      const ops::detail::PackedFilters f(
          filters, depth, [&](size_t fi, size_t k) { return w[fi * depth + k]; }, ops::detail::Rows::i16, {route});
      std::vector<int16_t> a(rows * f.stride(), 0);
      for (int r = 0; r < rows; ++r)
        for (int k = 0; k < depth; ++k) a[r * f.stride() + k] = static_cast<int16_t>(rng() % 511) - 255;
      std::vector<int32_t> out(rows * (filters + 1), -7);  // one spare column per row stays untouched
      ops::detail::Epilogue e;
      e.out = out.data();
      e.ldo = filters + 1;
      f.multiply(a.data(), rows, f.row_bytes(), e, 0);
      for (int r = 0; r < rows; ++r) {
        for (int fi = 0; fi < filters; ++fi) {
          int32_t sum = 0;
          for (int k = 0; k < depth; ++k) sum += a[r * f.stride() + k] * w[fi * depth + k];
          EXPECT_EQ(out[r * (filters + 1) + fi], sum) << route_name(route) << " " << r << " " << fi;
        }
        EXPECT_EQ(out[r * (filters + 1) + filters], -7);
      }
    }
  }
}

int64_t floor_div(int64_t a, int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }
// v << s, or v / 2^-s rounded half up; saturated to signed `bits` bits (32 at most).
int32_t rounded_shift(int64_t v, int s, int bits = 32) {
  const int64_t y = s >= 0 ? v * (int64_t{1} << s) : floor_div(v + (int64_t{1} << (-s - 1)), int64_t{1} << -s);
  const int64_t hi = (int64_t{1} << (bits - 1)) - 1;
  return static_cast<int32_t>(std::clamp(y, -hi - 1, hi));
}

std::vector<int32_t> ints_of(const Dense& t) { return {t.data<int32_t>(), t.data<int32_t>() + t.size()}; }

// The same cases as the Python tests of shift, relu_activation and global_average_pooling, with
// the halves and the negative means spelt out.
TEST(Ops, ShiftReluAndMeanRoundingMatchReferences) {
  const Shape s{3, 4, 5};
  const auto x = random<int32_t>(TensorType::int32, s, -1000, 1000);
  const auto c = random<int8_t>(TensorType::int8, Shape{5}, -4, 5);
  const auto bound = random<int32_t>(TensorType::int32, Shape{5}, 0, 450);
  std::vector<int32_t> shifted(x->size()), clamped(x->size());
  for (size_t i = 0; i < x->size(); ++i) {
    const int32_t v = x->data<int32_t>()[i];
    shifted[i] = rounded_shift(v, c->data<int8_t>()[i % 5], 12);
    clamped[i] = std::clamp(v, 0, bound->data<int32_t>()[i % 5]);
  }
  EXPECT_EQ(ints_of(*ops::shift(*x, *c, 12)), shifted);
  EXPECT_EQ(ints_of(*ops::relu_activation(*x, *bound)), clamped);
  // Means of 12 pixels, rounded half up, then rounded >> 1.
  std::vector<int32_t> means(5);
  for (size_t k = 0; k < 5; ++k) {
    int64_t sum = 0;
    for (size_t p = 0; p < 12; ++p) sum += x->data<int32_t>()[p * 5 + k];
    means[k] = rounded_shift(floor_div(2 * sum + 12, 24), -1);
  }
  EXPECT_EQ(ints_of(*ops::global_average_pooling(x, 1)), means);

  const auto tensor = [](std::vector<int32_t> v) {
    return Dense::copy(reinterpret_cast<const char*>(v.data()), v.size() * 4, TensorType::int32,
                       Shape{1, static_cast<uint32_t>(v.size()), 1});
  };
  // Halves on both sides of 0 go up: -2.5 -> -2, -0.5 -> 0, 1.5 -> 2; -5/3 -> -2.
  for (const auto& [values, mean] : {std::pair<std::vector<int32_t>, int32_t>{{-3, -2}, -2}, {{-1, 0}, 0},
                                     {{1, 2}, 2}, {{-1, -2, -2}, -2}, {{-4, -3}, -3}}) {
    EXPECT_EQ(ints_of(*ops::global_average_pooling(std::shared_ptr<Dense>(tensor(values)), 0)),
              std::vector<int32_t>{mean});
  }
  const std::vector<int32_t> halves{-5, -3, -1, 1, 3, 5, -7, 7, INT32_MIN, INT32_MAX};
  const auto right = Dense::create(TensorType::int8, Shape{1, 10, 1});
  for (size_t i = 0; i < 10; ++i) right->data<int8_t>()[i] = static_cast<int8_t>(i < 6 ? -1 : i < 8 ? -2 : 1);
  EXPECT_EQ(ints_of(*ops::shift(*tensor(halves), *right, 0)),
            (std::vector<int32_t>{-2, -1, 0, 1, 2, 3, -2, 2, INT32_MIN, INT32_MAX}));
  const auto caps = tensor({0, 3, 3, 3, 3, 3, 3, 3, 3, 3});
  EXPECT_EQ(ints_of(*ops::relu_activation(*tensor(halves), *caps)),
            (std::vector<int32_t>{0, 0, 0, 1, 3, 3, 0, 3, 0, 3}));
}

// The rounding right shift of both widths and its branch-free twin against floor(v / 2^r + 1/2)
// worked from the quotient and remainder: values at the top of what each holds (+-2^61 for 64
// bits, +-2^125 for 128) and shifts around where they round to 0, 1 and -1, and past the width.
TEST(Ops, RoundingShiftsAreExactAtEveryShift) {
  using Wide = __int128;
  const auto rounded = [](Wide v, int r) -> Wide {
    if (r >= 127) return 0;  // |v| < 2^126 here
    const Wide unit = Wide{1} << r;
    Wide q = v / unit, rest = v % unit;
    if (rest < 0) {
      rest += unit;
      --q;
    }
    return q + (rest >= unit - rest ? 1 : 0);
  };
  const int64_t top = int64_t{1} << 61;
  const std::vector<int64_t> narrow = {0, 1, -1, top / 2, -top / 2, 3 * (top / 4), -3 * (top / 4), top / 2 - 1,
                                       -top / 2 - 1, top - 1, -(top - 1), top, -top, INT32_MIN, INT32_MAX};
  for (const int r : {1, 2, 30, 31, 32, 58, 59, 60, 61, 62, 63, 64, 65, 100, 127, 128, 1000})
    for (const int64_t v : narrow) {
      const auto want = static_cast<int64_t>(rounded(v, r));
      EXPECT_EQ(ops::detail::sshift<int64_t>(v, -r), want) << v << " >> " << r;
      EXPECT_EQ(ops::detail::Shifter(-r)(v), want) << "Shifter: " << v << " >> " << r;
    }
  // Without a clamp first, the 64-bit shift takes the whole int64 range.
  for (const int r : {1, 61, 62, 63, 64})
    for (const int64_t v : {INT64_MIN, INT64_MIN + 1, INT64_MAX, int64_t{1} << 62, -(int64_t{1} << 62)})
      EXPECT_EQ(ops::detail::sshift<int64_t>(v, -r), static_cast<int64_t>(rounded(v, r))) << v << " >> " << r;
  const Wide wide_top = Wide{1} << 125;
  const std::vector<Wide> wide = {wide_top, -wide_top, wide_top / 2, -wide_top / 2, 3 * (wide_top / 4),
                                  -3 * (wide_top / 4), wide_top / 2 - 1, -wide_top / 2 - 1, Wide{1} << 61};
  for (const int r : {60, 61, 62, 123, 124, 125, 126, 127, 128, 200})
    for (const Wide v : wide)
      EXPECT_TRUE(ops::detail::sshift<Wide>(v, -r) == rounded(v, r)) << static_cast<double>(v) << " >> " << r;
}

// A window that starts inside the input (a negative pad) beside one that reaches past it, over
// whole runs of 16 channels: x(0, j, k) = 10 j + k, windows of 2 rows from row oy + 1.
TEST(Ops, DepthwiseWithANegativePadCropsTheInput) {
  const auto x = Dense::create(TensorType::int32, {1, 3, 16});
  for (size_t i = 0; i < x->size(); ++i) x->data<int32_t>()[i] = static_cast<int32_t>(10 * (i / 16) + i % 16);
  const auto w = Dense::create(TensorType::int8, {1, 2, 1, 16});
  std::fill(w->data<int8_t>(), w->data<int8_t>() + w->size(), int8_t{1});
  std::vector<int32_t> expected(32);
  for (int k = 0; k < 16; ++k) expected[k] = 30 + 2 * k, expected[16 + k] = 20 + k;
  for (const auto route : test::routes_here()) {
    const test::ForcedRoute forced(route);
    EXPECT_EQ(ints_of(*ops::depthwise_conv2d(*x, 1, 1, 0, -1, 1, 2, *w)), expected) << test::describe(route);
  }
}

// Every kernel on tensors of every shape and extreme integers: a result or a clean refusal.
TEST(Ops, MalformedArgumentsAreRefusedWithoutStrayReads) {
  std::vector<std::shared_ptr<Dense>> i32, i8, u8;
  for (const Shape& s : {Shape{1}, Shape{3}, Shape{2, 3}, Shape{1, 1, 1}, Shape{3, 2, 4}, Shape{2, 1, 2, 3}}) {
    i32.push_back(random<int32_t>(TensorType::int32, s, INT32_MIN, INT32_MAX));
    i8.push_back(random<int8_t>(TensorType::int8, s, -128, 127));
    u8.push_back(random<uint8_t>(TensorType::uint8, s, 0, 255));
  }
  const auto i16 = Dense::create(TensorType::int16, {3});
  const int ints[] = {0, 1, -1, 3, 127, INT32_MIN, INT32_MAX};
  size_t calls = 0, refusals = 0;
  const auto attempt = [&](const std::function<void()>& f) {
    ++calls;
    try {
      f();
    } catch (const std::invalid_argument&) {
      ++refusals;
    } catch (const std::runtime_error&) {  // tensor size limits
      ++refusals;
    }
  };
  for (size_t ai = 0; ai < i32.size(); ++ai)
    for (size_t bi = 0; bi < i32.size(); ++bi) {
      const auto &a = i32[ai], &b = i32[bi], &w = i8[bi], &ua = u8[ai], &ub = u8[bi];
      for (int n : ints) {
        attempt([&] { ops::add(*a, *b, n); });
        attempt([&] { ops::matmul(*a, *b, n, n & 1); });
        attempt([&] { ops::shift_out(*a, *w, n); });
        attempt([&] { ops::scale_out(*a, *ub, *w, n, n & 1); });
        attempt([&] { ops::shiftmax(*a, *ub, n, n); });
        attempt([&] { ops::extract_token(*a, n, n / 2, static_cast<unsigned>(n)); });
        attempt([&] { ops::sum_abs(*a, n); });
        attempt([&] { ops::separate_heads(*a, static_cast<unsigned>(n)); });
        attempt([&] { ops::concat_token(*a, *w, *ub, n); });
        attempt([&] { ops::depthwise_like_conv(*a, *w, n); });
        attempt([&] { ops::update_internal_state(*a, *b, *i16, *i16, n); });
        attempt([&] { ops::conv2d_v2(*a, n, 1, n, 1, 2, 2, *w, n); });
        attempt([&] { ops::depthwise_conv2d(*a, 1, n, 1, n, 2, 3, *w); });
        attempt([&] { ops::conv2d_transpose(*a, *w, n, n, 1, 3, 2); });
        attempt([&] { ops::stem_conv(*ua, *w, n); });
        attempt([&] { ops::input_conv2d(*ua, *ub, 1, static_cast<signed char>(n), n, 0, 1, 0, 2, 2, 1, 2, *w); });
        attempt([&] { ops::max_pooling(a, static_cast<signed char>(n), 2, n & 1, 2, 1, 1, 2, n, 0, 1, 0, n); });
        attempt([&] { ops::global_average_pooling(a, n); });
      }
      attempt([&] { ops::divide(*a, *b); });
      attempt([&] { ops::look_up(*a, *b); });
      attempt([&] { ops::relu_activation(*a, *b); });
      attempt([&] { ops::concatenate_last_dim({a, b}); });
      attempt([&] { ops::fifo_op(i8[bi].get(), *w); });
      attempt([&] { ops::linearize_filters(*w); });
    }
  EXPECT_GT(refusals, calls / 4);
  EXPECT_LT(refusals, calls);
  EXPECT_EQ(error_text<std::invalid_argument>([&] { ops::concatenate_last_dim({}); }),
            "concatenate_last_dim: nothing to join");
  EXPECT_EQ(error_text<std::invalid_argument>([&] { ops::conv2d_transpose(*i32[4], *i8[5], 2, 0, 0, 3, 0); }),
            "conv2d_transpose: output sizes must be at least 1, got 3 x 0");
  // Kernel sizes given apart from the filters are checked without overflow.
  EXPECT_EQ(error_text<std::invalid_argument>([&] {
              ops::input_conv2d(*u8[4], *u8[0], 1, 1, 0, 0, 0, 0, 1, 1, UINT32_MAX, UINT32_MAX, *i8[2]);
            }),
            "input_conv2d: the filters (2, 3) must hold 4294967295 x 4294967295 x 4 weights per filter");
}

}  // namespace
}  // namespace nuvra
