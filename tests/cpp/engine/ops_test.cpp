// Kernels at their edges: both int16 product routes, and malformed arguments (refused, never
// read out of bounds). Results against numpy references are in the Python tests.
#include <nuvra/ops.h>

#include "ops/gemm.h"
#include "support/error_text.h"

#include <gtest/gtest.h>

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
  // Kernel sizes given apart from the filters are checked without overflow.
  EXPECT_EQ(error_text<std::invalid_argument>([&] {
              ops::input_conv2d(*u8[4], *u8[0], 1, 1, 0, 0, 0, 0, 1, 1, UINT32_MAX, UINT32_MAX, *i8[2]);
            }),
            "input_conv2d: the filters (2, 3) must hold 4294967295 x 4294967295 x 4 weights per filter");
}

}  // namespace
}  // namespace nuvra
