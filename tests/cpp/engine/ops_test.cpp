// Kernels at their edges: both int16 product routes, windows that leave the input, sums past
// 32 bits, in-place updates, and malformed arguments (refused, never read out of bounds).
#include <nuvra/ops.h>

#include "engine/src/ops_gemm.h"
#include "support/error_text.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
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

// Plain convolution of (X, Y, C) by (kw, kh, C, F) or depthwise (kw, kh, 1, C), padding worth pad.
std::vector<int64_t> naive_conv(const Dense& x, const Dense& w, int s, int left, int top, uint32_t ow, uint32_t oh,
                                int64_t pad, bool depthwise) {
  const Shape is = x.shape(), ws = w.shape();
  std::vector<int64_t> out;
  for (uint32_t ox = 0; ox < ow; ++ox)
    for (uint32_t oy = 0; oy < oh; ++oy)
      for (uint32_t f = 0; f < ws[3]; ++f) {
        int64_t sum = 0;
        for (uint32_t i = 0; i < ws[0]; ++i)
          for (uint32_t j = 0; j < ws[1]; ++j)
            for (uint32_t c = 0; c < is[2]; ++c) {
              if (depthwise && c != f) continue;
              const int64_t xi = int64_t{ox} * s + i - left, yj = int64_t{oy} * s + j - top;
              const bool in = xi >= 0 && yj >= 0 && xi < is[0] && yj < is[1];
              const int64_t v = in ? x.at<int32_t>({uint32_t(xi), uint32_t(yj), c}) : pad;
              sum += v * w.at<int8_t>({i, j, depthwise ? 0 : c, f});
            }
        out.push_back(sum);
      }
  return out;
}

void expect_saturated(const Dense& got, const std::vector<int64_t>& sums) {
  ASSERT_EQ(got.size(), sums.size());
  for (size_t i = 0; i < sums.size(); ++i)
    ASSERT_EQ(got.data<int32_t>()[i], std::clamp<int64_t>(sums[i], INT32_MIN, INT32_MAX)) << i;
}

TEST(Ops, BothInt16ProductRoutesMatchPlainSums) {
  for (const auto& [rows, filters, depth] : {std::tuple{1, 1, 1}, {5, 9, 7}, {9, 20, 40}, {4, 16, 2}, {3, 8, 33}}) {
    std::vector<int16_t> w(filters * depth);
    std::vector<int32_t> plain(rows * filters, 0);
    for (auto& v : w) v = static_cast<int16_t>(rng() % 511) - 255;
    for (bool packed : {false, true}) {
      if (packed && !ops::detail::has_avx2()) continue;
      const ops::detail::Int16Filters f(filters, depth, [&](size_t fi, size_t k) { return w[fi * depth + k]; }, packed);
      std::vector<int16_t> a(rows * f.stride(), 0);
      for (int r = 0; r < rows; ++r)
        for (int k = 0; k < depth; ++k) a[r * f.stride() + k] = static_cast<int16_t>(rng() % 511) - 255;
      std::vector<int32_t> out(rows * (filters + 1), -7);  // one spare column per row stays untouched
      f.multiply(a.data(), rows, out.data(), filters + 1);
      for (int r = 0; r < rows; ++r) {
        for (int fi = 0; fi < filters; ++fi) {
          int32_t sum = 0;
          for (int k = 0; k < depth; ++k) sum += a[r * f.stride() + k] * w[fi * depth + k];
          EXPECT_EQ(out[r * (filters + 1) + fi], sum) << packed << " " << r << " " << fi;
        }
        EXPECT_EQ(out[r * (filters + 1) + filters], -7);
      }
    }
  }
}

// Strides, pads that push windows off the input, and values on both sides of the int16 and
// 2^61 accumulator limits.
TEST(Ops, ConvolutionsMatchPlainSumsAtEveryAccumulatorWidth) {
  struct Case {
    Shape in, weights;
    int stride, left, top;
    uint32_t ow, oh;
    int bound, pad;
  };
  const Case cases[] = {{{6, 5, 3}, {3, 3, 3, 5}, 1, 1, 1, 6, 5, 32767, -32768},  // int16 values, pad too wide
                        {{7, 9, 20}, {3, 2, 20, 3}, 2, 0, 1, 3, 5, 300, 2},
                        {{5, 5, 2}, {2, 2, 2, 2}, 3, 4, -1, 4, 3, 9, 1},  // windows wholly outside
                        {{4, 4, 17}, {3, 3, 17, 2}, 1, 1, 1, 4, 4, INT32_MAX, INT32_MIN}};
  for (const Case& c : cases) {
    auto x = random<int32_t>(TensorType::int32, c.in, -c.bound, c.bound);
    auto w = random<int8_t>(TensorType::int8, c.weights, -128, 127);
    expect_saturated(*ops::conv2d_v2(*x, c.stride, c.stride, c.left, c.top, c.ow, c.oh, *w, c.pad),
                     naive_conv(*x, *w, c.stride, c.left, c.top, c.ow, c.oh, c.pad, false));
    auto wd = random<int8_t>(TensorType::int8, {c.weights[0], c.weights[1], 1, c.in[2]}, -128, 127);
    expect_saturated(*ops::depthwise_conv2d(*x, c.stride, c.stride, c.left, c.top, c.ow, c.oh, *wd),
                     naive_conv(*x, *wd, c.stride, c.left, c.top, c.ow, c.oh, 0, true));
  }
}

TEST(Ops, PoolingWindowsOutsideTheInputAreEmpty) {
  auto x = random<int32_t>(TensorType::int32, {3, 2, 2}, -50, 50);
  // A left pad of 4 puts the first windows wholly off the input: they give 99.
  const auto pooled = ops::max_pooling(x, 2, 2, false, 4, 2, 1, 1, 0, 0, 4, 0, 99);
  for (uint32_t ox = 0; ox < 4; ++ox)
    for (uint32_t oy = 0; oy < 2; ++oy)
      for (uint32_t c = 0; c < 2; ++c) {
        std::optional<int32_t> top;
        for (uint32_t i = std::max(ox, 4u) - 4; i + 4 < ox + 2 && i < 3; ++i)
          for (uint32_t j = oy; j < 2; ++j) top = std::max(top.value_or(INT32_MIN), x->at<int32_t>({i, j, c}));
        EXPECT_EQ(pooled->at<int32_t>({ox, oy, c}), top.value_or(99)) << ox << oy << c;
      }
  const auto none = ops::max_pooling(x, 0, 2, false, 2, 2, 1, 1, 0, 0, 0, 0, -5);  // a window of width 0
  for (size_t i = 0; i < none->size(); ++i) EXPECT_EQ(none->data<int32_t>()[i], -5);
  const auto global = ops::max_pooling(x, -1, -1, true, 0, 0, 0, 0, 0, 0, 0, 0, 0);
  for (uint32_t c = 0; c < 2; ++c) {
    int32_t top = INT32_MIN;
    for (uint32_t p = 0; p < 6; ++p) top = std::max(top, x->data<int32_t>()[p * 2 + c]);
    EXPECT_EQ(global->at<int32_t>({0, 0, c}), top);
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
